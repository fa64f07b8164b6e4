#include "app/connection_controller.h"

#include "api/connection_request.h"

namespace {

using Lock = std::unique_lock<std::mutex>;
using Phase = ConnectionPhase;

// A stop shows Connected until it has finished.
ConnectionState shown(Phase phase) {
    switch (phase) {
    case Phase::Disconnected:
        return Disconnected;
    case Phase::Connecting:
        return Connecting;
    default:
        return Connected;
    }
}

// Under the lock, so the window's picture follows the changes in their order.
void enter(ConnectionController& c, Phase phase) {
    c.phase = phase;
    appState.connectionState.store(shown(phase));
    c.changed.notify_all();
}

// Never under the lock: the log may have a lock of its own.
void note(ConnectionController& c, std::string_view text, std::string_view detail = {}) noexcept {
    try {
        std::string line(text);
        line += detail;
        c.seams.log(line);
    } catch (...) {
    }
}

void repaint(ConnectionController& c) noexcept {
    try {
        c.seams.repaint();
    } catch (...) {
    }
}

// A start that holds nothing ends Disconnected, then the box, which a window
// that is closing does not get.
void endStart(ConnectionController& c, Lock& lock, std::string_view why,
              std::string_view detail = {}) {
    const bool box = !c.closed;
    enter(c, Phase::Disconnected);
    lock.unlock();
    repaint(c);
    note(c, why, detail);
    if (box) c.seams.showFailure();
}

// A start that holds the engine and nothing else: the engine goes, then
// Disconnected and the box. Called with the lock held.
void undoStart(ConnectionController& c, Lock& lock, std::string_view why,
               std::string_view detail = {}) {
    c.step = StartStep::Undoing;
    lock.unlock();
    note(c, why, detail);
    c.seams.stopEngine();
    lock.lock();
    if (c.phase != Phase::Connecting) return;
    endStart(c, lock, "connect: failed; engine stopped, system proxy untouched");
}

// After each long call the worker checks the phase again: when it is no
// longer Connecting, the exit has taken the start over, and the worker gives
// back only what that call obtained.
void runStart(ConnectionController& c) {
    const ConnectionAnswer answer = readConnectionAnswer(c.seams.requestAnswer());
    Lock lock(c.mutex);
    if (c.phase != Phase::Connecting) {
        lock.unlock();
        return note(c, "connect: the service answered after the close; nothing started");
    }
    if (!answer.refusal.empty()) return endStart(c, lock, "connect: refused: ", answer.refusal);
    c.step = StartStep::StartingEngine;
    lock.unlock();

    const UpstreamEndpoint& upstream = answer.endpoint;
    note(c, "connect: upstream ", upstream.host + ":" + std::to_string(upstream.port));
    const bool started = c.seams.startEngine(upstream);
    lock.lock();
    if (c.phase != Phase::Connecting) {
        lock.unlock();
        if (started) c.seams.stopEngine();
        return;
    }
    if (!started) return endStart(c, lock, "connect: failed: the listening port is taken");
    c.step = StartStep::CheckingUpstream;
    c.changed.notify_all();
    if (c.closed) return; // the exit waited for this step and now stops the engine
    lock.unlock();

    const std::string refused = c.seams.checkUpstream(upstream);
    lock.lock();
    if (c.phase != Phase::Connecting) return; // the exit has stopped the engine
    if (!refused.empty()) return undoStart(c, lock, "connect: upstream check: ", refused);
    c.step = StartStep::SwitchingProxy;
    lock.unlock();

    note(c, "connect: the upstream let us in; switching the system proxy");
    std::optional<ProxySetting> user = c.seams.switchSystemProxy();
    lock.lock();
    if (c.phase != Phase::Connecting) { // the exit stopped the engine meanwhile
        lock.unlock();
        if (user) c.seams.giveSystemProxyBack(user);
        return;
    }
    // Not switched: the user's setting could not be read (so it could not
    // be given back) or WinINet refused ours. Never Connected with a proxy
    // that points nowhere.
    if (!user) return undoStart(c, lock, "connect: the system proxy could not be switched");
    c.userProxy = std::move(user);
    enter(c, Phase::Connected); // a waiting exit now runs the whole stop
    lock.unlock();
    repaint(c);
    note(c, "connect: connected");
}

void runStartCaught(ConnectionController& c) noexcept {
    try {
        runStart(c);
    } catch (...) {
        // Only the worker's own allocations throw (the seams never do), and
        // never once the proxy is switched: at most the engine is held.
        note(c, "connect: failed: an exception in the start");
        try {
            Lock lock(c.mutex);
            if (c.phase != Phase::Connecting) return;
            const bool engineMayRun = c.step != StartStep::Requesting;
            c.step = StartStep::Undoing;
            lock.unlock();
            if (engineMayRun) c.seams.stopEngine();
            lock.lock();
            if (c.phase == Phase::Connecting) enter(c, Phase::Disconnected);
            lock.unlock();
            repaint(c);
        } catch (...) {
        }
    }
}

// Stopping: the engine, then the user's proxy settings back.
void runStop(ConnectionController& c, Lock& lock, std::string_view who) {
    enter(c, Phase::Stopping);
    const std::optional<ProxySetting> user = std::move(c.userProxy);
    c.userProxy.reset();
    lock.unlock();
    note(c, who, ": stopping the engine, then giving the proxy settings back");
    // Each half on its own: the settings go back even when the engine's stop failed.
    try {
        c.seams.stopEngine();
    } catch (...) {
        note(c, who, ": the engine's stop failed with an exception");
    }
    try {
        c.seams.giveSystemProxyBack(user);
    } catch (...) {
        note(c, who, ": giving the proxy settings back failed with an exception");
    }
    lock.lock();
    enter(c, Phase::Disconnected);
    lock.unlock();
    repaint(c);
    note(c, who, ": stopped");
}

} // namespace

