#include "proxy/session.h"

#include "proxy/http_front.h"
#include "proxy/http_proxy.h"
#include "proxy/socks_front.h"

#include <vector>

using asio::ip::tcp;

void Session::run() {
    // The engine dialling itself: nothing of it is served.
    if (ctx.upstream.isOwnConnection(clientSocket())) {
        close();
        return;
    }
    limit = Clock::now() + ctx.options.handshakeDeadline;
    watchdog.expires_at(limit);
    spawn(&Session::watch);
    startReading();
    spawn(&Session::handshake);
}

// The one deadline of the session: the handshake's, then none while both
// directions are open, then the FIN-wait. `limit` may move later without
// touching the timer; the timer only has to fire no later than it.
asio::awaitable<void> Session::watch() {
    for (;;) {
        co_await watchdog.async_wait(asValues);
        if (closed()) co_return;
        if (Clock::now() < limit) {
            watchdog.expires_at(limit);
            continue;
        }
        // A dial cut short by the deadline is the upstream's silence.
        if (dialing) road.expire();
        if (stage == Stage::Handshake && !answered()) {
            // A few bytes into a socket that has taken nothing else yet: they
            // fit without waiting.
            std::error_code ignored;
            if (front == Front::Socks4)
                clientSocket().write_some(asio::buffer(socks4Rejected), ignored);
            if (front == Front::Http)
                clientSocket().write_some(asio::buffer(httpErrorResponse(504)), ignored);
        }
        close();
        co_return;
    }
}

// The client's first byte picks the front; nothing else answers it.
asio::awaitable<void> Session::handshake() {
    bool spoke = !held().empty();
    if (!spoke) spoke = co_await moreFromClient();
    // Checked again now that it has spoken: our upstream socket marks its end
    // before it writes, so a loop is known by its first byte.
    if (ctx.upstream.isOwnConnection(clientSocket())) {
        close();
        co_return;
    }
    const auto first = spoke ? static_cast<std::uint8_t>(held()[0]) : 0;
    if (first == 0x05) {
        front = Front::Socks5;
        co_await serveSocks5(*this);
    } else if (first == 0x04) {
        front = Front::Socks4;
        co_await serveSocks4(*this);
    } else if ((first | 0x20) >= 'a' && (first | 0x20) <= 'z') {
        front = Front::Http;
        co_await serveHttp(*this);
    }
    if (stage == Stage::Handshake) close();
    // The handshake's coroutine goes on as the upstream-to-client copy.
    if (stage == Stage::Copy) co_await copyDown();
}

void startSession(SessionContext& context, tcp::socket client) {
    std::make_shared<Session>(context, std::move(client))->run();
}

void closeSessions(SessionRegistry& registry) {
    for (Relay* r : std::vector<Relay*>(registry.sessions.begin(), registry.sessions.end()))
        r->close();
}

void closeQuietSessions(SessionRegistry& registry, std::chrono::steady_clock::time_point since) {
    for (Relay* r : std::vector<Relay*>(registry.sessions.begin(), registry.sessions.end()))
        r->closeIfQuiet(since);
}
