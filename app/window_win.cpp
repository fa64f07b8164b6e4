// The main window: its class, the double-buffered paint, the halo's
// animation, pointer, wheel and keyboard input, its scale by the monitor's
// DPI, and the autostart sequence.
#include "app/window.h"

#include "api/locations.h"
#include "app/connection_controller.h"
#include "app/settings.h"
#include "core/log.h"
#include "core/state.h"
#include "ui/accessible_win.h"
#include "ui/frame_win.h"
#include "ui/input.h"

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

namespace {

constexpr const wchar_t* windowTitle = L"Sovelin Desktop";
constexpr int windowWidth = 900; // at 96 DPI, scaled as every other length
constexpr int windowHeight = 600;
// Runs only while the halo moves: about 60 frames a second.
constexpr UINT_PTR pulseTimer = 1;
constexpr UINT pulsePeriodMs = 16;

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

// What the window keeps from paint to paint: the painter with its drawing
// objects, the buffer holding the last frame, what that frame showed, and
// whether the halo's timer runs. Made at the first paint, released with the
// window (GDI+ is still running then).
struct Painting {
    FramePainter painter;
    BackBuffer buffer;
    ConnectionState frameState = Disconnected;
    bool animating = false;
};
std::unique_ptr<Painting> painting;

// The halo moves while a connection is made or up and the main page shows.
bool animates(ConnectionState state) {
    return !view.settingsPageShown && (state == Connecting || state == Connected);
}

void setAnimating(HWND window, Painting& p, bool on) {
    if (on == p.animating) return;
    if (on) {
        p.animating = SetTimer(window, pulseTimer, pulsePeriodMs, nullptr) != 0;
    } else {
        KillTimer(window, pulseTimer);
        p.animating = false;
    }
}

bool within(const RECT& r, const PixelBox& box) {
    return r.left >= box.left && r.top >= box.top && r.right <= box.right && r.bottom <= box.bottom;
}

// One step of the halo: only its area is repainted where nothing else is
// drawn there, the whole window otherwise.
void nextPulseFrame(HWND window) {
    if (!painting) return;
    if (!animates(appState.connectionState.load())) {
        // A state the last frame did not show: a worker may ask for the
        // repaint only later (a failed request shows its box first).
        setAnimating(window, *painting, false);
        InvalidateRect(window, nullptr, FALSE);
        return;
    }
    RECT client;
    GetClientRect(window, &client);
    if (client.right <= 0 || client.bottom <= 0) {
        // Minimized: nothing to show; the next paint starts the timer again.
        setAnimating(window, *painting, false);
        return;
    }
    view.pulsePhase = advancePulsePhase(view.pulsePhase);
    const ElementTable& table =
        windowElements(client.right, client.bottom, appState.connectionState.load());
    if (haloAreaStandsAlone(table)) {
        const PixelBox a = haloArea(table);
        const RECT area = {a.left, a.top, a.right, a.bottom};
        InvalidateRect(window, &area, FALSE);
    } else {
        InvalidateRect(window, nullptr, FALSE);
    }
}

RECT clientOf(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    return client;
}

// What an input asks for, once layout has changed the state.
void applyEffects(HWND window, const PressEffects& effects) {
    if (effects.saveSettings) saveSettings();
    if (effects.toggleConnection) toggleConnection();
    if (effects.repaint) InvalidateRect(window, nullptr, FALSE);
    notifyFocusAndSelection(window, effects.focusMoved, effects.selectionMoved);
    if (effects.saveSettings) notifySwitchesChanged(window);
}

// The keys of the window; nullopt for the others, left to the system.
std::optional<Key> keyOf(WPARAM virtualKey) {
    switch (virtualKey) {
    case VK_UP:
        return Key::Up;
    case VK_DOWN:
        return Key::Down;
    case VK_HOME:
        return Key::Home;
    case VK_END:
        return Key::End;
    case VK_PRIOR:
        return Key::PageUp;
    case VK_NEXT:
        return Key::PageDown;
    case VK_TAB:
        return GetKeyState(VK_SHIFT) < 0 ? Key::BackTab : Key::Tab;
    case VK_RETURN:
        return Key::Enter;
    case VK_SPACE:
        return Key::Space;
    case VK_ESCAPE:
        return Key::Escape;
    default:
        return std::nullopt;
    }
}

// The focus ring shows from the first key on, as the system's keyboard cues
// do: the window asks to clear "hide focus" and reads back what holds.
void showKeyboardCues(HWND window) {
    if (view.focusRingShown) return;
    SendMessageW(window, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
    if (!(SendMessageW(window, WM_QUERYUISTATE, 0, 0) & UISF_HIDEFOCUS)) view.focusRingShown = true;
}

bool onKeyDown(HWND window, WPARAM virtualKey) {
    const std::optional<Key> key = keyOf(virtualKey);
    if (!key) return false;
    const bool ringWasShown = view.focusRingShown;
    showKeyboardCues(window);
    const RECT client = clientOf(window);
    PressEffects effects = keyPressed(*key, client.right, client.bottom);
    effects.repaint = effects.repaint || ringWasShown != view.focusRingShown;
    applyEffects(window, effects);
    return true;
}

void onUiState(HWND window, WPARAM wParam) {
    if (!(HIWORD(wParam) & UISF_HIDEFOCUS)) return;
    const bool shown = LOWORD(wParam) == UIS_CLEAR;
    if (LOWORD(wParam) != UIS_CLEAR && LOWORD(wParam) != UIS_SET) return;
    if (shown == view.focusRingShown) return;
    view.focusRingShown = shown;
    InvalidateRect(window, nullptr, FALSE);
}

// The system's DPI: the screen's LOGPIXELSX, as this DPI-aware process is
// told it (96 when the call fails).
int systemDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : designDpi;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : designDpi;
}

// The DPI of the window's monitor. GetDpiForWindow came with Windows 10;
// before it, every monitor has the system's.
int windowDpi(HWND window) {
    using DpiForWindow = UINT(WINAPI*)(HWND);
    static const auto forWindow = reinterpret_cast<DpiForWindow>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    const UINT dpi = forWindow ? forWindow(window) : 0;
    return dpi ? static_cast<int>(dpi) : systemDpi();
}

// The monitor's scale changed (or the window moved to another): the system
// suggests the rectangle that keeps the window's look.
void onDpiChanged(HWND window, WPARAM wParam, LPARAM lParam) {
    const int dpi = LOWORD(wParam);
    if (dpi > 0) view.dpi = dpi;
    const RECT* r = reinterpret_cast<const RECT*>(lParam);
    if (r)
        SetWindowPos(window, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(window, nullptr, FALSE);
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
    if (!painting) painting = std::make_unique<Painting>();
    Painting& p = *painting;
    // One reading for the whole frame. A state the last frame did not show
    // changes the button and the card together: all of the window then.
    const ConnectionState state = appState.connectionState.load();
    if (state != p.frameState) {
        InvalidateRect(window, nullptr, FALSE);
        notifyConnectionShown(window);
    }

    PAINTSTRUCT paint;
    HDC windowDc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    const int width = client.right;
    const int height = client.bottom;
    const bool fresh = p.buffer.fit(windowDc, width, height);
    if (p.buffer.graphics()) {
        // The first frame of an animation is already one step on, as the
        // halo has always started.
        if (animates(state) && !p.animating) view.pulsePhase = advancePulsePhase(view.pulsePhase);
        // The rest of the buffer holds the last frame, which still stands.
        const ElementTable& table = windowElements(width, height, state);
        const bool haloOnly = !fresh && animates(state) && haloAreaStandsAlone(table) &&
                              within(paint.rcPaint, haloArea(table));
        try {
            if (haloOnly) {
                p.painter.paintHaloArea(p.buffer, state);
            } else {
                p.painter.paintFrame(p.buffer, state);
                p.frameState = state;
            }
        } catch (...) {
            // A frame that could not be drawn whole is still shown as far as
            // it got.
        }
        p.buffer.flush();
        const RECT& r = paint.rcPaint;
        BitBlt(windowDc, r.left, r.top, r.right - r.left, r.bottom - r.top, p.buffer.dc(), r.left,
               r.top, SRCCOPY);
    }
    EndPaint(window, &paint);
    setAnimating(window, p, animates(state));
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        switch (message) {
        case WM_CREATE:
            loadSettings();
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
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_POWERBROADCAST:
            notePowerEvent(wParam);
            return TRUE;
        case WM_ENDSESSION:
            // Windows may end the process as soon as this returns, and no
            // WM_DESTROY need come: the whole stop runs now, briefly.
            if (wParam) {
                logLine("session end: stopping");
                stopConnectionAtSessionEnd();
                logLine("exit: the session ends");
            }
            return 0;
        case WM_PAINT:
            paintWindow(window);
            break;
        case WM_NCDESTROY:
            // The window's last message, before the loop ends and GDI+ stops.
            painting.reset();
            break;
        case WM_TIMER:
            if (wParam == pulseTimer) nextPulseFrame(window);
            break;
        case WM_MOUSEMOVE: {
            const RECT client = clientOf(window);
            if (pointerMovedTo(pointX(lParam), pointY(lParam), client.right, client.bottom))
                InvalidateRect(window, nullptr, FALSE);
            break;
        }
        case WM_LBUTTONDOWN: {
            const RECT client = clientOf(window);
            applyEffects(window,
                         pressAt(pointX(lParam), pointY(lParam), client.right, client.bottom));
            break;
        }
        case elementPressMessage:
            if (wParam <= static_cast<WPARAM>(Part::Back)) {
                const RECT client = clientOf(window);
                applyEffects(window,
                             pressElement(static_cast<Part>(wParam), static_cast<int>(lParam),
                                          client.right, client.bottom));
            }
            return 0;
        case WM_MOUSEWHEEL: {
            const RECT client = clientOf(window);
            if (wheelTurned(GET_WHEEL_DELTA_WPARAM(wParam), client.right, client.bottom))
                InvalidateRect(window, nullptr, FALSE);
            return 0;
        }
        case WM_KEYDOWN:
            if (onKeyDown(window, wParam)) return 0;
            break;
        case WM_UPDATEUISTATE:
            onUiState(window, wParam);
            break;
        case WM_DPICHANGED:
            onDpiChanged(window, wParam, lParam);
            return 0;
        case WM_GETOBJECT: {
            LRESULT answer = 0;
            if (answerGetObject(window, wParam, lParam, answer)) return answer;
            break;
        }
        case WM_SETFOCUS:
            notifyFocusAndSelection(window, true, false);
            break;
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

    // The window opens on the primary screen at the system's scale; should
    // its monitor have another, it takes that one's. Later moves come as
    // WM_DPICHANGED.
    view.dpi = systemDpi();
    const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    HWND window =
        CreateWindowExW(0, windowClassName, windowTitle, WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                        (screenWidth - px(windowWidth)) / 2, (screenHeight - px(windowHeight)) / 2,
                        px(windowWidth), px(windowHeight), nullptr, nullptr, instance, nullptr);
    if (window && windowDpi(window) != view.dpi) {
        view.dpi = windowDpi(window);
        SetWindowPos(window, nullptr, 0, 0, px(windowWidth), px(windowHeight),
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return window;
}
