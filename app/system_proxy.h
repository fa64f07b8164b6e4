// The per-user system proxy of every connection entry: the LAN setting and
// each dial-up, PPPoE, L2TP and VPN entry of the user's phonebook, which
// Windows uses instead while that entry is the active connection. What
// connecting writes, what a stop gives back, the restore file that keeps the
// user's own settings through a crash, and the start-up repair are portable,
// behind the ProxyPlatform seams; system_proxy_win.cpp wires WinINet, RAS and
// the file. It lives in app/ beside the settings file: it is a Windows
// setting the client owns, which only the controller and the start-up repair
// touch; the engine never reads it.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// WinINet's per-connection option numbers and proxy-type bits (wininet.h).
enum class ProxyOptionId : std::uint32_t { Flags = 1, Server = 2, Bypass = 3, AutoConfigUrl = 4 };
inline constexpr std::uint32_t proxyTypeDirect = 1;
inline constexpr std::uint32_t proxyTypeProxy = 2;

// One entry's setting as WinINet holds it, its texts in UTF-8; an absent
// text is not the same as an empty one.
struct ProxySetting {
    std::uint32_t flags = proxyTypeDirect;
    std::optional<std::string> server, bypass, autoConfigUrl;
    bool operator==(const ProxySetting&) const = default;
};

// One entry of the option list handed to WinINet: a number for Flags, a text
// (absent: not set) for the others.
struct ProxyOption {
    ProxyOptionId id;
    std::uint32_t flags;
    std::optional<std::string> text;
    bool operator==(const ProxyOption&) const = default;
};

// Every kind of traffic to the listener, so browsers send host names and
// programs that read only the SOCKS entry still find it.
std::string listenerProxyText();
// Switched on and pointing at the listener: today's text, the older
// "socks=" one, or the bare address.
bool pointsAtListener(const ProxySetting& setting);
// Connecting: flags, our text, and the user's own bypass list or, when they
// had none, the local and private addresses.
std::vector<ProxyOption> optionsWhileConnected(const std::optional<ProxySetting>& user);
// A stop: everything the user had (nullopt, unreadable: the direct flags
// only); a setting left pointing at the listener by a crash goes direct.
std::vector<ProxyOption> optionsGivingBack(const std::optional<ProxySetting>& user);

// One entry's own setting, kept from the switch until it is given back. The
// name is the phonebook's, in UTF-8; empty: the LAN setting.
struct KeptEntry {
    std::string name;
    ProxySetting setting;
    bool operator==(const KeptEntry&) const = default;
};
using KeptSettings = std::vector<KeptEntry>;

// The restore file's bytes: every text with its exact length and an end
// line, so that a file cut short or garbled never reads as a setting.
std::string encodeKeptSettings(const KeptSettings& kept);
std::optional<KeptSettings> decodeKeptSettings(std::string_view bytes);

// What the system offers. None of these throws.
struct ProxyPlatform {
    // The user's phonebook entries by name (the LAN setting is not one).
    std::function<std::vector<std::string>()> entries;
    // One entry's setting ("": the LAN setting); nullopt when unreadable.
    std::function<std::optional<ProxySetting>(const std::string& entry)> read;
    // Writes the options to one entry: 0, or the system's error number.
    std::function<std::uint32_t(const std::string& entry, const std::vector<ProxyOption>&)> write;
    // Tells running programs that the settings changed, once per round of writes.
    std::function<void()> announce;
    // The restore file beside settings.dat: its bytes (nullopt: missing or
    // unreadable), an atomic replacement (false: not written), its removal.
    std::function<std::optional<std::string>()> loadKept;
    std::function<bool(std::string_view bytes)> saveKept;
    std::function<void()> removeKept;
    std::function<void(std::string_view line)> log;
};

// The connection's hold on the setting of every entry. Any thread; one call
// at a time, so a late rewrite never follows the give-back.
class SystemProxySwitch {
  public:
    explicit SystemProxySwitch(ProxyPlatform p) : platform(std::move(p)) {}

    // Reads every entry, writes what it read to the restore file, then points
    // each at the listener. One that cannot be read is left as it is, one that
    // refuses is logged by name; neither stops the others. false, with every
    // entry as it was, when the LAN setting could not be read or written.
    bool switchOn();
    // While switched: the entries that no longer point at the listener.
    std::vector<std::string> taken();
    // While switched: ours again on every entry, those added to the
    // phonebook since included (their own setting kept first). Nothing once
    // given back.
    void rewrite();
    // Each entry gets its own back, except one another program changed since,
    // which is left as it is (false then). The restore file goes once none
    // failed.
    bool giveBack();

  private:
    std::vector<std::string> entryNames();
    // Reads and keeps the entries not kept yet; true when any was added.
    bool keepNew(const std::vector<std::string>& names);
    void saveKept();
    // Ours to each kept entry; with dropRefused, those that refuse leave the
    // list for the rest of the connection.
    void writeOurs(bool dropRefused);

    ProxyPlatform platform;
    std::mutex lock;
    KeptSettings kept;
    std::vector<std::string> refusing;
    bool on = false;
};

// At start and for --repair: every entry that still points at the listener
// gets back what the restore file holds for it, or goes direct when the file
// is missing, unreadable or garbled (never taken for a setting). An entry
// another program changed is left alone. Returns how many were set back.
int repairSystemProxy(const ProxyPlatform& platform);

// Windows: the process's own, on WinINet, RAS and the file beside settings.dat.
SystemProxySwitch& systemProxy();
ProxyPlatform systemProxyPlatform();
