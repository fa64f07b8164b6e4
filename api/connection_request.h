// Asks the service for an upstream and starts the connection.
#pragma once

#include "core/state.h"

#include <cstddef>

// RFC 1929 section 2 carries each of the user name and the password in a
// length byte: longer ones cannot be sent upstream.
inline constexpr std::size_t maxCredentialLength = 255;

// Body of the connection worker started by toggleConnection.
void requestConnection();

// For the window's close: from now on a request that obtains an endpoint ends
// Disconnected without starting the listener or touching the system proxy.
void refuseConnectionRequests();

// True while some request is past that check and on its way to Connected
// (starting the listener, switching the system proxy).
bool connectionRequestCommitting();
