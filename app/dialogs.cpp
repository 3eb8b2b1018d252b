#include "app/dialogs.h"

#include <commdlg.h>

#include <algorithm>
#include <vector>

namespace marovi::app {
namespace {

// Room for a chosen file name, well beyond MAX_PATH.
constexpr std::size_t kFileNameBuffer = 4096;

class NativeInterface : public UserInterface {
 public:
  int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption,
                     unsigned flags) override {
    return MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
  }

  std::optional<std::wstring> ShowFileDialog(HWND owner, const FileDialog& dialog) override {
    const std::wstring filter = DialogFilter(dialog.filter);
    std::vector<wchar_t> buffer(kFileNameBuffer, L'\0');
    const std::size_t n = std::min(dialog.fileName.size(), buffer.size() - 1);
    std::copy_n(dialog.fileName.begin(), n, buffer.begin());

    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = static_cast<DWORD>(buffer.size());
    // The platform's defaults: no title, default extension, existence check,
    // overwrite prompt or initial folder of our own.
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING;
    const BOOL accepted =
        dialog.kind == FileDialogKind::Save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
    if (!accepted) return std::nullopt;
    return std::wstring(buffer.data());
  }
};

}  // namespace

UserInterface& NativeUserInterface() {
  static NativeInterface ui;
  return ui;
}

std::wstring DialogFilter(const std::wstring& filter) {
  std::wstring result = filter;
  std::replace(result.begin(), result.end(), L'|', L'\0');
  result.push_back(L'\0');
  result.push_back(L'\0');
  return result;
}

std::wstring ApplicationTitle(const std::wstring& programPath) {
  const std::size_t slash = programPath.find_last_of(L"\\/:");
  std::wstring title = slash == std::wstring::npos ? programPath : programPath.substr(slash + 1);
  if (const std::size_t dot = title.rfind(L'.'); dot != std::wstring::npos) title.resize(dot);
  if (title.size() > 1) CharLowerBuffW(title.data() + 1, static_cast<DWORD>(title.size() - 1));
  return title;
}

std::wstring ApplicationTitle() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) return ApplicationTitle(std::wstring(path.data(), n));
    path.resize(path.size() * 2);
  }
}

std::wstring GeneralErrorText(std::wstring text) {
  if (!text.empty() && text.back() > L'.') text.push_back(L'.');
  return text;
}

void ShowGeneralError(UserInterface& ui, HWND owner, const std::wstring& text) {
  ui.ShowMessageBox(owner, GeneralErrorText(text), ApplicationTitle(), kGeneralErrorFlags);
}

std::wstring WideFromUtf8(const char* text) {
  const int size = static_cast<int>(std::char_traits<char>::length(text));
  if (size == 0) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text, size, nullptr, 0);
  std::wstring result(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, size, result.data(), n);
  return result;
}

}  // namespace marovi::app
