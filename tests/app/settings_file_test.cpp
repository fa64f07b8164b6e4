// The settings file under Windows file semantics: the bytes on disk, the
// atomic replacement, and the working directory as the only place looked at.
#include "app/settings.h"
#include "app/state.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <share.h>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::wstring makeTempFolder(const wchar_t* tag) {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring folder = std::wstring(base) + L"sovelin-settings-" + tag + L"-" +
                          std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(GetTickCount());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void removeFolder(const std::wstring& folder) {
    for (const char* name : {settingsFileName, settingsTempFileName}) {
        const std::string narrow(name);
        DeleteFileW((folder + L"\\" + std::wstring(narrow.begin(), narrow.end())).c_str());
    }
    RemoveDirectoryW(folder.c_str());
}

// Reads a file in the current folder in binary mode: the exact bytes.
bool readBytes(const char* name, std::string& bytes) {
    std::ifstream in(name, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

void writeBytes(const char* name, const std::string& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool exists(const char* name) {
    return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t previous[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, previous);
        previousFolder = previous;
        folder = makeTempFolder(L"a");
        ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
        setFlags(false, false);
    }
    void TearDown() override {
        SetCurrentDirectoryW(previousFolder.c_str());
        removeFolder(folder);
    }
    static void setFlags(bool killSwitch, bool autostart) {
        appState.killSwitchEnabled = killSwitch;
        appState.autostartEnabled = autostart;
    }
    std::wstring previousFolder;
    std::wstring folder;
};

TEST_F(SettingsFile, AbsentFileLeavesFlagsAndCreatesNothing) {
    loadSettings();
    EXPECT_FALSE(appState.killSwitchEnabled);
    EXPECT_FALSE(appState.autostartEnabled);
    EXPECT_FALSE(exists(settingsFileName));
    EXPECT_FALSE(exists(settingsTempFileName));
}

TEST_F(SettingsFile, SavesExactlyThreeBytesForEachCombination) {
    const struct {
        bool killSwitch, autostart;
        const char* bytes;
    } cases[] = {{true, false, "\x31\x20\x30"},
                 {false, true, "\x30\x20\x31"},
                 {true, true, "\x31\x20\x31"},
                 {false, false, "\x30\x20\x30"}};
    for (const auto& c : cases) {
        setFlags(c.killSwitch, c.autostart);
        saveSettings();
        std::string bytes;
        ASSERT_TRUE(readBytes(settingsFileName, bytes));
        EXPECT_EQ(bytes, std::string(c.bytes, 3));
        EXPECT_FALSE(exists(settingsTempFileName)) << "the temporary file stays behind";
        setFlags(!c.killSwitch, !c.autostart);
        loadSettings();
        EXPECT_EQ(appState.killSwitchEnabled, c.killSwitch);
        EXPECT_EQ(appState.autostartEnabled, c.autostart);
    }
}

TEST_F(SettingsFile, LoadsInTextModeWhileAnotherHandleHasItOpen) {
    writeBytes(settingsFileName, "1\r\n1");
    FILE* other = _fsopen(settingsFileName, "r+", _SH_DENYNO);
    ASSERT_NE(other, nullptr);
    loadSettings();
    std::fclose(other);
    EXPECT_TRUE(appState.killSwitchEnabled);
    EXPECT_TRUE(appState.autostartEnabled);
}

TEST_F(SettingsFile, LeftoverTemporaryNeverBreaksLoadingOrSaving) {
    writeBytes(settingsFileName, "0 1");
    writeBytes(settingsTempFileName, "1"); // an interrupted earlier save
    loadSettings();
    EXPECT_FALSE(appState.killSwitchEnabled);
    EXPECT_TRUE(appState.autostartEnabled);

    setFlags(true, true);
    saveSettings();
    std::string bytes;
    ASSERT_TRUE(readBytes(settingsFileName, bytes));
    EXPECT_EQ(bytes, "1 1");
    EXPECT_FALSE(exists(settingsTempFileName));
}

TEST_F(SettingsFile, FailedReplacementKeepsTheOldFileWhole) {
    writeBytes(settingsFileName, "0 1");
    // A reader that does not share deletion: the replacement cannot happen.
    HANDLE holder = CreateFileA(settingsFileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    setFlags(true, false);
    saveSettings();
    CloseHandle(holder);
    std::string bytes;
    ASSERT_TRUE(readBytes(settingsFileName, bytes));
    EXPECT_EQ(bytes, "0 1");
    EXPECT_FALSE(exists(settingsTempFileName));
}

TEST_F(SettingsFile, AnotherWorkingDirectoryNeitherFindsNorChangesIt) {
    setFlags(true, false);
    saveSettings();

    const std::wstring other = makeTempFolder(L"b");
    ASSERT_TRUE(SetCurrentDirectoryW(other.c_str()));
    setFlags(false, false);
    loadSettings();
    EXPECT_FALSE(appState.killSwitchEnabled);
    EXPECT_FALSE(appState.autostartEnabled);
    setFlags(false, true);
    saveSettings();
    std::string bytes;
    ASSERT_TRUE(readBytes(settingsFileName, bytes));
    EXPECT_EQ(bytes, "0 1");

    ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
    removeFolder(other);
    ASSERT_TRUE(readBytes(settingsFileName, bytes));
    EXPECT_EQ(bytes, "1 0");
}

} // namespace
