#include "api/json_fields.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::size_t npos = std::string::npos;

TEST(ExtractNextString, WalksValuesAndLeavesPositionOnClosingQuote) {
    const std::string text = R"([{"code":"US"},{"code":"DE"}])";
    std::size_t position = 0;
    EXPECT_EQ(extractNextString(text, "code", position), "US");
    EXPECT_EQ(position, text.find("US") + 2);
    EXPECT_EQ(text[position], '"');
    EXPECT_EQ(extractNextString(text, "code", position), "DE");
    const std::size_t afterSecond = position;
    EXPECT_EQ(afterSecond, text.find("DE") + 2);
    EXPECT_EQ(extractNextString(text, "code", position), "");
    EXPECT_EQ(position, afterSecond);
}

TEST(ExtractNextString, NonStringValueYieldsNextQuotedText) {
    const std::string text = R"({"code": 7, "name":"Berlin"})";
    std::size_t position = 0;
    EXPECT_EQ(extractNextString(text, "code", position), "name");
    EXPECT_EQ(position, text.find("name") + 4);
    // No further "code" after that position.
    EXPECT_EQ(extractNextString(text, "code", position), "");
}

TEST(ExtractNextString, EmptyValueMovesPositionToSecondQuote) {
    const std::string text = R"({"code":"","x":"y"})";
    std::size_t position = 0;
    EXPECT_EQ(extractNextString(text, "code", position), "");
    EXPECT_EQ(position, text.find(R"("",)") + 1);
}

TEST(ExtractNextString, FailuresLeavePositionUnchanged) {
    struct Case {
        const char* text;
        const char* why;
    };
    const Case cases[] = {
        {R"({"name":"x"})", "no key"},
        {R"({"code" "US"})", "no colon"},
        {R"({"code": 5})", "no opening quote after the colon"},
        {R"({"code":"US)", "no closing quote"},
        {"", "empty text"},
    };
    for (const Case& c : cases) {
        std::size_t position = 0;
        EXPECT_EQ(extractNextString(c.text, "code", position), "") << c.why;
        EXPECT_EQ(position, 0u) << c.why;
    }
    // A start at or past the end finds nothing and does not read past it.
    const std::string text = R"({"code":"US"})";
    for (std::size_t start : {text.size(), text.size() + 5, npos}) {
        std::size_t position = start;
        EXPECT_EQ(extractNextString(text, "code", position), "");
        EXPECT_EQ(position, start);
    }
}

TEST(ExtractNextString, BytesBetweenQuotesAreKeptAsIs) {
    std::size_t position = 0;
    EXPECT_EQ(extractNextString(R"({"code":"  a b  "})", "code", position), "  a b  ");
    position = 0;
    // An escaped quote ends the value: the backslash stays, the rest is lost.
    EXPECT_EQ(extractNextString(R"({"code":"a\"b"})", "code", position), R"(a\)");
    position = 0;
    const std::string utf8 = "{\"code\":\"\xD0\xA0\xD0\xA4\"}";
    EXPECT_EQ(extractNextString(utf8, "code", position), "\xD0\xA0\xD0\xA4");
    position = 0;
    // Line breaks between the colon and the value are crossed.
    EXPECT_EQ(extractNextString("{\"code\" :\r\n\t\"NL\"}", "code", position), "NL");
}

TEST(ExtractNextString, KeyMatchesOnlyWithItsQuotes) {
    std::size_t position = 0;
    // "country" is not inside "country_code": the quote after the key is part of the pattern.
    EXPECT_EQ(extractNextString(R"({"country_code":"US","country":"DE"})", "country", position),
              "DE");
    position = 0;
    // A value that is exactly the quoted key counts as the key: the next colon is
    // that of "id", so its value is read.
    EXPECT_EQ(extractNextString(R"({"kind":"code","id":"X1"})", "code", position), "X1");
}

TEST(ExtractValue, NumbersEndAtCommaOrBraceKeepingSpaces) {
    EXPECT_EQ(extractValue(R"({"port":1080,"ip":"h"})", "port"), "1080");
    EXPECT_EQ(extractValue(R"({"port":1080})", "port"), "1080");
    EXPECT_EQ(extractValue(R"({"port":1080 })", "port"), "1080 ");
    EXPECT_EQ(extractValue(R"({"port":"1080"})", "port"), "1080");
    EXPECT_EQ(extractValue(R"({"port": 1080)", "port"), "1080"); // runs to the end
    EXPECT_EQ(extractValue("{\"port\":\n1080\n}", "port"), "\n1080\n");
    EXPECT_EQ(extractValue(R"({"ok":true,"n":null})", "ok"), "true");
}

