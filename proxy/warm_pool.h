// Upstream connections connected and logged in ahead of the sessions that
// will use them, so that a new session sends only its CONNECT: one round trip
// to a far upstream instead of four. Its own job alone: taking, refilling and
// ageing ready connections; every login goes through the upstream client.
// On the engine's thread only.
#pragma once

#include "proxy/demand.h"
#include "proxy/upstream.h"

#include <atomic>
#include <deque>
#include <optional>
#include <vector>

class WarmPool {
    using Clock = std::chrono::steady_clock;

  public:
    // Kept at most this long: well under the servers' negotiation timeouts,
    // and short enough that a connection the upstream has dropped silently
    // is seldom handed out.
    static constexpr auto maxAge = std::chrono::seconds(8);
    // After a login refused by the upstream, no login is made ahead for this
    // long, unless a session's own login is let in or the endpoint changes:
    // a provider may lock an account that keeps failing.
    static constexpr auto refusedPause = std::chrono::seconds(60);
    // A login ahead that takes longer than this is of no use to a session.
    static constexpr auto loginDeadline = std::chrono::seconds(10);
    // An upstream that takes longer than this to check a login may check
    // them one at a time: a session's own login would wait behind every
    // login ahead sent before it, so no more than two go at once.
    static constexpr auto slowCheck = std::chrono::milliseconds(20);

    struct Taken {
        asio::ip::tcp::socket socket;
        OwnEnd mark;
    };

    WarmPool(asio::io_context& io, UpstreamClient& upstream, const std::atomic<bool>& stopping);
    WarmPool(const WarmPool&) = delete;
    WarmPool& operator=(const WarmPool&) = delete;

    // A session is about to send a request: counts toward demand, and wakes
    // the pool when idle.
    void noteRequest();
    // A logged-in connection to e whose upstream has not closed it, if one
    // is ready. When none is, the session dials itself and the pool waits
    // for coldDialAnswered: a server that checks passwords one at a time
    // would make the session wait for our login too.
    std::optional<Taken> take(const EndpointPtr& e);
    void coldDialAnswered();
    // How a login to the upstream ended, a session's, the pool's or the probe's.
    void noteLogin(UpstreamCheck result);
    // After a start or a swap: forgets the old endpoint's connections.
    void endpointChanged();
    // After a sleep or a change of network: the ready connections go, and
    // new ones are made as demand says.
    void forget();
    // Closes every connection and timer, so that the loop can run out of work.
    void closeAll();

  private:
    struct Ready {
        asio::ip::tcp::socket socket;
        OwnEnd mark;
        Clock::time_point born;
    };

    void refill();
    void startTicking();
    asio::awaitable<void> tick();
    asio::awaitable<void> login(std::uint64_t generation, std::shared_ptr<UpstreamConnection> c);
    void closeReady();

    asio::io_context& io;
    UpstreamClient& upstream;
    const std::atomic<bool>& stopping;
    asio::steady_timer ticker;
    bool ticking = false;
    std::uint64_t generation = 0; // bumped by a change or a close: older work ends unused
    EndpointPtr endpoint;
    Demand demand;
    std::deque<Ready> ready;
    std::vector<std::shared_ptr<UpstreamConnection>> dials;
    bool loginsFail = false; // the last login ahead failed
    bool slowChecks = false; // the last login ahead was checked slowly
    Clock::time_point pausedUntil{};
};
