// Process entry: one client per user session, the libraries the window
// needs, the window, the message loop, and the end of it all.
#include "app/connection_controller.h"
#include "app/system_proxy.h"
#include "app/window.h"
#include "core/log.h"
#include "core/state.h"
#include "version.h"

#include <winsock2.h>
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cwchar>

namespace {

// A proxy setting left pointing at us by a crash would cut the user off;
// the restore file has what each entry had.
void repairAfterCrash() {
    repairSystemProxy(systemProxyPlatform());
}

// The running client's window to the front, restored if minimized. It may
// still be on its way up: its process takes the mutex before it makes one.
void showRunningClient() {
    for (int tries = 0; tries < 50; ++tries) {
        if (HWND window = FindWindowW(windowClassName, nullptr)) {
            if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
            SetForegroundWindow(window);
            return;
        }
        Sleep(100);
    }
}

// "--repair" is the uninstaller's: the start-up repair alone, no window.
bool repairOnly(const wchar_t* commandLine) {
    while (*commandLine == L' ')
        ++commandLine;
    const size_t length = std::wcslen(commandLine);
    size_t end = length;
    while (end > 0 && commandLine[end - 1] == L' ')
        --end;
    return end == 8 && std::wcsncmp(commandLine, L"--repair", 8) == 0;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    // Before anything else: a second client would take the first one's proxy
    // setting for a crash's leftover and give it away. A crashed holder's
    // mutex comes back abandoned, which counts as ours.
    HANDLE instanceMutex = CreateMutexW(nullptr, FALSE, SOVELIN_INSTANCE_MUTEX);
    const bool holder = instanceMutex && WaitForSingleObject(instanceMutex, 0) != WAIT_TIMEOUT;
    if (instanceMutex && !holder) {
        if (!repairOnly(commandLine)) showRunningClient();
        CloseHandle(instanceMutex);
        return 0;
    }
    if (repairOnly(commandLine)) {
        repairAfterCrash();
        return 0;
    }

    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    logLine("start Sovelin " SOVELIN_VERSION_TEXT);
    repairAfterCrash();
    startNetworkWatch();

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
    stopNetworkWatch();

    Gdiplus::GdiplusShutdown(gdiplusToken);
    WSACleanup();
    logLine("exit");
    // The mutex goes with the process, once nothing of ours is left running:
    // the installer waits for that before it replaces the program.
    return static_cast<int>(exitCode);
}
