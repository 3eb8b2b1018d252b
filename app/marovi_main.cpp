// The program's entry: COM for the thread, the main window, the message loop.
#include <windows.h>
#include <objbase.h>

#include <memory>

#include "app/dialogs.h"
#include "app/umain.h"

namespace marovi::app {

int Marovi(HINSTANCE instance, int showCommand) {
  // Shortcut resolution needs COM on this thread (single-threaded apartment);
  // it is released after the window is gone.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  struct ComScope {
    bool initialised;
    ~ComScope() {
      if (initialised) CoUninitialize();
    }
  } comScope{SUCCEEDED(com)};

  TFMain::Options options;
  options.commandLine = GetCommandLineW();
  options.onDestroy = [] { PostQuitMessage(0); };
  std::unique_ptr<TFMain> form =
      TFMain::Create(instance, NativeUserInterface(), std::move(options));
  if (!form) return 1;
  form->Show(showCommand);

  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // Tab and Shift+Tab move the focus between the controls, as in a dialog.
    if (form->hwnd() && IsDialogMessageW(form->hwnd(), &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  form.reset();
  return static_cast<int>(message.wParam);
}

}  // namespace marovi::app

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  return marovi::app::Marovi(instance, showCommand);
}
