#include "proxy/upstream.h"

#include "proxy/socks.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// The probe is answered within one round trip by a server that reads
// pipelined input; one that drops it stays silent until this passes.
constexpr auto probeDeadline = std::chrono::seconds(5);

std::string systemResolve(const std::string& name) {
    asio::io_context io;
    tcp::resolver resolver(io);
    std::error_code ec;
    auto results = resolver.resolve(name, "", ec);
    if (ec || results.empty()) return {};
    return results.begin()->endpoint().address().to_string();
}

// An address written in the endpoint itself, an IPv6 one with or without
// brackets; false for a name.
bool literalAddress(std::string_view host, asio::ip::address& out) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    std::error_code ec;
    out = asio::ip::make_address(host, ec);
    return !ec;
}

// Reads until rest starts with a whole two-byte reply, then takes it off.
asio::awaitable<bool> readTwoByteReply(tcp::socket& s, std::string& rest, std::uint8_t& second) {
    while (parseTwoByteReply(rest, second) == ParseStatus::NeedMore)
        if (const bool ok = co_await readMore(s, rest); !ok) co_return false;
    rest.erase(0, 2);
    co_return true;
}

// RFC 1928 section 3 method offer, then RFC 1929 when the server picks it.
// pipelined: the offer, RFC 1929 and `then` go in one write, for servers
// known to read them so; misheard is set when an answer came that a
// step-by-step exchange would not have been given (or none came). checkTook
// is the server's own time on the login: the wait for its answer less the
// round trip that the method's answer took.
asio::awaitable<UpstreamCheck> negotiate(tcp::socket& upstream, const UpstreamEndpoint& endpoint,
                                         std::string& rest, bool pipelined, std::string_view then,
                                         bool& misheard, Clock::duration& checkTook) {
    // Credentials RFC 1929 cannot carry end here, never as a malformed message.
    std::string login;
    const bool fits = buildUserPasswordRequest(endpoint.userName, endpoint.password, login);
    if (pipelined && !fits) co_return UpstreamCheck::Refused;
    std::string first(upstreamMethodOffer);
    if (pipelined) first += login + std::string(then);
    const auto offered = Clock::now();
    if (const bool ok = co_await writeAll(upstream, first); !ok)
        co_return UpstreamCheck::Unreachable;
    std::uint8_t method = 0;
    const bool chose = co_await readTwoByteReply(upstream, rest, method);
    const auto chosen = Clock::now();
    // Sent in one write, the login is only right when the server asks for it.
    misheard = pipelined && (!chose || method != methodUserPassword);
    if (!chose || misheard) co_return UpstreamCheck::Unreachable;
    if (method == methodNone) co_return UpstreamCheck::Ok;
    if (method != methodUserPassword) co_return UpstreamCheck::NoAcceptableMethod;
    if (!fits) co_return UpstreamCheck::Refused;
    const std::string_view second = pipelined ? std::string_view() : std::string_view(login);
    if (const bool ok = co_await writeAll(upstream, second); !ok)
        co_return UpstreamCheck::Unreachable;
    std::uint8_t status = 0xff;
    const bool answered = co_await readTwoByteReply(upstream, rest, status);
    checkTook = Clock::now() - chosen - (pipelined ? Clock::duration() : chosen - offered);
    misheard = pipelined && !answered;
    if (!answered) co_return UpstreamCheck::Unreachable;
    co_return status == 0x00 ? UpstreamCheck::Ok : UpstreamCheck::Refused;
}

// Expires a connection at a time unless disarmed first, by going out of scope.
class Deadline {
  public:
    Deadline(UpstreamConnection& c, Clock::time_point until)
        : target(std::make_shared<UpstreamConnection*>(&c)), timer(c.socket.get_executor(), until) {
        timer.async_wait([target = target](std::error_code ec) {
            if (!ec && *target) (*target)->expire();
        });
    }
    ~Deadline() { *target = nullptr; }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

  private:
    std::shared_ptr<UpstreamConnection*> target;
    asio::steady_timer timer;
};

} // namespace

