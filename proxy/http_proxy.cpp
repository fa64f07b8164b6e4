#include "proxy/http_proxy.h"

#include "proxy/socks.h"

#include <algorithm>
#include <vector>

namespace {

constexpr auto npos = std::string_view::npos;

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool inSet(char c, std::string_view set) {
    return set.find(c) != npos;
}

// RFC 3986 section 3.2.2 reg-name, without percent-encoding: unreserved and
// sub-delims. This also keeps userinfo ("@") out, which RFC 9110 section 4.2.4
// makes an error.
bool isRegName(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return isAlpha(c) || isDigit(c) || inSet(c, "-._~!$&'()*+,;=");
    });
}

// RFC 3986 section 3.2.2 IPv4address: four dec-octets without leading zeros.
bool parseIPv4(std::string_view s, std::uint8_t (&out)[4]) {
    std::size_t pos = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        if (i > 0 && (pos >= s.size() || s[pos++] != '.')) return false;
        std::size_t start = pos;
        unsigned value = 0;
        while (pos < s.size() && pos - start < 3 && isDigit(s[pos]))
            value = value * 10 + static_cast<unsigned>(s[pos++] - '0');
        std::size_t digits = pos - start;
        if (digits == 0 || value > 255 || (digits > 1 && s[start] == '0')) return false;
        out[i] = static_cast<std::uint8_t>(value);
    }
    return pos == s.size();
}

// RFC 4291 section 2.2: eight groups of up to four hex digits, "::" for one
// or more zero groups, and an IPv4 address in the last 32 bits.
bool parseIPv6(std::string_view s, std::uint8_t (&out)[16]) {
    std::uint8_t bytes[16] = {};
    std::size_t count = 0, gap = npos, pos = 0;
    if (s.substr(0, 2) == "::") {
        gap = 0;
        pos = 2;
    }
    while (pos < s.size()) {
        std::size_t end = std::min(s.find(':', pos), s.size());
        std::string_view group = s.substr(pos, end - pos);
        if (end == s.size() && group.find('.') != npos) {
            std::uint8_t v4[4];
            if (count > 12 || !parseIPv4(group, v4)) return false;
            std::copy(v4, v4 + 4, bytes + count);
            count += 4;
            break;
        }
        if (count > 14 || group.empty() || group.size() > 4) return false;
        unsigned value = 0;
        for (char c : group) {
            char l = lower(c);
            if (!isDigit(l) && !(l >= 'a' && l <= 'f')) return false;
            value = value * 16 + static_cast<unsigned>(isDigit(l) ? l - '0' : l - 'a' + 10);
        }
        bytes[count++] = static_cast<std::uint8_t>(value >> 8);
        bytes[count++] = static_cast<std::uint8_t>(value & 0xff);
        pos = end;
        if (pos == s.size()) break;
        if (++pos == s.size()) return false; // a trailing single ':'
        if (s[pos] == ':') {
            if (gap != npos) return false;
            gap = count;
            ++pos;
        }
    }
    if (gap == npos ? count != 16 : count > 14) return false;
    std::fill(out, out + 16, std::uint8_t{0});
    std::size_t head = gap == npos ? count : gap;
    std::copy(bytes, bytes + head, out);
    std::copy(bytes + head, bytes + count, out + 16 - (count - head));
    return true;
}

// host [":" port] (RFC 9110 section 4.2.1), an IPv6 literal in brackets. An
// empty or absent port is 80 unless the authority-form of CONNECT needs one
// (RFC 9112 section 3.2.3).
bool parseAuthority(std::string_view a, bool portRequired, std::string& host, std::uint16_t& port) {
    std::string_view name, rest;
    if (!a.empty() && a.front() == '[') {
        std::size_t close = a.find(']');
        if (close == npos) return false;
        name = a.substr(1, close - 1);
        rest = a.substr(close + 1);
        std::uint8_t bytes[16];
        if (!parseIPv6(name, bytes)) return false;
    } else {
        std::size_t colon = a.find(':');
        name = a.substr(0, colon);
        rest = colon == npos ? std::string_view{} : a.substr(colon);
        if (!isRegName(name) || name.size() > 255) return false;
    }
    if (!rest.empty() && rest.front() != ':') return false;
    std::string_view digits = rest.empty() ? rest : rest.substr(1);
    unsigned value = 80;
    if (digits.empty()) {
        if (portRequired) return false;
    } else {
        value = 0;
        for (char c : digits) {
            if (!isDigit(c)) return false;
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > 65535) return false;
        }
        if (value == 0) return false;
    }
    host = std::string(name);
    port = static_cast<std::uint16_t>(value);
    return true;
}

