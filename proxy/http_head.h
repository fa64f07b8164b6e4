// The one scanner of an HTTP/1.1 message head (RFC 9112 sections 2 and 5):
// its start line and its fields, through the empty line. The request's
// forwarding, the request's framing and the response's framing all read the
// same field list, so no two parsers can disagree on where a head ends.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

// Unsupported: a well-formed request line of an HTTP version other than 1.0
// and 1.1 (RFC 9110 section 15.6.6: 505).
enum class HttpHead { NeedMore, Complete, Malformed, TooLarge, Unsupported };

// Text rules of every HTTP codec here: field names and schemes are
// case-insensitive (RFC 9110 section 5.1), optional whitespace is spaces and
// tabs (section 5.6.3), and names and methods are tokens (section 5.6.2).
char lower(char c);
bool equalsNoCase(std::string_view a, std::string_view b);
std::string_view trimOws(std::string_view s);
bool isToken(std::string_view s);
// Control characters, which no field line holds but HTAB (section 5.5).
bool isControl(char c);

// RFC 9110 section 5.6.1: a comma-separated list, empty elements ignored.
template <class F> void eachListItem(std::string_view list, F f) {
    while (!list.empty()) {
        const std::size_t comma = std::min(list.find(','), list.size());
        const std::string_view item = trimOws(list.substr(0, comma));
        if (!item.empty()) f(item);
        list.remove_prefix(std::min(comma + 1, list.size()));
    }
}

struct HttpField {
    std::string_view line, name, value; // value without its surrounding whitespace
};

struct HttpHeadLines {
    std::string_view start; // the request or status line
    std::vector<HttpField> fields;
    std::size_t length = 0; // through the empty line
};

// Splits the head at the start of in, each line ending in CRLF. Malformed at
// the first line that breaks the rules (a bare CR or LF, a control character
// but HTAB, a field name that is no token, which also refuses whitespace
// before the colon and obs-fold); TooLarge or NeedMore when no empty line
// ends the head within limit bytes. out is written only when Complete.
HttpHead scanHttpHead(std::string_view in, std::size_t limit, HttpHeadLines& out);
