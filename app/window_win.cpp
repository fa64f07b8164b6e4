// The main window: its class, the double-buffered paint, pointer input and
// the autostart sequence.
#include "app/window.h"

#include "api/locations.h"
#include "app/connection_controller.h"
#include "app/settings.h"
#include "core/state.h"
#include "ui/draw_win.h"
#include "ui/layout.h"

#include <chrono>
#include <thread>

namespace {

constexpr const wchar_t* windowTitle = L"Sovelin Desktop";
constexpr int windowWidth = 900;
constexpr int windowHeight = 600;
constexpr UINT_PTR repaintTimer = 1;
constexpr UINT repaintPeriodMs = 16;

// The client point of a mouse message: both halves of lParam unsigned.
int pointX(LPARAM lParam) {
    return static_cast<int>(static_cast<std::uint16_t>(lParam & 0xFFFF));
}
int pointY(LPARAM lParam) {
    return static_cast<int>(static_cast<std::uint16_t>((lParam >> 16) & 0xFFFF));
}

bool catalogueEmpty() {
    const auto list = currentLocations();
    return !list || list->empty();
}

} // namespace

void autostartSequence() {
    try {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        if (catalogueEmpty()) startLocationFetch();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        // One attempt only: a catalogue slower than this leaves it to the
        // user. After the window's close the controller starts nothing.
        if (!catalogueEmpty()) toggleConnection();
    } catch (...) {
    }
}

void paintWindow(HWND window) {
    PAINTSTRUCT paint;
    HDC windowDc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    const int width = client.right;
    const int height = client.bottom;

    HDC memoryDc = CreateCompatibleDC(windowDc);
    HBITMAP bitmap = CreateCompatibleBitmap(windowDc, width, height);
    HGDIOBJ previous = SelectObject(memoryDc, bitmap);

    Gdiplus::GpGraphics* graphics = nullptr;
    if (gdip::GdipCreateFromHDC(memoryDc, &graphics) == Gdiplus::Ok) {
        gdip::GdipSetSmoothingMode(graphics, Gdiplus::SmoothingModeAntiAlias);
        gdip::GdipSetTextRenderingHint(graphics, Gdiplus::TextRenderingHintClearTypeGridFit);
        try {
            drawServerList(graphics, height);
            if (appState.settingsPageShown) {
                drawSettingsPage(graphics, width - listPanelWidth, height);
            } else {
                drawMainPage(graphics, width - listPanelWidth, height);
            }
        } catch (...) {
            // A frame that could not be drawn whole is still shown as far as
            // it got; the painters' objects are released by their owners.
        }
        gdip::GdipFlush(graphics, Gdiplus::FlushIntentionSync);
    }
    BitBlt(windowDc, 0, 0, width, height, memoryDc, 0, 0, SRCCOPY);
    if (graphics) gdip::GdipDeleteGraphics(graphics);
    SelectObject(memoryDc, previous);
    DeleteDC(memoryDc);
    DeleteObject(bitmap);
    EndPaint(window, &paint);
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        switch (message) {
        case WM_CREATE:
            loadSettings();
            SetTimer(window, repaintTimer, repaintPeriodMs, nullptr);
            startLocationFetch();
            if (appState.autostartEnabled) std::thread(autostartSequence).detach();
            break;
        case WM_DESTROY:
            // The whole stop (sockets, listener, the user's proxy settings
            // back), not only the proxy setting: the process then ends with
            // nothing of ours left running or pointed at.
            stopConnectionAtExit();
            PostQuitMessage(0);
            break;
        case WM_PAINT:
            paintWindow(window);
            break;
        case WM_TIMER:
            InvalidateRect(window, nullptr, FALSE);
            break;
        case WM_MOUSEMOVE:
            pointerMovedTo(pointX(lParam), pointY(lParam));
            break;
        case WM_LBUTTONDOWN: {
            RECT client;
            GetClientRect(window, &client);
            const PressEffects effects =
                pressAt(pointX(lParam), pointY(lParam), client.right, client.bottom);
            if (effects.saveSettings) saveSettings();
            if (effects.toggleConnection) toggleConnection();
            if (effects.repaint) InvalidateRect(window, nullptr, FALSE);
            break;
        }
        default:
            break;
        }
    } catch (...) {
        // Nothing thrown may cross into the system's message dispatch.
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND createMainWindow(HINSTANCE instance) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(WNDCLASSEXW);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    windowClass.lpszClassName = windowClassName;
    RegisterClassExW(&windowClass);

    const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    return CreateWindowExW(0, windowClassName, windowTitle, WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                           (screenWidth - windowWidth) / 2, (screenHeight - windowHeight) / 2,
                           windowWidth, windowHeight, nullptr, nullptr, instance, nullptr);
}
