// The application window. It owns the main window and carries the
// application's title, so that the taskbar button and the task switcher
// show the title while the main window keeps its own caption: the system
// gives a button to a window that no other window owns, and names it by that
// window's text. It has no extent and is never seen itself. It hands its
// activation on to the window it owns; minimising it hides that window and
// restoring it shows that window again; closing it closes that window.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace marovi::app {

class ApplicationWindow {
 public:
  // A hidden window of no extent at the centre of the desktop, captioned
  // title, with the program's icon when it has one.
  static std::unique_ptr<ApplicationWindow> Create(HINSTANCE instance, const std::wstring& title);
  ~ApplicationWindow();
  ApplicationWindow(const ApplicationWindow&) = delete;
  ApplicationWindow& operator=(const ApplicationWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  // The window it owns, which activation and closing go to.
  void SetMainWindow(HWND main) { main_ = main; }
  // Shows it (without activating it), or minimises it, hiding the window
  // it owns.
  void Show();
  void Minimize();

 private:
  ApplicationWindow() = default;
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void ActivateOwnedWindow();

  HWND hwnd_ = nullptr;
  HWND main_ = nullptr;
  bool hidMain_ = false;  // the main window was hidden when this was minimised
};

}  // namespace marovi::app
