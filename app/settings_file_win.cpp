// The settings file on disk: shared-access C runtime streams, and an atomic
// replacement so that an interrupted save never truncates the kept file.
#include "app/settings.h"
#include "core/state.h"

#include <windows.h>

#include <share.h>
#include <cstdio>
#include <string>

namespace {

std::wstring wideName(const char* name) {
    return std::wstring(name, name + std::char_traits<char>::length(name));
}

} // namespace

bool replaceFile(const char* name, const char* tempName, std::string_view bytes) {
    FILE* file = _fsopen(tempName, "wb", _SH_DENYNO);
    if (!file) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    // Never replace the kept file with a partial one.
    if (written && closed &&
        MoveFileExW(wideName(tempName).c_str(), wideName(name).c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    DeleteFileW(wideName(tempName).c_str());
    return false;
}

std::optional<std::string> readWholeFile(const char* name) {
    FILE* file = _fsopen(name, "rb", _SH_DENYNO);
    if (!file) return std::nullopt;
    std::string bytes;
    char buffer[512];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return std::nullopt;
    return bytes;
}

void removeFile(const char* name) {
    DeleteFileW(wideName(name).c_str());
}

void saveSettings() {
    try {
        replaceFile(settingsFileName, settingsTempFileName,
                    encodeSettings(appState.killSwitchEnabled, appState.autostartEnabled));
    } catch (...) {
        // The preference then lives in memory only, as with an unwritable file.
    }
}

void loadSettings() {
    try {
        FILE* file = _fsopen(settingsFileName, "r", _SH_DENYNO);
        if (!file) return;
        // Text mode, as the file was always read: line ends are translated and
        // a Ctrl-Z ends the text. Read whole: whitespace of any length may
        // stand before a value.
        std::string text;
        char buffer[512];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
            text.append(buffer, got);
        }
        std::fclose(file);
        bool killSwitch = appState.killSwitchEnabled;
        decodeSettings(text, killSwitch, appState.autostartEnabled);
        appState.killSwitchEnabled = killSwitch;
    } catch (...) {
    }
}
