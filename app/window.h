// The client's one window.
#pragma once

#include <windows.h>

inline constexpr const wchar_t* windowClassName = L"Sovelin";

// Registers the class and creates the window centred on the primary screen,
// 900 x 600 at 96 DPI and scaled by the monitor's DPI / 96; GDI+ must be
// running.
HWND createMainWindow(HINSTANCE instance);

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void paintWindow(HWND window);

// Body of the autostart worker: about 1.5 s after start, one connection try.
void autostartSequence();
