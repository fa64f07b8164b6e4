#include "app/system_proxy.h"

#include "proxy/engine.h"

#include <algorithm>
#include <initializer_list>

namespace {

std::string listenerAddress() {
    return "127.0.0.1:" + std::to_string(listenPort);
}

// The machine itself, the private ranges (RFC 1918) and link-local addresses
// (RFC 3927): a router, a printer or a NAS cannot be reached from the far
// upstream.
std::string localBypassList() {
    std::string list = "<local>;localhost;127.*;10.*;192.168.*;169.254.*";
    for (int second = 16; second <= 31; ++second)
        list += ";172." + std::to_string(second) + ".*";
    return list;
}

} // namespace

std::string listenerProxyText() {
    const std::string address = listenerAddress();
    return "http=" + address + ";https=" + address + ";socks=" + address;
}

bool pointsAtListener(const ProxySetting& setting) {
    // Wine's WinINet query gives our text back as its "http=" entry alone,
    // without the prefix (its registry keeps the whole text).
    return (setting.flags & proxyTypeProxy) && setting.server &&
           (*setting.server == listenerProxyText() ||
            *setting.server == "socks=" + listenerAddress() ||
            *setting.server == listenerAddress());
}

std::vector<ProxyOption> optionsWhileConnected(const std::optional<ProxySetting>& user) {
    const bool ownBypass = user && user->bypass && !user->bypass->empty();
    return {{ProxyOptionId::Flags, proxyTypeDirect | proxyTypeProxy, std::nullopt},
            {ProxyOptionId::Server, 0, listenerProxyText()},
            {ProxyOptionId::Bypass, 0, ownBypass ? *user->bypass : localBypassList()}};
}

std::vector<ProxyOption> optionsGivingBack(const std::optional<ProxySetting>& user) {
    if (!user) return {{ProxyOptionId::Flags, proxyTypeDirect, std::nullopt}};
    std::uint32_t flags = user->flags;
    // Giving back a leftover of ours would point the user at a dead proxy.
    if (pointsAtListener(*user)) flags = (flags & ~proxyTypeProxy) | proxyTypeDirect;
    return {{ProxyOptionId::Flags, flags, std::nullopt},
            {ProxyOptionId::Server, 0, user->server},
            {ProxyOptionId::Bypass, 0, user->bypass},
            {ProxyOptionId::AutoConfigUrl, 0, user->autoConfigUrl}};
}

namespace {

constexpr std::string_view fileHeader = "Sovelin proxy settings 1\n";

// " -" for an absent text, else " <bytes>:<text>", then the line's end.
void putText(std::string& out, std::string_view key, const std::optional<std::string>& text) {
    out += key;
    if (!text) {
        out += " -\n";
        return;
    }
    out += ' ';
    out += std::to_string(text->size());
    out += ':';
    out += *text;
    out += '\n';
}

// Reads the file exactly as it is written; any difference fails.
class Reader {
  public:
    explicit Reader(std::string_view bytes) : rest(bytes) {}
    bool take(std::string_view expected) {
        if (!rest.starts_with(expected)) return false;
        rest.remove_prefix(expected.size());
        return true;
    }
    // At most ten decimal digits, then `end`.
    bool number(std::uint64_t& value, char end) {
        std::size_t n = 0;
        value = 0;
        while (n < rest.size() && n <= 10 && rest[n] >= '0' && rest[n] <= '9')
            value = value * 10 + static_cast<std::uint64_t>(rest[n++] - '0');
        if (n == 0 || n > 10 || n >= rest.size() || rest[n] != end) return false;
        rest.remove_prefix(n + 1);
        return true;
    }
    bool text(std::string_view key, std::optional<std::string>& out) {
        if (!take(key)) return false;
        if (take(" -\n")) {
            out.reset();
            return true;
        }
        std::uint64_t length = 0;
        if (!take(" ") || !number(length, ':') || length >= rest.size()) return false;
        out = std::string(rest.substr(0, length));
        rest.remove_prefix(length);
        return take("\n");
    }
    bool done() const { return rest.empty(); }

