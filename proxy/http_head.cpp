#include "proxy/http_head.h"

#include <utility>

namespace {

constexpr auto npos = std::string_view::npos;

} // namespace

bool isControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7f;
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trimOws(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool isToken(std::string_view s) {
    constexpr std::string_view marks{"!#$%&'*+-.^_`|~"};
    return !s.empty() && std::all_of(s.begin(), s.end(), [&](char c) {
        const char l = lower(c);
        return (l >= 'a' && l <= 'z') || (c >= '0' && c <= '9') || marks.find(c) != npos;
    });
}

HttpHead scanHttpHead(std::string_view in, std::size_t limit, HttpHeadLines& out) {
    const std::string_view window = in.substr(0, limit);
    HttpHeadLines head;
    std::size_t pos = 0;
    for (bool first = true;; first = false) {
        const std::size_t lf = window.find('\n', pos);
        if (lf == npos) {
            // A bare CR is known before the line ends.
            const std::size_t cr = window.find('\r', pos);
            if (cr != npos && cr + 1 < window.size()) return HttpHead::Malformed;
            return in.size() >= limit ? HttpHead::TooLarge : HttpHead::NeedMore;
        }
        if (lf == pos || window[lf - 1] != '\r') return HttpHead::Malformed;
        const std::string_view line = window.substr(pos, lf - 1 - pos);
        pos = lf + 1;
        if (std::any_of(line.begin(), line.end(), isControl)) return HttpHead::Malformed;
        if (first) {
            head.start = line;
            continue;
        }
        if (line.empty()) break;
        const std::size_t colon = line.find(':');
        if (colon == npos || !isToken(line.substr(0, colon))) return HttpHead::Malformed;
        head.fields.push_back({line, line.substr(0, colon), trimOws(line.substr(colon + 1))});
    }
    head.length = pos;
    out = std::move(head);
    return HttpHead::Complete;
}
