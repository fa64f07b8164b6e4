// The SOCKS fronts: a SOCKS5 client's greeting and request (RFC 1928), and a
// SOCKS4 or SOCKS4a request, each turned into one SOCKS5 CONNECT upstream.
#include "proxy/session.h"

#include "proxy/socks.h"

// Any greeting is answered "no authentication"; the request goes upstream
// unchanged, and the upstream's reply, whatever it says, reaches the client
// unchanged. What the client sent after its request waits for that reply:
// some servers read one message per read and drop what came with it.
asio::awaitable<void> Session::socks5() {
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
asio::awaitable<void> Session::socks4() {
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
