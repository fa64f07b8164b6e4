// The client's diary, for a user who saw "Connection Failed" and a person
// helping them: one small file beside settings.dat. Callers never pass it a
// password or a user name.
#pragma once

#include <cstdint>
#include <string_view>

inline constexpr const char* logFileName = "sovelin.log";
inline constexpr const char* previousLogFileName = "sovelin.log.1";
inline constexpr std::uintmax_t logFileCap = 1024 * 1024;

// One line, with the time (UTC), appended to sovelin.log in the working
// directory; line breaks and other control bytes in text are escaped. From any thread; never throws; a file that cannot be written
// loses the line.
void logLine(std::string_view text) noexcept;

// What logLine does, without its lock: the line goes into `path`, which is
// first moved over `previousPath` when the line would take it past `cap`.
void appendLogLine(const char* path, const char* previousPath, std::uintmax_t cap,
                   std::string_view text) noexcept;
