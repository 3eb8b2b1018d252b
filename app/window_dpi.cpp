// DPI of the window's monitor, and frames and metrics at a DPI, through the
// functions of user32 that exist only on newer systems where they exist.
#include "app/window_dpi.h"

namespace marovi::app {
namespace {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
using GetSystemMetricsForDpiFn = int(WINAPI*)(int, UINT);

template <class Fn>
Fn User32Function(const char* name) {
  const HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (user32 == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(user32, name)));
}

UINT DeviceDpi(HWND window) {
  const HDC dc = GetDC(window);
  const int dpi = dc != nullptr ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
  if (dc != nullptr) ReleaseDC(window, dc);
  return dpi > 0 ? static_cast<UINT>(dpi) : kLayoutDpi;
}

}  // namespace

int Scale(int value, UINT dpi) { return MulDiv(value, static_cast<int>(dpi), kLayoutDpi); }

UINT WindowDpi(HWND window) {
  static const auto getDpiForWindow = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
  if (getDpiForWindow != nullptr) {
    if (const UINT dpi = getDpiForWindow(window); dpi != 0) return dpi;
  }
  return DeviceDpi(window);
}

void AdjustFrameForDpi(RECT& rect, DWORD style, bool menu, DWORD exStyle, UINT dpi) {
  static const auto adjust = User32Function<AdjustWindowRectExForDpiFn>("AdjustWindowRectExForDpi");
  if (adjust != nullptr && adjust(&rect, style, menu, exStyle, dpi)) return;
  AdjustWindowRectEx(&rect, style, menu, exStyle);
}

int SystemMetricForDpi(int index, UINT dpi) {
  static const auto metric = User32Function<GetSystemMetricsForDpiFn>("GetSystemMetricsForDpi");
  if (metric != nullptr) return metric(index, dpi);
  return MulDiv(GetSystemMetrics(index), static_cast<int>(dpi),
                static_cast<int>(DeviceDpi(nullptr)));
}

}  // namespace marovi::app
