// The system proxy switch against Wine's WinINet: what enabling writes, and
// that a disable gives the user's own settings back rather than bare direct.
#include "proxy/system_proxy.h"
#include "app/state.h"
#include "tests/app/system_proxy_test.h"

#include <gtest/gtest.h>

namespace {

const wchar_t* const ourServer = L"socks=127.0.0.1:10800";

class SystemProxy : public ::testing::Test {
  protected:
    void SetUp() override {
        // Start every case with nothing kept and a plain direct setting.
        if (hasKeptSystemProxy()) setSystemProxy(false);
        setUserProxy(PROXY_TYPE_DIRECT, nullptr, nullptr, nullptr);
        appState.connectionState.store(Disconnected);
    }
    void TearDown() override {
        if (hasKeptSystemProxy()) setSystemProxy(false);
        setUserProxy(PROXY_TYPE_DIRECT, nullptr, nullptr, nullptr);
        appState.connectionState.store(Disconnected);
    }
};

TEST_F(SystemProxy, EnablingPointsTheDefaultConnectionAtTheListener) {
    setSystemProxy(true);
    EXPECT_STREQ(appState.proxyServerText, ourServer);
    const ProxySnapshot now = snapshotProxy();
    EXPECT_TRUE(now.flags & PROXY_TYPE_PROXY) << now;
    EXPECT_EQ(now.server, ourServer);
    EXPECT_EQ(registryProxyEnable(), 1u);
    EXPECT_EQ(registryProxyServer(), ourServer);
    EXPECT_TRUE(hasKeptSystemProxy());
}

TEST_F(SystemProxy, DisablingGivesTheUsersOwnSettingsBack) {
    // A user with a proxy of their own switched on, a bypass list, an
    // auto-config URL and automatic detection.
    setUserProxy(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY | PROXY_TYPE_AUTO_DETECT |
                     PROXY_TYPE_AUTO_PROXY_URL,
                 L"127.0.0.1:20097", L"*.corp;<local>", L"http://127.0.0.1:20099/proxy.pac");
    const ProxySnapshot before = snapshotProxy();
    ASSERT_TRUE(before.flags & PROXY_TYPE_PROXY) << before;

    setSystemProxy(true);
    setSystemProxy(true); // a repeated enable must not keep our own setting
    ASSERT_EQ(snapshotProxy().server, ourServer);
    setSystemProxy(false);

    EXPECT_EQ(snapshotProxy(), before);
    EXPECT_EQ(registryProxyEnable(), 1u);
    EXPECT_EQ(registryProxyServer(), L"127.0.0.1:20097");
    EXPECT_FALSE(hasKeptSystemProxy());
}

TEST_F(SystemProxy, DisableWithNothingKeptWritesDirectFlagsOnly) {
    setUserProxy(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, L"127.0.0.1:20096", nullptr, nullptr);
    setSystemProxy(false);
    const ProxySnapshot now = snapshotProxy();
    EXPECT_FALSE(now.flags & PROXY_TYPE_PROXY) << now;
    EXPECT_EQ(now.server, L"127.0.0.1:20096"); // the server text is not written
}

TEST_F(SystemProxy, LeftoverOfOurListenerIsNotKeptAsTheUsers) {
    setUserProxy(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, ourServer, nullptr, nullptr);
    setSystemProxy(true);
    setSystemProxy(false);
    EXPECT_FALSE(snapshotProxy().flags & PROXY_TYPE_PROXY);
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
