// The window under Wine: frames as the window paints them against frames
// drawn from nothing, and the real window on a virtual display with its
// paints counted as its loop takes them.
#include "app/window.h"
#include "ui/accessible_win.h"
#include "ui/frame_win.h"
#include "ui/input.h"

#include <oleacc.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using std::chrono::milliseconds;

// GDI+ for the whole program; every window and painter ends before it.
struct GdiplusSession {
    ULONG_PTR token = 0;
    GdiplusSession() {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token, &input, nullptr);
    }
    ~GdiplusSession() { Gdiplus::GdiplusShutdown(token); }
} gdiplus;

// The first six of these, then grey flags.
void setRows(int count) {
    LocationList list;
    const char* codes[] = {"US", "DE", "FR", "GB", "NL", "JP"};
    for (int i = 0; i < count; ++i)
        list.push_back({i < 6 ? codes[i] : "XX", L"Name " + std::to_wstring(i)});
    appState.locations.store(std::make_shared<const LocationList>(std::move(list)));
}

void setSixRows() {
    setRows(6);
}

struct Paints {
    int all = 0;
    int haloAreaOnly = 0; // the update region was the halo's area alone
};

// Runs the window's messages for a while, or until done, counting paints.
Paints paintsWithin(HWND window, milliseconds span, std::function<bool()> done = {}) {
    const auto end = std::chrono::steady_clock::now() + span;
    Paints paints;
    MSG message;
    while (std::chrono::steady_clock::now() < end && !(done && done())) {
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
            continue;
        }
        if (message.message == WM_PAINT && message.hwnd == window) {
            RECT update, client;
            GetUpdateRect(window, &update, FALSE);
            GetClientRect(window, &client);
            const PixelBox a = haloArea(
                windowElements(client.right, client.bottom, appState.connectionState.load()));
            const RECT area = {a.left, a.top, a.right, a.bottom};
            ++paints.all;
            paints.haloAreaOnly += EqualRect(&update, &area);
        }
        DispatchMessageW(&message);
    }
    return paints;
}

} // namespace

TEST(Window, KeptPixelsAndHaloRepaintsEqualFramesDrawnFromNothing) {
    appState.selectedIndex = 1;
    FramePainter painter; // one through every size, as a resized window keeps it
    // The halo's area stands alone from 464 x 443 on; at 463 it would meet
    // the panel's side. The card's picture is kept from 568 wide on; at 500
    // the card reaches over the panel. 884 x 400: the card in the halo's
    // area; 400 x 300: the button over the panel. Then a long list scrolled,
    // with the focus ring, at 96 and 144 DPI (1326 x 861: the client of the
    // 1350 x 900 window).
    const struct {
        int dpi, rows, firstRow;
        Part focus; // with the ring shown, unless the list's without
        bool ring;
        std::vector<SIZE> sizes;
    } configurations[] = {
        {96,
         6,
         0,
         Part::List,
         false,
         {{884, 561}, {464, 443}, {463, 443}, {568, 443}, {500, 443}, {884, 400}, {400, 300}}},
        {96, 20, 4, Part::Button, true, {{884, 561}, {500, 443}}},
        {144, 20, 7, Part::List, true, {{1326, 861}, {700, 500}}},
        {144, 6, 0, Part::Gear, true, {{1326, 861}}},
    };
    for (const auto& c : configurations) {
        view.dpi = c.dpi;
        setRows(c.rows);
        view.firstRow = c.firstRow;
        view.focusRingShown = c.ring;
        for (const SIZE size : c.sizes) {
            const int w = size.cx, h = size.cy;
            BackBuffer window, reference;
            ASSERT_TRUE(window.fit(nullptr, w, h) && reference.fit(nullptr, w, h));
            for (const int settings : {0, 1}) {
                view.settingsPageShown = settings;
                view.focus = settings ? Part::Autostart : c.focus;
                for (const ConnectionState state : {Disconnected, Connecting, Connected}) {
                    // Whole frames (W) and halo-only repaints (h), the widest
                    // halo and the narrowest, a hover and a switch that
                    // change: each part drawn first, then copied.
                    for (int frame = 0; frame < 6; ++frame) {
                        view.pulsePhase = frame % 2 ? 4.7f : 1.58f;
                        view.hoveredIndex = frame == 3 ? c.firstRow + 2 : c.firstRow;
                        appState.killSwitchEnabled = frame >= 3;
                        if ("WhhWWh"[frame] == 'h' && !settings &&
                            haloAreaStandsAlone(windowElements(w, h, state)))
                            painter.paintHaloArea(window, state);
                        else
                            painter.paintFrame(window, state);
                        reference.fill({0, 0, w, h}, false);
                        drawFrame(reference.graphics(), painter.kit, w, h, state);
                        const auto shown = window.colours({0, 0, w, h});
                        const auto drawn = reference.colours({0, 0, w, h});
                        int differing = 0;
                        for (std::size_t i = 0; i < drawn.size(); ++i)
                            differing += shown[i] != drawn[i];
                        ASSERT_EQ(differing, 0)
                            << c.dpi << " dpi " << w << "x" << h << " settings " << settings
                            << " state " << state << " frame " << frame;
                    }
                    if (settings) break; // that page shows no state
                }
            }
        }
    }
    view = ViewState{};
    setSixRows();
    appState.killSwitchEnabled = false;
}

