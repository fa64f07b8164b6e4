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
    BodyKind body = BodyKind::None;
    std::uint64_t length = 0;
};

const std::string longHead = "GET http://h/ HTTP/1.1\r\nX: " + std::string(httpHeadLimit - 30, 'a');

const HeadCase heads[] = {
    {"CONNECT example.test:443 HTTP/1.1\r\nHost: example.test:443\r\n\r\n\x16\x03",
     HttpHead::Complete, "example.test", 443},
    {"CONNECT [2001:db8::1]:65535 HTTP/1.0\r\n\r\n", HttpHead::Complete, "2001:db8::1", 65535},
    {"CONNECT 192.0.2.1:1 HTTP/1.1\r\n\r\n", HttpHead::Complete, "192.0.2.1", 1},
    {"GET http://Example.test:8080/a/b?q=1 HTTP/1.1\r\nhost: elsewhere\r\nUpgrade: h2c\r\n"
     "Proxy-Connection: keep-alive\r\nAccept:  */* \r\nconnection: Keep-Alive, x-trace\r\n"
     "X-Trace: 1\r\nProxy-Authorization: Basic dTpw\r\nKEEP-ALIVE: 300\r\nCookie: a=b; c=d\r\n"
     "\r\nbody",
     HttpHead::Complete, "Example.test", 8080,
     "GET /a/b?q=1 HTTP/1.1\r\nHost: Example.test:8080\r\nAccept:  */* \r\nCookie: a=b; "
     "c=d\r\n\r\n"},
    {"POST HTTP://h.test?x=1 HTTP/1.0\r\nContent-Length: 4\r\n\r\n", HttpHead::Complete, "h.test",
     80, "POST /?x=1 HTTP/1.0\r\nHost: h.test\r\nContent-Length: 4\r\nConnection: close\r\n\r\n",
     BodyKind::Length, 4},
    // The client's wish to keep or end its connection goes on in our own words.
    {"GET http://h/ HTTP/1.0\r\nProxy-Connection: keep-alive\r\n\r\n", HttpHead::Complete, "h", 80,
     "GET / HTTP/1.0\r\nHost: h\r\nConnection: keep-alive\r\n\r\n"},
    {"PUT http://h/ HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\nProxy-Connection: "
     "close\r\n\r\n",
     HttpHead::Complete, "h", 80,
     "PUT / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip, chunked\r\nConnection: close\r\n\r\n",
     BodyKind::Chunked},
    // RFC 9112 section 6.3: agreeing lengths go on as one.
    {"POST http://h/ HTTP/1.1\r\nContent-Length: 7 , 7\r\nA: 1\r\ncontent-length: 7\r\n\r\n",
     HttpHead::Complete, "h", 80, "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 7\r\nA: 1\r\n\r\n",
     BodyKind::Length, 7},
    {"GET http://h/ HTTP/1.9\r\n", HttpHead::Unsupported},
    {"CONNECT h:1 HTTP/2.0\r\n", HttpHead::Unsupported},
    {"OPTIONS http://[::1]:81 HTTP/1.1\r\n\r\n", HttpHead::Complete, "::1", 81,
     "OPTIONS / HTTP/1.1\r\nHost: [::1]:81\r\n\r\n"},
    {"GET http://h:/ HTTP/1.1\r\n\r\n", HttpHead::Complete, "h", 80,
     "GET / HTTP/1.1\r\nHost: h:\r\n\r\n"},
    {longHead.substr(0, httpHeadLimit - 4) + "\r\n\r\n", HttpHead::Complete, "h", 80,
     "GET / HTTP/1.1\r\nHost: h\r\n" + longHead.substr(24, httpHeadLimit - 28) + "\r\n\r\n"},
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
        EXPECT_EQ(r.framing.body, c.body);
        EXPECT_EQ(r.framing.length, c.length);
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
          "GET http://h/ HTTP/1.", "GET http://h/ HTTP/10.1", "GET http://h/"})
        EXPECT_EQ(parseHttpProxyRequest(line + "\r\n"s, r), HttpHead::Malformed) << line;
    EXPECT_EQ(parseHttpProxyRequest("CONNECT " + std::string(256, 'n') + ":1 HTTP/1.1\r\n", r),
              HttpHead::Malformed);
    for (const char* fields : {"No colon", "Name : v", "A: 1\r\n folded", "A: \x01",
                               "Host: h\r\nHost: h\r\n", "A: 1\rB: 2",
                               // A body's end in doubt could hide a second request.
                               "Content-Length: 1, 2\r\n", "Content-Length: -1\r\n",
                               "Content-Length: 1\r\nContent-Length: 2\r\n", "Content-Length:\r\n",
                               "Transfer-Encoding: chunked, gzip\r\n",
                               "Transfer-Encoding: chunked\r\n"
                               "Content-Length: 3\r\n",
                               "Transfer-Encoding: chunked, chunked\r\n",
                               // Never dropped for Connection naming them.
                               "Connection: x, content-length\r\nContent-Length: 3\r\n",
                               "Transfer-Encoding: chunked\r\nConnection: Transfer-Encoding\r\n",
                               "Connection: host\r\n"})
        EXPECT_EQ(parseHttpProxyRequest("GET http://h/ HTTP/1.1\r\n"s + fields + "\r\n", r),
                  HttpHead::Malformed)
            << fields;
    for (const char* raw : {"GET http://h/ HTTP/1.1\nA: 1\r\n", "GET http://h/ HTTP/1.1\r\nA: 1\rB",
                            "\x16\x03\x01", "\r\nGET http://h/ HTTP/1.1\r\n",
                            "POST http://h/ HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n"})
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
                                {504, "504 Gateway Timeout"},
                                {505, "505 HTTP Version Not Supported"}})
        EXPECT_EQ(httpErrorResponse(status),
                  "HTTP/1.1 "s + line + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

TEST(HttpFraming, ResponseHeads) {
    const struct {
        std::string head;
        bool toHead;
        HttpHead status;
        BodyKind body = BodyKind::None;
        std::uint64_t length = 0;
        bool close = false;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", false, HttpHead::Complete,
         BodyKind::Length, 5},
        {"HTTP/1.1 200\r\ncontent-length: 5, 5\r\nContent-Length:5\r\n\r\n", false,
         HttpHead::Complete, BodyKind::Length, 5},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: x, Close\r\n\r\n", false,
         HttpHead::Complete, BodyKind::None, 0, true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", false, HttpHead::Complete,
         BodyKind::Chunked},
        // Both: chunked decides, and the connection ends after it.
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", false,
         HttpHead::Complete, BodyKind::Chunked, 0, true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", false, HttpHead::Complete,
         BodyKind::UntilClose, 0, true},
        {"HTTP/1.1 200 OK\r\n\r\n", false, HttpHead::Complete, BodyKind::UntilClose, 0, true},
        {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\n", false, HttpHead::Complete,
         BodyKind::Length, 1, true},
        {"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 1\r\n\r\n", false,
         HttpHead::Complete, BodyKind::Length, 1},
        // No body whatever the fields say: HEAD, 1xx, 204, 304. A 1xx ends
        // nothing; a 101 answers an Upgrade, and none is ever sent.
        {"HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n", true, HttpHead::Complete},
        {"HTTP/1.1 304 Not Modified\r\nContent-Length: 99\r\n\r\n", false, HttpHead::Complete},
        {"HTTP/1.1 204 No Content\r\nContent-Length: x\r\n\r\n", false, HttpHead::Complete},
        {"HTTP/1.0 103 Early Hints\r\nConnection: close\r\n\r\n", false, HttpHead::Complete},
        {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n", false,
         HttpHead::Malformed},
        {"HTTP/1.2 200 OK\r\n\r\n", false, HttpHead::Malformed},
        {"HTTP/1.1 200 OK\r\nContent-Length: 1, 2\r\n\r\n", false, HttpHead::Malformed},
        {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", false,
         HttpHead::Malformed},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0x10\r\n\r\n", false, HttpHead::Malformed},
        {"HTTP/1.1 200 OK\r\nContent-Length: 1234567890123456789\r\n\r\n", false,
         HttpHead::Malformed},
        {"HTTP/1.1 200 OK\r\nA: 1\r\n folded\r\n\r\n", false, HttpHead::Malformed},
        {"HTTP/1.1 200 OK\r\nA : 1\r\n\r\n", false, HttpHead::Malformed},
        {"HTTP/1.1 200 OK\nA: 1\r\n\r\n", false, HttpHead::Malformed},
        {"HTTP/2 200 OK\r\n\r\n", false, HttpHead::Malformed},
        {"HTTP/1.1 20 OK\r\n\r\n", false, HttpHead::Malformed},
        {"HTTP/1.1 600 X\r\n\r\n", false, HttpHead::Malformed},
        {"HTTP/1.1 200 OK\r\nX: " + std::string(httpResponseHeadLimit, 'a'), false,
         HttpHead::TooLarge},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.head.substr(0, 60));
        HttpResponseHead r;
        ASSERT_EQ(parseHttpResponseHead(c.head + "next", c.toHead, r), c.status);
        if (c.status != HttpHead::Complete) continue;
        EXPECT_EQ(r.status, std::stoi(c.head.substr(9, 3)));
        EXPECT_EQ(r.headLength, c.head.size());
        EXPECT_EQ(r.framing.body, c.body);
        EXPECT_EQ(r.framing.length, c.length);
        EXPECT_EQ(r.framing.close, c.close);
        for (std::size_t n = 0; n < c.head.size(); ++n)
            ASSERT_EQ(parseHttpResponseHead(c.head.substr(0, n), c.toHead, r), HttpHead::NeedMore)
                << n;
    }
}

