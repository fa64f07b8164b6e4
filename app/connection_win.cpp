// The process's connection controller, wired to the service, the engine, the
// system proxy, the message box, the window, the log and the watch of the
// setting, the routes and the clock.
#include "app/connection_controller.h"

#include "api/connection_request.h"
#include "app/network_watch.h"
#include "app/system_proxy.h"
#include "core/log.h"
#include "proxy/engine.h"
#include "ui/failure_box.h"

#include <windows.h>

#include <thread>

namespace {

ConnectionController& controller();

// Never destroyed: a start's worker may still run while the process ends.
ProxyEngine& engine() {
    static ProxyEngine& running = *new ProxyEngine(EngineOptions{}, [](UpstreamCheck result) {
        noteUpstreamOutcome(controller(), result == UpstreamCheck::Ok);
    });
    return running;
}

// How long the end of the user's session may take in all: Windows gives a
// window a few seconds after it has been told.
constexpr std::chrono::milliseconds sessionEndBudget{1500};

ConnectionController& controller() {
    static ConnectionController& controller = *new ConnectionController(ConnectionSeams{
        .requestAnswer = [](std::int32_t location) { return requestConnectionAnswer(location); },
        .startEngine = [](const UpstreamEndpoint& upstream) { return engine().start(upstream); },
        .stopEngine = [] { engine().stop(); },
        .swapUpstream = [](const UpstreamEndpoint& upstream) { engine().swapUpstream(upstream); },
        .checkUpstream =
            [](const UpstreamEndpoint& upstream) {
                const UpstreamCheck result =
                    checkUpstream(upstream, EngineOptions{}.handshakeDeadline);
                return result == UpstreamCheck::Ok ? std::string()
                                                   : std::string(describeUpstreamCheck(result));
            },
        // Out of memory inside: the restore file and the start-up repair
        // still have the user's settings.
        .switchSystemProxy =
            [] {
                try {
                    return systemProxy().switchOn();
                } catch (...) {
                    return false;
                }
            },
        .giveSystemProxyBack =
            [] {
                try {
                    return systemProxy().giveBack();
                } catch (...) {
                    return true;
                }
            },
        .takenSystemProxy =
            [] {
                try {
                    return systemProxy().taken();
                } catch (...) {
                    return std::vector<std::string>();
                }
            },
        .rewriteSystemProxy =
            [] {
                try {
                    systemProxy().rewrite();
                } catch (...) {
                }
            },
        .refreshEngine =
            [](std::chrono::steady_clock::time_point quietSince) { engine().refresh(quietSince); },
        // Both meanings of the Kill Switch come from here: a lost upstream
        // keeps the proxy on the listener, and another program's setting is
        // written over (see ConnectionSeams::killSwitchOn).
        .killSwitchOn = [] { return appState.killSwitchEnabled.load(); },
        .showFailure = [] { showConnectionFailedBox(); },
        .repaint = [] { requestRepaint(); },
        .log = [](std::string_view line) { logLine(line); },
        .runWorker = [](std::function<void()> work) { std::thread(std::move(work)).detach(); },
    });
    return controller;
}

} // namespace

void toggleConnection() {
    toggleConnection(controller());
}

void stopConnectionAtExit() {
    stopConnectionAtExit(controller());
}

void stopConnectionAtSessionEnd() {
    stopConnectionAtExit(controller(), sessionEndBudget);
}

namespace {

std::unique_ptr<NetworkWatch> networkWatch; // UI thread only

} // namespace

void startNetworkWatch() {
    try {
        networkWatch = std::make_unique<NetworkWatch>(NetworkWatchCalls{
            .settingChanged = [] { noteSystemProxyChanged(controller()); },
            .routeChanged =
                [](std::string route, std::chrono::steady_clock::time_point quietSince) {
                    noteDefaultRoute(controller(), std::move(route), quietSince);
                },
        });
    } catch (...) {
        logLine("network: the watch could not start");
    }
}

void stopNetworkWatch() {
    networkWatch.reset();
}

void notePowerEvent(std::uintptr_t event) {
    if (event == PBT_APMSUSPEND) return logLine("network: suspending; the connection is kept");
    if (event != PBT_APMRESUMEAUTOMATIC && event != PBT_APMRESUMESUSPEND) return;
    // The watch's last tick before this message: a time from before the
    // sleep (a missed suspend does not matter), or at worst a moment after
    // the wake, which costs only a live tunnel that had been quiet.
    noteResumed(controller(),
                networkWatch ? networkWatch->lastTick() : std::chrono::steady_clock::now());
}
