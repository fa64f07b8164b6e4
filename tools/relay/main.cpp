// sovelin-relay --upstream HOST:PORT [--user NAME --password PASS] [--port N]
// Runs the engine on 127.0.0.1:10800 (or --port) until a stop is requested
// (stop.h), then stops it; exit 0 only when no session is left open.
#include "proxy/engine.h"
#include "tools/relay/stop.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

int usage(const char* why) {
    std::fprintf(stderr,
                 "sovelin-relay: %s (usage: --upstream HOST:PORT [--user NAME --password PASS] "
                 "[--port N])\n",
                 why);
    return 2;
}

bool parsePort(const std::string& text, std::int32_t& port) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    int value = std::atoi(text.c_str());
    if (value < 1 || value > 65535) return false;
    port = value;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    UpstreamEndpoint endpoint;
    EngineOptions options;
    bool haveUpstream = false, haveUser = false, havePassword = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        if (i + 1 >= argc) return usage("missing value");
        std::string value = argv[++i];
        if (option == "--upstream") {
            std::size_t colon = value.rfind(':');
            if (colon == std::string::npos || colon == 0 ||
                !parsePort(value.substr(colon + 1), endpoint.port))
                return usage("bad --upstream");
            endpoint.host = value.substr(0, colon);
            haveUpstream = true;
        } else if (option == "--port") {
            std::int32_t port = 0;
            if (!parsePort(value, port)) return usage("bad --port");
            options.port = static_cast<std::uint16_t>(port);
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
    waitForStopRequest();
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
