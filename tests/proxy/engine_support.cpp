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

std::string recvBytes(SocketHandle s, std::size_t n, Clock::duration limit, bool* closed) {
    auto deadline = Clock::now() + limit;
    std::string out;
    bool ended = false;
    char buffer[65536];
    while (out.size() < n && waitReadable(s, msLeft(deadline)) > 0) {
        long got = recvSome(s, buffer, std::min(sizeof buffer, n - out.size()));
        if (got < 0 && isWouldBlock(lastSocketError())) continue;
        if ((ended = got <= 0)) break;
        out.append(buffer, static_cast<std::size_t>(got));
    }
    if (closed) *closed = ended;
    return out;
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
    // One byte, then as many more as it counts (RFC 1928 methods, RFC 1929 fields).
    const auto counted = [s](std::string& into) {
        const std::string count = recvBytes(s, 1);
        into += count;
        if (count.size() == 1) into += recvBytes(s, static_cast<std::uint8_t>(count[0]));
    };
    counted(got.offer += recvBytes(s, 1));
    bool answer =
        index < silentFrom && sendWithin(s, std::string{'\x05', char(method)}) && method != 0xff;
    if (answer && method == 0x02) {
        got.auth = recvBytes(s, 1);
        counted(got.auth);
        counted(got.auth);
        answer = got.auth.size() >= 3 && sendWithin(s, std::string{'\x01', char(authStatus)}) &&
                 authStatus == 0;
    }
    if (answer) {
        got.request = recvBytes(s, 5);
        // The address's size follows its type (RFC 1928 section 4), then the port.
        std::size_t rest = got.request.size() < 5   ? 0
                           : got.request[3] == 0x01 ? 5
                           : got.request[3] == 0x04 ? 17
                                                    : static_cast<std::uint8_t>(got.request[4]) + 2;
        got.request += recvBytes(s, rest);
        if (got.request.size() >= 5 && sendWithin(s, reply) && reply[1] == 0)
            destination ? destination(s) : echo(s);
    }
    // A silent session waits for the end as long as any test wait.
    recvBytes(s, std::string::npos, index >= silentFrom ? testWait : std::chrono::seconds(5));
    ::shutdown(s, shutdownBoth);
    std::lock_guard<std::mutex> guard(lock);
    sessions.push_back(got);
}
