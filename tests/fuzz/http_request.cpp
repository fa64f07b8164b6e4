// The HTTP front's request head, whatever the bytes and however they arrive;
// and what it makes of a valid one: the head the origin is sent, whose body
// the origin frames as the front did, and the upstream's CONNECT.
#include "feed.h"
#include "proxy/http_proxy.h"
#include "proxy/socks.h"

#include <arpa/inet.h>
#include <string>

// A literal goes upstream as the C library reads it, anything else as the
// name it is.
static void checkHost(const std::string& name) {
    char bytes[16];
    std::string want = name.empty() ? "" : buildSocks5Connect(atypName, name, 1);
    if (inet_pton(AF_INET, name.c_str(), bytes) == 1)
        want = buildSocks5Connect(atypIPv4, {bytes, 4}, 1);
    else if (inet_pton(AF_INET6, name.c_str(), bytes) == 1)
        want = buildSocks5Connect(atypIPv6, {bytes, 16}, 1);
    if (name.find('\0') == std::string::npos) require(buildSocks5ConnectTo(name, 1) == want);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    checkHost(std::string(in.substr(0, 64))); // any text as a host, too
    const auto [status, tunnel, host, port, forward, length, body, bodyLength, close] =
        checkSplits(in, HttpHead::NeedMore, [](std::string_view b) {
            HttpProxyRequest r;
            const HttpHead s = parseHttpProxyRequest(b, r);
            const HttpFraming& f = r.framing;
            return std::tuple(s, r.tunnel, r.host, r.port, r.forward, r.headLength, f.body,
                              f.length, f.close);
        });
    require(status != HttpHead::TooLarge || size >= httpHeadLimit);
    if (status != HttpHead::Complete) return 0;
    // The head ends at the first empty line, within the input and the limit.
    require(length <= std::min(size, httpHeadLimit) && in.find("\r\n\r\n") + 4 == length);
    // One head for the origin, every line ended by CRLF and no other CR or
    // LF, one Host field, no credentials for us, and one Connection field at
    // most: ours, which says close when the client's request does.
    int hosts = 0, credentials = 0, connections = 0;
    for (std::size_t i = 0; i < forward.size(); ++i) {
        require((forward[i] == '\r') == (i + 1 < forward.size() && forward[i + 1] == '\n'));
        std::string line = i == 0 || forward[i - 1] == '\n' ? forward.substr(i, 20) : "";
        for (char& c : line)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        hosts += line.starts_with("host:");
        credentials += line.starts_with("proxy-authorization:");
        connections += line.starts_with("connection:");
    }
    if (!tunnel)
        require(forward.find("\r\n\r\n") + 4 == forward.size() && hosts == 1 && credentials == 0 &&
                connections <= 1 && (!close || forward.ends_with("\r\nConnection: close\r\n\r\n")));
    // The origin, reading the forwarded head, finds the body where the front
    // found it: nothing the client sends makes the origin see a request
    // boundary (or a connection's end) the front did not see.
    HttpFraming origin;
    if (!tunnel)
        require(frameHttpRequest(forward, origin) && origin.body == body &&
                origin.length == bodyLength && origin.close == close);
    // The upstream is asked for that host and port in a CONNECT that parses
    // back whole.
    const std::string connect = buildSocks5ConnectTo(host, port);
    std::size_t n = 0;
    require(port != 0 && parseSocks5Request(connect, n) == ParseStatus::Complete &&
            n == connect.size());
    checkHost(host);
    return 0;
}
