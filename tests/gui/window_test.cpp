// The main window, created for real and driven with messages: layout, focus
// order, handlers and previews.
#include <windows.h>
#include <commctrl.h>

#include <filesystem>
#include <string>

#include "app/messages.h"
#include "tests/gui/gui_support.h"

namespace marovi::app::test {
namespace {

namespace fs = std::filesystem;
using marovi::test::WriteWholeFile;

struct Place {
  int id;
  int parent;
  RECT rect;  // left, top, right, bottom in the parent's client area
};

// The layout as the window must show it, written out independently of the
// window's own table.
const Place kPlaces[] = {
    {kLabel4, 0, {16, 16, 52, 28}},       {kLabel1, 0, {88, 16, 155, 28}},
    {kPanel1, 0, {16, 32, 50, 66}},       {kImage1, kPanel1, {0, 0, 32, 32}},
    {kPanel3, 0, {56, 32, 74, 50}},       {kImage3, kPanel3, {0, 0, 16, 16}},
    {kEdtFName, 0, {88, 32, 289, 52}},    {kBtnExe, 0, {296, 32, 321, 52}},
    {kLabel5, 0, {16, 88, 52, 100}},      {kLabel2, 0, {88, 88, 168, 100}},
    {kPanel2, 0, {16, 104, 50, 138}},     {kImage2, kPanel2, {0, 0, 32, 32}},
    {kPanel4, 0, {56, 104, 74, 122}},     {kImage4, kPanel4, {0, 0, 16, 16}},
    {kEdtFName2, 0, {88, 104, 289, 124}}, {kBtnIcon, 0, {296, 104, 321, 124}},
    {kLabel3, 0, {16, 160, 58, 172}},     {kEdtSPath, 0, {16, 176, 289, 196}},
    {kBtnSave, 0, {296, 176, 321, 196}},  {kCB1, 0, {16, 232, 121, 249}},
    {kButton2, 0, {152, 224, 233, 249}},  {kButton4, 0, {240, 224, 321, 249}},
    {kSB1, 0, {0, 262, 338, 281}},
};

bool GrowsWithItsText(int id) {
  return id == kLabel1 || id == kLabel2 || id == kLabel3 || id == kLabel4 || id == kLabel5 ||
         id == kCB1;
}

int TextWidth(HWND control) {
  wchar_t text[256] = {};
  const int n = GetWindowTextW(control, text, 256);
  const HDC dc = GetDC(control);
  const HGDIOBJ old =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  SIZE extent{};
  GetTextExtentPoint32W(dc, text, n, &extent);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return extent.cx;
}

// Every control at its table place scaled to dpi (each edge), inside the
// right parent; the texts of labels, the check box and the buttons whole.
void ExpectPlaces(const TFMain& form, UINT dpi) {
  for (const Place& place : kPlaces) {
    SCOPED_TRACE(::testing::Message() << "control " << place.id << " at " << dpi << " DPI");
    const HWND control = form.Control(place.id);
    ASSERT_TRUE(control);
    const HWND parent = place.parent ? form.Control(place.parent) : form.hwnd();
    EXPECT_EQ(GetParent(control), parent);
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_EQ(rect.left, AtDpi(place.rect.left, dpi));
    EXPECT_EQ(rect.top, AtDpi(place.rect.top, dpi));
    const int width = rect.right - rect.left;
    if (GrowsWithItsText(place.id)) {
      // Labels and the check box may only grow, when the face drawn for
      // "MS UI Gothic" is wider than the font itself; the text stays whole.
      EXPECT_GE(rect.right, AtDpi(place.rect.right, dpi));
      const int box = place.id == kCB1 ? GetSystemMetrics(SM_CXMENUCHECK) * static_cast<int>(dpi) /
                                             static_cast<int>(DisplayDpi())
                                       : 0;
      EXPECT_GE(width, TextWidth(control) + box);
    } else {
      EXPECT_EQ(rect.right, AtDpi(place.rect.right, dpi));
    }
    // (The "..." buttons are as narrow as the table makes them: a face
    // with full-width dots, as some stand-ins for "MS UI Gothic" have,
    // overflows them at any scale.)
    if (place.id == kButton2 || place.id == kButton4) {
      EXPECT_LT(TextWidth(control), width);
    }
    EXPECT_EQ(rect.bottom, AtDpi(place.rect.bottom, dpi));
    EXPECT_TRUE(IsWindowVisible(control) || !IsWindowVisible(form.hwnd()));
  }
  // The pictures fit inside their panels' one-pixel border: exactly at 96
  // DPI, with at most a pixel to spare where the scale rounds.
  for (const int panel : {kPanel1, kPanel2, kPanel3, kPanel4}) {
    RECT inside{};
    GetClientRect(form.Control(panel), &inside);
    RECT picture{};
    GetClientRect(GetWindow(form.Control(panel), GW_CHILD), &picture);
    EXPECT_GE(inside.right, picture.right) << panel;
    EXPECT_LE(inside.right, picture.right + (dpi == 96 ? 0 : 1)) << panel;
    EXPECT_GE(inside.bottom, picture.bottom) << panel;
  }
}

// The characters of a control's text that the face drawn for its font lacks
// (drawn as boxes).
std::wstring MissingGlyphs(HWND control) {
  wchar_t text[256] = {};
  const int n = GetWindowTextW(control, text, 256);
  const HDC dc = GetDC(control);
  const HGDIOBJ old =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  WORD glyphs[256] = {};
  GetGlyphIndicesW(dc, text, n, glyphs, GGI_MARK_NONEXISTING_GLYPHS);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  std::wstring missing;
  for (int i = 0; i < n; ++i)
    if (glyphs[i] == 0xFFFF && text[i] != L'&') missing += text[i];
  return missing;
}

// The window's font at dpi: "MS UI Gothic", 12 pixels at 96 DPI, Shift-JIS;
// the labels that name a file field in bold; every character of the labels,
// the check box and the buttons drawn from it.
void ExpectFonts(const TFMain& form, UINT dpi) {
  for (int id : {kLabel4, kLabel1, kLabel5, kLabel2, kLabel3, kEdtFName, kEdtFName2, kEdtSPath,
                 kCB1, kButton2}) {
    SCOPED_TRACE(::testing::Message() << "control " << id << " at " << dpi << " DPI");
    const auto font = reinterpret_cast<HFONT>(SendMessageW(form.Control(id), WM_GETFONT, 0, 0));
    ASSERT_TRUE(font);
    LOGFONTW logFont{};
    GetObjectW(font, sizeof(logFont), &logFont);
    EXPECT_STREQ(logFont.lfFaceName, L"MS UI Gothic");
    EXPECT_EQ(logFont.lfHeight, -AtDpi(12, dpi));
    EXPECT_EQ(logFont.lfCharSet, SHIFTJIS_CHARSET);
    const bool bold = id == kLabel1 || id == kLabel2 || id == kLabel3;
    EXPECT_EQ(logFont.lfWeight, bold ? FW_BOLD : FW_NORMAL);
  }
  for (int id : {kLabel4, kLabel1, kLabel5, kLabel2, kLabel3, kCB1, kButton2, kButton4, kBtnExe,
                 kBtnIcon, kBtnSave}) {
    const std::wstring missing = MissingGlyphs(form.Control(id));
    EXPECT_TRUE(missing.empty()) << "control " << id << " at " << dpi << " DPI draws "
                                 << missing.size() << " characters as boxes (the first U+"
                                 << std::hex << (missing.empty() ? 0 : int(missing[0])) << ")";
  }
}

TEST_F(WindowTest, WindowFrameCaptionAndPlace) {
  Open();
  const HWND hwnd = form_->hwnd();
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  EXPECT_STREQ(name, L"TFMain");
  wchar_t caption[64] = {};
  GetWindowTextW(hwnd, caption, 64);
  EXPECT_STREQ(caption, L"Marovi v1.00b");

  RECT client{};
  GetClientRect(hwnd, &client);
  EXPECT_EQ(client.right, AtDpi(338, DisplayDpi()));
  EXPECT_EQ(client.bottom, AtDpi(281, DisplayDpi()));

  const auto style = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE));
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);  // fixed single border
  EXPECT_EQ(style & WS_CAPTION, static_cast<DWORD>(WS_CAPTION));

  RECT outer{};
  GetWindowRect(hwnd, &outer);
  EXPECT_NEAR((outer.left + outer.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
  EXPECT_NEAR((outer.top + outer.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);

  EXPECT_EQ(GetClassLongPtrW(hwnd, GCLP_HBRBACKGROUND), COLOR_BTNFACE + 1);

  const HMENU menu = GetMenu(hwnd);
  ASSERT_TRUE(menu);
  ASSERT_EQ(GetMenuItemCount(menu), 1);
  wchar_t item[64] = {};
  GetMenuStringW(menu, 0, item, 64, MF_BYPOSITION);
  EXPECT_STREQ(item, L"ヘルプ(&H)");
  const HMENU help = GetSubMenu(menu, 0);
  ASSERT_EQ(GetMenuItemCount(help), 1);
  GetMenuStringW(help, 0, item, 64, MF_BYPOSITION);
  EXPECT_STREQ(item, L"バージョン情報(&A)...");
  EXPECT_EQ(GetMenuItemID(help, 0), static_cast<UINT>(kAbout1));
}

TEST_F(WindowTest, ControlsSitWhereTheLayoutPutsThem) {
  Open();
  ExpectPlaces(*form_, DisplayDpi());
}

// The window is laid out for the display's DPI (the process declares itself
// aware of it), and lays itself out again, with the frame's place the
// system suggests, when it moves to a monitor of another DPI.
TEST_F(WindowTest, LaidOutForTheDpiOfItsMonitor) {
  Open();
  EXPECT_TRUE(IsProcessDPIAware());
  const UINT dpi = DisplayDpi();
  EXPECT_EQ(form_->Dpi(), dpi);
  const UINT other = dpi == 144 ? 96 : 144;
  for (const UINT to : {other, dpi}) {
    SCOPED_TRACE(to);
    RECT suggested{40, 30, 40 + AtDpi(360, to), 30 + AtDpi(330, to)};
    SendMessageW(form_->hwnd(), WM_DPICHANGED, MAKEWPARAM(to, to),
                 reinterpret_cast<LPARAM>(&suggested));
    EXPECT_EQ(form_->Dpi(), to);
    ExpectPlaces(*form_, to);
    ExpectFonts(*form_, to);
    RECT client{};
    GetClientRect(form_->hwnd(), &client);
    EXPECT_EQ(client.right, AtDpi(338, to));
    EXPECT_EQ(client.bottom, AtDpi(281, to));
    RECT outer{};
    GetWindowRect(form_->hwnd(), &outer);
    EXPECT_EQ(outer.left, suggested.left);
    EXPECT_EQ(outer.top, suggested.top);
  }
}

TEST_F(WindowTest, TextsFontsAndInitialState) {
  Open();
  EXPECT_EQ(Text(kLabel4), L"変更前");
  EXPECT_EQ(Text(kLabel1), L"実行ファイル:");
  EXPECT_EQ(Text(kLabel5), L"変更後");
  EXPECT_EQ(Text(kLabel2), L"アイコンファイル:");
  EXPECT_EQ(Text(kLabel3), L"保存先:");
  EXPECT_EQ(Text(kCB1), L"バックアップを作成");
  EXPECT_EQ(Text(kButton2), L"変更");
  EXPECT_EQ(Text(kButton4), L"終了");
  EXPECT_EQ(Text(kBtnExe), L"...");
  EXPECT_EQ(Text(kBtnIcon), L"...");
  EXPECT_EQ(Text(kBtnSave), L"...");
  EXPECT_EQ(Text(kEdtFName), L"");
  EXPECT_EQ(Text(kEdtFName2), L"");
  EXPECT_EQ(Text(kEdtSPath), L"");
  EXPECT_EQ(form_->StatusText(), L"");
  EXPECT_TRUE(Checked(kCB1));
  EXPECT_EQ(SendMessageW(Control(kSB1), SB_GETPARTS, 0, 0), 1);

  ExpectFonts(*form_, DisplayDpi());

  const auto editStyle = [&](int id) { return GetWindowLongPtrW(Control(id), GWL_STYLE); };
  EXPECT_TRUE(editStyle(kEdtFName) & ES_READONLY);
  EXPECT_TRUE(editStyle(kEdtFName2) & ES_READONLY);
  EXPECT_FALSE(editStyle(kEdtSPath) & ES_READONLY);

  for (int id : {kImage1, kImage2, kImage3, kImage4}) {
    EXPECT_FALSE(form_->Preview(id).hasPicture);
    EXPECT_EQ(form_->Preview(id).icon, nullptr);
  }
  EXPECT_EQ(form_->ExeFileName(), L"");
  EXPECT_EQ(form_->IconFileName(), L"");
}

TEST_F(WindowTest, FocusMovesInTheLaidDownOrder) {
  Open();
  const int order[] = {kEdtFName, kBtnExe,  kButton2,  kEdtFName2, kBtnIcon,
                       kCB1,      kButton4, kEdtSPath, kBtnSave};
  HWND at = Control(order[0]);
  for (std::size_t i = 1; i <= std::size(order); ++i) {
    at = GetNextDlgTabItem(form_->hwnd(), at, FALSE);
    EXPECT_EQ(GetDlgCtrlID(at), order[i % std::size(order)]) << "step " << i;
  }
  // And backwards.
  EXPECT_EQ(GetDlgCtrlID(GetNextDlgTabItem(form_->hwnd(), Control(kEdtFName), TRUE)), kBtnSave);
}

// Enter goes through the dialog manager as the message loop passes it on:
// it presses the focused push button, and nothing else.
TEST_F(WindowTest, EnterPressesTheFocusedButtonOnly) {
  Open();
  auto enter = [&](int id) {
    SetFocus(Control(id));
    MSG m{Control(id), WM_KEYDOWN, VK_RETURN, 0, 0, {}};
    EXPECT_TRUE(IsDialogMessageW(form_->hwnd(), &m));
    m.message = WM_KEYUP;
    IsDialogMessageW(form_->hwnd(), &m);
    Pump();
  };
  ui_.answers = {std::nullopt, std::nullopt};
  enter(kBtnExe);
  ASSERT_EQ(ui_.dialogs.size(), 1u);
  EXPECT_EQ(ui_.dialogs[0].name, L"OD1");
  enter(kBtnIcon);
  ASSERT_EQ(ui_.dialogs.size(), 2u);
  EXPECT_EQ(ui_.dialogs[1].name, L"OD2");
  // In a field or on the box, Enter does nothing.
  const bool checked = Checked(kCB1);
  enter(kEdtFName);
  enter(kCB1);
  EXPECT_EQ(ui_.dialogs.size(), 2u);
  EXPECT_TRUE(ui_.boxes.empty());
  EXPECT_EQ(Checked(kCB1), checked);
  // On the change button it starts the change, whose first check fails here.
  enter(kButton2);
  EXPECT_EQ(ui_.boxes.size(), 1u);
}

TEST_F(WindowTest, HandCursorOverButtonsPicturesAndTheBox) {
  Open();
  const HCURSOR hand = LoadCursorW(nullptr, IDC_HAND);
  const HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
  for (int id : {kImage1, kImage2, kBtnExe, kBtnIcon, kBtnSave, kCB1, kButton2, kButton4}) {
    SetCursor(arrow);
    SendMessageW(form_->hwnd(), WM_SETCURSOR, reinterpret_cast<WPARAM>(Control(id)),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(GetCursor(), hand) << id;
  }
  for (int id : {kEdtFName, kImage3, kLabel1}) {
    SetCursor(arrow);
    SendMessageW(form_->hwnd(), WM_SETCURSOR, reinterpret_cast<WPARAM>(Control(id)),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_NE(GetCursor(), hand) << id;
  }
}

TEST_F(WindowTest, VersionBoxAndEnding) {
  Open();
  SendMessageW(form_->hwnd(), WM_COMMAND, MAKEWPARAM(kAbout1, 0), 0);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, L"Marovi v1.00b\r\n\r\nMarovi developers");
  EXPECT_EQ(ui_.boxes[0].caption, L"バージョン情報");
  EXPECT_EQ(ui_.boxes[0].flags, 0x40040u);
  EXPECT_EQ(ui_.owners[0], form_->hwnd());

  const HWND hwnd = form_->hwnd();
  Click(kButton4);
  EXPECT_TRUE(IsWindow(hwnd));  // ends once the press is handled
  Pump();
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(destroyed_, 1);
  EXPECT_EQ(form_->hwnd(), nullptr);
}

TEST_F(WindowTest, ClosingThroughTheSystemMenuEndsToo) {
  Open();
  const HWND hwnd = form_->hwnd();
  SendMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
  Pump();
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(destroyed_, 1);
}

TEST_F(WindowTest, ChoosingTheExecutable) {
  Open();
  const fs::path exe = CopyExecutableWithIcons(folder_ / "app one.exe");
  ui_.answers = {exe.wstring(), std::nullopt};
  Click(kBtnExe);
  ASSERT_EQ(ui_.dialogs.size(), 1u);
  EXPECT_EQ(ui_.dialogs[0].name, L"OD1");
  EXPECT_EQ(ui_.dialogs[0].kind, FileDialogKind::Open);
  EXPECT_EQ(ui_.dialogs[0].filter, L"実行ファイル(*.exe)|*.exe");
  EXPECT_EQ(ui_.dialogs[0].initialFileName, L"");
  EXPECT_EQ(form_->ExeFileName(), exe.wstring());
  EXPECT_EQ(Text(kEdtFName), exe.wstring());
  EXPECT_EQ(form_->Hint(kEdtFName), exe.wstring());
  EXPECT_EQ(Text(kEdtSPath), exe.wstring());
  EXPECT_EQ(form_->Hint(kEdtSPath), exe.wstring());
  EXPECT_EQ(form_->StatusText(), L"実行ファイルを読み込みました");
  EXPECT_TRUE(form_->Preview(kImage1).icon);
  EXPECT_TRUE(form_->Preview(kImage3).icon);
  ICONINFO info{};
  ASSERT_TRUE(GetIconInfo(form_->Preview(kImage1).icon, &info));
  BITMAP bitmap{};
  GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap);
  EXPECT_EQ(bitmap.bmWidth, GetSystemMetrics(SM_CXICON));
  if (info.hbmColor) DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  EXPECT_FALSE(form_->Preview(kImage2).hasPicture);

  // A cancelled dialog changes nothing, and starts from the name it returned last.
  SetText(kEdtSPath, L"C:\\typed\\elsewhere.exe");
  Click(kBtnExe);
  ASSERT_EQ(ui_.dialogs.size(), 2u);
  EXPECT_EQ(ui_.dialogs[1].initialFileName, exe.wstring());
  EXPECT_EQ(Text(kEdtSPath), L"C:\\typed\\elsewhere.exe");
  EXPECT_EQ(form_->Hint(kEdtSPath), exe.wstring());  // typing leaves the tooltip
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(WindowTest, ChoosingAnExecutableReplacesTheDestination) {
  Open();
  const fs::path exe = CopyExecutableWithIcons(folder_ / "a.exe");
  SetText(kEdtSPath, L"C:\\typed.exe");
  ui_.answers = {exe.wstring()};
  Click(kBtnExe);
  EXPECT_EQ(Text(kEdtSPath), exe.wstring());
}

TEST_F(WindowTest, PicturesActAsTheirButtons) {
  Open();
  ui_.answers = {std::nullopt, std::nullopt};
  for (int id : {kImage1, kImage2}) {
    SendMessageW(Control(id), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageW(Control(id), WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  }
  ASSERT_EQ(ui_.dialogs.size(), 2u);
  EXPECT_EQ(ui_.dialogs[0].name, L"OD1");
  EXPECT_EQ(ui_.dialogs[1].name, L"OD2");
  // A press released outside the picture is no click.
  SendMessageW(Control(kImage1), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  SendMessageW(Control(kImage1), WM_LBUTTONUP, 0, MAKELPARAM(60, 5));
  EXPECT_EQ(ui_.dialogs.size(), 2u);
}

TEST_F(WindowTest, PreviewStatesAndIconOwnership) {
  Open();
  // A cancelled icon dialog still refreshes the executable's previews: with no
  // executable they now hold an empty icon.
  ui_.answers = {std::nullopt};
  Click(kBtnIcon);
  EXPECT_EQ(form_->StatusText(), L"");
  EXPECT_TRUE(form_->Preview(kImage1).hasPicture);
  EXPECT_EQ(form_->Preview(kImage1).icon, nullptr);
  EXPECT_TRUE(form_->Preview(kImage3).hasPicture);
  EXPECT_FALSE(form_->Preview(kImage2).hasPicture);
  EXPECT_FALSE(form_->Preview(kImage4).hasPicture);

  // An executable with icons; then the icon dialog refreshes the previews
  // with new handles, and the old ones are destroyed.
  const fs::path exe = CopyExecutableWithIcons(folder_ / "with.exe");
  ui_.answers = {exe.wstring()};
  Click(kBtnExe);
  const HICON first = form_->Preview(kImage1).icon;
  ASSERT_TRUE(first);
  ICONINFO info{};
  ASSERT_TRUE(GetIconInfo(first, &info));
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);

  const fs::path ico = folder_ / "blue.ico";
  WriteWholeFile(ico, IconFile(0xFF0000FF));
  ui_.answers = {ico.wstring()};
  Click(kBtnIcon);
  EXPECT_EQ(form_->StatusText(), L"アイコンファイルを読み込みました");
  EXPECT_EQ(Text(kEdtFName2), ico.wstring());
  EXPECT_EQ(form_->Hint(kEdtFName2), ico.wstring());
  EXPECT_EQ(form_->IconFileName(), ico.wstring());
  EXPECT_TRUE(form_->Preview(kImage2).icon);
  EXPECT_TRUE(form_->Preview(kImage4).icon);
  ASSERT_TRUE(form_->Preview(kImage1).icon);
  EXPECT_NE(form_->Preview(kImage1).icon, first);
  EXPECT_FALSE(GetIconInfo(first, &info)) << "the replaced icon was not destroyed";
  EXPECT_EQ(ui_.dialogs.back().filter, L"アイコン(*.ico)|*.ico");

  // An executable without icons: both previews hold an empty icon.
  const fs::path bare = CopyExecutableWithoutIcons(folder_ / "bare.exe");
  ui_.answers = {bare.wstring()};
  Click(kBtnExe);
  EXPECT_TRUE(form_->Preview(kImage1).hasPicture);
  EXPECT_EQ(form_->Preview(kImage1).icon, nullptr);
  EXPECT_EQ(form_->Preview(kImage3).icon, nullptr);
  EXPECT_EQ(form_->StatusText(), L"実行ファイルを読み込みました");

  // An icon file without icons still counts as a picture in Image2.
  const fs::path empty = folder_ / "empty.ico";
  WriteWholeFile(empty, {0, 0, 1, 0, 0, 0});
  ui_.answers = {empty.wstring()};
  Click(kBtnIcon);
  EXPECT_TRUE(form_->Preview(kImage2).hasPicture);
  EXPECT_EQ(form_->Preview(kImage2).icon, nullptr);
}

TEST_F(WindowTest, ChoosingTheDestination) {
  Open();
  ui_.answers = {L"C:\\out\\dest.exe", L"C:\\out\\second.exe"};
  Click(kBtnSave);
  EXPECT_EQ(Text(kEdtSPath), L"C:\\out\\dest.exe");
  EXPECT_EQ(form_->Hint(kEdtSPath), L"C:\\out\\dest.exe");
  EXPECT_EQ(form_->StatusText(), L"");
  Click(kBtnSave);
  ASSERT_EQ(ui_.dialogs.size(), 2u);
  EXPECT_EQ(ui_.dialogs[0].name, L"SD1");
  EXPECT_EQ(ui_.dialogs[0].kind, FileDialogKind::Save);
  EXPECT_EQ(ui_.dialogs[0].filter, L"実行ファイル(*.exe)|*.exe");
  EXPECT_EQ(ui_.dialogs[1].initialFileName, L"C:\\out\\dest.exe");
  EXPECT_EQ(form_->ExeFileName(), L"");
}

}  // namespace
}  // namespace marovi::app::test
