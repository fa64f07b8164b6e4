// HTTPS GET against the service's web API, and UTF-8 to UTF-16 conversion.
#pragma once

#include <string>

// The answer body exactly as received (any status), or empty on failure.
std::string httpGet(const std::wstring& target);

std::wstring utf8ToWide(const std::string& text);
