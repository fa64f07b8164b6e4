#include "proxy/http_proxy.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

struct HeadCase {
    std::string in;
    HttpHead status;
    std::string host = {};
    std::uint16_t port = 0;
    std::string forward = {}; // "" for a tunnel
};

const std::string longHead = "GET http://h/ HTTP/1.1\r\nX: " + std::string(httpHeadLimit - 30, 'a');

const HeadCase heads[] = {
    {"CONNECT example.test:443 HTTP/1.1\r\nHost: example.test:443\r\n\r\n\x16\x03",
     HttpHead::Complete, "example.test", 443},
    {"CONNECT [2001:db8::1]:65535 HTTP/1.0\r\n\r\n", HttpHead::Complete, "2001:db8::1", 65535},
    {"CONNECT 192.0.2.1:1 HTTP/1.1\r\n\r\n", HttpHead::Complete, "192.0.2.1", 1},
    {"GET http://Example.test:8080/a/b?q=1 HTTP/1.1\r\nhost: elsewhere\r\n"
     "Proxy-Connection: keep-alive\r\nAccept:  */* \r\nconnection: Keep-Alive, x-trace\r\n"
     "X-Trace: 1\r\nProxy-Authorization: Basic dTpw\r\nKEEP-ALIVE: 300\r\nCookie: a=b; c=d\r\n"
     "\r\nbody",
     HttpHead::Complete, "Example.test", 8080,
     "GET /a/b?q=1 HTTP/1.1\r\nHost: Example.test:8080\r\nAccept:  */* \r\nCookie: a=b; c=d\r\n"
     "Connection: close\r\n\r\n"},
    {"POST HTTP://h.test?x=1 HTTP/1.0\r\nContent-Length: 4\r\n\r\n", HttpHead::Complete, "h.test",
     80, "POST /?x=1 HTTP/1.0\r\nHost: h.test\r\nContent-Length: 4\r\nConnection: close\r\n\r\n"},
    {"OPTIONS http://[::1]:81 HTTP/1.1\r\n\r\n", HttpHead::Complete, "::1", 81,
     "OPTIONS / HTTP/1.1\r\nHost: [::1]:81\r\nConnection: close\r\n\r\n"},
    {"GET http://h:/ HTTP/1.1\r\n\r\n", HttpHead::Complete, "h", 80,
     "GET / HTTP/1.1\r\nHost: h:\r\nConnection: close\r\n\r\n"},
    {longHead.substr(0, httpHeadLimit - 4) + "\r\n\r\n", HttpHead::Complete, "h", 80,
     "GET / HTTP/1.1\r\nHost: h\r\n" + longHead.substr(24, httpHeadLimit - 28) +
         "\r\nConnection: close\r\n\r\n"},
    {longHead.substr(0, httpHeadLimit - 3) + "\r\n\r\n", HttpHead::TooLarge},
    {longHead + "aaa", HttpHead::TooLarge},
};

} // namespace

TEST(HttpProxy, RequestHeads) {
    for (const HeadCase& c : heads) {
        SCOPED_TRACE(c.in.substr(0, 80));
        HttpProxyRequest r;
        r.host = "untouched";
        ASSERT_EQ(parseHttpProxyRequest(c.in, r), c.status);
        if (c.status != HttpHead::Complete) {
            EXPECT_EQ(r.host, "untouched");
            continue;
        }
        EXPECT_EQ(r.tunnel, c.forward.empty());
        EXPECT_EQ(r.host, c.host);
        EXPECT_EQ(r.port, c.port);
        EXPECT_EQ(r.forward, c.forward);
        EXPECT_EQ(r.headLength, c.in.find("\r\n\r\n") + 4);
    }
}

// 400, each as soon as the line at fault (for a second Host, the head) is complete.
TEST(HttpProxy, MalformedHeads) {
    HttpProxyRequest r;
    for (const char* line :
         {"CONNECT example.test HTTP/1.1", "CONNECT example.test:0 HTTP/1.1",
          "CONNECT example.test:65536 HTTP/1.1", "CONNECT :443 HTTP/1.1",
          "CONNECT [::1:443 HTTP/1.1", "CONNECT [::g]:443 HTTP/1.1", "CONNECT [::1]1443 HTTP/1.1",
          "CONNECT http://h:80/ HTTP/1.1", "GET /index.html HTTP/1.1", "GET h:80 HTTP/1.1",
          "GET https://h/ HTTP/1.1", "GET http://u:p@h/ HTTP/1.1", "GET http:///x HTTP/1.1",
          "GET http://h/#f HTTP/1.1", "GET http://h/\rx HTTP/1.1", "GET  http://h/ HTTP/1.1",
          "GET http://h/ HTTP/2.0", "GET http://h/"})
        EXPECT_EQ(parseHttpProxyRequest(line + "\r\n"s, r), HttpHead::Malformed) << line;
    EXPECT_EQ(parseHttpProxyRequest("CONNECT " + std::string(256, 'n') + ":1 HTTP/1.1\r\n", r),
              HttpHead::Malformed);
    for (const char* fields : {"No colon", "Name : v", "A: 1\r\n folded", "A: \x01",
                               "Host: h\r\nHost: h\r\n", "A: 1\rB: 2"})
        EXPECT_EQ(parseHttpProxyRequest("GET http://h/ HTTP/1.1\r\n"s + fields + "\r\n", r),
                  HttpHead::Malformed)
            << fields;
    for (const char* raw : {"GET http://h/ HTTP/1.1\nA: 1\r\n", "GET http://h/ HTTP/1.1\r\nA: 1\rB",
                            "\x16\x03\x01", "\r\nGET http://h/ HTTP/1.1\r\n"})
        EXPECT_EQ(parseHttpProxyRequest(raw, r), HttpHead::Malformed) << raw;
    EXPECT_TRUE(r.host.empty());
}

TEST(HttpProxy, Socks5ConnectAndErrorResponses) {
    EXPECT_EQ(buildSocks5ConnectTo("203.0.113.7", 80), "\x05\x01\x00\x01\xcb\x00\x71\x07\x00\x50"s);
    EXPECT_EQ(buildSocks5ConnectTo("example.test", 8080),
              "\x05\x01\x00\x03\x0c"s + "example.test\x1f\x90");
    // Which texts are literals, their bytes, and "" for an empty name are
    // checked against the C library by tests/fuzz/http_request.
    EXPECT_EQ(buildSocks5ConnectTo(std::string(255, 'n'), 1).size(), 3u + 2 + 255 + 2);
    EXPECT_EQ(buildSocks5ConnectTo(std::string(256, 'n'), 1), "");

    for (auto [status, line] : {std::pair{400, "400 Bad Request"},
                                {431, "431 Request Header Fields Too Large"},
                                {502, "502 Bad Gateway"},
                                {504, "504 Gateway Timeout"}})
        EXPECT_EQ(httpErrorResponse(status),
                  "HTTP/1.1 "s + line + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}
