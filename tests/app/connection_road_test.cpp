// The connection road without a window, against the service stand-in, the
// engine and microsocks as the upstream: started by connection_road.py, which
// also runs curl on request (see curlThroughListener), and runs each ExitStop
// case in a process of its own (the close refuses every later start). A
// process that ends while the request worker still waits is e2e.closing's.
#include "api/connection_request.h"
#include "core/state.h"
#include "proxy/system_proxy.h"
#include "proxy/toggle.h"
#include "tests/app/system_proxy_test.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

// The failure report, in place of the message box (link-time seam): counts the
// calls and notes the state shown while the box would be open.
std::atomic<int> boxesShown{0};
std::atomic<int> stateWhileBoxShown{-1};
void showConnectionFailedBox() {
    stateWhileBoxShown.store(appState.connectionState.load());
    boxesShown.fetch_add(1);
}

namespace {

// Winsock, before any test runs.
[[maybe_unused]] const bool winsockStarted = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string stateFile(const std::string& name) {
    return env("SOVELIN_SERVICE_STATE") + "\\" + name;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <class Condition> bool waitFor(Condition condition, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

// Paths of the requests the stand-in received that start with prefix, in order.
std::vector<std::string> requests(const std::string& prefix) {
    std::vector<std::string> found;
    const std::string text = readFile(stateFile("requests.jsonl"));
    const std::regex path(R"re("path":\s*"([^"]*)")re");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), path);
         it != std::sregex_iterator(); ++it)
        if ((*it)[1].str().rfind(prefix, 0) == 0) found.push_back((*it)[1]);
    return found;
}

sockaddr_in listenAddress() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(listenPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Whether something holds 127.0.0.1:10800 (our listener, or a test's socket).
bool listenPortTaken() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    BOOL exclusive = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    const sockaddr_in address = listenAddress();
    const bool taken = bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0;
    closesocket(s);
    return taken;
}

void setLocations(const std::vector<std::string>& codes, std::int32_t selected = 0) {
    auto list = std::make_shared<LocationList>();
    for (const auto& code : codes)
        list->push_back(Location{code, L"x"});
    appState.locations.store(std::shared_ptr<const LocationList>(std::move(list)));
    appState.selectedIndex.store(selected);
}

std::string upstreamBody(const std::string& port = env("SOVELIN_UPSTREAM_PORT")) {
    return R"({"ip":"127.0.0.1","port":)" + port +
           R"(,"username":"sovelin-user","password":"sovelin-pass"})";
}

bool settled() {
    return appState.connectionState.load() != Connecting;
}

class ConnectionRoad : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(env("SOVELIN_SERVICE_STATE").empty()) << "run through connection_road.py";
        ASSERT_EQ(appState.connectionState.load(), Disconnected);
        DeleteFileA(stateFile("connection.mode").c_str());
        writeFile(stateFile("connection.body"), upstreamBody());
        setLocations({"DE", "FR"});
        setUserProxy(PROXY_TYPE_DIRECT, nullptr, nullptr, nullptr);
        boxesShown.store(0);
        stateWhileBoxShown.store(-1);
    }
    void TearDown() override {
        waitFor(settled, 20000);
        if (appState.connectionState.load() == Connected) toggleConnection();
        if (hasKeptSystemProxy()) setSystemProxy(false);
    }
    // One start that fails: Disconnected first, then the box; no listener,
    // and the system proxy untouched.
    void expectRefused(const std::string& body, const char* mode = nullptr, bool portHeld = false) {
        SCOPED_TRACE(body);
        writeFile(stateFile("connection.body"), body);
        if (mode) writeFile(stateFile("connection.mode"), mode);
        const ProxySnapshot before = snapshotProxy();
        const int boxes = boxesShown.load();
        toggleConnection();
        ASSERT_TRUE(waitFor([&] { return boxesShown.load() > boxes; }, 20000));
        EXPECT_EQ(boxesShown.load(), boxes + 1);
        EXPECT_EQ(stateWhileBoxShown.load(), Disconnected);
        EXPECT_EQ(appState.connectionState.load(), Disconnected);
        EXPECT_EQ(listenPortTaken(), portHeld);
        EXPECT_FALSE(connectionEngine().running());
        EXPECT_EQ(snapshotProxy(), before);
        EXPECT_FALSE(hasKeptSystemProxy());
        DeleteFileA(stateFile("connection.mode").c_str());
    }
    void expectAccepted(const std::string& body) {
        SCOPED_TRACE(body);
        writeFile(stateFile("connection.body"), body);
        const int boxes = boxesShown.load();
        toggleConnection();
        ASSERT_TRUE(waitFor(settled, 20000));
        EXPECT_EQ(appState.connectionState.load(), Connected);
        EXPECT_TRUE(listenPortTaken());
        toggleConnection();
        EXPECT_EQ(appState.connectionState.load(), Disconnected);
        EXPECT_FALSE(listenPortTaken());
        EXPECT_EQ(boxesShown.load(), boxes);
    }
};

// Asks the driver script to fetch url with curl through the listener, and
// returns what curl printed (empty on failure or time-out).
std::string curlThroughListener(const std::string& url) {
    const std::string dir = env("SOVELIN_HANDSHAKE");
    DeleteFileA((dir + "\\curl.result").c_str());
    writeFile(dir + "\\curl.request.tmp", url);
    MoveFileExA((dir + "\\curl.request.tmp").c_str(), (dir + "\\curl.request").c_str(),
                MOVEFILE_REPLACE_EXISTING);
    if (!waitFor(
            [&] {
                return GetFileAttributesA((dir + "\\curl.result").c_str()) !=
                       INVALID_FILE_ATTRIBUTES;
            },
            30000))
        return "";
    return readFile(dir + "\\curl.result");
}

TEST_F(ConnectionRoad, WholeRoadGivesTheUsersSettingsBack) {
    setUserProxy(PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_DETECT | PROXY_TYPE_AUTO_PROXY_URL,
                 L"127.0.0.1:20097", L"*.corp;<local>", L"http://127.0.0.1:20099/proxy.pac");
    const ProxySnapshot before = snapshotProxy();
    writeFile(stateFile("connection.mode"), "delay=0.5");

    toggleConnection();
    EXPECT_EQ(appState.connectionState.load(), Connecting);
    ASSERT_TRUE(waitFor(settled, 20000));
    ASSERT_EQ(appState.connectionState.load(), Connected);
    EXPECT_EQ(appState.upstream.userName, "sovelin-user");
    EXPECT_EQ(registryProxyEnable(), 1u);
    EXPECT_EQ(registryProxyServer(), L"socks=127.0.0.1:10800");
    const ProxySnapshot on = snapshotProxy();
    EXPECT_TRUE(on.flags & PROXY_TYPE_PROXY) << on;
    EXPECT_EQ(on.server, L"socks=127.0.0.1:10800");

    const std::string page = curlThroughListener(env("SOVELIN_PAGE_URL"));
    EXPECT_EQ(page, env("SOVELIN_PAGE_TEXT"));

    toggleConnection();
    EXPECT_EQ(appState.connectionState.load(), Disconnected);
    EXPECT_FALSE(connectionEngine().running());
    EXPECT_FALSE(listenPortTaken());
    EXPECT_EQ(connectionEngine().sessionCount(), 0u);
    EXPECT_EQ(snapshotProxy(), before);
    EXPECT_EQ(registryProxyServer(), L"127.0.0.1:20097");
    EXPECT_EQ(boxesShown.load(), 0);
}

TEST_F(ConnectionRoad, RequestCarriesTheSelectedLocationOnly) {
    const std::regex plain(R"(/api/get_connection\.php\?nocache=[0-9]+)");
    const std::regex withDe(R"(/api/get_connection\.php\?nocache=[0-9]+&country=DE&location=DE)");
    // Selected DE; an index past the end; an empty code.
    const struct {
        std::vector<std::string> codes;
        int selected;
        const std::regex& want;
    } cases[] = {{{"DE", "FR"}, 0, withDe}, {{"DE", "FR"}, 2, plain}, {{"", "FR"}, 0, plain}};
    for (const auto& c : cases) {
        setLocations(c.codes, c.selected);
        expectRefused("");
        const std::string sent = requests("/api/get_connection.php").back();
        EXPECT_TRUE(std::regex_match(sent, c.want)) << sent;
    }

    // An empty list (the catalogue answers late, so it is still empty when
    // the request reads it): no location, and a catalogue fetch alongside.
    writeFile(stateFile("locations.mode"), "delay=1");
    setLocations({});
    const std::size_t fetches = requests("/api/get_locations.php").size();
    expectRefused("");
    const std::string sent = requests("/api/get_connection.php").back();
    EXPECT_TRUE(std::regex_match(sent, plain)) << sent;
    EXPECT_TRUE(
        waitFor([&] { return requests("/api/get_locations.php").size() > fetches; }, 10000));
    // Let the fetch finish before the next case sets its own list.
    EXPECT_TRUE(waitFor([] { return !currentLocations()->empty(); }, 10000));
    DeleteFileA(stateFile("locations.mode").c_str());
}

TEST_F(ConnectionRoad, RefusedAnswersEndDisconnectedWithTheBox) {
    expectRefused(R"({"port":1080,"username":"u","password":"p"})"); // no "ip"
    expectRefused(R"({"ip":"","port":1080})");
    expectRefused(R"({"ip":"127.0.0.1","port":0})");
    expectRefused(R"({"ip":"127.0.0.1","port":-1080})");
    expectRefused(R"({"ip":"127.0.0.1","port":"abc"})");
    expectRefused(R"({"ip":"127.0.0.1"})");
    expectRefused("");               // empty body
    expectRefused("", "status=500"); // the stand-in's error page
    expectRefused(R"({"ip":"127.0.0.1","port":1080,"username":")" + std::string(256, 'u') +
                  R"(","password":"p"})"); // RFC 1929 cannot carry it
    expectRefused(R"({"ip":"127.0.0.1","port":1080,"username":"u","password":")" +
                  std::string(256, 'p') + R"("})");
}