struct RequestLine {
    std::string_view method, version, authority;
    std::string path; // origin form of an absolute-URI request
};

// RFC 9112 section 3: method SP request-target SP HTTP-version, the target in
// authority-form for CONNECT (section 3.2.3) and in absolute-form with the
// http scheme otherwise (section 3.2.2).
bool parseRequestLine(std::string_view line, RequestLine& rl, HttpProxyRequest& r) {
    std::size_t sp1 = line.find(' ');
    std::size_t sp2 = sp1 == npos ? npos : line.find(' ', sp1 + 1);
    if (sp2 == npos || line.find(' ', sp2 + 1) != npos) return false;
    rl.method = line.substr(0, sp1);
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    rl.version = line.substr(sp2 + 1);
    // RFC 9112 section 2.3: HTTP-version = "HTTP/" DIGIT "." DIGIT.
    const std::string_view v = rl.version;
    if (!isToken(rl.method) || target.empty() || v.size() != 8 || v.substr(0, 5) != "HTTP/" ||
        !isDigit(v[5]) || v[6] != '.' || !isDigit(v[7]))
        return false;
    for (char c : target) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f) return false;
    }
    r.tunnel = rl.method == "CONNECT"; // methods are case-sensitive (RFC 9110 section 9.1)
    if (r.tunnel) return parseAuthority(target, true, r.host, r.port);

    constexpr std::string_view scheme{"http://"};
    if (target.size() < scheme.size() || !equalsNoCase(target.substr(0, scheme.size()), scheme))
        return false;
    target.remove_prefix(scheme.size());
    std::size_t end = std::min(target.find_first_of("/?#"), target.size());
    rl.authority = target.substr(0, end);
    std::string_view rest = target.substr(end);
    if (rest.find('#') != npos) return false; // absolute-URI has no fragment
    // RFC 9112 section 3.2.1: an empty path is sent as "/".
    rl.path = rest.empty() || rest.front() == '?' ? "/" + std::string(rest) : std::string(rest);
    return parseAuthority(rl.authority, false, r.host, r.port);
}

bool namedIn(std::string_view name, const std::vector<std::string_view>& names) {
    return std::any_of(names.begin(), names.end(),
                       [&](std::string_view n) { return equalsNoCase(name, n); });
}

// RFC 9110 section 7.6.1: Connection and the fields it names are for this hop
// only, as are Proxy-Connection, Keep-Alive, Upgrade (no protocol switch is
// ever relayed) and the client's credentials for us. Fields that frame or
// route the request are the origin's too: Connection naming them is refused,
// so that the origin always frames the body as we did. RFC 9112 section 3.2.2:
// the Host field is made from the target URI; section 6.3: agreeing
// Content-Length values go on as one. The connection to the origin stays open
// as long as the client's does, so the Connection field we add says what the
// client asked of us.
bool buildForward(const RequestLine& rl, const std::vector<HttpField>& fields,
                  const HttpFraming& framing, std::string& out) {
    std::vector<std::string_view> hopByHop{"Connection", "Proxy-Connection", "Keep-Alive",
                                           "Upgrade", "Proxy-Authorization"};
    bool framingNamed = false;
    for (const HttpField& f : fields) {
        if (!equalsNoCase(f.name, "Connection")) continue;
        eachListItem(f.value, [&](std::string_view option) {
            framingNamed =
                framingNamed || namedIn(option, {"Content-Length", "Transfer-Encoding", "Host"});
            hopByHop.push_back(option);
        });
    }
    if (framingNamed) return false;
    const std::string host = "Host: " + std::string(rl.authority) + "\r\n";
    std::string kept;
    bool hostSeen = false, lengthSeen = false;
    for (const HttpField& f : fields) {
        if (namedIn(f.name, hopByHop)) continue;
        if (equalsNoCase(f.name, "Host")) {
            if (hostSeen) return false; // RFC 9112 section 3.2: more than one Host is a 400
            hostSeen = true;
            kept += host;
        } else if (equalsNoCase(f.name, "Content-Length")) {
            if (!lengthSeen) kept += "Content-Length: " + std::to_string(framing.length) + "\r\n";
            lengthSeen = true;
        } else {
            kept.append(f.line).append("\r\n");
        }
    }
    out = std::string(rl.method) + " " + rl.path + " " + std::string(rl.version) + "\r\n";
    if (!hostSeen) out += host;
    out += kept;
    if (framing.close) out += "Connection: close\r\n";
    if (!framing.close && rl.version == "HTTP/1.0") out += "Connection: keep-alive\r\n";
    out += "\r\n";
    return true;
}

