#include "core/log.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

std::string timeStamp() {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d.%03dZ ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

} // namespace

void appendLogLine(const char* path, const char* previousPath, std::uintmax_t cap,
                   std::string_view text) noexcept {
    try {
        const std::string line = timeStamp() + std::string(text) + "\n";
        // Text mode: Windows editors get their line ends.
        std::FILE* file = std::fopen(path, "a");
        if (!file) return;
        std::fseek(file, 0, SEEK_END);
        const long size = std::ftell(file);
        if (size > 0 && static_cast<std::uintmax_t>(size) + line.size() > cap) {
            std::fclose(file);
            // The C runtime of Windows does not rename over an existing file.
            std::remove(previousPath);
            std::rename(path, previousPath);
            file = std::fopen(path, "a");
            if (!file) return;
        }
        std::fwrite(line.data(), 1, line.size(), file);
        std::fclose(file);
    } catch (...) {
        // Out of memory for one line: the line is lost, the caller goes on.
    }
}

void logLine(std::string_view text) noexcept {
    try {
        // Never destroyed: a detached worker may still log while the process ends.
        static std::mutex& lock = *new std::mutex;
        const std::lock_guard<std::mutex> hold(lock);
        appendLogLine(logFileName, previousLogFileName, logFileCap, text);
    } catch (...) {
    }
}
