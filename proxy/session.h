// One local client served through the upstream SOCKS5 server (RFC 1928,
// RFC 1929): the client's first byte picks the front that carries its
// handshake, and one watchdog holds the session to its deadline. What the
// fronts work on (the sockets, the tunnel, the copying stage) is the relay.
#pragma once

#include "proxy/relay.h"

// A co_await never stands in a condition or beside && or ||: GCC 12 builds
// such coroutines wrongly (frames destroyed twice, operands evaluated out of
// turn). Results are taken in a statement, or in an if's initializer.

// Serves one accepted client; the session owns it and its upstream socket.
void startSession(SessionContext& context, asio::ip::tcp::socket client);
// Closes every session's sockets; each session then ends on its own.
void closeSessions(SessionRegistry& registry);
// Closes the sessions whose tunnel has heard nothing from the upstream since
// `since`, and HTTP sessions at rest between requests.
void closeQuietSessions(SessionRegistry& registry, std::chrono::steady_clock::time_point since);

class Session : public Relay {
  public:
    using Relay::Relay;
    void run();

  private:
    enum class Front { Unknown, Socks5, Socks4, Http };

    asio::awaitable<void> watch();
    asio::awaitable<void> handshake();

    Front front = Front::Unknown;
};
