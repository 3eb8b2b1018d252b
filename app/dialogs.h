// What the window asks of the user outside itself: message boxes and the
// open and save dialogs. The window talks to them through UserInterface, so
// tests can answer them and read what was shown.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace marovi::app {

enum class FileDialogKind { Open, Save };

// One of the window's file dialogs: its name (OD1, OD2, SD1), kind, filter in
// the "text|pattern" form, and the file name it returned last (empty at first).
struct FileDialog {
  const wchar_t* name;
  FileDialogKind kind;
  std::wstring filter;
  std::wstring fileName;
};

class UserInterface {
 public:
  virtual ~UserInterface() = default;
  // A modal message box owned by owner; returns the button pressed.
  virtual int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption,
                             unsigned flags) = 0;
  // Shows dialog, starting from dialog.fileName; the chosen name, or none
  // when the user cancels.
  virtual std::optional<std::wstring> ShowFileDialog(HWND owner, const FileDialog& dialog) = 0;
};

// The platform's message boxes and common dialogs.
UserInterface& NativeUserInterface();

// "a|b|c|d" as the double-NUL-ended list the common dialogs take.
std::wstring DialogFilter(const std::wstring& filter);

// The application's title: the program file's name without folder and
// extension, every character after the first in lower case.
std::wstring ApplicationTitle(const std::wstring& programPath);
std::wstring ApplicationTitle();  // of the running program

// An error's text as the general error box shows it: "." appended when the
// last character sorts above ".".
std::wstring GeneralErrorText(std::wstring text);

// Flags of the general error box: a stop icon and an OK button.
inline constexpr unsigned kGeneralErrorFlags = MB_OK | MB_ICONSTOP;

// Shows an error that no handler caught.
void ShowGeneralError(UserInterface& ui, HWND owner, const std::wstring& text);

// UTF-16 in both spellings.
inline std::wstring Wide(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }
inline std::u16string Utf16(const std::wstring& s) { return std::u16string(s.begin(), s.end()); }
// Text of a raised std::exception (UTF-8) as UTF-16.
std::wstring WideFromUtf8(const char* text);

}  // namespace marovi::app
