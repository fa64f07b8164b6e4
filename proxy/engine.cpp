// The engine's owner: its event loop and thread, the acceptor, the one
// upstream client, the connections logged in ahead and the sessions.
#include "proxy/engine.h"

#include "proxy/session.h"
#include "proxy/warm_pool.h"

#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// A failing accept (typically out of descriptors) would fail again at once;
// pausing keeps the loop from spinning while sessions give some back.
constexpr auto acceptPause = std::chrono::milliseconds(100);

asio::awaitable<void> acceptClients(tcp::acceptor& acceptor, asio::steady_timer& pause,
                                    SessionContext& context) {
    for (;;) {
        auto [ec, client] = co_await acceptor.async_accept(asValues);
        if (!acceptor.is_open() || ec == asio::error::operation_aborted) co_return;
        if (ec) {
            pause.expires_after(acceptPause);
            co_await pause.async_wait(asValues);
            continue;
        }
        // The engine dialling itself (an endpoint that leads back here): the
        // loop ends at its first step.
        if (context.upstream.isOwnConnection(client)) continue;
        try {
            startSession(context, std::move(client));
        } catch (...) {
            // No memory for this client: it goes, the listener stays.
        }
    }
}

} // namespace

struct ProxyEngine::Core {
    Core(EngineOptions o, UpstreamOutcome outcome)
        : options(std::move(o)), outcome(std::move(outcome)) {
        if (!options.loginAhead) return;
        pool.emplace(io, upstream, registry.stopping);
        context.pool = &*pool;
    }

    // Every dial's outcome: the pool learns from each, the owner hears of
    // the sessions' and the logins ahead, unless the engine is stopping.
    void heard(UpstreamCheck result, Dialer who) {
        if (pool) pool->noteLogin(result);
        if (who == Dialer::Probe || !outcome || registry.stopping.load()) return;
        outcome(result);
    }

    // After a start or a swap: the pool forgets the old endpoint, and the new
    // one is probed. On the engine's thread.
    void endpointChanged() {
        if (!pool) return;
        upstream.probe();
        pool->endpointChanged();
    }

    // Closes the acceptor and every session; the loop then runs out of work
    // and its thread ends. On the engine's thread only.
    void closeAll() {
        std::error_code ignored;
        if (acceptor) acceptor->close(ignored);
        pause.cancel();
        closeSessions(registry);
        if (pool) pool->closeAll();
        upstream.closeAll();
    }

    // Declared in the order that lets each part outlive its users: sessions
    // still in the loop's queue at its destruction leave the registry, give
    // their buffers back and unmark their connections, and the upstream
    // client's lookup thread, which posts to the loop, is joined before the
    // loop goes.
    const EngineOptions options;
    const UpstreamOutcome outcome;
    SessionRegistry registry;
    BufferPool buffers;
    OwnEnds ownEnds;
    asio::io_context io{1};
    UpstreamClient upstream{io.get_executor(), options, ownEnds,
                            [this](UpstreamCheck result, Dialer who) { heard(result, who); }};
    std::optional<WarmPool> pool;
    SessionContext context{options, upstream, nullptr, buffers, registry};
    std::optional<tcp::acceptor> acceptor;
    asio::steady_timer pause{io};
    std::mutex control; // start and stop from any thread
    std::thread thread;
    std::atomic<bool> running{false};
};

ProxyEngine::ProxyEngine(EngineOptions options, UpstreamOutcome outcome)
    : core(std::make_unique<Core>(std::move(options), std::move(outcome))) {}

ProxyEngine::~ProxyEngine() {
    stop();
}

bool ProxyEngine::start(const UpstreamEndpoint& upstream) {
    std::lock_guard<std::mutex> guard(core->control);
    if (core->thread.joinable()) return false;
    std::error_code ec;
    tcp::acceptor acceptor(core->io);
    acceptor.open(tcp::v4(), ec);
    if (ec) return false;
#ifdef _WIN32
    // Windows SO_REUSEADDR (Asio's reuse_address) would let this bind succeed
    // on a port another socket listens on; exclusive use still rebinds at once.
    acceptor.set_option(asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>(true),
                        ec);
#else
    acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
    acceptor.bind(tcp::endpoint(asio::ip::address_v4::loopback(), core->options.port), ec);
    if (!ec) acceptor.listen(tcp::acceptor::max_listen_connections, ec);
    if (ec) return false;

    core->acceptor.emplace(std::move(acceptor));
    core->upstream.setEndpoint(upstream);
    core->io.restart();
    core->endpointChanged();
    asio::co_spawn(core->io, acceptClients(*core->acceptor, core->pause, core->context),
                   asio::detached);
    try {
        core->thread = std::thread([this] {
            try {
                core->io.run();
            } catch (...) {
                // Out of memory in the loop itself: the engine stops serving.
            }
        });
    } catch (...) {
        // No thread: run the spawned accept loop to its end here.
        core->closeAll();
        core->io.run();
        core->acceptor.reset();
        return false;
    }
    core->running = true;
    return true;
}

void ProxyEngine::stop() {
    std::lock_guard<std::mutex> guard(core->control);
    if (!core->thread.joinable()) return;
    core->registry.stopping = true;
    asio::post(core->io, [c = core.get()] { c->closeAll(); });
    core->thread.join();
    core->registry.stopping = false;
    core->acceptor.reset();
    core->running = false;
}

void ProxyEngine::swapUpstream(const UpstreamEndpoint& upstream) {
    core->upstream.setEndpoint(upstream);
    if (core->running) asio::post(core->io, [c = core.get()] { c->endpointChanged(); });
}

void ProxyEngine::refresh(Clock::time_point quietSince) {
    std::lock_guard<std::mutex> guard(core->control);
    if (!core->thread.joinable()) return;
    asio::post(core->io, [c = core.get(), quietSince] {
        // The name may lead elsewhere from this network, and the path may
        // read pipelined input differently.
        c->upstream.forget();
        if (c->pool) {
            c->upstream.probe();
            c->pool->forget();
        }
        closeQuietSessions(c->registry, quietSince);
    });
}

bool ProxyEngine::running() const {
    return core->running.load();
}

std::size_t ProxyEngine::sessionCount() const {
    return core->registry.open.load();
}

std::size_t ProxyEngine::bufferedBytes() const {
    return core->buffers.held();
}

UpstreamCheck checkUpstream(const UpstreamEndpoint& upstream, std::chrono::milliseconds deadline,
                            const EngineOptions& options) {
    try {
        OwnEnds ends;
        asio::io_context io{1};
        UpstreamClient client(io.get_executor(), options, ends);
        UpstreamConnection c(io.get_executor());
        UpstreamCheck result = UpstreamCheck::TimedOut;
        const auto e = std::make_shared<const UpstreamEndpoint>(upstream);
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                const auto login =
                    co_await client.login(e, c, Clock::now() + deadline, Dialer::Session);
                result = login.result;
                c.close();
            },
            asio::detached);
        io.run();
        return result;
    } catch (...) {
        return UpstreamCheck::Unreachable;
    }
}
