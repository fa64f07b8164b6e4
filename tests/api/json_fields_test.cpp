#include "api/json_fields.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::size_t npos = std::string::npos;

TEST(ExtractNextString, PositionAfterEachCallSuccessOrFailure) {
    // Values walked in order; the position rests on the closing quote.
    const std::string text = R"([{"code":"US"},{"code":"DE"}])";
    std::size_t position = 0;
    EXPECT_EQ(extractNextString(text, "code", position), "US");
    EXPECT_EQ(position, text.find("US") + 2);
    EXPECT_EQ(extractNextString(text, "code", position), "DE");
    EXPECT_EQ(position, text.find("DE") + 2);
    EXPECT_EQ(extractNextString(text, "code", position), "");
    EXPECT_EQ(position, text.find("DE") + 2);
    // An empty value moves the position to its second quote.
    const std::string empty = R"({"code":"","x":"y"})";
    position = 0;
    EXPECT_EQ(extractNextString(empty, "code", position), "");
    EXPECT_EQ(position, empty.find(R"("",)") + 1);
    // Failures leave the position where it was; a start at or past the end
    // finds nothing and reads nothing past it.
    const std::string failures[] = {R"({"name":"x"})", R"({"code" "US"})", R"({"code": 5})",
                                    R"({"code":"US)", ""};
    for (const std::string& f : failures) {
        position = 0;
        EXPECT_EQ(extractNextString(f, "code", position), "") << f;
        EXPECT_EQ(position, 0u) << f;
    }
    const std::string us = R"({"code":"US"})";
    for (std::size_t start : {us.size(), us.size() + 5, npos}) {
        position = start;
        EXPECT_EQ(extractNextString(us, "code", position), "");
        EXPECT_EQ(position, start);
    }
}

TEST(ExtractNextString, ValueBytesAndKeyMatching) {
    const struct {
        std::string text, key, value;
    } cases[] = {
        {R"({"code":"  a b  "})", "code", "  a b  "},
        // An escaped quote ends the value: the backslash stays, the rest is lost.
        {R"({"code":"a\"b"})", "code", R"(a\)"},
        {"{\"code\":\"\xD0\xA0\xD0\xA4\"}", "code", "\xD0\xA0\xD0\xA4"},
        {"{\"code\" :\r\n\t\"NL\"}", "code", "NL"}, // line breaks before the value
        // The quote after the key is part of the pattern: not inside "country_code".
        {R"({"country_code":"US","country":"DE"})", "country", "DE"},
        // A value that is exactly the quoted key counts as the key.
        {R"({"kind":"code","id":"X1"})", "code", "X1"},
    };
    for (const auto& c : cases) {
        std::size_t position = 0;
        EXPECT_EQ(extractNextString(c.text, c.key, position), c.value) << c.text;
    }
}

TEST(ExtractValue, NumbersStringsEmptyAndFirstOccurrence) {
    const struct {
        std::string text, key, value;
    } cases[] = {
        // Numbers end at a comma or brace, keeping spaces; or run to the end.
        {R"({"port":1080,"ip":"h"})", "port", "1080"},
        {R"({"port":1080 })", "port", "1080 "},
        {R"({"port":"1080"})", "port", "1080"},
        {R"({"port": 1080)", "port", "1080"},
        {"{\"port\":\n1080\n}", "port", "\n1080\n"},
        // Strings lose only leading spaces and quotes, and end at a comma or quote.
        {R"({"ip":"a,b"})", "ip", "a"},
        {R"({"ip": " "x"})", "ip", "x"},
        {"{\"ip\":\t\"x\"}", "ip", "\t"}, // a tab is not skipped
        {R"({"password":"p\"q"})", "password", R"(p\)"},
        // Empty and absent.
        {R"({"username":"","password":"x"})", "username", ""},
        {R"({"ip":})", "ip", ""},
        {R"({"ip":)", "ip", ""},     // the colon is the last byte
        {R"({"ip":"   )", "ip", ""}, // only skipped bytes remain
        {R"({"ip" "x"})", "ip", ""}, // no colon anywhere after
        {"", "ip", ""},
        // The first occurrence wins, even as a value: then the next colon's
        // value is read, whoever's it is.
        {R"({"ip":"1.1.1.1","ip":"2.2.2.2"})", "ip", "1.1.1.1"},
        {R"({"country_code":"US","country":"DE"})", "country", "DE"},
        {R"({"name":"port","x":9})", "port", "9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(extractValue(c.text, c.key), c.value) << c.text;
}

TEST(ToIntOrZero, DecimalPrefixElseZero) {
    const struct {
        std::string text;
        int value;
    } cases[] = {
        {"1080 ", 1080},
        {"\n\t42", 42},
        {"-5", -5},
        {"+7", 7},
        {"007", 7},
        {"0x50", 0}, // hexadecimal is not read
        {"", 0},
        {"-", 0},
        {" + 5", 0},
        // Out of range is zero, also past 64 bits; the limits themselves are read.
        {"2147483648", 0},
        {"-2147483649", 0},
        {"99999999999999999999999", 0},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {std::string("12\00034", 5), 12}, // an embedded NUL ends the digits
    };
    for (const auto& c : cases)
        EXPECT_EQ(toIntOrZero(c.text), c.value) << c.text;
}

} // namespace
