// The main window's event handlers: choosing and dropping files, the
// command line, and the change itself (the workflow, its message boxes and
// status line). The window, its controls and its messages are in umain.cpp.
#include <windows.h>
#include <shellapi.h>

#include <exception>

#include "app/change_workflow.h"
#include "app/messages.h"
#include "app/shortcut.h"
#include "app/umain.h"

namespace marovi::app {

void TFMain::SetExecutable(const std::u16string& path) {
  exeFileName_ = Wide(path);
  SetText(kEdtFName, exeFileName_);
  SetHint(kEdtFName, exeFileName_);
  SetText(kEdtSPath, exeFileName_);
  SetHint(kEdtSPath, exeFileName_);
  ShowFileIcons(exeFileName_, kImage1, kImage3);
}

void TFMain::SetIconFile(const std::u16string& path) {
  iconFileName_ = Wide(path);
  SetText(kEdtFName2, iconFileName_);
  SetHint(kEdtFName2, iconFileName_);
  ShowFileIcons(iconFileName_, kImage2, kImage4);
}

std::u16string TFMain::ResolveShortcutTarget(const std::u16string& shortcut) {
  return Utf16(::marovi::app::ResolveShortcutTarget(Wide(shortcut)));
}

void TFMain::FormCreate() {
  DragAcceptFiles(hwnd_, TRUE);
  const std::u16string parameter = FirstCommandLineParameter(Utf16(options_.commandLine));
  if (!parameter.empty()) RouteInputFile(parameter, *this);
}

void TFMain::FormDropFiles(HDROP drop) {
  // The drop's memory is released however the routing ends.
  struct Finish {
    HDROP drop;
    ~Finish() { DragFinish(drop); }
  } finish{drop};
  const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  RouteDroppedFiles(
      count,
      [drop](unsigned index, char16_t* buffer, std::size_t size) {
        DragQueryFileW(drop, index, reinterpret_cast<wchar_t*>(buffer), static_cast<UINT>(size));
      },
      *this);
}

void TFMain::BtnExeClick() {
  const std::optional<std::wstring> chosen = ui_.ShowFileDialog(hwnd_, od1_);
  if (!chosen) return;
  od1_.fileName = *chosen;
  try {
    SetExecutable(Utf16(*chosen));
    SetStatus(kExeLoaded);
  } catch (const std::exception&) {
    SetStatus(kExeNotLoaded);
  }
}

void TFMain::BtnIconClick() {
  if (const std::optional<std::wstring> chosen = ui_.ShowFileDialog(hwnd_, od2_)) {
    od2_.fileName = *chosen;
    try {
      SetIconFile(Utf16(*chosen));
      SetStatus(kIconLoaded);
    } catch (const std::exception&) {
      SetStatus(kIconNotLoaded);
    }
  }
  // Accepted or not, the executable's previews are shown again.
  try {
    ShowFileIcons(exeFileName_, kImage1, kImage3);
  } catch (const std::exception&) {
  }
}

void TFMain::BtnSaveClick() {
  const std::optional<std::wstring> chosen = ui_.ShowFileDialog(hwnd_, sd1_);
  if (!chosen) return;
  sd1_.fileName = *chosen;
  SetText(kEdtSPath, *chosen);
  SetHint(kEdtSPath, *chosen);
}

void TFMain::Button2Click() {
  ChangeRequest request;
  request.executable = Utf16(Text(kEdtFName));
  request.iconFile = Utf16(iconFileName_);
  request.iconPreviewSet = PreviewFor(kImage2).hasPicture;
  request.destination = Utf16(Text(kEdtSPath));
  request.backup = SendMessageW(Control(kCB1), BM_GETCHECK, 0, 0) == BST_CHECKED;
  // An error about the destination's folder goes on to the general error box.
  const ChangeOutcome outcome = RunChangeWorkflow(request, NativeFileSystem());
  switch (outcome.status) {
    case ChangeStatus::NoExecutable: ShowBox(kNoExecutable, kCaptionError, kBoxWarning); break;
    case ChangeStatus::ExecutableMissing:
      ShowBox(kExecutableMissing, kCaptionError, kBoxWarning);
      break;
    case ChangeStatus::NoIcon: ShowBox(kNoIcon, kCaptionError, kBoxWarning); break;
    case ChangeStatus::Failed:
      SetStatus(kChangeFailed);
      ShowBox(kChangeFailed, kCaptionError, kBoxError);
      break;
    case ChangeStatus::Done:
      SetStatus(DoneStatusText(outcome));
      ShowBox(std::u16string(kChangeDone) + u"\r\n" + kPathPrefix + Utf16(exeFileName_),
              kCaptionInfo, kBoxInformation);
      break;
  }
}

void TFMain::Button4Click() {
  // Ends the program once this message is handled, as the close button does.
  PostMessageW(hwnd_, WM_CLOSE, 0, 0);
}

void TFMain::About1Click() {
  ShowBox(std::u16string(kCaption) + u"\r\n\r\nMarovi developers", kCaptionVersion,
          kBoxInformation);
}

}  // namespace marovi::app
