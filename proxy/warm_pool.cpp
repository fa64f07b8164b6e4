#include "proxy/warm_pool.h"

#include "proxy/socks.h"

#include <algorithm>

using asio::ip::tcp;

namespace {

// A login ahead that takes longer than this is of no use to a session.
constexpr auto loginDeadline = std::chrono::seconds(10);
// The probe answers within one round trip on a server that reads pipelined
// input; one that drops it stays silent until this passes.
constexpr auto probeDeadline = std::chrono::seconds(5);

} // namespace

// One connection being made. The deadline closes it; so does a stop.
struct WarmPool::Dial {
    explicit Dial(asio::io_context& io) : socket(io), timer(io) {}
    tcp::socket socket;
    asio::steady_timer timer;
    bool timedOut = false;
};

WarmPool::WarmPool(asio::io_context& io, SessionHost& host) : io(io), host(host), ticker(io) {}

std::shared_ptr<WarmPool::Dial> WarmPool::newDial(std::chrono::milliseconds deadline) {
    auto dial = std::make_shared<Dial>(io);
    dial->timer.expires_after(deadline);
    dial->timer.async_wait([weak = std::weak_ptr<Dial>(dial)](std::error_code ec) {
        const auto d = weak.lock();
        if (ec || !d) return;
        d->timedOut = true;
        std::error_code ignored;
        d->socket.close(ignored);
    });
    std::erase_if(dials, [](const std::weak_ptr<Dial>& d) { return d.expired(); });
    dials.push_back(dial);
    return dial;
}

bool WarmPool::address(std::string& out) {
    if (!endpoint) return false;
    std::error_code ec;
    asio::ip::make_address_v4(endpoint->host, ec);
    if (!ec) {
        out = endpoint->host;
        return true;
    }
    if (host.resolvedFor == endpoint) {
        out = host.resolvedAddress;
        return true;
    }
    if (lookingUp) return false;
    lookingUp = true;
    const auto forEndpoint = endpoint;
    const auto from = generation;
    lookingUp = host.lookup(endpoint->host, [this, forEndpoint, from](std::string found) {
        asio::post(io, [this, forEndpoint, from, found = std::move(found)] {
            if (from != generation) return;
            lookingUp = false;
            if (found.empty()) return;
            host.resolvedFor = forEndpoint;
            host.resolvedAddress = found;
            endpointChanged(); // now the probe can run, and refills follow
        });
    });
    return false;
}

void WarmPool::endpointChanged() {
    const auto current = host.upstream.load();
    if (current != endpoint) {
        ++generation;
        for (Ready& r : ready) {
            std::error_code ignored;
            r.socket.close(ignored);
        }
        ready.clear();
        endpoint = current;
        pipelining = Pipelining::Unknown;
        lookingUp = false;
        dialing = 0; // those still dialling end unused
        loginsFail = false;
    }
    std::string ip;
    if (pipelining == Pipelining::Unknown && address(ip)) {
        pipelining = Pipelining::Probing;
        asio::co_spawn(io, probe(generation), asio::detached);
    }
    refill();
}

void WarmPool::forget() {
    endpoint.reset();
    endpointChanged();
}

void WarmPool::noteRequest() {
    if (host.upstream.load() != endpoint) endpointChanged();
    const auto now = Clock::now();
    const std::int64_t second =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    // Seconds with no request since the last one count nothing.
    for (std::int64_t s = std::max(lastSecond + 1, second - 59); s <= second; ++s)
        perSecond[static_cast<std::size_t>(s % 60)] = 0;
    lastSecond = std::max(lastSecond, second);
    auto& count = perSecond[static_cast<std::size_t>(second % 60)];
    count = static_cast<std::uint16_t>(std::min<int>(count + 1, 0xffff));
    lastRequest = now;
    startTicking();
}

// The most requests in any one second of the last minute, from 1 to
// mostReady, while a client has asked within keepFor; otherwise none. A
// reader on a page gets one for the next click, not a burst's worth renewed
// every maxAge.
std::size_t WarmPool::target(Clock::time_point now) const {
    if (lastRequest == Clock::time_point{} || now - lastRequest > keepFor) return 0;
    if (now - lastRequest > quietAfter) return 1;
    const std::int64_t second =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    std::size_t most = 1;
    for (std::int64_t s = second - 59; s <= second; ++s)
        if (s <= lastSecond && s > lastSecond - 60)
            most = std::max<std::size_t>(most, perSecond[static_cast<std::size_t>(s % 60)]);
    return std::min(most, mostReady);
}

void WarmPool::refill() {
    if (host.stopping.load()) return;
    std::string ip;
    // While logins fail, one at a time: a lost upstream is not hammered.
    const std::size_t want =
        std::min(target(Clock::now()), loginsFail ? std::size_t{1} : mostReady);
    while (ready.size() + dialing < want && address(ip)) {
        ++dialing;
        asio::co_spawn(io, login(generation), asio::detached);
    }
}

std::optional<tcp::socket>
WarmPool::take(const std::shared_ptr<const UpstreamEndpoint>& forEndpoint) {
    std::optional<tcp::socket> out;
    const auto now = Clock::now();
    while (!out && forEndpoint == endpoint && !ready.empty()) {
        Ready r = std::move(ready.front());
        ready.pop_front();
        // Readable while idle means the upstream closed it or sent what no
        // request asked for: either way it is not handed out.
        char byte = 0;
        std::error_code ec;
        r.socket.receive(asio::buffer(&byte, 1), tcp::socket::message_peek, ec);
        if (now - r.born < maxAge && ec == asio::error::would_block)
            out.emplace(std::move(r.socket));
    }
    if (out) refill();
    return out;
}

