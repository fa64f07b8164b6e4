#include "app/settings.h"

#include <cstdint>
#include <optional>

std::string encodeSettings(bool killSwitch, bool autostart) {
    std::string bytes = "0 0";
    bytes[0] = killSwitch ? '1' : '0';
    bytes[2] = autostart ? '1' : '0';
    return bytes;
}

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

enum class ReadResult { Value, EndOfText, Stop };

// One formatted boolean read starting at `pos`. Sets `flag` unless the end of
// the text is reached before a value starts.
ReadResult readFlag(std::string_view text, std::size_t& pos, bool& flag) {
    while (pos < text.size() && isSpace(text[pos]))
        ++pos;
    if (pos >= text.size()) return ReadResult::EndOfText;

    bool negative = false;
    if (text[pos] == '+' || text[pos] == '-') {
        negative = text[pos] == '-';
        ++pos;
    }
    if (pos >= text.size() || !isDigit(text[pos])) {
        flag = false;
        return ReadResult::Stop;
    }
    // Saturating accumulation: any magnitude past the 32-bit range counts as
    // "out of range", however many digits follow.
    constexpr std::int64_t limit = std::int64_t{1} << 32;
    std::int64_t magnitude = 0;
    while (pos < text.size() && isDigit(text[pos])) {
        if (magnitude < limit) magnitude = magnitude * 10 + (text[pos] - '0');
        ++pos;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value == 0 || value == 1) {
        flag = value == 1;
        return ReadResult::Value;
    }
    flag = true; // any other value, in range or not
    return ReadResult::Stop;
}

} // namespace

void decodeSettings(std::string_view text, bool& killSwitch, bool& autostart) {
    std::size_t pos = 0;
    if (readFlag(text, pos, killSwitch) != ReadResult::Value) return;
    readFlag(text, pos, autostart);
}
