// The one road to a logged-in upstream connection, which every dial takes:
// the sessions, the connections logged in ahead, the pipelining probe and the
// start's check. It owns the name lookups (one cache per endpoint), the
// connect with its deadline, the negotiation (RFC 1928, RFC 1929) step by
// step or in one write as the endpoint is known to take it, the marks that
// tell our own connections at the listener, and the report of each outcome.
// On one event loop's thread only, but for the endpoint, which any thread
// may replace.
#pragma once

#include "core/state.h"
#include "proxy/engine_types.h"
#include "proxy/socket_io.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class Lookups;
using EndpointPtr = std::shared_ptr<const UpstreamEndpoint>;

// The engine's own upstream connections, as (local end, remote end).
using OwnEnds = std::multiset<std::pair<asio::ip::tcp::endpoint, asio::ip::tcp::endpoint>>;

// Marks a connected upstream socket as the engine's own for as long as it
// lives. Taken after the connect and before the first byte is written, so a
// loop's first bytes can never reach the listener unmarked.
class OwnEnd {
  public:
    OwnEnd() = default;
    OwnEnd(OwnEnds& ends, const asio::ip::tcp::socket& s);
    OwnEnd(OwnEnd&& other) noexcept { *this = std::move(other); }
    OwnEnd& operator=(OwnEnd&& other) noexcept;
    ~OwnEnd() { reset(); }
    void reset();

  private:
    OwnEnds* ends = nullptr;
    OwnEnds::iterator where;
};

// An accepted client's connection is one of ours seen from the other side.
// Both ends count: one local port may carry connections to different places.
bool fromOwnUpstream(const OwnEnds& ends, const asio::ip::tcp::socket& accepted);
// The address and port are the engine's own listener: any loopback address
// (IPv4-mapped ones too), or the unspecified one, with the listener's port.
bool isOwnListener(const asio::ip::address& address, std::uint16_t port, std::uint16_t listenPort);

// One connection to the upstream, from its dial on; its owner closes it.
struct UpstreamConnection {
    explicit UpstreamConnection(const asio::any_io_executor& ex) : socket(ex), wait(ex) {}
    asio::ip::tcp::socket socket;
    asio::steady_timer wait; // the name lookup is waited for here
    OwnEnd mark;
    std::string rest; // what the upstream sent after its last answer
    bool closed = false;
    bool expired = false;
    // Ends the dial at once, wherever it is; it reports nothing then.
    void close();
    // Ends it as its deadline: the dial reports that the upstream took too long.
    void expire();
};

// Reads until rest holds a whole SOCKS5 reply (RFC 1928 section 6); its
// length and REP. false when it cannot be read or is malformed.
asio::awaitable<bool> readSocks5Reply(asio::ip::tcp::socket& s, std::string& rest,
                                      std::size_t& length, std::uint8_t& reply);

// Who dialled: the owner hears of sessions' and logins ahead, not the probe's.
enum class Dialer { Session, Ahead, Probe };

class UpstreamClient {
  public:
    using Clock = std::chrono::steady_clock;
    using Heard = std::function<void(UpstreamCheck, Dialer)>;

    // ends: where our connections are marked; it must outlive every
    // connection this client makes, and so the loop that holds them.
    UpstreamClient(asio::any_io_executor ex, const EngineOptions& options, OwnEnds& ends,
                   Heard heard = {});
    ~UpstreamClient();
    UpstreamClient(const UpstreamClient&) = delete;
    UpstreamClient& operator=(const UpstreamClient&) = delete;

    // The endpoint dials go to from now on; any thread.
    EndpointPtr endpoint() const { return current.load(); }
    void setEndpoint(const UpstreamEndpoint& e);

    struct Login {
        UpstreamCheck result = UpstreamCheck::Unreachable;
        bool sentThen = false; // the login (and `then`) went in one write with the offer
        bool misheard = false; // ...and the answers were not those of step by step
        // The upstream's own time to check the login: the wait for its
        // answer less a round trip, as long as the method's answer took.
        Clock::duration checkTook{};
    };
    // Resolves (once per endpoint), connects and negotiates within `until`.
    // `then` (a request) goes with the login in one write where the endpoint
    // is known to read that; otherwise it is left to the caller. A misheard
    // pipelined exchange turns pipelining off for the endpoint and is not
    // reported; the caller should try again step by step.
    asio::awaitable<Login> login(EndpointPtr e, UpstreamConnection& c, Clock::time_point until,
                                 Dialer who, std::string_view then = {});

    // Learns, once per endpoint, whether it reads a handshake sent in one
    // write: greeting, RFC 1929 and a CONNECT to 0.0.0.0 port 0 together. A
    // probe that could not reach the upstream or log in learns nothing, and
    // the next call tries again.
    void probe();
    bool pipelines(const EndpointPtr& e) const;
    // Forgets the endpoint's address and what the probe learned, so both are
    // found again (after a sleep or a change of network).
    void forget();

    bool isOwnConnection(const asio::ip::tcp::socket& accepted) const {
        return fromOwnUpstream(ownEnds, accepted);
    }
    // A stop: waits for lookups end, the probe closes, queued lookups go.
    void closeAll();

  private:
    enum class Pipelining { Unknown, Probing, Yes, No };

    asio::awaitable<UpstreamCheck> resolve(const EndpointPtr& e, UpstreamConnection& c,
                                           Clock::time_point until, asio::ip::address& out);
    // probing: the whole handshake goes in one write, whatever is known.
    asio::awaitable<Login> dial(EndpointPtr e, UpstreamConnection& c, Clock::time_point until,
                                Dialer who, std::string_view then, bool probing);
    asio::awaitable<void> runProbe(EndpointPtr e);
    void report(UpstreamCheck result, Dialer who);

    asio::any_io_executor executor;
    const EngineOptions& options;
    Heard heard;
    SharedSnapshot<UpstreamEndpoint> current;
    OwnEnds& ownEnds;
    std::shared_ptr<bool> alive; // lookups that come back late find it gone
    // The last endpoint whose address was found, and that address.
    EndpointPtr resolvedFor;
    asio::ip::address resolvedAddress;
    EndpointPtr unresolvedFor, lookingUpFor;
    std::vector<UpstreamConnection*> waiting; // for the lookup under way
    EndpointPtr knownFor;                     // what pipelining says is about this endpoint
    Pipelining pipelining = Pipelining::Unknown;
    std::shared_ptr<UpstreamConnection> probing;
    std::unique_ptr<Lookups> lookups;
};