  private:
    std::string_view rest;
};

} // namespace

std::string encodeKeptSettings(const KeptSettings& kept) {
    std::string out(fileHeader);
    for (const KeptEntry& e : kept) {
        putText(out, "entry", e.name);
        out += "flags " + std::to_string(e.setting.flags) + "\n";
        putText(out, "server", e.setting.server);
        putText(out, "bypass", e.setting.bypass);
        putText(out, "autoconfig", e.setting.autoConfigUrl);
    }
    return out + "end\n";
}

std::optional<KeptSettings> decodeKeptSettings(std::string_view bytes) {
    Reader r(bytes);
    if (!r.take(fileHeader)) return std::nullopt;
    KeptSettings kept;
    while (!r.take("end\n")) {
        KeptEntry e;
        std::optional<std::string> name;
        std::uint64_t flags = 0;
        if (!r.text("entry", name) || !name || !r.take("flags ") || !r.number(flags, '\n') ||
            flags > 0xffffffffu || !r.text("server", e.setting.server) ||
            !r.text("bypass", e.setting.bypass) || !r.text("autoconfig", e.setting.autoConfigUrl))
            return std::nullopt;
        e.name = std::move(*name);
        e.setting.flags = static_cast<std::uint32_t>(flags);
        kept.push_back(std::move(e));
    }
    if (!r.done()) return std::nullopt;
    return kept;
}

namespace {

void note(const ProxyPlatform& p, std::initializer_list<std::string_view> parts) noexcept {
    try {
        std::string line;
        for (std::string_view part : parts)
            line += part;
        p.log(line);
    } catch (...) {
    }
}

std::string describe(const std::string& entry) {
    return entry.empty() ? "the LAN setting" : "entry \"" + entry + "\"";
}

void noteRefusal(const ProxyPlatform& p, std::string_view who, const std::string& entry,
                 std::uint32_t error) {
    note(p, {who, describe(entry), " refused the write (error ", std::to_string(error), ")"});
}

// The LAN setting, then the phonebook's entries, each once.
std::vector<std::string> withLan(std::vector<std::string> entries) {
    std::vector<std::string> names{""};
    for (std::string& name : entries)
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(std::move(name));
    return names;
}

const KeptEntry* find(const KeptSettings& kept, const std::string& name) {
    const auto at =
        std::find_if(kept.begin(), kept.end(), [&](const KeptEntry& e) { return e.name == name; });
    return at == kept.end() ? nullptr : &*at;
}

} // namespace

std::vector<std::string> SystemProxySwitch::entryNames() {
    return withLan(platform.entries());
}

bool SystemProxySwitch::keepNew(const std::vector<std::string>& names) {
    bool added = false;
    for (const std::string& name : names) {
        if (find(kept, name) || std::count(refusing.begin(), refusing.end(), name)) continue;
        std::optional<ProxySetting> own = platform.read(name);
        if (!own) {
            note(platform, {"system proxy: ", describe(name), " cannot be read; left as it is"});
            continue;
        }
        if (on) note(platform, {"system proxy: ", describe(name), " is new; it gets ours too"});
        kept.push_back({name, std::move(*own)});
        added = true;
    }
    return added;
}

void SystemProxySwitch::saveKept() {
    if (!platform.saveKept(encodeKeptSettings(kept)))
        note(platform, {"system proxy: the restore file could not be written"});
}

void SystemProxySwitch::writeOurs(bool dropRefused) {
    std::erase_if(kept, [&](const KeptEntry& e) {
        const std::uint32_t error = platform.write(e.name, optionsWhileConnected(e.setting));
        if (error) noteRefusal(platform, "system proxy: ", e.name, error);
        if (error && dropRefused) refusing.push_back(e.name);
        return error && dropRefused;
    });
    platform.announce();
}

