#include "app/settings.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

struct Flags {
    bool killSwitch;
    bool autostart;
};

Flags decode(const std::string& text, Flags start = {false, false}) {
    decodeSettings(text, start.killSwitch, start.autostart);
    return start;
}

// The reference: formatted boolean input of a standard stream with default
// settings, which the decoder must match byte for byte.
Flags streamDecode(const std::string& text, Flags start) {
    std::istringstream in(text);
    in >> start.killSwitch >> start.autostart;
    return start;
}

TEST(SettingsCodec, WritesThreeBytesForEachCombination) {
    EXPECT_EQ(encodeSettings(false, false), std::string("\x30\x20\x30", 3));
    EXPECT_EQ(encodeSettings(true, false), std::string("\x31\x20\x30", 3));
    EXPECT_EQ(encodeSettings(false, true), std::string("\x30\x20\x31", 3));
    EXPECT_EQ(encodeSettings(true, true), std::string("\x31\x20\x31", 3));
    for (bool k : {false, true})
        for (bool a : {false, true}) {
            const Flags back = decode(encodeSettings(k, a), {!k, !a});
            EXPECT_EQ(back.killSwitch, k);
            EXPECT_EQ(back.autostart, a);
        }
}

TEST(SettingsCodec, ReadsEveryRowOfTheRules) {
    struct Row {
        const char* text;
        Flags start;
        Flags expected;
    };
    const Row rows[] = {
        {"", {false, false}, {false, false}},                // empty: both unchanged
        {"", {true, true}, {true, true}},                    //
        {"1", {false, false}, {true, false}},                // single digit, then end
        {"1", {false, true}, {true, true}},                  // ... leaves autostart as it was
        {"1 ", {false, true}, {true, true}},                 // trailing space: still the end
        {"2 1", {false, false}, {true, false}},              // other value: on, and stops
        {"-1 1", {false, false}, {true, false}},             // negative: other value
        {"x 1", {true, true}, {false, true}},                // no digit: false, stops
        {"true 1", {true, true}, {false, true}},             // a word is no digit
        {"- 1", {true, true}, {false, true}},                // sign without digit
        {"-", {true, true}, {false, true}},                  // sign at the end
        {"1\n0", {false, true}, {true, false}},              // line end separates
        {"\t 0 \r\n\v\f 1  ", {true, false}, {false, true}}, // any whitespace
        {"01 00", {false, true}, {true, false}},             // leading zeros are decimal
        {"+1 -0", {false, true}, {true, false}},             // signs on 0 and 1
        {"1x", {false, true}, {true, false}},                // letter right after a value
        {"1 2", {false, false}, {true, true}},               // second other value
        {"0 1 junk", {true, false}, {false, true}},          // bytes after both ignored
        {"99999999999 1", {false, false}, {true, false}},    // out of range: on
        {"-99999999999 1", {false, false}, {true, false}},   //
        {"2147483647 0", {false, true}, {true, true}},       // in range, other value
        {"1.0 1", {false, false}, {true, false}},            // '.' is no digit
    };
    for (const Row& row : rows) {
        const Flags got = decode(row.text, row.start);
        EXPECT_EQ(got.killSwitch, row.expected.killSwitch) << '"' << row.text << '"';
        EXPECT_EQ(got.autostart, row.expected.autostart) << '"' << row.text << '"';
    }
}

TEST(SettingsCodec, MatchesStreamBooleanInput) {
    // Every short text over an alphabet that exercises each rule, from both
    // starting values, against the standard library's own reading.
    const std::string alphabet = "01 2-+x\n";
    std::string text;
    int compared = 0;
    auto visit = [&](auto& self, std::size_t length) -> void {
        for (Flags start : {Flags{false, false}, Flags{true, true}}) {
            const Flags want = streamDecode(text, start);
            const Flags got = decode(text, start);
            ASSERT_EQ(got.killSwitch, want.killSwitch) << '"' << text << '"';
            ASSERT_EQ(got.autostart, want.autostart) << '"' << text << '"';
            ++compared;
        }
        if (length == 5) return;
        for (char c : alphabet) {
            text.push_back(c);
            self(self, length + 1);
            text.pop_back();
        }
    };
    visit(visit, 0);
    EXPECT_GT(compared, 70000);
}

} // namespace
