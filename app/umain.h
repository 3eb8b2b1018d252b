// The main window: three file fields with their icon previews, the backup
// box, the change and quit buttons, a status line and the Help menu. Each
// control event has one handler; the change itself is RunChangeWorkflow and
// the routing of dropped and passed files is RouteInputFile.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <memory>
#include <string>

#include "app/application_window.h"
#include "app/dialogs.h"
#include "app/input_routing.h"
#include "app/window_layout.h"

namespace marovi::app {

// One picture control. It holds no picture until an icon is first put into
// it; from then on it holds an icon, which may be none (draws nothing). It
// owns the handle it holds.
struct IconPreview {
  HWND window = nullptr;
  bool hasPicture = false;
  HICON icon = nullptr;
};

class TFMain : public InputTarget {
 public:
  struct Options {
    std::wstring commandLine;         // the whole command line, program first
    std::function<void()> onDestroy;  // the program ends its message loop here
  };

  // Creates the window from its layout (hidden, centred on the desktop) and
  // runs FormCreate. The window and this object live until DestroyWindow;
  // the object outlives its window and destroys it if still there.
  static std::unique_ptr<TFMain> Create(HINSTANCE instance, UserInterface& ui, Options options);
  ~TFMain() override;
  TFMain(const TFMain&) = delete;
  TFMain& operator=(const TFMain&) = delete;

  // Shows the window with the application window that owns it.
  void Show(int showCommand);
  HWND hwnd() const { return hwnd_; }
  HWND ApplicationHwnd() const { return application_->hwnd(); }
  UINT Dpi() const { return dpi_; }  // the DPI the window is laid out for
  HWND Control(int id) const;
  const IconPreview& Preview(int imageId) const;
  const std::wstring& ExeFileName() const { return exeFileName_; }
  const std::wstring& IconFileName() const { return iconFileName_; }
  std::wstring StatusText() const;
  std::wstring Hint(int editId) const;  // the tooltip text of an edit box
  const FileDialog& Dialog(int buttonId) const;

  // Handlers, one per event.
  void FormCreate();
  void FormDropFiles(HDROP drop);
  void BtnExeClick();
  void Image1Click() { BtnExeClick(); }
  void BtnIconClick();
  void Image2Click() { BtnIconClick(); }
  void BtnSaveClick();
  void Button2Click();
  void Button4Click();
  void About1Click();

  // Shows the first icon of path in a large and a small preview.
  void ShowFileIcons(const std::wstring& path, int largeImageId, int smallImageId);

  // InputTarget: where routed files go.
  void SetExecutable(const std::u16string& path) override;
  void SetIconFile(const std::u16string& path) override;
  std::u16string ResolveShortcutTarget(const std::u16string& shortcut) override;

 private:
  TFMain(HINSTANCE instance, UserInterface& ui, Options options);
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK PreviewProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static void RegisterClasses(HINSTANCE instance);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  // Places every control and sets the fonts, at dpi_ from the table's
  // places at 96 DPI.
  void LayOut();
  // Sizes the frame for the client area at dpi_, at `at` or centred on the
  // desktop.
  void FitFrame(const POINT* at);
  void OnDpiChanged(UINT dpi, const RECT& suggested);
  void OnCommand(int id);
  int FocusedPushButton() const;  // the id of the push button with the focus, or 0
  bool OnSetCursor(HWND control);
  LRESULT OnColorStatic(HDC dc, HWND control);
  void OnDestroy();

  // Runs a handler; an error it lets through goes to the general error box.
  template <class Handler>
  void Run(Handler handler);

  IconPreview& PreviewFor(int imageId);
  void PutIcon(IconPreview& preview, HICON icon);
  void SetStatus(const std::u16string& text);
  void SetText(int id, const std::wstring& text);
  std::wstring Text(int id) const;
  void SetHint(int editId, const std::wstring& text);
  void ShowBox(const std::u16string& text, const std::u16string& caption, unsigned flags);

  HINSTANCE instance_;
  UserInterface& ui_;
  Options options_;
  std::unique_ptr<ApplicationWindow> application_;
  UINT dpi_ = 96;
  HWND hwnd_ = nullptr;
  HWND tooltip_ = nullptr;
  HWND focus_ = nullptr;  // the control that had the focus when the window was deactivated
  HFONT font_ = nullptr;
  HFONT boldFont_ = nullptr;
  HMENU menu_ = nullptr;
  HWND controls_[kSB1 - kLabel4 + 1] = {};
  IconPreview previews_[4];  // Image1, Image3, Image2, Image4
  std::wstring exeFileName_;
  std::wstring iconFileName_;
  FileDialog od1_{L"OD1", FileDialogKind::Open, Wide(kFilterExecutable), {}};
  FileDialog od2_{L"OD2", FileDialogKind::Open, Wide(kFilterIcon), {}};
  FileDialog sd1_{L"SD1", FileDialogKind::Save, Wide(kFilterExecutable), {}};
};

}  // namespace marovi::app
