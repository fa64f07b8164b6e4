// The catalogue walk, the name table and the whole-list publication, without
// the network (portable code, run natively and under Wine).
#include "api/locations.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

// Stands in for utf8ToWide on any platform: one unit per byte, so a test sees
// which bytes the name came from.
std::wstring widenBytes(const std::string& text) {
    std::wstring wide;
    for (unsigned char c : text)
        wide.push_back(static_cast<wchar_t>(c));
    return wide;
}

using Codes = std::vector<std::string>;

TEST(LocationCodes, AnswerOrderWithDuplicatesUntilFirstEmptyCode) {
    EXPECT_EQ(locationCodes(R"([{"code":"US"},{"code":"DE"},{"code":"XX"},{"code":"US"}])"),
              (Codes{"US", "DE", "XX", "US"}));
    EXPECT_EQ(locationCodes(R"([{"code":"US"},{"code":""},{"code":"DE"}])"), (Codes{"US"}));
    EXPECT_EQ(locationCodes(""), Codes{});
    EXPECT_EQ(locationCodes("<html><body>404 Not Found</body></html>"), Codes{});
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
    for (const char* other : {"us", "Us", "RU", "USA", "U", "", " US", "UK"})
        EXPECT_EQ(tableDisplayName(other), nullptr) << other;
    EXPECT_EQ(tableDisplayName(std::string("US\0", 3)), nullptr);
}

TEST(BuildLocationList, NamesFromTableElseTheCodeItself) {
    const LocationList list = buildLocationList(
        R"([{"code":"US"},{"code":"us"},{"code":"RU"},{"code":"US"}])", widenBytes);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].code, "US");
    EXPECT_EQ(list[0].displayName, widenBytes("США"));
    EXPECT_EQ(list[1].code, "us");
    EXPECT_EQ(list[1].displayName, L"us");
    EXPECT_EQ(list[2].displayName, L"RU");
    EXPECT_EQ(list[3].code, "US");
    EXPECT_EQ(list[3].displayName, widenBytes("США"));
    EXPECT_TRUE(buildLocationList("", widenBytes).empty());
}

// A list whose every entry carries its own size, so a reader can tell a whole
// list from one caught half built.
LocationList markedList(std::size_t size) {
    LocationList list;
    for (std::size_t i = 0; i < size; ++i) {
        list.push_back(Location{std::to_string(size), std::to_wstring(i)});
    }
    return list;
}

bool isWhole(const LocationList& list) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i].code != std::to_string(list.size()) ||
            list[i].displayName != std::to_wstring(i))
            return false;
    }
    return true;
}

TEST(PublishLocations, ReadersSeeOnlyWholeListsWhileWritersReplaceThem) {
    publishLocations(markedList(0));
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0}, broken{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const auto snapshot = currentLocations();
                if (!snapshot || !isWhole(*snapshot)) broken.fetch_add(1);
                reads.fetch_add(1);
            }
        });
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([w] {
            for (int i = 0; i < 2000; ++i)
                publishLocations(markedList((i * 7 + w) % 40));
        });
    }
    for (auto& t : writers)
        t.join();
    // Let the readers overlap the writers for certain before stopping them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (reads.load() < 1000 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    stop.store(true);
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(broken.load(), 0);
    EXPECT_GE(reads.load(), 1000);
    // The last store wins whole.
    publishLocations(markedList(3));
    EXPECT_EQ(currentLocations()->size(), 3u);
    EXPECT_TRUE(isWhole(*currentLocations()));
}

} // namespace
