// The connection's life: the start, the stop and the stop at exit, as one
// state machine behind one lock. Portable; everything it changes outside the
// process is reached through the seams, which app/connection_win.cpp wires.
#pragma once

#include "core/state.h"

#include <chrono>
#include <condition_variable>
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
    // The "Kill Switch": while on, a lost connection keeps the system proxy on
    // the listener until the user presses.
    std::function<bool()> killSwitchOn;
    std::function<void()> showFailure; // "Connection Failed"; returns when closed
    std::function<void()> repaint;
    std::function<void(std::string_view)> log;
    // Runs the start on a thread of its own and returns at once.
    std::function<void(std::function<void()>)> runWorker;
};

// Recovering: the upstream was lost while connected; the listener and the
// system proxy stay, and a new endpoint is sought. Shown as Connecting.
enum class ConnectionPhase { Disconnected, Connecting, Connected, Recovering, Stopping };

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
};

// Disconnected: starts on a worker. Connected or Recovering: the stop, on the
// calling thread. Connecting or Stopping: nothing.
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

// The process's own controller (app/connection_win.cpp).
void toggleConnection();
void stopConnectionAtExit();
// The same when the user's session ends: Windows may end the process as soon
// as the window has answered, so every wait is short.
void stopConnectionAtSessionEnd();
