// The engine against a scripted upstream on loopback.
#include "proxy/engine.h"
#include "proxy/http_proxy.h"
#include "proxy/buffer_pool.h"
#include "proxy/upstream.h"
#include "proxy/socks.h"
#include "tests/proxy/engine_support.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>

using namespace std::string_literals;

namespace {

constexpr auto stopBudget = std::chrono::milliseconds(100);

const std::string greeting = "\x05\x01\x00"s;
const std::string request = "\x05\x01\x00\x03\x09"s + "dest.test" + "\x00\x50"s;
const std::string okReply = "\x05\x00\x00\x01\x7f\x00\x00\x01\x1f\x90"s;
const std::string failed = "\x05\x00"s + std::string(socks5Failure);

struct Engine : ::testing::Test {
    std::uint16_t port = 0;
    std::unique_ptr<ProxyEngine> engine;
    bool ahead = false; // upstream connections made ahead change the upstream's count
    void start(FakeUpstream& up, std::string user = "alice", std::string password = "s3cret",
               EngineOptions options = {}, std::string host = "127.0.0.1") {
        up.start();
        options.port = port = freeLoopbackPort();
        options.loginAhead = ahead;
        engine = std::make_unique<ProxyEngine>(options);
        ASSERT_TRUE(engine->start(UpstreamEndpoint{host, up.port, user, password}));
    }
    void TearDown() override {
        if (!engine) return;
        engine->stop();
        EXPECT_EQ(engine->sessionCount(), 0u);
    }
    // A client through the handshake to the copying stage.
    std::unique_ptr<TestClient> connected() {
        auto c = std::make_unique<TestClient>(port);
        EXPECT_EQ(c->exchange(greeting + request, 12), "\x05\x00"s + okReply);
        return c;
    }
};

} // namespace

TEST_F(Engine, Socks5ClientGoesThroughTheUpstreamUnchanged) {
    const struct {
        std::uint8_t method;
        std::string user, password, auth;
    } cases[] = {{0x02, "alice", "s3cret", "\x01\x05"s + "alice" + "\x06"s + "s3cret"},
                 {0x02, "", "", "\x01\x00\x00"s},
                 {0x02, std::string(255, 'u'), "p", "\x01\xff"s + std::string(255, 'u') + "\x01p"},
                 {0x00, "alice", "s3cret", ""}}; // METHOD 0x00 skips authentication
    for (const auto& k : cases) {
        FakeUpstream up;
        up.method = k.method;
        start(up, k.user, k.password);
        EXPECT_EQ(connected()->exchange("ping", 4), "ping");
        ASSERT_TRUE(waitUntil([&] { return up.ended().size() == 1; }));
        UpstreamSession s = up.ended()[0];
        EXPECT_EQ(s.offer, "\x05\x02\x00\x02"s);
        EXPECT_EQ(s.auth, k.auth);
        EXPECT_EQ(s.request, request);
        engine->stop();
    }
}

// The check the start runs before anything is switched: each outcome from
// the upstream's side, as one session would meet it.
TEST(CheckUpstream, TellsALoginFromEachWayItFails) {
    const struct {
        std::uint8_t method, status;
        int silentFrom;
        const char* host;
        UpstreamCheck expected;
    } cases[] = {{0x02, 0, 1 << 30, "127.0.0.1", UpstreamCheck::Ok},
                 {0xff, 0, 1 << 30, "127.0.0.1", UpstreamCheck::NoAcceptableMethod},
                 {0x02, 1, 1 << 30, "127.0.0.1", UpstreamCheck::Refused},
                 {0x02, 0, 0, "127.0.0.1", UpstreamCheck::TimedOut},
                 {0x02, 0, 1 << 30, "nowhere.test", UpstreamCheck::Unresolved}};
    EngineOptions options;
    options.resolve = [](const std::string&) { return std::string(); };
    for (const auto& k : cases) {
        FakeUpstream up;
        std::tie(up.method, up.authStatus, up.silentFrom) =
            std::tie(k.method, k.status, k.silentFrom);
        up.start();
        const UpstreamEndpoint endpoint{k.host, up.port, "alice", "s3cret"};
        EXPECT_EQ(checkUpstream(endpoint, std::chrono::milliseconds(500), options), k.expected)
            << describeUpstreamCheck(k.expected);
        if (k.expected == UpstreamCheck::Ok) {
            EXPECT_TRUE(waitUntil([&] { return up.ended().size() == 1; }) &&
                        up.ended()[0].auth == "\x01\x05"s + "alice" + "\x06"s + "s3cret");
        }
    }
    const UpstreamEndpoint closed{"127.0.0.1", freeLoopbackPort(), "alice", "s3cret"};
    EXPECT_EQ(checkUpstream(closed, std::chrono::milliseconds(500)), UpstreamCheck::Unreachable);
    // Our own listener, by any loopback address or a name for one: refused
    // before anything is dialled, whether or not it runs.
    options.resolve = [](const std::string&) { return "127.0.0.1"s; };
    for (const char* host : {"127.0.0.1", "127.0.0.2", "0.0.0.0", "loop.test"})
        EXPECT_EQ(
            checkUpstream({host, options.port, "a", "b"}, std::chrono::milliseconds(500), options),
            UpstreamCheck::OwnListener)
            << host;
}

