#include "api/json_fields.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

constexpr std::size_t npos = std::string::npos;

std::string quotedKey(const std::string& key) {
    return '"' + key + '"';
}

bool readHex4(const std::string& text, std::size_t at, std::uint32_t& value) {
    if (at > text.size() || text.size() - at < 4) return false;
    value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return false;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
}

void appendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The string whose opening quote is at `open`, decoded into `out`. Returns
// the index of its closing quote, or npos when the text ends first or an
// escape is malformed (a lone surrogate among them).
std::size_t decodeString(const std::string& text, std::size_t open, std::string& out) {
    out.clear();
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '"') return i;
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return npos;
        std::uint32_t code = 0;
        switch (text[i]) {
        case '"':
        case '\\':
        case '/':
            out += text[i];
            continue;
        case 'b':
            out += '\b';
            continue;
        case 'f':
            out += '\f';
            continue;
        case 'n':
            out += '\n';
            continue;
        case 'r':
            out += '\r';
            continue;
        case 't':
            out += '\t';
            continue;
        case 'u':
            if (!readHex4(text, i + 1, code)) return npos;
            i += 4;
            break;
        default:
            return npos;
        }
        if (code >= 0xDC00 && code <= 0xDFFF) return npos;
        if (code >= 0xD800 && code <= 0xDBFF) {
            // Outside the basic plane: a high surrogate, then "\u" and a low one.
            std::uint32_t low = 0;
            if (i + 2 >= text.size() || text[i + 1] != '\\' || text[i + 2] != 'u' ||
                !readHex4(text, i + 3, low) || low < 0xDC00 || low > 0xDFFF) {
                return npos;
            }
            i += 6;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        appendUtf8(out, code);
    }
    return npos;
}

bool isJsonSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

std::string extractNextString(const std::string& text, const std::string& key,
                              std::size_t& position) {
    // std::string::find returns npos for a start at or past the end, so every
    // step below is bounded by the text's length.
    const std::size_t keyAt = text.find(quotedKey(key), position);
    if (keyAt == npos) return {};
    const std::size_t colon = text.find(':', keyAt);
    if (colon == npos) return {};
    const std::size_t open = text.find('"', colon);
    if (open == npos) return {};
    std::string value;
    const std::size_t close = decodeString(text, open, value);
    if (close == npos) return {};
    // The closing quote itself: the walk over "code" values goes on from there.
    position = close;
    return value;
}

std::string extractValue(const std::string& text, const std::string& key) {
    const std::size_t keyAt = text.find(quotedKey(key));
    if (keyAt == npos) return {};
    const std::size_t colon = text.find(':', keyAt);
    if (colon == npos) return {};
    std::size_t start = colon + 1;
    while (start < text.size() && isJsonSpace(text[start]))
        ++start;
    if (start < text.size() && text[start] == '"') {
        std::string value;
        return decodeString(text, start, value) == npos ? std::string() : value;
    }
    std::size_t end = text.find_first_of("\",}", start);
    if (end == npos) end = text.size();
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
