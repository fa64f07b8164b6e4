// What every part of the engine shares: its options and the outcome of a
// login to the upstream. No sockets here, so the lowest files can include it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
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
    // Blocking lookup of an upstream host name to an IPv4 or IPv6 address
    // text (empty: not resolvable); an address is used as it is. Empty
    // function: the system's resolver. It runs off the engine's thread, and a
    // stop never waits for it. Tests replace it.
    std::function<std::string(const std::string& host)> resolve;
    // Keeps a few upstream connections logged in ahead while clients are
    // active, and learns whether the endpoint reads a handshake sent in one
    // write. Off: every session dials afresh, step by step.
    bool loginAhead = true;
};

// The outcome of one upstream negotiation. OwnListener: the endpoint is this
// engine's own listener (a loopback address with our port), which would make
// every session dial itself without end.
enum class UpstreamCheck {
    Ok,
    Unresolved,
    Unreachable,
    NoAcceptableMethod,
    Refused,
    TimedOut,
    OwnListener
};
const char* describeUpstreamCheck(UpstreamCheck result);

// Told, on the engine's thread, how each session's connect and login to the
// upstream ended: let in, or why not. A CONNECT the upstream refuses is the
// destination's affair and is not reported. Must return quickly and never
// call back into the engine.
using UpstreamOutcome = std::function<void(UpstreamCheck)>;
