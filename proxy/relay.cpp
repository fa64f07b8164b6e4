#include "proxy/relay.h"

#include "proxy/warm_pool.h"

#include <optional>
#include <utility>

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

Relay::Relay(const SessionContext& context, tcp::socket c)
    : ctx(context), road(c.get_executor()), watchdog(c.get_executor()), client(std::move(c)),
      wake(client.get_executor()), resume(client.get_executor()) {
    ctx.registry.sessions.insert(this);
    ctx.registry.open.fetch_add(1);
}

Relay::~Relay() {
    ctx.registry.sessions.erase(this);
    ctx.registry.open.fetch_sub(1);
}

void Relay::close() {
    if (stage == Stage::Closed) return;
    stage = Stage::Closed;
    std::error_code ignored;
    client.close(ignored);
    road.close();
    watchdog.cancel();
    wake.cancel();
    resume.cancel();
}

void Relay::closeIfQuiet(Clock::time_point since) {
    if (resting || (upstreamHeard != Clock::time_point{} && upstreamHeard < since)) close();
}

void Relay::tighten(Clock::time_point next) {
    limit = next;
    watchdog.expires_at(next);
}

void Relay::startReading() {
    setSessionOptions(client);
    wake.expires_at(Clock::time_point::max());
    resume.expires_at(Clock::time_point::max());
    spawn(&Relay::pumpUp);
}

void Relay::take(std::size_t n) {
    up.held.erase(0, n);
    resume.cancel();
}

asio::awaitable<bool> Relay::moreFromClient(std::size_t most) {
    const std::size_t had = up.held.size();
    if (had >= most) co_return false;
    while (up.held.size() == had && stage != Stage::Closed && !clientGone)
        co_await wake.async_wait(asValues);
    co_return up.held.size() > had&& stage != Stage::Closed;
}

asio::awaitable<bool> Relay::answer(std::string_view bytes) {
    hasAnswer = true;
    co_return co_await writeAll(client, bytes);
}

// Copies one direction: moves bytes until the source would block or the
// destination is full, and only then waits for whichever it was.
asio::awaitable<void> Relay::pump(Flow& f) {
    for (;;) {
        if (f.hold && f.held.size() >= holdLimit) {
            co_await resume.async_wait(asValues);
            if (stage == Stage::Closed) co_return;
            continue;
        }
        Burst burst = Burst::Failed;
        if (f.hold) {
            burst = holdBurst(f);
        } else {
            const Move m = moveBurst(ctx.buffers, ctx.registry.stopping, f.from, f.to, f.readSize);
            burst = m.burst;
            if (m.heard != Clock::time_point{} && &f == &down) upstreamHeard = m.heard;
            if (m.moved && finWaiting) limit = Clock::now() + ctx.options.finWait;
        }
        if (stage == Stage::Closed) co_return;
        if (f.hold && f.held.size() >= holdLimit) continue;
        const bool waited = co_await waitFor(burst, f.from, f.to);
        if (waited && stage != Stage::Closed) continue;
        if (stage == Stage::Closed) co_return;
        if (burst == Burst::Ended) {
            ended(f);
        } else {
            close();
        }
        co_return;
    }
}

// During the handshake the client's bytes are kept, not written.
Burst Relay::holdBurst(Flow& f) {
    BufferPool::Borrowed buffer(ctx.buffers);
    for (;;) {
        if (ctx.registry.stopping.load(std::memory_order_relaxed)) return Burst::Failed;
        const std::size_t room = holdLimit - f.held.size();
        if (room == 0) return Burst::SourceDry;
        std::error_code ec;
        const std::size_t n = f.from.read_some(asio::buffer(buffer.get(), room), ec);
        if (ec == asio::error::would_block) return Burst::SourceDry;
        if (ec) return ec == asio::error::eof ? Burst::Ended : Burst::Failed;
        f.held.append(buffer.get(), n);
        wake.cancel();
    }
}

// An orderly end of f.from: passed on as a shutdown of the other side's
// sending direction. A client that leaves before its answer ends the session
// at once.
void Relay::ended(Flow& f) {
    if (stage != Stage::Copy || f.hold) {
        // An answered client may end before its held bytes have gone on (its
        // end can overtake our last handshake step): passed on then.
        if (&f == &up && hasAnswer) {
            clientGone = true;
            wake.cancel();
            return;
        }
        close();
        return;
    }
    std::error_code ignored;
    f.to.shutdown(tcp::socket::shutdown_send, ignored);
    f.ended = true;
    if (up.ended && down.ended) {
        close();
        return;
    }
    finWaiting = true;
    tighten(Clock::now() + ctx.options.finWait);
}

