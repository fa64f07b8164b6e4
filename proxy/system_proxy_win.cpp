// The per-user system proxy of the default (LAN) connection, through WinINet.
// The only WinINet file of the client.
#include "proxy/system_proxy.h"
#include "core/state.h"
#include "proxy/toggle.h"

#include <windows.h>
#include <wininet.h>

#include <cwchar>
#include <string>

namespace {

// What the user had before we pointed the setting at our listener. Kept in
// memory only, and allocated once and never freed: a worker may still call
// in while the process ends.
struct KeptProxySettings {
    bool kept = false;
    DWORD flags = PROXY_TYPE_DIRECT;
    // A null option means "not set"; keep that apart from an empty text.
    bool hasServer = false, hasBypass = false, hasAutoConfigUrl = false;
    std::wstring server, bypass, autoConfigUrl;
};
KeptProxySettings& keptSettings = *new KeptProxySettings();

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

// "socks=127.0.0.1:10800" into text (at least 64 units).
void formatListenerText(wchar_t* text) {
    wsprintfW(text, L"socks=127.0.0.1:%d", static_cast<int>(listenPort));
}

bool queryOptions(INTERNET_PER_CONN_OPTIONW* options, DWORD count) {
    INTERNET_PER_CONN_OPTION_LISTW list = optionList(options, count);
    DWORD size = sizeof list;
    return InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size) !=
           FALSE;
}

// Takes over a string WinINet allocated for a query (GlobalAlloc'ed).
void takeString(LPWSTR value, bool& present, std::wstring& text) {
    present = value != nullptr;
    text = value ? std::wstring(value) : std::wstring();
    if (value) GlobalFree(value);
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

bool isOurListener(const std::wstring& server) {
    wchar_t ours[64];
    formatListenerText(ours);
    return server == ours;
}

// Reads the user's current settings before the first switch to our listener.
// A later enable (still switched on) must not keep our own setting instead.
void keepUserSettings() {
    if (keptSettings.kept) return;
    INTERNET_PER_CONN_OPTIONW options[3] = {};
    options[0].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[1].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[2].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    if (!queryOptions(options, 3)) return; // nothing kept: the stop falls back to direct
    KeptProxySettings kept;
    kept.flags = queryFlags();
    takeString(options[0].Value.pszValue, kept.hasServer, kept.server);
    takeString(options[1].Value.pszValue, kept.hasBypass, kept.bypass);
    takeString(options[2].Value.pszValue, kept.hasAutoConfigUrl, kept.autoConfigUrl);
    // A setting left pointing at our listener (a crash) is not the user's:
    // giving it back would cut the Internet off.
    if ((kept.flags & PROXY_TYPE_PROXY) && isOurListener(kept.server)) {
        kept.flags = (kept.flags & ~static_cast<DWORD>(PROXY_TYPE_PROXY)) | PROXY_TYPE_DIRECT;
    }
    kept.kept = true;
    keptSettings = std::move(kept);
}

void applyOptions(INTERNET_PER_CONN_OPTIONW* options, DWORD count) {
    INTERNET_PER_CONN_OPTION_LISTW list = optionList(options, count);
    InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof list);
    InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
}

// The flags alone, set to direct: what the stop writes when nothing was kept.
void applyDirectFlags() {
    INTERNET_PER_CONN_OPTIONW option = {};
    option.dwOption = INTERNET_PER_CONN_FLAGS;
    option.Value.dwValue = PROXY_TYPE_DIRECT;
    applyOptions(&option, 1);
}

LPWSTR optionText(bool present, std::wstring& text) {
    return present ? text.data() : nullptr;
}

} // namespace

void setSystemProxy(bool enable) {
    try {
        if (enable) {
            keepUserSettings();
            INTERNET_PER_CONN_OPTIONW options[2] = {};
            options[0].dwOption = INTERNET_PER_CONN_FLAGS;
            options[0].Value.dwValue = PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY;
            formatListenerText(appState.proxyServerText);
            options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
            options[1].Value.pszValue = appState.proxyServerText;
            applyOptions(options, 2);
            return;
        }
        if (!keptSettings.kept) {
            applyDirectFlags();
            return;
        }
        KeptProxySettings& kept = keptSettings;
        INTERNET_PER_CONN_OPTIONW options[4] = {};
        options[0].dwOption = INTERNET_PER_CONN_FLAGS;
        options[0].Value.dwValue = kept.flags;
        options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
        options[1].Value.pszValue = optionText(kept.hasServer, kept.server);
        options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
        options[2].Value.pszValue = optionText(kept.hasBypass, kept.bypass);
        options[3].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
        options[3].Value.pszValue = optionText(kept.hasAutoConfigUrl, kept.autoConfigUrl);
        applyOptions(options, 4);
        kept.kept = false;
    } catch (...) {
        // Allocation failure while keeping: the setting stays as it was.
    }
}

bool hasKeptSystemProxy() {
    return keptSettings.kept;
}

void repairLeftoverSystemProxy() {
    try {
        if (appState.connectionState.load() != Disconnected || connectionEngine().running()) {
            return;
        }
        INTERNET_PER_CONN_OPTIONW option = {};
        option.dwOption = INTERNET_PER_CONN_PROXY_SERVER;
        if (!queryOptions(&option, 1)) return;
        bool present = false;
        std::wstring server;
        takeString(option.Value.pszValue, present, server);
        INTERNET_PER_CONN_OPTIONW flags = {};
        flags.dwOption = INTERNET_PER_CONN_FLAGS;
        if (!queryOptions(&flags, 1)) return;
        if (!(flags.Value.dwValue & PROXY_TYPE_PROXY) || !isOurListener(server)) return;
        applyDirectFlags();
    } catch (...) {
    }
}