TEST(Window, PaintsWhenSomethingChangedAndAnimatesOnlyWhileConnected) {
    const auto startList = currentLocations();
    const auto startFetchEnded = [&] { return currentLocations() != startList; };
    HWND window = createMainWindow(GetModuleHandleW(nullptr));
    ASSERT_NE(window, nullptr);
    appState.mainWindow.store(window);
    // The start's download publishes once, a list or an empty one (no
    // service here); then rows of our own.
    paintsWithin(window, milliseconds(30000), startFetchEnded);
    ASSERT_TRUE(startFetchEnded());
    setSixRows();
    requestRepaint();
    EXPECT_GE(paintsWithin(window, milliseconds(1000)).all, 1);

    EXPECT_EQ(paintsWithin(window, milliseconds(2000)).all, 0) << "idle and disconnected";
    PostMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(100, rowTop(1) + 10));
    EXPECT_GE(paintsWithin(window, milliseconds(500)).all, 1) << "hover changed";
    PostMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(120, rowTop(1) + 20));
    EXPECT_EQ(paintsWithin(window, milliseconds(500)).all, 0) << "the same row";

    // The halo runs at about 60 frames a second, repainting its area alone;
    // it stops behind the settings page, and with the state even when no
    // repaint is asked for (a failed request shows its box first).
    appState.connectionState.store(Connected);
    requestRepaint();
    const Paints connected = paintsWithin(window, milliseconds(1000));
    EXPECT_GE(connected.haloAreaOnly, 20);
    EXPECT_LE(connected.all - connected.haloAreaOnly, 2) << "only the first frame is whole";
    RECT client;
    GetClientRect(window, &client);
    PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(client.right - 30, 45));
    EXPECT_GE(paintsWithin(window, milliseconds(300)).all, 1) << "the gear pressed";
    EXPECT_EQ(paintsWithin(window, milliseconds(1000)).all, 0) << "settings page";
    PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(360, client.bottom - 40));
    EXPECT_GE(paintsWithin(window, milliseconds(300)).haloAreaOnly, 3) << "back";
    appState.connectionState.store(Disconnected);
    EXPECT_GE(paintsWithin(window, milliseconds(300)).all, 1) << "disconnected";
    EXPECT_EQ(paintsWithin(window, milliseconds(1000)).all, 0) << "disconnected, idle";

    appState.mainWindow.store(nullptr);
    DestroyWindow(window);
}