// Writes what the client sent during the handshake upstream, then lets the
// client's bytes flow straight through. Runs beside the copy towards the
// client: a destination that writes before it reads would otherwise wait on
// us while we wait on it.
asio::awaitable<void> Relay::releaseClient() {
    while (!up.held.empty()) {
        const std::string out = std::move(up.held);
        up.held.clear();
        resume.cancel();
        const bool ok = co_await writeAll(road.socket, out);
        if (!ok) close();
        if (!ok || stage == Stage::Closed) co_return;
    }
    up.hold = false;
    resume.cancel();
    if (clientGone) ended(up);
}

// The request on a connection logged in ahead. One the upstream closed before
// answering is tried again afresh.
asio::awaitable<Relay::Attempt> Relay::warmTunnel(std::string_view request, std::size_t& length) {
    const bool sent = co_await writeAll(road.socket, request);
    if (!sent && stage != Stage::Closed) co_return Attempt::Retry;
    std::uint8_t reply = 0;
    const bool read = co_await readSocks5Reply(road.socket, fromUpstream, length, reply);
    if (stage == Stage::Closed) co_return Attempt::Failed;
    if (read) co_return Attempt::Done;
    co_return fromUpstream.empty() ? Attempt::Retry : Attempt::Failed;
}

asio::awaitable<Relay::Attempt> Relay::coldTunnel(std::string_view request, std::size_t& length) {
    dialing = true;
    const UpstreamClient::Login login =
        co_await ctx.upstream.login(endpoint, road, limit, Dialer::Session, request);
    dialing = false;
    if (ctx.pool && stage != Stage::Closed) ctx.pool->coldDialAnswered();
    if (login.misheard && stage != Stage::Closed) co_return Attempt::Retry;
    if (login.result != UpstreamCheck::Ok || stage == Stage::Closed) co_return Attempt::Failed;
    fromUpstream = std::move(road.rest);
    const std::string_view rest = login.sentThen ? std::string_view() : request;
    if (const bool ok = co_await writeAll(road.socket, rest); !ok) co_return Attempt::Failed;
    std::uint8_t reply = 0;
    const bool read = co_await readSocks5Reply(road.socket, fromUpstream, length, reply);
    co_return read ? Attempt::Done : Attempt::Failed;
}

void Relay::dropTunnel() {
    road.close();
    road.socket = tcp::socket(client.get_executor());
    road.closed = road.expired = false;
    road.rest.clear();
    fromUpstream.clear();
    upstreamHeard = {};
}

asio::awaitable<bool> Relay::openTunnel(std::string_view request, std::string& reply) {
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
        dropTunnel();
        attempt = co_await coldTunnel(request, length);
    }
    if (attempt != Attempt::Done) co_return false;
    reply = fromUpstream.substr(0, length);
    fromUpstream.erase(0, length);
    upstreamHeard = Clock::now();
    co_return true;
}

asio::awaitable<bool> Relay::connectUpstream(std::string request) {
    std::string reply;
    const bool read = co_await openTunnel(request, reply);
    co_return read&& reply[1] == 0x00;
}

asio::awaitable<void> Relay::proceed(std::string_view reply) {
    hasAnswer = true;
    bool ok = co_await writeAll(client, reply);
    if (ok) ok = co_await writeAll(client, fromUpstream);
    fromUpstream.clear();
    if (!ok) co_return;
    stage = Stage::Copy;
    limit = Clock::time_point::max();
    spawn(&Relay::releaseClient);
}

asio::awaitable<bool> Relay::relayBody(BodyFramer& body, bool untilClose) {
    for (;;) {
        const Move m = moveBurst(ctx.buffers, ctx.registry.stopping, road.socket, client,
                                 down.readSize, &body);
        if (m.heard != Clock::time_point{}) upstreamHeard = m.heard;
        if (stage == Stage::Closed) co_return false;
        if (m.burst == Burst::BodyEnd) co_return body.done();
        if (m.burst == Burst::Ended) co_return untilClose;
        const bool waited = co_await waitFor(m.burst, road.socket, client);
        if (!waited || stage == Stage::Closed) co_return false;
        // A client that has ended gets the FIN-wait, as in the copying stage.
        if (clientGone) tighten(Clock::now() + ctx.options.finWait);
    }
}

asio::awaitable<void> Relay::linger() {
    std::error_code ignored;
    client.shutdown(tcp::socket::shutdown_send, ignored);
    tighten(std::min(limit, Clock::now() + ctx.options.finWait));
    for (;;) {
        take(up.held.size());
        if (const bool ok = co_await moreFromClient(holdLimit); !ok) co_return;
    }
}