TEST_F(Engine, RefusalsCloseTheClient) {
    const std::string rejected(socks4Rejected), refusedReply = "\x05\x05\0\x01\0\0\0\0\0\0"s;
    const std::string socks4Bind = "\x04\x02\x00\x50\x0a\x00\x00\x02\x00"s;
    const std::string socks4Connect = "\x04\x01\x00\x50\x0a\x00\x00\x02\x00"s;
    const struct {
        std::uint8_t method, status;
        std::string user, reply, first, answer; // answer: what the client gets before the end
        int connections;                        // upstream connections it costs
        bool requestSent;
    } cases[] = {// The greeting is answered before the upstream is dialled for the
                 // request; an upstream that lets us not in gives the request a failure.
                 {0xff, 0, "alice", okReply, greeting + request, failed, 1, false},
                 {0x02, 1, "alice", okReply, greeting + request, failed, 1, false},
                 {0x02, 0, std::string(256, 'u'), okReply, greeting + request, failed, 1, false},
                 // Nothing valid, or nothing at all (the client hangs up), costs no upstream.
                 {0x02, 0, "alice", okReply, "\x16\x03\x01\x02\x00\x01"s, "", 0, false}, // TLS
                 {0x02, 0, "alice", okReply, "", "", 0, false},
                 // SOCKS4a with an empty name, or one longer than SOCKS5 carries.
                 {0x02, 0, "alice", okReply, "\x04\x01\0\x50\0\0\0\x01\0\0"s, "", 0, false},
                 {0x02, 0, "alice", okReply, "\x04\x01\0\x50\0\0\0\x01\0"s + std::string(256, 'h'),
                  "", 0, false},
                 // SOCKS4: BIND never goes upstream; a refused login or CONNECT is
                 // rejected too.
                 {0x02, 0, "alice", okReply, socks4Bind, rejected, 0, false},
                 {0xff, 0, "alice", okReply, socks4Connect, rejected, 1, false},
                 {0x02, 0, "alice", refusedReply, socks4Connect, rejected, 1, true}};
    for (const auto& k : cases) {
        FakeUpstream up;
        up.method = k.method;
        up.authStatus = k.status;
        up.reply = k.reply;
        start(up, k.user);
        TestClient c(port);
        c.exchange(k.first, 0);
        if (k.first.empty()) c.shutdownSend();
        EXPECT_EQ(c.untilEnd(), k.answer) << k.first.size();
        ASSERT_TRUE(waitUntil([&] { return up.ended().size() == std::size_t(k.connections); }));
        EXPECT_EQ(up.accepted, k.connections);
        const UpstreamSession s = k.connections ? up.ended()[0] : UpstreamSession{};
        EXPECT_EQ(s.request.empty(), !k.requestSent);
        // A user name too long for RFC 1929 never yields a malformed message.
        EXPECT_TRUE(k.user.size() < 256 || s.auth.empty());
        engine->stop();
    }
}

