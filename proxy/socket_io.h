// The socket calls every part of the engine makes, on Asio: waits that end
// in values rather than exceptions, and the moves of the copying stage that
// never wait.
#pragma once

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>

// Completion token of the engine: errors come back as values, never as
// exceptions, so every failure is handled where it happens.
inline constexpr auto asValues = asio::experimental::as_tuple(asio::use_awaitable);

// No delay, keep-alive, and non-blocking calls for the copying stage.
void setSessionOptions(asio::ip::tcp::socket& s);

// Appends the next bytes from s; false on the end, an error, or a handshake
// message that would pass handshakeLimit.
asio::awaitable<bool> readMore(asio::ip::tcp::socket& s, std::string& into);
asio::awaitable<bool> writeAll(asio::ip::tcp::socket& s, std::string_view bytes);

// Up to size bytes `from` has, left in it; would_block when it has none.
std::size_t peekSome(asio::ip::tcp::socket& from, char* into, std::size_t size,
                     std::error_code& ec);
// What `to` takes of bytes now: 0 when it is full.
std::size_t writeNow(asio::ip::tcp::socket& to, const char* bytes, std::size_t size,
                     std::error_code& ec);
// Takes size bytes that a peek has seen; into may be overwritten with them.
void takePeeked(asio::ip::tcp::socket& from, char* into, std::size_t size, std::error_code& ec);
