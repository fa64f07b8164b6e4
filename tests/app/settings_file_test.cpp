// Saving the settings under Windows file semantics: a replacement that never
// leaves a partial file (the bytes themselves are the e2e window scenario's).
#include "app/settings.h"
#include "core/state.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>

namespace {

// The exact bytes of a file in the working directory; "(absent)" when missing.
std::string readBytes(const char* name) {
    std::ifstream in(name, std::ios::binary);
    if (!in) return "(absent)";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(SettingsFile, LeftoverTemporaryOrFailedReplacementKeepTheFileWhole) {
    std::ofstream(settingsFileName, std::ios::binary | std::ios::trunc) << "0 1";
    std::ofstream(settingsTempFileName) << "1"; // an interrupted earlier save
    appState.killSwitchEnabled = appState.autostartEnabled = true;
    saveSettings();
    EXPECT_EQ(readBytes(settingsFileName), "1 1");
    EXPECT_EQ(readBytes(settingsTempFileName), "(absent)");

    // A reader that does not share deletion: the replacement cannot happen.
    HANDLE holder = CreateFileA(settingsFileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    appState.autostartEnabled = false;
    saveSettings();
    CloseHandle(holder);
    EXPECT_EQ(readBytes(settingsFileName), "1 1");
    EXPECT_EQ(readBytes(settingsTempFileName), "(absent)");
    DeleteFileA(settingsFileName);
}

} // namespace
