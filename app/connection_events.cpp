// What the world does to a connection while it runs: another program takes
// the system proxy, the machine sleeps and wakes, the default route moves.
#include "app/connection_steps.h"

#include <utility>

using namespace connection_steps;
using Phase = ConnectionPhase;
using Clock = std::chrono::steady_clock;

namespace {

std::string describeEntries(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        if (!text.empty()) text += ", ";
        text += name.empty() ? "the LAN setting" : "entry \"" + name + "\"";
    }
    return text;
}

void runFlagged(ConnectionController& c, std::function<void()> work, bool& flag) {
    try {
        c.seams.runWorker(std::move(work));
    } catch (...) {
        Lock lock(c.mutex);
        flag = false;
    }
}

void reclaimLater(ConnectionController& c) noexcept;

// Reads every entry again and answers another program's setting. Returns
// true when the connection ended here and the box is due.
bool settle(ConnectionController& c) {
    const std::vector<std::string> taken = c.seams.takenSystemProxy();
    if (taken.empty()) { // ours (our own write told back), or ours again
        Lock lock(c.mutex);
        if (c.phase != Phase::Reclaiming) return false;
        enter(c, Phase::Connected);
        lock.unlock();
        repaint(c);
        return false;
    }
    const std::string who = "system proxy: another program changed " + describeEntries(taken);
    const bool keep = c.seams.killSwitchOn();
    Lock lock(c.mutex);
    if (!holdsProxy(c.phase)) return false;
    if (!keep) {
        // As at a press: theirs stays, ours goes everywhere else.
        const bool box = !c.closed;
        lock.unlock();
        note(c, who, "; the connection ends (Kill Switch off)");
        lock.lock();
        if (!holdsProxy(c.phase)) return false;
        runStop(c, lock, "take-over");
        return box;
    }
    const auto now = Clock::now();
    if (!c.lastReclaim || now - *c.lastReclaim >= c.reclaimEvery) {
        c.lastReclaim = now;
        lock.unlock();
        note(c, who, "; ours written back (Kill Switch on)");
        c.seams.rewriteSystemProxy();
        lock.lock();
        if (c.phase == Phase::Reclaiming) enter(c, Phase::Connected);
        lock.unlock();
        repaint(c);
        return false;
    }
    // Too soon after our last write-back: shown as not protected until ours
    // may go back.
    if (c.phase == Phase::Connected) enter(c, Phase::Reclaiming);
    const bool start = !std::exchange(c.reclaimWaiting, true);
    lock.unlock();
    repaint(c);
    note(c, who, " again; ours goes back once the write-back limit allows");
    if (start)
        runFlagged(
            c, [&c] { reclaimLater(c); }, c.reclaimWaiting);
    return false;
}

// One settle at a time: a change told meanwhile runs it once more after.
void settleCaught(ConnectionController& c) noexcept {
    bool box = false;
    try {
        for (;;) {
            box = settle(c) || box;
            Lock lock(c.mutex);
            if (!c.settleAgain || !holdsProxy(c.phase)) break;
            c.settleAgain = false;
        }
    } catch (...) {
        note(c, "system proxy: the check failed with an exception");
    }
    try {
        Lock lock(c.mutex);
        c.settling = c.settleAgain = false;
    } catch (...) {
    }
    if (box) c.seams.showFailure();
}

void reclaimLater(ConnectionController& c) noexcept {
    try {
        {
            Lock lock(c.mutex);
            // A connection made anew meanwhile has no write-back yet.
            c.changed.wait_until(lock, c.lastReclaim.value_or(Clock::now()) + c.reclaimEvery,
                                 [&c] { return !holdsProxy(c.phase); });
            c.reclaimWaiting = false;
        }
        noteSystemProxyChanged(c);
    } catch (...) {
    }
}

std::string describeRoute(const std::string& route) {
    return route.empty() ? "none" : route;
}

// After a wake or a route change, on a worker.
void refresh(ConnectionController& c, const std::string& why, Clock::time_point quietSince) {
    note(c, why, "; refreshing the engine, the system proxy and the upstream check");
    c.seams.refreshEngine(quietSince);
    // Another program's setting found now is answered as at the watch, before
    // ours could be written over it.
    if (!c.seams.takenSystemProxy().empty() && !c.seams.killSwitchOn())
        return noteSystemProxyChanged(c);
    c.seams.rewriteSystemProxy();
    Lock lock(c.mutex);
    if (c.phase == Phase::Reclaiming) enter(c, Phase::Connected); // ours was just written
    if (c.phase == Phase::Recovering) {                           // its next attempt goes at once
        c.retryNow = true;
        c.changed.notify_all();
    }
    const bool check = c.phase == Phase::Connected && !c.checking;
    if (check) c.checking = true;
    const UpstreamEndpoint endpoint = c.upstream;
    lock.unlock();
    repaint(c);
    if (check) checkLostUpstreamCaught(c, endpoint);
}

void startRefresh(ConnectionController& c, std::string why, Clock::time_point quietSince) {
    try {
        c.seams.runWorker([&c, why = std::move(why), quietSince] {
            try {
                refresh(c, why, quietSince);
            } catch (...) {
                note(c, "network: the refresh failed with an exception");
            }
        });
    } catch (...) {
        note(c, "network: no thread for the refresh");
    }
}

} // namespace

void noteSystemProxyChanged(ConnectionController& c) {
    try {
        Lock lock(c.mutex);
        if (!holdsProxy(c.phase) || c.closed) return;
        if (c.settling) {
            c.settleAgain = true;
            return;
        }
        c.settling = true;
        lock.unlock();
        runFlagged(
            c, [&c] { settleCaught(c); }, c.settling);
    } catch (...) {
    }
}

void noteResumed(ConnectionController& c, Clock::time_point quietSince) {
    try {
        Lock lock(c.mutex);
        const auto now = Clock::now();
        if (c.lastResume && now - *c.lastResume < c.resumeMerge) return;
        c.lastResume = now;
        const bool connected = holdsProxy(c.phase) && !c.closed;
        lock.unlock();
        if (!connected) return note(c, "network: resumed from sleep; not connected");
        startRefresh(c, "network: resumed from sleep", quietSince);
    } catch (...) {
    }
}

void noteDefaultRoute(ConnectionController& c, std::string route, Clock::time_point quietSince) {
    try {
        Lock lock(c.mutex);
        if (c.routeKnown && route == c.defaultRoute) return;
        const std::string was = std::exchange(c.defaultRoute, route);
        const bool first = !std::exchange(c.routeKnown, true);
        const bool connected = holdsProxy(c.phase) && !c.closed;
        lock.unlock();
        if (first) return;
        const std::string why = "network: the default route changed from " + describeRoute(was) +
                                " to " + describeRoute(route);
        if (!connected) return note(c, why, "; not connected");
        startRefresh(c, why, quietSince);
    } catch (...) {
    }
}
