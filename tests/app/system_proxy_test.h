// The registry values in which Wine keeps the per-user proxy setting (the
// enable flag and the server text; it keeps nothing else), read and written
// as another program would.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

inline constexpr const wchar_t* internetSettingsKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// The enable flag and the server text; nullopt where a value is absent.
struct RegistryProxy {
    std::optional<DWORD> enable;
    std::optional<std::wstring> server;
    bool operator==(const RegistryProxy&) const = default;
};

inline RegistryProxy readRegistryProxy() {
    RegistryProxy now;
    DWORD enable = 0, size = sizeof enable;
    if (RegGetValueW(HKEY_CURRENT_USER, internetSettingsKey, L"ProxyEnable", RRF_RT_REG_DWORD,
                     nullptr, &enable, &size) == ERROR_SUCCESS)
        now.enable = enable;
    wchar_t server[1024];
    size = sizeof server;
    if (RegGetValueW(HKEY_CURRENT_USER, internetSettingsKey, L"ProxyServer", RRF_RT_REG_SZ, nullptr,
                     server, &size) == ERROR_SUCCESS)
        now.server = server;
    return now;
}

inline void writeRegistryProxy(const RegistryProxy& value) {
    if (value.enable) {
        RegSetKeyValueW(HKEY_CURRENT_USER, internetSettingsKey, L"ProxyEnable", REG_DWORD,
                        &*value.enable, sizeof(DWORD));
    } else {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, internetSettingsKey, L"ProxyEnable");
    }
    if (value.server) {
        RegSetKeyValueW(HKEY_CURRENT_USER, internetSettingsKey, L"ProxyServer", REG_SZ,
                        value.server->c_str(),
                        static_cast<DWORD>((value.server->size() + 1) * sizeof(wchar_t)));
    } else {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, internetSettingsKey, L"ProxyServer");
    }
}
