// The settings file under Windows file semantics: the exact bytes, reading
// beside another program's handle, and a replacement that never leaves a
// partial file.
#include "app/settings.h"
#include "core/state.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <share.h>
#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>

namespace {

// The exact bytes of a file in the working directory; "(absent)" when missing.
std::string readBytes(const char* name) {
    std::ifstream in(name, std::ios::binary);
    if (!in) return "(absent)";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const char* name, const std::string& bytes) {
    std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
}

void setFlags(bool killSwitch, bool autostart) {
    appState.killSwitchEnabled = killSwitch;
    appState.autostartEnabled = autostart;
}

// Each case in a working directory of its own: the file is kept there.
class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char base[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, previous);
        GetTempPathA(MAX_PATH, base);
        folder = std::string(base) + "sovelin-settings-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(folder.c_str(), nullptr);
        ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
    }
    void TearDown() override {
        for (const char* name : {settingsFileName, settingsTempFileName})
            DeleteFileA(name);
        SetCurrentDirectoryA(previous);
        RemoveDirectoryA(folder.c_str());
    }
    char previous[MAX_PATH];
    std::string folder;
};

TEST_F(SettingsFile, SavesThreeBytesAndLoadsThemBesideAnotherHandle) {
    for (auto [killSwitch, autostart, bytes] :
         {std::tuple{true, false, "1 0"}, std::tuple{false, true, "0 1"}}) {
        setFlags(killSwitch, autostart);
        saveSettings();
        EXPECT_EQ(readBytes(settingsFileName), bytes);
        EXPECT_EQ(readBytes(settingsTempFileName), "(absent)");
        setFlags(!killSwitch, !autostart);
        FILE* other = _fsopen(settingsFileName, "r+", _SH_DENYNO); // another program writes it
        ASSERT_NE(other, nullptr);
        loadSettings();
        std::fclose(other);
        EXPECT_EQ(std::tie(appState.killSwitchEnabled, appState.autostartEnabled),
                  std::tie(killSwitch, autostart));
    }
}

TEST_F(SettingsFile, LeftoverTemporaryOrFailedReplacementKeepTheFileWhole) {
    writeBytes(settingsFileName, "0 1");
    writeBytes(settingsTempFileName, "1"); // an interrupted earlier save
    setFlags(true, true);
    saveSettings();
    EXPECT_EQ(readBytes(settingsFileName), "1 1");
    EXPECT_EQ(readBytes(settingsTempFileName), "(absent)");

    // A reader that does not share deletion: the replacement cannot happen.
    HANDLE holder = CreateFileA(settingsFileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    setFlags(true, false);
    saveSettings();
    CloseHandle(holder);
    EXPECT_EQ(readBytes(settingsFileName), "1 1");
    EXPECT_EQ(readBytes(settingsTempFileName), "(absent)");
}

} // namespace
