// The SOCKS front: a local client's SOCKS5 greeting and request, or its
// SOCKS4/4a request, whatever the bytes and however they arrive.
#include "feed.h"
#include "proxy/socks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    constexpr auto needMore = ParseStatus::NeedMore, complete = ParseStatus::Complete;
    const auto [greeting, n] = checkSplits(in, needMore, [](std::string_view b) {
        std::size_t length = 0;
        return std::tuple(parseSocks5Greeting(b, length), length);
    });
    if (greeting == complete) {
        require(n <= size && n == 2u + data[1]);
        // The request is read from what follows the greeting.
        const std::string_view rest = in.substr(n);
        const auto [request, m] = checkSplits(rest, needMore, [](std::string_view b) {
            std::size_t length = 0;
            return std::tuple(parseSocks5Request(b, length), length);
        });
        require(request != complete || m <= rest.size());
        // A CONNECT built again from its fields is the same bytes.
        if (request == complete && rest[1] == 1 && rest[2] == 0) {
            const auto atyp = static_cast<std::uint8_t>(rest[3]);
            const std::size_t at = atyp == atypName ? 5 : 4;
            const auto port = static_cast<std::uint16_t>(data[n + m - 2] << 8 | data[n + m - 1]);
            require(buildSocks5Connect(atyp, rest.substr(at, m - at - 2), port) ==
                    rest.substr(0, m));
        }
    }
    // SOCKS4/4a: it ends at a NUL within the input, and the CONNECT that
    // carries it upstream parses back whole.
    const auto [socks4, connect, length] = checkSplits(in, needMore, [](std::string_view b) {
        Socks4Request r;
        const ParseStatus status = parseSocks4Request(b, r);
        return std::tuple(status, status == ParseStatus::Complete ? buildSocks5Connect(r) : "",
                          r.length);
    });
    std::size_t back = 0;
    if (socks4 == complete)
        require(length <= size && in[length - 1] == '\0' &&
                parseSocks5Request(connect, back) == complete && back == connect.size());
    return 0;
}
