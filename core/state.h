// The one process-wide state of the client, what its parts share. They read
// and write its fields directly; see the comments for who may touch what.
// What the window alone keeps is the view's (ui/layout.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum ConnectionState : std::int32_t { Disconnected = 0, Connecting = 1, Connected = 2 };

struct Location {
    std::string code;         // bytes of the API's "code" value, unchanged
    std::wstring displayName; // row title
};
using LocationList = std::vector<Location>;

struct UpstreamEndpoint {
    std::string host; // "ip" as received: a dotted address or a name
    std::int32_t port = 0;
    std::string userName;
    std::string password;
};

// A shared pointer that any thread may read or replace whole. The standard
// atomic shared_ptr functions take a lock of the library's, which the thread
// sanitizer understands (GCC 12's std::atomic<std::shared_ptr> it does not).
template <class T> struct SharedSnapshot {
    std::shared_ptr<const T> pointer;
    std::shared_ptr<const T> load() const { return std::atomic_load(&pointer); }
    void store(std::shared_ptr<const T> next) { std::atomic_store(&pointer, std::move(next)); }
};

// A window handle without <windows.h>, so the portable code can carry it.
using WindowHandle = void*;

struct AppState {
    // Published whole: a fetch builds a new list and swaps it in, so a reader
    // holding the pointer sees one complete list for as long as it needs.
    SharedSnapshot<LocationList> locations{std::make_shared<const LocationList>()};

    std::atomic<WindowHandle> mainWindow{nullptr};
    std::atomic<ConnectionState> connectionState{Disconnected};
    std::atomic<std::int32_t> selectedIndex{0};

    // Changed on the UI thread only; the connection's recovery reads it.
    std::atomic<bool> killSwitchEnabled{false};
    // UI thread only: the window and the settings file.
    bool autostartEnabled = false;
};

// Never destroyed: detached workers (downloads, the connection request) may
// still run while the process ends, and must not find the state gone.
extern AppState& appState;

// A snapshot of the catalogue that stays whole while the caller uses it.
inline std::shared_ptr<const LocationList> currentLocations() {
    return appState.locations.load();
}

// Asks the main window to repaint its whole client area without erasing.
// Does nothing while there is no window.
void requestRepaint();
