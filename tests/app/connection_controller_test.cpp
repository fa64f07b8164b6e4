// The connection controller against a recording platform: the order of the
// steps, what every path gives back, toggles and exits at every step, and
// racing toggles (natively, under ThreadSanitizer and under Wine).
#include "app/connection_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <thread>
#include <utility>

namespace {

using namespace std::chrono_literals;
using Calls = std::vector<std::string>;
const std::string goodAnswer =
    R"({"ip":"h","port":1080,"username":"user-x7","password":"pass-y9"})";
const Calls connected{"request", "engine start", "check", "proxy on"};

template <class Condition> bool waitFor(Condition done) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
    return done();
}

bool shown(ConnectionState state) {
    return waitFor([state] { return appState.connectionState.load() == state; });
}

// Each call recorded in order; the one named `holdAt` waits for finish().
struct Platform {
    std::mutex mutex;
    std::condition_variable changed;
    Calls calls, log;
    std::string holdAt, answer = goodAnswer, refusal;
    std::deque<std::string> checks;      // answers of the next checks, before `refusal`
    std::vector<std::int32_t> locations; // asked for, in order
    std::vector<std::string> taken;      // entries another program holds
    std::vector<std::chrono::steady_clock::time_point> rewrites;
    bool released = false, portFree = true, proxyWritable = true;
    bool killSwitch = false, foreignSetting = false;
    ConnectionState shownAtBox = Connecting;
    std::vector<std::thread> workers;

    // As `lock(), expression`: held for the rest of the statement.
    std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex); }
    // Returns with the lock held, so the caller reads the fields under it.
    std::unique_lock<std::mutex> call(const char* name) {
        auto held = lock();
        calls.push_back(name);
        if (name == holdAt) changed.wait_for(held, 10s, [this] { return released; });
        return held;
    }
    ConnectionSeams seams() {
        return {
            .requestAnswer =
                [this](std::int32_t location) {
                    auto held = call("request");
                    locations.push_back(location);
                    return answer;
                },
            .startEngine =
                [this](const UpstreamEndpoint&) { return call("engine start"), portFree; },
            .stopEngine = [this] { call("engine stop"); },
            .swapUpstream = [this](const UpstreamEndpoint&) { lock(), calls.push_back("swap"); },
            .checkUpstream =
                [this](const UpstreamEndpoint&) {
                    auto held = call("check");
                    if (checks.empty()) return refusal;
                    const std::string next = checks.front();
                    checks.pop_front();
                    return next;
                },
            .switchSystemProxy = [this] { return call("proxy on"), proxyWritable; },
            .giveSystemProxyBack =
                [this] {
                    if (lock(), foreignSetting) return call("left theirs"), false;
                    return call("proxy back"), true;
                },
            .takenSystemProxy = [this] { return lock(), taken; },
            .rewriteSystemProxy =
                [this] {
                    auto held = call("proxy again");
                    rewrites.push_back(std::chrono::steady_clock::now());
                    taken.clear();
                },
            .refreshEngine = [this](auto) { call("refresh"); },
            .killSwitchOn = [this] { return lock(), killSwitch; },
            .showFailure = [this] { call("box"), shownAtBox = appState.connectionState.load(); },
            .repaint = [] {},
            .log = [this](std::string_view line) { lock(), log.emplace_back(line); },
            .runWorker = [this](auto work) { lock(), workers.emplace_back(std::move(work)); },
        };
    }
    // What the calls so far leave running or switched; not sound when either
    // was taken twice or given back without being held.
    struct Held {
        bool engine = false, proxy = false, sound = true;
    };
    Held held() {
        auto locked = lock();
        Held h;
        for (const std::string& c : calls) {
            if (c == "engine start" && portFree) h.sound &= !std::exchange(h.engine, true);
            if (c == "engine stop") h.engine = false;
            if (c == "proxy on" && proxyWritable) h.sound &= !std::exchange(h.proxy, true);
            if (c == "proxy back" || c == "left theirs") h.sound &= std::exchange(h.proxy, false);
            if (c == "proxy again") h.sound &= h.proxy; // never after the give-back
        }
        return h;
    }
    long count(const char* name) { return lock(), std::count(calls.begin(), calls.end(), name); }
    bool reached(const char* name, long times = 1) {
        return waitFor([&] { return count(name) >= times; });
    }
    // Lets every held call go and waits for every worker to end, those
    // started meanwhile by others included.
    void finish() {
        for (;;) {
            std::vector<std::thread> ended;
            {
                auto held = lock();
                released = true;
                changed.notify_all();
                ended.swap(workers);
            }
            if (ended.empty()) return;
            for (auto& worker : ended)
                worker.join();
        }
    }
    bool logged(std::string_view text) {
        auto held = lock();
        return std::any_of(log.begin(), log.end(),
                           [&](const std::string& line) { return line.find(text) != line.npos; });
    }
    // Once a path is over: nothing of ours left, the user's setting given back
    // as it was, and no credential in the log.
    void expectNothingLeft() {
        finish();
        EXPECT_EQ(appState.connectionState.load(), Disconnected);
        const Held h = held();
        EXPECT_TRUE(!h.engine && !h.proxy && h.sound) << testing::PrintToString(calls);
        for (const std::string& line : log)
            EXPECT_TRUE(line.find("user-x7") == line.npos && line.find("pass-y9") == line.npos);
    }
};

