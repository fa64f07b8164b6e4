// The connection's life: the start, the stop and the stop at exit, a lost
// upstream, another program's hold on the system proxy, sleep and network
// changes, as one state machine behind one lock. Portable; everything it
// changes outside the process is reached through the seams, which
// app/connection_win.cpp wires.
#pragma once

#include "core/state.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// None of these throws; each is called without the controller's lock held,
// except swapUpstream, which only hands the endpoint over.
struct ConnectionSeams {
    // The service's answer for the location at that index of the catalogue;
    // empty: no answer.
    std::function<std::string(std::int32_t location)> requestAnswer;
    // false: the listener's port could not be bound, and nothing runs.
    std::function<bool(const UpstreamEndpoint&)> startEngine;
    std::function<void()> stopEngine;
    // The running engine's sessions dial this endpoint from now on.
    std::function<void(const UpstreamEndpoint&)> swapUpstream;
    // One negotiation with the upstream; empty when it let us in, else why not.
    std::function<std::string(const UpstreamEndpoint&)> checkUpstream;
    // Points every connection entry's system proxy at the listener, keeping
    // what each had; false when nothing was switched.
    std::function<bool()> switchSystemProxy;
    // Gives each entry back what it had; false when another program had
    // changed one since ours was written, and that one was left as it is.
    std::function<bool()> giveSystemProxyBack;
    // While switched: the entries (by name, "" for the LAN setting) that no
    // longer point at the listener.
    std::function<std::vector<std::string>()> takenSystemProxy;
    // While switched: ours again on every entry, entries added since
    // included. Nothing once given back.
    std::function<void()> rewriteSystemProxy;
    // After a sleep or a network change: the engine drops what may have died
    // (ProxyEngine::refresh).
    std::function<void(std::chrono::steady_clock::time_point quietSince)> refreshEngine;
    // The "Kill Switch", which has two meanings. While on, a lost connection
    // keeps the system proxy on the listener until the user presses (while
    // off, two minutes of failed attempts end it). And while on, a setting
    // another program takes is written back, at most once in reclaimEvery
    // (while off, that ends the connection with the box).
    std::function<bool()> killSwitchOn;
    std::function<void()> showFailure; // "Connection Failed"; returns when closed
    std::function<void()> repaint;
    std::function<void(std::string_view)> log;
    // Runs the start on a thread of its own and returns at once.
    std::function<void(std::function<void()>)> runWorker;
};

// Recovering: the upstream was lost while connected; the listener and the
// system proxy stay, and a new endpoint is sought. Reclaiming: another
// program has taken the setting again before ours may go back (Kill Switch
// on). Both are shown as Connecting.
enum class ConnectionPhase {
    Disconnected,
    Connecting,
    Connected,
    Recovering,
    Reclaiming,
    Stopping
};

// Where a start is, and so what it holds: the engine from CheckingUpstream
// until it leaves Undoing. StartingEngine, SwitchingProxy and Undoing are
// short, and the exit waits for them.
enum class StartStep { Requesting, StartingEngine, CheckingUpstream, SwitchingProxy, Undoing };

struct ConnectionController {
    explicit ConnectionController(ConnectionSeams s) : seams(std::move(s)) {}
    ConnectionSeams seams;
    // How long the exit waits, from its beginning, for a start in a short
    // step and for a running stop.
    std::chrono::milliseconds commitWait{5000};
    std::chrono::milliseconds stopWait{10000};
    // Failed dials in a row, with no login in between, that make the
    // controller check the upstream.
    int lostAfterFailures = 2;
    // Waits between attempts to find a new endpoint; the last one repeats.
    std::vector<std::chrono::milliseconds> retryDelays{
        std::chrono::seconds(1), std::chrono::seconds(2),  std::chrono::seconds(4),
        std::chrono::seconds(8), std::chrono::seconds(16), std::chrono::seconds(30)};
    // With the kill switch off, failed attempts for this long end the
    // connection and give the setting back.
    std::chrono::milliseconds giveUpAfter{120000};
    // With the kill switch on, ours goes back over another program's setting
    // at most this often, so that the two never fight in a tight loop.
    std::chrono::milliseconds reclaimEvery{5000};
    // A resume this soon after the last is the same wake told twice
    // (PBT_APMRESUMEAUTOMATIC, then PBT_APMRESUMESUSPEND).
    std::chrono::milliseconds resumeMerge{5000};

