// The engine (listener + relays) against a scripted upstream on loopback.
#include "app/state.h"
#include "proxy/listener.h"
#include "proxy/relay.h"
#include "proxy/socks.h"
#include "tests/proxy/engine_support.h"

#include <gtest/gtest.h>

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
    // Sends first (in pieces of `step` bytes), then reads until the relay ends.
    std::string closedAfter(const std::string& first, std::size_t step = 4096) {
        TestSocket c(connectLoopback(port));
        for (std::size_t i = 0; i < first.size(); i += step)
            sendWithin(c, first.substr(i, step));
        bool closed = false;
        std::string got = recvToEnd(c, closed);
        return closed ? got : "still open";
    }
};

} // namespace

TEST_F(Engine, Socks5ClientGoesThroughAuthenticatedUpstreamUnchanged) {
    FakeUpstream up;
    start(up);
    EXPECT_EQ(socks5RoundTrip("ping"), "ping");
    ASSERT_TRUE(waitUntil([&] { return up.finished() == 1; }));
    UpstreamSession s = up.session(0);
    EXPECT_EQ(s.offer, "\x05\x02\x00\x02"s);
    EXPECT_EQ(s.auth, "\x01\x05"s + "alice" + "\x06"s + "s3cret");
    EXPECT_EQ(s.request, request);
}

TEST_F(Engine, EmptyCredentialsAndMethodNone) {
    FakeUpstream up;
    start(up, "", "");
    EXPECT_EQ(socks5RoundTrip("a"), "a");
    stopListener();
    FakeUpstream none;
    none.method = 0x00;
    start(none);
    EXPECT_EQ(socks5RoundTrip("b"), "b");
    ASSERT_TRUE(waitUntil([&] { return up.finished() == 1 && none.finished() == 1; }));
    EXPECT_EQ(up.session(0).auth, "\x01\x00\x00"s);
    EXPECT_EQ(none.session(0).auth, "");
    EXPECT_EQ(none.session(0).request, request);
}

TEST_F(Engine, RefusalsCloseTheClientWithoutReply) {
    struct Case {
        std::uint8_t method, status;
        std::string user, first;
    };
    const Case cases[] = {{0xff, 0, "alice", greeting + request},
                          {0x02, 1, "alice", greeting + request},
                          {0x02, 0, std::string(256, 'u'), greeting + request},
                          {0x02, 0, "alice", "GET / HTTP/1.1\r\n\r\n"}};
    for (const Case& k : cases) {
        FakeUpstream up;
        up.method = k.method;
        up.authStatus = k.status;
        start(up, k.user);
        EXPECT_EQ(closedAfter(k.first), "") << int(k.method) << " " << k.user.size();
        ASSERT_TRUE(waitUntil([&] { return up.finished() == 1; }));
        EXPECT_EQ(up.session(0).request, "");
        if (k.user.size() > 255) {
            EXPECT_EQ(up.session(0).auth, "");
        }
        stopListener();
    }
}

TEST_F(Engine, Socks4And4aAreTranslatedAndGranted) {
    FakeUpstream up;
    // The destination speaks first: its greeting follows the reply at once.
    up.reply = "\x05\x00\x00\x03\x04"s + "host" + "\x00\x50"s + "220 ready\r\n";
    start(up);
    const std::string socks4 = "\x04\x01\x1f\x90\x0a\x00\x00\x02"s + "user\0"s;
    const std::string socks4a = "\x04\x01\x00\x50\x00\x00\x00\x01"s + "u\0"s + "dest.test\0"s;
    for (std::size_t step : {socks4.size(), std::size_t{1}}) {
        for (const std::string& r : {socks4, socks4a}) {
            TestSocket c(connectLoopback(port));
            for (std::size_t i = 0; i < r.size(); i += step)
                ASSERT_TRUE(sendWithin(c, r.substr(i, step)));
            EXPECT_EQ(recvBytes(c, 8 + 11), std::string(socks4Granted) + "220 ready\r\n");
            ASSERT_TRUE(sendWithin(c, "hi"));
            EXPECT_EQ(recvBytes(c, 2), "hi");
        }
    }
    ASSERT_TRUE(waitUntil([&] { return up.finished() == 4; }));
    for (std::size_t i = 0; i < 4; ++i) {
        std::string sent = up.session(i).request;
        EXPECT_TRUE(sent == "\x05\x01\x00\x01\x0a\x00\x00\x02\x1f\x90"s ||
                    sent == "\x05\x01\x00\x03\x09"s + "dest.test" + "\x00\x50"s)
            << sent;
    }
}

TEST_F(Engine, Socks4RejectionsAreAnswered) {
    FakeUpstream up;
    up.reply = "\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00"s; // connection refused
    start(up);
    const std::string bind = "\x04\x02\x00\x50\x0a\x00\x00\x02\x00"s;
    const std::string connect = "\x04\x01\x00\x50\x0a\x00\x00\x02\x00"s;
    EXPECT_EQ(closedAfter(bind), std::string(socks4Rejected));
    EXPECT_EQ(closedAfter(connect), std::string(socks4Rejected));
    ASSERT_TRUE(waitUntil([&] { return up.finished() == 2; }));
    // BIND never reaches the upstream as a request.
    EXPECT_EQ(up.session(0).request.empty() + up.session(1).request.empty(), 1);
}

TEST_F(Engine, HandshakeBytesAreAStream) {
    FakeUpstream up;
    start(up);
    const std::string all = greeting + request + "data";
    for (std::size_t step : {all.size(), std::size_t{1}}) {
        TestSocket c(connectLoopback(port));
        for (std::size_t i = 0; i < all.size(); i += step)
            ASSERT_TRUE(sendWithin(c, all.substr(i, step)));
        EXPECT_EQ(recvBytes(c, 2 + 10 + 4), "\x05\x00"s + okReply + "data") << step;
    }
}

TEST_F(Engine, HalfClosingClientGetsTheWholeAnswer) {
    // Declared before the upstream, whose destructor joins the destination.
    const std::string answer = pattern(4 << 20, 7);
    std::atomic<bool> sawQuestion{false};
    FakeUpstream up;
    up.destination = [&](SocketHandle s) {
        bool closed = false;
        sawQuestion = recvToEnd(s, closed) == "question" && closed;
        sendWithin(s, answer);
        ::shutdown(s, shutdownSend);
    };
    start(up);
    TestSocket c(connectLoopback(port));
    ASSERT_TRUE(sendWithin(c, greeting + request + "question"));
    ASSERT_EQ(recvBytes(c, 12), "\x05\x00"s + okReply);
    ::shutdown(c, shutdownSend);
    bool closed = false;
    std::string got = recvToEnd(c, closed);
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
            recvToEnd(s, closed, std::chrono::seconds(3));
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
    EXPECT_EQ(recvToEnd(c, closed, std::chrono::seconds(5)), "");
    EXPECT_TRUE(closed);
    listener.join(); // ends by itself once it saw the stop
    appState.listenerRunning = false;
    EXPECT_EQ(up.accepted, 0);
    appState.clientRegistry.open();
}

TEST(Resolve, DottedAddressIsKeptAndNamesResolveToIPv4) {
    EXPECT_EQ(resolveUpstreamHost("10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(resolveUpstreamHost("localhost"), "127.0.0.1");
}
