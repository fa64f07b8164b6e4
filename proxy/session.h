// Inside the engine: what the engine gives each session, and the start and
// the stop of sessions.
#pragma once

#include "proxy/copy_stage.h"
#include "proxy/engine_types.h"
#include "proxy/upstream.h"

#include <atomic>
#include <cstddef>
#include <unordered_set>

class Session;
class WarmPool;

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
