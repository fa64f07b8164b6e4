// The settings text read as formatted boolean input with default stream
// settings; the bytes on disk are checked by settings_file_test under Wine.
#include "app/settings.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SettingsCodec, ReadsAsStreamBooleanInput) {
    // Start flags, text, flags after. A value not reached keeps its flag; no
    // digit reads false and stops; any other number reads true and stops.
    const struct {
        bool startKill, startAuto;
        std::string text;
        bool kill, autostart;
    } rows[] = {
        {true, true, "", true, true},
        {true, false, "\t 0 \r\n\v\f 1  ", false, true},
        {false, true, "1", true, true},
        {false, true, "+1 -0", true, false},
        {false, true, "00000000000000000000001 0", true, false},
        {true, true, "x 1", false, true},
        {false, false, "- 1", false, false},
        {false, false, "2 1", true, false},
        {false, false, "99999999999 1", true, false},
        {false, false, "1.0 1", true, false},
    };
    for (const auto& row : rows) {
        bool kill = row.startKill, autostart = row.startAuto;
        decodeSettings(row.text, kill, autostart);
        EXPECT_EQ(kill, row.kill) << '"' << row.text << '"';
        EXPECT_EQ(autostart, row.autostart) << '"' << row.text << '"';
    }
}

} // namespace
