#include "proxy/http_front.h"

#include "proxy/http_proxy.h"

#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock;

// An exchange ends the client's connection, keeps it for the next request,
// or must go once more on a new tunnel.
enum class Exchange { End, Keep, Again };
enum class Upload { Done, Stopped, Malformed }; // how a request body's upload ended
// How an answer's relay ended: Whole (the connection may carry the next
// exchange) or Closing (the origin ends it) once it is through; Failed when
// the origin's bytes are no response we can pass on (502 is owed); Lost when
// the client gets no more of it; Again when a reused tunnel turned out closed
// and the request may go once more.
enum class Answer { Whole, Closing, Failed, Lost, Again };

// The answer's end ends the upload (an early answer: the rest of the body is
// not wanted, and the tunnel goes with it); the upload's end leaves the
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

class HttpFront {
  public:
    explicit HttpFront(Relay& relay) : r(relay) {}
    asio::awaitable<void> serve();

  private:
    asio::awaitable<bool> nextRequest(HttpProxyRequest& request);
    asio::awaitable<bool> tunnel(const HttpProxyRequest& request, bool reuse);
    bool tunnelReusable(const HttpProxyRequest& request);
    void dropTunnel();
    asio::awaitable<Exchange> exchange(const HttpProxyRequest& request, bool reused);
    asio::awaitable<Upload> sendBody(const HttpFraming& framing);
    asio::awaitable<Answer> relayAnswer(const HttpProxyRequest& request, bool reused,
                                        bool repeatable);
    asio::awaitable<HttpHead> responseHead(bool toHead, HttpResponseHead& response);
    asio::awaitable<void> refuse(int status);

    Relay& r;
    // The open tunnel's origin, and whether a request body is owed and must
    // keep moving.
    std::string tunnelHost;
    std::uint16_t tunnelPort = 0;
    bool bodyDeadline = false;
};

asio::awaitable<void> HttpFront::serve() {
    for (;;) {
        HttpProxyRequest request;
        if (const bool ok = co_await nextRequest(request); !ok) co_return;
        r.atRest(false);
        r.take(request.headLength);
        r.owe(true);
        bool reuse = !request.tunnel && tunnelReusable(request);
        Exchange next = Exchange::Again;
        while (next == Exchange::Again) {
            if (const bool ok = co_await tunnel(request, reuse); !ok) co_return;
            if (request.tunnel) {
                co_await r.proceed(httpTunnelEstablished);
                co_return;
            }
            next = co_await exchange(request, reuse);
            reuse = false;
        }
        if (next == Exchange::End) co_return;
        // Idle between requests: the next head and its dial get what the
        // first had, the handshake's deadline; no response is owed, so it
        // passes with a plain close, which clients expect of an idle
        // connection and answer by retrying on a new one.
        r.owe(false);
        r.atRest(true);
        r.tighten(Clock::now() + r.context().options.handshakeDeadline);
    }
}

// The tunnel for request: the open one when reuse, else a new one; false
// when the session ends here.
asio::awaitable<bool> HttpFront::tunnel(const HttpProxyRequest& request, bool reuse) {
    if (reuse) co_return true;
    dropTunnel();
    const std::string connect = buildSocks5ConnectTo(request.host, request.port);
    if (connect.empty()) {
        co_await refuse(400);
        co_return false;
    }
    if (const bool granted = co_await r.connectUpstream(connect); !granted) {
        if (!r.closed()) co_await refuse(502);
        co_return false;
    }
    tunnelHost = request.host;
    tunnelPort = request.port;
    co_return true;
}

