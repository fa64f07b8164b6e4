// The local proxy engine: a listener on 127.0.0.1 that relays every client
// through the upstream SOCKS5 server (RFC 1928, RFC 1929). One object owns
// its event loop, its thread, the acceptor and every session.
#pragma once

#include "core/state.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

inline constexpr std::uint16_t listenPort = 10800;

struct EngineOptions {
    std::uint16_t port = listenPort;
    // From accept to the copying stage: client messages, upstream connect,
    // method negotiation, RFC 1929 and the reply.
    std::chrono::milliseconds handshakeDeadline{30000};
    // Once one direction has ended and its end was passed on, the other gets
    // this long without bytes before the session closes.
    std::chrono::milliseconds finWait{60000};
    // Blocking lookup of an upstream host name to a dotted IPv4 text (empty:
    // not resolvable); a dotted address is used as it is. Empty function: the
    // system's resolver. Sessions run it off the engine's thread, and a stop
    // never waits for it. Tests replace it.
    std::function<std::string(const std::string& host)> resolve;
    // Keeps a few upstream connections logged in ahead while clients are
    // active, and learns whether the endpoint reads a handshake sent in one
    // write. Off: every session dials afresh, step by step.
    bool loginAhead = true;
};

// The outcome of one upstream negotiation.
enum class UpstreamCheck { Ok, Unresolved, Unreachable, NoAcceptableMethod, Refused, TimedOut };
const char* describeUpstreamCheck(UpstreamCheck result);

// Told, on the engine's thread, how each session's connect and login to the
// upstream ended: let in, or why not. A CONNECT the upstream refuses is the
// destination's affair and is not reported. Must return quickly and never
// call back into the engine.
using UpstreamOutcome = std::function<void(UpstreamCheck)>;

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

  private:
    struct Core;
    std::unique_ptr<Core> core;
};

// One negotiation with the upstream as a session would do it (connect,
// method offer, RFC 1929 when chosen) within the deadline, then a close. A
// name is looked up first, on the calling thread; the system's lookup cannot
// be cut short, but the time it takes counts against the deadline.
UpstreamCheck checkUpstream(const UpstreamEndpoint& upstream, std::chrono::milliseconds deadline,
                            const EngineOptions& options = {});
