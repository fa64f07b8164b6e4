// The settings file under Windows file semantics: the bytes on disk, the
// atomic replacement, and the working directory as the only place looked at.
#include "app/settings.h"
#include "core/state.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <share.h>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string makeTempFolder(const char* tag) {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    const std::string folder = std::string(base) + "sovelin-settings-" + tag + "-" +
                               std::to_string(GetCurrentProcessId()) + "-" +
                               std::to_string(GetTickCount());
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

void removeFolder(const std::string& folder) {
    for (const char* name : {settingsFileName, settingsTempFileName})
        DeleteFileA((folder + "\\" + name).c_str());
    RemoveDirectoryA(folder.c_str());
}

// The exact bytes of a file in the current folder; "(absent)" when missing.
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

void expectFlags(bool killSwitch, bool autostart) {
    EXPECT_EQ(appState.killSwitchEnabled, killSwitch);
    EXPECT_EQ(appState.autostartEnabled, autostart);
}

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char previous[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, previous);
        previousFolder = previous;
        folder = makeTempFolder("a");
        ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
        setFlags(false, false);
    }
    void TearDown() override {
        SetCurrentDirectoryA(previousFolder.c_str());
        removeFolder(folder);
    }
    std::string previousFolder, folder;
};

TEST_F(SettingsFile, SavesExactlyThreeBytesForEachCombination) {
    for (auto [killSwitch, autostart, bytes] :
         {std::tuple{true, false, "\x31\x20\x30"}, std::tuple{false, true, "\x30\x20\x31"},
          std::tuple{true, true, "\x31\x20\x31"}, std::tuple{false, false, "\x30\x20\x30"}}) {
        setFlags(killSwitch, autostart);
        saveSettings();
        EXPECT_EQ(readBytes(settingsFileName), std::string(bytes, 3));
        EXPECT_EQ(readBytes(settingsTempFileName), "(absent)") << "the temporary file stays";
        setFlags(!killSwitch, !autostart);
        loadSettings();
        expectFlags(killSwitch, autostart);
    }
}

TEST_F(SettingsFile, LoadsInTextModeWhileAnotherHandleHasItOpen) {
    writeBytes(settingsFileName, "1\r\n1");
    FILE* other = _fsopen(settingsFileName, "r+", _SH_DENYNO);
    ASSERT_NE(other, nullptr);
    loadSettings();
    std::fclose(other);
    expectFlags(true, true);
}

TEST_F(SettingsFile, LeftoverTemporaryOrFailedReplacementKeepTheFileWhole) {
    writeBytes(settingsFileName, "0 1");
    writeBytes(settingsTempFileName, "1"); // an interrupted earlier save
    loadSettings();
    expectFlags(false, true);
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

TEST_F(SettingsFile, AnotherWorkingDirectoryNeitherFindsNorChangesIt) {
    setFlags(true, false);
    saveSettings();

    // Nothing there: the flags stay as they were and nothing is created.
    const std::string other = makeTempFolder("b");
    ASSERT_TRUE(SetCurrentDirectoryA(other.c_str()));
    setFlags(false, false);
    loadSettings();
    expectFlags(false, false);
    EXPECT_EQ(readBytes(settingsFileName), "(absent)");
    EXPECT_EQ(readBytes(settingsTempFileName), "(absent)");
    setFlags(false, true);
    saveSettings();
    EXPECT_EQ(readBytes(settingsFileName), "0 1");

    ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
    removeFolder(other);
    EXPECT_EQ(readBytes(settingsFileName), "1 0");
}

} // namespace
