// Geometry of the window that does not depend on GDI+: its scale, the panel,
// the page centre, the rows and the list's scroll, the halo and the status
// card; and the state of the view, which the window alone keeps. All in
// client-area pixels; a range "a to b" includes both ends. Lengths are
// written at 96 DPI and scaled by px(): at 96 DPI each is exactly as written.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int listPanelWidth = 260; // x 0..259 is the server list at 96 DPI
inline constexpr int rowTopFirst = 90;     // row k is drawn from 90 + 55k ...
inline constexpr int rowPitch = 55;
inline constexpr int rowHeight = 50; // ... to 140 + 55k
inline constexpr int buttonRadius = 90;
inline constexpr int designDpi = 96;

// The parts of the window that a press reaches and that can hold the
// keyboard's focus: the first three on the main page, the others on the
// settings page. The rows are parts of the list.
enum class Part { List, Button, Gear, KillSwitch, Autostart, Back };

// What the window alone keeps, UI thread only.
struct ViewState {
    int dpi = designDpi;
    bool settingsPageShown = false;
    int hoveredIndex = -1;   // the row under the pointer, or -1
    float pulsePhase = 0.0f; // the halo's, in radians; it moves one step a frame
    int firstRow = 0;        // the top row shown; firstRowShown keeps it in range
    Part focus = Part::List;
    bool focusRingShown = false; // after the first key, as the system's cues
    int wheelRest = 0;           // wheel units not yet a whole row
    int pointerX = -1;           // the last pointer position in the client
    int pointerY = -1;
};
extern ViewState view;

// A length at 96 DPI in pixels at view.dpi, rounded to the nearest.
int px(int length);
// px(to) - px(from): a shape placed this far from a box that starts at
// px(from) lands where px(to) puts it, at every scale.
int span(int from, int to);
int panelWidth();      // the list panel's width, px(260)
int rowBandHeight();   // px(50)
int rowTop(int place); // the top of the row drawn at place 0, 1, ... from the list's top

// A rectangle of client pixels, right and bottom excluded.
struct PixelBox {
    int left, top, right, bottom;
    bool operator==(const PixelBox&) const = default;
};

struct PageCentre {
    int x;
    int y;
};

// Centre of the area right of the panel (integer halves, truncated): the
// connect button's and the status card's.
PageCentre pageCentre(int clientWidth, int clientHeight);
// The middle of a box (halves truncated): a disc's centre.
PageCentre centreOf(const PixelBox& box);

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

// The status card under the button, 300 x 80 at 96 DPI.
PixelBox statusCardBox(int clientWidth, int clientHeight);