struct Rig {
    Platform platform;
    ConnectionController controller{platform.seams()};
    ~Rig() { platform.finish(); }
};

TEST(ConnectionController, EachStartEndsConnectedOrDisconnectedWithTheBox) {
    const struct {
        std::string answer;
        bool portFree;
        std::string refusal;
        bool proxyWritable;
        Calls calls;
    } cases[] = {
        {goodAnswer, true, "", true, connected},
        {R"({"ip":"h","port":70000})", true, "", true, {"request", "box"}},
        {"", true, "", true, {"request", "box"}},
        {goodAnswer, false, "", true, {"request", "engine start", "box"}},
        {goodAnswer,
         true,
         "refused",
         true,
         {"request", "engine start", "check", "engine stop", "box"}},
        // WinINet refused our setting, or the user's could not be read.
        {goodAnswer,
         true,
         "",
         false,
         {"request", "engine start", "check", "proxy on", "engine stop", "box"}},
    };
    for (const auto& c : cases) {
        Rig rig;
        Platform& p = rig.platform;
        std::tie(p.answer, p.portFree, p.refusal, p.proxyWritable) =
            std::tie(c.answer, c.portFree, c.refusal, c.proxyWritable);
        toggleConnection(rig.controller);
        p.finish();
        EXPECT_EQ(p.calls, c.calls) << c.answer;
        if (c.calls == connected) {
            EXPECT_TRUE(shown(Connected) && p.held().engine && p.held().proxy);
            toggleConnection(rig.controller);
            EXPECT_EQ(Calls(p.calls.end() - 2, p.calls.end()),
                      (Calls{"engine stop", "proxy back"}));
        } else {
            EXPECT_EQ(p.shownAtBox, Disconnected);
        }
        p.expectNothingLeft();
    }
}

TEST(ConnectionController, RacingTogglesNeverLeaveHalfAConnection) {
    Rig rig;
    Platform& p = rig.platform;
    for (int round = 0; round < 40; ++round) {
        std::thread other([&] { toggleConnection(rig.controller); });
        toggleConnection(rig.controller);
        other.join();
        ASSERT_TRUE(waitFor([] { return appState.connectionState.load() != Connecting; }));
        const bool on = appState.connectionState.load() == Connected;
        const Platform::Held h = p.held();
        EXPECT_TRUE(h.engine == on && h.proxy == on && h.sound) << round;
    }
    if (appState.connectionState.load() == Connected) toggleConnection(rig.controller);
    p.expectNothingLeft();
}

