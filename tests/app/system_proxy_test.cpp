// The system proxy of every entry against a recording system: the option
// lists, the restore file, the switch, the give-back and the repair
// (natively, under ThreadSanitizer and under Wine).
#include "app/system_proxy.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using Options = std::vector<ProxyOption>;
const std::string ours = "http=127.0.0.1:10800;https=127.0.0.1:10800;socks=127.0.0.1:10800";
const std::string localBypass =
    "<local>;localhost;127.*;10.*;192.168.*;169.254.*;172.16.*;172.17.*;172.18.*;172.19.*;"
    "172.20.*;172.21.*;172.22.*;172.23.*;172.24.*;172.25.*;172.26.*;172.27.*;172.28.*;"
    "172.29.*;172.30.*;172.31.*";
const ProxySetting usersOwn{proxyTypeDirect | proxyTypeProxy, "10.0.0.1:3128", "*.corp;<local>",
                            "http://10.0.0.1/proxy.pac"};
const ProxySetting pac{proxyTypeDirect | 4, {}, "", "http://wpad/wpad.dat"};
const ProxySetting leftover{proxyTypeProxy, ours, {}, {}};
const ProxySetting theirs{proxyTypeProxy, "10.0.0.9:8080", {}, {}};

// Entries by name ("" the LAN setting), what each write did, and the file.
struct System {
    std::map<std::string, ProxySetting> settings;
    std::vector<std::string> phonebook;
    std::map<std::string, std::uint32_t> refusing; // entry -> error
    std::optional<std::string> file;
    std::vector<std::string> done, log; // "save" and "write <entry>", in order
    ProxyPlatform platform() {
        return {
            .entries = [this] { return phonebook; },
            .read = [this](const std::string& entry) -> std::optional<ProxySetting> {
                const auto at = settings.find(entry);
                return at == settings.end() ? std::nullopt : std::optional(at->second);
            },
            .write = [this](const std::string& entry, const Options& options) -> std::uint32_t {
                if (refusing.count(entry)) return refusing[entry];
                ProxySetting& s = settings[entry];
                for (const ProxyOption& o : options) {
                    if (o.id == ProxyOptionId::Flags) s.flags = o.flags;
                    if (o.id == ProxyOptionId::Server) s.server = o.text;
                    if (o.id == ProxyOptionId::Bypass) s.bypass = o.text;
                    if (o.id == ProxyOptionId::AutoConfigUrl) s.autoConfigUrl = o.text;
                }
                done.push_back("write " + entry);
                return 0;
            },
            .announce = [] {},
            .loadKept = [this] { return file; },
            .saveKept =
                [this](std::string_view bytes) {
                    return file = bytes, done.push_back("save"), true;
                },
            .removeKept = [this] { file.reset(); },
            .log = [this](std::string_view line) { log.emplace_back(line); },
        };
    }
    bool ourTextOn(const std::string& entry) { return pointsAtListener(settings.at(entry)); }
    bool logged(const std::string& text) {
        return std::any_of(log.begin(), log.end(), [&](auto& l) { return l.find(text) != l.npos; });
    }
};

TEST(SystemProxyOptions, ConnectWritesOurTextWithTheUsersOrTheLocalBypassList) {
    const std::pair<std::optional<ProxySetting>, std::string> cases[] = {
        {std::nullopt, localBypass},
        {ProxySetting{}, localBypass},
        {ProxySetting{proxyTypeDirect, {}, "", {}}, localBypass},
        {usersOwn, "*.corp;<local>"}};
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
    for (const char* server : {ours.c_str(), "socks=127.0.0.1:10800", "127.0.0.1:10800"}) {
        const ProxySetting ourLeftover{proxyTypeProxy, server, {}, {}};
        EXPECT_EQ(optionsGivingBack(ourLeftover), givenBack(proxyTypeDirect, ourLeftover));
    }
    EXPECT_EQ(optionsGivingBack(std::nullopt),
              (Options{{ProxyOptionId::Flags, proxyTypeDirect, {}}}));
}

// Every text with its exact length: the settings read back whole, and no
// cut or changed file reads as any setting.
TEST(SystemProxyFile, KeptSettingsReadBackAsWrittenAndNothingElseDoes) {
    const KeptSettings kept{
        {"", usersOwn}, {"Домашний VPN", pac}, {"end\nentry 0:", {7, "a:1\n-", std::nullopt, ""}}};
    const std::string bytes = encodeKeptSettings(kept);
    EXPECT_EQ(decodeKeptSettings(bytes), kept);
    EXPECT_EQ(decodeKeptSettings(encodeKeptSettings({})), KeptSettings{});
    for (std::size_t cut = 0; cut < bytes.size(); ++cut)
        EXPECT_EQ(decodeKeptSettings(bytes.substr(0, cut)), std::nullopt) << cut;
    std::string longer = bytes;
    longer.replace(longer.find("13:"), 3, "14:");
    for (const std::string& garbled : std::vector<std::string>{
             bytes + "x", longer, "Sovelin proxy settings 2\nend\n",
             "Sovelin proxy settings 1\nentry 0:\nflags 4294967296\nserver -\nbypass -\n"
             "autoconfig -\nend\n"})
        EXPECT_EQ(decodeKeptSettings(garbled), std::nullopt) << garbled;
}

