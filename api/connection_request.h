// Asks the service for an upstream and starts the connection.
#pragma once

#include "app/state.h"

// Body of the connection worker started by toggleConnection.
void requestConnection();