TEST_F(ConnectionRoad, AcceptedAnswersConnect) {
    const std::string port = env("SOVELIN_UPSTREAM_PORT");
    expectAccepted(R"({"ip":"127.0.0.1","port":")" + port + R"("})"); // quoted port, no credentials
    expectAccepted(R"({"ip":"localhost","port":)" + port + "}");      // a host name
    expectAccepted(R"({"ip":"127.0.0.1","port":70000})");             // no upper bound here
    expectAccepted(R"({"ip":"127.0.0.1","port":1080,"username":")" + std::string(255, 'u') +
                   R"(","password":")" + std::string(255, 'p') + R"("})");
}

TEST_F(ConnectionRoad, TakenPortEndsDisconnectedWithTheBox) {
    SOCKET holder = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = listenAddress();
    ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    expectRefused(upstreamBody(), nullptr, true);
    closesocket(holder);
    // The port free again: the next start works.
    expectAccepted(upstreamBody());
}

TEST_F(ConnectionRoad, TogglesWhileConnectingChangeNothing) {
    writeFile(stateFile("connection.mode"), "delay=1.5");
    const std::size_t requestsBefore = requests("/api/get_connection.php").size();
    toggleConnection();
    for (int i = 0; i < 20 && appState.connectionState.load() == Connecting; ++i) {
        toggleConnection();
        Sleep(20);
    }
    ASSERT_TRUE(waitFor(settled, 20000));
    EXPECT_EQ(appState.connectionState.load(), Connected);
    EXPECT_EQ(requests("/api/get_connection.php").size(), requestsBefore + 1);
    EXPECT_EQ(boxesShown.load(), 0);
    EXPECT_TRUE(listenPortTaken());
}

