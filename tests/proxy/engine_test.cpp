// The engine (listener + relays) against a scripted upstream on loopback.
#include "core/state.h"
#include "proxy/listener.h"
#include "proxy/socks.h"
#include "tests/proxy/engine_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

using namespace std::string_literals;

namespace {

const std::string greeting = "\x05\x01\x00"s;
const std::string request = "\x05\x01\x00\x03\x09"s + "dest.test" + "\x00\x50"s;
const std::string okReply = "\x05\x00\x00\x01\x7f\x00\x00\x01\x1f\x90"s;

struct Engine : ::testing::Test {
    std::uint16_t port = 0;
    void start(FakeUpstream& up, std::string user = "alice", std::string password = "s3cret") {
        up.start();
        appState.upstream = UpstreamEndpoint{"127.0.0.1", up.port, user, password};
        port = freeLoopbackPort();
        ASSERT_TRUE(startListener(port));
    }
    void TearDown() override {
        stopListener();
        EXPECT_TRUE(waitUntil([] { return appState.clientRegistry.size() == 0; }));
    }
    // Greeting, request, reply; then payload out and its echo back.
    std::string socks5RoundTrip(const std::string& payload) {
        TestSocket c(connectLoopback(port));
        if (!sendWithin(c, greeting) || recvBytes(c, 2) != "\x05\x00"s) return "no greeting";
        if (!sendWithin(c, request) || recvBytes(c, 10) != okReply) return "no reply";
        if (!sendWithin(c, payload)) return "send failed";
        return recvBytes(c, payload.size());
    }
    // Sends first, then reads until the relay ends.
    std::string closedAfter(const std::string& first) {
        TestSocket c(connectLoopback(port));
        sendWithin(c, first);
        bool closed = false;
        std::string got = recvBytes(c, std::string::npos, testWait, &closed);
        return closed ? got : "still open";
    }
};

} // namespace

TEST_F(Engine, Socks5ClientGoesThroughTheUpstreamUnchanged) {
    const struct {
        std::uint8_t method;
        std::string user, password, auth;
    } cases[] = {{0x02, "alice", "s3cret", "\x01\x05"s + "alice" + "\x06"s + "s3cret"},
                 {0x02, "", "", "\x01\x00\x00"s},
                 {0x00, "alice", "s3cret", ""}}; // METHOD 0x00 skips authentication
    for (const auto& k : cases) {
        FakeUpstream up;
        up.method = k.method;
        start(up, k.user, k.password);
        EXPECT_EQ(socks5RoundTrip("ping"), "ping");
        ASSERT_TRUE(waitUntil([&] { return up.finished() == 1; }));
        UpstreamSession s = up.session(0);
        EXPECT_EQ(s.offer, "\x05\x02\x00\x02"s);
        EXPECT_EQ(s.auth, k.auth);
        EXPECT_EQ(s.request, request);
        stopListener();
    }
}

TEST_F(Engine, RefusalsCloseTheClient) {
    const std::string rejected(socks4Rejected), refusedReply = "\x05\x05\0\x01\0\0\0\0\0\0"s;
    const std::string socks4Bind = "\x04\x02\x00\x50\x0a\x00\x00\x02\x00"s;
    const std::string socks4Connect = "\x04\x01\x00\x50\x0a\x00\x00\x02\x00"s;
    const struct {
        std::uint8_t method, status;
        std::string user, reply, first, answer; // answer: what the client gets before the end
        bool requestSent;
    } cases[] = {{0xff, 0, "alice", okReply, greeting + request, "", false},
                 {0x02, 1, "alice", okReply, greeting + request, "", false},
                 {0x02, 0, std::string(256, 'u'), okReply, greeting + request, "", false},
                 {0x02, 0, "alice", okReply, "GET / HTTP/1.1\r\n\r\n", "", false},
                 // SOCKS4: BIND never goes upstream; a refused CONNECT is rejected too.
                 {0x02, 0, "alice", okReply, socks4Bind, rejected, false},
                 {0x02, 0, "alice", refusedReply, socks4Connect, rejected, true}};
    for (const auto& k : cases) {
        FakeUpstream up;
        up.method = k.method;
        up.authStatus = k.status;
        up.reply = k.reply;
        start(up, k.user);
        EXPECT_EQ(closedAfter(k.first), k.answer) << int(k.method) << " " << k.first.size();
        ASSERT_TRUE(waitUntil([&] { return up.finished() == 1; }));
        EXPECT_EQ(up.session(0).request.empty(), !k.requestSent);
        // A user name too long for RFC 1929 never yields a malformed message.
        EXPECT_TRUE(k.user.size() < 256 || up.session(0).auth.empty());
        stopListener();
    }
}

