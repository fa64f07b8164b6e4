// The HTTP proxy front of the listener (RFC 9110, RFC 9112): reading a
// client's request head and turning it into a SOCKS5 CONNECT and, for an
// absolute-URI request, the head the origin receives. Pure byte work: no
// sockets, so every input can be checked byte for byte.
#pragma once

#include "proxy/http_framing.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct HttpProxyRequest {
    bool tunnel = false; // CONNECT host:port
    std::string host;    // a name or an IP literal (IPv6 without brackets)
    std::uint16_t port = 0;
    std::string forward;        // absolute-URI requests: the head to send on; "" for CONNECT
    std::size_t headLength = 0; // bytes of the client's stream the head took (through CRLF CRLF)
    HttpFraming framing;        // absolute-URI requests: the body, and whether the client ends
    bool toHead = false;        // method HEAD: its response has no body
    bool http10 = false;        // RFC 9110 section 15.2: an HTTP/1.0 client is sent no 1xx
    bool idempotent = false;    // RFC 9110 section 9.2.2: may be sent again
};

// Reads the head at the start of in. `CONNECT host:port HTTP/1.x` is a
// tunnel; any other method needs an absolute http: URI and is forwarded in
// origin form without the hop-by-hop fields, with the Host field taken from
// the URI, the body's length as one Content-Length field, and a Connection
// field of our own: "close" when the client ends after this request,
// "keep-alive" for HTTP/1.0 when it does not. Complete only for a whole, valid
// head (out is written only then); Unsupported for a version other than 1.0
// and 1.1; Malformed as soon as a complete line is wrong, when the body's
// length is in doubt, or when Connection names a field that frames or routes
// the request; TooLarge when no empty line ends the head within httpHeadLimit
// bytes; NeedMore otherwise.
HttpHead parseHttpProxyRequest(std::string_view in, HttpProxyRequest& out);

// RFC 1928 section 4: VER 5, CMD 1 (CONNECT), RSV 0, then ATYP 01 for an
// IPv4 literal, 04 for an IPv6 literal, else 03 with the name, then the port.
// "" for a name that does not fit ATYP 03 (empty or over 255 bytes).
std::string buildSocks5ConnectTo(std::string_view host, std::uint16_t port);

// A short response with no body and "Connection: close": 400, 431, 502, 504
// or 505 (any other status gives 500).
std::string httpErrorResponse(int status);

inline constexpr std::string_view httpTunnelEstablished{
    "HTTP/1.1 200 Connection established\r\n\r\n"};
