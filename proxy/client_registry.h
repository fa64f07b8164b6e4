// Every open socket of the proxy engine, so that one stop can wake them all.
#pragma once

#include "proxy/net.h"

#include <cstddef>
#include <mutex>
#include <vector>

// Ownership rule: a socket is closed only by the party that created or
// accepted it, after removing it from the registry. closeAll only shuts the
// registered sockets down, which wakes their owners (every blocked call fails
// or reads the end of the stream); it never closes a handle whose number the
// system could already have handed to a new socket.
struct ClientRegistry {
    std::mutex lock;
    std::vector<SocketHandle> sockets;
    bool stopping = false; // set by closeAll, cleared by open

    // Appends s. Returns false, without adding, while a stop is in progress:
    // the caller must then close s itself instead of using it.
    bool add(SocketHandle s);
    // Erases the first entry equal to s; true when one was found. Never closes.
    bool remove(SocketHandle s);
    // Shuts down every registered socket in both directions and refuses new
    // sockets until the next open. Entries stay until their owners remove them.
    void closeAll();
    // Accepts sockets again; called by a listener when it starts.
    void open();
    // True from closeAll until the next open: the listener's socket is shut
    // down then, and the listener ends instead of waiting on it.
    bool isStopping();
    std::size_t size();
};
