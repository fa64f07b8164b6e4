#include "core/state.h"

#include <windows.h>

void requestRepaint() {
    // NB: InvalidateRect(NULL, ...) would repaint every window on the desktop,
    // so a missing window (tests, or before creation returns) is skipped.
    if (HWND window = static_cast<HWND>(appState.mainWindow.load())) {
        InvalidateRect(window, nullptr, FALSE);
    }
}
