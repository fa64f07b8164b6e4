// The per-user system proxy of the default (LAN) connection, through WinINet.
// The only WinINet file of the client.
#include "app/system_proxy.h"

#include <windows.h>
#include <wininet.h>

namespace {

static_assert(static_cast<DWORD>(ProxyOptionId::Flags) == INTERNET_PER_CONN_FLAGS &&
              static_cast<DWORD>(ProxyOptionId::Server) == INTERNET_PER_CONN_PROXY_SERVER &&
              static_cast<DWORD>(ProxyOptionId::Bypass) == INTERNET_PER_CONN_PROXY_BYPASS &&
              static_cast<DWORD>(ProxyOptionId::AutoConfigUrl) == INTERNET_PER_CONN_AUTOCONFIG_URL);
static_assert(proxyTypeDirect == PROXY_TYPE_DIRECT && proxyTypeProxy == PROXY_TYPE_PROXY);

// The option list for the default (LAN) connection. Its size is the
// structure's own; 20 is that size on 32-bit Windows only.
INTERNET_PER_CONN_OPTION_LISTW optionList(INTERNET_PER_CONN_OPTIONW* options, DWORD count) {
    INTERNET_PER_CONN_OPTION_LISTW list = {};
    list.dwSize = sizeof list;
    list.pszConnection = nullptr;
    list.dwOptionCount = count;
    list.pOptions = options;
    return list;
}

bool queryOptions(INTERNET_PER_CONN_OPTIONW* options, DWORD count) {
    INTERNET_PER_CONN_OPTION_LISTW list = optionList(options, count);
    DWORD size = sizeof list;
    return InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size) !=
           FALSE;
}

// Takes over a string WinINet allocated for a query (GlobalAlloc'ed).
std::optional<std::wstring> takeString(LPWSTR value) {
    if (!value) return std::nullopt;
    std::wstring text(value);
    GlobalFree(value);
    return text;
}

// The flags the user sees in the dialog, where the system has them; the
// effective flags otherwise (older systems, and Wine, refuse FLAGS_UI).
DWORD queryFlags() {
    INTERNET_PER_CONN_OPTIONW option = {};
    option.dwOption = INTERNET_PER_CONN_FLAGS_UI;
    if (queryOptions(&option, 1) && option.Value.dwValue != 0) return option.Value.dwValue;
    option = {};
    option.dwOption = INTERNET_PER_CONN_FLAGS;
    if (queryOptions(&option, 1) && option.Value.dwValue != 0) return option.Value.dwValue;
    return PROXY_TYPE_DIRECT;
}

std::optional<ProxySetting> readSetting() {
    INTERNET_PER_CONN_OPTIONW options[3] = {};
    options[0].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[1].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[2].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    if (!queryOptions(options, 3)) return std::nullopt;
    ProxySetting setting;
    setting.server = takeString(options[0].Value.pszValue);
    setting.bypass = takeString(options[1].Value.pszValue);
    setting.autoConfigUrl = takeString(options[2].Value.pszValue);
    setting.flags = queryFlags();
    return setting;
}

// false when WinINet refused the options themselves.
bool writeOptions(std::vector<ProxyOption> options) {
    std::vector<INTERNET_PER_CONN_OPTIONW> raw(options.size());
    for (std::size_t i = 0; i < options.size(); ++i) {
        raw[i].dwOption = static_cast<DWORD>(options[i].id);
        if (options[i].id == ProxyOptionId::Flags) {
            raw[i].Value.dwValue = options[i].flags;
        } else {
            raw[i].Value.pszValue = options[i].text ? options[i].text->data() : nullptr;
        }
    }
    INTERNET_PER_CONN_OPTION_LISTW list = optionList(raw.data(), static_cast<DWORD>(raw.size()));
    const bool written = InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list,
                                            sizeof list) != FALSE;
    InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
    return written;
}

} // namespace

std::optional<ProxySetting> switchSystemProxyOn() {
    try {
        std::optional<ProxySetting> user = readSetting();
        if (user && writeOptions(optionsWhileConnected(user))) return user;
    } catch (...) {
        // Out of memory before the write: the setting stays as it was.
    }
    return std::nullopt;
}

bool giveSystemProxyBack(const std::optional<ProxySetting>& user) {
    try {
        // An unreadable setting is given back all the same: ours may be in it.
        const std::optional<ProxySetting> now = readSetting();
        if (now && !pointsAtListener(*now)) return false;
        writeOptions(optionsGivingBack(user));
    } catch (...) {
    }
    return true;
}

bool repairLeftoverSystemProxy() {
    try {
        const std::optional<ProxySetting> now = readSetting();
        if (!now || !pointsAtListener(*now)) return false;
        writeOptions({{ProxyOptionId::Flags, proxyTypeDirect, std::nullopt}});
        return true;
    } catch (...) {
        return false;
    }
}
