// The local SOCKS listener on 127.0.0.1:10800.
#pragma once

#include "proxy/net.h"

#include <cstdint>

inline constexpr std::uint16_t listenPort = 10800;

// Creates the listening socket on 127.0.0.1:port and listens. Returns
// invalidSocket when the port cannot be bound (for example, already taken).
SocketHandle openListeningSocket(std::uint16_t port = listenPort);

// Body of the listener thread: accepts clients on an already listening socket
// while appState.listenerRunning is true, one detached relay thread each, with
// the copy of appState.upstream taken when it starts. Ends early when a stop
// has shut the registry. Removes its socket from the registry and closes it.
void runListener(SocketHandle listening);

// The start: sets listenerRunning, binds the port on the calling thread and
// starts runListener in appState.listenerThread (joining an ended one first).
// Returns false, with listenerRunning cleared, connectionState Disconnected
// (repaint asked) and nothing started, when the port cannot be bound or the
// thread cannot be created. Returns false and changes nothing while a
// listener already runs.
bool startListener(std::uint16_t port = listenPort);

// The engine part of a stop: clears listenerRunning, shuts down every
// registered socket and joins the listener thread.
void stopListener();
