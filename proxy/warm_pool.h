// Upstream connections connected and logged in ahead of the sessions that
// will use them, so that a new session sends only its CONNECT: one round trip
// to a far upstream instead of four. Also what the engine has learned of the
// endpoint: whether it reads a handshake sent in one write. On the engine's
// thread only.
#pragma once

#include "proxy/session.h"

#include <array>
#include <deque>
#include <optional>

class WarmPool {
    using Clock = std::chrono::steady_clock;

  public:
    // Kept at most this long: well under the servers' negotiation timeouts
    // (Dante's default is 30 s), and short enough that a connection the
    // upstream has dropped silently is seldom handed out.
    static constexpr auto maxAge = std::chrono::seconds(8);
    // Kept while clients are active: until this long after the last request.
    static constexpr auto keepFor = std::chrono::seconds(60);
    static constexpr std::size_t mostReady = 8;
    // Past this without a request, only one is kept.
    static constexpr auto quietAfter = std::chrono::seconds(10);

    WarmPool(asio::io_context& io, SessionHost& host);
    WarmPool(const WarmPool&) = delete;
    WarmPool& operator=(const WarmPool&) = delete;

    // A session is about to send a request: counts toward demand, and wakes
    // the pool when idle.
    void noteRequest();
    // A logged-in connection to endpoint whose upstream has not closed it,
    // if one is ready. When none is, the session dials itself and the pool
    // waits for coldDialAnswered: Dante checks passwords one at a time, so a
    // login of ours sent beside it would make the session wait for two.
    std::optional<asio::ip::tcp::socket>
    take(const std::shared_ptr<const UpstreamEndpoint>& endpoint);
    void coldDialAnswered();
    // True once the probe found that endpoint answers a handshake sent in one write.
    bool pipelines(const std::shared_ptr<const UpstreamEndpoint>& endpoint) const;
    // A pipelined exchange got an answer other than expected: step by step from now on.
    void pipeliningFailed(const std::shared_ptr<const UpstreamEndpoint>& endpoint);
    // After a start or a swap: forgets the old endpoint and probes the new one.
    void endpointChanged();
    // After a sleep or a change of network: the ready connections and what
    // the probe learned go, and the endpoint is probed again.
    void forget();
    // Closes every connection and timer, so that the loop can run out of work.
    void closeAll();

  private:
    struct Dial; // one connection being made, closable from here
    struct Ready {
        asio::ip::tcp::socket socket;
        Clock::time_point born;
    };
    enum class Pipelining { Unknown, Probing, Yes, No };

    std::size_t target(Clock::time_point now) const;
    void refill();
    void startTicking();
    asio::awaitable<void> tick();
    asio::awaitable<void> login(std::uint64_t generation);
    asio::awaitable<void> probe(std::uint64_t generation);
    // The current endpoint's dotted address, when known; asks for it otherwise.
    bool address(std::string& out);
    std::shared_ptr<Dial> newDial(std::chrono::milliseconds deadline);

    asio::io_context& io;
    SessionHost& host;
    asio::steady_timer ticker;
    bool ticking = false;
    std::uint64_t generation = 0; // bumped by a change or a close: older work ends unused
    std::shared_ptr<const UpstreamEndpoint> endpoint;
    bool lookingUp = false;
    Pipelining pipelining = Pipelining::Unknown;
    std::deque<Ready> ready;
    std::vector<std::weak_ptr<Dial>> dials;
    std::size_t dialing = 0;
    bool loginsFail = false; // the last login ahead failed
    // Requests per second over the last minute, by second.
    std::array<std::uint16_t, 60> perSecond{};
    std::int64_t lastSecond = 0;
    Clock::time_point lastRequest{};
};