    std::mutex mutex;
    std::condition_variable changed;
    ConnectionPhase phase = ConnectionPhase::Disconnected;
    StartStep step = StartStep::Requesting; // while Connecting
    // The window has closed: nothing starts any more, and what a start still
    // holds is the exit's to stop.
    bool closed = false;
    // The row selected at the press, read once: a recovery asks for the same
    // location whatever is selected since.
    std::int32_t location = 0;
    // While Connected or Recovering: the endpoint the engine dials.
    UpstreamEndpoint upstream;
    int failureStreak = 0;
    bool checking = false; // an upstream check for a failure streak runs
    bool retryNow = false; // a wake: the recovery's next attempt goes at once
    // Another program's change: its check runs on a worker, and runs again
    // when the setting changed meanwhile.
    bool settling = false, settleAgain = false;
    std::optional<std::chrono::steady_clock::time_point> lastReclaim;
    bool reclaimWaiting = false; // a worker writes ours back when reclaimEvery allows
    std::optional<std::chrono::steady_clock::time_point> lastResume;
    // The default route as last told, and whether one was told yet.
    std::string defaultRoute;
    bool routeKnown = false;
};

// Disconnected: starts on a worker. Connected, Recovering or Reclaiming: the
// stop, on the calling thread. Connecting or Stopping: nothing.
void toggleConnection(ConnectionController& controller);
// From the engine's thread: a session got past the upstream's login, or its
// dial failed. A streak of failures runs the upstream check on a worker, and
// a failed check starts the recovery there.
void noteUpstreamOutcome(ConnectionController& controller, bool letIn);
// For the window's close: refuses a start still waiting for the service,
// waits a little for one in a short step or for a running stop, runs the
// whole stop, and leaves nothing to start later. Returns in bounded time:
// the waits end within `budget` of the call.
void stopConnectionAtExit(ConnectionController& controller,
                          std::chrono::milliseconds budget = std::chrono::milliseconds::max());

// From the watch of the system proxy setting, after any change (ours too):
// on a worker, the entries are read again; one another program took ends
// the connection as at a press, with the box, or (Kill Switch on) gets ours
// back.
void noteSystemProxyChanged(ConnectionController& controller);
// The system resumed from sleep, or the default route changed (route: a
// description of it, "" for none; the first one told is the baseline, and a
// route told as it was changes nothing). While connected, on a worker: the
// engine drops what may have died (quietSince: a time before the event, see
// ProxyEngine::refresh), every entry gets ours again, and the upstream is
// checked at once, a failure starting the recovery.
void noteResumed(ConnectionController& controller,
                 std::chrono::steady_clock::time_point quietSince);
void noteDefaultRoute(ConnectionController& controller, std::string route,
                      std::chrono::steady_clock::time_point quietSince);

// The process's own controller (app/connection_win.cpp).
void toggleConnection();
void stopConnectionAtExit();
// The same when the user's session ends: Windows may end the process as soon
// as the window has answered, so every wait is short.
void stopConnectionAtSessionEnd();
// WM_POWERBROADCAST's event: a resume refreshes; nothing is torn down at a
// suspend, so a missed resume leaves nothing dead that the lost-upstream
// check would not find.
void notePowerEvent(std::uintptr_t event);
// The watch of the setting, the default route and the clock, from before
// the window until after it (Windows).
void startNetworkWatch();
void stopNetworkWatch();