// Reads the next request head from the client's bytes; false when the
// session ends here.
asio::awaitable<bool> HttpFront::nextRequest(HttpProxyRequest& request) {
    std::size_t seen = 0; // bytes already looked through for a line's end
    for (;;) {
        // RFC 9112 section 2.2: empty lines before a request are ignored.
        while (r.held().starts_with("\r\n")) {
            r.take(2);
            seen = 0;
        }
        // The head can change only where a line ends: parsing it from the
        // start for every byte of a slow client would cost n² work.
        const std::string& held = r.held();
        if (held.find('\n', seen) != std::string::npos || held.size() >= httpHeadLimit) {
            const HttpHead head = parseHttpProxyRequest(held, request);
            if (head == HttpHead::Complete) co_return true;
            if (head != HttpHead::NeedMore) {
                const int status = head == HttpHead::TooLarge      ? 431
                                   : head == HttpHead::Unsupported ? 505
                                                                   : 400;
                co_await refuse(status);
                co_return false;
            }
        }
        seen = held.size();
        if (const bool ok = co_await r.moreFromClient(Relay::holdLimit); !ok) co_return false;
    }
}

// The open tunnel leads to the request's origin and is at rest: the origin
// has neither closed it nor sent anything unasked since its last response.
bool HttpFront::tunnelReusable(const HttpProxyRequest& request) {
    asio::ip::tcp::socket& upstream = r.upstreamSocket();
    if (request.port != tunnelPort || !upstream.is_open() || !r.fromUpstream.empty() ||
        !equalsNoCase(request.host, tunnelHost))
        return false;
    std::error_code ec;
    upstream.non_blocking(true, ec);
    char byte;
    upstream.read_some(asio::buffer(&byte, 1), ec);
    return ec == asio::error::would_block;
}

void HttpFront::dropTunnel() {
    r.dropTunnel();
    tunnelPort = 0;
}

// One request and its answer: Keep when the client's connection stays for
// the next, Again when it must go once more on a new tunnel. The body goes up
// while the answer comes down (RFC 9110 section 10.1.1: an origin may answer
// 100 Continue before the body, or a final status before it is whole). A
// body that stops moving gets the handshake's deadline; a whole request waits
// without one, as the copying stage does (an answer may be long in coming).
asio::awaitable<Exchange> HttpFront::exchange(const HttpProxyRequest& request, bool reused) {
    bodyDeadline = request.framing.body != BodyKind::None;
    r.tighten(bodyDeadline ? Clock::now() + r.context().options.handshakeDeadline
                           : Clock::time_point::max());
    // A client that has ended (after pipelining this request) gets the FIN-wait.
    if (r.clientEnded())
        r.tighten(std::min(r.deadline(), Clock::now() + r.context().options.finWait));
    // A request that costs nothing to repeat (RFC 9110 section 9.2.2, no
    // body) goes again on a new tunnel when a reused one turns out closed.
    const bool repeatable = reused && request.idempotent && request.framing.body == BodyKind::None;
    if (const bool ok = co_await writeAll(r.upstreamSocket(), request.forward); !ok)
        co_return repeatable ? Exchange::Again : Exchange::End;
    const auto executor = r.clientSocket().get_executor();
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
        if (!r.answered()) co_await refuse(400);
        co_return Exchange::End;
    }
    if (answer == Answer::Again) co_return Exchange::Again;
    if (answer == Answer::Failed) co_await refuse(502);
    // After a whole answer, the origin's end (or ours, or the rest of a
    // body nobody wants) passes on to the client.
    if (whole) co_await r.linger();
    co_return Exchange::End;
}

// The request body, from the client's held bytes to the origin as it comes.
asio::awaitable<Upload> HttpFront::sendBody(const HttpFraming& framing) {
    BodyFramer body(framing);
    while (!body.done()) {
        if (r.held().empty()) {
            if (const bool ok = co_await r.moreFromClient(Relay::holdLimit); !ok)
                co_return Upload::Stopped;
        }
        const std::size_t n = body.feed(r.held());
        if (body.failed()) co_return Upload::Malformed;
        const std::string part = r.held().substr(0, n);
        r.take(n);
        if (const bool ok = co_await writeAll(r.upstreamSocket(), part); !ok)
            co_return Upload::Stopped;
        // The body moved: its deadline moves with it.
        if (bodyDeadline) r.extend(Clock::now() + r.context().options.handshakeDeadline);
    }
    if (bodyDeadline) r.extend(Clock::time_point::max());
    bodyDeadline = false;
    co_return Upload::Done;
}

