// Process entry: the libraries the window needs, the window, the message
// loop, and the end of it all.
#include "app/window.h"
#include "core/log.h"
#include "core/state.h"
#include "proxy/system_proxy.h"

#include <winsock2.h>
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    logLine("start");
    // A proxy setting left pointing at us by a crash would cut the user off.
    if (repairLeftoverSystemProxy()) {
        logLine("start: the system proxy still pointed at the listener; set back to direct");
    }

    Gdiplus::GdiplusStartupInput input;
    input.GdiplusVersion = 1;
    input.DebugEventCallback = nullptr;
    input.SuppressBackgroundThread = FALSE;
    input.SuppressExternalCodecs = FALSE;
    ULONG_PTR gdiplusToken = 0;
    Gdiplus::GdiplusStartup(&gdiplusToken, &input, nullptr);

    HWND window = createMainWindow(instance);
    appState.mainWindow.store(window);

    MSG message;
    WPARAM exitCode = 0;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (message.message == WM_QUIT) exitCode = message.wParam;
    appState.mainWindow.store(nullptr);

    Gdiplus::GdiplusShutdown(gdiplusToken);
    WSACleanup();
    logLine("exit");
    return static_cast<int>(exitCode);
}
