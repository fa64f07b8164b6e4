// The connection worker: one request to the service for an upstream, then
// either the running connection or the failure report.
#include "api/connection_request.h"
#include "api/http.h"
#include "api/json_fields.h"
#include "api/locations.h"
#include "proxy/system_proxy.h"
#include "proxy/toggle.h"
#include "ui/failure_box.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <string>

namespace {

std::atomic<bool> requestsRefused{false};
std::atomic<int> requestsCommitting{0};

std::wstring buildTarget() {
    // The cache-busting number: tick count, then one draw of the C runtime
    // generator seeded from the tick count read just before.
    std::srand(GetTickCount());
    const int draw = std::rand();
    const DWORD tick = GetTickCount();
    std::wstring target = L"/api/get_connection.php?nocache=";
    target += std::to_wstring(tick);
    target += std::to_wstring(draw);

    // The selection is read once, against one whole snapshot of the list, so
    // later clicks and a catalogue swap cannot change this request.
    const std::int32_t index = appState.selectedIndex.load();
    const auto list = currentLocations();
    if (index >= 0 && static_cast<std::size_t>(index) < list->size()) {
        const std::string code = (*list)[static_cast<std::size_t>(index)].code;
        if (!code.empty()) {
            const std::wstring wideCode = utf8ToWide(code);
            target += L"&country=" + wideCode + L"&location=" + wideCode;
        }
    }
    return target;
}

bool isUsable(const UpstreamEndpoint& endpoint) {
    return endpoint.port > 0 && !endpoint.host.empty() &&
           endpoint.userName.size() <= maxCredentialLength &&
           endpoint.password.size() <= maxCredentialLength;
}

// Starts the engine and points the system proxy at it. False when the
// window is closing or the engine's port cannot be bound; then nothing was
// started and the system proxy is untouched.
bool startConnection() {
    // Counted before the refusal is read, and the close sets the refusal
    // before it reads the count: one of the two always sees the other.
    struct Committing {
        Committing() { requestsCommitting.fetch_add(1); }
        ~Committing() { requestsCommitting.fetch_sub(1); }
    } committing;
    if (requestsRefused.load() || !connectionEngine().start(appState.upstream)) return false;
    setSystemProxy(true);
    appState.connectionState.store(Connected);
    return true;
}

void runRequest() {
    if (currentLocations()->empty()) startLocationFetch();

    appState.upstream = UpstreamEndpoint{};
    const std::wstring target = buildTarget();
    const std::string answer = httpGet(target);

    UpstreamEndpoint& upstream = appState.upstream;
    upstream.host = extractValue(answer, "ip");
    upstream.port = toIntOrZero(extractValue(answer, "port"));
    upstream.userName = extractValue(answer, "username");
    upstream.password = extractValue(answer, "password");

    if (isUsable(upstream) && startConnection()) {
        requestRepaint();
        return;
    }
    appState.connectionState.store(Disconnected);
    // No box for a window that is going away.
    if (!requestsRefused.load()) showConnectionFailedBox();
    requestRepaint();
}

} // namespace

void requestConnection() {
    try {
        runRequest();
    } catch (...) {
        // Out of memory or a thread that could not start: never stay Connecting.
        ConnectionState expected = Connecting;
        appState.connectionState.compare_exchange_strong(expected, Disconnected);
        requestRepaint();
    }
}

void refuseConnectionRequests() {
    requestsRefused.store(true);
}

bool connectionRequestCommitting() {
    return requestsCommitting.load() > 0;
}
