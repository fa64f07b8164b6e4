// How the relay process learns that it should stop, per platform.
#pragma once

// Before any thread starts: whatever the platform needs for the wait below
// (signal mask, socket library). false when that fails.
bool prepareStopWait();

// Blocks until a stop is requested.
void waitForStopRequest();
