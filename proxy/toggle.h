// The single connect/disconnect entry of the user interface.
#pragma once

#include "proxy/engine.h"

// The one engine of the process: started by the connection request, stopped
// by the toggle and the close. Never destroyed, like the state.
ProxyEngine& connectionEngine();

void toggleConnection();

// For the window's close: runs the whole stop when connected (sockets closed,
// listener joined, the user's proxy settings given back), waits for a request
// still in flight to end first, and leaves the state Disconnected.
void stopConnectionAtExit();
