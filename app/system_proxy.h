// The per-user system proxy of the default (LAN) connection: what connecting
// writes and what a stop gives back (portable, so the lists can be checked
// anywhere), and the WinINet calls that read and write it (Windows). It
// lives in app/ beside the settings file: it is a Windows setting the client
// owns, which only the controller and the start-up repair touch; the engine
// never reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// WinINet's per-connection option numbers and proxy-type bits (wininet.h).
enum class ProxyOptionId : std::uint32_t { Flags = 1, Server = 2, Bypass = 3, AutoConfigUrl = 4 };
inline constexpr std::uint32_t proxyTypeDirect = 1;
inline constexpr std::uint32_t proxyTypeProxy = 2;

// One setting as WinINet holds it; an absent text is not the same as an
// empty one.
struct ProxySetting {
    std::uint32_t flags = proxyTypeDirect;
    std::optional<std::wstring> server, bypass, autoConfigUrl;
    bool operator==(const ProxySetting&) const = default;
};

// One entry of the option list handed to WinINet: a number for Flags, a text
// (absent: not set) for the others.
struct ProxyOption {
    ProxyOptionId id;
    std::uint32_t flags;
    std::optional<std::wstring> text;
    bool operator==(const ProxyOption&) const = default;
};

// Every kind of traffic to the listener, so browsers send host names and
// programs that read only the SOCKS entry still find it.
std::wstring listenerProxyText();
// Switched on and pointing at the listener: today's text, the older
// "socks=" one, or the bare address.
bool pointsAtListener(const ProxySetting& setting);
// Connecting: flags, our text, and the user's own bypass list or, when they
// had none, the local and private addresses.
std::vector<ProxyOption> optionsWhileConnected(const std::optional<ProxySetting>& user);
// A stop: everything the user had (nullopt, unreadable: the direct flags
// only); a setting left pointing at the listener by a crash goes direct.
std::vector<ProxyOption> optionsGivingBack(const std::optional<ProxySetting>& user);

// Windows: reads the user's setting, writes optionsWhileConnected, and
// returns what it read. nullopt, with nothing written, when the setting
// cannot be read (it could not be given back); nullopt also when WinINet
// refuses the write.
std::optional<ProxySetting> switchSystemProxyOn();
// Windows: writes optionsGivingBack(user), unless the setting no longer
// points at the listener: another program (or the user) changed it since,
// and theirs is kept. false then.
bool giveSystemProxyBack(const std::optional<ProxySetting>& user);
// Windows, at start: when the setting still points at the listener although
// nothing runs (a crash or a killed process), switches it to direct. True
// when it did.
bool repairLeftoverSystemProxy();
