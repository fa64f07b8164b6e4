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
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, internetSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                    &key, nullptr);
    if (value.enable) {
        RegSetValueExW(key, L"ProxyEnable", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&*value.enable), sizeof(DWORD));
    } else {
        RegDeleteValueW(key, L"ProxyEnable");
    }
    if (value.server) {
        RegSetValueExW(key, L"ProxyServer", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(value.server->c_str()),
                       static_cast<DWORD>((value.server->size() + 1) * sizeof(wchar_t)));
    } else {
        RegDeleteValueW(key, L"ProxyServer");
    }
    RegCloseKey(key);
}
