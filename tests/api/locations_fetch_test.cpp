// Readers of the catalogue while fetches replace it, under Wine against the stand-in.
#include "api/locations.h"
#include "service_stand_in.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class FetchLocations : public ::testing::Test {
  protected:
    void SetUp() override {
        useTrustedStandIn(service);
        appState.mainWindow.store(nullptr); // the repaint request must cope
    }
    void serve(const std::string& body) {
        ASSERT_TRUE(writeStateFile(service, "locations.body", body));
    }
    StandIn service;
};

std::vector<std::string> codesOf(const LocationList& list) {
    std::vector<std::string> codes;
    for (const Location& l : list)
        codes.push_back(l.code);
    return codes;
}

TEST_F(FetchLocations, ReadersNeverSeeAHalfBuiltList) {
    // Two catalogues of one code each and of different sizes; every snapshot a
    // reader takes must be one of them whole, names built (or the empty start).
    const auto catalogue = [](const std::string& code, int n) {
        std::string body = "[";
        for (int i = 0; i < n; ++i)
            body += (i ? R"(,{"code":")" : R"({"code":")") + code + "\"}";
        return body + "]";
    };
    const auto whole = [](const LocationList& l) {
        const std::size_t n = l.size(), nameSize = n == 2 ? 8 : 7; // Германия, Франция
        return n == 0 || ((n == 2 || n == 61) && l.back().displayName.size() == nameSize &&
                          codesOf(l) == std::vector<std::string>(n, n == 2 ? "DE" : "FR"));
    };
    const std::string small = catalogue("DE", 2), large = catalogue("FR", 61);
    publishLocations({});
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0}, broken{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            for (; !stop.load(); ++reads)
                broken += !whole(*currentLocations());
        });
    int fetches = 0;
    for (const auto deadline = Clock::now() + 60s; fetches < 20 && Clock::now() < deadline;
         ++fetches) {
        serve(fetches % 2 ? small : large);
        startLocationFetch(service.api()); // two overlapping fetches: one on a worker, one here
        fetchLocations(service.api());
    }
    // Keep reading until the last worker's request has been answered.
    for (const auto settle = Clock::now() + 10s;
         recordedRequests(service).size() < 2u * fetches && Clock::now() < settle;)
        std::this_thread::sleep_for(20ms);
    stop.store(true);
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(fetches, 20);
    EXPECT_EQ(broken.load(), 0);
    EXPECT_GT(reads.load(), 1000);
    const std::size_t last = currentLocations()->size();
    EXPECT_TRUE(last == 2 || last == 61) << last;
}

} // namespace
