// What a screen reader finds in the hand-painted window: an IAccessible for
// the client area whose children are the painted elements, and the
// WinEvents that tell it about focus and selection.
#pragma once

#include <windows.h>

// The answer to WM_GETOBJECT for the client area; false for other objects,
// which the system's default answers.
bool answerGetObject(HWND window, WPARAM wParam, LPARAM lParam, LRESULT& result);

// After an input moved the keyboard's focus or the list's selection.
void notifyFocusAndSelection(HWND window, bool focusMoved, bool selectionMoved);
// After a switch flipped: both switches' states.
void notifySwitchesChanged(HWND window);
// When the window shows another connection state: the button's name and
// description, which a screen reader then reads again.
void notifyConnectionShown(HWND window);

// Posted by a screen reader's default action, for the window to press the
// element as a click would: wParam its Part, lParam its row (-1 for none).
inline constexpr UINT elementPressMessage = WM_APP + 1;

// The child id of the list's row index in the client object (for events and
// AccessibleObjectFromEvent); the list's own children count from 1.
inline constexpr long firstRowChildId = 100;