TEST_F(Engine, HandshakesAreAByteStreamAndSocks4IsTranslated) {
    FakeUpstream up;
    // The destination speaks first: its greeting follows the reply at once.
    up.reply = "\x05\x00\x00\x03\x04"s + "host" + "\x00\x50"s + "220 ready\r\n";
    start(up);
    const std::string granted = std::string(socks4Granted) + "220 ready\r\n";
    const std::pair<std::string, std::string> cases[] = {
        // Greeting, request and data in one write; the upstream's reply passes as is.
        {greeting + request + "data", "\x05\x00"s + up.reply + "data"},
        {"\x04\x01\x1f\x90\x0a\x00\x00\x02"s + "user\0"s, granted},
        {"\x04\x01\x00\x50\x00\x00\x00\x01"s + "u\0"s + "dest.test\0"s, granted}}; // SOCKS4a
    for (std::size_t step : {std::size_t{64}, std::size_t{1}}) {
        for (const auto& [first, answer] : cases) {
            TestSocket c(connectLoopback(port));
            for (std::size_t i = 0; i < first.size(); i += step)
                ASSERT_TRUE(sendWithin(c, first.substr(i, step)));
            EXPECT_EQ(recvBytes(c, answer.size()), answer) << step;
            ASSERT_TRUE(sendWithin(c, "hi"));
            EXPECT_EQ(recvBytes(c, 2), "hi");
        }
    }
    ASSERT_TRUE(waitUntil([&] { return up.finished() == 6; }));
    // Sessions end in any order. The SOCKS4a request translates to the SOCKS5 one.
    int plain = 0, named = 0;
    for (std::size_t i = 0; i < 6; ++i) {
        plain += up.session(i).request == "\x05\x01\x00\x01\x0a\x00\x00\x02\x1f\x90"s;
        named += up.session(i).request == request;
    }
    EXPECT_EQ(plain, 2);
    EXPECT_EQ(named, 4);
}

TEST_F(Engine, HalfClosingClientGetsTheWholeAnswer) {
    // Declared before the upstream, whose destructor joins the destination.
    const std::string answer = pattern(4 << 20, 7);
    std::atomic<bool> sawQuestion{false};
    FakeUpstream up;
    up.destination = [&](SocketHandle s) {
        bool closed = false;
        sawQuestion = recvBytes(s, std::string::npos, testWait, &closed) == "question" && closed;
        sendWithin(s, answer);
        ::shutdown(s, shutdownSend);
    };
    start(up);
    TestSocket c(connectLoopback(port));
    ASSERT_TRUE(sendWithin(c, greeting + request + "question"));
    ASSERT_EQ(recvBytes(c, 12), "\x05\x00"s + okReply);
    ::shutdown(c, shutdownSend);
    bool closed = false;
    std::string got = recvBytes(c, std::string::npos, testWait, &closed);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(got == answer) << got.size();
    EXPECT_TRUE(sawQuestion);
}