void toggleConnection(ConnectionController& c) {
    try {
        Lock lock(c.mutex);
        if (c.closed) return;
        if (c.phase == Phase::Connected) return runStop(c, lock, "stop");
        if (c.phase != Phase::Disconnected) return; // the running start or stop decides
        c.step = StartStep::Requesting;
        enter(c, Phase::Connecting);
        lock.unlock();
        repaint(c);
        note(c, "connect: asking the service for an upstream");
        try {
            c.seams.runWorker([&c] { runStartCaught(c); });
        } catch (...) {
            note(c, "connect: failed: no thread for the start");
            lock.lock();
            if (c.phase == Phase::Connecting) enter(c, Phase::Disconnected);
            lock.unlock();
            repaint(c);
        }
    } catch (...) {
        note(c, "toggle: failed with an exception");
    }
}

void stopConnectionAtExit(ConnectionController& c) {
    try {
        const auto begun = std::chrono::steady_clock::now();
        Lock lock(c.mutex);
        c.closed = true;
        const auto inShortStep = [&c] {
            return c.phase == Phase::Connecting &&
                   (c.step == StartStep::StartingEngine || c.step == StartStep::SwitchingProxy ||
                    c.step == StartStep::Undoing);
        };
        c.changed.wait_until(lock, begun + c.commitWait, [&] { return !inShortStep(); });
        c.changed.wait_until(lock, begun + c.stopWait, [&] { return c.phase != Phase::Stopping; });
        if (c.phase == Phase::Connected) return runStop(c, lock, "exit");
        if (c.phase != Phase::Connecting) {
            const bool stopping = c.phase == Phase::Stopping;
            lock.unlock();
            return note(c, stopping ? "exit: a stop still runs; it gives the settings back"
                                    : "exit: nothing to stop");
        }
        // A start that has not finished ends here; its worker, when its call
        // returns, gives back only what that call obtained.
        const StartStep step = c.step;
        enter(c, Phase::Disconnected);
        lock.unlock();
        repaint(c);
        switch (step) {
        case StartStep::Requesting:
            note(c, "exit: the start waiting for the service is refused");
            break;
        case StartStep::CheckingUpstream:
        case StartStep::SwitchingProxy:
            note(c, "exit: the start ends here; stopping its engine");
            c.seams.stopEngine();
            break;
        default:
            note(c, "exit: the start ends here; its worker stops the engine");
            break;
        }
    } catch (...) {
        note(c, "exit: failed with an exception");
    }
}
