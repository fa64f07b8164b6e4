// The log file at its cap: one previous copy, nothing older, under both C
// runtimes (Windows' does not rename over an existing file).
#include "core/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string contents(const char* path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Log, KeepsOnePreviousCopyAtTheCap) {
    const char* path = "log_test.log";
    const char* previous = "log_test.log.1";
    std::remove(path);
    std::remove(previous);
    // Lines of about 33 bytes, twelve to a file of 400: two moves.
    for (int i = 10; i < 40; ++i)
        appendLogLine(path, previous, 400, "line " + std::to_string(i));
    const std::string now = contents(path), before = contents(previous);
    EXPECT_NE(now.find("Z line 39\n"), std::string::npos) << now;
    EXPECT_NE(before.find("line 27\n"), std::string::npos) << before;
    EXPECT_EQ((before + now).find("line 10\n"), std::string::npos);
    for (const char* file : {path, previous}) {
        std::ifstream in(file, std::ios::binary | std::ios::ate);
        EXPECT_LE(in.tellg(), 400) << file;
    }
    std::remove(path);
    std::remove(previous);
}

TEST(Log, OneEventIsOneLineWhateverItsText) {
    const char* path = "log_test_forged.log";
    std::remove(path);
    // A service answer whose "ip" carries a line break and a forged entry.
    appendLogLine(path, "log_test_forged.log.1", 4096,
                  "connect: 1.2.3.4\n2026-01-01 00:00:00.000Z exit\r\t\x7f\xc2\x85\xe2\x80\xa8 "
                  "\xd0\x9c");
    const std::string text = contents(path);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("1.2.3.4\\x0a2026-01-01 00:00:00.000Z exit\\x0d\\x09\\x7f\\xc2\\x85"
                        "\\xe2\\x80\\xa8 \xd0\x9c\n"),
              std::string::npos)
        << text;
    std::remove(path);
}

} // namespace
