// The local proxy engine: a listener on 127.0.0.1 that relays every client
// through the upstream SOCKS5 server (RFC 1928, RFC 1929). One object owns
// its event loop, its thread, the acceptor and every session.
#pragma once

#include "core/state.h"
#include "proxy/engine_types.h"

#include <chrono>
#include <cstddef>
#include <memory>

class ProxyEngine {
  public:
    explicit ProxyEngine(EngineOptions options = {}, UpstreamOutcome outcome = {});
    ~ProxyEngine(); // stops
    ProxyEngine(const ProxyEngine&) = delete;
    ProxyEngine& operator=(const ProxyEngine&) = delete;

    // Binds 127.0.0.1:port on the calling thread, so a taken port is known
    // before anything else changes, then serves on the engine's thread with
    // its own copy of the endpoint. false: nothing runs.
    bool start(const UpstreamEndpoint& upstream);
    // From any thread but the engine's own: closes the acceptor and every
    // session, then joins. Does nothing when not running.
    void stop();
    // From any thread: the sessions that dial after this use the new
    // endpoint; those already past their dial keep theirs. The listener stays.
    void swapUpstream(const UpstreamEndpoint& upstream);
    // From any thread, after a sleep or a change of network: the connections
    // logged in ahead and what the probe learned go, and the endpoint is
    // probed again; tunnels that have heard nothing from their upstream since
    // quietSince, and HTTP client connections at rest between requests, are
    // closed, so their clients reconnect at once instead of waiting on a dead
    // path. Does nothing when not running.
    void refresh(std::chrono::steady_clock::time_point quietSince);
    bool running() const;
    // Sessions open right now (accepted and not yet closed).
    std::size_t sessionCount() const;
    // Bytes the sessions hold right now in copy buffers and in what a
    // destination has not taken yet.
    std::size_t bufferedBytes() const;

  private:
    struct Core;
    std::unique_ptr<Core> core;
};

// One negotiation with the upstream as a session would do it (connect,
// method offer, RFC 1929 when chosen) within the deadline, then a close. The
// system's lookup of a name cannot be cut short: the check then returns at
// its deadline, but only once the lookup has ended.
UpstreamCheck checkUpstream(const UpstreamEndpoint& upstream, std::chrono::milliseconds deadline,
                            const EngineOptions& options = {});
