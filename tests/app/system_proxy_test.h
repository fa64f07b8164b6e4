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

inline bool queryOne(INTERNET_PER_CONN_OPTIONW& option) {
    INTERNET_PER_CONN_OPTION_LISTW list = {};
    list.dwSize = sizeof list;
    list.dwOptionCount = 1;
    list.pOptions = &option;
    DWORD size = sizeof list;
    return InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size);
}

inline std::wstring queryText(DWORD which) {
    INTERNET_PER_CONN_OPTIONW option = {};
    option.dwOption = which;
    if (!queryOne(option)) return L"(query failed)";
    if (!option.Value.pszValue) return L"(none)";
    std::wstring text = option.Value.pszValue;
    GlobalFree(option.Value.pszValue);
    return text;
}

inline DWORD queryFlagsOption(DWORD which) {
    INTERNET_PER_CONN_OPTIONW option = {};
    option.dwOption = which;
    return queryOne(option) ? option.Value.dwValue : 0;
}

inline ProxySnapshot snapshotProxy() {
    ProxySnapshot s;
    s.flags = queryFlagsOption(INTERNET_PER_CONN_FLAGS_UI);
    if (s.flags == 0) s.flags = queryFlagsOption(INTERNET_PER_CONN_FLAGS);
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
    options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[1].Value.pszValue = const_cast<wchar_t*>(server);
    options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[2].Value.pszValue = const_cast<wchar_t*>(bypass);
    options[3].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    options[3].Value.pszValue = const_cast<wchar_t*>(url);
    INTERNET_PER_CONN_OPTION_LISTW list = {};
    list.dwSize = sizeof list;
    list.dwOptionCount = 4;
    list.pOptions = options;
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
