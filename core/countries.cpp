#include "core/countries.h"

namespace {

// The third stripe starts at 13, leaving row 12 of the flag unpainted.
constexpr FlagField de[] = {
    {0xFF000000, 0, 0, 30, 6}, {0xFFFF0000, 0, 6, 30, 6}, {0xFFFFCC00, 0, 13, 30, 6}};
constexpr FlagField nl[] = {
    {0xFFAE1C28, 0, 0, 30, 6}, {0xFFFFFFFF, 0, 6, 30, 6}, {0xFF21468B, 0, 13, 30, 6}};
constexpr FlagField fr[] = {
    {0xFF0055A4, 0, 0, 10, 20}, {0xFFFFFFFF, 10, 0, 10, 20}, {0xFFEF4135, 20, 0, 10, 20}};
// White, seven red lines at floor(20 i / 7), then the blue canton.
constexpr FlagField us[] = {
    {0xFFFFFFFF, 0, 0, 30, 20}, {0xFFBF0A30, 0, 0, 30, 1},  {0xFFBF0A30, 0, 2, 30, 1},
    {0xFFBF0A30, 0, 5, 30, 1},  {0xFFBF0A30, 0, 8, 30, 1},  {0xFFBF0A30, 0, 11, 30, 1},
    {0xFFBF0A30, 0, 14, 30, 1}, {0xFFBF0A30, 0, 17, 30, 1}, {0xFF002868, 0, 0, 15, 10}};
constexpr FlagField gb[] = {{0xFF00247D, 0, 0, 30, 20},
                            {0xFFFFFFFF, 13, 0, 4, 20},
                            {0xFFFFFFFF, 0, 8, 30, 4},
                            {0xFFCF142B, 14, 0, 2, 20},
                            {0xFFCF142B, 0, 9, 30, 2}};

template <std::size_t N> constexpr int count(const FlagField (&)[N]) {
    return static_cast<int>(N);
}

const Country countries[] = {
    {"US", "США", "Нью-Йорк • 95 мс", us, count(us)},
    {"DE", "Германия", "Франкфурт • 28 мс", de, count(de)},
    {"FR", "Франция", "Париж • 30 мс", fr, count(fr)},
    {"GB", "Великобритания", "Лондон • 35 мс", gb, count(gb)},
    {"NL", "Нидерланды", "Амстердам • 20 мс", nl, count(nl)},
    {"JP", "Япония", autoSubtitle, nullptr, 0},
};

} // namespace

const Country* findCountry(std::string_view code) {
    for (const Country& c : countries) {
        if (c.code == code) return &c;
    }
    return nullptr;
}
