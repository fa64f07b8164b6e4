// The catalogue walk, the name table and the whole-list publication, without
// the network (portable code, run natively and under Wine; order, duplicates,
// names and empty or error answers of a fetch are checked by locations_fetch_test).
#include "api/locations.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Codes = std::vector<std::string>;
using namespace std::string_literals;

TEST(LocationCodes, WalkEndsAtFirstEmptyCodeOrAtACut) {
    EXPECT_EQ(locationCodes(R"([{"code":"US"},{"code":""},{"code":"DE"}])"), (Codes{"US"}));
    // Each search starts at the previous closing quote: a number as code takes
    // the next member's name, and the walk goes on after it.
    EXPECT_EQ(locationCodes(R"([{"code":7,"name":"Paris"},{"ping":1,"code":"FR"}])"),
              (Codes{"name", "FR"}));
    // A truncated answer keeps the complete entries before the cut.
    EXPECT_EQ(locationCodes(R"([{"code":"US"},{"code":"D)"), (Codes{"US"}));
}

TEST(DisplayNames, TableMatchesExactTwoByteCodesOnly) {
    const char* const table[][2] = {{"US", "США"},        {"DE", "Германия"},
                                    {"FR", "Франция"},    {"GB", "Великобритания"},
                                    {"NL", "Нидерланды"}, {"JP", "Япония"}};
    for (const auto& row : table)
        EXPECT_STREQ(tableDisplayName(row[0]), row[1]);
    const std::string others[] = {"us", "Us", "RU", "USA", "U", "", " US", "UK", "US\0"s};
    for (const std::string& other : others)
        EXPECT_EQ(tableDisplayName(other), nullptr) << other;
}

TEST(PublishLocations, ReadersSeeOnlyWholeListsWhileWritersReplaceThem) {
    // Every entry carries its list's size and its index, so a reader can tell
    // a whole list from one caught half built.
    const auto marked = [](std::size_t size) {
        LocationList list;
        for (std::size_t i = 0; i < size; ++i)
            list.push_back(Location{std::to_string(size), std::to_wstring(i)});
        return list;
    };
    const auto isWhole = [](const LocationList& list) {
        for (std::size_t i = 0; i < list.size(); ++i)
            if (list[i].code != std::to_string(list.size()) ||
                list[i].displayName != std::to_wstring(i))
                return false;
        return true;
    };
    publishLocations(marked(0));
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0}, broken{0};
    std::vector<std::thread> threads;
    for (int r = 0; r < 3; ++r)
        threads.emplace_back([&] {
            for (; !stop.load(); ++reads) {
                const auto snapshot = currentLocations();
                broken += !snapshot || !isWhole(*snapshot);
            }
        });
    for (int w = 0; w < 2; ++w)
        threads.emplace_back([&, w] {
            for (int i = 0; i < 2000; ++i)
                publishLocations(marked((i * 7 + w) % 40));
        });
    threads[4].join();
    threads[3].join();
    // Let the readers overlap the writers for certain before stopping them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (reads.load() < 1000 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    stop.store(true);
    for (int r = 0; r < 3; ++r)
        threads[r].join();
    EXPECT_EQ(broken.load(), 0);
    EXPECT_GE(reads.load(), 1000);
    publishLocations(marked(3)); // the last store wins whole
    EXPECT_EQ(currentLocations()->size(), 3u);
    EXPECT_TRUE(isWhole(*currentLocations()));
}

} // namespace
