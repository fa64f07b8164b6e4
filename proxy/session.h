// One local client served through the upstream SOCKS5 server (RFC 1928,
// RFC 1929): its handshake through one of the fronts, then the copying stage,
// under one watchdog. The session's parts live in files that say what they
// do: session.cpp (its life, the watchdog, the choice of front, the tunnel
// through the upstream), socks_front.cpp, http_front.cpp and copy_stage.cpp.
// Everything here runs on the engine's thread.
#pragma once

#include "proxy/buffer_pool.h"
#include "proxy/engine_types.h"
#include "proxy/http_framing.h"
#include "proxy/socks.h"
#include "proxy/upstream.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

// A co_await never stands in a condition or beside && or ||: GCC 12 builds
// such coroutines wrongly (frames destroyed twice, operands evaluated out of
// turn). Results are taken in a statement, or in an if's initializer.

class Session;
class WarmPool;
struct HttpProxyRequest;

// The sessions open, so that a stop can close them all. On the engine's
// thread only, except `open` and `stopping`, which any thread may read.
struct SessionRegistry {
    std::unordered_set<Session*> sessions;
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

// Serves one accepted client; the session owns it and its upstream socket.
void startSession(SessionContext& context, asio::ip::tcp::socket client);
// Closes every session's sockets; each session then ends on its own.
void closeSessions(SessionRegistry& registry);
// Closes the sessions whose tunnel has heard nothing from the upstream since
// `since`, and HTTP sessions at rest between requests.
void closeQuietSessions(SessionRegistry& registry, std::chrono::steady_clock::time_point since);

class Session : public std::enable_shared_from_this<Session> {
    using tcp = asio::ip::tcp;
    using Clock = std::chrono::steady_clock;

  public:
    Session(const SessionContext& context, tcp::socket client);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void begin();
    // Both sockets closed; every wait of this session ends with an error, so
    // its coroutines return and the last one frees it.
    void close();
    // A tunnel silent since before a sleep may be dead without a word; a
    // client at rest between requests simply opens a new connection.
    void closeIfQuiet(Clock::time_point since);

  private:
    enum class Stage { Handshake, Copy, Closed };
    enum class Front { Unknown, Socks5, Socks4, Http };
    // Client bytes held while the handshake has not passed them on yet; past
    // this the client is simply not read until it has.
    static constexpr std::size_t holdLimit = 64 * 1024;
    // A flow's first look, doubled after each one its destination took whole,
    // up to relayBufferSize; after a partial write, twice what was taken: a
    // slow destination is not offered far more than it takes each time.
    static constexpr std::size_t firstReadSize = 16 * 1024;

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
    enum class Burst { SourceDry, DestinationFull, HoldFull, BodyEnd, Ended, Failed };

    // session.cpp: life, watchdog, choice of front, the tunnel.
    void spawn(asio::awaitable<void> (Session::*body)());
    asio::awaitable<void> watch();
    void tighten(Clock::time_point next);
    asio::awaitable<bool> moreFromClient(std::size_t most = handshakeLimit);
    asio::awaitable<void> handshake();
    enum class Attempt { Done, Failed, Retry };
    asio::awaitable<Attempt> warmTunnel(std::string_view request, std::size_t& length);
    asio::awaitable<Attempt> coldTunnel(std::string_view request, std::size_t& length);
    void newRoad();
    asio::awaitable<bool> openTunnel(std::string_view request, std::string& reply);
    asio::awaitable<bool> connectUpstream(std::string request);
    asio::awaitable<void> proceed(std::string_view answer);

    // socks_front.cpp
    asio::awaitable<void> socks5();
    asio::awaitable<void> socks4();

    // http_front.cpp. An exchange ends the client's connection, keeps it
    // for the next request, or must go once more on a new tunnel.
    enum class Exchange { End, Keep, Again };
    enum class Upload { Done, Stopped, Malformed }; // how a request body's upload ended
    // How an answer's relay ended: Whole (the connection may carry the next
    // exchange) or Closing (the origin ends it) once it is through; Failed
    // when the origin's bytes are no response we can pass on (502 is owed);
    // Lost when the client gets no more of it; Again when a reused tunnel
    // turned out closed and the request may go once more.
    enum class Answer { Whole, Closing, Failed, Lost, Again };
    struct AnswerEndsUpload;
    asio::awaitable<void> http();
    asio::awaitable<bool> nextHttpRequest(HttpProxyRequest& request);
    asio::awaitable<bool> httpTunnel(const HttpProxyRequest& request, bool reuse);
    bool sameHost(std::string_view name) const;
    bool tunnelReusable();
    void dropTunnel();
    asio::awaitable<Exchange> httpExchange(const HttpProxyRequest& request, bool reused);
    asio::awaitable<Upload> sendBody(const HttpFraming& framing);
    asio::awaitable<Answer> relayAnswer(const HttpProxyRequest& request, bool reused,
                                        bool repeatable);
    asio::awaitable<HttpHead> httpResponseHead(bool toHead, HttpResponseHead& response);
    asio::awaitable<bool> relayResponseBody(BodyFramer& body, bool untilClose);
    asio::awaitable<void> refuseHttp(int status);
    asio::awaitable<void> lingerHttp();

    // copy_stage.cpp
    asio::awaitable<void> pumpUp();
    asio::awaitable<void> pump(Flow& f);
    asio::awaitable<bool> waitFor(Burst burst, tcp::socket& from, tcp::socket& to);
    static Burst burstEnd(std::error_code ec);
    Burst holdBurst(Flow& f);
    Burst moveBurst(tcp::socket& from, tcp::socket& to, std::size_t& readSize,
                    BodyFramer* body = nullptr);
    void ended(Flow& f);
    asio::awaitable<void> releaseClient();

    const SessionContext ctx;
    tcp::socket client;
    UpstreamConnection road; // the upstream connection, with its mark
    tcp::socket& upstream = road.socket;
    asio::steady_timer watchdog;
    asio::steady_timer wake;   // the handshake waits here for client bytes
    asio::steady_timer resume; // the client pump waits here while its hold is full
    Clock::time_point limit;
    Stage stage = Stage::Handshake;
    Front front = Front::Unknown;
    bool finWaiting = false;
    bool answered = false;    // the client has (or is getting) its last handshake answer
    bool clientEnded = false; // and has ended since, before the copying stage
    bool dialing = false;     // between the dial's start and its report
    EndpointPtr endpoint;     // the one this session dials
    std::string fromUpstream; // handshake replies, and what came after the last
    // The HTTP front's open tunnel, and whether a request body is owed and
    // must keep moving.
    std::string tunnelHost;
    std::uint16_t tunnelPort = 0;
    bool bodyDeadline = false;
    bool atRest = false; // an HTTP client between a response and its next request
    // When the open tunnel last heard from the upstream; zero: no tunnel.
    Clock::time_point upstreamHeard{};
    Flow up{client, upstream, true, {}, false, firstReadSize};
    Flow down{upstream, client, false, {}, false, firstReadSize};
};
