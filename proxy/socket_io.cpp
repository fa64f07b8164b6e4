#include "proxy/socket_io.h"

#include "proxy/socks.h"

using asio::ip::tcp;

void setSessionOptions(tcp::socket& s) {
    std::error_code ignored;
    s.set_option(tcp::no_delay(true), ignored);
    s.set_option(asio::socket_base::keep_alive(true), ignored);
    // Reads in the copying stage go until the socket would block.
    s.non_blocking(true, ignored);
}

asio::awaitable<bool> readMore(tcp::socket& s, std::string& into) {
    if (into.size() >= handshakeLimit) co_return false;
    char chunk[handshakeLimit];
    auto [ec, n] =
        co_await s.async_read_some(asio::buffer(chunk, handshakeLimit - into.size()), asValues);
    if (ec) co_return false;
    into.append(chunk, n);
    co_return true;
}

asio::awaitable<bool> writeAll(tcp::socket& s, std::string_view bytes) {
    if (bytes.empty()) co_return true;
    auto [ec, n] = co_await asio::async_write(s, asio::buffer(bytes), asValues);
    co_return !ec;
}

std::size_t peekSome(tcp::socket& from, char* into, std::size_t size, std::error_code& ec) {
    return from.receive(asio::buffer(into, size), tcp::socket::message_peek, ec);
}

std::size_t writeNow(tcp::socket& to, const char* bytes, std::size_t size, std::error_code& ec) {
    const std::size_t n = to.write_some(asio::buffer(bytes, size), ec);
    if (ec != asio::error::would_block) return n;
    ec = {};
    return 0;
}

void takePeeked(tcp::socket& from, char* into, std::size_t size, std::error_code& ec) {
    if (size == 0) return;
#ifdef __linux__
    // Linux drops TCP bytes without copying them again.
    const int flags = MSG_TRUNC;
#else
    const int flags = 0;
#endif
    // The bytes were there when peeked, so this takes them all at once.
    if (from.receive(asio::buffer(into, size), flags, ec) != size && !ec) ec = asio::error::eof;
}
