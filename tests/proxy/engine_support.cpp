#include "tests/proxy/engine_support.h"

#include <asio/experimental/as_tuple.hpp>

#include <filesystem>

namespace {

using asio::ip::tcp;
using namespace std::string_literals;
constexpr auto asValues = asio::experimental::as_tuple(asio::use_awaitable);

// Runs io until its work is done or the limit passes; then cancels what is
// left and lets it finish.
void runWithin(asio::io_context& io, tcp::socket& s, Clock::duration limit) {
    io.restart();
    io.run_for(limit);
    if (io.stopped()) return;
    std::error_code ignored;
    s.cancel(ignored);
    io.restart();
    io.run();
}

asio::awaitable<std::string> take(tcp::socket& s, std::size_t n) {
    std::string bytes(n, '\0');
    auto [ec, got] = co_await asio::async_read(s, asio::buffer(bytes), asValues);
    bytes.resize(got);
    if (ec) s.close(ec); // later reads fail at once (Asio reports an end only once)
    co_return bytes;
}

// The first five bytes of a request, or whatever one read brings (one
// asynchronous read either way: GCC 12 builds a co_await in a branch wrongly).
asio::awaitable<std::string> takeRequestStart(tcp::socket& s, bool oneRead) {
    std::string bytes(oneRead ? 65536 : 5, '\0');
    auto [ec, got] = co_await asio::async_read(s, asio::buffer(bytes),
                                               asio::transfer_at_least(oneRead ? 1 : 5), asValues);
    bytes.resize(got);
    if (ec) s.close(ec);
    co_return bytes;
}

// One byte, then as many more as it counts (RFC 1928 methods, RFC 1929 fields).
asio::awaitable<void> takeCounted(tcp::socket& s, std::string& into) {
    const std::string count = co_await take(s, 1);
    into += count;
    if (count.size() == 1) into += co_await take(s, static_cast<std::uint8_t>(count[0]));
}

asio::awaitable<bool> put(tcp::socket& s, std::string_view bytes) {
    auto [ec, n] = co_await asio::async_write(s, asio::buffer(bytes), asValues);
    co_return !ec;
}

} // namespace

std::uint16_t freeLoopbackPort() {
    asio::io_context io;
    tcp::acceptor a(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    return a.local_endpoint().port();
}

bool waitUntil(const std::function<bool()>& condition, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
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
    return int(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
#else
    return -1;
#endif
}

TestClient::TestClient(std::uint16_t port) {
    std::error_code ec;
    socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port), ec);
    if (ec) socket.close(ec);
    socket.set_option(tcp::no_delay(true), ec);
}

std::string TestClient::exchange(std::string_view out, std::size_t n, Clock::duration limit) {
    std::string got;
    asio::async_write(socket, asio::buffer(out), asio::detached);
    std::vector<char> buffer(1 << 16);
    std::function<void()> next = [&] {
        const std::size_t want = std::min(buffer.size(), n - got.size());
        socket.async_read_some(asio::buffer(buffer.data(), want),
                               [&](std::error_code ec, std::size_t size) {
                                   got.append(buffer.data(), size);
                                   if (ec) peerEnded = ec != asio::error::operation_aborted;
                                   if (!ec && got.size() < n) next();
                               });
    };
    if (n > 0) next();
    runWithin(io, socket, limit);
    return got;
}

void TestClient::shutdownSend() {
    std::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
}

void FakeUpstream::start() {
    acceptor.open(tcp::v4());
    acceptor.bind(tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    acceptor.listen();
    port = acceptor.local_endpoint().port();
    asio::co_spawn(
        io,
        [this]() -> asio::awaitable<void> {
            for (;;) {
                auto [ec, s] = co_await acceptor.async_accept(asValues);
                if (ec) co_return;
                asio::co_spawn(io, serve(std::move(s), accepted++), asio::detached);
            }
        },
        asio::detached);
    thread = std::thread([this] { io.run(); });
}

// Stops at once: connections still open are dropped with the loop.
FakeUpstream::~FakeUpstream() {
    io.stop();
    if (thread.joinable()) thread.join();
}

std::vector<UpstreamSession> FakeUpstream::ended() {
    std::lock_guard<std::mutex> guard(lock);
    return sessions;
}

asio::awaitable<void> FakeUpstream::serve(tcp::socket s, int index) {
    UpstreamSession got;
    got.offer = co_await take(s, 1);
    co_await takeCounted(s, got.offer);
    const std::string methodReply{'\x05', char(method)}, authReply{'\x01', char(authStatus)};
    // No co_await in a condition or beside && or ||: GCC 12 builds those wrongly.
    bool answer = index < silentFrom;
    if (answer) answer = co_await put(s, methodReply);
    answer = answer && method != 0xff;
    if (answer && method == 0x02) {
        got.auth = co_await take(s, 1);
        co_await takeCounted(s, got.auth);
        co_await takeCounted(s, got.auth);
        if (got.auth.size() >= 3) answer = co_await put(s, authReply);
        answer = answer && got.auth.size() >= 3 && authStatus == 0;
    }
    if (answer) {
        got.request = co_await takeRequestStart(s, dropsPipelined);
        // The address's size follows its type (RFC 1928 section 4), then the port.
        std::size_t rest = got.request.size() < 5   ? 0
                           : got.request[3] == 0x01 ? 5
                           : got.request[3] == 0x04 ? 17
                                                    : static_cast<std::uint8_t>(got.request[4]) + 2;
        // One read took the rest already, and what came with it is dropped.
        got.request += co_await take(s, dropsPipelined ? 0 : rest);
        got.request.resize(std::min(got.request.size(), 5 + rest));
        const auto names = [&](const std::string& n) { return got.request.find(n) != n.npos; };
        const std::string out = names(unreachable) ? "\x05\x04\0\x01\0\0\0\0\0\0"s : reply;
        answer = got.request.size() >= 5 && !names(unanswered);
        if (answer) answer = co_await put(s, out);
        answer = answer && out[1] == 0;
    }
    std::vector<char> buffer(65536);
    if (answer && destination) co_await destination(s);
    // Echoes, or after a refusal reads, until the engine has ended its side.
    for (std::error_code ec; !ec && !(answer && destination);) {
        std::size_t n = 0;
        std::tie(ec, n) = co_await s.async_read_some(asio::buffer(buffer), asValues);
        if (answer && !ec) {
            if (const bool ok = co_await put(s, std::string_view(buffer.data(), n)); !ok) break;
        }
    }
    std::lock_guard<std::mutex> guard(lock);
    sessions.push_back(got);
}