// Two entries with settings of their own, one refusing (a per-machine
// policy), one added while connected and one another program takes.
TEST(SystemProxySwitch, EachEntryGetsOursAndThenItsOwnBack) {
    System system;
    system.settings = {{"", usersOwn}, {"Домашний VPN", pac}, {"PPPoE", {}}, {"Policy", {}}};
    system.phonebook = {"Домашний VPN", "PPPoE", "Policy"};
    system.refusing["Policy"] = 87;
    SystemProxySwitch proxy(system.platform());
    ASSERT_TRUE(proxy.switchOn());
    EXPECT_EQ(system.done.front(), "save");
    EXPECT_EQ(decodeKeptSettings(*system.file),
              (KeptSettings{{"", usersOwn}, {"Домашний VPN", pac}, {"PPPoE", {}}, {"Policy", {}}}));
    for (const char* entry : {"", "Домашний VPN", "PPPoE"})
        EXPECT_TRUE(system.ourTextOn(entry)) << entry;
    EXPECT_EQ(system.settings["Policy"], ProxySetting{});
    EXPECT_TRUE(system.logged("entry \"Policy\" refused the write (error 87)"));
    EXPECT_TRUE(proxy.taken().empty());

    system.phonebook.push_back("L2TP"); // dialled in while connected
    system.settings["L2TP"] = usersOwn;
    proxy.rewrite();
    EXPECT_TRUE(system.ourTextOn("L2TP"));
    EXPECT_EQ(decodeKeptSettings(*system.file)->back(), (KeptEntry{"L2TP", usersOwn}));
    system.settings["PPPoE"] = theirs;
    EXPECT_EQ(proxy.taken(), std::vector<std::string>{"PPPoE"});

    EXPECT_FALSE(proxy.giveBack());
    EXPECT_EQ(system.settings, (std::map<std::string, ProxySetting>{{"", usersOwn},
                                                                    {"Домашний VPN", pac},
                                                                    {"PPPoE", theirs},
                                                                    {"Policy", {}},
                                                                    {"L2TP", usersOwn}}));
    EXPECT_EQ(system.file, std::nullopt);
    proxy.rewrite(); // a late one writes nothing
    EXPECT_FALSE(system.ourTextOn(""));
}

TEST(SystemProxySwitch, WithoutTheLanSettingNothingStaysSwitched) {
    for (const bool lanReadable : {false, true}) {
        System system;
        system.settings = {{"VPN", pac}};
        if (lanReadable) system.settings[""] = usersOwn;
        system.refusing[""] = 5;
        system.phonebook = {"VPN"};
        SystemProxySwitch proxy(system.platform());
        EXPECT_FALSE(proxy.switchOn());
        EXPECT_EQ(system.settings["VPN"], pac);
        EXPECT_EQ(system.file, std::nullopt);
        EXPECT_EQ(system.done.size(), lanReadable ? 3u : 0u); // save, ours, its own back
    }
}

// After a crash: each entry still at the listener gets what the file holds,
// or direct without a file that reads; another program's is left alone.
TEST(SystemProxyRepair, GivesEachEntryTheFilesSettingOrDirect) {
    const KeptSettings kept{{"", usersOwn}, {"VPN", pac}, {"Other", {}}};
    const std::string file = encodeKeptSettings(kept);
    const ProxySetting direct{proxyTypeDirect, ours, {}, {}};
    const struct {
        std::optional<std::string> file;
        bool vpnRefuses;
        ProxySetting lan, vpn;
        bool fileKept;
    } cases[] = {{file, false, usersOwn, pac, false},
                 {std::nullopt, false, direct, direct, false},
                 {file.substr(0, file.size() - 1), false, direct, direct, false},
                 {file, true, usersOwn, leftover, true}};
    for (const auto& k : cases) {
        System system;
        system.settings = {{"", leftover}, {"VPN", leftover}, {"Other", theirs}};
        system.phonebook = {"VPN", "Other"};
        system.file = k.file;
        if (k.vpnRefuses) system.refusing["VPN"] = 87;
        EXPECT_EQ(repairSystemProxy(system.platform()), k.vpnRefuses ? 1 : 2);
        EXPECT_EQ(system.settings[""], k.lan);
        EXPECT_EQ(system.settings["VPN"], k.vpn);
        EXPECT_EQ(system.settings["Other"], theirs);
        EXPECT_EQ(system.file.has_value(), k.fileKept);
    }
}

} // namespace
