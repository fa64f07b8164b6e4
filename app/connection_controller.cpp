#include "app/connection_steps.h"

#include "api/connection_request.h"

#include <algorithm>

using Phase = ConnectionPhase;

namespace {

// A stop shows Connected until it has finished.
ConnectionState shown(Phase phase) {
    switch (phase) {
    case Phase::Disconnected:
        return Disconnected;
    case Phase::Connecting:
    case Phase::Recovering:
    case Phase::Reclaiming:
        return Connecting;
    default:
        return Connected;
    }
}

} // namespace

namespace connection_steps {

bool holdsProxy(Phase phase) {
    return phase == Phase::Connected || phase == Phase::Recovering || phase == Phase::Reclaiming;
}

void enter(ConnectionController& c, Phase phase) {
    c.phase = phase;
    appState.connectionState.store(shown(phase));
    c.changed.notify_all();
}

void note(ConnectionController& c, std::string_view text, std::string_view detail) noexcept {
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

} // namespace connection_steps

using namespace connection_steps;

namespace {

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
void runStart(ConnectionController& c, std::int32_t location) {
    const ConnectionAnswer answer = readConnectionAnswer(c.seams.requestAnswer(location));
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
    const bool switched = c.seams.switchSystemProxy();
    lock.lock();
    if (c.phase != Phase::Connecting) { // the exit stopped the engine meanwhile
        lock.unlock();
        if (switched) c.seams.giveSystemProxyBack();
        return;
    }
    // Not switched: the user's setting could not be read (so it could not
    // be given back) or WinINet refused ours. Never Connected with a proxy
    // that points nowhere.
    if (!switched) return undoStart(c, lock, "connect: the system proxy could not be switched");
    c.upstream = upstream;
    c.failureStreak = 0;
    c.lastReclaim.reset();
    enter(c, Phase::Connected); // a waiting exit now runs the whole stop
    lock.unlock();
    repaint(c);
    note(c, "connect: connected");
}

void runStartCaught(ConnectionController& c, std::int32_t location) noexcept {
    try {
        runStart(c, location);
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

} // namespace

// Stopping: the engine, then the user's proxy settings back.
void connection_steps::runStop(ConnectionController& c, Lock& lock, std::string_view who) {
    enter(c, Phase::Stopping);
    lock.unlock();
    note(c, who, ": stopping the engine, then giving the proxy settings back");
    // Each half on its own: the settings go back even when the engine's stop failed.
    try {
        c.seams.stopEngine();
    } catch (...) {
        note(c, who, ": the engine's stop failed with an exception");
    }
    try {
        if (!c.seams.giveSystemProxyBack())
            note(c, who, ": another program changed the system proxy meanwhile; left as it is");
    } catch (...) {
        note(c, who, ": giving the proxy settings back failed with an exception");
    }
    lock.lock();
    enter(c, Phase::Disconnected);
    lock.unlock();
    repaint(c);
    note(c, who, ": stopped");
}

namespace {

std::chrono::milliseconds retryDelay(const ConnectionController& c, std::size_t attempt) {
    if (c.retryDelays.empty()) return std::chrono::seconds(1);
    return c.retryDelays[std::min(attempt, c.retryDelays.size() - 1)];
}

// The upstream was lost: the listener and the system proxy stay, so programs
// that follow the proxy fail rather than go direct, while the service is asked
// for a new endpoint for the same location, until one lets us in, the user
// presses, or (the kill switch off) the attempts have run long enough.
void recover(ConnectionController& c) {
    const auto begun = std::chrono::steady_clock::now();
    for (std::size_t attempt = 0;; ++attempt) {
        std::int32_t location = 0;
        {
            Lock lock(c.mutex);
            location = c.location;
            if (attempt > 0) {
                c.changed.wait_for(lock, retryDelay(c, attempt - 1),
                                   [&c] { return c.phase != Phase::Recovering || c.retryNow; });
            }
            c.retryNow = false;
            if (c.phase != Phase::Recovering) return;
        }
        const ConnectionAnswer answer = readConnectionAnswer(c.seams.requestAnswer(location));
        std::string why = answer.refusal.empty() ? std::string() : "refused: " + answer.refusal;
        if (why.empty()) {
            {
                Lock lock(c.mutex);
                if (c.phase != Phase::Recovering) return;
            }
            why = c.seams.checkUpstream(answer.endpoint);
            if (!why.empty()) why = "upstream check: " + why;
        }
        const bool keepTrying = c.seams.killSwitchOn();
        Lock lock(c.mutex);
        if (c.phase != Phase::Recovering) return; // the user's press has stopped it all
        if (why.empty()) {
            // Under the lock, so that no stop comes between the swap and Connected.
            c.seams.swapUpstream(answer.endpoint);
            c.upstream = answer.endpoint;
            c.failureStreak = 0;
            // Another program's setting still waits for ours to go back.
            enter(c, c.reclaimWaiting ? Phase::Reclaiming : Phase::Connected);
            lock.unlock();
            repaint(c);
            const UpstreamEndpoint& e = answer.endpoint;
            note(c, "reconnect: connected through ", e.host + ":" + std::to_string(e.port));
            return;
        }
        if (!keepTrying && std::chrono::steady_clock::now() - begun >= c.giveUpAfter) {
            const bool box = !c.closed;
            lock.unlock();
            note(c, "reconnect: failed: ", why);
            lock.lock();
            if (c.phase != Phase::Recovering) return;
            runStop(c, lock, "reconnect: giving up");
            if (box) c.seams.showFailure();
            return;
        }
        lock.unlock();
        note(c, "reconnect: failed: ", why);
    }
}

// A failure streak's or a wake's check, on a worker: a passed check changes nothing.
void checkLostUpstream(ConnectionController& c, const UpstreamEndpoint& endpoint) {
    const std::string refused = c.seams.checkUpstream(endpoint);
    Lock lock(c.mutex);
    c.checking = false;
    c.failureStreak = 0;
    if (c.phase != Phase::Connected && c.phase != Phase::Reclaiming) return;
    if (refused.empty()) {
        lock.unlock();
        return note(c, "connection: the upstream check passed; still connected");
    }
    enter(c, Phase::Recovering);
    lock.unlock();
    repaint(c);
    note(c, "connection lost: ", refused);
    note(c, "reconnect: asking the service for a new upstream; the system proxy stays");
    recover(c);
}

} // namespace

void connection_steps::checkLostUpstreamCaught(ConnectionController& c,
                                               const UpstreamEndpoint& endpoint) noexcept {
    try {
        checkLostUpstream(c, endpoint);
    } catch (...) {
        // Out of memory: the phase stays as it is, and the user's press stops it.
        note(c, "reconnect: failed with an exception");
        try {
            Lock lock(c.mutex);
            c.checking = false;
        } catch (...) {
        }
    }
}

void noteUpstreamOutcome(ConnectionController& c, bool letIn) {
    try {
        Lock lock(c.mutex);
        if (c.phase != Phase::Connected) return;
        if (letIn) {
            c.failureStreak = 0;
            return;
        }
        if (++c.failureStreak < c.lostAfterFailures || c.checking || c.closed) return;
        c.checking = true;
        UpstreamEndpoint endpoint = c.upstream;
        lock.unlock();
        note(c, "connection: new sessions cannot reach the upstream; checking it");
        try {
            c.seams.runWorker(
                [&c, endpoint = std::move(endpoint)] { checkLostUpstreamCaught(c, endpoint); });
        } catch (...) {
            lock.lock();
            c.checking = false;
        }
    } catch (...) {
    }
}

void toggleConnection(ConnectionController& c) {
    try {
        Lock lock(c.mutex);
        if (c.closed) return;
        if (holdsProxy(c.phase)) return runStop(c, lock, "stop");
        if (c.phase != Phase::Disconnected) return; // the running start or stop decides
        c.step = StartStep::Requesting;
        c.location = appState.selectedIndex.load();
        const std::int32_t location = c.location;
        enter(c, Phase::Connecting);
        lock.unlock();
        repaint(c);
        note(c, "connect: asking the service for an upstream");
        try {
            c.seams.runWorker([&c, location] { runStartCaught(c, location); });
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

void stopConnectionAtExit(ConnectionController& c, std::chrono::milliseconds budget) {
    try {
        const auto begun = std::chrono::steady_clock::now();
        const auto commitWait = std::min(c.commitWait, budget);
        const auto stopWait = std::min(c.stopWait, budget);
        Lock lock(c.mutex);
        c.closed = true;
        const auto inShortStep = [&c] {
            return c.phase == Phase::Connecting &&
                   (c.step == StartStep::StartingEngine || c.step == StartStep::SwitchingProxy ||
                    c.step == StartStep::Undoing);
        };
        c.changed.wait_until(lock, begun + commitWait, [&] { return !inShortStep(); });
        c.changed.wait_until(lock, begun + stopWait, [&] { return c.phase != Phase::Stopping; });
        if (holdsProxy(c.phase)) return runStop(c, lock, "exit");
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
