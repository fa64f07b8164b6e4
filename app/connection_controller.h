// The connection's life: the start, the stop and the stop at exit, as one
// state machine behind one lock. Portable; everything it changes outside the
// process is reached through the seams, which app/connection_win.cpp wires.
#pragma once

#include "core/state.h"
#include "proxy/system_proxy.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// None of these throws; each is called without the controller's lock held.
struct ConnectionSeams {
    // The service's answer for the selected location; empty: no answer.
    std::function<std::string()> requestAnswer;
    // false: the listener's port could not be bound, and nothing runs.
    std::function<bool(const UpstreamEndpoint&)> startEngine;
    std::function<void()> stopEngine;
    // One negotiation with the upstream; empty when it let us in, else why not.
    std::function<std::string(const UpstreamEndpoint&)> checkUpstream;
    // Points the system proxy at the listener; returns what the user had, or
    // nullopt when nothing was switched.
    std::function<std::optional<ProxySetting>()> switchSystemProxy;
    std::function<void(const std::optional<ProxySetting>&)> giveSystemProxyBack;
    std::function<void()> showFailure; // "Connection Failed"; returns when closed
    std::function<void()> repaint;
    std::function<void(std::string_view)> log;
    // Runs the start on a thread of its own and returns at once.
    std::function<void(std::function<void()>)> runWorker;
};

enum class ConnectionPhase { Disconnected, Connecting, Connected, Stopping };

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

    std::mutex mutex;
    std::condition_variable changed;
    ConnectionPhase phase = ConnectionPhase::Disconnected;
    StartStep step = StartStep::Requesting; // while Connecting
    // The window has closed: nothing starts any more, and what a start still
    // holds is the exit's to stop.
    bool closed = false;
    // What the user had, from the switch until a stop gives it back.
    std::optional<ProxySetting> userProxy;
};

// Disconnected: starts on a worker. Connected: the stop, on the calling
// thread. Connecting or Stopping: nothing.
void toggleConnection(ConnectionController& controller);
// For the window's close: refuses a start still waiting for the service,
// waits a little for one in a short step or for a running stop, runs the
// whole stop, and leaves nothing to start later. Returns in bounded time.
void stopConnectionAtExit(ConnectionController& controller);

// The process's own controller (app/connection_win.cpp).
void toggleConnection();
void stopConnectionAtExit();
