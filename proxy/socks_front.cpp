#include "proxy/socks_front.h"

#include "proxy/socks.h"

// What the client sent after its request waits for the upstream's reply:
// some servers read one message per read and drop what came with it.
asio::awaitable<void> serveSocks5(Relay& relay) {
    std::size_t greeting = 0;
    for (;;) {
        const ParseStatus status = parseSocks5Greeting(relay.held(), greeting);
        if (status == ParseStatus::Complete) break;
        if (status == ParseStatus::Malformed) co_return;
        if (const bool ok = co_await relay.moreFromClient(); !ok) co_return;
    }
    // Answered before the upstream is dialled: the request can then go with
    // the login where the endpoint takes that.
    relay.take(greeting);
    if (const bool ok = co_await writeAll(relay.clientSocket(), clientMethodReply); !ok) co_return;
    std::size_t length = 0;
    for (;;) {
        const ParseStatus status = parseSocks5Request(relay.held(), length);
        if (status == ParseStatus::Complete) break;
        // Not a request we can measure: it goes as it is, and the upstream's
        // answer decides.
        if (status == ParseStatus::Malformed) {
            length = relay.held().size();
            break;
        }
        if (const bool ok = co_await relay.moreFromClient(); !ok) co_return;
    }
    const std::string request = relay.held().substr(0, length);
    relay.take(length);
    // The reply is parsed only to know where the handshake ends.
    std::string reply;
    const bool opened = co_await relay.openTunnel(request, reply);
    if (opened) {
        co_await relay.proceed(reply);
    } else if (!relay.closed()) {
        // No reply from an upstream that let us in: ours says so.
        co_await relay.answer(socks5Failure);
    }
}

asio::awaitable<void> serveSocks4(Relay& relay) {
    Socks4Request request;
    for (;;) {
        const ParseStatus status = parseSocks4Request(relay.held(), request);
        if (status == ParseStatus::Complete) break;
        if (status == ParseStatus::Malformed) co_return;
        if (const bool ok = co_await relay.moreFromClient(); !ok) co_return;
    }
    relay.take(request.length);
    // Not CONNECT, an upstream that cannot be reached or lets us not in, and
    // a refused CONNECT all get the rejection.
    bool granted = request.command == 0x01;
    if (granted) granted = co_await relay.connectUpstream(buildSocks5Connect(request));
    if (granted) {
        co_await relay.proceed(socks4Granted);
    } else if (!relay.closed()) {
        co_await relay.answer(socks4Rejected);
    }
}
