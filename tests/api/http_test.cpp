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
    void SetUp() override {
        service = trustedStandIn();
        ASSERT_GT(service.port, 0) << "run through tests/api/with-service.sh";
        resetStandIn(service);
        sovelinTestApiPort = service.port;
    }
    StandIn service;
};

std::string allByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<char>(i));
    return bytes;
}

TEST_F(HttpGet, SendsTheExactRequest) {
    const std::string body = R"({"ip":"10.1.2.3","port":1080})";
    ASSERT_TRUE(writeStateFile(service, "connection.body", body));
    EXPECT_EQ(httpGet(L"/api/get_connection.php?nocache=42&country=US&location=US"), body);

    const auto requests = recordedRequests(service);
    ASSERT_EQ(requests.size(), 1u);
    const std::string& r = requests[0];
    EXPECT_NE(r.find(R"("method": "GET")"), std::string::npos) << r;
    EXPECT_NE(r.find(R"("path": "/api/get_connection.php?nocache=42&country=US&location=US")"),
              std::string::npos)
        << r;
    EXPECT_EQ(countOf(r, R"(["User-Agent", "Sovelin_Win/1.0"])"), 1) << r;
    EXPECT_EQ(countOf(r, R"(["Cache-Control", "no-cache"])"), 1) << r;
    EXPECT_EQ(countOf(r, R"(["Pragma", "no-cache"])"), 1) << r;
    EXPECT_EQ(countOf(r, "User-Agent"), 1) << r;
    EXPECT_EQ(countOf(r, "Cache-Control"), 1) << r;
    EXPECT_EQ(countOf(r, "Pragma"), 1) << r;
}

TEST_F(HttpGet, ReturnsTheBodyByteForByte) {
    // Every byte value including NULs, and a body long enough for several reads.
    std::string body = allByteValues() + std::string("\0\0{\"code\":\"US\"}\0", 17);
    for (int i = 0; body.size() < 300000; ++i)
        body += allByteValues() + std::to_string(i);
    ASSERT_TRUE(writeStateFile(service, "locations.body", body));
    const std::string whole = httpGet(L"/api/get_locations.php");
    EXPECT_EQ(whole.size(), body.size());
    EXPECT_TRUE(whole == body);

    // The same body cut into many separately flushed chunks.
    ASSERT_TRUE(writeStateFile(service, "locations.mode", "chunks=25 gap=0.02"));
    const std::string chunked = httpGet(L"/api/get_locations.php");
    EXPECT_EQ(chunked.size(), body.size());
    EXPECT_TRUE(chunked == body);
}

TEST_F(HttpGet, ErrorStatusBodiesAreReturnedLikeAnyAnswer) {
    const std::string page = "<html><body>No such page</body></html>\n";
    ASSERT_TRUE(writeStateFile(service, "locations.body", page));
    ASSERT_TRUE(writeStateFile(service, "locations.mode", "status=404"));
    EXPECT_EQ(httpGet(L"/api/get_locations.php"), page);

    // The stand-in's own error page for a 500, sent in chunks.
    resetStandIn(service);
    ASSERT_TRUE(writeStateFile(service, "connection.mode", "status=500 chunks=3"));
    const std::string body = httpGet(L"/api/get_connection.php?nocache=1");
    EXPECT_NE(body.find("500 Internal Server Error"), std::string::npos) << body;
    EXPECT_EQ(body.substr(0, 6), "<html>");
}

TEST_F(HttpGet, EmptyAndSlowAnswers) {
    ASSERT_TRUE(writeStateFile(service, "locations.body", ""));
    EXPECT_EQ(httpGet(L"/api/get_locations.php"), "");
    ASSERT_TRUE(writeStateFile(service, "locations.mode", "chunks=4"));
    EXPECT_EQ(httpGet(L"/api/get_locations.php"), "");

    ASSERT_TRUE(writeStateFile(service, "locations.body", "late but whole"));
    ASSERT_TRUE(writeStateFile(service, "locations.mode", "delay=1.5"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(httpGet(L"/api/get_locations.php"), "late but whole");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
}

TEST_F(HttpGet, ConcurrentCallsShareNothing) {
    ASSERT_TRUE(writeStateFile(service, "locations.body", R"({"code":"DE"})"));
    ASSERT_TRUE(writeStateFile(service, "connection.body", R"({"ip":"h","port":1})"));
    ASSERT_TRUE(writeStateFile(service, "connection.mode", "chunks=5 gap=0.01"));
    std::vector<std::string> results(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&results, i] {
            results[i] = httpGet(i % 2 ? L"/api/get_locations.php" : L"/api/get_connection.php");
        });
    }
    for (auto& t : threads)
        t.join();
    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i], i % 2 ? R"({"code":"DE"})" : R"({"ip":"h","port":1})") << i;
    }
    EXPECT_EQ(recordedRequests(service).size(), results.size());
}

// A loopback port that was free a moment ago and that nothing listens on.
int closedPort() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        int length = sizeof address;
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    closesocket(s);
    return port;
}

TEST_F(HttpGet, UnreachablePortGivesEmptyBody) {
    sovelinTestApiPort = closedPort();
    ASSERT_GT(sovelinTestApiPort, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(httpGet(L"/api/get_locations.php"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    // And the next call, on a good port again, still works.
    sovelinTestApiPort = service.port;
    EXPECT_FALSE(httpGet(L"/api/get_locations.php").empty());
}

TEST_F(HttpGet, UntrustedCertificateGivesEmptyBodyAndSendsNothing) {
    const StandIn untrusted = untrustedStandIn();
    ASSERT_GT(untrusted.port, 0);
    resetStandIn(untrusted);
    sovelinTestApiPort = untrusted.port;
    EXPECT_EQ(httpGet(L"/api/get_locations.php"), "");
    // The handshake was refused, so no request reached the server.
    EXPECT_TRUE(recordedRequests(untrusted).empty());
}

TEST(Utf8ToWide, ConvertsWithoutCountingTheTerminator) {
    EXPECT_EQ(utf8ToWide(""), L"");
    EXPECT_EQ(utf8ToWide("US"), L"US");
    EXPECT_EQ(utf8ToWide("США"), std::wstring(L"\x0421\x0428\x0410"));
    EXPECT_EQ(utf8ToWide("Великобритания").size(), 14u);
    // Outside the basic plane: one character, two UTF-16 units.
    EXPECT_EQ(utf8ToWide("\xF0\x9F\x8C\x8D"), std::wstring(L"\xD83C\xDF0D"));
    // An embedded NUL ends the text.
    EXPECT_EQ(utf8ToWide(std::string("AB\0CD", 5)), L"AB");
    // Malformed UTF-8 is not an error: it is replaced.
    EXPECT_EQ(utf8ToWide("a\xFF"
                         "b"),
              std::wstring(L"a\xFFFD"
                           L"b"));
}

} // namespace
