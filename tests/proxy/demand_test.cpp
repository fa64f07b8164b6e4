// The demand for connections logged in ahead, as a table of moments.
#include "proxy/demand.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(Demand, FollowsTheBusiestSecondAndReadiesAPageAfterAPause) {
    const Demand::Clock::time_point t0{seconds(100000)};
    const struct {
        std::vector<milliseconds> requests; // after t0
        milliseconds at;                    // asked after t0
        std::size_t want;
    } cases[] = {
        {{}, milliseconds(0), 0}, // nobody asked yet
        {{milliseconds(0)}, milliseconds(500), 1},
        // A page: five in one second, then one alone: the burst's worth.
        {{milliseconds(0), milliseconds(100), milliseconds(200), milliseconds(300),
          milliseconds(400), milliseconds(5000)},
         milliseconds(6000),
         5},
        // Past quietAfter a page is over and one is kept; past keepFor none.
        {{milliseconds(0), milliseconds(100), milliseconds(200)}, milliseconds(5500), 1},
        {{milliseconds(0), milliseconds(100), milliseconds(200)}, milliseconds(60500), 0},
        // The next page's document, after the reader's pause: the last
        // hour's busiest second at once, before its subresources come, and
        // one again once that page is over.
        {{milliseconds(0), milliseconds(10), milliseconds(20), milliseconds(65000)},
         milliseconds(65100),
         3},
        {{milliseconds(0), milliseconds(10), milliseconds(20), milliseconds(65000)},
         milliseconds(70500),
         1},
        // Capped at mostReady.
        {std::vector<milliseconds>(40, milliseconds(0)), milliseconds(100), Demand::mostReady},
    };
    for (const auto& k : cases) {
        Demand d;
        for (const milliseconds r : k.requests)
            d.noteRequest(t0 + r);
        EXPECT_EQ(d.target(t0 + k.at), k.want) << k.requests.size() << " at " << k.at.count();
    }
}

} // namespace