// The same answer however the bytes are split: whole, in two at every
// point, and byte by byte.
TEST(HttpFraming, BodiesEndWhereTheirFramingSays) {
    const HttpFraming chunked{BodyKind::Chunked}, counted{BodyKind::Length, 5},
        untilClose{BodyKind::UntilClose};
    const struct {
        HttpFraming framing;
        std::string bytes;
        std::size_t taken; // npos: all, and not done
        bool failed = false;
    } cases[] = {
        {counted, "helloGET /", 5},
        {counted, "hel", std::string::npos},
        {untilClose, "all of it", std::string::npos},
        {chunked, "5;name=\"v\"\r\nhello\r\nA \r\n0123456789\r\n0\r\nT: 1\r\nU: 2\r\n\r\nGET", 52},
        {chunked, "0\r\n\r\n\r\n", 5},
        {chunked, "5\r\nhello\r\n0\r\nT: 1\r\n", std::string::npos},
        {chunked, "5\r\nhelloX\r\n", 8, true},
        {chunked, "5\nhello", 1, true},
        {chunked, "\r\n", 0, true},
        {chunked, "5x\r\n", 1, true},
        {chunked, "0\r\nT: 1\n\r\n", 7, true},
        {chunked, std::string(16, 'f') + "\r\n", 15, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const std::size_t taken = c.taken == std::string::npos ? c.bytes.size() : c.taken;
        const bool done = c.taken != std::string::npos && !c.failed;
        for (std::size_t cut = 0; cut <= c.bytes.size() + 1; ++cut) {
            BodyFramer f(c.framing);
            std::size_t n = 0;
            const std::string_view all(c.bytes);
            if (cut <= c.bytes.size()) { // in two at cut
                n = f.feed(all.substr(0, cut));
                n += f.feed(all.substr(n));
            } else { // byte by byte
                for (std::size_t i = 0; i < all.size(); ++i)
                    n += f.feed(all.substr(i, 1));
            }
            EXPECT_EQ(n, taken) << cut;
            EXPECT_EQ(f.done(), done) << cut;
            EXPECT_EQ(f.failed(), c.failed) << cut;
        }
    }
}
