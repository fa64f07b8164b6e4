#include "proxy/copy_stage.h"

#include <algorithm>

using asio::ip::tcp;

namespace {

Burst burstEnd(std::error_code ec) {
    if (ec == asio::error::would_block) return Burst::SourceDry;
    return ec == asio::error::eof ? Burst::Ended : Burst::Failed;
}

} // namespace

Move moveBurst(BufferPool& buffers, const std::atomic<bool>& stopping, tcp::socket& from,
               tcp::socket& to, std::size_t& readSize, BodyFramer* body) {
    BufferPool::Borrowed buffer(buffers);
    Move out;
    for (;;) {
        if (stopping.load(std::memory_order_relaxed)) {
            out.burst = Burst::Failed;
            return out;
        }
        if (body && (body->done() || body->failed())) {
            out.burst = Burst::BodyEnd;
            return out;
        }
        std::error_code ec;
        std::size_t n = peekSome(from, buffer.get(), readSize, ec);
        if (ec) {
            out.burst = burstEnd(ec);
            return out;
        }
        out.heard = std::chrono::steady_clock::now();
        if (body) n = BodyFramer(*body).feed(std::string_view(buffer.get(), n));
        const std::size_t written = writeNow(to, buffer.get(), n, ec);
        if (!ec) takePeeked(from, buffer.get(), written, ec);
        if (ec) {
            out.burst = Burst::Failed;
            return out;
        }
        if (body) body->feed(std::string_view(buffer.get(), written));
        out.moved = out.moved || written > 0;
        if (written == n) {
            readSize = std::min(2 * readSize, relayBufferSize);
            continue;
        }
        readSize = std::clamp(2 * written, firstReadSize, relayBufferSize);
        out.burst = Burst::DestinationFull;
        return out;
    }
}

asio::awaitable<bool> waitFor(Burst burst, tcp::socket& from, tcp::socket& to) {
    if (burst != Burst::SourceDry && burst != Burst::DestinationFull) co_return false;
    const bool dry = burst == Burst::SourceDry;
    auto [ec] = co_await (dry ? from : to)
                    .async_wait(dry ? tcp::socket::wait_read : tcp::socket::wait_write, asValues);
    co_return !ec;
}
