#include "proxy/socks.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

TEST(Socks, UserPasswordRequestLayoutAndLimits) {
    std::string out;
    ASSERT_TRUE(buildUserPasswordRequest(std::string(255, 'u'), "p", out));
    EXPECT_EQ(out.size(), 3u + 255 + 1);
    EXPECT_EQ(static_cast<unsigned char>(out[1]), 255);
    out = "kept";
    EXPECT_FALSE(buildUserPasswordRequest(std::string(256, 'u'), "p", out));
    EXPECT_FALSE(buildUserPasswordRequest("u", std::string(256, 'p'), out));
    EXPECT_EQ(out, "kept");
}

TEST(Socks, Socks4AndSocks4aBecomeSocks5Connects) {
    const std::string plain = "\x04\x01\x1f\x90\x0a\x00\x00\x02"s + "user\0"s + "extra";
    Socks4Request r;
    for (std::size_t n = 0; n < 13; ++n)
        EXPECT_EQ(parseSocks4Request(plain.substr(0, n), r), ParseStatus::NeedMore) << n;
    ASSERT_EQ(parseSocks4Request(plain, r), ParseStatus::Complete);
    EXPECT_EQ(r.length, 13u);
    EXPECT_EQ(r.command, 1);
    EXPECT_EQ(buildSocks5Connect(r), "\x05\x01\x00\x01\x0a\x00\x00\x02\x1f\x90"s);

    const std::string named = "\x04\x01\x00\x50\x00\x00\x00\x07"s + "\0"s + "host.test\0"s;
    EXPECT_EQ(parseSocks4Request(named.substr(0, named.size() - 1), r), ParseStatus::NeedMore);
    ASSERT_EQ(parseSocks4Request(named, r), ParseStatus::Complete);
    EXPECT_EQ(r.host, "host.test");
    EXPECT_EQ(r.length, named.size());
    EXPECT_EQ(buildSocks5Connect(r), "\x05\x01\x00\x03\x09"s + "host.test" + "\x00\x50"s);

    // 0.0.0.0 is a plain (if useless) address, not the SOCKS4a marker.
    ASSERT_EQ(parseSocks4Request("\x04\x02\x00\x50\x00\x00\x00\x00\x00"s, r),
              ParseStatus::Complete);
    EXPECT_TRUE(r.host.empty());
    EXPECT_EQ(r.command, 2);
    EXPECT_EQ(parseSocks4Request("\x04\x01\x00\x50\x00\x00\x00\x01\x00\x00"s, r),
              ParseStatus::Malformed);
    EXPECT_EQ(
        parseSocks4Request("\x04\x01\x00\x50\x00\x00\x00\x01\x00"s + std::string(256, 'h'), r),
        ParseStatus::Malformed);
    EXPECT_EQ(parseSocks4Request("\x05\x01"s, r), ParseStatus::Malformed);
}

TEST(Socks, Socks5ReplyLengthFollowsItsAddressType) {
    std::size_t length = 0;
    std::uint8_t rep = 0xff;
    EXPECT_EQ(parseSocks5Reply("\x05\x00\x00"s, length, rep), ParseStatus::NeedMore);
    EXPECT_EQ(parseSocks5Reply("\x05\x00\x00\x01\x7f\x00\x00\x01\x00"s, length, rep),
              ParseStatus::NeedMore);
    ASSERT_EQ(parseSocks5Reply("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50+OK"s, length, rep),
              ParseStatus::Complete);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(rep, 0);
    EXPECT_EQ(parseSocks5Reply("\x05\x00\x00\x03"s, length, rep), ParseStatus::NeedMore);
    ASSERT_EQ(parseSocks5Reply("\x05\x05\x00\x03\x02"s + "ab\x00\x50"s, length, rep),
              ParseStatus::Complete);
    EXPECT_EQ(length, 9u);
    EXPECT_EQ(rep, 5);
    ASSERT_EQ(parseSocks5Reply("\x05\x00\x00\x04"s + std::string(18, '\0'), length, rep),
              ParseStatus::Complete);
    EXPECT_EQ(length, 22u);
    EXPECT_EQ(parseSocks5Reply("\x05\x00\x00\x02\x00\x00"s, length, rep), ParseStatus::Malformed);
}