TEST(Window, OpensAtItsScaleAndTakesTheSuggestedRectangleWhenTheDpiChanges) {
    HWND window = createMainWindow(GetModuleHandleW(nullptr));
    ASSERT_NE(window, nullptr);
    RECT r;
    GetWindowRect(window, &r);
    EXPECT_EQ(r.right - r.left, px(900));
    EXPECT_EQ(r.bottom - r.top, px(600));
    // Moved to a monitor at 144 DPI: the system's rectangle (within this
    // small virtual screen), and lengths scaled from then on; and back.
    for (const int dpi : {144, 96}) {
        RECT suggested = {40, 30, 40 + 1000, 30 + 700};
        SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                     reinterpret_cast<LPARAM>(&suggested));
        GetWindowRect(window, &r);
        EXPECT_TRUE(EqualRect(&r, &suggested)) << dpi;
        EXPECT_EQ(panelWidth(), 260 * dpi / 96);
        EXPECT_GE(paintsWithin(window, milliseconds(500)).all, 1) << dpi;
    }
    DestroyWindow(window);
    paintsWithin(window, milliseconds(100));
}

namespace {

struct WinEvent {
    DWORD event;
    LONG child;
};
std::vector<WinEvent> winEvents;

void CALLBACK recordWinEvent(HWINEVENTHOOK, DWORD event, HWND, LONG object, LONG child, DWORD,
                             DWORD) {
    if (object == OBJID_CLIENT) winEvents.push_back({event, child});
}

} // namespace

TEST(Window, KeysRaiseFocusAndSelectionEventsThatAScreenReaderCanFollow) {
    const auto startList = currentLocations();
    HWND window = createMainWindow(GetModuleHandleW(nullptr));
    ASSERT_NE(window, nullptr);
    // The start's download publishes first (no service here); then our rows.
    paintsWithin(window, milliseconds(30000), [&] { return currentLocations() != startList; });
    setRows(12);
    appState.selectedIndex = 0;
    SetFocus(window);
    HWINEVENTHOOK hook =
        SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_DESCRIPTIONCHANGE, nullptr, recordWinEvent,
                        GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    ASSERT_NE(hook, nullptr);
    const struct {
        WPARAM key;
        DWORD event;
        LONG child; // a row's id is 100 + its index
    } cases[] = {{VK_DOWN, EVENT_OBJECT_SELECTION, 101}, {VK_END, EVENT_OBJECT_SELECTION, 111},
                 {VK_TAB, EVENT_OBJECT_FOCUS, 2},        {VK_TAB, EVENT_OBJECT_FOCUS, 3},
                 {VK_RETURN, EVENT_OBJECT_FOCUS, 2},     {VK_ESCAPE, EVENT_OBJECT_FOCUS, 3}};
    for (const auto& c : cases) {
        winEvents.clear();
        PostMessageW(window, WM_KEYDOWN, c.key, 0);
        paintsWithin(window, milliseconds(300));
        bool seen = false;
        for (const WinEvent& e : winEvents)
            seen = seen || (e.event == c.event && e.child == c.child);
        EXPECT_TRUE(seen) << "key " << c.key << ": " << winEvents.size() << " events";
    }
    // The button's new name when the state shown changes; a flipped switch.
    const bool hadSettingsFile = GetFileAttributesW(L"settings.dat") != INVALID_FILE_ATTRIBUTES;
    for (const auto& [change, event, child] :
         {std::tuple{0, EVENT_OBJECT_NAMECHANGE, 2}, std::tuple{1, EVENT_OBJECT_STATECHANGE, 2}}) {
        winEvents.clear();
        if (change == 0) {
            appState.connectionState.store(Connecting);
            InvalidateRect(window, nullptr, FALSE); // as the controller asks
        } else {
            PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0); // Gear: the settings page
            paintsWithin(window, milliseconds(300));
            winEvents.clear();
            PostMessageW(window, WM_KEYDOWN, VK_SPACE, 0); // Kill Switch flipped
        }
        paintsWithin(window, milliseconds(300));
        bool seen = false;
        for (const WinEvent& e : winEvents)
            seen = seen || (e.event == static_cast<DWORD>(event) && e.child == child);
        EXPECT_TRUE(seen) << change;
    }
    appState.connectionState.store(Disconnected);
    appState.killSwitchEnabled = false;
    view.settingsPageShown = false;
    if (!hadSettingsFile) DeleteFileW(L"settings.dat"); // written by the flip
    // The event's child resolves to the row, with its name and state.
    IAccessible* row = nullptr;
    VARIANT child;
    VariantInit(&child);
    ASSERT_EQ(
        AccessibleObjectFromEvent(window, static_cast<DWORD>(OBJID_CLIENT), 111, &row, &child),
        S_OK);
    BSTR name = nullptr;
    EXPECT_EQ(row->get_accName(child, &name), S_OK);
    EXPECT_EQ(std::wstring(name ? name : L""), L"Name 11");
    VARIANT state;
    VariantInit(&state);
    EXPECT_EQ(row->get_accState(child, &state), S_OK);
    EXPECT_TRUE(state.vt == VT_I4 && (state.lVal & STATE_SYSTEM_SELECTED));
    SysFreeString(name);
    row->Release();
    UnhookWinEvent(hook);
    DestroyWindow(window);
    paintsWithin(window, milliseconds(100));
    view = ViewState{};
    setSixRows();
    appState.selectedIndex = 0;
}

