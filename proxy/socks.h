// SOCKS message building and parsing (RFC 1928 SOCKS5, RFC 1929
// user name/password, and the SOCKS4/4a request form). Pure byte work: no
// sockets, so every message can be checked byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Upper bound of one handshake message held while it is being completed; a
// peer that sends more without completing one is dropped.
inline constexpr std::size_t handshakeLimit = 8192;

enum class ParseStatus { NeedMore, Malformed, Complete };

// RFC 1928 section 3: VER 5, NMETHODS 2, methods 0x00 (none) and 0x02
// (user name/password).
inline constexpr std::string_view upstreamMethodOffer{"\x05\x02\x00\x02", 4};
// Our answer to a local SOCKS5 greeting: no authentication required.
inline constexpr std::string_view clientMethodReply{"\x05\x00", 2};
// SOCKS4 replies: VN 0, CD 90 (granted) or 91 (rejected), port and address 0.
inline constexpr std::string_view socks4Granted{"\x00\x5a\x00\x00\x00\x00\x00\x00", 8};
inline constexpr std::string_view socks4Rejected{"\x00\x5b\x00\x00\x00\x00\x00\x00", 8};
// RFC 1928 section 6: REP 1, general SOCKS server failure, for a SOCKS5
// client whose request could not go upstream (no upstream, or it let us not in).
inline constexpr std::string_view socks5Failure{"\x05\x01\x00\x01\x00\x00\x00\x00\x00\x00", 10};

inline constexpr std::uint8_t methodNone = 0x00;
inline constexpr std::uint8_t methodUserPassword = 0x02;

// Length of the local SOCKS5 greeting (VER NMETHODS METHODS...) at the start
// of in; NeedMore until all NMETHODS bytes are there.
ParseStatus parseSocks5Greeting(std::string_view in, std::size_t& length);

// A two-byte reply (method selection, RFC 1928 section 3, or the RFC 1929
// status): its second byte. NeedMore below two bytes.
ParseStatus parseTwoByteReply(std::string_view in, std::uint8_t& second);

// RFC 1929 section 2: 01 ULEN UNAME PLEN PASSWD. false, with out untouched,
// when either text is longer than 255 bytes (its length would not fit).
bool buildUserPasswordRequest(std::string_view user, std::string_view password, std::string& out);

struct Socks4Request {
    std::uint8_t command = 0; // CD: 1 CONNECT, 2 BIND
    std::uint8_t port[2] = {};
    std::uint8_t address[4] = {};
    std::string host;       // SOCKS4a: the name after USERID; empty for SOCKS4
    std::size_t length = 0; // bytes the request took, USERID and host included
};

// VN 4, CD, DSTPORT, DSTIP, USERID, NUL; and when DSTIP is 0.0.0.x with x
// not 0 (SOCKS4a), the host name and its NUL. NeedMore until the last NUL.
// Malformed when VN is not 4 or a SOCKS4a name is empty or over 255 bytes.
ParseStatus parseSocks4Request(std::string_view in, Socks4Request& out);

inline constexpr std::uint8_t atypIPv4 = 0x01, atypName = 0x03, atypIPv6 = 0x04;

// A SOCKS5 CONNECT (RFC 1928 section 4): VER 5, CMD 1, RSV 0, ATYP and its
// address (the bytes of an IP address, or a name of 1 to 255 bytes, whose
// length byte is added here), DST.PORT in network order.
std::string buildSocks5Connect(std::uint8_t atyp, std::string_view address, std::uint16_t port);

// The SOCKS5 CONNECT for a SOCKS4 request: ATYP 0x01 with DSTIP, or for
// SOCKS4a ATYP 0x03 with the host name.
std::string buildSocks5Connect(const Socks4Request& request);

// A SOCKS5 request (RFC 1928 section 4: VER 5, CMD, RSV, ATYP, DST.ADDR,
// DST.PORT): its whole length. Malformed when VER is not 5 or ATYP unknown.
ParseStatus parseSocks5Request(std::string_view in, std::size_t& length);

// A SOCKS5 reply (RFC 1928 section 6): its whole length from ATYP and its REP.
// Malformed for an unknown ATYP.
ParseStatus parseSocks5Reply(std::string_view in, std::size_t& length, std::uint8_t& reply);
