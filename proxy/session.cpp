// One local client served through the upstream SOCKS5 server (RFC 1928,
// RFC 1929): its handshake, then the copying stage, under one set of
// deadlines. Everything here runs on the engine's thread.
#include "proxy/session.h"

#include "proxy/http_proxy.h"
#include "proxy/socks.h"
#include "proxy/warm_pool.h"

#include <optional>

#include <algorithm>
#include <string_view>

// A co_await never stands in a condition or beside && or ||: GCC 12 builds
// such coroutines wrongly (frames destroyed twice, operands evaluated out of
// turn). Results are taken in a statement, or in an if's initializer.

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// Client bytes held while the handshake has not passed them on yet; past this
// the client is simply not read until it has.
constexpr std::size_t holdLimit = relayBufferSize;
// The most spare copy buffers an engine keeps for the next burst.
constexpr std::size_t spareBufferLimit = 8;

} // namespace

asio::awaitable<bool> readMore(tcp::socket& s, std::string& into) {
    if (into.size() >= handshakeLimit) co_return false;
    char chunk[handshakeLimit];
    auto [ec, n] =
        co_await s.async_read_some(asio::buffer(chunk, handshakeLimit - into.size()), asValues);
    if (ec) co_return false;
    into.append(chunk, n);
    co_return true;
}

asio::awaitable<bool> writeAll(tcp::socket& s, std::string_view bytes) {
    if (bytes.empty()) co_return true;
    auto [ec, n] = co_await asio::async_write(s, asio::buffer(bytes), asValues);
    co_return !ec;
}

void setSessionOptions(tcp::socket& s) {
    std::error_code ignored;
    s.set_option(tcp::no_delay(true), ignored);
    s.set_option(asio::socket_base::keep_alive(true), ignored);
    // Reads in the copying stage go until the socket would block.
    s.non_blocking(true, ignored);
}

void reportUpstream(SessionHost& host, UpstreamCheck result) {
    if (!host.outcome || host.stopping.load()) return;
    try {
        host.outcome(result);
    } catch (...) {
    }
}

namespace {

// Reads until rest starts with a whole two-byte reply, then takes it off.
asio::awaitable<bool> readTwoByteReply(tcp::socket& s, std::string& rest, std::uint8_t& second) {
    while (parseTwoByteReply(rest, second) == ParseStatus::NeedMore)
        if (const bool ok = co_await readMore(s, rest); !ok) co_return false;
    rest.erase(0, 2);
    co_return true;
}

} // namespace

asio::awaitable<bool> readSocks5Reply(tcp::socket& s, std::string& rest, std::size_t& length,
                                      std::uint8_t& reply) {
    for (;;) {
        const ParseStatus status = parseSocks5Reply(rest, length, reply);
        if (status == ParseStatus::Complete) co_return true;
        if (status == ParseStatus::Malformed) co_return false;
        if (const bool ok = co_await readMore(s, rest); !ok) co_return false;
    }
}