TEST(Window, AnElementMovedInTheTableIsDrawnPressedAndToldThereAndAScreenReaderPressesIt) {
    const auto startList = currentLocations();
    HWND window = createMainWindow(GetModuleHandleW(nullptr));
    ASSERT_NE(window, nullptr);
    paintsWithin(window, milliseconds(30000), [&] { return currentLocations() != startList; });
    setSixRows();
    view.settingsPageShown = true;
    RECT client;
    GetClientRect(window, &client);
    const int w = client.right, h = client.bottom;
    // The kill switch moves down, off its card, into the page's empty middle.
    ElementTable& table = windowElements(w, h, Disconnected);
    Element& kill = table.elements[1];
    ASSERT_EQ(kill.part, Part::KillSwitch);
    const PageCentre was = centreOf(kill.box);
    for (PixelBox* b : {&kill.box, &kill.reach}) {
        b->top += px(300);
        b->bottom += px(300);
    }
    const PageCentre now = centreOf(kill.box);

    DrawingKit kit;
    BackBuffer buffer;
    ASSERT_TRUE(buffer.fit(nullptr, w, h));
    drawFrame(buffer.graphics(), kit, w, h, Disconnected);
    const auto colour = [&](PageCentre p) { return buffer.colours({p.x, p.y, p.x + 1, p.y + 1}); };
    EXPECT_EQ(colour(now), std::vector<std::uint32_t>{0x646464}) << "the switch, off";
    EXPECT_EQ(colour(was), std::vector<std::uint32_t>{0x191E2D}) << "its card";

    IAccessible* object = nullptr;
    ASSERT_EQ(AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT),
                                         __uuidof(IAccessible), reinterpret_cast<void**>(&object)),
              S_OK);
    VARIANT child;
    VariantInit(&child);
    child.vt = VT_I4;
    child.lVal = 2; // the settings page's first element
    long left = 0, top = 0, width = 0, height = 0;
    ASSERT_EQ(object->accLocation(&left, &top, &width, &height, child), S_OK);
    POINT corner = {kill.box.left, kill.box.top};
    ClientToScreen(window, &corner);
    EXPECT_EQ(std::tuple(left, top, width, height),
              std::tuple(corner.x, corner.y, kill.box.right - kill.box.left,
                         kill.box.bottom - kill.box.top));

    EXPECT_FALSE(pressAt(was.x, was.y, w, h).saveSettings);
    EXPECT_TRUE(pressAt(now.x, now.y, w, h).saveSettings);
    EXPECT_TRUE(appState.killSwitchEnabled);

    // A screen reader's default action is a click: the switch off again, and
    // the fourth row chosen.
    const bool hadSettingsFile = GetFileAttributesW(L"settings.dat") != INVALID_FILE_ATTRIBUTES;
    EXPECT_EQ(object->accDoDefaultAction(child), S_OK);
    child.lVal = firstRowChildId + 3;
    EXPECT_EQ(object->accDoDefaultAction(child), S_OK);
    paintsWithin(window, milliseconds(300));
    EXPECT_FALSE(appState.killSwitchEnabled);
    EXPECT_EQ(appState.selectedIndex.load(), 3);
    object->Release();
    if (!hadSettingsFile) DeleteFileW(L"settings.dat"); // written by the flips
    DestroyWindow(window);
    paintsWithin(window, milliseconds(100));
    view = ViewState{};
    appState.selectedIndex = 0;
}
