#include "tests/proxy/engine_support.h"

#include <filesystem>

namespace {

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

#ifdef _WIN32
// Tests start the socket library themselves; the product's entry does it there.
const bool socketsStarted = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();
#endif

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    return a;
}

} // namespace

SocketHandle listenLoopback(std::uint16_t& port) {
    SocketHandle s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    socklen_t size = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), size) != 0 || ::listen(s, SOMAXCONN) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        closeSocket(s);
        return invalidSocket;
    }
    port = ntohs(a.sin_port);
    return s;
}

std::uint16_t freeLoopbackPort() {
    std::uint16_t port = 0;
    closeSocket(listenLoopback(port));
    return port;
}

SocketHandle connectLoopback(std::uint16_t port) {
    SocketHandle s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || !setNonBlocking(s)) {
        closeSocket(s);
        return invalidSocket;
    }
    setNoDelay(s);
    return s;
}

bool sendWithin(SocketHandle s, std::string_view bytes, Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    while (!bytes.empty()) {
        long n = sendSome(s, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && !isWouldBlock(lastSocketError())) return false;
        SocketWait w;
        w.socket = s;
        w.wantWrite = true;
        if (waitSockets(&w, 1, msLeft(deadline)) <= 0) return false;
    }
    return true;
}

namespace {
std::string receive(SocketHandle s, std::size_t n, bool& closed, Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    std::string out;
    closed = false;
    char buffer[65536];
    while (out.size() < n) {
        if (waitReadable(s, msLeft(deadline)) <= 0) break;
        long got = recvSome(s, buffer, std::min(sizeof buffer, n - out.size()));
        if (got < 0 && isWouldBlock(lastSocketError())) continue;
        if (got <= 0) {
            closed = true;
            break;
        }
        out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
}
} // namespace

std::string recvBytes(SocketHandle s, std::size_t n, Clock::duration limit) {
    bool closed = false;
    return receive(s, n, closed, limit);
}

std::string recvToEnd(SocketHandle s, bool& closed, Clock::duration limit) {
    return receive(s, std::string::npos, closed, limit);
}

bool waitUntil(const std::function<bool()>& condition, Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string pattern(std::size_t size, std::uint32_t seed) {
    std::string out(size, '\0');
    for (char& c : out) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return out;
}

int openDescriptorCount() {
#ifdef __linux__
    int count = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
#else
    return -1;
#endif
}

void FakeUpstream::start() {
    listening = listenLoopback(port);
    acceptor = std::thread([this] {
        while (!stopping) {
            if (waitReadable(listening, 50) <= 0) continue;
            SocketHandle s = ::accept(listening, nullptr, nullptr);
            if (s == invalidSocket) continue;
            setNonBlocking(s);
            std::lock_guard<std::mutex> guard(lock);
            connections.push_back(s);
            workers.emplace_back(&FakeUpstream::serve, this, s, accepted++);
        }
    });
}

void FakeUpstream::stop() {
    if (!acceptor.joinable()) return;
    stopping = true;
    acceptor.join();
    {
        std::lock_guard<std::mutex> guard(lock);
        for (SocketHandle s : connections)
            ::shutdown(s, shutdownBoth);
    }
    for (std::thread& t : workers)
        t.join();
    for (SocketHandle s : connections)
        closeSocket(s);
    closeSocket(listening);
}

std::size_t FakeUpstream::finished() {
    std::lock_guard<std::mutex> guard(lock);
    return sessions.size();
}

UpstreamSession FakeUpstream::session(std::size_t i) {
    std::lock_guard<std::mutex> guard(lock);
    return i < sessions.size() ? sessions[i] : UpstreamSession{};
}

namespace {
void echo(SocketHandle s) {
    char buffer[65536];
    while (waitReadable(s, 20000) > 0) {
        long n = recvSome(s, buffer, sizeof buffer);
        if (n < 0 && isWouldBlock(lastSocketError())) continue;
        if (n <= 0 || !sendWithin(s, std::string_view(buffer, static_cast<std::size_t>(n)))) return;
    }
}
} // namespace

void FakeUpstream::serve(SocketHandle s, int index) {
    UpstreamSession got;
    bool closed = false;
    got.offer = recvBytes(s, 2);
    if (got.offer.size() == 2) got.offer += recvBytes(s, static_cast<std::uint8_t>(got.offer[1]));
    if (index >= silentFrom) {
        recvToEnd(s, closed);
    } else if (sendWithin(s, std::string{'\x05', static_cast<char>(method)}) && method != 0xff) {
        bool ok = true;
        if (method == 0x02) {
            got.auth = recvBytes(s, 2);
            if (got.auth.size() == 2)
                got.auth += recvBytes(s, static_cast<std::uint8_t>(got.auth[1]));
            got.auth += recvBytes(s, 1);
            if (got.auth.size() >= 3)
                got.auth += recvBytes(s, static_cast<std::uint8_t>(got.auth.back()));
            ok = got.auth.size() >= 3 && sendWithin(s, std::string{'\x01', char(authStatus)}) &&
                 authStatus == 0;
        }
        if (ok) {
            got.request = recvBytes(s, 5);
            std::size_t rest = got.request.size() < 5   ? 0
                               : got.request[3] == 0x01 ? 5
                               : got.request[3] == 0x04
                                   ? 17
                                   : static_cast<std::uint8_t>(got.request[4]) + 2;
            got.request += recvBytes(s, rest);
            if (got.request.size() >= 5 && sendWithin(s, reply) && reply[1] == 0) {
                if (destination) {
                    destination(s);
                } else {
                    echo(s);
                }
            }
        }
    }
    if (!closed) recvToEnd(s, closed, std::chrono::seconds(5));
    ::shutdown(s, shutdownBoth);
    std::lock_guard<std::mutex> guard(lock);
    sessions.push_back(got);
}
