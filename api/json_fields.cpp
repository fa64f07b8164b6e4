#include "api/json_fields.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

std::string quotedKey(const std::string& key) {
    return '"' + key + '"';
}

} // namespace

std::string extractNextString(const std::string& text, const std::string& key,
                              std::size_t& position) {
    // std::string::find returns npos for a start at or past the end, so every
    // step below is bounded by the text's length.
    const std::size_t keyAt = text.find(quotedKey(key), position);
    if (keyAt == std::string::npos) return {};
    const std::size_t colon = text.find(':', keyAt);
    if (colon == std::string::npos) return {};
    const std::size_t open = text.find('"', colon);
    if (open == std::string::npos) return {};
    const std::size_t close = text.find('"', open + 1);
    if (close == std::string::npos) return {};
    // The closing quote itself, not the byte after it: the walk over "code"
    // values continues from there.
    position = close;
    return text.substr(open + 1, close - open - 1);
}

std::string extractValue(const std::string& text, const std::string& key) {
    const std::size_t keyAt = text.find(quotedKey(key));
    if (keyAt == std::string::npos) return {};
    const std::size_t colon = text.find(':', keyAt);
    if (colon == std::string::npos) return {};
    std::size_t start = colon + 1;
    while (start < text.size() && (text[start] == ' ' || text[start] == '"'))
        ++start;
    std::size_t end = text.find_first_of("\",}", start);
    if (end == std::string::npos) end = text.size();
    return text.substr(start, end - start);
}

std::int32_t toIntOrZero(const std::string& text) {
    // strtol skips leading white space, takes an optional sign and stops at
    // the first non-digit; "no digit" and "out of range" both become 0.
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE) return 0;
    if (value < INT32_MIN || value > INT32_MAX) return 0;
    return static_cast<std::int32_t>(value);
}
