// The product's own httpGet (sovelin_win), built with the windows preset's
// API host and port, reaches the stand-in listening there.
#include "api/http.h"
#include "service_stand_in.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(HttpBuildSetting, ProductTransportUsesTheConfiguredHostAndPort) {
    const StandIn service = trustedStandIn();
    ASSERT_EQ(service.port, SOVELIN_TEST_EXPECTED_PORT);
    resetStandIn(service);
    const std::string body = R"({"code":"JP"})";
    ASSERT_TRUE(writeStateFile(service, "locations.body", body));
    EXPECT_EQ(httpGet(L"/api/get_locations.php"), body);
    const auto requests = recordedRequests(service);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].find("[\"Host\", \"" SOVELIN_TEST_EXPECTED_HOST ":" +
                               std::to_string(SOVELIN_TEST_EXPECTED_PORT) + "\"]"),
              std::string::npos)
        << requests[0];
}

} // namespace
