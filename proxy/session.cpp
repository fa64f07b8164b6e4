// One local client served through the upstream SOCKS5 server (RFC 1928,
// RFC 1929): its handshake, then the copying stage, under one set of
// deadlines. Everything here runs on the engine's thread.
#include "proxy/session.h"

#include "proxy/http_proxy.h"
#include "proxy/socks.h"
#include "proxy/warm_pool.h"

#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

// A co_await never stands in a condition or beside && or ||: GCC 12 builds
// such coroutines wrongly (frames destroyed twice, operands evaluated out of
// turn). Results are taken in a statement, or in an if's initializer.

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// Client bytes held while the handshake has not passed them on yet; past this
// the client is simply not read until it has.
constexpr std::size_t holdLimit = 64 * 1024;
// A flow's first look, doubled after each one its destination took whole, up
// to relayBufferSize; after a partial write, twice what was taken: a slow
// destination is not offered far more than it takes each time.
constexpr std::size_t firstReadSize = 16 * 1024;

} // namespace

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(const SessionContext& context, tcp::socket client)
        : ctx(context), client(std::move(client)), road(this->client.get_executor()),
          watchdog(this->client.get_executor()), wake(this->client.get_executor()),
          resume(this->client.get_executor()) {
        ctx.registry.sessions.insert(this);
        ctx.registry.open.fetch_add(1);
    }
    ~Session() {
        ctx.registry.sessions.erase(this);
        ctx.registry.open.fetch_sub(1);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void begin() {
        // The engine dialling itself: nothing of it is served.
        if (ctx.upstream.isOwnConnection(client)) {
            close();
            return;
        }
        setSessionOptions(client);
        wake.expires_at(Clock::time_point::max());
        resume.expires_at(Clock::time_point::max());
        limit = Clock::now() + ctx.options.handshakeDeadline;
        watchdog.expires_at(limit);
        spawn(&Session::watch);
        spawn(&Session::pumpUp);
        spawn(&Session::handshake);
    }

    // Both sockets closed; every wait of this session ends with an error, so
    // its coroutines return and the last one frees it.
    void close() {
        if (stage == Stage::Closed) return;
        stage = Stage::Closed;
        std::error_code ignored;
        client.close(ignored);
        road.close();
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
        bool ended = false;                   // `from` ended and that end was passed on
        std::size_t readSize = firstReadSize; // grows while `to` takes each read whole
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
            if (dialing) road.expire();
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

    // Copies one direction: moves bytes until the source would block or the
    // destination is full, and only then waits for whichever it was.
    asio::awaitable<void> pump(Flow& f) {
        for (;;) {
            if (f.hold && f.held.size() >= holdLimit) {
                co_await resume.async_wait(asValues);
                if (stage == Stage::Closed) co_return;
                continue;
            }
            const Burst burst = forwardBurst(f);
            if (stage == Stage::Closed) co_return;
            if (burst == Burst::HoldFull) continue;
            if (burst == Burst::SourceDry || burst == Burst::DestinationFull) {
                const bool dry = burst == Burst::SourceDry;
                auto [waitError] =
                    co_await (dry ? f.from : f.to)
                        .async_wait(dry ? tcp::socket::wait_read : tcp::socket::wait_write,
                                    asValues);
                if (waitError) {
                    close();
                    co_return;
                }
                continue;
            }
            if (burst == Burst::Ended) {
                ended(f);
            } else {
                close();
            }
            co_return;
        }
    }

    enum class Burst { SourceDry, DestinationFull, HoldFull, Ended, Failed };

    static Burst burstEnd(std::error_code ec) {
        if (ec == asio::error::would_block) return Burst::SourceDry;
        return ec == asio::error::eof ? Burst::Ended : Burst::Failed;
    }

    // One burst on a borrowed buffer. Past the handshake, bytes are looked at
    // in the source without being taken, written on at once, and only what
    // the destination took is taken: a destination that stops reading leaves
    // the rest in the source's socket, where TCP's flow control holds the
    // sender back, and the session holds nothing while it waits.
    Burst forwardBurst(Flow& f) {
        BufferPool::Borrowed buffer(ctx.buffers);
        for (;;) {
            if (ctx.registry.stopping.load(std::memory_order_relaxed)) return Burst::Failed;
            std::error_code ec;
            if (f.hold) {
                const std::size_t room = holdLimit - f.held.size();
                if (room == 0) return Burst::HoldFull;
                const std::size_t n = f.from.read_some(asio::buffer(buffer.get(), room), ec);
                if (ec) return burstEnd(ec);
                f.held.append(buffer.get(), n);
                wake.cancel();
                continue;
            }
            const std::size_t n = peekSome(f.from, buffer.get(), f.readSize, ec);
            if (ec) return burstEnd(ec);
            if (finWaiting) limit = Clock::now() + ctx.options.finWait;
            const std::size_t written = writeNow(f.to, buffer.get(), n, ec);
            if (!ec) takePeeked(f.from, buffer.get(), written, ec);
            if (ec) return Burst::Failed;
            if (written == n) {
                f.readSize = std::min(2 * f.readSize, relayBufferSize);
                continue;
            }
            f.readSize = std::clamp(2 * written, firstReadSize, relayBufferSize);
            return Burst::DestinationFull;
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
        tighten(Clock::now() + ctx.options.finWait);
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

    asio::awaitable<Attempt> coldTunnel(std::string_view request, std::size_t& length) {
        dialing = true;
        const UpstreamClient::Login login =
            co_await ctx.upstream.login(endpoint, road, limit, Dialer::Session, request);
        dialing = false;
        if (ctx.pool && stage != Stage::Closed) ctx.pool->coldDialAnswered();
        if (login.misheard && stage != Stage::Closed) co_return Attempt::Retry;
        if (login.result != UpstreamCheck::Ok || stage == Stage::Closed) co_return Attempt::Failed;
        fromUpstream = std::move(road.rest);
        const std::string_view rest = login.sentThen ? std::string_view() : request;
        if (const bool ok = co_await writeAll(upstream, rest); !ok) co_return Attempt::Failed;
        std::uint8_t reply = 0;
        const bool read = co_await readSocks5Reply(upstream, fromUpstream, length, reply);
        co_return read ? Attempt::Done : Attempt::Failed;
    }

    // A fresh connection in place of the last.
    void newRoad() {
        road.close();
        road.socket = tcp::socket(client.get_executor());
        road.closed = road.expired = false;
        road.rest.clear();
        fromUpstream.clear();
    }

    // Sends the request (RFC 1928 section 4) to the endpoint current now and
    // reads its whole reply (section 6), whatever its REP: on a connection
    // logged in ahead when one is ready, else on a new one, in one write
    // where the endpoint takes that. A warm connection found dead or a
    // pipelined exchange that misheard is tried once more afresh, step by
    // step, before the client has heard anything; the request goes whole on
    // each connection, and the client's later bytes are still held.
    asio::awaitable<bool> openTunnel(std::string_view request, std::string& reply) {
        endpoint = ctx.upstream.endpoint();
        if (!endpoint) co_return false;
        std::optional<WarmPool::Taken> warm;
        if (ctx.pool) ctx.pool->noteRequest();
        if (ctx.pool) warm = ctx.pool->take(endpoint);
        if (warm) {
            road.socket = std::move(warm->socket);
            road.mark = std::move(warm->mark);
        }
        std::size_t length = 0;
        // Made first and awaited apart: GCC 12 builds a co_await in a branch wrongly.
        asio::awaitable<Attempt> first =
            warm ? warmTunnel(request, length) : coldTunnel(request, length);
        Attempt attempt = co_await std::move(first);
        if (attempt == Attempt::Retry && stage != Stage::Closed) {
            newRoad();
            attempt = co_await coldTunnel(request, length);
        }
        if (attempt != Attempt::Done) co_return false;
        reply = fromUpstream.substr(0, length);
        fromUpstream.erase(0, length);
        co_return true;
    }

    // The client's first byte picks the front; nothing else answers it.
    asio::awaitable<void> handshake() {
        bool spoke = !up.held.empty();
        if (!spoke) spoke = co_await moreFromClient();
        // Checked again now that it has spoken: our upstream socket marks
        // its end before it writes, so a loop is known by its first byte.
        if (ctx.upstream.isOwnConnection(client)) {
            close();
            co_return;
        }
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
        const bool opened = co_await openTunnel(request, answer);
        if (opened) {
            co_await proceed(answer);
        } else if (stage != Stage::Closed) {
            // No reply from an upstream that let us in: ours says so.
            answered = true;
            co_await writeAll(client, socks5Failure);
        }
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
            tighten(Clock::now() + ctx.options.handshakeDeadline);
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
                    const int status = head == HttpHead::TooLarge      ? 431
                                       : head == HttpHead::Unsupported ? 505
                                                                       : 400;
                    co_await refuseHttp(status);
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
        newRoad();
        fromUpstream.clear();
        tunnelPort = 0;
    }

    enum class Exchange { End, Keep, Again };
    enum class Upload { Done, Stopped, Malformed }; // how a request body's upload ended
    // How an answer's relay ended: Whole (the connection may carry the next
    // exchange) or Closing (the origin ends it) once it is through; Failed
    // when the origin's bytes are no response we can pass on (502 is owed);
    // Lost when the client gets no more of it; Again when a reused tunnel
    // turned out closed and the request may go once more.
    enum class Answer { Whole, Closing, Failed, Lost, Again };

    // The answer's end ends the upload (an early answer: the rest of the body
    // is not wanted, and the tunnel goes with it); the upload's end leaves the
    // answer running, unless the body broke its own framing.
    struct AnswerEndsUpload {
        asio::cancellation_type_t operator()(const std::exception_ptr&, Answer) const {
            return asio::cancellation_type::terminal;
        }
        asio::cancellation_type_t operator()(const std::exception_ptr& e, Upload u) const {
            const bool broken = e || u == Upload::Malformed;
            return broken ? asio::cancellation_type::terminal : asio::cancellation_type::none;
        }
    };

    // One request and its response: Keep when the client's connection stays
    // for the next, Again when it must go once more on a new tunnel. The body
    // goes up while the answer comes down (RFC 9110 section 10.1.1: an origin
    // may answer 100 Continue before the body, or a final status before it is
    // whole). A body that stops moving gets the handshake's deadline; a whole
    // request waits without one, as the copying stage does (a response may be
    // long in coming).
    asio::awaitable<Exchange> httpExchange(const HttpProxyRequest& request, bool reused) {
        bodyDeadline = request.framing.body != BodyKind::None;
        tighten(bodyDeadline ? Clock::now() + ctx.options.handshakeDeadline
                             : Clock::time_point::max());
        // A client that has ended (after pipelining this request) gets the FIN-wait.
        if (clientEnded) tighten(std::min(limit, Clock::now() + ctx.options.finWait));
        // A request that costs nothing to repeat (RFC 9110 section 9.2.2, no
        // body) goes again on a new tunnel when a reused one turns out closed.
        const bool repeatable =
            reused && request.idempotent && request.framing.body == BodyKind::None;
        if (const bool ok = co_await writeAll(upstream, request.forward); !ok)
            co_return repeatable ? Exchange::Again : Exchange::End;
        const auto executor = client.get_executor();
        auto [order, uploadFailure, upload, answerFailure, answer] =
            co_await asio::experimental::make_parallel_group(
                asio::co_spawn(executor, sendBody(request.framing), asio::experimental::deferred),
                asio::co_spawn(executor, relayAnswer(request, reused, repeatable),
                               asio::experimental::deferred))
                .async_wait(AnswerEndsUpload(), asio::use_awaitable);
        if (uploadFailure) upload = Upload::Stopped; // ended by the answer, or out of memory
        if (answerFailure) answer = Answer::Lost;
        if (answer == Answer::Whole && upload == Upload::Done && !request.framing.close)
            co_return Exchange::Keep;
        const bool whole = answer == Answer::Whole || answer == Answer::Closing;
        dropTunnel();
        if (upload == Upload::Malformed) {
            if (!answered) co_await refuseHttp(400);
            co_return Exchange::End;
        }
        if (answer == Answer::Again) co_return Exchange::Again;
        if (answer == Answer::Failed) co_await refuseHttp(502);
        // After a whole answer, the origin's end (or ours, or the rest of a
        // body nobody wants) passes on to the client.
        if (whole) co_await lingerHttp();
        co_return Exchange::End;
    }

    // The request body, from the client's hold to the origin as it comes.
    asio::awaitable<Upload> sendBody(const HttpFraming& framing) {
        BodyFramer body(framing);
        while (!body.done()) {
            if (up.held.empty()) {
                if (const bool ok = co_await moreFromClient(holdLimit); !ok)
                    co_return Upload::Stopped;
            }
            const std::size_t n = body.feed(up.held);
            if (body.failed()) co_return Upload::Malformed;
            const std::string part = up.held.substr(0, n);
            up.held.erase(0, n);
            resume.cancel();
            if (const bool ok = co_await writeAll(upstream, part); !ok) co_return Upload::Stopped;
            // The body moved: its deadline moves with it.
            if (bodyDeadline) limit = Clock::now() + ctx.options.handshakeDeadline;
        }
        if (bodyDeadline) limit = Clock::time_point::max();
        bodyDeadline = false;
        co_return Upload::Done;
    }

    // The origin's answer: interim responses as they come, then the final one
    // as far as its framing says.
    asio::awaitable<Answer> relayAnswer(const HttpProxyRequest& request, bool reused,
                                        bool repeatable) {
        HttpResponseHead response;
        bool heard = false;
        for (;;) {
            const HttpHead head = co_await httpResponseHead(request.toHead, response);
            if (stage == Stage::Closed) co_return Answer::Lost;
            if (head != HttpHead::Complete) {
                // A reused tunnel that ends without a byte was closed by the
                // origin as we sent. Unless we can repeat the request, the
                // client sees its kept connection close unanswered, as from an
                // origin, and sends the request again itself.
                const bool stale =
                    head == HttpHead::NeedMore && reused && !heard && fromUpstream.empty();
                if (stale) co_return repeatable ? Answer::Again : Answer::Lost;
                co_return Answer::Failed;
            }
            heard = true;
            if (!response.interim()) break;
            const std::string interim = fromUpstream.substr(0, response.headLength);
            fromUpstream.erase(0, response.headLength);
            // RFC 9110 section 15.2: HTTP/1.0 defined no 1xx; its clients get none.
            if (request.http10) continue;
            answered = true;
            if (const bool ok = co_await writeAll(client, interim); !ok) co_return Answer::Lost;
        }
        // The final answer has begun: the body no longer has to hurry.
        answered = true;
        bodyDeadline = false;
        limit = Clock::time_point::max();
        if (clientEnded) tighten(Clock::now() + ctx.options.finWait);
        std::string out = fromUpstream.substr(0, response.headLength);
        fromUpstream.erase(0, response.headLength);
        BodyFramer framer(response.framing);
        const std::size_t n = framer.feed(fromUpstream);
        out.append(fromUpstream, 0, n);
        fromUpstream.erase(0, n);
        if (const bool ok = co_await writeAll(client, out); !ok) co_return Answer::Lost;
        const bool untilClose = response.framing.body == BodyKind::UntilClose;
        bool complete = framer.done();
        if (!complete && !framer.failed())
            complete = co_await relayResponseBody(framer, untilClose);
        if (!complete) co_return Answer::Lost;
        co_return response.framing.close ? Answer::Closing : Answer::Whole;
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
                BufferPool::Borrowed buffer(ctx.buffers);
                while (!ec) {
                    if (ctx.registry.stopping.load(std::memory_order_relaxed)) co_return false;
                    const std::size_t got =
                        upstream.read_some(asio::buffer(buffer.get(), relayBufferSize), ec);
                    if (ec) break;
                    const std::size_t take = body.feed(std::string_view(buffer.get(), got));
                    fromUpstream.assign(buffer.get() + take, got - take);
                    auto [writeError, written] = co_await asio::async_write(
                        client, asio::buffer(buffer.get(), take), asValues);
                    if (writeError || stage == Stage::Closed) co_return false;
                    if (body.done() || body.failed()) co_return body.done();
                    // A client that has ended gets the FIN-wait, as in the copying stage.
                    if (clientEnded) tighten(Clock::now() + ctx.options.finWait);
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
        tighten(std::min(limit, Clock::now() + ctx.options.finWait));
        for (;;) {
            up.held.clear();
            resume.cancel();
            if (const bool ok = co_await moreFromClient(holdLimit); !ok) co_return;
        }
    }

    const SessionContext ctx;
    tcp::socket client;
    UpstreamConnection road; // the upstream connection, with its mark
    tcp::socket& upstream = road.socket;
    asio::steady_timer watchdog;
    asio::steady_timer wake;   // the handshake waits here for client bytes or a lookup
    asio::steady_timer resume; // the client pump waits here while its hold is full
    Clock::time_point limit;
    Stage stage = Stage::Handshake;
    Front front = Front::Unknown;
    bool finWaiting = false;
    bool answered = false;     // the client has (or is getting) its last handshake answer
    bool clientEnded = false;  // and has ended since, before the copying stage
    bool bodyDeadline = false; // an HTTP request body is owed and must keep moving
    bool dialing = false;      // between the dial's start and its report
    std::shared_ptr<const UpstreamEndpoint> endpoint; // the one this session dials
    std::string fromUpstream; // handshake replies, and what came after the last
    std::string tunnelHost;   // the HTTP front's origin of the open tunnel
    std::uint16_t tunnelPort = 0;
    Flow up{client, upstream, true, {}, false, firstReadSize};
    Flow down{upstream, client, false, {}, false, firstReadSize};
};

void startSession(SessionContext& context, tcp::socket client) {
    std::make_shared<Session>(context, std::move(client))->begin();
}

void closeSessions(SessionRegistry& registry) {
    for (Session* s : std::vector<Session*>(registry.sessions.begin(), registry.sessions.end()))
        s->close();
}