asio::awaitable<UpstreamCheck> negotiateUpstream(tcp::socket& upstream,
                                                 const UpstreamEndpoint& endpoint,
                                                 std::string& rest, Pipelined* pipelined) {
    // Credentials RFC 1929 cannot carry end here, never as a malformed message.
    std::string login;
    const bool fits = buildUserPasswordRequest(endpoint.userName, endpoint.password, login);
    if (pipelined && !fits) co_return UpstreamCheck::Refused;
    std::string first(upstreamMethodOffer);
    if (pipelined) first += login + std::string(pipelined->then);
    if (const bool ok = co_await writeAll(upstream, first); !ok)
        co_return UpstreamCheck::Unreachable;
    std::uint8_t method = 0;
    const bool chose = co_await readTwoByteReply(upstream, rest, method);
    // Sent in one write, the login is only right when the server asks for it.
    if (pipelined && (!chose || method != methodUserPassword)) pipelined->mismatch = true;
    if (!chose || (pipelined && pipelined->mismatch)) co_return UpstreamCheck::Unreachable;
    if (method == methodNone) co_return UpstreamCheck::Ok;
    if (method != methodUserPassword) co_return UpstreamCheck::NoAcceptableMethod;
    if (!fits) co_return UpstreamCheck::Refused;
    const std::string_view second = pipelined ? std::string_view() : std::string_view(login);
    if (const bool ok = co_await writeAll(upstream, second); !ok)
        co_return UpstreamCheck::Unreachable;
    std::uint8_t status = 0xff;
    const bool answered = co_await readTwoByteReply(upstream, rest, status);
    if (pipelined && !answered) pipelined->mismatch = true;
    if (!answered) co_return UpstreamCheck::Unreachable;
    co_return status == 0x00 ? UpstreamCheck::Ok : UpstreamCheck::Refused;
}

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(SessionHost& host, tcp::socket client)
        : host(host), client(std::move(client)), upstream(this->client.get_executor()),
          watchdog(this->client.get_executor()), wake(this->client.get_executor()),
          resume(this->client.get_executor()) {
        host.sessions.insert(this);
        host.open.fetch_add(1);
    }
    ~Session() {
        host.sessions.erase(this);
        host.open.fetch_sub(1);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void begin() {
        setSessionOptions(client);
        wake.expires_at(Clock::time_point::max());
        resume.expires_at(Clock::time_point::max());
        limit = Clock::now() + host.options.handshakeDeadline;
        watchdog.expires_at(limit);
        spawn(&Session::watch);
        spawn(&Session::pumpUp);
        spawn(&Session::handshake);
    }

    // A tunnel silent since before a sleep may be dead without a word; a
    // client at rest between requests simply opens a new connection.
    void closeIfQuiet(Clock::time_point since) {
        if (atRest || (upstreamHeard != Clock::time_point{} && upstreamHeard < since)) close();
    }

    // Both sockets closed; every wait of this session ends with an error, so
    // its coroutines return and the last one frees it.
    void close() {
        if (stage == Stage::Closed) return;
        stage = Stage::Closed;
        std::error_code ignored;
        client.close(ignored);
        upstream.close(ignored);
        watchdog.cancel();
        wake.cancel();
        resume.cancel();
    }

  private:
    enum class Stage { Handshake, Copy, Closed };
    enum class Front { Unknown, Socks5, Socks4, Http };

    // One direction of the copying stage. While `hold` is set (the
    // handshake), what `from` sends is kept in `held` instead of written.
    struct Flow {
        tcp::socket& from;
        tcp::socket& to;
        bool hold = false;
        std::string held;
        bool ended = false; // `from` ended and that end was passed on
    };

    // A copy buffer borrowed from the host for one burst.
    class Borrowed {
      public:
        explicit Borrowed(SessionHost& host) : host(host) {
            if (host.spareBuffers.empty()) {
                data = std::make_unique_for_overwrite<char[]>(relayBufferSize);
            } else {
                data = std::move(host.spareBuffers.back());
                host.spareBuffers.pop_back();
            }
        }
        ~Borrowed() {
            if (host.spareBuffers.size() < spareBufferLimit)
                host.spareBuffers.push_back(std::move(data));
        }
        Borrowed(const Borrowed&) = delete;
        Borrowed& operator=(const Borrowed&) = delete;
        char* get() const { return data.get(); }

      private:
        SessionHost& host;
        std::unique_ptr<char[]> data;
    };

    // Runs a member coroutine that keeps this session alive until it returns;
    // an exception (out of memory) ends the session, never the engine.
    void spawn(asio::awaitable<void> (Session::*body)()) {
        auto self = shared_from_this();
        asio::co_spawn(
            client.get_executor(), [self, body] { return ((*self).*body)(); },
            [self](std::exception_ptr failure) {
                if (failure) self->close();
            });
    }

    // The one deadline of the session: the handshake's, then none while both
    // directions are open, then the FIN-wait. `limit` may move later without
    // touching the timer; the timer only has to fire no later than it.
    asio::awaitable<void> watch() {
        for (;;) {
            co_await watchdog.async_wait(asValues);
            if (stage == Stage::Closed) co_return;
            if (Clock::now() < limit) {
                watchdog.expires_at(limit);
                continue;
            }
            // A dial cut short by the deadline is the upstream's silence.
            if (dialing) report(UpstreamCheck::TimedOut);
            if (stage == Stage::Handshake && !answered) {
                // A few bytes into a socket that has taken nothing else yet:
                // they fit without waiting.
                std::error_code ignored;
                if (front == Front::Socks4)
                    client.write_some(asio::buffer(socks4Rejected), ignored);
                if (front == Front::Http)
                    client.write_some(asio::buffer(httpErrorResponse(504)), ignored);
            }
            close();
            co_return;
        }
    }

    void tighten(Clock::time_point next) {
        limit = next;
        watchdog.expires_at(next);
    }

    asio::awaitable<void> pumpUp() { co_await pump(up); }

    // Copies one direction: reads until the socket would block, writing each
    // chunk as it comes, and only then waits for it to become readable again.
    asio::awaitable<void> pump(Flow& f) {
        for (;;) {
            if (f.hold && f.held.size() >= holdLimit) {
                co_await resume.async_wait(asValues);
                if (stage == Stage::Closed) co_return;
                continue;
            }
            std::error_code ec = co_await forwardBurst(f);
            if (stage == Stage::Closed) co_return;
            if (!ec) continue; // the hold filled up
            if (ec == asio::error::would_block) {
                auto [waitError] = co_await f.from.async_wait(tcp::socket::wait_read, asValues);
                if (waitError) {
                    close();
                    co_return;
                }
                continue;
            }
            if (ec == asio::error::eof) {
                ended(f);
            } else {
                close();
            }
            co_return;
        }
    }

    // One burst of reads on a borrowed buffer. Returns what stopped it.
    asio::awaitable<std::error_code> forwardBurst(Flow& f) {
        Borrowed buffer(host);
        for (;;) {
            if (host.stopping.load(std::memory_order_relaxed))
                co_return asio::error::operation_aborted;
            const std::size_t room = f.hold ? holdLimit - f.held.size() : relayBufferSize;
            if (room == 0) co_return std::error_code();
            std::error_code ec;
            const std::size_t n = f.from.read_some(asio::buffer(buffer.get(), room), ec);
            if (ec) co_return ec;
            if (&f.from == &upstream) upstreamHeard = Clock::now();
            if (f.hold) {
                f.held.append(buffer.get(), n);
                wake.cancel();
                continue;
            }
            if (finWaiting) limit = Clock::now() + host.options.finWait;
            auto [writeError, written] =
                co_await asio::async_write(f.to, asio::buffer(buffer.get(), n), asValues);
            if (writeError) co_return writeError;
            if (stage == Stage::Closed) co_return asio::error::operation_aborted;
        }
    }

    // An orderly end of f.from: passed on as a shutdown of the other side's
    // sending direction. A client that leaves before its answer ends the
    // session at once.
    void ended(Flow& f) {
        if (stage != Stage::Copy || f.hold) {
            // An answered client may end before its held bytes have gone on
            // (its end can overtake our last handshake step): passed on then.
            if (&f == &up && answered) {
                clientEnded = true;
                wake.cancel();
                return;
            }
            close();
            return;
        }
        std::error_code ignored;
        f.to.shutdown(tcp::socket::shutdown_send, ignored);
        f.ended = true;
        if (up.ended && down.ended) {
            close();
            return;
        }
        finWaiting = true;
        tighten(Clock::now() + host.options.finWait);
    }

    // Waits until the client has sent more than it had; false when it ended,
    // the session closed, or a handshake message grew past `most` bytes.
    asio::awaitable<bool> moreFromClient(std::size_t most = handshakeLimit) {
        const std::size_t had = up.held.size();
        if (had >= most) co_return false;
        while (up.held.size() == had && stage != Stage::Closed && !clientEnded)
            co_await wake.async_wait(asValues);
        co_return up.held.size() > had&& stage != Stage::Closed;
    }

    // Writes what the client sent during the handshake upstream, then lets
    // the client's bytes flow straight through. Runs beside the copy towards
    // the client: a destination that writes before it reads would otherwise
    // wait on us while we wait on it.
    asio::awaitable<void> releaseClient() {
        while (!up.held.empty()) {
            const std::string out = std::move(up.held);
            up.held.clear();
            resume.cancel();
            const bool ok = co_await writeAll(upstream, out);
            if (!ok) close();
            if (!ok || stage == Stage::Closed) co_return;
        }
        up.hold = false;
        resume.cancel();
        if (clientEnded) ended(up);
    }

    // The upstream's address: a dotted IPv4 text as it is, a name through the
    // engine's lookup, whose result comes back here by a post.
    asio::awaitable<std::string> upstreamAddress() {
        const std::string& name = endpoint->host;
        std::error_code ec;
        asio::ip::make_address_v4(name, ec);
        if (!ec) co_return name;
        if (host.resolvedFor == endpoint) co_return host.resolvedAddress;
        std::weak_ptr<Session> weak = weak_from_this();
        auto executor = client.get_executor();
        lookupDone = false;
        const bool asked = host.lookup(name, [weak, executor](std::string address) {
            asio::post(executor, [weak, address = std::move(address)]() mutable {
                if (auto self = weak.lock()) {
                    self->resolved = std::move(address);
                    self->lookupDone = true;
                    self->wake.cancel();
                }
            });
        });
        if (!asked) co_return std::string();
        while (!lookupDone && stage != Stage::Closed)
            co_await wake.async_wait(asValues);
        if (!resolved.empty()) {
            host.resolvedFor = endpoint;
            host.resolvedAddress = resolved;
        }
        co_return resolved;
    }

    // The owner hears how the dial ended, unless the session was closed
    // meanwhile (the client left, or a stop): that says nothing of the upstream.
    void report(UpstreamCheck result) {
        dialing = false;
        reportUpstream(host, result);
    }

    // Connect and negotiate with `endpoint`; true when requests may follow.
    // A pipelined exchange that misheard is not reported: it is tried again.
    asio::awaitable<bool> dialUpstream(Pipelined* pipelined = nullptr) {
        dialing = true;
        const std::string address = co_await upstreamAddress();
        if (stage == Stage::Closed) co_return false;
        std::error_code ec;
        const auto ip = asio::ip::make_address_v4(address, ec);
        if (ec) {
            report(UpstreamCheck::Unresolved);
            co_return false;
        }
        upstream.open(tcp::v4(), ec);
        if (ec) { // out of sockets here: no news of the upstream
            dialing = false;
            co_return false;
        }
        setSessionOptions(upstream);
        const auto port = static_cast<std::uint16_t>(endpoint->port & 0xffff);
        auto [connectError] = co_await upstream.async_connect(tcp::endpoint(ip, port), asValues);
        if (stage == Stage::Closed) co_return false;
        if (connectError) {
            report(UpstreamCheck::Unreachable);
            co_return false;
        }
        const UpstreamCheck result =
            co_await negotiateUpstream(upstream, *endpoint, fromUpstream, pipelined);
        if (stage == Stage::Closed) co_return false;
        if (pipelined && pipelined->mismatch) {
            dialing = false;
            co_return false;
        }
        report(result);
        co_return result == UpstreamCheck::Ok;
    }

    enum class Attempt { Done, Failed, Retry };

    // The request on a connection logged in ahead. One the upstream closed
    // before answering is tried again afresh.
    asio::awaitable<Attempt> warmTunnel(std::string_view request, std::size_t& length) {
        const bool sent = co_await writeAll(upstream, request);
        if (!sent && stage != Stage::Closed) co_return Attempt::Retry;
        std::uint8_t reply = 0;
        const bool read = co_await readSocks5Reply(upstream, fromUpstream, length, reply);
        if (stage == Stage::Closed) co_return Attempt::Failed;
        if (read) co_return Attempt::Done;
        co_return fromUpstream.empty() ? Attempt::Retry : Attempt::Failed;
    }

    asio::awaitable<Attempt> coldTunnel(std::string_view request, bool oneWrite,
                                        std::size_t& length) {
        Pipelined pipelined{request};
        const bool dialled = co_await dialUpstream(oneWrite ? &pipelined : nullptr);
        if (host.pool && stage != Stage::Closed) host.pool->coldDialAnswered();
        if (pipelined.mismatch && host.pool) host.pool->pipeliningFailed(endpoint);
        if (pipelined.mismatch) co_return Attempt::Retry;
        if (!dialled) co_return Attempt::Failed;
        if (const bool ok = co_await writeAll(upstream, oneWrite ? "" : request); !ok)
            co_return Attempt::Failed;
        std::uint8_t reply = 0;
        const bool read = co_await readSocks5Reply(upstream, fromUpstream, length, reply);
        co_return read ? Attempt::Done : Attempt::Failed;
    }

    // Sends the request (RFC 1928 section 4) to the endpoint current now and
    // reads its whole reply (section 6), whatever its REP: on a connection
    // logged in ahead when one is ready, else on a new one, in one write
    // where the endpoint takes that. A warm connection found dead or a
    // pipelined exchange that misheard is tried once more afresh, step by
    // step, before the client has heard anything; the request goes whole on
    // each connection, and the client's later bytes are still held.
    asio::awaitable<bool> openTunnel(std::string_view request, std::string& reply) {
        endpoint = host.upstream.load();
        if (!endpoint) co_return false;
        std::optional<tcp::socket> warm;
        if (host.pool) host.pool->noteRequest();
        if (host.pool) warm = host.pool->take(endpoint);
        if (warm) upstream = std::move(*warm);
        const bool oneWrite = !warm && host.pool && host.pool->pipelines(endpoint);
        std::size_t length = 0;
        // Made first and awaited apart: GCC 12 builds a co_await in a branch wrongly.
        asio::awaitable<Attempt> first =
            warm ? warmTunnel(request, length) : coldTunnel(request, oneWrite, length);
        Attempt attempt = co_await std::move(first);
        if (attempt == Attempt::Retry && stage != Stage::Closed) {
            std::error_code ignored;
            upstream.close(ignored);
            upstream = tcp::socket(client.get_executor());
            fromUpstream.clear();
            attempt = co_await coldTunnel(request, false, length);
        }
        if (attempt != Attempt::Done) co_return false;
        reply = fromUpstream.substr(0, length);
        fromUpstream.erase(0, length);
        upstreamHeard = Clock::now();
        co_return true;
    }

    // The client's first byte picks the front; nothing else answers it.
    asio::awaitable<void> handshake() {
        bool spoke = !up.held.empty();
        if (!spoke) spoke = co_await moreFromClient();
        const auto first = spoke ? static_cast<std::uint8_t>(up.held[0]) : 0;
        if (first == 0x05) {
            front = Front::Socks5;
            co_await socks5();
        } else if (first == 0x04) {
            front = Front::Socks4;
            co_await socks4();
        } else if ((first | 0x20) >= 'a' && (first | 0x20) <= 'z') {
            front = Front::Http;
            co_await http();
        }
        if (stage == Stage::Handshake) close();
        // The handshake's coroutine goes on as the upstream-to-client copy.
        if (stage == Stage::Copy) co_await pump(down);
    }

    // Any greeting is answered "no authentication"; the request goes upstream
    // unchanged, and the upstream's reply, whatever it says, reaches the client
    // unchanged. What the client sent after its request waits for that reply:
    // some servers read one message per read and drop what came with it.
    asio::awaitable<void> socks5() {
        std::size_t greeting = 0;
        for (;;) {
            const ParseStatus status = parseSocks5Greeting(up.held, greeting);
            if (status == ParseStatus::Complete) break;
            if (status == ParseStatus::Malformed) co_return;
            if (const bool ok = co_await moreFromClient(); !ok) co_return;
        }
        // Answered before the upstream is dialled: the request can then go
        // with the login where the endpoint takes that.
        up.held.erase(0, greeting);
        if (const bool ok = co_await writeAll(client, clientMethodReply); !ok) co_return;
        std::size_t length = 0;
        for (;;) {
            const ParseStatus status = parseSocks5Request(up.held, length);
            if (status == ParseStatus::Complete) break;
            // Not a request we can measure: it goes as it is, and the
            // upstream's answer decides.
            if (status == ParseStatus::Malformed) {
                length = up.held.size();
                break;
            }
            if (const bool ok = co_await moreFromClient(); !ok) co_return;
        }
        const std::string request = up.held.substr(0, length);
        up.held.erase(0, length);
        resume.cancel();
        // The reply is parsed only to know where the handshake ends.
        std::string answer;
        if (const bool ok = co_await openTunnel(request, answer); !ok) co_return;
        co_await proceed(answer);
    }

    // SOCKS4/4a becomes a SOCKS5 CONNECT; a refusal is answered with the
    // SOCKS4 rejection before the close.
    asio::awaitable<void> socks4() {
        Socks4Request request;
        for (;;) {
            const ParseStatus status = parseSocks4Request(up.held, request);
            if (status == ParseStatus::Complete) break;
            if (status == ParseStatus::Malformed) co_return;
            if (const bool ok = co_await moreFromClient(); !ok) co_return;
        }
        up.held.erase(0, request.length);
        // Not CONNECT, an upstream that cannot be reached or lets us not in,
        // and a refused CONNECT all get the rejection.
        bool granted = request.command == 0x01;
        if (granted) granted = co_await connectUpstream(buildSocks5Connect(request));
        if (granted) {
            co_await proceed(socks4Granted);
        } else if (stage != Stage::Closed) {
            answered = true;
            co_await writeAll(client, socks4Rejected);
        }
    }

    // An HTTP proxy request (a method's first letter came): CONNECT opens a
    // tunnel; absolute-URI requests go on in origin form one after another on
    // the client's connection, each through the tunnel of the one before
    // when it names the same origin, each response relayed as far as its
    // framing says. Every failure before a response is a short response, then
    // the end.
    asio::awaitable<void> http() {
        for (;;) {
            HttpProxyRequest request;
            if (const bool ok = co_await nextHttpRequest(request); !ok) co_return;
            atRest = false;
            up.held.erase(0, request.headLength);
            resume.cancel();
            answered = false;
            bool reuse = !request.tunnel && request.port == tunnelPort && sameHost(request.host) &&
                         tunnelReusable();
            Exchange next = Exchange::Again;
            while (next == Exchange::Again) {
                if (const bool ok = co_await httpTunnel(request, reuse); !ok) co_return;
                if (request.tunnel) {
                    co_await proceed(httpTunnelEstablished);
                    co_return;
                }
                next = co_await httpExchange(request, reuse);
                reuse = false;
            }
            if (next == Exchange::End) co_return;
            // Idle between requests: the next head and its dial get what the
            // first had, the handshake's deadline; no response is owed, so
            // it passes with a plain close, which clients expect of an idle
            // connection and answer by retrying on a new one.
            answered = true;
            atRest = true;
            tighten(Clock::now() + host.options.handshakeDeadline);
        }
    }

    // The tunnel for request: the open one when reuse, else a new one; false
    // when the session ends here.
    asio::awaitable<bool> httpTunnel(const HttpProxyRequest& request, bool reuse) {
        if (reuse) co_return true;
        dropTunnel();
        const std::string connect = buildSocks5ConnectTo(request.host, request.port);
        if (connect.empty()) {
            co_await refuseHttp(400);
            co_return false;
        }
        if (const bool granted = co_await connectUpstream(connect); !granted) {
            if (stage != Stage::Closed) co_await refuseHttp(502);
            co_return false;
        }
        tunnelHost = request.host;
        tunnelPort = request.port;
        co_return true;
    }

    // Reads the next request head from the client's bytes; false when the
    // session ends here.
    asio::awaitable<bool> nextHttpRequest(HttpProxyRequest& request) {
        std::size_t seen = 0; // bytes already looked through for a line's end
        for (;;) {
            // RFC 9112 section 2.2: empty lines before a request are ignored.
            while (up.held.starts_with("\r\n")) {
                up.held.erase(0, 2);
                seen = 0;
            }
            // The head can change only where a line ends: parsing it from the
            // start for every byte of a slow client would cost n² work.
            if (up.held.find('\n', seen) != std::string::npos || up.held.size() >= httpHeadLimit) {
                const HttpHead head = parseHttpProxyRequest(up.held, request);
                if (head == HttpHead::Complete) co_return true;
                if (head != HttpHead::NeedMore) {
                    co_await refuseHttp(head == HttpHead::TooLarge ? 431 : 400);
                    co_return false;
                }
            }
            seen = up.held.size();
            if (const bool ok = co_await moreFromClient(holdLimit); !ok) co_return false;
        }
    }

    bool sameHost(std::string_view name) const {
        return upstream.is_open() && equalsNoCase(name, tunnelHost);
    }

    // An open tunnel at rest: the origin has neither closed it nor sent
    // anything unasked since its last response.
    bool tunnelReusable() {
        if (!upstream.is_open() || !fromUpstream.empty()) return false;
        std::error_code ec;
        upstream.non_blocking(true, ec);
        char byte;
        upstream.read_some(asio::buffer(&byte, 1), ec);
        return ec == asio::error::would_block;
    }

    void dropTunnel() {
        std::error_code ignored;
        upstream.close(ignored);
        fromUpstream.clear();
        tunnelPort = 0;
        upstreamHeard = {};
    }

    enum class Exchange { End, Keep, Again };

    // One request and its response: Keep when the client's connection stays
    // for the next, Again when it must go once more on a new tunnel. The exchange waits without a
    // deadline while both sides are open, as the copying stage does (a response may be long in
    // coming).
    asio::awaitable<Exchange> httpExchange(const HttpProxyRequest& request, bool reused) {
        limit = Clock::time_point::max();
        // A client that has ended (after pipelining this request) gets the FIN-wait.
        if (clientEnded) tighten(Clock::now() + host.options.finWait);
        // A request that costs nothing to repeat (RFC 9110 section 9.2.2, no
        // body) goes again on a new tunnel when a reused one turns out closed.
        const bool repeatable =
            reused && request.idempotent && request.framing.body == BodyKind::None;
        if (const bool ok = co_await writeAll(upstream, request.forward); !ok)
            co_return repeatable ? Exchange::Again : Exchange::End;
        // The body, bounded by the client's hold, streamed as it comes.
        BodyFramer body(request.framing);
        while (!body.done()) {
            if (up.held.empty()) {
                if (const bool ok = co_await moreFromClient(holdLimit); !ok)
                    co_return Exchange::End;
            }
            const std::size_t n = body.feed(up.held);
            if (body.failed()) {
                dropTunnel();
                co_await refuseHttp(400);
                co_return Exchange::End;
            }
            const std::string part = up.held.substr(0, n);
            up.held.erase(0, n);
            resume.cancel();
            if (const bool ok = co_await writeAll(upstream, part); !ok) co_return Exchange::End;
        }
        // Interim responses go on to the client until the final one.
        HttpResponseHead response;
        for (;;) {
            const HttpHead head = co_await httpResponseHead(request.toHead, response);
            if (stage == Stage::Closed) co_return Exchange::End;
            // A reused tunnel that ends without a byte was closed by the
            // origin as we sent. Unless we can repeat the request, the client
            // sees its kept connection close unanswered, as from an origin,
            // and sends the request again itself.
            const bool stale =
                head == HttpHead::NeedMore && reused && !answered && fromUpstream.empty();
            if (head != HttpHead::Complete) {
                dropTunnel();
                if (stale && repeatable) co_return Exchange::Again;
                if (!answered && !stale) co_await refuseHttp(502);
                co_return Exchange::End;
            }
            answered = true;
            if (response.status >= 200 || response.status == 101) break;
            const std::string interim = fromUpstream.substr(0, response.headLength);
            fromUpstream.erase(0, response.headLength);
            if (const bool ok = co_await writeAll(client, interim); !ok) co_return Exchange::End;
        }
        std::string out = fromUpstream.substr(0, response.headLength);
        fromUpstream.erase(0, response.headLength);
        if (response.framing.body == BodyKind::Tunnel) { // 101: another protocol follows
            co_await proceed(out);
            co_return Exchange::End;
        }
        BodyFramer framer(response.framing);
        const std::size_t n = framer.feed(fromUpstream);
        out.append(fromUpstream, 0, n);
        fromUpstream.erase(0, n);
        if (const bool ok = co_await writeAll(client, out); !ok) co_return Exchange::End;
        const bool untilClose = response.framing.body == BodyKind::UntilClose;
        bool complete = framer.done();
        if (!complete && !framer.failed())
            complete = co_await relayResponseBody(framer, untilClose);
        if (!complete) co_return Exchange::End;
        if (!request.framing.close && !response.framing.close) co_return Exchange::Keep;
        // Either side ends here: the origin's end (or ours) passes on to the client.
        dropTunnel();
        co_await lingerHttp();
        co_return Exchange::End;
    }

    // Reads the response head into fromUpstream: Complete, Malformed or
    // TooLarge as parsed, NeedMore when the upstream ended (or failed) first.
    asio::awaitable<HttpHead> httpResponseHead(bool toHead, HttpResponseHead& response) {
        std::size_t seen = 0;
        for (;;) {
            if (fromUpstream.find("\r\n\r\n", seen) != std::string::npos ||
                fromUpstream.size() >= httpResponseHeadLimit) {
                const HttpHead head = parseHttpResponseHead(fromUpstream, toHead, response);
                if (head != HttpHead::NeedMore) co_return head;
            }
            seen = fromUpstream.size() < 3 ? 0 : fromUpstream.size() - 3;
            const std::size_t had = fromUpstream.size();
            fromUpstream.resize(std::min(had + 16384, httpResponseHeadLimit));
            auto [ec, n] = co_await upstream.async_read_some(
                asio::buffer(fromUpstream.data() + had, fromUpstream.size() - had), asValues);
            fromUpstream.resize(had + n);
            if (n > 0) upstreamHeard = Clock::now();
            if (ec) co_return HttpHead::NeedMore;
        }
    }

    // The rest of a response body, from the upstream to the client through a
    // borrowed buffer only while bytes move; true when the body ended (for a
    // close-delimited one, with the upstream). Bytes past its end stay in
    // fromUpstream.
    asio::awaitable<bool> relayResponseBody(BodyFramer& body, bool untilClose) {
        for (;;) {
            std::error_code ec;
            {
                Borrowed buffer(host);
                while (!ec) {
                    if (host.stopping.load(std::memory_order_relaxed)) co_return false;
                    const std::size_t got =
                        upstream.read_some(asio::buffer(buffer.get(), relayBufferSize), ec);
                    if (ec) break;
                    upstreamHeard = Clock::now();
                    const std::size_t take = body.feed(std::string_view(buffer.get(), got));
                    fromUpstream.assign(buffer.get() + take, got - take);
                    auto [writeError, written] = co_await asio::async_write(
                        client, asio::buffer(buffer.get(), take), asValues);
                    if (writeError || stage == Stage::Closed) co_return false;
                    if (body.done() || body.failed()) co_return body.done();
                    // A client that has ended gets the FIN-wait, as in the copying stage.
                    if (clientEnded) tighten(Clock::now() + host.options.finWait);
                }
            }
            if (ec == asio::error::eof) co_return untilClose;
            if (ec != asio::error::would_block) co_return false;
            auto [waitError] = co_await upstream.async_wait(tcp::socket::wait_read, asValues);
            if (waitError || stage == Stage::Closed) co_return false;
        }
    }

    // A SOCKS5 CONNECT through a new tunnel; true when it succeeded. What
    // came after the reply stays in fromUpstream.
    asio::awaitable<bool> connectUpstream(std::string request) {
        std::string reply;
        const bool read = co_await openTunnel(request, reply);
        co_return read&& reply[1] == 0x00;
    }

    // The client's answer and what the upstream sent after its reply; then
    // the copying stage begins, and what the client sent meanwhile goes
    // upstream ahead of the rest.
    asio::awaitable<void> proceed(std::string_view answer) {
        answered = true;
        bool ok = co_await writeAll(client, answer);
        if (ok) ok = co_await writeAll(client, fromUpstream);
        fromUpstream.clear();
        if (!ok) co_return;
        stage = Stage::Copy;
        limit = Clock::time_point::max();
        spawn(&Session::releaseClient);
    }

    // The response, then the end (below).
    asio::awaitable<void> refuseHttp(int status) {
        answered = true;
        if (const bool ok = co_await writeAll(client, httpErrorResponse(status)); !ok) co_return;
        co_await lingerHttp();
    }

    // The end of our sending side; the client's further bytes are read and
    // dropped until it closes (or the deadline passes), so that a close with
    // unread bytes does not reset the response away.
    asio::awaitable<void> lingerHttp() {
        std::error_code ignored;
        client.shutdown(tcp::socket::shutdown_send, ignored);
        tighten(std::min(limit, Clock::now() + host.options.finWait));
        for (;;) {
            up.held.clear();
            resume.cancel();
            if (const bool ok = co_await moreFromClient(holdLimit); !ok) co_return;
        }
    }

    SessionHost& host;
    tcp::socket client;
    tcp::socket upstream;
    asio::steady_timer watchdog;
    asio::steady_timer wake;   // the handshake waits here for client bytes or a lookup
    asio::steady_timer resume; // the client pump waits here while its hold is full
    Clock::time_point limit;
    Stage stage = Stage::Handshake;
    Front front = Front::Unknown;
    bool finWaiting = false;
    bool answered = false;    // the client has (or is getting) its last handshake answer
    bool clientEnded = false; // and has ended since, before the copying stage
    bool lookupDone = false;
    bool dialing = false;                             // between the dial's start and its report
    std::shared_ptr<const UpstreamEndpoint> endpoint; // the one this session dials
    std::string resolved;
    std::string fromUpstream; // handshake replies, and what came after the last
    std::string tunnelHost;   // the HTTP front's origin of the open tunnel
    std::uint16_t tunnelPort = 0;
    Flow up{client, upstream, true, {}, false};
    Flow down{upstream, client, false, {}, false};
    bool atRest = false; // an HTTP client between a response and its next request
    // When the open tunnel last heard from the upstream; zero: no tunnel.
    Clock::time_point upstreamHeard{};
};

void startSession(SessionHost& host, tcp::socket client) {
    std::make_shared<Session>(host, std::move(client))->begin();
}

void closeSessions(SessionHost& host) {
    for (Session* s : std::vector<Session*>(host.sessions.begin(), host.sessions.end()))
        s->close();
}

void closeQuietSessions(SessionHost& host, Clock::time_point since) {
    for (Session* s : std::vector<Session*>(host.sessions.begin(), host.sessions.end()))
        s->closeIfQuiet(since);
}