TEST_F(Engine, FullDuplexPeersThatWriteBeforeReadingDoNotStall) {
    const std::size_t size = 16 << 20;
    const std::string down = pattern(size, 1), upData = pattern(size, 2);
    std::atomic<bool> destinationGotAll{false};
    FakeUpstream up;
    up.destination = [&](SocketHandle s) {
        sendWithin(s, down); // all of it before reading anything
        destinationGotAll = recvBytes(s, size) == upData;
    };
    start(up);
    TestSocket c(connectLoopback(port));
    ASSERT_TRUE(sendWithin(c, greeting + request));
    ASSERT_EQ(recvBytes(c, 12), "\x05\x00"s + okReply);
    std::thread writer([&] { sendWithin(c, upData); });
    std::string got = recvBytes(c, size);
    writer.join();
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
            TestSocket c(connectLoopback(port));
            bool ok =
                sendWithin(c, greeting + request) && recvBytes(c, 12) == "\x05\x00"s + okReply;
            ++ready; // every client's relay is in its copy stage before any data moves
            waitUntil([&] { return go.load(); });
            std::string data = pattern(32768, i);
            if (ok && sendWithin(c, data) && recvBytes(c, data.size()) == data) ++good;
        });
    EXPECT_TRUE(waitUntil([&] { return ready == 200; }));
    EXPECT_EQ(appState.clientRegistry.size(), 1u + 2 * 200);
    go = true;
    for (std::thread& t : clients)
        t.join();
    EXPECT_EQ(good, 200);
}

TEST_F(Engine, StopEndsListenerAndEveryRelayAndClosesAllSockets) {
    const int descriptorsBefore = openDescriptorCount();
    {
        FakeUpstream up;
        up.silentFrom = 2; // the third relay waits on an upstream that never answers
        start(up);
        TestSocket idle(connectLoopback(port));
        ASSERT_TRUE(sendWithin(idle, greeting + request + "x"));
        ASSERT_EQ(recvBytes(idle, 13), "\x05\x00"s + okReply + "x");
        TestSocket silentClient(connectLoopback(port));
        ASSERT_TRUE(waitUntil([&] { return up.accepted == 2; }));
        TestSocket waitingOnUpstream(connectLoopback(port));
        ASSERT_TRUE(waitUntil([] { return appState.clientRegistry.size() == 7; }));

        auto t0 = Clock::now();
        stopListener();
        EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1500));
        EXPECT_TRUE(
            waitUntil([] { return appState.clientRegistry.size() == 0; }, std::chrono::seconds(3)));
        for (SocketHandle s : {idle.s, silentClient.s, waitingOnUpstream.s}) {
            bool closed = false;
            recvBytes(s, std::string::npos, std::chrono::seconds(3), &closed);
            EXPECT_TRUE(closed);
        }
        TestSocket late(connectLoopback(port));
        EXPECT_EQ(late.s, invalidSocket);
        EXPECT_EQ(up.accepted, 3);
    }
    if (descriptorsBefore >= 0) {
        EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() == descriptorsBefore; }))
            << openDescriptorCount() << " vs " << descriptorsBefore;
    }
}

TEST_F(Engine, ClientAcceptedAfterTheStopBeganIsNotRelayed) {
    FakeUpstream up;
    up.start();
    appState.upstream = UpstreamEndpoint{"127.0.0.1", up.port, "alice", "s3cret"};
    std::uint16_t listenPort = 0;
    SocketHandle listening = listenLoopback(listenPort);
    appState.clientRegistry.open();
    appState.clientRegistry.closeAll(); // the stop began; this socket is not shut down
    appState.listenerRunning = true;
    std::thread listener(runListener, listening);
    TestSocket c(connectLoopback(listenPort));
    bool closed = false;
    EXPECT_EQ(recvBytes(c, std::string::npos, std::chrono::seconds(5), &closed), "");
    EXPECT_TRUE(closed);
    listener.join(); // ends by itself once it saw the stop
    appState.listenerRunning = false;
    EXPECT_EQ(up.accepted, 0);
    appState.clientRegistry.open();
}

TEST(Listener, AcceptOnAStoppedListeningSocketNeverWaits) {
    // Under Wine a blocking accept on a listening socket that a stop has shut
    // down never returns, and the stop's join would hang with it.
    SocketHandle listening = openListeningSocket(freeLoopbackPort());
    ASSERT_NE(listening, invalidSocket);
    ::shutdown(listening, shutdownBoth);
    auto returned = std::make_shared<std::atomic<bool>>(false);
    std::thread([listening, returned] {
        SocketHandle s = ::accept(listening, nullptr, nullptr);
        if (s != invalidSocket) closeSocket(s);
        returned->store(true);
    }).detach();
    EXPECT_TRUE(waitUntil([&] { return returned->load(); }, std::chrono::seconds(3)));
    if (returned->load()) closeSocket(listening); // else the stuck thread still uses it
}
