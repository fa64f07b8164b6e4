#include "proxy/listener.h"

#include "core/state.h"
#include "proxy/relay.h"

#include <chrono>
#include <system_error>
#include <thread>

namespace {

// A failing wait or accept (typically out of descriptors) would fail again at
// once; pausing keeps the listener from spinning while relays give some back.
constexpr auto acceptBackoff = std::chrono::milliseconds(100);
constexpr int acceptWaitMs = 1000;

void startRelay(SocketHandle client, const UpstreamEndpoint& endpoint) {
    try {
        std::thread(relayClient, client, endpoint).detach();
    } catch (...) {
        // No thread (resource exhaustion): this client goes, the listener stays.
        appState.clientRegistry.remove(client);
        closeSocket(client);
    }
}

} // namespace

SocketHandle openListeningSocket(std::uint16_t port) {
    SocketHandle s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == invalidSocket) return invalidSocket;
    setListenerAddressUse(s);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(s, SOMAXCONN) != 0) {
        closeSocket(s);
        return invalidSocket;
    }
    // A client that connects and resets before the accept would leave a
    // blocking accept waiting for the next one, and a stop could not join
    // the listener (a shutdown does not wake that accept under Wine).
    setNonBlocking(s);
    return s;
}

void runListener(SocketHandle listening) {
    ClientRegistry& registry = appState.clientRegistry;
    try {
        // One copy for this listener's life: a later connection request may
        // rewrite appState.upstream while relays start.
        const UpstreamEndpoint endpoint = appState.upstream;
        while (appState.listenerRunning.load()) {
            int ready = waitReadable(listening, acceptWaitMs);
            if (ready == 0) continue;
            SocketHandle client = ready > 0 ? ::accept(listening, nullptr, nullptr) : invalidSocket;
            if (client == invalidSocket) {
                if (registry.isStopping()) break;
                // The connection went away between the wait and the accept.
                if (ready > 0 && isWouldBlock(lastSocketError())) continue;
                std::this_thread::sleep_for(acceptBackoff);
                continue;
            }
            if (!registry.add(client)) {
                // Accepted after the stop began: never relayed.
                closeSocket(client);
                break;
            }
            // Windows hands the listener's non-blocking mode on; relays block.
            setNonBlocking(client, false);
            setNoDelay(client);
            startRelay(client, endpoint);
        }
    } catch (...) {
    }
    registry.remove(listening);
    closeSocket(listening);
}

bool startListener(std::uint16_t port) {
    // Already true: a listener runs; joining it here would wait for ever.
    if (appState.listenerRunning.exchange(true)) return false;
    if (appState.listenerThread.joinable()) appState.listenerThread.join();
    SocketHandle listening = openListeningSocket(port);
    bool started = false;
    if (listening != invalidSocket) {
        appState.clientRegistry.open();
        if (appState.clientRegistry.add(listening)) {
            try {
                appState.listenerThread = std::thread(runListener, listening);
                started = true;
            } catch (const std::system_error&) {
                appState.clientRegistry.remove(listening);
            }
        }
        if (!started) closeSocket(listening);
    }
    if (!started) {
        appState.listenerRunning.store(false);
        appState.connectionState.store(Disconnected);
        requestRepaint();
    }
    return started;
}

void stopListener() {
    appState.listenerRunning.exchange(false);
    appState.clientRegistry.closeAll();
    if (appState.listenerThread.joinable()) appState.listenerThread.join();
}
