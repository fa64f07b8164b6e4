// The system proxy through Wine's WinINet and the restore file on disk (Wine
// lists no phonebook entries, so only the LAN setting; it keeps neither the
// bypass list nor the auto-config URL, which the portable rows check). Every
// case leaves the prefix's setting as it found it.
#include "app/settings.h"
#include "app/system_proxy.h"
#include "tests/app/system_proxy_test.h"

#include <gtest/gtest.h>

namespace {

const std::wstring ours = L"http=127.0.0.1:10800;https=127.0.0.1:10800;socks=127.0.0.1:10800";

class SystemProxy : public ::testing::Test {
  protected:
    void TearDown() override {
        writeRegistryProxy(asFound);
        removeFile("proxy-restore.dat");
    }
    const RegistryProxy asFound = readRegistryProxy();
};

// The user's values and what the stop gives back: the same, except our crash
// leftover, which goes direct; the file holds them while connected.
TEST_F(SystemProxy, TheSwitchKeepsTheUsersSettingOnDiskUntilItIsGivenBack) {
    const std::pair<RegistryProxy, RegistryProxy> cases[] = {
        {{}, {0, {}}},
        {{1, L"10.0.0.1:3128"}, {1, L"10.0.0.1:3128"}},
        {{0, L"10.0.0.1:3128"}, {0, L"10.0.0.1:3128"}},
        {{1, L"socks=127.0.0.1:10800"}, {0, L"socks=127.0.0.1:10800"}}};
    for (const auto& [user, back] : cases) {
        writeRegistryProxy(user);
        SystemProxySwitch proxy(systemProxyPlatform());
        ASSERT_TRUE(proxy.switchOn());
        EXPECT_EQ(readRegistryProxy(), (RegistryProxy{1, ours}));
        const auto file = readWholeFile("proxy-restore.dat");
        ASSERT_TRUE(file && decodeKeptSettings(*file));
        EXPECT_EQ(decodeKeptSettings(*file)->front().setting.server,
                  user.server ? std::optional(std::string(user.server->begin(), user.server->end()))
                              : std::nullopt);
        EXPECT_TRUE(proxy.giveBack());
        EXPECT_EQ(readRegistryProxy(), back);
        EXPECT_FALSE(readWholeFile("proxy-restore.dat"));
    }
    // Another program's setting, written while connected, is left alone.
    writeRegistryProxy({0, L"10.0.0.1:3128"});
    SystemProxySwitch proxy(systemProxyPlatform());
    ASSERT_TRUE(proxy.switchOn());
    const RegistryProxy theirs{1, L"10.0.0.9:8080"};
    writeRegistryProxy(theirs);
    EXPECT_EQ(proxy.taken(), std::vector<std::string>{""});
    EXPECT_FALSE(proxy.giveBack());
    EXPECT_EQ(readRegistryProxy(), theirs);
}

// A crash while connected: the next start gives the user's proxy back from
// the file; without one, our leftover goes direct; another's stays.
TEST_F(SystemProxy, TheRepairGivesTheUsersSettingBackOrGoesDirect) {
    writeRegistryProxy({1, L"127.0.0.1:3128"});
    SystemProxySwitch crashed(systemProxyPlatform());
    ASSERT_TRUE(crashed.switchOn());
    EXPECT_EQ(repairSystemProxy(systemProxyPlatform()), 1);
    EXPECT_EQ(readRegistryProxy(), (RegistryProxy{1, L"127.0.0.1:3128"}));
    EXPECT_FALSE(readWholeFile("proxy-restore.dat"));
    const std::pair<RegistryProxy, int> cases[] = {{{1, ours}, 1},
                                                   {{1, L"socks=127.0.0.1:10800"}, 1},
                                                   {{1, L"socks=127.0.0.1:10801"}, 0},
                                                   {{0, ours}, 0}};
    for (const auto& [found, repaired] : cases) {
        writeRegistryProxy(found);
        EXPECT_EQ(repairSystemProxy(systemProxyPlatform()), repaired) << *found.server;
        // Wine stores a text switched off in its own form; others stay.
        EXPECT_EQ(readRegistryProxy().enable, repaired ? 0u : *found.enable);
        if (!repaired) {
            EXPECT_EQ(readRegistryProxy(), found);
        }
    }
}

} // namespace
