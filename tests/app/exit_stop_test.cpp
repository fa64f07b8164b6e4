// The stop at the window's close, each case in a process of its own (the
// close refuses every later start). Run through connection_road.py.
#include "api/connection_request.h"
#include "app/state.h"
#include "proxy/listener.h"
#include "proxy/system_proxy.h"
#include "proxy/toggle.h"
#include "tests/app/road_support.h"
#include "tests/app/system_proxy_test.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <string>

std::atomic<int> boxesShown{0};
void showConnectionFailedBox() {
    boxesShown.fetch_add(1);
}

namespace {

class ExitStop : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(env("SOVELIN_SERVICE_STATE").empty()) << "run through connection_road.py";
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        writeFile(stateFile("connection.body"),
                  R"({"ip":"127.0.0.1","port":)" + env("SOVELIN_UPSTREAM_PORT") + "}");
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
    EXPECT_FALSE(appState.listenerThread.joinable());
    EXPECT_FALSE(appState.listenerRunning.load());
    EXPECT_EQ(snapshotProxy(), before);
    toggleConnection(); // nothing starts after the close
    EXPECT_EQ(appState.connectionState.load(), Disconnected);
}

TEST_F(ExitStop, WhileConnectingReturnsAtOnceAndNothingStartsLater) {
    writeFile(stateFile("connection.mode"), "delay=1.5");
    toggleConnection();
    ASSERT_EQ(appState.connectionState.load(), Connecting);
    // The request is out and waits for the answer.
    ASSERT_TRUE(waitFor(connectionRequested, 10000));
    const DWORD start = GetTickCount();
    stopConnectionAtExit();
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_EQ(appState.connectionState.load(), Disconnected);
    // The answer arrives meanwhile (after 1.5 s) and must start nothing.
    EXPECT_FALSE(waitFor(
        [] {
            return appState.connectionState.load() != Disconnected ||
                   appState.listenerRunning.load() || hasKeptSystemProxy();
        },
        3000));
    EXPECT_EQ(snapshotProxy(), before);
    EXPECT_EQ(boxesShown.load(), 0);
}

} // namespace

namespace {

// The process ends while a connection worker still waits for the service:
// the driver sees this program's exit code, which a crash in the end of the
// process (a worker touching destroyed state) would change.
TEST_F(ExitStop, ProcessEndsWithAWorkerStillWaiting) {
    writeFile(stateFile("connection.mode"), "delay=5");
    toggleConnection();
    ASSERT_TRUE(waitFor(connectionRequested, 10000));
    stopConnectionAtExit();
    EXPECT_EQ(appState.connectionState.load(), Disconnected);
    EXPECT_EQ(snapshotProxy(), before);
}

} // namespace
