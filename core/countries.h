// The one table of what the client knows per location code: the row title,
// the fixed subtitle and the flag's fields. The catalogue and the painters
// both read it.
#pragma once

#include <cstdint>
#include <string_view>

// One filled rectangle of a 30 x 20 flag, relative to its top-left corner.
struct FlagField {
    std::uint32_t colour; // ARGB
    int left, top, width, height;
};

struct Country {
    std::string_view code;   // exact two bytes, upper case
    const char* displayName; // UTF-8 row title
    const char* subtitle;    // UTF-8, fixed text; the figure is not measured
    const FlagField* flag;   // fields in drawing order; nullptr: the grey flag
    int flagFieldCount;
};

// The row of an exact, case-sensitive two-byte match, or nullptr.
const Country* findCountry(std::string_view code);

// The subtitle of a code without a row of its own, or without a city.
inline constexpr const char* autoSubtitle = "Авто • -- мс";
// The field of every flag the table does not draw.
inline constexpr FlagField greyFlag{0xFF505050, 0, 0, 30, 20};