HttpHead parseHead(std::string_view in, HttpProxyRequest& out) {
    if (in.empty()) return HttpHead::NeedMore;
    // The first line is never empty: it starts with a method's letter.
    if (!isAlpha(in.front())) return HttpHead::Malformed;
    // A wrong request line is known as soon as it ends.
    RequestLine rl;
    HttpProxyRequest r;
    const std::size_t firstEnd = in.substr(0, httpHeadLimit).find("\r\n");
    if (firstEnd != npos && !parseRequestLine(in.substr(0, firstEnd), rl, r))
        return HttpHead::Malformed;
    if (firstEnd != npos && rl.version != "HTTP/1.1" && rl.version != "HTTP/1.0")
        return HttpHead::Unsupported;
    HttpHeadLines lines;
    const HttpHead scanned = scanHttpHead(in, httpHeadLimit, lines);
    if (scanned != HttpHead::Complete) return scanned;
    const std::vector<HttpField>& fields = lines.fields;
    const std::size_t pos = lines.length;
    if (!r.tunnel) {
        if (!frameHttpRequest(lines, r.framing)) return HttpHead::Malformed;
        if (!buildForward(rl, fields, r.framing, r.forward)) return HttpHead::Malformed;
        r.toHead = rl.method == "HEAD";
        r.http10 = rl.version == "HTTP/1.0";
        for (std::string_view m : {"GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"})
            r.idempotent = r.idempotent || rl.method == m;
    }
    r.headLength = pos;
    out = std::move(r);
    return HttpHead::Complete;
}

} // namespace

HttpHead parseHttpProxyRequest(std::string_view in, HttpProxyRequest& out) {
    try {
        return parseHead(in, out);
    } catch (...) {
        // Only an allocation can fail here; that client is refused rather
        // than the engine's thread given an exception.
        return HttpHead::Malformed;
    }
}

std::string buildSocks5ConnectTo(std::string_view host, std::uint16_t port) {
    std::uint8_t v4[4];
    std::uint8_t v6[16];
    const auto bytes = [](const std::uint8_t* b, std::size_t n) {
        return std::string_view(reinterpret_cast<const char*>(b), n);
    };
    if (parseIPv4(host, v4)) return buildSocks5Connect(atypIPv4, bytes(v4, sizeof v4), port);
    if (parseIPv6(host, v6)) return buildSocks5Connect(atypIPv6, bytes(v6, sizeof v6), port);
    if (host.empty() || host.size() > 255) return {};
    return buildSocks5Connect(atypName, host, port);
}

std::string httpErrorResponse(int status) {
    std::string_view reason;
    switch (status) {
    case 400:
        reason = "Bad Request";
        break; // RFC 9110 section 15.5.1
    case 431:
        reason = "Request Header Fields Too Large";
        break; // RFC 6585 section 5
    case 502:
        reason = "Bad Gateway";
        break; // RFC 9110 section 15.6.3
    case 504:
        reason = "Gateway Timeout";
        break; // RFC 9110 section 15.6.5
    case 505:
        reason = "HTTP Version Not Supported";
        break; // RFC 9110 section 15.6.6
    default:
        status = 500;
        reason = "Internal Server Error";
    }
    return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}
