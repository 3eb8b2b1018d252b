// The application window: the taskbar's and the task switcher's entry of the
// program, captioned with the application's title.
#include "app/application_window.h"

namespace marovi::app {
namespace {

constexpr wchar_t kApplicationClass[] = L"MaroviApplication";
// Posted to itself when it is activated: the window it owns takes over once
// the activation is through.
constexpr UINT kActivateOwned = WM_APP + 1;
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPSIBLINGS;

HICON ProgramIcon(HINSTANCE instance, int sizeMetric) {
  const int size = GetSystemMetrics(sizeMetric);
  return static_cast<HICON>(
      LoadImageW(instance, L"MAINICON", IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

void RegisterApplicationClass(HINSTANCE instance, WNDPROC proc) {
  WNDCLASSEXW existing{};
  existing.cbSize = sizeof(existing);
  if (GetClassInfoExW(instance, kApplicationClass, &existing)) return;
  WNDCLASSEXW application{};
  application.cbSize = sizeof(application);
  application.lpfnWndProc = proc;
  application.hInstance = instance;
  application.hIcon = ProgramIcon(instance, SM_CXICON);
  application.hIconSm = ProgramIcon(instance, SM_CXSMICON);
  application.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  application.lpszClassName = kApplicationClass;
  RegisterClassExW(&application);
}

bool CanTakeActivation(HWND window) {
  return window != nullptr && IsWindowVisible(window) && IsWindowEnabled(window);
}

}  // namespace

std::unique_ptr<ApplicationWindow> ApplicationWindow::Create(HINSTANCE instance,
                                                             const std::wstring& title) {
  RegisterApplicationClass(instance, &ApplicationWindow::WindowProc);
  std::unique_ptr<ApplicationWindow> application(new ApplicationWindow);
  const HWND hwnd = CreateWindowExW(
      0, kApplicationClass, title.c_str(), kStyle, GetSystemMetrics(SM_CXSCREEN) / 2,
      GetSystemMetrics(SM_CYSCREEN) / 2, 0, 0, nullptr, nullptr, instance, application.get());
  if (hwnd == nullptr) return nullptr;
  return application;
}

ApplicationWindow::~ApplicationWindow() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

void ApplicationWindow::Show() { ShowWindow(hwnd_, SW_SHOWNOACTIVATE); }
void ApplicationWindow::Minimize() { ShowWindow(hwnd_, SW_MINIMIZE); }

LRESULT CALLBACK ApplicationWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
  ApplicationWindow* application = nullptr;
  if (message == WM_NCCREATE) {
    application =
        static_cast<ApplicationWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    application->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(application));
  } else {
    application = reinterpret_cast<ApplicationWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  if (application == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
  return application->HandleMessage(message, wParam, lParam);
}

LRESULT ApplicationWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE) PostMessageW(hwnd_, kActivateOwned, 0, 0);
      return 0;
    case kActivateOwned: ActivateOwnedWindow(); return 0;
    case WM_SIZE:
      // The main window goes and comes back with it. (Some systems hide
      // owned windows with their minimised owner by themselves; others do
      // not, and neither do they for windows other than pop-ups.)
      if (wParam == SIZE_MINIMIZED && main_ != nullptr && IsWindowVisible(main_)) {
        ShowWindow(main_, SW_HIDE);
        hidMain_ = true;
      } else if (wParam != SIZE_MINIMIZED && hidMain_) {
        hidMain_ = false;
        ShowWindow(main_, SW_SHOW);
      }
      return 0;
    case WM_CLOSE:
      // From the taskbar button's menu: the main window decides.
      if (main_ != nullptr) PostMessageW(main_, WM_CLOSE, 0, 0);
      return 0;
    case WM_NCDESTROY: {
      const HWND hwnd = hwnd_;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      hwnd_ = nullptr;
      return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    default: break;
  }
  return DefWindowProcW(hwnd_, message, wParam, lParam);
}

void ApplicationWindow::ActivateOwnedWindow() {
  if (GetActiveWindow() != hwnd_ || IsIconic(hwnd_)) return;
  // The window it owns that was active last (a message box of the main
  // window among them), else the main window.
  HWND target = GetLastActivePopup(hwnd_);
  if (target == hwnd_ || !CanTakeActivation(target)) target = main_;
  if (CanTakeActivation(target)) SetActiveWindow(target);
}

}  // namespace marovi::app
