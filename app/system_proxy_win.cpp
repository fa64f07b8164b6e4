// The per-user system proxy of every connection entry through WinINet, the
// phonebook through RAS, and the restore file beside settings.dat. The only
// WinINet file of the client. Wide-character calls throughout: phonebook
// names are often not English.
#include "app/system_proxy.h"

#include "app/settings.h"
#include "core/log.h"
#include "core/text.h"

#include <windows.h>
#include <ras.h>
#include <raserror.h>
#include <wininet.h>

namespace {

static_assert(static_cast<DWORD>(ProxyOptionId::Flags) == INTERNET_PER_CONN_FLAGS &&
              static_cast<DWORD>(ProxyOptionId::Server) == INTERNET_PER_CONN_PROXY_SERVER &&
              static_cast<DWORD>(ProxyOptionId::Bypass) == INTERNET_PER_CONN_PROXY_BYPASS &&
              static_cast<DWORD>(ProxyOptionId::AutoConfigUrl) == INTERNET_PER_CONN_AUTOCONFIG_URL);
static_assert(proxyTypeDirect == PROXY_TYPE_DIRECT && proxyTypeProxy == PROXY_TYPE_PROXY);

constexpr const char* restoreFileName = "proxy-restore.dat";
constexpr const char* restoreTempFileName = "proxy-restore.dat.tmp";

// The option list of one entry: by its phonebook name, or null for the LAN
// setting. Its size is the structure's own; 20 is that size on 32-bit
// Windows only.
INTERNET_PER_CONN_OPTION_LISTW optionList(std::wstring& entry, INTERNET_PER_CONN_OPTIONW* options,
                                          DWORD count) {
    INTERNET_PER_CONN_OPTION_LISTW list = {};
    list.dwSize = sizeof list;
    list.pszConnection = entry.empty() ? nullptr : entry.data();
    list.dwOptionCount = count;
    list.pOptions = options;
    return list;
}

bool queryOptions(std::wstring& entry, INTERNET_PER_CONN_OPTIONW* options, DWORD count) {
    INTERNET_PER_CONN_OPTION_LISTW list = optionList(entry, options, count);
    DWORD size = sizeof list;
    return InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size) !=
           FALSE;
}

// Takes over a string WinINet allocated for a query (GlobalAlloc'ed).
std::optional<std::string> takeString(LPWSTR value) {
    if (!value) return std::nullopt;
    std::string text = wideToUtf8(value);
    GlobalFree(value);
    return text;
}

// The flags the user sees in the dialog, where the system has them; the
// effective flags otherwise (older systems, and Wine, refuse FLAGS_UI).
DWORD queryFlags(std::wstring& entry) {
    INTERNET_PER_CONN_OPTIONW option = {};
    option.dwOption = INTERNET_PER_CONN_FLAGS_UI;
    if (queryOptions(entry, &option, 1) && option.Value.dwValue != 0) return option.Value.dwValue;
    option = {};
    option.dwOption = INTERNET_PER_CONN_FLAGS;
    if (queryOptions(entry, &option, 1) && option.Value.dwValue != 0) return option.Value.dwValue;
    return PROXY_TYPE_DIRECT;
}

std::optional<ProxySetting> readSetting(const std::string& name) {
    std::wstring entry = utf8ToWide(name);
    INTERNET_PER_CONN_OPTIONW options[3] = {};
    options[0].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[1].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[2].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    if (!queryOptions(entry, options, 3)) return std::nullopt;
    ProxySetting setting;
    setting.server = takeString(options[0].Value.pszValue);
    setting.bypass = takeString(options[1].Value.pszValue);
    setting.autoConfigUrl = takeString(options[2].Value.pszValue);
    setting.flags = queryFlags(entry);
    return setting;
}

// 0, or why WinINet refused the options (87 under a per-machine policy).
std::uint32_t writeSetting(const std::string& name, const std::vector<ProxyOption>& options) {
    std::wstring entry = utf8ToWide(name);
    std::vector<std::wstring> texts(options.size());
    std::vector<INTERNET_PER_CONN_OPTIONW> raw(options.size());
    for (std::size_t i = 0; i < options.size(); ++i) {
        raw[i].dwOption = static_cast<DWORD>(options[i].id);
        if (options[i].id == ProxyOptionId::Flags) {
            raw[i].Value.dwValue = options[i].flags;
        } else if (options[i].text) {
            texts[i] = utf8ToWide(*options[i].text);
            raw[i].Value.pszValue = texts[i].data();
        }
    }
    INTERNET_PER_CONN_OPTION_LISTW list =
        optionList(entry, raw.data(), static_cast<DWORD>(raw.size()));
    if (InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof list))
        return 0;
    const DWORD error = GetLastError();
    return error ? error : ERROR_GEN_FAILURE;
}

// Every entry of the phonebooks the user sees (theirs and all users'); none
// when RAS cannot say (Wine lists none).
std::vector<std::string> phonebookEntries() {
    std::vector<RASENTRYNAMEW> names(8);
    for (int attempt = 0; attempt < 3; ++attempt) {
        names[0].dwSize = sizeof(RASENTRYNAMEW);
        DWORD bytes = static_cast<DWORD>(names.size() * sizeof(RASENTRYNAMEW)), count = 0;
        const DWORD result = RasEnumEntriesW(nullptr, nullptr, names.data(), &bytes, &count);
        if (result == ERROR_BUFFER_TOO_SMALL) {
            names.resize(bytes / sizeof(RASENTRYNAMEW) + 1);
            continue;
        }
        if (result != ERROR_SUCCESS) return {};
        std::vector<std::string> entries;
        for (DWORD i = 0; i < count && i < names.size(); ++i)
            entries.push_back(wideToUtf8(names[i].szEntryName));
        return entries;
    }
    return {};
}

} // namespace

ProxyPlatform systemProxyPlatform() {
    return {
        .entries =
            [] {
                try {
                    return phonebookEntries();
                } catch (...) {
                    return std::vector<std::string>();
                }
            },
        .read =
            [](const std::string& entry) {
                try {
                    return readSetting(entry);
                } catch (...) {
                    return std::optional<ProxySetting>();
                }
            },
        .write =
            [](const std::string& entry, const std::vector<ProxyOption>& options) {
                try {
                    return writeSetting(entry, options);
                } catch (...) {
                    // Out of memory before the write: the setting stays as it was.
                    return std::uint32_t{ERROR_OUTOFMEMORY};
                }
            },
        .announce =
            [] {
                InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
                InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
            },
        .loadKept =
            [] {
                try {
                    return readWholeFile(restoreFileName);
                } catch (...) {
                    return std::optional<std::string>();
                }
            },
        .saveKept =
            [](std::string_view bytes) {
                try {
                    return replaceFile(restoreFileName, restoreTempFileName, bytes);
                } catch (...) {
                    return false;
                }
            },
        .removeKept =
            [] {
                try {
                    removeFile(restoreFileName);
                } catch (...) {
                }
            },
        .log = [](std::string_view line) { logLine(line); },
    };
}

SystemProxySwitch& systemProxy() {
    // Never destroyed: a worker may still give the setting back as the process ends.
    static SystemProxySwitch& process = *new SystemProxySwitch(systemProxyPlatform());
    return process;
}