// Each answer is the short response alone, then the end; a head that is not
// whole and valid never reaches the upstream.
TEST_F(Engine, BadHttpRequestsAreAnsweredAndNothingHalfParsedGoesOn) {
    EngineOptions options;
    options.handshakeDeadline = std::chrono::milliseconds(800);
    FakeUpstream up;
    start(up, "alice", "s3cret", options);
    const int descriptors = openDescriptorCount();
    const std::string get = "GET http://dest.test/ HTTP/1.1\r\n";
    const struct {
        std::string in;
        int status; // 0: the client leaves mid-headers
        std::string connect;
    } cases[] = {{get + "Host dest.test\r\n", 400, ""},
                 // A head that reaches the limit without its end, exactly.
                 {get + "X: " + std::string(httpHeadLimit - get.size() - 3, 'a'), 431, ""},
                 {get + "Host: dest.te", 0, ""},
                 {"CONNECT unreachable.test:443 HTTP/1.1\r\n\r\n", 502,
                  "\x05\x01\x00\x03\x10unreachable.test\x01\xbb"s},
                 {"CONNECT unanswered.test:443 HTTP/1.1\r\n\r\n", 504,
                  "\x05\x01\x00\x03\x0funanswered.test\x01\xbb"s},
                 {"GET http://dest.test/ HTTP/1.9\r\n\r\n", 505, ""},
                 // The body would reach the origin as a second request.
                 {"POST http://dest.test/ HTTP/1.1\r\nContent-Length: 37\r\nConnection: "
                  "Content-Length\r\n\r\nGET /admin HTTP/1.1\r\nHost: dest.test\r\n\r\n",
                  400, ""}};
    std::size_t connections = 0;
    for (const auto& k : cases) {
        {
            TestClient c(port);
            // The first line apart, so that the rest is judged without it.
            c.exchange(k.in.substr(0, get.size()), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            c.exchange(k.in.substr(get.size()), 0);
            if (k.status == 0) c.shutdownSend();
            EXPECT_EQ(c.untilEnd(std::chrono::seconds(5)),
                      k.status ? httpErrorResponse(k.status) : "")
                << k.status;
        }
        connections += !k.connect.empty();
        ASSERT_TRUE(waitUntil([&] { return up.ended().size() == connections; })) << k.status;
        EXPECT_EQ(up.accepted, int(connections));
        EXPECT_EQ(k.connect.empty() ? "" : up.ended().back().request, k.connect);
    }
    EXPECT_TRUE(waitUntil(
        [&] { return engine->sessionCount() == 0 && openDescriptorCount() == descriptors; }));
    // Still serving.
    TestClient c(port);
    EXPECT_EQ(c.exchange("CONNECT dest.test:80 HTTP/1.1\r\n\r\nhi", 41),
              std::string(httpTunnelEstablished) + "hi");
}

// Requests on one client connection, some pipelined, each response ending
// where its framing says; an origin's tunnel serves it until another origin
// is named or the origin closes it.
TEST_F(Engine, HttpKeepsConnectionsAliveAcrossRequestsAndOrigins) {
    const std::string big = pattern(3 << 20, 5);
    const struct {
        std::string method, host, path, fields, body, response;
        bool originCloses = false;
    } steps[] = {
        {"GET", "a.test", "/length", "", "", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"},
        {"GET", "a.test", "/chunked", "", "",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=1\r\nhello\r\n0\r\nT: "
         "1\r\n\r\n"},
        {"HEAD", "a.test", "/head", "", "", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n"},
        {"GET", "a.test", "/204", "", "", "HTTP/1.1 204 No Content\r\n\r\n"},
        {"GET", "a.test", "/304", "", "",
         "HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n"},
        {"POST", "a.test", "/length", "Content-Length: 3\r\n", "abc",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok"},
        {"POST", "a.test", "/chunked", "Transfer-Encoding: chunked\r\n", "3\r\nabc\r\n0\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"},
        // The origin closes at rest as the next request reaches it: that
        // request goes again on a new tunnel.
        {"GET", "a.test", "/gone", "", "", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true},
        {"GET", "a.test", "/again", "", "", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"},
        {"GET", "b.test", "/big", "", "",
         "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big},
        {"GET", "b.test", "/close", "", "", "HTTP/1.1 200 OK\r\n\r\nuntil the end", true},
    };
    const auto head = [](const auto& k, const std::string& target) {
        return k.method + " " + target + " HTTP/1.1\r\nHost: " + k.host + "\r\n" + k.fields +
               "\r\n" + k.body;
    };
    std::atomic<int> answered{0};
    FakeUpstream up;
    // The origin answers each request it is sent in origin form, and only that.
    up.destination = [&](asio::ip::tcp::socket& s) -> asio::awaitable<void> {
        std::string got;
        std::vector<char> buffer(65536);
        for (;;) {
            auto [ec, n] = co_await s.async_read_some(asio::buffer(buffer), asValues);
            if (ec) co_return;
            got.append(buffer.data(), n);
            const auto k = std::find_if(std::begin(steps), std::end(steps),
                                        [&](const auto& k) { return got == head(k, k.path); });
            if (k == std::end(steps)) continue;
            got.clear();
            ++answered;
            co_await asio::async_write(s, asio::buffer(k->response), asValues);
            const std::size_t more = k->path == "/gone" ? buffer.size() : 0;
            if (k->originCloses) {
                co_await s.async_read_some(asio::buffer(buffer.data(), more), asValues);
                co_return;
            }
        }
    };
    start(up);
    TestClient c(port);
    std::string pipelined, answers;
    for (const auto& k : steps) {
        const std::string request = head(k, "http://" + k.host + k.path);
        if (&k < &steps[7]) { // one write, answered in order
            pipelined += request;
            answers += k.response;
            if (&k == &steps[6]) {
                EXPECT_EQ(c.exchange(pipelined, answers.size()), answers);
            }
        } else if (!k.originCloses || k.host == "a.test") {
            const std::string got = c.exchange(request, k.response.size());
            EXPECT_TRUE(got == k.response) << k.path << ": " << got.substr(0, 80);
        } else {
            c.exchange(request, 0);
            EXPECT_EQ(c.untilEnd(), k.response) << k.path; // the close passes on
        }
    }
    EXPECT_EQ(answered, int(std::size(steps)));
    ASSERT_TRUE(waitUntil([&] { return up.ended().size() == 3; }));
    EXPECT_EQ(up.accepted, 3);
    const auto connect = [](const std::string& h) {
        return "\x05\x01\x00\x03\x06"s + h + "\0\x50"s;
    };
    EXPECT_EQ(up.ended()[0].request, connect("a.test"));
    EXPECT_EQ(up.ended()[1].request, connect("a.test"));
    EXPECT_EQ(up.ended()[2].request, connect("b.test"));
}

// One request per connection against an origin that answers `first` to the
// head and `final` once it has read bodySize bytes of body: the client gets
// the origin's answers that are meant for it, as they come, and nothing else.
TEST_F(Engine, HttpAnswersPassAsTheyComeAndOnlyWhenTheyAnswerTheRequest) {
    const std::string post = "POST http://a.test/up HTTP/1.1\r\n";
    const std::string forwarded = "POST /up HTTP/1.1\r\nHost: a.test\r\n";
    const std::string continued = "HTTP/1.1 100 Continue\r\n\r\n";
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    const std::string tooLarge = "HTTP/1.1 413 Content Too Large\r\nContent-Length: 0\r\n\r\n";
    using ms = std::chrono::milliseconds;
    const struct {
        std::string head, waitFor, body; // the client's, the body sent once waitFor came
        std::string first, final;        // the origin's
        std::size_t bodySize;
        std::string origin; // what the origin reads before `final` ("": never dialled)
        std::string answer; // what the client gets
        bool closes;        // and then its connection ends
        ms deadline{30000}, originWaits{0};
    } rows[] = {
        // A 101 nobody asked for: the origin does not get the client's connection.
        {"GET http://evil.test/ HTTP/1.1\r\n\r\n"
         "GET http://bank.test/ HTTP/1.1\r\nCookie: s\r\n\r\n",
         "", "", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\nforged", "", 0,
         "GET / HTTP/1.1\r\nHost: evil.test\r\n\r\n", httpErrorResponse(502), true},
        // 100 Continue reaches the client before its body is sent.
        {post + "Expect: 100-continue\r\nContent-Length: 4\r\n\r\n", continued, "data", continued,
         ok, 4, forwarded + "Expect: 100-continue\r\nContent-Length: 4\r\n\r\ndata", ok, false},
        // An early final answer: the rest of the body is never wanted.
        {post + "Content-Length: 100000\r\n\r\n0123456789", "", "", tooLarge, "", 0,
         forwarded + "Content-Length: 100000\r\n\r\n", tooLarge, true},
        // Lengths that agree go as one; a whole request waits for its answer.
        {post + "Content-Length: 5, 5\r\nContent-Length: 5\r\n\r\nhello", "", "", "", ok, 5,
         forwarded + "Content-Length: 5\r\n\r\nhello", ok, false, ms(600), ms(1500)},
        // An HTTP/1.0 client is sent no interim answer.
        {"GET http://a.test/ HTTP/1.0\r\n\r\n", "", "",
         "HTTP/1.1 103 Early Hints\r\nLink: </s>\r\n\r\n", ok, 0,
         "GET / HTTP/1.0\r\nHost: a.test\r\nConnection: close\r\n\r\n", ok, true},
        // A body that stops moving ends the exchange at the deadline.
        {post + "Content-Length: 10\r\n\r\nabc", "", "", "", "", 3,
         forwarded + "Content-Length: 10\r\n\r\nabc", httpErrorResponse(504), true, ms(600)},
    };
    for (const auto& k : rows) {
        SCOPED_TRACE(k.head.substr(0, 40));
        std::mutex lock;
        std::vector<std::string> before, after; // what the origin read before and after `final`
        FakeUpstream up;
        up.destination = [&](asio::ip::tcp::socket& s) -> asio::awaitable<void> {
            std::string got;
            std::size_t want = std::string::npos;
            bool answered = false;
            char buffer[4096];
            for (;;) {
                const std::size_t end = got.find("\r\n\r\n");
                if (want == std::string::npos && end != std::string::npos) {
                    want = end + 4 + k.bodySize;
                    co_await asio::async_write(s, asio::buffer(k.first), asValues);
                }
                if (!answered && got.size() >= want) {
                    answered = true;
                    asio::steady_timer wait(s.get_executor(), k.originWaits);
                    co_await wait.async_wait(asValues);
                    co_await asio::async_write(s, asio::buffer(k.final), asValues);
                }
                auto [ec, n] = co_await s.async_read_some(asio::buffer(buffer), asValues);
                if (ec) break;
                got.append(buffer, n);
            }
            std::lock_guard guard(lock);
            before.push_back(got.substr(0, want));
            after.push_back(got.substr(std::min(want, got.size())));
        };
        EngineOptions options;
        options.handshakeDeadline = k.deadline;
        start(up, "alice", "s3cret", options);
        TestClient c(port);
        c.exchange(k.head, 0);
        if (!k.waitFor.empty()) {
            EXPECT_EQ(c.exchange("", k.waitFor.size(), ms(5000)), k.waitFor);
        }
        c.exchange(k.body, 0);
        EXPECT_EQ(k.closes ? c.untilEnd() : c.recv(k.answer.size()), k.answer);
        engine->stop();
        const std::size_t dials = k.origin.empty() ? 0 : 1;
        ASSERT_TRUE(waitUntil([&] { return std::lock_guard(lock), before.size() == dials; }));
        EXPECT_EQ(up.accepted, int(dials));
        if (dials == 0) continue;
        EXPECT_EQ(before[0], k.origin);
        // No second request reached it; only the rest of an unwanted body may have.
        EXPECT_EQ(after[0].find(" HTTP/1.1\r\n"), std::string::npos) << after[0];
    }
}

// Whatever a client sends with or after its request reaches the destination
// after the upstream's reply, in order, on every front, even through an
// upstream that drops what comes in the same read as a request.
TEST_F(Engine, HandshakesAreAByteStreamAndNoByteSentEarlyIsLost) {
    FakeUpstream up;
    up.dropsPipelined = true;
    // The destination speaks first: its greeting follows the reply at once.
    up.reply = "\x05\x00\x00\x03\x04"s + "host" + "\x00\x50"s + "220 ready\r\n";
    start(up);
    const std::string granted = std::string(socks4Granted) + "220 ready\r\n" + "data";
    const std::string byAddress = "\x05\x01\x00\x01\x0a\x00\x00\x02\x1f\x90"s;
    const std::pair<std::string, std::string> cases[] = {
        // Greeting, request and data in one write; the upstream's reply passes as is.
        {greeting + request + "data", "\x05\x00"s + up.reply + "data"},
        {greeting + byAddress + "data", "\x05\x00"s + up.reply + "data"},
        {"\x04\x01\x1f\x90\x0a\x00\x00\x02"s + "user\0"s + "data", granted},
        {"\x04\x01\x00\x50\x00\x00\x00\x01"s + "u\0"s + "dest.test\0"s + "data", granted},
        {"CONNECT dest.test:80 HTTP/1.1\r\nHost: dest.test\r\n\r\ndata",
         std::string(httpTunnelEstablished) + "220 ready\r\n" + "data"}};
    // Whole, byte by byte, and three bytes (a SOCKS5 greeting) before the rest.
    for (const std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
        for (const auto& [first, answer] : cases) {
            TestClient c(port);
            if (cut == 1) {
                for (char byte : first)
                    c.exchange(std::string(1, byte), 0);
            } else {
                c.exchange(first.substr(0, cut), 0);
                c.exchange(first.substr(cut), 0);
            }
            EXPECT_EQ(c.recv(answer.size()), answer) << cut << " " << first.size();
            EXPECT_EQ(c.exchange("hi", 2), "hi");
        }
    }
    ASSERT_TRUE(waitUntil([&] { return up.ended().size() == 15; }));
    // Sessions end in any order. SOCKS4 translates to SOCKS5 by address,
    // SOCKS4a and HTTP CONNECT by name.
    int plain = 0, named = 0;
    for (const UpstreamSession& s : up.ended()) {
        plain += s.request == byAddress;
        named += s.request == request;
    }
    EXPECT_EQ(plain, 6);
    EXPECT_EQ(named, 9);
}

// The owner hears of every dial: let in, or why not; a refused CONNECT is the
// destination's affair. A swapped endpoint is what the next session dials.
TEST_F(Engine, ReportsEachDialsOutcomeAndDialsTheSwappedEndpoint) {
    std::mutex lock;
    std::vector<UpstreamCheck> heard;
    FakeUpstream good, refusing;
    refusing.authStatus = 1;
    refusing.start();
    good.start();
    port = freeLoopbackPort();
    EngineOptions options;
    options.port = port;
    options.loginAhead = false;
    engine = std::make_unique<ProxyEngine>(options, [&](UpstreamCheck result) {
        std::lock_guard<std::mutex> guard(lock);
        heard.push_back(result);
    });
    const auto endpoint = [](std::uint16_t p) {
        return UpstreamEndpoint{"127.0.0.1", p, "a", "b"};
    };
    ASSERT_TRUE(engine->start(endpoint(good.port)));
    const std::string refusedConnect = "\x05\x01\x00\x03\x10unreachable.test\x00\x50"s;
    const struct {
        std::uint16_t upstream;
        std::string request;
        UpstreamCheck expected;
    } cases[] = {{good.port, request, UpstreamCheck::Ok},
                 {good.port, refusedConnect, UpstreamCheck::Ok},
                 {refusing.port, request, UpstreamCheck::Refused},
                 {freeLoopbackPort(), request, UpstreamCheck::Unreachable},
                 {good.port, request, UpstreamCheck::Ok}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        engine->swapUpstream(endpoint(cases[i].upstream));
        TestClient c(port);
        c.exchange(greeting + cases[i].request, 0);
        c.untilEnd(std::chrono::milliseconds(300));
        ASSERT_TRUE(waitUntil([&] { return std::lock_guard(lock), heard.size() == i + 1; }));
        EXPECT_EQ(heard[i], cases[i].expected) << i;
    }
    EXPECT_EQ(good.accepted, 3);
    EXPECT_EQ(refusing.accepted, 1);
}

// An endpoint that is our own listener would make each session dial itself
// without end: every front gets its failure at the first step, nothing is
// dialled ahead, and the owner hears why.
TEST_F(Engine, AnUpstreamThatIsOurOwnListenerEndsAtTheFirstStep) {
    std::mutex lock;
    std::vector<UpstreamCheck> heard;
    EngineOptions options;
    options.port = port = freeLoopbackPort();
    engine = std::make_unique<ProxyEngine>(options, [&](UpstreamCheck result) {
        std::lock_guard<std::mutex> guard(lock);
        heard.push_back(result);
    });
    ASSERT_TRUE(engine->start(UpstreamEndpoint{"127.0.0.1", port, "a", "b"}));
    const std::string connect = "CONNECT dest.test:80 HTTP/1.1\r\n\r\n";
    const std::string socks4 = "\x04\x01\x00\x50\x0a\x00\x00\x02\x00"s;
    for (const auto& [first, answer] : {std::pair{greeting + request, failed},
                                        {socks4, std::string(socks4Rejected)},
                                        {connect, httpErrorResponse(502)}}) {
        TestClient c(port);
        c.exchange(first, 0);
        EXPECT_EQ(c.untilEnd(), answer);
        EXPECT_LE(engine->sessionCount(), 1u);
    }
    EXPECT_TRUE(waitUntil([&] { return engine->sessionCount() == 0; }));
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(heard, std::vector<UpstreamCheck>(3, UpstreamCheck::OwnListener));
}

// Whatever the address, a connection from one of the engine's own upstream
// sockets is known at the listener, for as long as that socket is ours; a
// client that happens to use the same local port towards us is not.
TEST(OwnEnd, MarksTheEngineOwnConnectionsWhileTheyLive) {
    using asio::ip::tcp;
    OwnEnds ends;
    asio::io_context io;
    const tcp::endpoint any{asio::ip::address_v4::loopback(), 0};
    tcp::acceptor listener(io, any), elsewhere(io, any);
    tcp::socket ours(io), samePort(io);
    for (tcp::socket* s : {&ours, &samePort}) {
        s->open(tcp::v4());
        s->set_option(tcp::socket::reuse_address(true));
    }
    ours.bind(any);
    ours.connect(elsewhere.local_endpoint()); // our upstream
    samePort.bind(ours.local_endpoint());
    samePort.connect(listener.local_endpoint()); // a client of ours
    OwnEnd end(ends, ours);
    tcp::socket atUpstream = elsewhere.accept(), client = listener.accept();
    EXPECT_TRUE(fromOwnUpstream(ends, atUpstream));
    EXPECT_FALSE(fromOwnUpstream(ends, client));
    OwnEnd moved = std::move(end);
    EXPECT_TRUE(fromOwnUpstream(ends, atUpstream));
    moved.reset();
    EXPECT_FALSE(fromOwnUpstream(ends, atUpstream));
    EXPECT_TRUE(ends.empty());
}

// Clients that open a download and never read: each session keeps only what
// its client's socket did not take of one small read, and every byte still
// arrives once a client reads.
TEST_F(Engine, ClientsThatNeverReadHoldLittleMemory) {
    const std::size_t clients = 40, size = 8 << 20, chunk = 64 * 1024;
    const std::string download = pattern(size, 5);
    std::atomic<std::size_t> sent{0};
    FakeUpstream up;
    up.destination = [&](asio::ip::tcp::socket& s) -> asio::awaitable<void> {
        for (std::size_t at = 0; at < size; at += chunk) {
            auto [ec, n] =
                co_await asio::async_write(s, asio::buffer(download.data() + at, chunk), asValues);
            sent += n;
            if (ec) co_return;
        }
    };
    start(up);
    std::vector<std::unique_ptr<TestClient>> idle;
    for (std::size_t i = 0; i < clients; ++i)
        idle.push_back(connected());
    // Every destination is stuck once nothing more goes out for a while.
    std::size_t last = 0;
    EXPECT_TRUE(waitUntil([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return std::exchange(last, sent.load()) == last && last > 0;
    }));
    // At most one session may be in a burst while the others wait.
    EXPECT_LE(engine->bufferedBytes(), relayBufferSize) << engine->bufferedBytes();
    const std::string got = idle[0]->recv(size);
    EXPECT_TRUE(got == download) << got.size();
}

// A refused login may be a wrong password, and a provider may lock an account
// that keeps failing: after one, nothing is dialled ahead any more.
TEST_F(Engine, AWrongPasswordIsNotTriedAgainAhead) {
    FakeUpstream up;
    up.authStatus = 1;
    ahead = true;
    start(up);
    TestClient c(port);
    c.exchange(greeting + request, 0);
    EXPECT_EQ(c.untilEnd(), failed);
    // Logins ahead were made once a second before.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_LE(up.accepted, 3);
}

// An upstream not yet listening when the engine starts teaches the probe
// nothing: once it answers, the probe is asked again and dials go in one
// write, instead of step by step until the next endpoint.
TEST_F(Engine, AProbeThatCouldNotReachTheUpstreamIsAskedAgain) {
    FakeUpstream up;
    up.port = freeLoopbackPort();
    EngineOptions options;
    options.port = port = freeLoopbackPort();
    engine = std::make_unique<ProxyEngine>(options);
    ASSERT_TRUE(engine->start(UpstreamEndpoint{"127.0.0.1", up.port, "alice", "s3cret"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the probe meets a closed port
    up.start();
    const auto pipelined = [&] {
        const auto ended = up.ended();
        return std::count_if(ended.begin(), ended.end(),
                             [](const UpstreamSession& s) { return s.pipelined; });
    };
    for (int i = 0; i < 20 && pipelined() == 0; ++i)
        EXPECT_EQ(connected()->exchange("x", 1), "x");
    EXPECT_GT(pipelined(), 0);
}

// A dial in one write that its client leaves before the upstream answers
// heard nothing wrong: pipelining stays, and later logins still go in one write.
TEST_F(Engine, ADialItsClientLeftKeepsPipelining) {
    FakeUpstream up;
    up.silentOne = 1; // the first client's dial; the probe is connection 0
    ahead = true;
    start(up);
    ASSERT_TRUE(waitUntil([&] { return up.ended().size() == 1; })); // the probe
    {
        TestClient leaving(port);
        leaving.exchange(greeting + request, 2);
        ASSERT_TRUE(waitUntil([&] { return up.accepted == 2; }));
    }
    const auto pipelinedRequests = [&] {
        const auto ended = up.ended();
        return std::count_if(ended.begin(), ended.end(), [](const UpstreamSession& s) {
            return s.pipelined && s.request == request;
        });
    };
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(connected()->exchange("x", 1), "x");
    engine->stop();
    EXPECT_GT(pipelinedRequests(), 0);
}

TEST_F(Engine, HalfClosingClientGetsTheWholeAnswer) {
    const std::string answer = pattern(4 << 20, 7);
    std::atomic<bool> sawQuestion{false};
    FakeUpstream up;
    up.destination = [&](asio::ip::tcp::socket& s) -> asio::awaitable<void> {
        std::string question(9, '\0');
        auto [ec, n] = co_await asio::async_read(s, asio::buffer(question), asValues);
        sawQuestion = ec == asio::error::eof && question.substr(0, n) == "question";
        co_await asio::async_write(s, asio::buffer(answer), asValues);
        s.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
    };
    start(up);
    TestClient c(port);
    ASSERT_EQ(c.exchange(greeting + request + "question", 12), "\x05\x00"s + okReply);
    c.shutdownSend();
    std::string got = c.untilEnd();
    EXPECT_TRUE(got == answer) << got.size();
    EXPECT_TRUE(sawQuestion);
}

TEST_F(Engine, FullDuplexPeersThatWriteBeforeReadingDoNotStall) {
    const std::size_t size = 16 << 20;
    const std::string down = pattern(size, 1), upData = pattern(size, 2);
    std::atomic<bool> destinationGotAll{false};
    FakeUpstream up;
    up.destination = [&](asio::ip::tcp::socket& s) -> asio::awaitable<void> {
        co_await asio::async_write(s, asio::buffer(down), asValues); // all before reading
        std::string got(size, '\0');
        co_await asio::async_read(s, asio::buffer(got), asValues);
        destinationGotAll = got == upData;
    };
    start(up);
    std::string got = connected()->exchange(upData, size);
    EXPECT_TRUE(got == down) << got.size();
    EXPECT_TRUE(waitUntil([&] { return destinationGotAll.load(); }));
}

TEST_F(Engine, TwoHundredClientsAtOnce) {
    FakeUpstream up;
    start(up);
    std::atomic<int> ready{0}, good{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> clients;
    for (std::uint32_t i = 0; i < 200; ++i)
        clients.emplace_back([&, i] {
            auto c = connected();
            ++ready; // every session is in its copying stage before any data moves
            waitUntil([&] { return go.load(); });
            std::string data = pattern(32768, i);
            good += c->exchange(data, data.size()) == data;
        });
    EXPECT_TRUE(waitUntil([&] { return ready == 200; }));
    EXPECT_EQ(engine->sessionCount(), 200u);
    go = true;
    for (std::thread& t : clients)
        t.join();
    EXPECT_EQ(good, 200);
}

TEST_F(Engine, DeadlinesFreeSessionsThatWaitButNotQuietOnes) {
    EngineOptions options;
    options.handshakeDeadline = std::chrono::milliseconds(600);
    options.finWait = std::chrono::milliseconds(600);
    {
        FakeUpstream mute;
        mute.silentFrom = 0;
        start(mute, "alice", "s3cret", options);
        TestClient waiting(port), leaving(port);
        waiting.exchange("\x04\x01\x00\x50\x0a\x00\x00\x02\x00"s, 0);
        leaving.exchange(greeting + request, 0);
        ASSERT_TRUE(waitUntil([&] { return mute.accepted == 2; }));
        leaving.shutdownSend(); // gone at once, long before the deadline
        EXPECT_TRUE(
            waitUntil([&] { return engine->sessionCount() == 1; }, options.handshakeDeadline / 2));
        EXPECT_EQ(waiting.untilEnd(std::chrono::seconds(5)), std::string(socks4Rejected));
        EXPECT_TRUE(waitUntil([&] { return engine->sessionCount() == 0; }));
        engine->stop();
    }
    // Both directions open: no limit. One ended and the destination silent:
    // freed after the FIN-wait.
    FakeUpstream silent;
    silent.destination = [](asio::ip::tcp::socket& s) -> asio::awaitable<void> {
        char byte;
        co_await s.async_read_some(asio::buffer(&byte, 1), asValues); // the end
        asio::steady_timer never(s.get_executor(), testWait);
        co_await never.async_wait(asValues);
    };
    start(silent, "alice", "s3cret", options);
    auto c = connected();
    std::this_thread::sleep_for(2 * options.finWait);
    EXPECT_EQ(engine->sessionCount(), 1u);
    c->shutdownSend();
    EXPECT_EQ(c->untilEnd(std::chrono::seconds(5)), "");
    EXPECT_TRUE(waitUntil([&] { return engine->sessionCount() == 0; }));
}

TEST_F(Engine, StopEndsEverySessionAtOnceAndClosesAllSockets) {
    const int descriptorsBefore = openDescriptorCount();
    {
        // A name is looked up once per endpoint; this one's lookup never
        // returns until the end of the test.
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<int> lookups{0};
        EngineOptions options;
        options.resolve = [&](const std::string& name) {
            ++lookups;
            if (name == "stuck.test") released.wait_for(testWait);
            return name == "upstream.test" ? "127.0.0.1"s : ""s;
        };
        FakeUpstream up;
        up.silentFrom = 1; // the second session waits on an upstream that never answers
        start(up, "alice", "s3cret", options, "upstream.test");
        // The port is held alone (Windows: exclusive use, never a shared bind).
        options.port = port;
        ProxyEngine second(options);
        EXPECT_FALSE(second.start(UpstreamEndpoint{"127.0.0.1", up.port, "", ""}));
        TestClient idle(port);
        ASSERT_EQ(idle.exchange(greeting + request + "x", 13), "\x05\x00"s + okReply + "x");
        TestClient waitingOnUpstream(port), waitingOnLookup(port), silentClient(port);
        waitingOnUpstream.exchange(greeting + request, 0);
        ASSERT_TRUE(waitUntil([&] { return up.accepted == 2; }));
        engine->swapUpstream(UpstreamEndpoint{"stuck.test", up.port, "", ""});
        waitingOnLookup.exchange(greeting + request, 0);
        ASSERT_TRUE(waitUntil([&] { return lookups == 2 && engine->sessionCount() == 4; }));

        auto t0 = Clock::now();
        engine->stop();
        EXPECT_LT(Clock::now() - t0, stopBudget);
        EXPECT_EQ(engine->sessionCount(), 0u);
        EXPECT_EQ(idle.untilEnd(std::chrono::seconds(3)), "");
        EXPECT_EQ(silentClient.untilEnd(std::chrono::seconds(3)), "");
        for (TestClient* c : {&waitingOnUpstream, &waitingOnLookup})
            EXPECT_EQ(c->untilEnd(std::chrono::seconds(3)), "\x05\x00"s);
        EXPECT_FALSE(TestClient(port).connected());
        EXPECT_EQ(up.accepted, 2);
        EXPECT_TRUE(second.start(UpstreamEndpoint{"127.0.0.1", up.port, "", ""}));
        EXPECT_TRUE(second.running());
        release.set_value();
        engine.reset();
    }
    if (descriptorsBefore >= 0) {
        EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() == descriptorsBefore; }))
            << openDescriptorCount() << " vs " << descriptorsBefore;
    }
}

// After a sleep: a tunnel that has heard nothing from its upstream since
// before it, and an HTTP client at rest, are closed; a tunnel that has heard
// since is kept, and the endpoint is probed again.
TEST_F(Engine, RefreshClosesWhatMayHaveDiedInASleepAndKeepsWhatLives) {
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    FakeUpstream up;
    // An origin for GET requests, an echo for the rest.
    up.destination = [&](asio::ip::tcp::socket& s) -> asio::awaitable<void> {
        char buffer[4096];
        for (;;) {
            auto [ec, n] = co_await s.async_read_some(asio::buffer(buffer), asValues);
            if (ec) co_return;
            const std::string_view got(buffer, n);
            const std::string_view out = got.starts_with("GET ") ? std::string_view(ok) : got;
            co_await asio::async_write(s, asio::buffer(out), asValues);
        }
    };
    ahead = true;
    start(up);
    auto stale = connected(), live = connected();
    EXPECT_EQ(stale->exchange("ping", 4), "ping");
    const auto quietSince = Clock::now();
    TestClient http(port);
    EXPECT_EQ(http.exchange("GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n", ok.size()), ok);
    // Also lets the engine's thread see the HTTP session's last write through.
    EXPECT_EQ(live->exchange("pong", 4), "pong");
    engine->refresh(quietSince);
    EXPECT_EQ(stale->untilEnd(), "");
    EXPECT_EQ(http.untilEnd(), "");
    EXPECT_EQ(live->exchange("still", 5), "still");
    const auto probes = [&] {
        const auto ended = up.ended();
        return std::count_if(ended.begin(), ended.end(), [](const UpstreamSession& s) {
            return s.request == "\x05\x01\x00\x01\0\0\0\0\0\0"s;
        });
    };
    EXPECT_TRUE(waitUntil([&] { return probes() == 2; }));
}

// Logged in ahead and pipelined where the upstream takes it: every client
// gets the same bytes, and the upstream sees the same messages, as when each
// session dials step by step.
TEST_F(Engine, LoginsAheadAndPipeliningKeepEveryByte) {
    const struct {
        bool dropsPipelined; // one message per read: the probe finds it, and it gets none
        int noAuthFrom;      // a pipelined login misheard after the probe: retried
        int hangUps;         // a warm connection that dies at its request: redialled
    } cases[] = {{false, 1 << 30, 0}, {true, 1 << 30, 0}, {false, 1, 0}, {false, 1 << 30, 1}};
    const int descriptorsBefore = openDescriptorCount();
    for (const auto& k : cases) {
        FakeUpstream up;
        up.dropsPipelined = k.dropsPipelined;
        up.noAuthFrom = k.noAuthFrom;
        ahead = true;
        start(up);
        // A client that never sends a request causes no login.
        TestClient silent(port);
        silent.exchange(greeting, 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(up.accepted, 1); // the probe
        const int probeLogins = up.loggedIn;
        int clients = 0;
        for (const std::string& data : {"first"s, "second"s, "third"s}) {
            TestClient c(port);
            EXPECT_EQ(c.exchange(greeting + request, 12), "\x05\x00"s + okReply);
            EXPECT_EQ(c.exchange(data, data.size()), data);
            ++clients;
            // The next session finds a connection logged in ahead.
            EXPECT_TRUE(waitUntil([&] { return up.loggedIn >= probeLogins + clients + 1; }));
            if (clients == 1) up.hangUpOnRequest = k.hangUps;
        }
        engine->stop();
        ASSERT_TRUE(waitUntil([&] { return up.ended().size() == std::size_t(up.accepted); }));
        int requests = 0, pipelined = 0;
        for (const UpstreamSession& s : up.ended()) {
            if (s.request != request) continue;
            ++requests;
            pipelined += s.pipelined;
            EXPECT_EQ(s.offer, "\x05\x02\x00\x02"s);
            EXPECT_EQ(s.auth, k.noAuthFrom == 1 ? "" : "\x01\x05"s + "alice\x06s3cret");
        }
        EXPECT_EQ(requests, clients + k.hangUps);
        EXPECT_EQ(pipelined > 0, !k.dropsPipelined && k.noAuthFrom > 1);
    }
    engine.reset();
    if (descriptorsBefore >= 0) {
        EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() == descriptorsBefore; }));
    }
}
