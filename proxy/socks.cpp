#include "proxy/socks.h"

#include <utility>

namespace {

std::uint8_t byteAt(std::string_view in, std::size_t i) {
    return static_cast<std::uint8_t>(in[i]);
}

} // namespace

ParseStatus parseSocks5Greeting(std::string_view in, std::size_t& length) {
    if (in.size() < 2) return ParseStatus::NeedMore;
    if (byteAt(in, 0) != 0x05) return ParseStatus::Malformed;
    std::size_t total = 2 + byteAt(in, 1);
    if (in.size() < total) return ParseStatus::NeedMore;
    length = total;
    return ParseStatus::Complete;
}

ParseStatus parseTwoByteReply(std::string_view in, std::uint8_t& second) {
    if (in.size() < 2) return ParseStatus::NeedMore;
    second = byteAt(in, 1);
    return ParseStatus::Complete;
}

bool buildUserPasswordRequest(std::string_view user, std::string_view password, std::string& out) {
    if (user.size() > 255 || password.size() > 255) return false;
    out.clear();
    out.reserve(3 + user.size() + password.size());
    out.push_back('\x01');
    out.push_back(static_cast<char>(user.size()));
    out.append(user);
    out.push_back(static_cast<char>(password.size()));
    out.append(password);
    return true;
}

ParseStatus parseSocks4Request(std::string_view in, Socks4Request& out) {
    if (in.empty()) return ParseStatus::NeedMore;
    if (byteAt(in, 0) != 0x04) return ParseStatus::Malformed;
    if (in.size() < 8) return ParseStatus::NeedMore;
    std::size_t userEnd = in.find('\0', 8);
    if (userEnd == std::string_view::npos) return ParseStatus::NeedMore;
    Socks4Request r;
    r.command = byteAt(in, 1);
    r.port[0] = byteAt(in, 2);
    r.port[1] = byteAt(in, 3);
    for (int i = 0; i < 4; ++i)
        r.address[i] = byteAt(in, 4 + static_cast<std::size_t>(i));
    r.length = userEnd + 1;
    bool socks4a = r.address[0] == 0 && r.address[1] == 0 && r.address[2] == 0 && r.address[3] != 0;
    if (socks4a) {
        std::size_t hostEnd = in.find('\0', r.length);
        if (hostEnd == std::string_view::npos) {
            // A name longer than SOCKS5 can carry will not become valid later.
            return in.size() - r.length > 255 ? ParseStatus::Malformed : ParseStatus::NeedMore;
        }
        r.host = std::string(in.substr(r.length, hostEnd - r.length));
        if (r.host.empty() || r.host.size() > 255) return ParseStatus::Malformed;
        r.length = hostEnd + 1;
    }
    out = std::move(r);
    return ParseStatus::Complete;
}

std::string buildSocks5Connect(std::uint8_t atyp, std::string_view address, std::uint16_t port) {
    std::string out{"\x05\x01\x00", 3};
    out.push_back(static_cast<char>(atyp));
    if (atyp == atypName) out.push_back(static_cast<char>(address.size()));
    out.append(address);
    out.push_back(static_cast<char>(port >> 8));
    out.push_back(static_cast<char>(port & 0xff));
    return out;
}

std::string buildSocks5Connect(const Socks4Request& request) {
    const auto port = static_cast<std::uint16_t>(request.port[0] << 8 | request.port[1]);
    if (!request.host.empty()) return buildSocks5Connect(atypName, request.host, port);
    return buildSocks5Connect(
        atypIPv4, std::string_view(reinterpret_cast<const char*>(request.address), 4), port);
}

namespace {

// Requests and replies share one shape: VER, a code, RSV, ATYP, an address
// whose size follows ATYP, and a port.
ParseStatus socks5MessageLength(std::string_view in, std::size_t& length) {
    if (in.size() < 4) return ParseStatus::NeedMore;
    std::size_t total = 0;
    switch (byteAt(in, 3)) {
    case 0x01:
        total = 4 + 4 + 2;
        break;
    case 0x04:
        total = 4 + 16 + 2;
        break;
    case 0x03:
        if (in.size() < 5) return ParseStatus::NeedMore;
        total = 4 + 1 + byteAt(in, 4) + 2;
        break;
    default:
        return ParseStatus::Malformed;
    }
    if (in.size() < total) return ParseStatus::NeedMore;
    length = total;
    return ParseStatus::Complete;
}

} // namespace

ParseStatus parseSocks5Request(std::string_view in, std::size_t& length) {
    if (!in.empty() && byteAt(in, 0) != 0x05) return ParseStatus::Malformed;
    return socks5MessageLength(in, length);
}

ParseStatus parseSocks5Reply(std::string_view in, std::size_t& length, std::uint8_t& reply) {
    // VER REP RSV ATYP BND.ADDR BND.PORT
    const ParseStatus status = socks5MessageLength(in, length);
    if (status == ParseStatus::Complete) reply = byteAt(in, 1);
    return status;
}