TEST_F(ConnectionRoad, ConcurrentTogglesEndConsistent) {
    // Two threads press together, again and again, from every state; after
    // each round settles, the state, the listener and the system proxy agree.
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        std::atomic<int> ready{0};
        auto press = [&] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            toggleConnection();
        };
        std::thread a(press), b(press);
        a.join();
        b.join();
        ASSERT_TRUE(waitFor(settled, 20000));
        const ConnectionState now = appState.connectionState.load();
        ASSERT_NE(now, Connecting);
        const bool connected = now == Connected;
        EXPECT_EQ(connectionEngine().running(), connected);
        EXPECT_EQ(listenPortTaken(), connected);
        EXPECT_EQ(hasKeptSystemProxy(), connected);
        EXPECT_EQ(registryProxyEnable(), connected ? 1u : 0u);
        EXPECT_EQ(boxesShown.load(), 0);
    }
}

// The stop at the window's close.
class ExitStop : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(env("SOVELIN_SERVICE_STATE").empty()) << "run through connection_road.py";
        writeFile(stateFile("connection.body"), upstreamBody());
        setUserProxy(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, L"127.0.0.1:20097", nullptr, nullptr);
        before = snapshotProxy();
    }
    ProxySnapshot before;
};

TEST_F(ExitStop, WhileConnectedRunsTheWholeStop) {
    DeleteFileA(stateFile("connection.mode").c_str());
    toggleConnection();
    ASSERT_TRUE(waitFor([] { return appState.connectionState.load() == Connected; }, 20000));
    stopConnectionAtExit();
    EXPECT_EQ(appState.connectionState.load(), Disconnected);
    EXPECT_FALSE(connectionEngine().running());
    EXPECT_EQ(snapshotProxy(), before);
    toggleConnection(); // nothing starts after the close
    EXPECT_EQ(appState.connectionState.load(), Disconnected);
}

TEST_F(ExitStop, WhileConnectingReturnsAtOnceAndNothingStartsLater) {
    writeFile(stateFile("connection.mode"), "delay=1.5");
    toggleConnection();
    ASSERT_EQ(appState.connectionState.load(), Connecting);
    // The request is out and waits for the answer.
    ASSERT_TRUE(waitFor([] { return !requests("/api/get_connection.php").empty(); }, 10000));
    const DWORD start = GetTickCount();
    stopConnectionAtExit();
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_EQ(appState.connectionState.load(), Disconnected);
    // The answer arrives meanwhile (after 1.5 s) and must start nothing.
    EXPECT_FALSE(waitFor(
        [] {
            return appState.connectionState.load() != Disconnected ||
                   connectionEngine().running() || hasKeptSystemProxy();
        },
        3000));
    EXPECT_EQ(snapshotProxy(), before);
    EXPECT_EQ(boxesShown.load(), 0);
}

} // namespace
