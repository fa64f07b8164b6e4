// sovelin-relay --upstream HOST:PORT [--user NAME --password PASS] [--port N]
//               [--handshake-deadline MS] [--stats SECONDS]
// Runs the engine on 127.0.0.1:10800 (or --port) until a stop is requested
// (stop.h), then stops it; exit 0 only when no session is left open. With
// --stats, a line "stats rss_kb=.. handles=.. threads=.. sessions=.." goes to
// stderr every SECONDS (the soak reads it).
#include "proxy/engine.h"
#include "tools/relay/stats.h"
#include "tools/relay/stop.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace {

int usage(const char* why) {
    std::fprintf(stderr,
                 "sovelin-relay: %s (usage: --upstream HOST:PORT [--user NAME --password PASS] "
                 "[--port N] [--handshake-deadline MS] [--stats SECONDS])\n",
                 why);
    return 2;
}

// 1 to 65535: a port, a deadline in ms, a stats interval in s.
bool parseNumber(const std::string& text, std::int32_t& out) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    int value = std::atoi(text.c_str());
    if (value < 1 || value > 65535) return false;
    out = value;
    return true;
}

// Prints the process's use every `seconds` until stopped.
class StatsReporter {
  public:
    StatsReporter(int seconds, const ProxyEngine& engine) {
        if (seconds > 0) thread = std::thread([this, seconds, &engine] { run(seconds, engine); });
    }
    ~StatsReporter() {
        {
            std::lock_guard lock(mutex);
            done = true;
        }
        wake.notify_all();
        if (thread.joinable()) thread.join();
    }
    StatsReporter(const StatsReporter&) = delete;
    StatsReporter& operator=(const StatsReporter&) = delete;

  private:
    void run(int seconds, const ProxyEngine& engine) {
        std::unique_lock lock(mutex);
        while (!wake.wait_for(lock, std::chrono::seconds(seconds), [this] { return done; })) {
            const ProcessStats s = readProcessStats();
            std::fprintf(
                stderr, "sovelin-relay: stats rss_kb=%lld handles=%lld threads=%lld sessions=%zu\n",
                static_cast<long long>(s.rssKb), static_cast<long long>(s.handles),
                static_cast<long long>(s.threads), engine.sessionCount());
            std::fflush(stderr);
        }
    }

    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::thread thread;
};

} // namespace

int main(int argc, char** argv) {
    UpstreamEndpoint endpoint;
    EngineOptions options;
    bool haveUpstream = false, haveUser = false, havePassword = false;
    int statsSeconds = 0;
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        if (i + 1 >= argc) return usage("missing value");
        std::string value = argv[++i];
        if (option == "--upstream") {
            std::size_t colon = value.rfind(':');
            if (colon == std::string::npos || colon == 0 ||
                !parseNumber(value.substr(colon + 1), endpoint.port))
                return usage("bad --upstream");
            endpoint.host = value.substr(0, colon);
            haveUpstream = true;
        } else if (option == "--port") {
            std::int32_t port = 0;
            if (!parseNumber(value, port)) return usage("bad --port");
            options.port = static_cast<std::uint16_t>(port);
        } else if (option == "--handshake-deadline") {
            std::int32_t ms = 0;
            if (!parseNumber(value, ms)) return usage("bad --handshake-deadline (1..65535 ms)");
            options.handshakeDeadline = std::chrono::milliseconds(ms);
        } else if (option == "--stats") {
            std::int32_t seconds = 0;
            if (!parseNumber(value, seconds)) return usage("bad --stats");
            statsSeconds = seconds;
        } else if (option == "--user") {
            endpoint.userName = value;
            haveUser = true;
        } else if (option == "--password") {
            endpoint.password = value;
            havePassword = true;
        } else {
            return usage("unknown option");
        }
    }
    if (!haveUpstream) return usage("--upstream is required");
    if (haveUser != havePassword) return usage("--user and --password go together");

    if (!prepareStopWait()) {
        std::fprintf(stderr, "sovelin-relay: cannot prepare the stop\n");
        return 1;
    }
    ProxyEngine engine(options);
    if (!engine.start(endpoint)) {
        std::fprintf(stderr, "sovelin-relay: cannot listen on 127.0.0.1:%u (port in use?)\n",
                     static_cast<unsigned>(options.port));
        return 1;
    }
    std::fprintf(stderr, "sovelin-relay: listening on 127.0.0.1:%u\n",
                 static_cast<unsigned>(options.port));
    std::fflush(stderr);
    {
        StatsReporter reporter(statsSeconds, engine);
        waitForStopRequest();
    }
    const auto stopping = std::chrono::steady_clock::now();
    engine.stop();
    const std::chrono::duration<double, std::milli> took =
        std::chrono::steady_clock::now() - stopping;
    std::fprintf(stderr, "sovelin-relay: stopped in %.1f ms\n", took.count());
    if (engine.sessionCount() > 0) {
        std::fprintf(stderr, "sovelin-relay: sessions still open after the stop\n");
        return 1;
    }
    return 0;
}
