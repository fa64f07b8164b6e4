// Reading the per-user proxy setting back, for the tests: through WinINet and
// straight from the registry values WinINet keeps it in.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <ostream>
#include <string>

struct ProxySnapshot {
    DWORD flags = 0;
    std::wstring server, bypass, autoConfigUrl; // "(none)" when not set
    bool operator==(const ProxySnapshot&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const ProxySnapshot& s) {
    auto narrow = [](const std::wstring& w) { return std::string(w.begin(), w.end()); };
    return out << "{flags " << s.flags << ", server " << narrow(s.server) << ", bypass "
               << narrow(s.bypass) << ", url " << narrow(s.autoConfigUrl) << "}";
}

// One per-connection option of the default connection; false when the query fails.
inline bool queryOne(DWORD which, INTERNET_PER_CONN_OPTIONW& option) {
    option = {};
    option.dwOption = which;
    INTERNET_PER_CONN_OPTION_LISTW list = {sizeof list, nullptr, 1, 0, &option};
    DWORD size = sizeof list;
    return InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size);
}

inline std::wstring queryText(DWORD which) {
    INTERNET_PER_CONN_OPTIONW option;
    if (!queryOne(which, option)) return L"(query failed)";
    if (!option.Value.pszValue) return L"(none)";
    std::wstring text = option.Value.pszValue;
    GlobalFree(option.Value.pszValue);
    return text;
}

inline ProxySnapshot snapshotProxy() {
    ProxySnapshot s;
    INTERNET_PER_CONN_OPTIONW option;
    if (queryOne(INTERNET_PER_CONN_FLAGS_UI, option)) s.flags = option.Value.dwValue;
    if (s.flags == 0 && queryOne(INTERNET_PER_CONN_FLAGS, option)) s.flags = option.Value.dwValue;
    s.server = queryText(INTERNET_PER_CONN_PROXY_SERVER);
    s.bypass = queryText(INTERNET_PER_CONN_PROXY_BYPASS);
    s.autoConfigUrl = queryText(INTERNET_PER_CONN_AUTOCONFIG_URL);
    return s;
}

// Sets the setting as a user (or another program) would: all four options.
inline void setUserProxy(DWORD flags, const wchar_t* server, const wchar_t* bypass,
                         const wchar_t* url) {
    INTERNET_PER_CONN_OPTIONW options[4] = {};
    options[0].dwOption = INTERNET_PER_CONN_FLAGS;
    options[0].Value.dwValue = flags;
    const DWORD texts[] = {INTERNET_PER_CONN_PROXY_SERVER, INTERNET_PER_CONN_PROXY_BYPASS,
                           INTERNET_PER_CONN_AUTOCONFIG_URL};
    const wchar_t* values[] = {server, bypass, url};
    for (int i = 0; i < 3; ++i) {
        options[i + 1].dwOption = texts[i];
        options[i + 1].Value.pszValue = const_cast<wchar_t*>(values[i]);
    }
    INTERNET_PER_CONN_OPTION_LISTW list = {sizeof list, nullptr, 4, 0, options};
    InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof list);
}

inline constexpr const wchar_t* internetSettingsKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

inline DWORD registryProxyEnable() {
    DWORD value = 0xffffffff, size = sizeof value;
    RegGetValueW(HKEY_CURRENT_USER, internetSettingsKey, L"ProxyEnable", RRF_RT_REG_DWORD, nullptr,
                 &value, &size);
    return value;
}

inline std::wstring registryProxyServer() {
    wchar_t value[512] = L"(none)";
    DWORD size = sizeof value;
    RegGetValueW(HKEY_CURRENT_USER, internetSettingsKey, L"ProxyServer", RRF_RT_REG_SZ, nullptr,
                 value, &size);
    return value;
}
