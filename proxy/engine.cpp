// The engine's owner: its event loop and thread, the acceptor, the sessions
// (session.cpp) and the name lookups that must never hold the loop up.
#include "proxy/engine.h"

#include "proxy/session.h"
#include "proxy/warm_pool.h"

#include <condition_variable>
#include <deque>
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

std::string systemResolve(const std::string& name) {
    asio::io_context io;
    tcp::resolver resolver(io);
    std::error_code ec;
    auto results = resolver.resolve(tcp::v4(), name, "", ec);
    if (ec || results.empty()) return {};
    return results.begin()->endpoint().address().to_string();
}

// Dotted IPv4 text for the upstream host: unchanged when it is one already.
std::string lookUp(const std::string& name, const EngineOptions& options) {
    std::error_code ec;
    asio::ip::make_address_v4(name, ec);
    if (!ec) return name;
    return options.resolve ? options.resolve(name) : systemResolve(name);
}

// Blocking lookups, one after another on a thread of their own, started at
// the first one. A stop does not wait for the lookup in progress (it may never
// end); its late result finds its session gone. The destructor joins.
class Lookups {
  public:
    explicit Lookups(const EngineOptions& options) : options(options) {}
    ~Lookups() {
        {
            std::lock_guard<std::mutex> guard(lock);
            quit = true;
            jobs.clear();
        }
        ready.notify_all();
        if (worker.joinable()) worker.join();
    }
    Lookups(const Lookups&) = delete;
    Lookups& operator=(const Lookups&) = delete;

    bool ask(const std::string& name, std::function<void(std::string)> done) {
        try {
            std::lock_guard<std::mutex> guard(lock);
            if (!worker.joinable()) worker = std::thread([this] { run(); });
            jobs.emplace_back(name, std::move(done));
        } catch (...) {
            return false;
        }
        ready.notify_one();
        return true;
    }

    // Lookups asked for and not begun: their sessions are gone.
    void forgetQueued() {
        std::lock_guard<std::mutex> guard(lock);
        jobs.clear();
    }

  private:
    void run() {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            ready.wait(guard, [this] { return quit || !jobs.empty(); });
            if (quit) return;
            auto job = std::move(jobs.front());
            jobs.pop_front();
            guard.unlock();
            try {
                job.second(lookUp(job.first, options));
            } catch (...) {
                // Out of memory: that session waits for its deadline.
            }
            guard.lock();
        }
    }

    const EngineOptions& options;
    std::mutex lock;
    std::condition_variable ready;
    std::deque<std::pair<std::string, std::function<void(std::string)>>> jobs;
    bool quit = false;
    std::thread worker;
};

asio::awaitable<void> acceptClients(tcp::acceptor& acceptor, asio::steady_timer& pause,
                                    SessionHost& host) {
    for (;;) {
        auto [ec, client] = co_await acceptor.async_accept(asValues);
        if (!acceptor.is_open() || ec == asio::error::operation_aborted) co_return;
        if (ec) {
            pause.expires_after(acceptPause);
            co_await pause.async_wait(asValues);
            continue;
        }
        try {
            startSession(host, std::move(client));
        } catch (...) {
            // No memory for this client: it goes, the listener stays.
        }
    }
}

} // namespace

const char* describeUpstreamCheck(UpstreamCheck result) {
    switch (result) {
    case UpstreamCheck::Ok:
        return "the upstream accepted the login";
    case UpstreamCheck::Unresolved:
        return "the upstream's name could not be resolved";
    case UpstreamCheck::Unreachable:
        return "the upstream could not be reached";
    case UpstreamCheck::NoAcceptableMethod:
        return "the upstream accepts none of the offered methods";
    case UpstreamCheck::Refused:
        return "the upstream refused the user name and password";
    case UpstreamCheck::TimedOut:
        return "the upstream did not answer in time";
    }
    return "unknown";
}

struct ProxyEngine::Core {
    Core(EngineOptions o, UpstreamOutcome outcome) : options(std::move(o)), lookups(options) {
        host.options = options;
        host.outcome = std::move(outcome);
        host.lookup = [this](const std::string& name, std::function<void(std::string)> done) {
            return lookups.ask(name, std::move(done));
        };
        if (options.loginAhead) host.pool = &pool.emplace(io, host);
    }

    // Closes the acceptor and every session; the loop then runs out of work
    // and its thread ends. On the engine's thread only.
    void closeAll() {
        std::error_code ignored;
        if (acceptor) acceptor->close(ignored);
        pause.cancel();
        closeSessions(host);
        if (pool) pool->closeAll();
        lookups.forgetQueued();
    }

    // Declared in the order that lets each part outlive its users: sessions
    // still in the loop's queue at its destruction leave the host, and the
    // lookup thread, which posts to the loop, is joined first.
    const EngineOptions options;
    SessionHost host;
    asio::io_context io{1};
    Lookups lookups;
    std::optional<WarmPool> pool;
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
    core->host.upstream.store(std::make_shared<const UpstreamEndpoint>(upstream));
    core->io.restart();
    if (core->pool) core->pool->endpointChanged();
    asio::co_spawn(core->io, acceptClients(*core->acceptor, core->pause, core->host),
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
    core->host.stopping = true;
    asio::post(core->io, [c = core.get()] { c->closeAll(); });
    core->thread.join();
    core->host.stopping = false;
    core->acceptor.reset();
    core->running = false;
}

void ProxyEngine::swapUpstream(const UpstreamEndpoint& upstream) {
    core->host.upstream.store(std::make_shared<const UpstreamEndpoint>(upstream));
    // The pool forgets the old endpoint and probes the new one on its thread.
    if (core->pool && core->running)
        asio::post(core->io, [c = core.get()] { c->pool->endpointChanged(); });
}

void ProxyEngine::refresh(Clock::time_point quietSince) {
    std::lock_guard<std::mutex> guard(core->control);
    if (!core->thread.joinable()) return;
    asio::post(core->io, [c = core.get(), quietSince] {
        c->host.resolvedFor.reset(); // the name may lead elsewhere from this network
        if (c->pool) c->pool->forget();
        closeQuietSessions(c->host, quietSince);
    });
}

bool ProxyEngine::running() const {
    return core->running.load();
}

std::size_t ProxyEngine::sessionCount() const {
    return core->host.open.load();
}

UpstreamCheck checkUpstream(const UpstreamEndpoint& upstream, std::chrono::milliseconds deadline,
                            const EngineOptions& options) {
    try {
        const auto until = Clock::now() + deadline;
        const std::string address = lookUp(upstream.host, options);
        std::error_code ec;
        const auto ip = asio::ip::make_address_v4(address, ec);
        if (ec) return UpstreamCheck::Unresolved;
        const auto port = static_cast<std::uint16_t>(upstream.port & 0xffff);
        asio::io_context io{1};
        tcp::socket s(io);
        UpstreamCheck result = UpstreamCheck::TimedOut;
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                auto [connectError] = co_await s.async_connect(tcp::endpoint(ip, port), asValues);
                std::string rest;
                if (connectError) {
                    result = UpstreamCheck::Unreachable;
                } else {
                    result = co_await negotiateUpstream(s, upstream, rest);
                }
            },
            asio::detached);
        io.run_until(until);
        return result;
    } catch (...) {
        return UpstreamCheck::Unreachable;
    }
}
