// The watch of the Internet Settings key (RegNotifyChangeKeyValue) and of the
// IPv4 routes (NotifyRouteChange2), with the clock's tick, on one thread.
#include "app/network_watch.h"

#include "core/log.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <atomic>
#include <optional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto tickEvery = std::chrono::seconds(1);
// One WinINet write is several registry values; they are read once together.
constexpr auto settingSettles = std::chrono::milliseconds(300);
// A network coming up changes its routes several times within a second or two.
constexpr auto routeSettles = std::chrono::milliseconds(2000);
constexpr const wchar_t* internetSettingsKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

std::string addressText(const IN_ADDR& address) {
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &address, text, sizeof text) ? std::string(text) : std::string("?");
}

// The IPv4 route the system would take to the Internet now: its interface,
// gateway and source address. 192.0.2.1 (RFC 5737) is reached only through
// the default route; nothing is sent to it.
std::string defaultRoute() {
    SOCKADDR_INET destination = {};
    destination.Ipv4.sin_family = AF_INET;
    destination.Ipv4.sin_addr.s_addr = htonl(0xC0000201);
    MIB_IPFORWARD_ROW2 row = {};
    SOCKADDR_INET source = {};
    if (GetBestRoute2(nullptr, 0, nullptr, &destination, 0, &row, &source) != NO_ERROR) return {};
    return "interface " + std::to_string(row.InterfaceIndex) + " via " +
           addressText(row.NextHop.Ipv4.sin_addr) + " from " + addressText(source.Ipv4.sin_addr);
}

void CALLBACK routeChangedCallback(PVOID routeEvent, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE) {
    SetEvent(static_cast<HANDLE>(routeEvent));
}

} // namespace

struct NetworkWatch::State {
    NetworkWatchCalls calls;
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE setting = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE route = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HKEY key = nullptr;
    HANDLE routeNotice = nullptr;
    std::atomic<Clock::rep> tick{Clock::now().time_since_epoch().count()};
    std::thread thread;

    ~State() {
        if (routeNotice) CancelMibChangeNotify2(routeNotice);
        if (key) RegCloseKey(key);
        for (HANDLE h : {stop, setting, route})
            if (h) CloseHandle(h);
    }

    // Told once: each notification must be asked for again.
    bool watchKey() {
        return key && RegNotifyChangeKeyValue(key, TRUE,
                                              REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                              setting, TRUE) == ERROR_SUCCESS;
    }

    void run() {
        if (!watchKey()) logLine("network: the proxy setting cannot be watched");
        calls.routeChanged(defaultRoute(), Clock::now());
        std::optional<Clock::time_point> settingDue, routeDue;
        Clock::time_point routeQuietSince;
        const HANDLE events[] = {stop, setting, route};
        for (;;) {
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(tickEvery);
            for (const auto& due : {settingDue, routeDue})
                if (due)
                    wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(
                                              std::max(*due - Clock::now(), Clock::duration{})));
            const DWORD woke =
                WaitForMultipleObjects(3, events, FALSE, static_cast<DWORD>(wait.count()));
            const Clock::time_point before{Clock::duration{tick.load()}};
            const auto now = Clock::now();
            tick = now.time_since_epoch().count();
            if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) return;
            if (woke == WAIT_OBJECT_0 + 1) {
                watchKey();
                if (!settingDue) settingDue = now + settingSettles;
            }
            if (woke == WAIT_OBJECT_0 + 2 && !routeDue) {
                routeQuietSince = before;
                routeDue = now + routeSettles;
            }
            if (settingDue && now >= *settingDue) {
                settingDue.reset();
                calls.settingChanged();
            }
            if (routeDue && now >= *routeDue) {
                routeDue.reset();
                calls.routeChanged(defaultRoute(), routeQuietSince);
            }
        }
    }
};

NetworkWatch::NetworkWatch(NetworkWatchCalls calls) : state(std::make_unique<State>()) {
    State& s = *state;
    s.calls = std::move(calls);
    if (RegOpenKeyExW(HKEY_CURRENT_USER, internetSettingsKey, 0, KEY_NOTIFY, &s.key) !=
        ERROR_SUCCESS)
        s.key = nullptr;
    // Wine 8 accepts this and never calls back (and has no GetBestRoute2):
    // there only resumes and failed dials refresh.
    const DWORD routes =
        NotifyRouteChange2(AF_INET, routeChangedCallback, s.route, FALSE, &s.routeNotice);
    if (routes != NO_ERROR) {
        s.routeNotice = nullptr;
        logLine("network: route changes cannot be watched (error " + std::to_string(routes) + ")");
    }
    s.thread = std::thread([&s] {
        try {
            s.run();
        } catch (...) {
            logLine("network: the watch ended with an exception");
        }
    });
}

NetworkWatch::~NetworkWatch() {
    SetEvent(state->stop);
    if (state->thread.joinable()) state->thread.join();
}

Clock::time_point NetworkWatch::lastTick() const {
    return Clock::time_point{Clock::duration{state->tick.load()}};
}
