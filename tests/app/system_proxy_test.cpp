// The system proxy: the option lists a connect and a stop write (Wine keeps
// neither the bypass list nor the auto-config URL, so those are checked on
// the lists), then the switch and the give-back through Wine's WinINet. Every
// case leaves the prefix's setting as it found it.
#include "app/system_proxy.h"
#include "tests/app/system_proxy_test.h"

#include <gtest/gtest.h>

namespace {

using Options = std::vector<ProxyOption>;
const std::wstring ours = L"http=127.0.0.1:10800;https=127.0.0.1:10800;socks=127.0.0.1:10800";
const std::wstring localBypass =
    L"<local>;localhost;127.*;10.*;192.168.*;169.254.*;172.16.*;172.17.*;172.18.*;172.19.*;"
    L"172.20.*;172.21.*;172.22.*;172.23.*;172.24.*;172.25.*;172.26.*;172.27.*;172.28.*;"
    L"172.29.*;172.30.*;172.31.*";
const ProxySetting usersOwn{proxyTypeDirect | proxyTypeProxy, L"10.0.0.1:3128", L"*.corp;<local>",
                            L"http://10.0.0.1/proxy.pac"};

TEST(SystemProxyOptions, ConnectWritesOurTextWithTheUsersOrTheLocalBypassList) {
    const std::pair<std::optional<ProxySetting>, std::wstring> cases[] = {
        {std::nullopt, localBypass},
        {ProxySetting{}, localBypass},
        {ProxySetting{proxyTypeDirect, {}, L"", {}}, localBypass},
        {usersOwn, L"*.corp;<local>"}};
    for (const auto& [user, bypass] : cases) {
        EXPECT_EQ(optionsWhileConnected(user),
                  (Options{{ProxyOptionId::Flags, proxyTypeDirect | proxyTypeProxy, {}},
                           {ProxyOptionId::Server, 0, ours},
                           {ProxyOptionId::Bypass, 0, bypass}}));
    }
}

TEST(SystemProxyOptions, StopGivesBackWhatTheUserHadButNeverOurLeftover) {
    const auto givenBack = [](std::uint32_t flags, const ProxySetting& s) {
        return Options{{ProxyOptionId::Flags, flags, {}},
                       {ProxyOptionId::Server, 0, s.server},
                       {ProxyOptionId::Bypass, 0, s.bypass},
                       {ProxyOptionId::AutoConfigUrl, 0, s.autoConfigUrl}};
    };
    EXPECT_EQ(optionsGivingBack(usersOwn), givenBack(usersOwn.flags, usersOwn));
    for (const wchar_t* server : {ours.c_str(), L"socks=127.0.0.1:10800", L"127.0.0.1:10800"}) {
        const ProxySetting leftover{proxyTypeProxy, server, {}, {}};
        EXPECT_EQ(optionsGivingBack(leftover), givenBack(proxyTypeDirect, leftover));
    }
    EXPECT_EQ(optionsGivingBack(std::nullopt),
              (Options{{ProxyOptionId::Flags, proxyTypeDirect, {}}}));
}

class SystemProxy : public ::testing::Test {
  protected:
    void TearDown() override { writeRegistryProxy(asFound); }
    const RegistryProxy asFound = readRegistryProxy();
};

TEST_F(SystemProxy, ConnectPointsAtTheListenerAndTheStopGivesTheSettingBack) {
    // The user's values and what the stop gives back: the same, except our
    // crash leftover, which goes direct.
    const std::pair<RegistryProxy, RegistryProxy> cases[] = {
        {{}, {0, {}}},
        {{1, L"10.0.0.1:3128"}, {1, L"10.0.0.1:3128"}},
        {{0, L"10.0.0.1:3128"}, {0, L"10.0.0.1:3128"}},
        {{1, L"socks=127.0.0.1:10800"}, {0, L"socks=127.0.0.1:10800"}}};
    for (const auto& [user, back] : cases) {
        writeRegistryProxy(user);
        const std::optional<ProxySetting> kept = switchSystemProxyOn();
        EXPECT_EQ(readRegistryProxy(), (RegistryProxy{1, ours}));
        EXPECT_TRUE(giveSystemProxyBack(kept));
        EXPECT_EQ(readRegistryProxy(), back);
    }
    // Another program's setting, written while connected, is left alone.
    writeRegistryProxy({0, L"10.0.0.1:3128"});
    const std::optional<ProxySetting> kept = switchSystemProxyOn();
    const RegistryProxy theirs{1, L"10.0.0.9:8080"};
    writeRegistryProxy(theirs);
    EXPECT_FALSE(giveSystemProxyBack(kept));
    EXPECT_EQ(readRegistryProxy(), theirs);
}

TEST_F(SystemProxy, RepairSwitchesOnlyOurLeftoverToDirect) {
    const std::pair<RegistryProxy, bool> cases[] = {{{1, ours}, true},
                                                    {{1, L"socks=127.0.0.1:10800"}, true},
                                                    {{1, L"socks=127.0.0.1:10801"}, false},
                                                    {{1, L"127.0.0.1:20097"}, false},
                                                    {{0, ours}, false}};
    for (const auto& [user, repaired] : cases) {
        writeRegistryProxy(user);
        EXPECT_EQ(repairLeftoverSystemProxy(), repaired) << *user.server;
        // Wine stores a text switched off in its own form; others stay.
        EXPECT_EQ(readRegistryProxy().enable, repaired ? 0u : *user.enable);
        if (!repaired) {
            EXPECT_EQ(readRegistryProxy(), user);
        }
    }
}

} // namespace
