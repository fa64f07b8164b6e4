// UTF-8 to UTF-16 and back: the request paths, the location names and the
// row subtitles one way, the names Windows gives (phonebook entries, proxy
// settings) the other (Windows only: the platform's conversion).
#pragma once

#include <string>

// The converted characters without a terminator. An embedded NUL ends the
// text there; malformed bytes become replacement characters.
std::wstring utf8ToWide(const std::string& text);
// The UTF-8 form of a NUL-terminated wide text; ill-formed UTF-16 (a lone
// surrogate) becomes replacement characters.
std::string wideToUtf8(const wchar_t* text);
