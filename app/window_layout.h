// The main window's layout: every control with its place, in the order the
// window creates them. The order of the controls that take the keyboard
// focus is the tab order.
#pragma once

#include "app/messages.h"

namespace marovi::app {

inline constexpr int kClientWidth = 338;
inline constexpr int kClientHeight = 281;
inline constexpr wchar_t kWindowClass[] = L"TFMain";
inline constexpr wchar_t kPreviewClass[] = L"MaroviPreview";
inline constexpr wchar_t kFontFace[] = L"MS UI Gothic";
inline constexpr int kFontHeight = 12;  // character height in pixels

// Control identifiers (also the WM_COMMAND ids).
enum ControlId : int {
  kLabel4 = 100,
  kLabel1,
  kLabel5,
  kLabel2,
  kLabel3,
  kPanel1 = 110,
  kPanel3,
  kPanel2,
  kPanel4,
  kImage1 = 120,
  kImage3,
  kImage2,
  kImage4,
  kEdtFName = 130,
  kBtnExe,
  kButton2,
  kEdtFName2,
  kBtnIcon,
  kCB1,
  kButton4,
  kEdtSPath,
  kBtnSave,
  kSB1 = 150,
  kAbout1 = 200,
};

enum class ControlKind {
  Label,
  BoldLabel,
  Panel,
  Image,
  ReadOnlyEdit,
  Edit,
  Button,
  CheckBox,
  StatusBar
};

struct ControlLayout {
  int id;
  const wchar_t* name;
  ControlKind kind;
  int parent;  // 0: the window itself, else the panel that holds the control
  int left, top, width, height;
  const char16_t* text;
  bool handCursor;
};

inline constexpr ControlLayout kLayout[] = {
    {kLabel4, L"Label4", ControlKind::Label, 0, 16, 16, 36, 12, kLabelBefore, false},
    {kLabel1, L"Label1", ControlKind::BoldLabel, 0, 88, 16, 67, 12, kLabelExecutable, false},
    {kLabel5, L"Label5", ControlKind::Label, 0, 16, 88, 36, 12, kLabelAfter, false},
    {kLabel2, L"Label2", ControlKind::BoldLabel, 0, 88, 88, 80, 12, kLabelIconFile, false},
    {kLabel3, L"Label3", ControlKind::BoldLabel, 0, 16, 160, 42, 12, kLabelDestination, false},
    {kPanel1, L"Panel1", ControlKind::Panel, 0, 16, 32, 34, 34, u"", false},
    {kImage1, L"Image1", ControlKind::Image, kPanel1, 0, 0, 32, 32, u"", true},
    {kPanel3, L"Panel3", ControlKind::Panel, 0, 56, 32, 18, 18, u"", false},
    {kImage3, L"Image3", ControlKind::Image, kPanel3, 0, 0, 16, 16, u"", false},
    {kPanel2, L"Panel2", ControlKind::Panel, 0, 16, 104, 34, 34, u"", false},
    {kImage2, L"Image2", ControlKind::Image, kPanel2, 0, 0, 32, 32, u"", true},
    {kPanel4, L"Panel4", ControlKind::Panel, 0, 56, 104, 18, 18, u"", false},
    {kImage4, L"Image4", ControlKind::Image, kPanel4, 0, 0, 16, 16, u"", false},
    // The focus order: EdtFName, BtnExe, Button2, EdtFName2, BtnIcon, CB1, Button4, EdtSPath,
    // BtnSave.
    {kEdtFName, L"EdtFName", ControlKind::ReadOnlyEdit, 0, 88, 32, 201, 20, u"", false},
    {kBtnExe, L"BtnExe", ControlKind::Button, 0, 296, 32, 25, 20, kBrowseButton, true},
    {kButton2, L"Button2", ControlKind::Button, 0, 152, 224, 81, 25, kChangeButton, true},
    {kEdtFName2, L"EdtFName2", ControlKind::ReadOnlyEdit, 0, 88, 104, 201, 20, u"", false},
    {kBtnIcon, L"BtnIcon", ControlKind::Button, 0, 296, 104, 25, 20, kBrowseButton, true},
    {kCB1, L"CB1", ControlKind::CheckBox, 0, 16, 232, 105, 17, kBackupBox, true},
    {kButton4, L"Button4", ControlKind::Button, 0, 240, 224, 81, 25, kQuitButton, true},
    {kEdtSPath, L"EdtSPath", ControlKind::Edit, 0, 16, 176, 273, 20, u"", false},
    {kBtnSave, L"BtnSave", ControlKind::Button, 0, 296, 176, 25, 20, kBrowseButton, true},
    {kSB1, L"SB1", ControlKind::StatusBar, 0, 0, 262, 338, 19, u"", false},
};

}  // namespace marovi::app
