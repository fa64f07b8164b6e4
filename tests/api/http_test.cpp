// httpGet under Wine against the service stand-in (tools/service), over real
// TLS with the test CA trusted in the prefix.
#include "api/http.h"
#include "service_stand_in.h"

#include <gtest/gtest.h>

#include <winsock2.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

class HttpGet : public ::testing::Test {
  protected:
    void SetUp() override { useTrustedStandIn(service); }
    StandIn service;
};

TEST_F(HttpGet, SendsTheExactRequest) {
    const std::string body = R"({"ip":"10.1.2.3","port":1080})";
    ASSERT_TRUE(writeStateFile(service, "connection.body", body));
    EXPECT_EQ(httpGet(service.api(), L"/api/get_connection.php?nocache=42&country=US&location=US"),
              body);
    const auto requests = recordedRequests(service);
    ASSERT_EQ(requests.size(), 1u);
    const std::string& r = requests[0];
    EXPECT_EQ(countOf(r, R"("method": "GET")"), 1) << r;
    EXPECT_EQ(countOf(r, R"("path": "/api/get_connection.php?nocache=42&country=US&location=US")"),
              1)
        << r;
    // Each header exactly once, with exactly this value.
    for (const char* name : {"User-Agent", "Cache-Control", "Pragma"})
        EXPECT_EQ(countOf(r, name), 1) << name << r;
    EXPECT_EQ(countOf(r, R"(["User-Agent", "Sovelin_Win/1.0"])"), 1) << r;
    EXPECT_EQ(countOf(r, R"(["Cache-Control", "no-cache"])"), 1) << r;
    EXPECT_EQ(countOf(r, R"(["Pragma", "no-cache"])"), 1) << r;
}

TEST_F(HttpGet, ReturnsTheBodyByteForByteWholeOrInChunks) {
    // Every byte value including NULs, and a body long enough for several reads.
    std::string body("\0\0{\"code\":\"US\"}\0", 17);
    for (int i = 0; body.size() < 300000; ++i) {
        for (int c = 0; c < 256; ++c)
            body.push_back(static_cast<char>(c));
        body += std::to_string(i);
    }
    ASSERT_TRUE(writeStateFile(service, "locations.body", body));
    for (const char* mode : {"", "chunks=25 gap=0.02"}) {
        ASSERT_TRUE(writeStateFile(service, "locations.mode", mode));
        const std::string got = httpGet(service.api(), L"/api/get_locations.php");
        EXPECT_EQ(got.size(), body.size()) << mode;
        EXPECT_TRUE(got == body) << mode;
    }
    // An empty body, plain and chunked.
    ASSERT_TRUE(writeStateFile(service, "locations.body", ""));
    EXPECT_EQ(httpGet(service.api(), L"/api/get_locations.php"), "");
    ASSERT_TRUE(writeStateFile(service, "locations.mode", ""));
    EXPECT_EQ(httpGet(service.api(), L"/api/get_locations.php"), "");
}

TEST_F(HttpGet, UnreachablePortAndUntrustedCertificateGiveEmptyBody) {
    // A loopback port that was free a moment ago and that nothing listens on.
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), length), 0);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(s);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(httpGet({L"localhost", ntohs(address.sin_port)}, L"/api/get_locations.php"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

    const StandIn untrusted = untrustedStandIn();
    ASSERT_GT(untrusted.port, 0);
    resetStandIn(untrusted);
    EXPECT_EQ(httpGet(untrusted.api(), L"/api/get_locations.php"), "");
    // The handshake was refused, so no request reached the server.
    EXPECT_TRUE(recordedRequests(untrusted).empty());
    // And the next call, on a good port again, still works.
    EXPECT_FALSE(httpGet(service.api(), L"/api/get_locations.php").empty());
}

} // namespace
