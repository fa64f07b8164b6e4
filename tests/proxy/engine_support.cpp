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

// Bytes a message needs, judged from its start (RFC 1928 sections 3 and 4,
// RFC 1929): the method offer, the login, the request.
std::size_t offerSize(std::string_view b) {
    return b.size() < 2 ? 2 : 2 + std::uint8_t(b[1]);
}
std::size_t loginSize(std::string_view b) {
    if (b.size() < 2) return 2;
    const std::size_t user = std::uint8_t(b[1]);
    return b.size() < 3 + user ? 3 + user : 3 + user + std::uint8_t(b[2 + user]);
}
std::size_t requestSize(std::string_view b) {
    if (b.size() < 5) return 5;
    return 5 + (b[3] == 0x01 ? 5 : b[3] == 0x04 ? 17 : std::uint8_t(b[4]) + 2);
}

// Messages off one connection. oneRead: as some servers do, each message is
// taken from one read, and what came with it is lost.
struct Messages {
    tcp::socket& s;
    bool oneRead;
    std::string pending;
    std::size_t reads = 0, firstRead = 0;
    asio::awaitable<std::string> next(std::size_t (*size)(std::string_view)) {
        char buffer[65536];
        for (bool fresh = oneRead; fresh || size(pending) > pending.size(); fresh = false) {
            auto [ec, n] = co_await s.async_read_some(asio::buffer(buffer), asValues);
            pending.append(buffer, n);
            if (++reads == 1) firstRead = n;
            if (!ec) continue;
            s.close(ec); // later reads fail at once (Asio reports an end only once)
            break;
        }
        std::string message = pending.substr(0, std::min(size(pending), pending.size()));
        pending.erase(0, oneRead ? pending.size() : message.size());
        co_return message;
    }
};

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
    acceptor.bind(tcp::endpoint(asio::ip::address_v4::loopback(), port)); // 0: any
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
    Messages in{s, dropsPipelined, {}, 0, 0};
    got.offer = co_await in.next(offerSize);
    got.pipelined = in.firstRead > got.offer.size();
    const std::uint8_t chosen = index >= noAuthFrom ? 0x00 : method;
    const std::string methodReply{'\x05', char(chosen)}, authReply{'\x01', char(authStatus)};
    // No co_await in a condition or beside && or ||: GCC 12 builds those wrongly.
    bool answer = index < silentFrom && index != silentOne && got.offer.size() >= 2;
    if (answer) answer = co_await put(s, methodReply);
    answer = answer && chosen != 0xff;
    if (answer && chosen == 0x02) {
        got.auth = co_await in.next(loginSize);
        if (got.auth.size() >= 3) answer = co_await put(s, authReply);
        answer = answer && got.auth.size() >= 3 && authStatus == 0;
    }
    loggedIn += answer;
    // A server's negotiation timeout: a login left without a request is closed.
    asio::steady_timer idle(s.get_executor(), closesIdleAfter);
    if (closesIdleAfter.count() > 0)
        idle.async_wait([&s](std::error_code ec) {
            if (!ec) s.close(ec);
        });
    if (answer) {
        got.request = co_await in.next(requestSize);
        idle.cancel();
        const auto names = [&](const std::string& n) { return got.request.find(n) != n.npos; };
        const std::string out = names(unreachable) ? "\x05\x04\0\x01\0\0\0\0\0\0"s : reply;
        const bool hangUp = hangUpOnRequest-- > 0;
        if (hangUp) s.close();
        answer = got.request.size() >= 5 && !names(unanswered) && !hangUp;
        if (answer) answer = co_await put(s, out);
        answer = answer && out[1] == 0;
    }
    // What came with the request is echoed as the rest will be.
    if (answer && !destination) answer = co_await put(s, in.pending);
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
