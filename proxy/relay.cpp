#include "proxy/relay.h"

#include "proxy/socks.h"

#include <cstring>
#include <string_view>

namespace {

constexpr std::size_t chunkSize = 8192;

// A stop shuts our sockets down, which ends every wait below on Linux. Under
// Wine a select on a socket shut down from another thread does not always
// wake, so the waits also look at the registry once a second.
constexpr int stopCheckMs = 1000;

bool stopped() {
    return appState.clientRegistry.isStopping();
}

// Waits for the asked conditions; false on error or when the engine stops.
bool waitRelay(SocketWait* waits, std::size_t count) {
    for (;;) {
        int r = waitSockets(waits, count, stopCheckMs);
        if (r > 0) return true;
        if (r < 0 && !isInterrupted(lastSocketError())) return false;
        if (stopped()) return false;
    }
}

// Appends the next bytes from s (blocking) to buffer. false on the end of the
// stream, an error, a stop, or a message that would pass handshakeLimit.
bool readMore(SocketHandle s, std::string& buffer) {
    if (buffer.size() >= handshakeLimit) return false;
    SocketWait w;
    w.socket = s;
    w.wantRead = true;
    if (!waitRelay(&w, 1)) return false;
    char chunk[chunkSize];
    long n;
    do {
        n = recvSome(s, chunk, handshakeLimit - buffer.size());
    } while (n < 0 && isInterrupted(lastSocketError()));
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
}

bool sendText(SocketHandle s, std::string_view bytes) {
    return bytes.empty() || sendAll(s, bytes.data(), bytes.size());
}

// RFC 1928 method negotiation, then RFC 1929 when the server picks it.
// upstreamBytes keeps whatever followed the last reply.
bool negotiateUpstream(SocketHandle upstream, const UpstreamEndpoint& endpoint,
                       std::string& upstreamBytes) {
    if (!sendText(upstream, upstreamMethodOffer)) return false;
    std::uint8_t method = 0;
    while (parseTwoByteReply(upstreamBytes, method) == ParseStatus::NeedMore) {
        if (!readMore(upstream, upstreamBytes)) return false;
    }
    upstreamBytes.erase(0, 2);
    if (method == methodNone) return true;
    if (method != methodUserPassword) return false;
    std::string request;
    if (!buildUserPasswordRequest(endpoint.userName, endpoint.password, request)) return false;
    if (!sendText(upstream, request)) return false;
    std::uint8_t status = 0xff;
    while (parseTwoByteReply(upstreamBytes, status) == ParseStatus::NeedMore) {
        if (!readMore(upstream, upstreamBytes)) return false;
    }
    upstreamBytes.erase(0, 2);
    return status == 0x00;
}

// Local SOCKS5 client: greeting answered without authentication, then its
// request (and anything after it) goes upstream as it came.
bool serveSocks5Client(SocketHandle client, SocketHandle upstream, std::string& clientBytes) {
    std::size_t greeting = 0;
    for (;;) {
        ParseStatus status = parseSocks5Greeting(clientBytes, greeting);
        if (status == ParseStatus::Complete) break;
        if (status == ParseStatus::Malformed || !readMore(client, clientBytes)) return false;
    }
    clientBytes.erase(0, greeting);
    if (!sendText(client, clientMethodReply)) return false;
    if (clientBytes.empty() && !readMore(client, clientBytes)) return false;
    return sendText(upstream, clientBytes);
}

// Local SOCKS4/4a client: translated into a SOCKS5 CONNECT; the upstream's
// reply is read whole (its length follows its ATYP) and only then granted.
// Any refusal is answered with the SOCKS4 rejection before the close.
bool serveSocks4Client(SocketHandle client, SocketHandle upstream, std::string& clientBytes,
                       std::string& upstreamBytes) {
    Socks4Request request;
    for (;;) {
        ParseStatus status = parseSocks4Request(clientBytes, request);
        if (status == ParseStatus::Complete) break;
        if (status == ParseStatus::Malformed || !readMore(client, clientBytes)) return false;
    }
    clientBytes.erase(0, request.length);
    if (request.command != 0x01 || !sendText(upstream, buildSocks5Connect(request))) {
        sendText(client, socks4Rejected);
        return false;
    }
    std::size_t replyLength = 0;
    std::uint8_t reply = 0xff;
    for (;;) {
        ParseStatus status = parseSocks5Reply(upstreamBytes, replyLength, reply);
        bool refused = upstreamBytes.size() >= 2 && upstreamBytes[1] != 0x00;
        if (status == ParseStatus::Complete && reply == 0x00) break;
        if (refused || status == ParseStatus::Malformed || !readMore(upstream, upstreamBytes)) {
            sendText(client, socks4Rejected);
            return false;
        }
    }
    upstreamBytes.erase(0, replyLength);
    return sendText(client, socks4Granted) && sendText(upstream, clientBytes);
}

// One direction of the copying stage: a chunk read from `from` and not yet
// fully written to `to`.
struct Flow {
    SocketHandle from;
    SocketHandle to;
    std::size_t fromIndex;
    std::size_t toIndex;
    char data[chunkSize];
    std::size_t size = 0;
    std::size_t sent = 0;
    bool done = false; // `from` ended and that end was passed on
};

// Writes what is pending; false on a broken connection.
bool flush(Flow& f) {
    while (f.sent < f.size) {
        long n = sendSome(f.to, f.data + f.sent, f.size - f.sent);
        if (n < 0) {
            int error = lastSocketError();
            if (isWouldBlock(error)) return true;
            if (isInterrupted(error)) continue;
            return false;
        }
        f.sent += static_cast<std::size_t>(n);
    }
    f.size = f.sent = 0;
    return true;
}

// Reads the next chunk and tries to write it at once; an orderly end is
// passed on as a shutdown of the other side's sending direction.
bool pull(Flow& f) {
    long n = recvSome(f.from, f.data, chunkSize);
    if (n < 0) {
        int error = lastSocketError();
        return isWouldBlock(error) || isInterrupted(error);
    }
    if (n == 0) {
        ::shutdown(f.to, shutdownSend);
        f.done = true;
        return true;
    }
    f.size = static_cast<std::size_t>(n);
    f.sent = 0;
    return flush(f);
}

// Non-blocking, one pending chunk per direction: while one destination
// cannot take more, the other direction keeps moving, so two peers that both
// write before they read never lock each other up.
void copyBothWays(SocketHandle client, SocketHandle upstream) {
    if (!setNonBlocking(client) || !setNonBlocking(upstream)) return;
    Flow up{client, upstream, 0, 1, {}, 0, 0, false};
    Flow down{upstream, client, 1, 0, {}, 0, 0, false};
    Flow* flows[2] = {&up, &down};
    while (!up.done || !down.done) {
        SocketWait waits[2];
        waits[0].socket = client;
        waits[1].socket = upstream;
        for (Flow* f : flows) {
            if (f->size > f->sent)
                waits[f->toIndex].wantWrite = true;
            else if (!f->done)
                waits[f->fromIndex].wantRead = true;
        }
        if (!waitRelay(waits, 2)) return;
        for (Flow* f : flows) {
            if (f->size > f->sent) {
                if (waits[f->toIndex].writable && !flush(*f)) return;
            } else if (!f->done && waits[f->fromIndex].readable && !pull(*f)) {
                return;
            }
        }
    }
}

void serve(SocketHandle client, const UpstreamEndpoint& endpoint, SocketHandle& upstream) {
    std::string address = resolveUpstreamHost(endpoint.host);
    if (address.empty()) return;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(endpoint.port & 0xffff));
    if (::inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) return;
    SocketHandle s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == invalidSocket) return;
    // Registered before the connect, so a stop can end a connect that hangs.
    if (!appState.clientRegistry.add(s)) {
        closeSocket(s);
        return;
    }
    upstream = s;
    setNoDelay(upstream);
    if (::connect(upstream, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) return;

    std::string upstreamBytes;
    if (!negotiateUpstream(upstream, endpoint, upstreamBytes)) return;

    std::string clientBytes;
    if (!readMore(client, clientBytes)) return;
    bool ready = false;
    if (clientBytes[0] == 0x05) {
        ready = serveSocks5Client(client, upstream, clientBytes);
    } else if (clientBytes[0] == 0x04) {
        ready = serveSocks4Client(client, upstream, clientBytes, upstreamBytes);
    }
    // What the upstream sent after its last handshake reply belongs to the
    // client: a destination that speaks first must not lose its greeting.
    if (!ready || !sendText(client, upstreamBytes)) return;
    copyBothWays(client, upstream);
}

} // namespace

std::string resolveUpstreamHost(const std::string& host) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, host.c_str(), &parsed) == 1) return host;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return {};
    char text[22] = {};
    const auto* first = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    const char* ok = ::inet_ntop(AF_INET, &first->sin_addr, text, sizeof text);
    ::freeaddrinfo(result);
    return ok != nullptr ? std::string(text) : std::string();
}

void relayClient(SocketHandle client, UpstreamEndpoint endpoint) {
    SocketHandle upstream = invalidSocket;
    try {
        serve(client, endpoint, upstream);
    } catch (...) {
        // Out of memory in a handshake buffer: this client ends, nothing else.
    }
    appState.clientRegistry.remove(client);
    if (upstream != invalidSocket) appState.clientRegistry.remove(upstream);
    closeSocket(client);
    if (upstream != invalidSocket) closeSocket(upstream);
}
