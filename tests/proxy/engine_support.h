// Loopback clients and a scripted SOCKS5 upstream for the engine tests. Every
// wait has a deadline; the fake upstream records what it was sent.
#pragma once

#include <asio.hpp>

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

std::uint16_t freeLoopbackPort();
bool waitUntil(const std::function<bool()>& condition, Clock::duration limit = testWait);
std::string pattern(std::size_t size, std::uint32_t seed);
// Open descriptors of this process (Linux); -1 elsewhere.
int openDescriptorCount();

// One client connection on 127.0.0.1; each call ends by its limit.
class TestClient {
  public:
    explicit TestClient(std::uint16_t port);
    bool connected() const { return socket.is_open(); }
    // Writes out while reading up to n bytes (npos: all until the peer's
    // end); fewer when the peer ends first, a write fails, or the time is up.
    std::string exchange(std::string_view out, std::size_t n, Clock::duration limit = testWait);
    std::string recv(std::size_t n) { return exchange({}, n); }
    // What comes until the peer's end, then "(open)" if the end did not come.
    std::string untilEnd(Clock::duration limit = testWait) {
        std::string got = exchange({}, std::string::npos, limit);
        return peerEnded ? got : got + "(open)";
    }
    void shutdownSend();

  private:
    asio::io_context io{1};
    asio::ip::tcp::socket socket{io};
    bool peerEnded = false;
};

// What the fake upstream got on one connection.
struct UpstreamSession {
    std::string offer, auth, request;
    bool pipelined = false; // the first read held more than the offer
};

struct FakeUpstream {
    std::uint8_t method = 0x02;
    std::uint8_t authStatus = 0x00;
    int silentFrom = 1 << 30; // connections from this index on are never answered
    int silentOne = -1;       // nor is the connection of this index
    // As some servers do: the request is taken from one read, and what came
    // with it in that read is lost.
    bool dropsPipelined = false;
    int noAuthFrom = 1 << 30;                     // connections from this index on get method 0x00
    std::chrono::milliseconds closesIdleAfter{0}; // 0: never
    std::atomic<int> hangUpOnRequest{0};          // this many requests are met by a close
    std::string reply{"\x05\x00\x00\x01\x7f\x00\x00\x01\x1f\x90", 10};
    // CONNECTs naming these get REP 4 (host unreachable), or no reply at all.
    std::string unreachable = "unreachable.test", unanswered = "unanswered.test";
    // After a successful reply; echoes until the end when empty.
    std::function<asio::awaitable<void>(asio::ip::tcp::socket&)> destination;

    std::uint16_t port = 0;
    std::atomic<int> accepted{0}, loggedIn{0};

    void start();
    ~FakeUpstream();
    std::vector<UpstreamSession> ended(); // connections that have ended

  private:
    asio::io_context io{1};
    asio::ip::tcp::acceptor acceptor{io};
    std::thread thread;
    std::mutex lock;
    std::vector<UpstreamSession> sessions;
    asio::awaitable<void> serve(asio::ip::tcp::socket s, int index);
};
