// A session's life: its start and close, the watchdog, the client's bytes
// during the handshake, the choice of front by the first byte, and the
// tunnel through the upstream that every front asks for.
#include "proxy/session.h"

#include "proxy/http_proxy.h"
#include "proxy/socks.h"
#include "proxy/warm_pool.h"

#include <optional>
#include <utility>
#include <vector>

using asio::ip::tcp;

Session::Session(const SessionContext& context, tcp::socket client)
    : ctx(context), client(std::move(client)), road(this->client.get_executor()),
      watchdog(this->client.get_executor()), wake(this->client.get_executor()),
      resume(this->client.get_executor()) {
    ctx.registry.sessions.insert(this);
    ctx.registry.open.fetch_add(1);
}

Session::~Session() {
    ctx.registry.sessions.erase(this);
    ctx.registry.open.fetch_sub(1);
}

void Session::begin() {
    // The engine dialling itself: nothing of it is served.
    if (ctx.upstream.isOwnConnection(client)) {
        close();
        return;
    }
    setSessionOptions(client);
    wake.expires_at(Clock::time_point::max());
    resume.expires_at(Clock::time_point::max());
    limit = Clock::now() + ctx.options.handshakeDeadline;
    watchdog.expires_at(limit);
    spawn(&Session::watch);
    spawn(&Session::pumpUp);
    spawn(&Session::handshake);
}

void Session::closeIfQuiet(Clock::time_point since) {
    if (atRest || (upstreamHeard != Clock::time_point{} && upstreamHeard < since)) close();
}

// Both sockets closed; every wait of this session ends with an error, so
// its coroutines return and the last one frees it.
void Session::close() {
    if (stage == Stage::Closed) return;
    stage = Stage::Closed;
    std::error_code ignored;
    client.close(ignored);
    road.close();
    watchdog.cancel();
    wake.cancel();
    resume.cancel();
}

// Runs a member coroutine that keeps this session alive until it returns;
// an exception (out of memory) ends the session, never the engine.
void Session::spawn(asio::awaitable<void> (Session::*body)()) {
    auto self = shared_from_this();
    asio::co_spawn(
        client.get_executor(), [self, body] { return ((*self).*body)(); },
        [self](std::exception_ptr failure) {
            if (failure) self->close();
        });
}

// The one deadline of the session: the handshake's, then none while both
// directions are open, then the FIN-wait. `limit` may move later without
// touching the timer; the timer only has to fire no later than it.
asio::awaitable<void> Session::watch() {
    for (;;) {
        co_await watchdog.async_wait(asValues);
        if (stage == Stage::Closed) co_return;
        if (Clock::now() < limit) {
            watchdog.expires_at(limit);
            continue;
        }
        // A dial cut short by the deadline is the upstream's silence.
        if (dialing) road.expire();
        if (stage == Stage::Handshake && !answered) {
            // A few bytes into a socket that has taken nothing else yet:
            // they fit without waiting.
            std::error_code ignored;
            if (front == Front::Socks4) client.write_some(asio::buffer(socks4Rejected), ignored);
            if (front == Front::Http)
                client.write_some(asio::buffer(httpErrorResponse(504)), ignored);
        }
        close();
        co_return;
    }
}

void Session::tighten(Clock::time_point next) {
    limit = next;
    watchdog.expires_at(next);
}

// Waits until the client has sent more than it had; false when it ended,
// the session closed, or a handshake message grew past `most` bytes.
asio::awaitable<bool> Session::moreFromClient(std::size_t most) {
    const std::size_t had = up.held.size();
    if (had >= most) co_return false;
    while (up.held.size() == had && stage != Stage::Closed && !clientEnded)
        co_await wake.async_wait(asValues);
    co_return up.held.size() > had&& stage != Stage::Closed;
}

// The client's first byte picks the front; nothing else answers it.
asio::awaitable<void> Session::handshake() {
    bool spoke = !up.held.empty();
    if (!spoke) spoke = co_await moreFromClient();
    // Checked again now that it has spoken: our upstream socket marks
    // its end before it writes, so a loop is known by its first byte.
    if (ctx.upstream.isOwnConnection(client)) {
        close();
        co_return;
    }
    const auto first = spoke ? static_cast<std::uint8_t>(up.held[0]) : 0;
    if (first == 0x05) {
        front = Front::Socks5;
        co_await socks5();
    } else if (first == 0x04) {
        front = Front::Socks4;
        co_await socks4();
    } else if ((first | 0x20) >= 'a' && (first | 0x20) <= 'z') {
        front = Front::Http;
        co_await http();
    }
    if (stage == Stage::Handshake) close();
    // The handshake's coroutine goes on as the upstream-to-client copy.
    if (stage == Stage::Copy) co_await pump(down);
}

