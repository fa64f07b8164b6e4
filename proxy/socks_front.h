// The SOCKS fronts: a SOCKS5 client's greeting and request (RFC 1928), and a
// SOCKS4 or SOCKS4a request, each turned into one SOCKS5 CONNECT upstream.
// Each ends with the copying stage begun, or the session to be closed.
#pragma once

#include "proxy/relay.h"

// Any greeting is answered "no authentication"; the request goes upstream
// unchanged, and the upstream's reply, whatever it says, reaches the client
// unchanged.
asio::awaitable<void> serveSocks5(Relay& relay);
// A refusal is answered with the SOCKS4 rejection before the close.
asio::awaitable<void> serveSocks4(Relay& relay);
