// One local client served through the upstream SOCKS5 server.
#pragma once

#include "core/state.h"
#include "proxy/net.h"

#include <string>

// Dotted IPv4 text for host: unchanged when it already is one, else the first
// IPv4 address of a lookup; empty when it cannot be resolved.
std::string resolveUpstreamHost(const std::string& host);

// Serves one accepted, registered client socket until either side ends, then
// removes and closes both of its sockets. Takes its own copy of the endpoint.
void relayClient(SocketHandle client, UpstreamEndpoint endpoint);
