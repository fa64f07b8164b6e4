// Geometry of the window that does not depend on GDI+: the panel, the page
// centre, the row bands and the regions a press can hit. All in client-area
// pixels; a range "a to b" includes both ends.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int listPanelWidth = 260; // x 0..259 is the server list
inline constexpr int rowTopFirst = 90;     // row k is drawn from 90 + 55k ...
inline constexpr int rowPitch = 55;
inline constexpr int rowHeight = 50; // ... to 140 + 55k
inline constexpr int buttonRadius = 90;

struct PageCentre {
    int x;
    int y;
};

// Centre of the connect button: middle of the area right of the panel
// (integer halves, truncated), the same for drawing and for the press.
PageCentre pageCentre(int clientWidth, int clientHeight);

inline int rowTop(int index) {
    return rowTopFirst + rowPitch * index;
}

// The row whose drawn band (90 + 55k to 140 + 55k) contains y, or -1: the
// 4-pixel gaps between rows, anything above the first row and anything past
// the last of rowCount rows are no row.
int rowAt(int y, std::size_t rowCount);

// rowAt against the current catalogue snapshot.
int hitTestRow(int y);

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
// d = trunc(180 scale), r = trunc(90 scale).
struct HaloSize {
    int diameter;
    int radius;
};
HaloSize haloSize(float phase);

// A rectangle of client pixels, right and bottom excluded.
struct PixelBox {
    int left, top, right, bottom;
};

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

// What a left-button press at client point (x, y) asks of the caller after it
// has updated the selection, the page or the preferences in appState.
struct PressEffects {
    bool toggleConnection = false; // connect button, or a row while connected
    bool saveSettings = false;     // a preference switch flipped
    bool repaint = false;          // the selection, the page or a switch changed
};

// The press of a client point: x and y are the unsigned 16-bit halves of the
// message's lParam; width and height the client size at the press.
PressEffects pressAt(int x, int y, int clientWidth, int clientHeight);

// Pointer movement: the hovered row, or -1 right of the panel. True when the
// hovered row changed, and with it the picture.
bool pointerMovedTo(int x, int y);
