#include "api/connection_request.h"

#include <windows.h>

void showConnectionFailedBox() {
    MessageBoxA(static_cast<HWND>(appState.mainWindow.load()), "Connection Failed", "Error", MB_OK);
}
