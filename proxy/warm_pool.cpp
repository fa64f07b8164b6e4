#include "proxy/warm_pool.h"

#include <algorithm>

using asio::ip::tcp;

WarmPool::WarmPool(asio::io_context& io, UpstreamClient& upstream,
                   const std::atomic<bool>& stopping)
    : io(io), upstream(upstream), stopping(stopping), ticker(io) {}

void WarmPool::closeReady() {
    std::error_code ignored;
    for (Ready& r : ready)
        r.socket.close(ignored);
    ready.clear();
}

void WarmPool::endpointChanged() {
    const EndpointPtr current = upstream.endpoint();
    if (current != endpoint) {
        ++generation; // those still dialling end unused
        closeReady();
        for (const auto& d : dials)
            d->close();
        dials.clear();
        endpoint = current;
        loginsFail = false;
        pausedUntil = {};
    }
    refill();
}

void WarmPool::forget() {
    endpoint.reset();
    endpointChanged();
}

void WarmPool::noteRequest() {
    if (upstream.endpoint() != endpoint) endpointChanged();
    demand.noteRequest(Clock::now());
    startTicking();
}

void WarmPool::refill() {
    const auto now = Clock::now();
    if (stopping.load() || now < pausedUntil || !endpoint) return;
    // A probe the upstream could not answer at the start is asked again.
    upstream.probe();
    // While logins fail, one at a time: a lost upstream is not hammered.
    const std::size_t want = demand.target(now);
    const std::size_t atOnce = loginsFail ? 1 : slowChecks ? 2 : Demand::mostReady;
    while (ready.size() + dials.size() < want && dials.size() < atOnce) {
        auto c = std::make_shared<UpstreamConnection>(io.get_executor());
        dials.push_back(c);
        asio::co_spawn(io, login(generation, c), asio::detached);
    }
}

std::optional<WarmPool::Taken> WarmPool::take(const EndpointPtr& e) {
    std::optional<Taken> out;
    const auto now = Clock::now();
    while (!out && e == endpoint && !ready.empty()) {
        Ready r = std::move(ready.front());
        ready.pop_front();
        // Readable while idle means the upstream closed it or sent what no
        // request asked for: either way it is not handed out.
        char byte = 0;
        std::error_code ec;
        r.socket.receive(asio::buffer(&byte, 1), tcp::socket::message_peek, ec);
        if (now - r.born < maxAge && ec == asio::error::would_block)
            out.emplace(Taken{std::move(r.socket), std::move(r.mark)});
    }
    if (out) refill();
    return out;
}

void WarmPool::coldDialAnswered() {
    refill();
}

void WarmPool::noteLogin(UpstreamCheck result) {
    if (result == UpstreamCheck::Ok) pausedUntil = {};
    if (result == UpstreamCheck::Refused || result == UpstreamCheck::NoAcceptableMethod ||
        result == UpstreamCheck::OwnListener)
        pausedUntil = Clock::now() + refusedPause;
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
        const std::size_t want = demand.target(now);
        std::erase_if(ready, [&](Ready& r) {
            std::error_code ignored;
            if (now - r.born >= maxAge) r.socket.close(ignored);
            return !r.socket.is_open();
        });
        for (std::error_code ignored; ready.size() > want; ready.pop_back())
            ready.back().socket.close(ignored);
        refill();
        if (want == 0 && ready.empty() && dials.empty()) {
            ticking = false;
            co_return;
        }
    }
}

asio::awaitable<void> WarmPool::login(std::uint64_t from, std::shared_ptr<UpstreamConnection> c) {
    if (from != generation) co_return; // changed before it began
    const EndpointPtr e = endpoint;
    const auto l = co_await upstream.login(e, *c, Clock::now() + loginDeadline, Dialer::Ahead);
    if (from != generation) co_return; // a change or a close came meanwhile
    std::erase(dials, c);
    if (l.misheard) co_return; // pipelining is off now; the next refill goes step by step
    loginsFail = l.result != UpstreamCheck::Ok;
    if (!loginsFail) slowChecks = l.checkTook > slowCheck;
    if (l.result != UpstreamCheck::Ok || !c->rest.empty()) {
        c->close();
        co_return;
    }
    ready.push_back({std::move(c->socket), std::move(c->mark), Clock::now()});
    // Logins held back to go a few at a time follow this one.
    refill();
}

void WarmPool::closeAll() {
    ++generation;
    closeReady();
    for (const auto& d : dials)
        d->close();
    dials.clear();
    ticker.cancel();
    ticking = false;
    endpoint.reset();
    demand.reset();
    loginsFail = false;
    slowChecks = false;
    pausedUntil = {};
}
