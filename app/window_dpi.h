// The window's scale. Its layout table, font and frames are laid down at 96
// DPI; the window scales them to the DPI of the monitor it is on, and again
// when it moves to a monitor of another DPI. The functions that newer
// systems offer for this are looked up at run time, so that the program
// still starts on systems without them.
#pragma once

#include <windows.h>

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace marovi::app {

inline constexpr UINT kLayoutDpi = 96;

// value, a length at 96 DPI, at dpi (rounded to the nearest pixel).
int Scale(int value, UINT dpi);

// The DPI of the window's monitor: GetDpiForWindow where the system has it,
// else the LOGPIXELSY of the window's device context.
UINT WindowDpi(HWND window);

// AdjustWindowRectExForDpi where the system has it, else AdjustWindowRectEx
// (which measures at the system's DPI).
void AdjustFrameForDpi(RECT& rect, DWORD style, bool menu, DWORD exStyle, UINT dpi);

// GetSystemMetricsForDpi where the system has it, else GetSystemMetrics
// scaled from the system's DPI.
int SystemMetricForDpi(int index, UINT dpi);

}  // namespace marovi::app
