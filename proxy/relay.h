// What a session's fronts work on: the client's connection and its tunnel
// through the upstream. It holds the two sockets, the client's bytes that the
// handshake has not passed on yet, the deadline, the tunnel (on a connection
// logged in ahead, or a new one), and the copying stage that follows the
// handshake. The session above it keeps the watchdog and picks the front.
// On the engine's thread only.
#pragma once

#include "proxy/buffer_pool.h"
#include "proxy/copy_stage.h"
#include "proxy/engine_types.h"
#include "proxy/socks.h"
#include "proxy/upstream.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

class Relay;
class WarmPool;

// The relays open, so that a stop can close them all. On the engine's thread
// only, except `open` and `stopping`, which any thread may read.
struct SessionRegistry {
    std::unordered_set<Relay*> sessions;
    std::atomic<std::size_t> open{0};
    // Set by a stop before its close reaches the loop: sessions that run
    // meanwhile end instead of copying on.
    std::atomic<bool> stopping{false};
};

// What the engine gives a session; each part is the engine's, and lives as
// long as it.
struct SessionContext {
    const EngineOptions& options;
    UpstreamClient& upstream;
    WarmPool* pool; // null when every session dials afresh
    BufferPool& buffers;
    SessionRegistry& registry;
};

class Relay : public std::enable_shared_from_this<Relay> {
  public:
    using tcp = asio::ip::tcp;
    using Clock = std::chrono::steady_clock;
    // Client bytes held while the handshake has not passed them on yet; past
    // this the client is simply not read until it has.
    static constexpr std::size_t holdLimit = 64 * 1024;

    Relay(const SessionContext& context, tcp::socket client);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Both sockets closed; every wait ends with an error, so the coroutines
    // return and the last one frees the session.
    void close();
    bool closed() const { return stage == Stage::Closed; }
    // A tunnel silent since before a sleep may be dead without a word; a
    // client at rest between requests simply opens a new connection.
    void closeIfQuiet(Clock::time_point since);
    const SessionContext& context() const { return ctx; }

    // The one deadline: the watchdog closes the session once it has passed.
    // It may move later without waking the watchdog, earlier only by tighten.
    Clock::time_point deadline() const { return limit; }
    void extend(Clock::time_point next) { limit = next; }
    void tighten(Clock::time_point next);

    // The client's bytes not passed on yet, and more of them: false when it
    // ended, the session closed, or they would pass `most` bytes.
    const std::string& held() const { return up.held; }
    void take(std::size_t n);
    asio::awaitable<bool> moreFromClient(std::size_t most = handshakeLimit);
    bool clientEnded() const { return clientGone; }
    // The client gets bytes, and has had its answer.
    asio::awaitable<bool> answer(std::string_view bytes);
    bool answered() const { return hasAnswer; }
    // A new HTTP request owes its client an answer again; at rest, it does not.
    void owe(bool owed) { hasAnswer = !owed; }
    void atRest(bool rest) { resting = rest; }
    tcp::socket& clientSocket() { return client; }

    // Sends a SOCKS5 request (RFC 1928 section 4) to the endpoint current
    // now and reads its whole reply (section 6), whatever its REP: on a
    // connection logged in ahead when one is ready, else on a new one, in
    // one write where the endpoint takes that. A warm connection found dead
    // or a pipelined exchange that misheard is tried once more afresh before
    // the client has heard anything.
    asio::awaitable<bool> openTunnel(std::string_view request, std::string& reply);
    // The same, true only for REP 0; what came after the reply stays in
    // fromUpstream.
    asio::awaitable<bool> connectUpstream(std::string request);
    void dropTunnel();
    tcp::socket& upstreamSocket() { return road.socket; }
    std::string fromUpstream; // handshake replies, and what came after the last
    void heardUpstream() { upstreamHeard = Clock::now(); }

    // The client's answer and what the upstream sent after its reply; then
    // the copying stage begins, and what the client sent meanwhile goes
    // upstream ahead of the rest.
    asio::awaitable<void> proceed(std::string_view answer);
    // A message body from the upstream to the client, as the copying stage
    // moves bytes; true when it ended (for a close-delimited one, with the
    // upstream). Bytes past its end stay in the upstream's socket.
    asio::awaitable<bool> relayBody(BodyFramer& body, bool untilClose);
    // The end of our sending side; the client's further bytes are read and
    // dropped until it closes (or the deadline passes), so that a close with
    // unread bytes does not reset the answer away.
    asio::awaitable<void> linger();

  protected:
    enum class Stage { Handshake, Copy, Closed };

    // Runs a member coroutine that keeps the session alive until it returns;
    // an exception (out of memory) ends the session, never the engine.
    template <class T> void spawn(asio::awaitable<void> (T::*body)()) {
        auto self = std::static_pointer_cast<T>(shared_from_this());
        asio::co_spawn(
            client.get_executor(), [self, body] { return ((*self).*body)(); },
            [self](std::exception_ptr failure) {
                if (failure) self->close();
            });
    }
    // The client's bytes are read from the start, so that its end is seen.
    void startReading();
    asio::awaitable<void> copyDown() { co_await pump(down); }

    const SessionContext ctx;
    Stage stage = Stage::Handshake;
    bool dialing = false;    // between the dial's start and its report
    UpstreamConnection road; // the upstream connection, with its mark
    asio::steady_timer watchdog;
    Clock::time_point limit;

  private:
    // One direction of the copying stage. While `hold` is set (the
    // handshake), what `from` sends is kept in `held` instead of written.
    struct Flow {
        tcp::socket& from;
        tcp::socket& to;
        bool hold = false;
        std::string held;
        bool ended = false;                   // `from` ended and that end was passed on
        std::size_t readSize = firstReadSize; // grows while `to` takes each read whole
    };
    enum class Attempt { Done, Failed, Retry };

    asio::awaitable<void> pumpUp() { co_await pump(up); }
    asio::awaitable<void> pump(Flow& f);
    Burst holdBurst(Flow& f);
    void ended(Flow& f);
    asio::awaitable<void> releaseClient();
    asio::awaitable<Attempt> warmTunnel(std::string_view request, std::size_t& length);
    asio::awaitable<Attempt> coldTunnel(std::string_view request, std::size_t& length);

    tcp::socket client;
    asio::steady_timer wake;   // moreFromClient waits here for the client's bytes
    asio::steady_timer resume; // the client pump waits here while its hold is full
    bool finWaiting = false;
    bool hasAnswer = false;  // the client has (or is getting) its last answer
    bool clientGone = false; // and has ended since, before the copying stage
    bool resting = false;    // an HTTP client between a response and its next request
    EndpointPtr endpoint;    // the one this session dials
    // When the open tunnel last heard from the upstream; zero: no tunnel.
    Clock::time_point upstreamHeard{};
    Flow up{client, road.socket, true, {}, false, firstReadSize};
    Flow down{road.socket, client, false, {}, false, firstReadSize};
};
