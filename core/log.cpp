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

// Texts from outside (the service's answer, host names, error texts) reach
// the log: control bytes, and the Unicode line breaks NEL, LS and PS, are
// written as \xNN escapes, so one event is always one line and nobody can
// forge another.
std::string oneLine(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    const auto escape = [&](std::string_view bytes) {
        for (const char c : bytes) {
            const auto u = static_cast<unsigned char>(c);
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 0x0f];
        }
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (u < 0x20 || u == 0x7f) {
            escape(text.substr(i, 1));
        } else if (text.substr(i, 2) == "\xc2\x85") {
            escape(text.substr(i++, 2));
        } else if (text.substr(i, 3) == "\xe2\x80\xa8" || text.substr(i, 3) == "\xe2\x80\xa9") {
            escape(text.substr(i, 3));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

void appendLogLine(const char* path, const char* previousPath, std::uintmax_t cap,
                   std::string_view text) noexcept {
    try {
        const std::string line = timeStamp() + oneLine(text) + "\n";
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