// The origin's answer: interim responses as they come, then the final one
// as far as its framing says.
asio::awaitable<Answer> HttpFront::relayAnswer(const HttpProxyRequest& request, bool reused,
                                               bool repeatable) {
    HttpResponseHead response;
    bool heard = false;
    for (;;) {
        const HttpHead head = co_await responseHead(request.toHead, response);
        if (r.closed()) co_return Answer::Lost;
        if (head != HttpHead::Complete) {
            // A reused tunnel that ends without a byte was closed by the
            // origin as we sent. Unless we can repeat the request, the
            // client sees its kept connection close unanswered, as from an
            // origin, and sends the request again itself.
            const bool stale =
                head == HttpHead::NeedMore && reused && !heard && r.fromUpstream.empty();
            if (stale) co_return repeatable ? Answer::Again : Answer::Lost;
            co_return Answer::Failed;
        }
        heard = true;
        if (!response.interim()) break;
        const std::string interim = r.fromUpstream.substr(0, response.headLength);
        r.fromUpstream.erase(0, response.headLength);
        // RFC 9110 section 15.2: HTTP/1.0 defined no 1xx; its clients get none.
        if (request.http10) continue;
        if (const bool ok = co_await r.answer(interim); !ok) co_return Answer::Lost;
    }
    // The final answer has begun: the body no longer has to hurry.
    bodyDeadline = false;
    r.extend(Clock::time_point::max());
    if (r.clientEnded()) r.tighten(Clock::now() + r.context().options.finWait);
    std::string& from = r.fromUpstream;
    std::string out = from.substr(0, response.headLength);
    from.erase(0, response.headLength);
    BodyFramer framer(response.framing);
    const std::size_t n = framer.feed(from);
    out.append(from, 0, n);
    from.erase(0, n);
    if (const bool ok = co_await r.answer(out); !ok) co_return Answer::Lost;
    const bool untilClose = response.framing.body == BodyKind::UntilClose;
    bool complete = framer.done();
    if (!complete && !framer.failed()) complete = co_await r.relayBody(framer, untilClose);
    if (!complete) co_return Answer::Lost;
    co_return response.framing.close ? Answer::Closing : Answer::Whole;
}

// Reads the response head into fromUpstream: Complete, Malformed or TooLarge
// as parsed, NeedMore when the upstream ended (or failed) first.
asio::awaitable<HttpHead> HttpFront::responseHead(bool toHead, HttpResponseHead& response) {
    std::string& from = r.fromUpstream;
    std::size_t seen = 0;
    for (;;) {
        if (from.find("\r\n\r\n", seen) != std::string::npos ||
            from.size() >= httpResponseHeadLimit) {
            const HttpHead head = parseHttpResponseHead(from, toHead, response);
            if (head != HttpHead::NeedMore) co_return head;
        }
        seen = from.size() < 3 ? 0 : from.size() - 3;
        const std::size_t had = from.size();
        from.resize(std::min(had + 16384, httpResponseHeadLimit));
        auto [ec, n] = co_await r.upstreamSocket().async_read_some(
            asio::buffer(from.data() + had, from.size() - had), asValues);
        from.resize(had + n);
        if (n > 0) r.heardUpstream();
        if (ec) co_return HttpHead::NeedMore;
    }
}

// The response, then the end.
asio::awaitable<void> HttpFront::refuse(int status) {
    if (const bool ok = co_await r.answer(httpErrorResponse(status)); !ok) co_return;
    co_await r.linger();
}

} // namespace

asio::awaitable<void> serveHttp(Relay& relay) {
    HttpFront front(relay);
    co_await front.serve();
}
