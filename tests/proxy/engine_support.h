// Loopback helpers and a scripted SOCKS5 upstream for the engine tests. Every
// wait has a deadline; the fake upstream records what it was sent.
#pragma once

#include "proxy/net.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
inline constexpr auto testWait = std::chrono::seconds(20);

// Listening socket on 127.0.0.1 at port (0: any free one, stored back).
SocketHandle listenLoopback(std::uint16_t& port);
std::uint16_t freeLoopbackPort();
// Connected and non-blocking; invalidSocket on failure.
SocketHandle connectLoopback(std::uint16_t port);
bool sendWithin(SocketHandle s, std::string_view bytes, Clock::duration limit = testWait);
// Up to n bytes (npos: all until the peer's end): fewer when the peer ends
// first or the time is up; closed, if given, tells whether the end came.
std::string recvBytes(SocketHandle s, std::size_t n, Clock::duration limit = testWait,
                      bool* closed = nullptr);
bool waitUntil(const std::function<bool()>& condition, Clock::duration limit = testWait);
std::string pattern(std::size_t size, std::uint32_t seed);
// Open descriptors of this process (Linux); -1 elsewhere.
int openDescriptorCount();

// Closes its socket at the end of the scope (never copied).
struct TestSocket {
    SocketHandle s = invalidSocket;
    ~TestSocket() {
        if (s != invalidSocket) closeSocket(s);
    }
    operator SocketHandle() const { return s; }
};

// What the fake upstream got on one connection.
struct UpstreamSession {
    std::string offer, auth, request;
};

struct FakeUpstream {
    std::uint8_t method = 0x02;
    std::uint8_t authStatus = 0x00;
    std::atomic<int> silentFrom{1 << 30}; // sessions from this index on never answer
    std::string reply{"\x05\x00\x00\x01\x7f\x00\x00\x01\x1f\x90", 10};
    // After a successful reply; echoes until the end by default.
    std::function<void(SocketHandle)> destination;

    std::uint16_t port = 0;
    std::atomic<int> accepted{0};
    std::mutex lock;
    std::vector<UpstreamSession> sessions; // appended when a session ends
    std::vector<SocketHandle> connections;

    void start();
    void stop();
    ~FakeUpstream() { stop(); }
    std::size_t finished();
    UpstreamSession session(std::size_t i);

  private:
    SocketHandle listening = invalidSocket;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::vector<std::thread> workers;
    void serve(SocketHandle s, int index);
};