// Blocking lookups, one after another on a thread of their own, started at
// the first one. A stop does not wait for the lookup in progress (it may
// never end); its late result finds nobody waiting. The destructor joins.
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
                job.second(options.resolve ? options.resolve(job.first) : systemResolve(job.first));
            } catch (...) {
                // Out of memory: its dials wait for their deadlines.
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

OwnEnd::OwnEnd(OwnEnds& e, const tcp::socket& s) {
    std::error_code ec;
    const tcp::endpoint local = s.local_endpoint(ec);
    const tcp::endpoint remote = ec ? tcp::endpoint() : s.remote_endpoint(ec);
    if (ec) return;
    ends = &e;
    where = e.emplace(local, remote);
}

OwnEnd& OwnEnd::operator=(OwnEnd&& other) noexcept {
    if (this != &other) {
        reset();
        ends = std::exchange(other.ends, nullptr);
        where = other.where;
    }
    return *this;
}

void OwnEnd::reset() {
    if (ends) ends->erase(where);
    ends = nullptr;
}

bool fromOwnUpstream(const OwnEnds& ends, const tcp::socket& accepted) {
    std::error_code ec;
    const tcp::endpoint peer = accepted.remote_endpoint(ec);
    const tcp::endpoint local = ec ? tcp::endpoint() : accepted.local_endpoint(ec);
    return !ec && ends.contains({peer, local});
}

bool isOwnListener(const asio::ip::address& address, std::uint16_t port, std::uint16_t listenPort) {
    if (port != listenPort) return false;
    // A connect to the unspecified address reaches this machine on some systems.
    if (address.is_unspecified()) return true;
    if (address.is_v4()) return address.to_v4().is_loopback();
    const asio::ip::address_v6 v6 = address.to_v6();
    return v6.is_loopback() ||
           (v6.is_v4_mapped() && asio::ip::make_address_v4(asio::ip::v4_mapped, v6).is_loopback());
}

void UpstreamConnection::close() {
    closed = true;
    std::error_code ignored;
    socket.close(ignored);
    wait.cancel();
    mark.reset();
}

void UpstreamConnection::expire() {
    expired = true;
    close();
}

asio::awaitable<bool> readSocks5Reply(tcp::socket& s, std::string& rest, std::size_t& length,
                                      std::uint8_t& reply) {
    for (;;) {
        const ParseStatus status = parseSocks5Reply(rest, length, reply);
        if (status == ParseStatus::Complete) co_return true;
        if (status == ParseStatus::Malformed) co_return false;
        if (const bool ok = co_await readMore(s, rest); !ok) co_return false;
    }
}

UpstreamClient::UpstreamClient(asio::any_io_executor ex, const EngineOptions& options,
                               OwnEnds& ends, Heard heard)
    : executor(std::move(ex)), options(options), heard(std::move(heard)), ownEnds(ends),
      alive(std::make_shared<bool>(true)), lookups(std::make_unique<Lookups>(options)) {}

UpstreamClient::~UpstreamClient() = default;

void UpstreamClient::setEndpoint(const UpstreamEndpoint& e) {
    current.store(std::make_shared<const UpstreamEndpoint>(e));
}

void UpstreamClient::report(UpstreamCheck result, Dialer who) {
    if (!heard) return;
    try {
        heard(result, who);
    } catch (...) {
    }
}

asio::awaitable<UpstreamCheck> UpstreamClient::resolve(const EndpointPtr& e, UpstreamConnection& c,
                                                       Clock::time_point until,
                                                       asio::ip::address& out) {
    if (literalAddress(e->host, out)) co_return UpstreamCheck::Ok;
    for (;;) {
        if (resolvedFor == e) {
            out = resolvedAddress;
            co_return UpstreamCheck::Ok;
        }
        if (unresolvedFor == e) co_return UpstreamCheck::Unresolved;
        if (c.closed) co_return UpstreamCheck::Unreachable;
        if (Clock::now() >= until) co_return UpstreamCheck::TimedOut;
        if (lookingUpFor != e) {
            lookingUpFor = e;
            // The result comes back on the lookup thread and is handed to
            // this loop's thread; it is kept only while it is still wanted.
            const bool asked =
                lookups->ask(e->host, [this, e, ex = executor,
                                       alive = std::weak_ptr<bool>(alive)](std::string found) {
                    asio::post(ex, [this, e, alive, found = std::move(found)] {
                        if (alive.expired() || lookingUpFor != e) return;
                        lookingUpFor.reset();
                        asio::ip::address address;
                        if (literalAddress(found, address)) {
                            resolvedFor = e;
                            resolvedAddress = address;
                        } else {
                            unresolvedFor = e;
                        }
                        for (UpstreamConnection* w : waiting)
                            w->wait.cancel();
                    });
                });
            if (!asked) {
                lookingUpFor.reset();
                co_return UpstreamCheck::Unresolved;
            }
        }
        c.wait.expires_at(until);
        waiting.push_back(&c);
        co_await c.wait.async_wait(asValues);
        std::erase(waiting, &c);
    }
}

asio::awaitable<UpstreamClient::Login> UpstreamClient::login(EndpointPtr e, UpstreamConnection& c,
                                                             Clock::time_point until, Dialer who,
                                                             std::string_view then) {
    co_return co_await dial(std::move(e), c, until, who, then, false);
}

asio::awaitable<UpstreamClient::Login> UpstreamClient::dial(EndpointPtr e, UpstreamConnection& c,
                                                            Clock::time_point until, Dialer who,
                                                            std::string_view then, bool probing) {
    Login out;
    asio::ip::address address;
    const Deadline expiry(c, until);
    out.result = co_await resolve(e, c, until, address);
    const auto port = static_cast<std::uint16_t>(e->port & 0xffff);
    if (out.result == UpstreamCheck::Ok && isOwnListener(address, port, options.port))
        out.result = UpstreamCheck::OwnListener;
    if (out.result == UpstreamCheck::Ok) {
        std::error_code ec;
        c.socket.open(address.is_v4() ? tcp::v4() : tcp::v6(), ec);
        // Out of sockets here says nothing of the upstream.
        if (ec) c.closed = true;
        if (!ec) setSessionOptions(c.socket);
        if (!ec) {
            auto [connectError] = co_await c.socket.async_connect({address, port}, asValues);
            ec = connectError;
        }
        out.result = UpstreamCheck::Unreachable;
        if (!ec && !c.closed) {
            c.mark = OwnEnd(ownEnds, c.socket);
            out.sentThen = probing || pipelines(e);
            out.result = co_await negotiate(c.socket, *e, c.rest, out.sentThen, then, out.misheard,
                                            out.checkTook);
        }
    }
    if (c.expired && out.result != UpstreamCheck::Ok) out.result = UpstreamCheck::TimedOut;
    // A dial its owner cut (a client that left) heard nothing wrong.
    if (c.closed && !c.expired) out.misheard = false;
    if (out.misheard && !probing) {
        if (knownFor == e) pipelining = Pipelining::No;
        co_return out;
    }
    if (!c.closed || c.expired) report(out.result, who);
    co_return out;
}

void UpstreamClient::probe() {
    const EndpointPtr e = endpoint();
    if (!e) return;
    if (knownFor != e) {
        knownFor = e;
        pipelining = Pipelining::Unknown;
    }
    if (pipelining != Pipelining::Unknown) return;
    pipelining = Pipelining::Probing;
    asio::co_spawn(executor, runProbe(e), asio::detached);
}

// Greeting, RFC 1929 and a CONNECT to 0.0.0.0 port 0 in one write: all three
// answers in order (any REP) mean the server reads pipelined input. A server
// that reads one message per read answers the greeting and then stays silent.
asio::awaitable<void> UpstreamClient::runProbe(EndpointPtr e) {
    const auto c = std::make_shared<UpstreamConnection>(executor);
    probing = c;
    const auto until = Clock::now() + probeDeadline;
    const std::string nowhere = buildSocks5Connect(atypIPv4, std::string(4, '\0'), 0);
    const Login l = co_await dial(e, *c, until, Dialer::Probe, nowhere, true);
    bool replied = false;
    if (l.result == UpstreamCheck::Ok && !l.misheard) {
        const Deadline expiry(*c, until);
        std::size_t length = 0;
        std::uint8_t reply = 0;
        replied = co_await readSocks5Reply(c->socket, c->rest, length, reply);
    }
    c->close();
    if (probing == c) probing.reset();
    if (knownFor != e || pipelining != Pipelining::Probing) co_return;
    // Answered wrongly, or let in but the CONNECT went unanswered: step by
    // step. Never reached or never let in says nothing yet: asked again later.
    if (replied && !l.misheard) {
        pipelining = Pipelining::Yes;
    } else if (l.misheard || l.result == UpstreamCheck::Ok) {
        pipelining = Pipelining::No;
    } else {
        pipelining = Pipelining::Unknown;
    }
}

bool UpstreamClient::pipelines(const EndpointPtr& e) const {
    return e && e == knownFor && pipelining == Pipelining::Yes;
}

void UpstreamClient::forget() {
    resolvedFor.reset();
    unresolvedFor.reset();
    knownFor.reset();
    pipelining = Pipelining::Unknown;
    if (probing) probing->close();
}

void UpstreamClient::closeAll() {
    for (UpstreamConnection* w : std::vector<UpstreamConnection*>(waiting))
        w->close();
    lookingUpFor.reset();
    lookups->forgetQueued();
    if (probing) probing->close();
    probing.reset();
    knownFor.reset();
    pipelining = Pipelining::Unknown;
}

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
    case UpstreamCheck::OwnListener:
        return "the upstream is this client's own listener";
    }
    return "unknown";
}
