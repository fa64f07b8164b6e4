// The connect/disconnect toggle and the stop at the window's close.
//
// Transitions are claimed by compare-and-swap so that the UI thread and the
// autostart worker never both start or both stop:
//   Disconnected -> Connecting   claimed by CAS; one connection worker starts.
//   Connecting                   a toggle does nothing: the worker decides.
//   Connected -> Disconnected    the stop. connectionState keeps showing
//                                Connected until the engine has stopped; the
//                                stop in progress is the private flag below,
//                                claimed by CAS, so two stops never overlap.
#include "proxy/toggle.h"
#include "api/connection_request.h"
#include "core/state.h"
#include "proxy/system_proxy.h"

#include <windows.h>

#include <atomic>
#include <thread>

namespace {

std::atomic<bool> stopInProgress{false};
std::atomic<bool> exiting{false};

// The stop's fixed order: the system proxy, the engine, the state. The
// caller holds stopInProgress.
void runStop() {
    setSystemProxy(false);
    connectionEngine().stop();
    appState.connectionState.store(Disconnected);
    requestRepaint();
}

bool claimStop() {
    bool idle = false;
    return stopInProgress.compare_exchange_strong(idle, true);
}

} // namespace

ProxyEngine& connectionEngine() {
    static ProxyEngine& engine = *new ProxyEngine();
    return engine;
}

void toggleConnection() {
    try {
        if (exiting.load()) return;
        ConnectionState seen = Disconnected;
        if (appState.connectionState.compare_exchange_strong(seen, Connecting)) {
            requestRepaint();
            try {
                std::thread(requestConnection).detach();
            } catch (...) {
                appState.connectionState.store(Disconnected);
                requestRepaint();
            }
            return;
        }
        if (seen != Connected || !claimStop()) return;
        struct Release {
            ~Release() { stopInProgress.store(false); }
        } release;
        // Checked again under the claim: a stop that just ended has already
        // made it Disconnected, and must not run twice.
        if (appState.connectionState.load() == Connected) runStop();
    } catch (...) {
    }
}

void stopConnectionAtExit() {
    try {
        exiting.store(true);
        refuseConnectionRequests();
        // A request past its check finishes its start within moments (bind,
        // one thread, the system proxy); one still waiting for the service
        // will end Disconnected by itself and touch nothing.
        const DWORD started = GetTickCount();
        const auto waited = [started] { return GetTickCount() - started; };
        while (connectionRequestCommitting() && waited() < 5000)
            Sleep(10);
        // A stop begun by a toggle finishes within moments.
        bool claimed = claimStop();
        while (!claimed && waited() < 10000) {
            Sleep(10);
            claimed = claimStop();
        }
        if (!claimed) return; // that stop gives the settings back itself

        if (appState.connectionState.load() == Connected) {
            runStop();
        } else {
            ConnectionState connecting = Connecting;
            appState.connectionState.compare_exchange_strong(connecting, Disconnected);
            // Only settings this process changed are given back; a user's own
            // proxy is left alone when we never switched it.
            if (hasKeptSystemProxy()) setSystemProxy(false);
        }
        // The claim is kept: nothing starts or stops after the close.
    } catch (...) {
    }
}
