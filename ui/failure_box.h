// The one message the client shows: a failed connection.
#pragma once

// The message box "Connection Failed", caption "Error", owned by the main
// window; returns when the user closes it.
void showConnectionFailedBox();