TEST(ExtractValue, StringsLoseOnlyLeadingSpacesAndQuotes) {
    EXPECT_EQ(extractValue(R"({"ip":"a,b"})", "ip"), "a");
    EXPECT_EQ(extractValue(R"({"ip":"  x"})", "ip"), "x");
    EXPECT_EQ(extractValue(R"({"ip": " "x"})", "ip"), "x");
    EXPECT_EQ(extractValue("{\"ip\":\t\"x\"}", "ip"), "\t"); // a tab is not skipped
    EXPECT_EQ(extractValue(R"({"password":"p\"q"})", "password"), R"(p\)");
    EXPECT_EQ(extractValue(R"({"ip":"10.0.0.1","port":1})", "ip"), "10.0.0.1");
}

TEST(ExtractValue, EmptyAndAbsent) {
    EXPECT_EQ(extractValue(R"({"username":"","password":"x"})", "username"), "");
    EXPECT_EQ(extractValue(R"({"ip":})", "ip"), "");
    EXPECT_EQ(extractValue(R"({"ip":)", "ip"), "");     // colon is the last byte
    EXPECT_EQ(extractValue(R"({"ip":"   )", "ip"), ""); // only skipped bytes remain
    EXPECT_EQ(extractValue(R"({"ip" "x"})", "ip"), ""); // no colon anywhere after
    EXPECT_EQ(extractValue(R"({"host":"x"})", "ip"), "");
    EXPECT_EQ(extractValue("", "ip"), "");
}

TEST(ExtractValue, FirstOccurrenceWinsEvenAsAValue) {
    EXPECT_EQ(extractValue(R"({"ip":"1.1.1.1","ip":"2.2.2.2"})", "ip"), "1.1.1.1");
    EXPECT_EQ(extractValue(R"({"country_code":"US","country":"DE"})", "country"), "DE");
    // "port" occurring as a value is found first; the value is read after the
    // next colon, whoever's it is.
    EXPECT_EQ(extractValue(R"({"name":"port","x":9})", "port"), "9");
    EXPECT_EQ(extractValue(R"({"name":"port","port":1080})", "port"), "1080");
}

TEST(ToIntOrZero, DecimalPrefixWithSignAndLeadingSpace) {
    EXPECT_EQ(toIntOrZero("1080"), 1080);
    EXPECT_EQ(toIntOrZero("1080 "), 1080);
    EXPECT_EQ(toIntOrZero("1080abc"), 1080);
    EXPECT_EQ(toIntOrZero("   42"), 42);
    EXPECT_EQ(toIntOrZero("\n\t42"), 42);
    EXPECT_EQ(toIntOrZero("-5"), -5);
    EXPECT_EQ(toIntOrZero("+7"), 7);
    EXPECT_EQ(toIntOrZero("007"), 7);
    EXPECT_EQ(toIntOrZero("0x50"), 0);
    EXPECT_EQ(toIntOrZero("12.9"), 12);
}

TEST(ToIntOrZero, NoDigitOrOutOfRangeIsZero) {
    EXPECT_EQ(toIntOrZero(""), 0);
    EXPECT_EQ(toIntOrZero("abc"), 0);
    EXPECT_EQ(toIntOrZero("-"), 0);
    EXPECT_EQ(toIntOrZero(" + 5"), 0);
    EXPECT_EQ(toIntOrZero("99999999999"), 0);
    EXPECT_EQ(toIntOrZero("2147483648"), 0);
    EXPECT_EQ(toIntOrZero("-2147483649"), 0);
    EXPECT_EQ(toIntOrZero("99999999999999999999999"), 0); // past 64 bits too
    EXPECT_EQ(toIntOrZero("2147483647"), 2147483647);
    EXPECT_EQ(toIntOrZero("-2147483648"), -2147483647 - 1);
    // The conversion stops at an embedded NUL like at any other non-digit.
    EXPECT_EQ(toIntOrZero(std::string("12\0"
                                      "34",
                                      5)),
              12);
}

} // namespace
