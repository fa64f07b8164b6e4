// The listener on its fixed port 127.0.0.1:10800 (run under the machine-wide
// lock of that port).
#include "core/state.h"
#include "proxy/listener.h"
#include "tests/proxy/engine_support.h"

#include <gtest/gtest.h>

TEST(ListenerPort, TakenPortFailsTheStartAndLeavesTheRegistryAlone) {
    TestSocket blocker(openListeningSocket());
    ASSERT_NE(blocker.s, invalidSocket) << "127.0.0.1:10800 is taken by someone else";
    appState.connectionState = Connected;
    EXPECT_FALSE(startListener());
    EXPECT_FALSE(appState.listenerRunning);
    EXPECT_EQ(appState.connectionState, Disconnected);
    EXPECT_EQ(appState.clientRegistry.size(), 0u);
    EXPECT_FALSE(appState.clientRegistry.isStopping());
    EXPECT_FALSE(appState.listenerThread.joinable());
}

TEST(ListenerPort, StartServesTheFixedPortAndStopReleasesIt) {
    ASSERT_TRUE(startListener());
    EXPECT_FALSE(startListener()) << "a second listener while one runs";
    EXPECT_TRUE(appState.listenerRunning);
    {
        TestSocket client(connectLoopback(listenPort));
        EXPECT_NE(client.s, invalidSocket);
        stopListener();
    }
    EXPECT_FALSE(appState.listenerThread.joinable());
    EXPECT_TRUE(waitUntil([] { return appState.clientRegistry.size() == 0; }));
    TestSocket again(openListeningSocket());
    EXPECT_NE(again.s, invalidSocket);
}
