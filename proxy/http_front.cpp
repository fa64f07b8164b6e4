// The HTTP proxy front (RFC 9110, RFC 9112): CONNECT opens a tunnel, and
// absolute-URI requests go on one after another on the client's connection,
// each request's body going up while its answer comes down.
#include "proxy/session.h"

#include "proxy/http_proxy.h"

#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>

#include <algorithm>

using asio::ip::tcp;

// An HTTP proxy request (a method's first letter came): CONNECT opens a
// tunnel; absolute-URI requests go on in origin form one after another on
// the client's connection, each through the tunnel of the one before
// when it names the same origin, each response relayed as far as its
// framing says. Every failure before a response is a short response, then
// the end.
asio::awaitable<void> Session::http() {
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
        tighten(Clock::now() + ctx.options.handshakeDeadline);
    }
}

// The tunnel for request: the open one when reuse, else a new one; false
// when the session ends here.
asio::awaitable<bool> Session::httpTunnel(const HttpProxyRequest& request, bool reuse) {
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
asio::awaitable<bool> Session::nextHttpRequest(HttpProxyRequest& request) {
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

bool Session::sameHost(std::string_view name) const {
    return upstream.is_open() && equalsNoCase(name, tunnelHost);
}

// An open tunnel at rest: the origin has neither closed it nor sent
// anything unasked since its last response.
bool Session::tunnelReusable() {
    if (!upstream.is_open() || !fromUpstream.empty()) return false;
    std::error_code ec;
    upstream.non_blocking(true, ec);
    char byte;
    upstream.read_some(asio::buffer(&byte, 1), ec);
    return ec == asio::error::would_block;
}

void Session::dropTunnel() {
    newRoad();
    fromUpstream.clear();
    tunnelPort = 0;
}

// One request and its response: Keep when the client's connection stays
// for the next, Again when it must go once more on a new tunnel. The body
// goes up while the answer comes down (RFC 9110 section 10.1.1: an origin
// may answer 100 Continue before the body, or a final status before it is
// whole). A body that stops moving gets the handshake's deadline; a whole
// request waits without one, as the copying stage does (a response may be
// long in coming).
// The answer's end ends the upload (an early answer: the rest of the body
// is not wanted, and the tunnel goes with it); the upload's end leaves the
// answer running, unless the body broke its own framing.
struct Session::AnswerEndsUpload {
    asio::cancellation_type_t operator()(const std::exception_ptr&, Answer) const {
        return asio::cancellation_type::terminal;
    }
    asio::cancellation_type_t operator()(const std::exception_ptr& e, Upload u) const {
        const bool broken = e || u == Upload::Malformed;
        return broken ? asio::cancellation_type::terminal : asio::cancellation_type::none;
    }
};

asio::awaitable<Session::Exchange> Session::httpExchange(const HttpProxyRequest& request,
                                                         bool reused) {
    bodyDeadline = request.framing.body != BodyKind::None;
    tighten(bodyDeadline ? Clock::now() + ctx.options.handshakeDeadline : Clock::time_point::max());
    // A client that has ended (after pipelining this request) gets the FIN-wait.
    if (clientEnded) tighten(std::min(limit, Clock::now() + ctx.options.finWait));
    // A request that costs nothing to repeat (RFC 9110 section 9.2.2, no
    // body) goes again on a new tunnel when a reused one turns out closed.
    const bool repeatable = reused && request.idempotent && request.framing.body == BodyKind::None;
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
asio::awaitable<Session::Upload> Session::sendBody(const HttpFraming& framing) {
    BodyFramer body(framing);
    while (!body.done()) {
        if (up.held.empty()) {
            if (const bool ok = co_await moreFromClient(holdLimit); !ok) co_return Upload::Stopped;
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
asio::awaitable<Session::Answer> Session::relayAnswer(const HttpProxyRequest& request, bool reused,
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
    if (!complete && !framer.failed()) complete = co_await relayResponseBody(framer, untilClose);
    if (!complete) co_return Answer::Lost;
    co_return response.framing.close ? Answer::Closing : Answer::Whole;
}

// Reads the response head into fromUpstream: Complete, Malformed or
// TooLarge as parsed, NeedMore when the upstream ended (or failed) first.
asio::awaitable<HttpHead> Session::httpResponseHead(bool toHead, HttpResponseHead& response) {
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

// The rest of a response body, from the upstream to the client as the
// copying stage moves bytes; true when the body ended (for a close-delimited
// one, with the upstream). Bytes past its end stay in the upstream's socket.
asio::awaitable<bool> Session::relayResponseBody(BodyFramer& body, bool untilClose) {
    for (;;) {
        const Burst burst = moveBurst(upstream, client, down.readSize, &body);
        if (stage == Stage::Closed) co_return false;
        if (burst == Burst::BodyEnd) co_return body.done();
        if (burst == Burst::Ended) co_return untilClose;
        const bool waited = co_await waitFor(burst, upstream, client);
        if (!waited) co_return false;
        // A client that has ended gets the FIN-wait, as in the copying stage.
        if (clientEnded) tighten(Clock::now() + ctx.options.finWait);
    }
}

// The response, then the end (below).
asio::awaitable<void> Session::refuseHttp(int status) {
    answered = true;
    if (const bool ok = co_await writeAll(client, httpErrorResponse(status)); !ok) co_return;
    co_await lingerHttp();
}

// The end of our sending side; the client's further bytes are read and
// dropped until it closes (or the deadline passes), so that a close with
// unread bytes does not reset the response away.
asio::awaitable<void> Session::lingerHttp() {
    std::error_code ignored;
    client.shutdown(tcp::socket::shutdown_send, ignored);
    tighten(std::min(limit, Clock::now() + ctx.options.finWait));
    for (;;) {
        up.held.clear();
        resume.cancel();
        if (const bool ok = co_await moreFromClient(holdLimit); !ok) co_return;
    }
}
