#include "ui/failure_box.h"

#include "core/state.h"

#include <windows.h>

void showConnectionFailedBox() {
    MessageBoxA(static_cast<HWND>(appState.mainWindow.load()), "Connection Failed", "Error", MB_OK);
}
