// The HTTP proxy front (RFC 9110, RFC 9112): CONNECT opens a tunnel, and
// absolute-URI requests go on in origin form one after another on the
// client's connection, each through the tunnel of the one before when it
// names the same origin, each request's body going up while its answer comes
// down. Every failure before an answer is a short response, then the end.
#pragma once

#include "proxy/relay.h"

asio::awaitable<void> serveHttp(Relay& relay);
