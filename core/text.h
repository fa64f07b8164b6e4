// UTF-8 to UTF-16, for the request paths, the location names and the row
// subtitles (Windows only: the platform's conversion).
#pragma once

#include <string>

// The converted characters without a terminator. An embedded NUL ends the
// text there; malformed bytes become replacement characters.
std::wstring utf8ToWide(const std::string& text);
