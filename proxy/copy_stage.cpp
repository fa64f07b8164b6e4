// The copying stage: each direction moves bytes until its source would block
// or its destination is full, through a buffer borrowed only while bytes move.
#include "proxy/session.h"

#include <algorithm>

using asio::ip::tcp;

asio::awaitable<void> Session::pumpUp() {
    co_await pump(up);
}

Session::Burst Session::burstEnd(std::error_code ec) {
    if (ec == asio::error::would_block) return Burst::SourceDry;
    return ec == asio::error::eof ? Burst::Ended : Burst::Failed;
}

// Copies one direction: moves bytes until the source would block or the
// destination is full, and only then waits for whichever it was.
asio::awaitable<void> Session::pump(Flow& f) {
    for (;;) {
        if (f.hold && f.held.size() >= holdLimit) {
            co_await resume.async_wait(asValues);
            if (stage == Stage::Closed) co_return;
            continue;
        }
        const Burst burst = f.hold ? holdBurst(f) : moveBurst(f.from, f.to, f.readSize);
        if (stage == Stage::Closed) co_return;
        if (burst == Burst::HoldFull) continue;
        const bool waited = co_await waitFor(burst, f.from, f.to);
        if (waited) continue;
        if (burst == Burst::Ended) {
            ended(f);
        } else {
            close();
        }
        co_return;
    }
}

// After a burst that stopped at a dry source or a full destination: waits
// until it can go on; false for any other end, or when the wait failed (the
// session then closes).
asio::awaitable<bool> Session::waitFor(Burst burst, tcp::socket& from, tcp::socket& to) {
    if (burst != Burst::SourceDry && burst != Burst::DestinationFull) co_return false;
    const bool dry = burst == Burst::SourceDry;
    auto [ec] = co_await (dry ? from : to)
                    .async_wait(dry ? tcp::socket::wait_read : tcp::socket::wait_write, asValues);
    if (ec) close();
    co_return !ec && stage != Stage::Closed;
}

// During the handshake the client's bytes are kept, not written.
Session::Burst Session::holdBurst(Flow& f) {
    BufferPool::Borrowed buffer(ctx.buffers);
    for (;;) {
        if (ctx.registry.stopping.load(std::memory_order_relaxed)) return Burst::Failed;
        const std::size_t room = holdLimit - f.held.size();
        if (room == 0) return Burst::HoldFull;
        std::error_code ec;
        const std::size_t n = f.from.read_some(asio::buffer(buffer.get(), room), ec);
        if (ec) return burstEnd(ec);
        f.held.append(buffer.get(), n);
        wake.cancel();
    }
}

// One burst on a borrowed buffer: bytes are looked at in the source without
// being taken, written on at once, and only what the destination took is
// taken. A destination that stops reading leaves the rest in the source's
// socket, where TCP's flow control holds the sender back, and the session
// holds nothing while it waits. With a body, only that body's bytes move;
// the next message stays in the source.
Session::Burst Session::moveBurst(tcp::socket& from, tcp::socket& to, std::size_t& readSize,
                                  BodyFramer* body) {
    BufferPool::Borrowed buffer(ctx.buffers);
    for (;;) {
        if (ctx.registry.stopping.load(std::memory_order_relaxed)) return Burst::Failed;
        if (body && (body->done() || body->failed())) return Burst::BodyEnd;
        std::error_code ec;
        std::size_t n = peekSome(from, buffer.get(), readSize, ec);
        if (ec) return burstEnd(ec);
        if (&from == &upstream) upstreamHeard = Clock::now();
        if (body) n = BodyFramer(*body).feed(std::string_view(buffer.get(), n));
        if (finWaiting) limit = Clock::now() + ctx.options.finWait;
        const std::size_t written = writeNow(to, buffer.get(), n, ec);
        if (!ec) takePeeked(from, buffer.get(), written, ec);
        if (ec) return Burst::Failed;
        if (body) body->feed(std::string_view(buffer.get(), written));
        if (written == n) {
            readSize = std::min(2 * readSize, relayBufferSize);
            continue;
        }
        readSize = std::clamp(2 * written, firstReadSize, relayBufferSize);
        return Burst::DestinationFull;
    }
}

// An orderly end of f.from: passed on as a shutdown of the other side's
// sending direction. A client that leaves before its answer ends the
// session at once.
void Session::ended(Flow& f) {
    if (stage != Stage::Copy || f.hold) {
        // An answered client may end before its held bytes have gone on
        // (its end can overtake our last handshake step): passed on then.
        if (&f == &up && answered) {
            clientEnded = true;
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

// Writes what the client sent during the handshake upstream, then lets
// the client's bytes flow straight through. Runs beside the copy towards
// the client: a destination that writes before it reads would otherwise
// wait on us while we wait on it.
asio::awaitable<void> Session::releaseClient() {
    while (!up.held.empty()) {
        const std::string out = std::move(up.held);
        up.held.clear();
        resume.cancel();
        const bool ok = co_await writeAll(upstream, out);
        if (!ok) close();
        if (!ok || stage == Stage::Closed) co_return;
    }
    up.hold = false;
    resume.cancel();
    if (clientEnded) ended(up);
}
