// The settings text codec natively; the bytes on disk are checked by
// settings_file_test under Wine.
#include "app/settings.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

struct Flags {
    bool killSwitch;
    bool autostart;
    bool operator==(const Flags&) const = default;
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

TEST(SettingsCodec, ReadsTheRowsTheAlphabetBelowCannotReach) {
    // The table's rows are all covered by the comparison below, except these:
    // other whitespace, words, decimals and values past the 32-bit range.
    struct Row {
        const char* text;
        Flags start;
        Flags expected;
    };
    const Row rows[] = {
        {"\t 0 \r\n\v\f 1  ", {true, false}, {false, true}},
        {"true 1", {true, true}, {false, true}},
        {"1.0 1", {false, false}, {true, false}},
        {"99999999999 1", {false, false}, {true, false}},
        {"-99999999999 1", {false, false}, {true, false}},
        {"2147483647 0", {false, true}, {true, true}},
        {"00000000000000000000001 0", {false, true}, {true, false}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(decode(row.text, row.start), row.expected) << '"' << row.text << '"';
}

TEST(SettingsCodec, MatchesStreamBooleanInput) {
    // Every text of up to five bytes over an alphabet that reaches each rule
    // (empty file, one digit, other values, signs, letters, line ends), from
    // both starting values, against the standard library's own reading.
    const std::string alphabet = "01 2-+x\n";
    std::string text;
    int compared = 0;
    auto visit = [&](auto& self, std::size_t length) -> void {
        for (Flags start : {Flags{false, false}, Flags{true, true}}) {
            ASSERT_EQ(decode(text, start), streamDecode(text, start)) << '"' << text << '"';
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
