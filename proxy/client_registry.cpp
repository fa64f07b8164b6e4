#include "proxy/client_registry.h"

#include <algorithm>

bool ClientRegistry::add(SocketHandle s) {
    std::lock_guard<std::mutex> guard(lock);
    if (stopping) return false;
    sockets.push_back(s);
    return true;
}

bool ClientRegistry::remove(SocketHandle s) {
    std::lock_guard<std::mutex> guard(lock);
    auto it = std::find(sockets.begin(), sockets.end(), s);
    if (it == sockets.end()) return false;
    sockets.erase(it);
    return true;
}

void ClientRegistry::closeAll() {
    std::lock_guard<std::mutex> guard(lock);
    stopping = true;
    for (SocketHandle s : sockets)
        ::shutdown(s, shutdownBoth);
}

void ClientRegistry::open() {
    std::lock_guard<std::mutex> guard(lock);
    stopping = false;
}

bool ClientRegistry::isStopping() {
    std::lock_guard<std::mutex> guard(lock);
    return stopping;
}

std::size_t ClientRegistry::size() {
    std::lock_guard<std::mutex> guard(lock);
    return sockets.size();
}
