// What the window does with a press, a key, the wheel and the pointer. Every
// press goes through the element table and one action, whether it comes from
// the mouse, a key or a screen reader.
#pragma once

#include "ui/elements.h"

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
// message's lParam; width and height the client size at the press. Every
// element that the point reaches is pressed.
PressEffects pressAt(int x, int y, int clientWidth, int clientHeight);

// A screen reader's default action on the element of this part (and row);
// nothing when the window no longer shows it.
PressEffects pressElement(Part part, int row, int clientWidth, int clientHeight);

// The keys the window answers; others do nothing. Tab cycles the focus
// through the page's elements, Enter and Space press the focused one (the
// list's press is the connect button's), Esc leaves the settings page, and
// the rest choose a row of the main page's list and scroll it into view.
enum class Key { Up, Down, Home, End, PageUp, PageDown, Tab, BackTab, Enter, Space, Escape };
PressEffects keyPressed(Key key, int clientWidth, int clientHeight);

// A turn of the wheel by delta units (120 a notch, positive away from the
// user): the list scrolls a row per 120, and the hover follows the row now
// under the pointer. True when the picture changed.
bool wheelTurned(int delta, int clientWidth, int clientHeight);

// Pointer movement: the hovered row, or -1 off the rows. True when the
// hovered row changed, and with it the picture.
bool pointerMovedTo(int x, int y, int clientWidth, int clientHeight);

// True when the focus can be at this part on the page shown; the list's
// focus belongs to the main page.
bool partShown(Part part);
// The focused part as the window shows it: the page's first when the focus
// is still another page's.
Part focusedPart();
