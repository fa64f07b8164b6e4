#include "app/system_proxy.h"

#include "proxy/engine.h"

namespace {

std::wstring listenerAddress() {
    return L"127.0.0.1:" + std::to_wstring(listenPort);
}

// The machine itself, the private ranges (RFC 1918) and link-local addresses
// (RFC 3927): a router, a printer or a NAS cannot be reached from the far
// upstream.
std::wstring localBypassList() {
    std::wstring list = L"<local>;localhost;127.*;10.*;192.168.*;169.254.*";
    for (int second = 16; second <= 31; ++second)
        list += L";172." + std::to_wstring(second) + L".*";
    return list;
}

} // namespace

std::wstring listenerProxyText() {
    const std::wstring address = listenerAddress();
    return L"http=" + address + L";https=" + address + L";socks=" + address;
}

bool pointsAtListener(const ProxySetting& setting) {
    // Wine's WinINet query gives our text back as its "http=" entry alone,
    // without the prefix (its registry keeps the whole text).
    return (setting.flags & proxyTypeProxy) && setting.server &&
           (*setting.server == listenerProxyText() ||
            *setting.server == L"socks=" + listenerAddress() ||
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
