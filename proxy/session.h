// Inside the engine: what its sessions share with their owner, and the upstream
// negotiation that sessions and the upstream check both run.
#pragma once

#include "proxy/engine.h"

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
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
class WarmPool;

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
    // Logged-in connections made ahead, and what is known of pipelining;
    // null when every session dials afresh, step by step.
    WarmPool* pool = nullptr;
    // A name is looked up once per endpoint: the last one and its address.
    std::shared_ptr<const UpstreamEndpoint> resolvedFor;
    std::string resolvedAddress;
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
// Closes the sessions whose tunnel has heard nothing from the upstream since
// `since`, and HTTP sessions at rest between requests.
void closeQuietSessions(SessionHost& host, std::chrono::steady_clock::time_point since);

// The owner hears how a dial or a login ended, unless the engine is stopping.
void reportUpstream(SessionHost& host, UpstreamCheck result);
void setSessionOptions(asio::ip::tcp::socket& s);

// Appends the next bytes from s; false on the end, an error, or a handshake
// message that would pass handshakeLimit.
asio::awaitable<bool> readMore(asio::ip::tcp::socket& s, std::string& into);
asio::awaitable<bool> writeAll(asio::ip::tcp::socket& s, std::string_view bytes);
// Reads until rest holds a whole SOCKS5 reply (RFC 1928 section 6); its
// length and REP. false when it cannot be read or is malformed.
asio::awaitable<bool> readSocks5Reply(asio::ip::tcp::socket& s, std::string& rest,
                                      std::size_t& length, std::uint8_t& reply);

// A handshake in one write: the offer, RFC 1929 and `then` (a request, or
// nothing) go together, for servers known to read them so. mismatch: an
// answer came that a step-by-step exchange would not have been given (or
// none came), so the step-by-step way should be tried instead.
struct Pipelined {
    std::string_view then;
    bool mismatch = false;
};

// RFC 1928 section 3 method offer, then RFC 1929 when the server picks it.
// rest keeps whatever the upstream sent after its last reply.
asio::awaitable<UpstreamCheck> negotiateUpstream(asio::ip::tcp::socket& upstream,
                                                 const UpstreamEndpoint& endpoint,
                                                 std::string& rest, Pipelined* pipelined = nullptr);
