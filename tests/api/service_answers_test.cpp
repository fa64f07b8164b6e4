// What the client reads from the service's answers (the connection answer,
// into an endpoint or refused with a reason; the catalogue's codes) and the
// connection request's target: portable, natively and under Wine.
#include "api/connection_request.h"
#include "api/locations.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

TEST(ConnectionAnswer, ReadsOrRefusesEachAnswer) {
    const std::string u255(255, 'u'), p255(255, 'p'), x256(256, 'x');
    const struct {
        std::string body;
        UpstreamEndpoint want; // when not refused
        std::string refusal;
    } cases[] = {
        {R"({"ip":"127.0.0.1","port":1080,"username":"u","password":"p"})",
         {"127.0.0.1", 1080, "u", "p"},
         ""},
        {R"({"ip":"proxy.example","port":"65535"})", {"proxy.example", 65535, "", ""}, ""},
        {"{\"ip\" :\n\t\"h\" , \"port\" : 1 }", {"h", 1, "", ""}, ""},
        // The port range; no digits and overflow read as 0.
        {R"({"ip":"h","port":65536})", {}, "port 65536 outside 1..65535"},
        {R"({"ip":"h","port":70000})", {}, "port 70000 outside 1..65535"},
        {R"({"ip":"h","port":-1080})", {}, "port -1080 outside 1..65535"},
        {R"({"ip":"h","port":"abc"})", {}, "port 0 outside 1..65535"},
        {R"({"ip":"h","port":99999999999})", {}, "port 0 outside 1..65535"},
        {R"({"ip":"h"})", {}, "port 0 outside 1..65535"},
        // Missing fields, an error page, no answer.
        {R"({"port":1080})", {}, "no \"ip\" in the answer"},
        {R"({"ip":"","port":1080})", {}, "no \"ip\" in the answer"},
        {"<html>500 Internal Server Error</html>", {}, "no \"ip\" in the answer"},
        {"", {}, "no answer from the service"},
        // \u escapes to UTF-8, a surrogate pair (the fuzz target reads every
        // short escape back).
        {R"({"ip":"h","port":1,"password":"\u00e9\u20AC\ud83d\ude00"})",
         {"h", 1, "", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
         ""},
        // Malformed strings are no value: a lone surrogate, an unknown
        // escape, an unterminated string.
        {R"({"ip":"h\ud83d","port":1})", {}, "no \"ip\" in the answer"},
        {R"({"ip":"h\x","port":1})", {}, "no \"ip\" in the answer"},
        {R"({"port":1,"ip":"h)", {}, "no \"ip\" in the answer"},
        // The first quoted key, then its colon: not inside "country_ip".
        {R"({"country_ip":"x","ip":"h","ip":"g","port":1})", {"h", 1, "", ""}, ""},
        // RFC 1929 carries at most 255 bytes of each.
        {R"({"ip":"h","port":1,"username":")" + u255 + R"(","password":")" + p255 + "\"}",
         {"h", 1, u255, p255},
         ""},
        {R"({"ip":"h","port":1,"username":")" + x256 + "\"}",
         {},
         "user name longer than 255 bytes"},
        {R"({"ip":"h","port":1,"password":")" + x256 + "\"}", {}, "password longer than 255 bytes"},
    };
    for (const auto& c : cases) {
        const ConnectionAnswer got = readConnectionAnswer(c.body);
        EXPECT_EQ(got.refusal, c.refusal) << c.body;
        if (!c.refusal.empty()) continue;
        const UpstreamEndpoint& e = got.endpoint;
        EXPECT_EQ(std::tie(e.host, e.port, e.userName, e.password),
                  std::tie(c.want.host, c.want.port, c.want.userName, c.want.password))
            << c.body;
    }
}

TEST(ConnectionTarget, CarriesTheSelectedCodeOnly) {
    const LocationList list{{"DE", L"x"}, {"", L"y"}, {"a&b=c#d e%/\xd0\x9c-._~", L"z"}};
    const std::string plain = "/api/get_connection.php?nocache=500077";
    EXPECT_EQ(connectionTarget(5000, 77, list, 0), plain + "&country=DE&location=DE");
    // A code cannot end its parameter or the query: everything but unreserved is encoded.
    const std::string odd = "a%26b%3Dc%23d%20e%25%2F%D0%9C-._~";
    EXPECT_EQ(connectionTarget(5000, 77, list, 2), plain + "&country=" + odd + "&location=" + odd);
    for (const std::int32_t selected : {1, 3, -1}) // an empty code, past the end, none
        EXPECT_EQ(connectionTarget(5000, 77, list, selected), plain) << selected;
    EXPECT_EQ(connectionTarget(4294967295u, 32767, {}, 0),
              "/api/get_connection.php?nocache=429496729532767");
}

TEST(LocationCodes, WalkDecodesEachCodeAndEndsAtTheFirstEmptyOne) {
    using Codes = std::vector<std::string>;
    EXPECT_EQ(locationCodes(R"([{"code":"US"},{"code":"D\u0045"},{"code":""},{"code":"FR"}])"),
              (Codes{"US", "DE"}));
    // Each search starts at the previous closing quote: a number as code takes
    // the next member's name; a cut or a malformed escape ends the walk.
    EXPECT_EQ(locationCodes(R"([{"code":7,"name":"Paris"},{"code":"F\"R"}])"),
              (Codes{"name", "F\"R"}));
    EXPECT_EQ(locationCodes(R"([{"code":"US"},{"code":"D\x"},{"code":"FR"}])"), (Codes{"US"}));
    EXPECT_EQ(locationCodes(R"([{"code":"US"},{"code":"D)"), (Codes{"US"}));
}

} // namespace
