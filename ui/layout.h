// Geometry of the window that does not depend on GDI+: the panel, the page
// centre, the row bands and the regions a press can hit, and what keys and
// the wheel do. All in client-area pixels; a range "a to b" includes both
// ends. Lengths are written at 96 DPI and scaled by px(): at 96 DPI each is
// exactly as written.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int listPanelWidth = 260; // x 0..259 is the server list at 96 DPI
inline constexpr int rowTopFirst = 90;     // row k is drawn from 90 + 55k ...
inline constexpr int rowPitch = 55;
inline constexpr int rowHeight = 50; // ... to 140 + 55k
inline constexpr int buttonRadius = 90;
inline constexpr int designDpi = 96;

// What can hold the keyboard's focus: the first three on the main page, the
// others on the settings page.
enum class Focus { List, Button, Gear, KillSwitch, Autostart, Back };

// What the window alone keeps, UI thread only.
struct ViewState {
    int dpi = designDpi;
    bool settingsPageShown = false;
    int hoveredIndex = -1;   // the row under the pointer, or -1
    float pulsePhase = 0.0f; // the halo's, in radians; it moves one step a frame
    int firstRow = 0;        // the top row shown; firstRowShown keeps it in range
    Focus focus = Focus::List;
    bool focusRingShown = false; // after the first key, as the system's cues
    int wheelRest = 0;           // wheel units not yet a whole row
    int pointerX = -1;           // the last pointer position in the client
    int pointerY = -1;
};
extern ViewState view;

// A length at 96 DPI in pixels at view.dpi, rounded to the nearest.
int px(int length);
int panelWidth();      // the list panel's width, px(260)
int rowBandHeight();   // px(50)
int rowTop(int place); // the top of the row drawn at place 0, 1, ... from the list's top

// A rectangle of client pixels, right and bottom excluded.
struct PixelBox {
    int left, top, right, bottom;
};

struct PageCentre {
    int x;
    int y;
};

// Centre of the connect button: middle of the area right of the panel
// (integer halves, truncated), the same for drawing and for the press.
PageCentre pageCentre(int clientWidth, int clientHeight);

// The row whose drawn band (90 + 55k to 140 + 55k at place k) contains y, or
// -1: the gaps between rows, anything above the first row and anything past
// the last of rowCount rows are no row. firstRow is the row at place 0.
int rowAt(int y, std::size_t rowCount, int firstRow = 0);

// Scrolling in whole rows. The list overflows when some row would start at
// or below the client's bottom (a row cut at the bottom is still reached by
// the pointer); scrolled to its end, the last row shows whole.
int rowsStartingWithin(int clientHeight);
int rowsWholeWithin(int clientHeight);
bool listOverflows(std::size_t rowCount, int clientHeight);
int lastFirstRow(std::size_t rowCount, int clientHeight);
int firstRowShown(std::size_t rowCount, int clientHeight); // view.firstRow kept in range

// The thumb of the thin bar at the panel's right edge, drawn only while the
// list overflows: it stands for the rows shown, within a track from the
// first row's top to near the bottom. Empty when the track has no room.
PixelBox scrollThumbBox(std::size_t rowCount, int clientHeight);

// rowAt against the current catalogue snapshot and scroll.
int hitTestRow(int y, int clientHeight);

bool inConnectButton(int x, int y, int clientWidth, int clientHeight);
bool inGearIcon(int x, int y, int clientWidth);
bool inBackButton(int x, int y, int clientHeight);
bool inKillSwitchToggle(int x, int y, int clientWidth);
bool inAutostartToggle(int x, int y, int clientWidth);

// The halo's phase after one more frame, kept within [0, 2*pi): a float that
// only grows loses its small increments after a long session and the halo
// would freeze.
float advancePulsePhase(float phase);

// Diameter and radius of the halo at a phase: scale = 1 + 0.05 sin(phase),
// d = trunc(px(180) scale), r = trunc(px(90) scale).
struct HaloSize {
    int diameter;
    int radius;
};
HaloSize haloSize(float phase);

// Where the main page draws its gear tile and its status card (32 x 32 at the
// top right; 300 x 80 under the button): the painter and the checks below
// read the same boxes.
PixelBox gearTileBox(int clientWidth);
PixelBox statusCardBox(int clientWidth, int clientHeight);

// The square around the page centre that the halo breathes in: its widest
// ring (radius 95 at most) and a margin for the anti-aliased edge.
PixelBox haloArea(int clientWidth, int clientHeight);

// True when nothing but the page background is drawn in haloArea (not the
// panel, the gear tile, the card, nor an edge of the page), so that the area
// can be repainted alone; small windows repaint whole.
bool haloAreaStandsAlone(int clientWidth, int clientHeight);

// The band along the page's bottom that holds the status card, from the
// panel's side to the window's; the card alone is drawn there when
// statusCardStandsAlone (the halo's area stands alone too, and the card
// keeps off the panel).
PixelBox statusCardArea(int clientWidth, int clientHeight);
bool statusCardStandsAlone(int clientWidth, int clientHeight);

// What an input asks of the caller after it has updated the selection, the
// scroll, the focus, the page or the preferences.
struct PressEffects {
    bool toggleConnection = false; // connect button, or a row change while connected
    bool saveSettings = false;     // a preference switch flipped
    bool repaint = false;          // something shown changed
    bool focusMoved = false;       // view.focus is another element, or the page changed
    bool selectionMoved = false;   // selectedIndex changed
};

// The press of a client point: x and y are the unsigned 16-bit halves of the
// message's lParam; width and height the client size at the press.
PressEffects pressAt(int x, int y, int clientWidth, int clientHeight);

// The keys the window answers; others do nothing. Tab cycles the focus
// through the page's elements, Enter and Space press the focused one (from
// the list too, the connect button), Esc leaves the settings page, and the
// rest choose a row of the main page's list and scroll it into view.
enum class Key { Up, Down, Home, End, PageUp, PageDown, Tab, BackTab, Enter, Space, Escape };
PressEffects keyPressed(Key key, int clientHeight);

// A turn of the wheel by delta units (120 a notch, positive away from the
// user): the list scrolls a row per 120, and the hover follows the row now
// under the pointer. True when the picture changed.
bool wheelTurned(int delta, int clientHeight);

// Pointer movement: the hovered row, or -1 right of the panel. True when the
// hovered row changed, and with it the picture.
bool pointerMovedTo(int x, int y, int clientHeight);
