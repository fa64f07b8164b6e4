// Inside the engine: what its sessions share with their owner, and the upstream
// negotiation that sessions and the upstream check both run.
#pragma once

#include "proxy/engine.h"

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

// Completion token of the engine: errors come back as values, never as
// exceptions, so every failure is handled where it happens.
inline constexpr auto asValues = asio::experimental::as_tuple(asio::use_awaitable);

// Bytes read and written at once per direction. Measured (README, Benchmark):
// under Wine each socket call is a round trip to the Wine server, so fewer,
// larger calls are what makes the copying fast there (200 MB through Dante,
// medians of 7: 256 KiB 203, 512 KiB 217, 1 MiB 243 MB/s, the yardstick 183;
// 64 KiB was below 256 KiB); natively 256 KiB and 1 MiB are alike.
inline constexpr std::size_t relayBufferSize = 1024 * 1024;

class Session;

// What the sessions of one engine share. Touched on the engine's thread only,
// except `open`, which any thread may read.
struct SessionHost {
    EngineOptions options;
    // The copy taken by the start, replaced whole by a swap from any thread.
    SharedSnapshot<UpstreamEndpoint> upstream;
    UpstreamOutcome outcome;
    // Runs a name lookup off the engine's thread and calls done with the
    // dotted address (empty: unresolved) on that other thread; false when no
    // lookup could be started.
    std::function<bool(const std::string& name, std::function<void(std::string)> done)> lookup;
    // Copy buffers not in use: a session borrows one per direction only while
    // bytes move, so idle sessions hold none.
    std::vector<std::unique_ptr<char[]>> spareBuffers;
    std::unordered_set<Session*> sessions;
    std::atomic<std::size_t> open{0};
    // Set by a stop before its close reaches the loop: sessions that run
    // meanwhile end instead of copying on.
    std::atomic<bool> stopping{false};
};

// Serves one accepted client; the session owns it and its upstream socket.
void startSession(SessionHost& host, asio::ip::tcp::socket client);
// Closes every session's sockets; each session then ends on its own.
void closeSessions(SessionHost& host);

// RFC 1928 section 3 method offer, then RFC 1929 when the server picks it.
// rest keeps whatever the upstream sent after its last reply.
asio::awaitable<UpstreamCheck> negotiateUpstream(asio::ip::tcp::socket& upstream,
                                                 const UpstreamEndpoint& endpoint,
                                                 std::string& rest);
