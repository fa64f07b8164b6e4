// The two preferences, kept in "settings.dat" in the working directory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

inline constexpr const char* settingsFileName = "settings.dat";
// Written first and then moved over settingsFileName, so an interrupted save
// never leaves a truncated file behind.
inline constexpr const char* settingsTempFileName = "settings.dat.tmp";

// Writes appState.killSwitchEnabled and appState.autostartEnabled (UI thread).
void saveSettings();
// Reads them back; an absent or unreadable file leaves both unchanged.
void loadSettings();

// Files beside settings.dat (Windows). `bytes` go to tempName, which then
// replaces name, so an interrupted write never leaves a truncated file;
// false when name was not replaced.
bool replaceFile(const char* name, const char* tempName, std::string_view bytes);
// The whole file as it is on disk; nullopt when missing or unreadable.
std::optional<std::string> readWholeFile(const char* name);
void removeFile(const char* name);

// The file's exact bytes: Kill Switch digit, a space, autostart digit
// ("1 0" when only Kill Switch is on); no line end.
std::string encodeSettings(bool killSwitch, bool autostart);

// Reads the two flags as formatted boolean input with default stream
// settings would: whitespace skipped before each value; 0 is false, 1 is
// true; no digit makes the flag false and any other value (also one out of
// the 32-bit range) makes it true, and either stops reading; a value not
// reached (end of text) leaves its flag unchanged.
void decodeSettings(std::string_view text, bool& killSwitch, bool& autostart);
