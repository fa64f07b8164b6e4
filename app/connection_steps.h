// Inside the connection controller: the steps its two files share
// (connection_controller.cpp: start, stop, exit and recovery;
// connection_events.cpp: another program's setting, sleep and the network).
#pragma once

#include "app/connection_controller.h"

namespace connection_steps {

using Lock = std::unique_lock<std::mutex>;

// The phases in which the system proxy points at the listener.
bool holdsProxy(ConnectionPhase phase);
// Under the lock, so the window's picture follows the changes in their order.
void enter(ConnectionController& c, ConnectionPhase phase);
// Never under the lock: the log may have a lock of its own.
void note(ConnectionController& c, std::string_view text, std::string_view detail = {}) noexcept;
void repaint(ConnectionController& c) noexcept;
// The stop from a phase that holds the proxy: the engine, then every entry's
// setting back; ends Disconnected. Called with the lock held; returns with
// it released.
void runStop(ConnectionController& c, Lock& lock, std::string_view who);
// An upstream check on this thread (c.checking set by the caller); a failed
// one starts the recovery here.
void checkLostUpstreamCaught(ConnectionController& c, const UpstreamEndpoint& endpoint) noexcept;

} // namespace connection_steps
