// The copying stage's moves: bytes go from one socket to another until the
// source would block or the destination is full, through a buffer borrowed
// only while they move, and each wait is for whichever of the two it was.
#pragma once

#include "proxy/buffer_pool.h"
#include "proxy/http_framing.h"
#include "proxy/socket_io.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <system_error>

enum class Burst { SourceDry, DestinationFull, BodyEnd, Ended, Failed };

// A flow's first look, doubled after each one its destination took whole,
// up to relayBufferSize; after a partial write, twice what was taken: a slow
// destination is not offered far more than it takes each time.
inline constexpr std::size_t firstReadSize = 16 * 1024;

struct Move {
    Burst burst = Burst::Failed;
    bool moved = false; // some bytes went, so the peers are alive
    // When the source last had bytes, taken before they were written on;
    // zero when it had none.
    std::chrono::steady_clock::time_point heard{};
};

// One burst: bytes are looked at in the source without being taken, written
// on at once, and only what the destination took is taken. A destination
// that stops reading leaves the rest in the source's socket, where TCP's flow
// control holds the sender back, and nothing waits in our memory. With a
// body, only that body's bytes move; the next message stays in the source.
// readSize is the flow's own, grown and shrunk as its destination takes.
Move moveBurst(BufferPool& buffers, const std::atomic<bool>& stopping, asio::ip::tcp::socket& from,
               asio::ip::tcp::socket& to, std::size_t& readSize, BodyFramer* body = nullptr);

// After a burst that stopped at a dry source or a full destination: waits
// until that one is ready. false for any other end, or when the wait failed.
asio::awaitable<bool> waitFor(Burst burst, asio::ip::tcp::socket& from, asio::ip::tcp::socket& to);