TEST(ConnectionController, ExitAtEveryStepStopsAllAndStartsNothingAfter) {
    // Where the connection is held when the window closes ("": connected).
    // Toggles meanwhile change nothing; the exit waits only so long for a
    // start's short steps and for a running stop.
    const std::pair<const char*, std::chrono::milliseconds> cases[] = {
        {"request", 0ms}, {"engine start", 200ms}, {"check", 0ms}, {"proxy on", 200ms},
        {"", 0ms},        {"engine stop", 400ms}};
    for (const auto& [holdAt, waits] : cases) {
        SCOPED_TRACE(holdAt);
        Rig rig;
        Platform& p = rig.platform;
        rig.controller.commitWait = 200ms;
        rig.controller.stopWait = 400ms;
        const bool stopping = std::string_view(holdAt) == "engine stop";
        if (stopping || !*holdAt) {
            toggleConnection(rig.controller);
            ASSERT_TRUE(shown(Connected));
        }
        p.holdAt = holdAt;
        std::thread toggling; // starts, or stops when connected
        if (*holdAt) {
            toggling = std::thread([&] { toggleConnection(rig.controller); });
            ASSERT_TRUE(p.reached(holdAt));
            for (int i = 0; i < 3; ++i)
                toggleConnection(rig.controller);
        }
        const auto begun = std::chrono::steady_clock::now();
        stopConnectionAtExit(rig.controller);
        const auto took = std::chrono::steady_clock::now() - begun;
        EXPECT_TRUE(took >= waits && took < waits + 1s);
        EXPECT_EQ(appState.connectionState.load(), stopping ? Connected : Disconnected);
        p.finish();
        if (toggling.joinable()) toggling.join();
        toggleConnection(rig.controller);
        EXPECT_EQ(std::count(p.calls.begin(), p.calls.end(), "request"), 1);
        EXPECT_EQ(std::count(p.calls.begin(), p.calls.end(), "box"), 0);
        p.expectNothingLeft();
    }
}

} // namespace

// A lost upstream while connected: sessions' failures with no login between
// them start the check; a failed check recovers in place (Connecting shown,
// the proxy untouched) until a new endpoint lets us in, the user presses, or,
// with the kill switch off, the attempts have run long enough.
TEST(ConnectionController, ALostUpstreamIsRecoveredInPlaceOrGivenUpAsTheKillSwitchSays) {
    const struct {
        bool killSwitch;
        std::deque<std::string> checks; // the streak's check, then each attempt's
        ConnectionState whileRecovering;
        Calls end; // the last calls once it has settled, and a press unless Disconnected
    } cases[] = {
        {false,
         {"gone", "gone", ""},
         Connected,
         {"request", "check", "swap", "engine stop", "proxy back"}},
        {false, {"gone"}, Disconnected, {"check", "engine stop", "proxy back", "box"}},
        // A press while an attempt is under way: what that attempt asked for is
        // not known, only that everything ends given back.
        {true, {"gone"}, Connecting, {}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.checks.size());
        Rig rig;
        Platform& p = rig.platform;
        rig.controller.retryDelays = {5ms};
        rig.controller.giveUpAfter = 100ms;
        appState.selectedIndex = 2;
        toggleConnection(rig.controller);
        ASSERT_TRUE(shown(Connected));
        appState.selectedIndex = 4; // the recovery asks for the location it had
        std::tie(p.killSwitch, p.checks, p.refusal) = std::tie(k.killSwitch, k.checks, "gone");
        // A login between two failures is no streak.
        for (bool letIn : {false, true, false})
            noteUpstreamOutcome(rig.controller, letIn);
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(p.count("check"), 1);
        noteUpstreamOutcome(rig.controller, false);
        noteUpstreamOutcome(rig.controller, false); // while the check runs: one check
        ASSERT_TRUE(p.reached("check", 2));
        if (k.whileRecovering == Connected) {
            ASSERT_TRUE(p.reached("swap"));
            EXPECT_TRUE(shown(Connected));
            EXPECT_EQ(p.count("check"), 4);
        } else if (k.whileRecovering == Disconnected) {
            ASSERT_TRUE(p.reached("box"));
            EXPECT_EQ(p.shownAtBox, Disconnected);
        } else {
            // Past the give-up time it still tries, holding the listener and the proxy.
            std::this_thread::sleep_for(4 * rig.controller.giveUpAfter);
            ASSERT_TRUE(p.reached("request", 4));
            EXPECT_EQ(appState.connectionState.load(), Connecting);
            EXPECT_TRUE(p.held().engine && p.held().proxy);
        }
        if (k.whileRecovering != Disconnected) toggleConnection(rig.controller);
        ASSERT_TRUE(waitFor([] { return appState.connectionState.load() == Disconnected; }));
        p.finish();
        EXPECT_EQ(p.count("box"), k.whileRecovering == Disconnected);
        EXPECT_EQ(p.count("engine stop"), 1);
        EXPECT_EQ(p.locations, std::vector<std::int32_t>(p.locations.size(), 2));
        appState.selectedIndex = 0;
        EXPECT_EQ(Calls(p.calls.end() - long(k.end.size()), p.calls.end()), k.end)
            << testing::PrintToString(p.calls);
        p.expectNothingLeft();
    }
}