bool SystemProxySwitch::switchOn() {
    std::lock_guard<std::mutex> guard(lock);
    if (on) return true;
    kept.clear();
    refusing.clear();
    const std::vector<std::string> names = entryNames();
    // The LAN setting first: unreadable, it could not be given back, and
    // nothing is written anywhere.
    std::optional<ProxySetting> lan = platform.read("");
    if (!lan) {
        note(platform, {"system proxy: the LAN setting cannot be read; nothing switched"});
        return false;
    }
    kept.push_back({"", std::move(*lan)});
    keepNew(names);
    // Before any write of ours: a crash from here on finds what to give back.
    saveKept();
    writeOurs(true);
    on = find(kept, "") != nullptr;
    if (on) return true;
    // Without the LAN setting there is no connection to show: the others go back.
    for (const KeptEntry& e : kept)
        if (const std::uint32_t error = platform.write(e.name, optionsGivingBack(e.setting)))
            noteRefusal(platform, "system proxy: giving back, ", e.name, error);
    if (!kept.empty()) platform.announce();
    kept.clear();
    platform.removeKept();
    return false;
}

std::vector<std::string> SystemProxySwitch::taken() {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> names;
    if (!on) return names;
    for (const KeptEntry& e : kept) {
        const std::optional<ProxySetting> now = platform.read(e.name);
        if (now && !pointsAtListener(*now)) names.push_back(e.name);
    }
    return names;
}

void SystemProxySwitch::rewrite() {
    std::lock_guard<std::mutex> guard(lock);
    if (!on) return;
    if (keepNew(entryNames())) saveKept();
    writeOurs(false);
}

bool SystemProxySwitch::giveBack() {
    std::lock_guard<std::mutex> guard(lock);
    if (!on) return true;
    on = false;
    bool theirsKept = false, failed = false;
    for (const KeptEntry& e : kept) {
        // An unreadable setting is given back all the same: ours may be in it.
        const std::optional<ProxySetting> now = platform.read(e.name);
        if (now && !pointsAtListener(*now)) {
            note(platform, {"system proxy: ", describe(e.name),
                            " was changed by another program; left as it is"});
            theirsKept = true;
        } else if (const std::uint32_t error =
                       platform.write(e.name, optionsGivingBack(e.setting))) {
            noteRefusal(platform, "system proxy: giving back, ", e.name, error);
            failed = true;
        }
    }
    platform.announce();
    // A refused give-back is left to the repair at the next start.
    if (!failed) platform.removeKept();
    kept.clear();
    return !theirsKept;
}

int repairSystemProxy(const ProxyPlatform& p) {
    try {
        const std::optional<std::string> bytes = p.loadKept();
        const std::optional<KeptSettings> kept =
            bytes ? decodeKeptSettings(*bytes) : std::optional<KeptSettings>();
        if (bytes && !kept) note(p, {"repair: the restore file is garbled; not used"});
        std::vector<std::string> entries = p.entries();
        if (kept)
            for (const KeptEntry& e : *kept)
                entries.push_back(e.name);
        int setBack = 0;
        bool failed = false;
        for (const std::string& name : withLan(std::move(entries))) {
            const std::optional<ProxySetting> now = p.read(name);
            if (!now || !pointsAtListener(*now)) continue; // not ours, or not any more
            const KeptEntry* own = kept ? find(*kept, name) : nullptr;
            const auto options =
                optionsGivingBack(own ? std::optional(own->setting) : std::nullopt);
            if (const std::uint32_t error = p.write(name, options)) {
                noteRefusal(p, "repair: ", name, error);
                failed = true;
                continue;
            }
            ++setBack;
            note(p, {"repair: ", describe(name), " still pointed at the listener; ",
                     own ? "given back what the restore file holds" : "set back to direct"});
        }
        if (setBack) p.announce();
        if (bytes && !failed) p.removeKept();
        return setBack;
    } catch (...) {
        // Out of memory at start: the file stays for the next one.
        return 0;
    }
}
