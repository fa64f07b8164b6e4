// The system proxy switch against Wine's WinINet: a disable gives the user's
// own settings back rather than bare direct, and the start-up repair. What
// enabling writes is checked by the road test.
#include "proxy/system_proxy.h"
#include "core/state.h"
#include "tests/app/system_proxy_test.h"

#include <gtest/gtest.h>

namespace {

const wchar_t* const ourServer = L"socks=127.0.0.1:10800";

class SystemProxy : public ::testing::Test {
  protected:
    // Every case starts and ends with nothing kept and a plain direct setting.
    void SetUp() override { TearDown(); }
    void TearDown() override {
        if (hasKeptSystemProxy()) setSystemProxy(false);
        setUserProxy(PROXY_TYPE_DIRECT, nullptr, nullptr, nullptr);
        appState.connectionState.store(Disconnected);
    }
};

TEST_F(SystemProxy, DisableGivesBackOnlyWhatTheUserHad) {
    // Nothing kept: bare direct flags, the server text left as it was.
    setUserProxy(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, L"127.0.0.1:20096", nullptr, nullptr);
    setSystemProxy(false);
    EXPECT_FALSE(snapshotProxy().flags & PROXY_TYPE_PROXY);
    EXPECT_EQ(snapshotProxy().server, L"127.0.0.1:20096");

    // A user's own proxy switched on (the road test covers auto-config and
    // detection): a repeated enable must not keep our own setting instead.
    setUserProxy(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, L"127.0.0.1:20097", L"*.corp;<local>",
                 nullptr);
    const ProxySnapshot before = snapshotProxy();
    setSystemProxy(true);
    setSystemProxy(true);
    EXPECT_EQ(snapshotProxy().server, ourServer);
    EXPECT_TRUE(hasKeptSystemProxy());
    setSystemProxy(false);
    EXPECT_EQ(snapshotProxy(), before);
    EXPECT_EQ(registryProxyEnable(), 1u);
    EXPECT_FALSE(hasKeptSystemProxy());

    // A leftover of our listener is not the user's: the disable goes direct.
    setUserProxy(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, ourServer, nullptr, nullptr);
    setSystemProxy(true);
    setSystemProxy(false);
    EXPECT_EQ(registryProxyEnable(), 0u);
}

TEST_F(SystemProxy, RepairSwitchesOnlyOurLeftoverToDirect) {
    // Our listener's text, switched on, nothing running: repaired.
    setUserProxy(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, ourServer, nullptr, nullptr);
    repairLeftoverSystemProxy();
    EXPECT_FALSE(snapshotProxy().flags & PROXY_TYPE_PROXY);

    // The same while a connection runs: left alone.
    setUserProxy(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, ourServer, nullptr, nullptr);
    appState.connectionState.store(Connected);
    repairLeftoverSystemProxy();
    EXPECT_TRUE(snapshotProxy().flags & PROXY_TYPE_PROXY);
    appState.connectionState.store(Disconnected);

    // A user's own proxy, or another port: left alone.
    for (const wchar_t* server : {L"127.0.0.1:20097", L"socks=127.0.0.1:10801"}) {
        setUserProxy(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, server, nullptr, nullptr);
        repairLeftoverSystemProxy();
        const ProxySnapshot now = snapshotProxy();
        EXPECT_TRUE(now.flags & PROXY_TYPE_PROXY) << now;
        EXPECT_EQ(now.server, server);
    }
}

} // namespace
