#include "app/umain.h"

#include <commctrl.h>
#include <shellapi.h>

#include <climits>
#include <exception>
#include <vector>

#include "app/change_workflow.h"
#include "app/messages.h"
#include "app/shortcut.h"
#include "app/window_dpi.h"

namespace marovi::app {
namespace {

constexpr DWORD kWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr std::size_t kHintBuffer = 4096;

HICON LoadProgramIcon(HINSTANCE instance, int sizeMetric) {
  const int size = GetSystemMetrics(sizeMetric);
  return static_cast<HICON>(
      LoadImageW(instance, L"MAINICON", IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

// A control's place in the table (at 96 DPI) at dpi: its edges scaled, so
// that controls that meet in the table meet at every scale.
RECT ScaledPlace(const ControlLayout& c, UINT dpi) {
  return RECT{Scale(c.left, dpi), Scale(c.top, dpi), Scale(c.left + c.width, dpi),
              Scale(c.top + c.height, dpi)};
}

// The widths of the labels and the check box are those of their texts in
// the window's font. When the system draws the font with another face of
// other widths, they grow (never shrink) so that their texts stay whole.
void FitWidthToText(HWND control, ControlKind kind, const RECT& place, HFONT font,
                    const std::wstring& text, UINT dpi) {
  const HDC dc = GetDC(control);
  const HGDIOBJ old = SelectObject(dc, font);
  SIZE extent{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  int width = extent.cx;
  if (kind == ControlKind::CheckBox)
    width += SystemMetricForDpi(SM_CXMENUCHECK, dpi) + Scale(6, dpi);
  if (width > place.right - place.left) {
    SetWindowPos(control, nullptr, 0, 0, width, place.bottom - place.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

HFONT MakeFont(int weight, UINT dpi) {
  return CreateFontW(-Scale(kFontHeight, dpi), 0, 0, 0, weight, FALSE, FALSE, FALSE,
                     SHIFTJIS_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, kFontFace);
}

bool IsMinimizeCommand(int showCommand) {
  return showCommand == SW_MINIMIZE || showCommand == SW_SHOWMINIMIZED ||
         showCommand == SW_SHOWMINNOACTIVE || showCommand == SW_FORCEMINIMIZE;
}

}  // namespace

TFMain::TFMain(HINSTANCE instance, UserInterface& ui, Options options)
    : instance_(instance), ui_(ui), options_(std::move(options)) {}

TFMain::~TFMain() {
  if (hwnd_) DestroyWindow(hwnd_);
  application_.reset();
  for (HFONT font : {font_, boldFont_})
    if (font) DeleteObject(font);
}

void TFMain::RegisterClasses(HINSTANCE instance) {
  WNDCLASSEXW existing{};
  existing.cbSize = sizeof(existing);
  if (GetClassInfoExW(instance, kWindowClass, &existing)) return;

  WNDCLASSEXW form{};
  form.cbSize = sizeof(form);
  form.lpfnWndProc = &TFMain::WindowProc;
  form.hInstance = instance;
  form.hIcon = LoadProgramIcon(instance, SM_CXICON);
  form.hIconSm = LoadProgramIcon(instance, SM_CXSMICON);
  form.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  form.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  form.lpszClassName = kWindowClass;
  RegisterClassExW(&form);

  WNDCLASSEXW preview{};
  preview.cbSize = sizeof(preview);
  preview.lpfnWndProc = &TFMain::PreviewProc;
  preview.hInstance = instance;
  preview.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  preview.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  preview.lpszClassName = kPreviewClass;
  RegisterClassExW(&preview);
}

std::unique_ptr<TFMain> TFMain::Create(HINSTANCE instance, UserInterface& ui, Options options) {
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  RegisterClasses(instance);

  std::unique_ptr<TFMain> form(new TFMain(instance, ui, std::move(options)));
  // The taskbar shows the owner's text, the application's title; the main
  // window keeps its caption.
  form->application_ = ApplicationWindow::Create(instance, ApplicationTitle());
  if (!form->application_) return nullptr;
  form->menu_ = CreateMenu();
  HMENU help = CreatePopupMenu();
  AppendMenuW(help, MF_STRING, kAbout1, Wide(kMenuAbout).c_str());
  AppendMenuW(form->menu_, MF_POPUP, reinterpret_cast<UINT_PTR>(help), Wide(kMenuHelp).c_str());

  const HWND hwnd =
      CreateWindowExW(0, kWindowClass, Wide(kCaption).c_str(), kWindowStyle, 0, 0, kClientWidth,
                      kClientHeight, form->application_->hwnd(), form->menu_, instance, form.get());
  if (!hwnd) {
    DestroyMenu(form->menu_);
    return nullptr;
  }
  form->application_->SetMainWindow(hwnd);
  form->FitFrame(nullptr);

  form->Run([&] { form->FormCreate(); });
  return form;
}

void TFMain::FitFrame(const POINT* at) {
  const int clientWidth = Scale(kClientWidth, dpi_);
  const int clientHeight = Scale(kClientHeight, dpi_);
  RECT frame{0, 0, clientWidth, clientHeight};
  AdjustFrameForDpi(frame, kWindowStyle, true, 0, dpi_);
  int width = frame.right - frame.left;
  int height = frame.bottom - frame.top;
  SetWindowPos(hwnd_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  // Make the client area exact (a menu bar of another height).
  RECT client{};
  GetClientRect(hwnd_, &client);
  width += clientWidth - client.right;
  height += clientHeight - client.bottom;
  const POINT place = at != nullptr ? *at
                                    : POINT{(GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                            (GetSystemMetrics(SM_CYSCREEN) - height) / 2};
  SetWindowPos(hwnd_, nullptr, place.x, place.y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TFMain::Show(int showCommand) {
  // Shown first, then minimised as a whole: minimising the application
  // window hides the main window with it.
  application_->Show();
  ShowWindow(hwnd_, IsMinimizeCommand(showCommand) ? SW_SHOWNOACTIVATE : showCommand);
  UpdateWindow(hwnd_);
  if (IsMinimizeCommand(showCommand)) application_->Minimize();
}

void TFMain::CreateControls() {
  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                             WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, instance_, nullptr);

  for (const ControlLayout& c : kLayout) {
    const HWND parent = c.parent ? Control(c.parent) : hwnd_;
    const std::wstring text = Wide(c.text);
    const wchar_t* windowClass = L"STATIC";
    DWORD style = WS_CHILD | WS_VISIBLE;
    DWORD exStyle = 0;
    void* param = nullptr;
    switch (c.kind) {
      case ControlKind::Label:
      case ControlKind::BoldLabel: style |= SS_LEFT | SS_NOPREFIX; break;
      case ControlKind::Panel:
        style |= WS_BORDER;  // a flat one-pixel border, no bevel
        break;
      case ControlKind::Image:
        windowClass = kPreviewClass;
        param = &PreviewFor(c.id);
        break;
      case ControlKind::ReadOnlyEdit: style |= ES_READONLY; [[fallthrough]];
      case ControlKind::Edit:
        windowClass = L"EDIT";
        exStyle = WS_EX_CLIENTEDGE;
        style |= WS_TABSTOP | ES_AUTOHSCROLL;
        break;
      case ControlKind::Button:
        windowClass = L"BUTTON";
        style |= WS_TABSTOP | BS_PUSHBUTTON;
        break;
      case ControlKind::CheckBox:
        windowClass = L"BUTTON";
        style |= WS_TABSTOP | BS_AUTOCHECKBOX;
        break;
      case ControlKind::StatusBar:
        windowClass = STATUSCLASSNAMEW;
        // The bar keeps the place it is given: no resizing, no aligning.
        style |= CCS_NORESIZE | CCS_NOPARENTALIGN | CCS_NODIVIDER;
        break;
    }
    const HWND control = CreateWindowExW(
        exStyle, windowClass, text.c_str(), style, c.left, c.top, c.width, c.height, parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance_, param);
    controls_[c.id - kLabel4] = control;

    if (c.kind == ControlKind::Edit || c.kind == ControlKind::ReadOnlyEdit) {
      TOOLINFOW tool{};
      tool.cbSize = TTTOOLINFOW_V2_SIZE;
      tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
      tool.hwnd = hwnd_;
      tool.uId = reinterpret_cast<UINT_PTR>(control);
      tool.lpszText = const_cast<wchar_t*>(L"");
      SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
  }

  int parts[] = {-1};  // one panel over the whole bar
  SendMessageW(Control(kSB1), SB_SETPARTS, 1, reinterpret_cast<LPARAM>(parts));
  SendMessageW(Control(kCB1), BM_SETCHECK, BST_CHECKED, 0);
  dpi_ = WindowDpi(hwnd_);
  LayOut();
}

void TFMain::LayOut() {
  const HFONT oldFont = font_;
  const HFONT oldBoldFont = boldFont_;
  font_ = MakeFont(FW_NORMAL, dpi_);
  boldFont_ = MakeFont(FW_BOLD, dpi_);
  SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  for (const ControlLayout& c : kLayout) {
    const HWND control = Control(c.id);
    const RECT place = ScaledPlace(c, dpi_);
    SetWindowPos(control, nullptr, place.left, place.top, place.right - place.left,
                 place.bottom - place.top, SWP_NOZORDER | SWP_NOACTIVATE);
    const HFONT font = c.kind == ControlKind::BoldLabel ? boldFont_ : font_;
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (c.kind == ControlKind::Label || c.kind == ControlKind::BoldLabel ||
        c.kind == ControlKind::CheckBox) {
      FitWidthToText(control, c.kind, place, font, Wide(c.text), dpi_);
    }
  }
  for (HFONT font : {oldFont, oldBoldFont})
    if (font) DeleteObject(font);
}

void TFMain::OnDpiChanged(UINT dpi, const RECT& suggested) {
  dpi_ = dpi;
  SetWindowPos(hwnd_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  LayOut();
  const POINT at{suggested.left, suggested.top};
  FitFrame(&at);
  InvalidateRect(hwnd_, nullptr, TRUE);
}

HWND TFMain::Control(int id) const {
  if (id < kLabel4 || id > kSB1) return nullptr;
  return controls_[id - kLabel4];
}

IconPreview& TFMain::PreviewFor(int imageId) {
  switch (imageId) {
    case kImage1: return previews_[0];
    case kImage3: return previews_[1];
    case kImage2: return previews_[2];
    default: return previews_[3];
  }
}

const IconPreview& TFMain::Preview(int imageId) const {
  return const_cast<TFMain*>(this)->PreviewFor(imageId);
}

const FileDialog& TFMain::Dialog(int buttonId) const {
  if (buttonId == kBtnIcon) return od2_;
  if (buttonId == kBtnSave) return sd1_;
  return od1_;
}

template <class Handler>
void TFMain::Run(Handler handler) {
  try {
    handler();
  } catch (const AppError& error) {
    ShowGeneralError(ui_, hwnd_, Wide(error.text()));
  } catch (const std::exception& error) {
    ShowGeneralError(ui_, hwnd_, WideFromUtf8(error.what()));
  } catch (...) {
    ShowGeneralError(ui_, hwnd_, L"Unknown error");
  }
}

LRESULT CALLBACK TFMain::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  TFMain* form = nullptr;
  if (message == WM_NCCREATE) {
    form = static_cast<TFMain*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    form->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  } else {
    form = reinterpret_cast<TFMain*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  if (!form) return DefWindowProcW(hwnd, message, wParam, lParam);
  return form->HandleMessage(message, wParam, lParam);
}

LRESULT TFMain::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: CreateControls(); return 0;
    case WM_COMMAND:
      // Enter: the dialog manager asks for IDOK, this window having no default
      // button; Enter presses the button that has the focus instead, as
      // Space does.
      if (LOWORD(wParam) == IDOK && lParam == 0) {
        const int focused = FocusedPushButton();
        if (focused != 0) Run([&] { OnCommand(focused); });
        return 0;
      }
      // Buttons and pictures report a click with code 0 (BN_CLICKED, STN_CLICKED), the menu too.
      if (HIWORD(wParam) == 0) Run([&] { OnCommand(LOWORD(wParam)); });
      return 0;
    case WM_DPICHANGED:
      OnDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_SYSCOMMAND:
      // Minimised with the application window, which keeps the taskbar button.
      if ((wParam & 0xFFF0) == SC_MINIMIZE) {
        application_->Minimize();
        return 0;
      }
      break;
    case WM_DROPFILES:
      Run([&] { FormDropFiles(reinterpret_cast<HDROP>(wParam)); });
      return 0;  // not passed on
    case WM_SETCURSOR:
      if (OnSetCursor(reinterpret_cast<HWND>(wParam))) return TRUE;
      break;
    case WM_CTLCOLORSTATIC:
      return OnColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_ACTIVATE:
      // Keep the focus on the control that had it, as a dialog does.
      if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus && IsChild(hwnd_, focus)) focus_ = focus;
      } else {
        SetFocus(focus_ && IsWindow(focus_) ? focus_ : Control(kEdtFName));
      }
      return 0;
    case WM_DESTROY: OnDestroy(); return 0;
    case WM_NCDESTROY: {
      const HWND hwnd = hwnd_;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      hwnd_ = nullptr;
      if (font_) DeleteObject(font_);
      if (boldFont_) DeleteObject(boldFont_);
      font_ = boldFont_ = nullptr;
      return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    default: break;
  }
  return DefWindowProcW(hwnd_, message, wParam, lParam);
}

int TFMain::FocusedPushButton() const {
  const HWND focus = GetFocus();
  if (!focus || !IsChild(hwnd_, focus)) return 0;
  const int id = GetDlgCtrlID(focus);
  for (const ControlLayout& c : kLayout) {
    if (c.id == id) return c.kind == ControlKind::Button ? id : 0;
  }
  return 0;
}

void TFMain::OnCommand(int id) {
  switch (id) {
    case kBtnExe: BtnExeClick(); break;
    case kImage1: Image1Click(); break;
    case kBtnIcon: BtnIconClick(); break;
    case kImage2: Image2Click(); break;
    case kBtnSave: BtnSaveClick(); break;
    case kButton2: Button2Click(); break;
    case kButton4: Button4Click(); break;
    case kAbout1: About1Click(); break;
    default: break;
  }
}

bool TFMain::OnSetCursor(HWND control) {
  for (const ControlLayout& c : kLayout) {
    if (c.handCursor && Control(c.id) == control) {
      SetCursor(LoadCursorW(nullptr, IDC_HAND));
      return true;
    }
  }
  return false;
}

LRESULT TFMain::OnColorStatic(HDC dc, HWND control) {
  if (control == Control(kEdtFName) || control == Control(kEdtFName2)) {
    // Read-only file fields: grey text on the edit boxes' usual background.
    SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
  }
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
  return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

void TFMain::OnDestroy() {
  // The previews own their icons.
  for (IconPreview& preview : previews_) {
    if (preview.icon) DestroyIcon(preview.icon);
    preview.icon = nullptr;
  }
  if (options_.onDestroy) options_.onDestroy();
}

LRESULT CALLBACK TFMain::PreviewProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NCCREATE:
      SetWindowLongPtrW(
          hwnd, GWLP_USERDATA,
          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
      static_cast<IconPreview*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams)->window =
          hwnd;
      break;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      const HDC dc = BeginPaint(hwnd, &paint);
      const auto* preview =
          reinterpret_cast<const IconPreview*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
      // At the icon's own size, top-left, without stretching.
      if (preview && preview->icon)
        DrawIconEx(dc, 0, 0, preview->icon, 0, 0, 0, nullptr, DI_NORMAL);
      EndPaint(hwnd, &paint);
      return 0;
    }
    case WM_LBUTTONDOWN: SetCapture(hwnd); return 0;
    case WM_LBUTTONUP: {
      if (GetCapture() != hwnd) return 0;
      ReleaseCapture();
      RECT client{};
      GetClientRect(hwnd, &client);
      const POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
      if (PtInRect(&client, at)) {
        // A click: the main window hears it like a button's.
        SendMessageW(GetAncestor(hwnd, GA_ROOT), WM_COMMAND,
                     MAKEWPARAM(GetDlgCtrlID(hwnd), STN_CLICKED), reinterpret_cast<LPARAM>(hwnd));
      }
      return 0;
    }
    default: break;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

void TFMain::PutIcon(IconPreview& preview, HICON icon) {
  if (preview.icon && preview.icon != icon) DestroyIcon(preview.icon);
  preview.icon = icon;
  preview.hasPicture = true;
  if (preview.window) InvalidateRect(preview.window, nullptr, TRUE);
}

void TFMain::ShowFileIcons(const std::wstring& path, int largeImageId, int smallImageId) {
  HICON large = nullptr;
  HICON small = nullptr;
  // A missing file or a file without icons leaves both at none. The count
  // decides that, not the places: some implementations write into them even
  // when they extract nothing, and such a value must never be held (and later
  // destroyed) as an icon.
  if (!path.empty()) {
    const UINT extracted = ExtractIconExW(path.c_str(), 0, &large, &small, 1);
    if (extracted == 0 || extracted == UINT_MAX) large = small = nullptr;
  }
  PutIcon(PreviewFor(largeImageId), large);
  PutIcon(PreviewFor(smallImageId), small);
}

void TFMain::SetText(int id, const std::wstring& text) {
  SetWindowTextW(Control(id), text.c_str());
}

std::wstring TFMain::Text(int id) const {
  const HWND control = Control(id);
  const int length = GetWindowTextLengthW(control);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int n = GetWindowTextW(control, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(n));
  return text;
}

void TFMain::SetHint(int editId, const std::wstring& text) {
  TOOLINFOW tool{};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.hwnd = hwnd_;
  tool.uId = reinterpret_cast<UINT_PTR>(Control(editId));
  tool.lpszText = const_cast<wchar_t*>(text.c_str());
  SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

std::wstring TFMain::Hint(int editId) const {
  std::vector<wchar_t> buffer(kHintBuffer, L'\0');
  TOOLINFOW tool{};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.hwnd = hwnd_;
  tool.uId = reinterpret_cast<UINT_PTR>(Control(editId));
  tool.lpszText = buffer.data();
  SendMessageW(tooltip_, TTM_GETTEXTW, buffer.size() - 1, reinterpret_cast<LPARAM>(&tool));
  buffer.back() = L'\0';
  return std::wstring(buffer.data());
}

void TFMain::SetStatus(const std::u16string& text) {
  SendMessageW(Control(kSB1), SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(Wide(text).c_str()));
}

std::wstring TFMain::StatusText() const {
  const HWND bar = Control(kSB1);
  const auto length = LOWORD(SendMessageW(bar, SB_GETTEXTLENGTHW, 0, 0));
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(bar, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text.data()));
  text.resize(length);
  return text;
}

void TFMain::ShowBox(const std::u16string& text, const std::u16string& caption, unsigned flags) {
  ui_.ShowMessageBox(hwnd_, Wide(text), Wide(caption), flags);
}

}  // namespace marovi::app