// The request on a connection logged in ahead. One the upstream closed
// before answering is tried again afresh.
asio::awaitable<Session::Attempt> Session::warmTunnel(std::string_view request,
                                                      std::size_t& length) {
    const bool sent = co_await writeAll(upstream, request);
    if (!sent && stage != Stage::Closed) co_return Attempt::Retry;
    std::uint8_t reply = 0;
    const bool read = co_await readSocks5Reply(upstream, fromUpstream, length, reply);
    if (stage == Stage::Closed) co_return Attempt::Failed;
    if (read) co_return Attempt::Done;
    co_return fromUpstream.empty() ? Attempt::Retry : Attempt::Failed;
}

asio::awaitable<Session::Attempt> Session::coldTunnel(std::string_view request,
                                                      std::size_t& length) {
    dialing = true;
    const UpstreamClient::Login login =
        co_await ctx.upstream.login(endpoint, road, limit, Dialer::Session, request);
    dialing = false;
    if (ctx.pool && stage != Stage::Closed) ctx.pool->coldDialAnswered();
    if (login.misheard && stage != Stage::Closed) co_return Attempt::Retry;
    if (login.result != UpstreamCheck::Ok || stage == Stage::Closed) co_return Attempt::Failed;
    fromUpstream = std::move(road.rest);
    const std::string_view rest = login.sentThen ? std::string_view() : request;
    if (const bool ok = co_await writeAll(upstream, rest); !ok) co_return Attempt::Failed;
    std::uint8_t reply = 0;
    const bool read = co_await readSocks5Reply(upstream, fromUpstream, length, reply);
    co_return read ? Attempt::Done : Attempt::Failed;
}

// A fresh connection in place of the last.
void Session::newRoad() {
    road.close();
    road.socket = tcp::socket(client.get_executor());
    road.closed = road.expired = false;
    road.rest.clear();
    fromUpstream.clear();
    upstreamHeard = {};
}

// Sends the request (RFC 1928 section 4) to the endpoint current now and
// reads its whole reply (section 6), whatever its REP: on a connection
// logged in ahead when one is ready, else on a new one, in one write
// where the endpoint takes that. A warm connection found dead or a
// pipelined exchange that misheard is tried once more afresh, step by
// step, before the client has heard anything; the request goes whole on
// each connection, and the client's later bytes are still held.
asio::awaitable<bool> Session::openTunnel(std::string_view request, std::string& reply) {
    endpoint = ctx.upstream.endpoint();
    if (!endpoint) co_return false;
    std::optional<WarmPool::Taken> warm;
    if (ctx.pool) ctx.pool->noteRequest();
    if (ctx.pool) warm = ctx.pool->take(endpoint);
    if (warm) {
        road.socket = std::move(warm->socket);
        road.mark = std::move(warm->mark);
    }
    std::size_t length = 0;
    // Made first and awaited apart: GCC 12 builds a co_await in a branch wrongly.
    asio::awaitable<Attempt> first =
        warm ? warmTunnel(request, length) : coldTunnel(request, length);
    Attempt attempt = co_await std::move(first);
    if (attempt == Attempt::Retry && stage != Stage::Closed) {
        newRoad();
        attempt = co_await coldTunnel(request, length);
    }
    if (attempt != Attempt::Done) co_return false;
    reply = fromUpstream.substr(0, length);
    fromUpstream.erase(0, length);
    upstreamHeard = Clock::now();
    co_return true;
}

// A SOCKS5 CONNECT through a new tunnel; true when it succeeded. What
// came after the reply stays in fromUpstream.
asio::awaitable<bool> Session::connectUpstream(std::string request) {
    std::string reply;
    const bool read = co_await openTunnel(request, reply);
    co_return read&& reply[1] == 0x00;
}

// The client's answer and what the upstream sent after its reply; then
// the copying stage begins, and what the client sent meanwhile goes
// upstream ahead of the rest.
asio::awaitable<void> Session::proceed(std::string_view answer) {
    answered = true;
    bool ok = co_await writeAll(client, answer);
    if (ok) ok = co_await writeAll(client, fromUpstream);
    fromUpstream.clear();
    if (!ok) co_return;
    stage = Stage::Copy;
    limit = Clock::time_point::max();
    spawn(&Session::releaseClient);
}

void startSession(SessionContext& context, tcp::socket client) {
    std::make_shared<Session>(context, std::move(client))->begin();
}

void closeSessions(SessionRegistry& registry) {
    for (Session* s : std::vector<Session*>(registry.sessions.begin(), registry.sessions.end()))
        s->close();
}

void closeQuietSessions(SessionRegistry& registry, std::chrono::steady_clock::time_point since) {
    for (Session* s : std::vector<Session*>(registry.sessions.begin(), registry.sessions.end()))
        s->closeIfQuiet(since);
}