TEST(ConnectionController, TheStopLeavesASettingAnotherProgramWroteMeanwhile) {
    Rig rig;
    Platform& p = rig.platform;
    toggleConnection(rig.controller);
    ASSERT_TRUE(shown(Connected));
    p.foreignSetting = true;
    toggleConnection(rig.controller);
    EXPECT_EQ(p.calls.back(), "left theirs");
    EXPECT_TRUE(p.logged("another program"));
    p.expectNothingLeft();
}

// Another program takes an entry while connected. Kill Switch off: the end of
// a press, theirs left, the box. On: ours back at once, our own write not
// taken for theirs, and a second take within reclaimEvery shown as not
// protected until ours may go back.
TEST(ConnectionController, ATakenSettingEndsTheConnectionOrGoesBackAsTheKillSwitchSays) {
    for (const bool killSwitch : {false, true}) {
        SCOPED_TRACE(killSwitch);
        Rig rig;
        Platform& p = rig.platform;
        rig.controller.reclaimEvery = 500ms;
        toggleConnection(rig.controller);
        ASSERT_TRUE(shown(Connected));
        noteSystemProxyChanged(rig.controller); // our own switch, told back
        p.lock(), p.killSwitch = killSwitch, p.taken = {"Домашний VPN"};
        const auto before = std::chrono::steady_clock::now();
        noteSystemProxyChanged(rig.controller);
        if (!killSwitch) {
            ASSERT_TRUE(p.reached("box"));
            EXPECT_EQ(p.shownAtBox, Disconnected);
            EXPECT_EQ(Calls(p.calls.begin() + 4, p.calls.end()),
                      (Calls{"engine stop", "proxy back", "box"}));
            EXPECT_TRUE(p.logged("entry \"Домашний VPN\""));
            p.expectNothingLeft();
            continue;
        }
        ASSERT_TRUE(p.reached("proxy again"));
        noteSystemProxyChanged(rig.controller); // our write-back, told back
        EXPECT_TRUE(shown(Connected));
        p.lock(), p.taken = {""};
        noteSystemProxyChanged(rig.controller);
        EXPECT_TRUE(shown(Connecting));
        ASSERT_TRUE(p.reached("proxy again", 2));
        EXPECT_TRUE(shown(Connected));
        EXPECT_GE(p.rewrites[1] - before, rig.controller.reclaimEvery);
        EXPECT_EQ(p.count("proxy again"), 2);
        toggleConnection(rig.controller);
        p.expectNothingLeft();
    }
}

// A wake or a new default route while connected: the engine refreshed, every
// entry written again, the upstream checked at once, and a dead one
// recovered. A route told as it was, and the wake's second message, change
// nothing.
TEST(ConnectionController, AWakeOrANewRouteRefreshesAndChecksAtOnce) {
    const Calls refreshed{"refresh", "proxy again", "check"};
    const struct {
        const char* event;
        std::deque<std::string> checks;
        Calls after;
    } cases[] = {
        {"resume", {""}, refreshed},
        {"resume", {"gone", ""}, {"refresh", "proxy again", "check", "request", "check", "swap"}},
        {"new route", {""}, refreshed},
        {"same route", {}, {}}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.event);
        Rig rig;
        Platform& p = rig.platform;
        rig.controller.retryDelays = {5ms};
        const auto now = std::chrono::steady_clock::now();
        noteDefaultRoute(rig.controller, "interface 1", now); // the first one told
        toggleConnection(rig.controller);
        ASSERT_TRUE(shown(Connected));
        p.finish();
        p.lock(), p.checks = k.checks;
        if (std::string_view(k.event) == "resume") {
            noteResumed(rig.controller, now);
            noteResumed(rig.controller, now);
        } else {
            noteDefaultRoute(
                rig.controller,
                k.event == std::string_view("new route") ? "interface 2" : "interface 1", now);
        }
        EXPECT_EQ((p.lock(), p.workers.size()), k.after.empty() ? 0u : 1u);
        if (!k.after.empty()) {
            ASSERT_TRUE(p.reached(k.after.back().c_str(), 1 + (k.after.back() == "check")));
        }
        p.finish();
        EXPECT_EQ(Calls(p.calls.begin() + 4, p.calls.end()), k.after);
        EXPECT_TRUE(shown(Connected));
        toggleConnection(rig.controller);
        p.expectNothingLeft();
    }
}
