// The upstream's replies in the order they come: its method choice, the
// RFC 1929 status, then the CONNECT reply, after which the bytes are the
// client's.
#include "feed.h"
#include "proxy/socks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    constexpr auto needMore = ParseStatus::NeedMore, complete = ParseStatus::Complete;
    for (std::size_t at = 0; at < 4 && at < size; at += 2) {
        const auto [status, second] = checkSplits(in.substr(at), needMore, [](std::string_view b) {
            std::uint8_t byte = 0;
            return std::tuple(parseTwoByteReply(b, byte), byte);
        });
        require(size - at < 2 ? status == needMore : status == complete && second == data[at + 1]);
    }
    const auto [status, length, code] =
        checkSplits(in.substr(std::min<std::size_t>(4, size)), needMore, [](std::string_view b) {
            std::size_t length = 0;
            std::uint8_t code = 0;
            return std::tuple(parseSocks5Reply(b, length, code), length, code);
        });
    if (status == complete) require(length >= 7 && length <= size - 4 && code == data[5]);
    return 0;
}
