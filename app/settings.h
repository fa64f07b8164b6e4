// The two preferences, kept in "settings.dat" in the working directory.
#pragma once

inline constexpr const char* settingsFileName = "settings.dat";

void saveSettings();
void loadSettings();