void WarmPool::coldDialAnswered() {
    refill();
}

bool WarmPool::pipelines(const std::shared_ptr<const UpstreamEndpoint>& forEndpoint) const {
    return forEndpoint == endpoint && pipelining == Pipelining::Yes;
}

void WarmPool::pipeliningFailed(const std::shared_ptr<const UpstreamEndpoint>& forEndpoint) {
    if (forEndpoint == endpoint) pipelining = Pipelining::No;
}

void WarmPool::startTicking() {
    if (ticking) return;
    ticking = true;
    asio::co_spawn(io, tick(), asio::detached);
}

// Once a second while clients are active: old connections go, demand is
// followed. Ends once nothing is kept, so an idle engine has no timer.
asio::awaitable<void> WarmPool::tick() {
    for (;;) {
        ticker.expires_after(std::chrono::seconds(1));
        auto [ec] = co_await ticker.async_wait(asValues);
        if (ec) co_return; // a close
        const auto now = Clock::now();
        const std::size_t want = target(now);
        std::erase_if(ready, [&](Ready& r) {
            std::error_code ignored;
            if (now - r.born >= maxAge) r.socket.close(ignored);
            return !r.socket.is_open();
        });
        for (std::error_code ignored; ready.size() > want; ready.pop_back())
            ready.back().socket.close(ignored);
        refill();
        if (want == 0 && ready.empty() && dialing == 0) {
            ticking = false;
            co_return;
        }
    }
}

asio::awaitable<void> WarmPool::login(std::uint64_t from) {
    const auto forEndpoint = endpoint;
    std::string ip;
    if (from != generation) co_return; // changed before it began
    if (!address(ip)) {
        --dialing;
        co_return;
    }
    const auto dial = newDial(loginDeadline);
    std::error_code ec;
    const auto where = tcp::endpoint(asio::ip::make_address_v4(ip, ec),
                                     static_cast<std::uint16_t>(forEndpoint->port & 0xffff));
    auto [connectError] = co_await dial->socket.async_connect(where, asValues);
    UpstreamCheck result = UpstreamCheck::Unreachable;
    std::string rest;
    Pipelined oneWrite;
    const bool pipelined = pipelining == Pipelining::Yes;
    if (!connectError)
        result = co_await negotiateUpstream(dial->socket, *forEndpoint, rest,
                                            pipelined ? &oneWrite : nullptr);
    dial->timer.cancel();
    if (from != generation) co_return; // a change or a close came meanwhile
    --dialing;
    if (dial->timedOut) result = UpstreamCheck::TimedOut;
    if (oneWrite.mismatch) {
        pipeliningFailed(forEndpoint);
        co_return;
    }
    // Failed logins ahead count as the sessions' would.
    reportUpstream(host, result);
    loginsFail = result != UpstreamCheck::Ok;
    if (result != UpstreamCheck::Ok || !rest.empty()) co_return;
    setSessionOptions(dial->socket);
    ready.push_back({std::move(dial->socket), Clock::now()});
}

// Greeting, RFC 1929 and a CONNECT to 0.0.0.0 port 0 in one write: all three
// answers in order (any REP) mean the server reads pipelined input. A server
// that reads one message per read answers the greeting and then stays silent.
asio::awaitable<void> WarmPool::probe(std::uint64_t from) {
    const auto forEndpoint = endpoint;
    std::string ip;
    if (from != generation || !address(ip)) co_return; // changed before it began
    const auto dial = newDial(probeDeadline);
    std::error_code ec;
    const auto where = tcp::endpoint(asio::ip::make_address_v4(ip, ec),
                                     static_cast<std::uint16_t>(forEndpoint->port & 0xffff));
    auto [connectError] = co_await dial->socket.async_connect(where, asValues);
    const std::string nowhere = buildSocks5Connect(atypIPv4, std::string(4, '\0'), 0);
    Pipelined oneWrite{nowhere};
    std::string rest;
    UpstreamCheck result = UpstreamCheck::Unreachable;
    if (!connectError)
        result = co_await negotiateUpstream(dial->socket, *forEndpoint, rest, &oneWrite);
    std::size_t length = 0;
    std::uint8_t reply = 0;
    bool replied = false;
    if (result == UpstreamCheck::Ok)
        replied = co_await readSocks5Reply(dial->socket, rest, length, reply);
    dial->timer.cancel();
    std::error_code ignored;
    dial->socket.close(ignored);
    if (from != generation) co_return;
    pipelining = replied && !oneWrite.mismatch ? Pipelining::Yes : Pipelining::No;
}

void WarmPool::closeAll() {
    ++generation;
    std::error_code ignored;
    for (Ready& r : ready)
        r.socket.close(ignored);
    ready.clear();
    for (const auto& weak : dials) {
        if (const auto d = weak.lock()) {
            d->socket.close(ignored);
            d->timer.cancel();
        }
    }
    dials.clear();
    dialing = 0;
    ticker.cancel();
    ticking = false;
    endpoint.reset();
    pipelining = Pipelining::Unknown;
    lookingUp = false;
    loginsFail = false;
    lastRequest = {};
}
