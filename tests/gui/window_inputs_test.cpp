// Files reaching the real window from its command line and from drops, and
// shortcuts made here with the shell's link object.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <filesystem>

#include "tests/gui/gui_support.h"

namespace marovi::app::test {
namespace {

namespace fs = std::filesystem;
using marovi::test::WriteWholeFile;

std::wstring Quoted(const fs::path& path) { return L"\"" + path.wstring() + L"\""; }

TEST_F(WindowTest, CommandLineExecutableFillsTheExecutableFields) {
  const fs::path exe = CopyExecutableWithIcons(folder_ / "with blank.exe");
  Open(L"\"C:\\prog\\Marovi.exe\" " + Quoted(exe) + L" ignored.ico");
  EXPECT_EQ(form_->ExeFileName(), exe.wstring());
  EXPECT_EQ(Text(kEdtFName), exe.wstring());
  EXPECT_EQ(Text(kEdtSPath), exe.wstring());
  EXPECT_EQ(form_->Hint(kEdtSPath), exe.wstring());
  EXPECT_TRUE(form_->Preview(kImage1).icon);
  EXPECT_EQ(Text(kEdtFName2), L"");
  EXPECT_EQ(form_->StatusText(), L"");  // routing writes no status
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(WindowTest, CommandLineIconFillsOnlyTheIconField) {
  const fs::path ico = folder_ / "pic.ICO";
  WriteWholeFile(ico, IconFile(0xFF123456));
  Open(L"Marovi.exe " + Quoted(ico));
  EXPECT_EQ(form_->IconFileName(), ico.wstring());
  EXPECT_EQ(Text(kEdtFName2), ico.wstring());
  EXPECT_EQ(form_->Hint(kEdtFName2), ico.wstring());
  EXPECT_TRUE(form_->Preview(kImage2).icon);
  EXPECT_TRUE(form_->Preview(kImage4).icon);
  EXPECT_EQ(Text(kEdtFName), L"");
  EXPECT_EQ(Text(kEdtSPath), L"");
  EXPECT_FALSE(form_->Preview(kImage1).hasPicture);
  EXPECT_FALSE(form_->Preview(kImage3).hasPicture);
}

TEST_F(WindowTest, CommandLineWithOtherOrNoParameterLeavesTheWindowAsAtStart) {
  for (const wchar_t* line : {L"Marovi.exe", L"Marovi.exe \"\"", L"Marovi.exe C:\\notes.txt"}) {
    SCOPED_TRACE(line);
    Open(line);
    EXPECT_EQ(Text(kEdtFName), L"");
    EXPECT_EQ(Text(kEdtFName2), L"");
    EXPECT_FALSE(form_->Preview(kImage1).hasPicture);
    EXPECT_FALSE(form_->Preview(kImage2).hasPicture);
  }
}

TEST_F(WindowTest, ShortcutsResolveToTheirTarget) {
  const fs::path exe = CopyExecutableWithIcons(folder_ / "real target.exe");
  const fs::path lnk = folder_ / "link.lnk";
  MakeShortcut(lnk.wstring(), exe.wstring());
  Open(L"Marovi.exe " + Quoted(lnk));
  EXPECT_EQ(form_->ExeFileName(), exe.wstring());
  EXPECT_EQ(Text(kEdtFName), exe.wstring());
  EXPECT_EQ(Text(kEdtSPath), exe.wstring());
  EXPECT_TRUE(form_->Preview(kImage1).icon);

  // A .pif is a shortcut too.
  const fs::path pif = folder_ / "link.PIF";
  fs::copy_file(lnk, pif);
  Open(L"Marovi.exe " + Quoted(pif));
  EXPECT_EQ(Text(kEdtFName), exe.wstring());

  // A shortcut to a document: the document becomes the executable.
  const fs::path doc = folder_ / "letter.txt";
  WriteWholeFile(doc, {'h', 'i'});
  const fs::path docLink = folder_ / "doc.lnk";
  MakeShortcut(docLink.wstring(), doc.wstring());
  Open(L"Marovi.exe " + Quoted(docLink));
  EXPECT_EQ(Text(kEdtFName), doc.wstring());
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(WindowTest, MissingOrBrokenShortcutsEmptyTheExecutableField) {
  const fs::path broken = folder_ / "broken.lnk";
  WriteWholeFile(broken, {'n', 'o', 't', ' ', 'a', ' ', 'l', 'i', 'n', 'k'});
  for (const fs::path& shortcut : {folder_ / "missing.lnk", broken}) {
    SCOPED_TRACE(shortcut.string());
    ui_.boxes.clear();
    Open(L"Marovi.exe " + Quoted(shortcut));
    EXPECT_EQ(form_->ExeFileName(), L"");
    EXPECT_EQ(Text(kEdtFName), L"");
    EXPECT_EQ(Text(kEdtSPath), L"");
    EXPECT_TRUE(form_->Preview(kImage1).hasPicture);
    EXPECT_EQ(form_->Preview(kImage1).icon, nullptr);
    EXPECT_TRUE(ui_.boxes.empty());
    // The next change reports that no executable is set.
    Click(kButton2);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].text, L"アイコンを変更するファイルが指定されていません");
  }
}

TEST_F(WindowTest, DropRoutesAnExecutableAndAnIconTogether) {
  Open();
  ui_.answers = {std::nullopt};
  Click(kBtnIcon);  // leaves the status line empty; set one to see it stay
  SendMessageW(Control(kSB1), SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(L"before"));

  const fs::path exe = CopyExecutableWithIcons(folder_ / "dropped.ExE");
  const fs::path ico = folder_ / "dropped.ico";
  WriteWholeFile(ico, IconFile(0xFF00FFFF));
  SetText(kEdtSPath, L"C:\\typed.exe");
  const HGLOBAL drop = MakeDrop({(folder_ / "readme.txt").wstring(), exe.wstring(), ico.wstring()});
  EXPECT_EQ(SendMessageW(form_->hwnd(), WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0), 0);
  EXPECT_EQ(Text(kEdtFName), exe.wstring());
  EXPECT_EQ(Text(kEdtSPath), exe.wstring());
  EXPECT_EQ(Text(kEdtFName2), ico.wstring());
  EXPECT_TRUE(form_->Preview(kImage1).icon);
  EXPECT_TRUE(form_->Preview(kImage2).icon);
  EXPECT_EQ(form_->StatusText(), L"before");
  EXPECT_TRUE(ui_.boxes.empty());

  // Dropping an icon alone changes only the icon field.
  const HICON exeIcon = form_->Preview(kImage1).icon;
  const fs::path second = folder_ / "second.ico";
  WriteWholeFile(second, IconFile(0xFFFFFF00));
  SendMessageW(form_->hwnd(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({second.wstring()})),
               0);
  EXPECT_EQ(Text(kEdtFName2), second.wstring());
  EXPECT_EQ(Text(kEdtFName), exe.wstring());
  EXPECT_EQ(form_->Preview(kImage1).icon, exeIcon);
}

TEST_F(WindowTest, DropOfSeveralExecutablesKeepsTheLast) {
  Open();
  const fs::path a = CopyExecutableWithIcons(folder_ / "a.exe");
  const fs::path b = CopyExecutableWithoutIcons(folder_ / "b.exe");
  SendMessageW(form_->hwnd(), WM_DROPFILES,
               reinterpret_cast<WPARAM>(MakeDrop({a.wstring(), b.wstring()})), 0);
  EXPECT_EQ(Text(kEdtFName), b.wstring());
  EXPECT_TRUE(form_->Preview(kImage1).hasPicture);
  EXPECT_EQ(form_->Preview(kImage1).icon, nullptr);  // b has no icons
}

TEST_F(WindowTest, DroppedNamesPassAThe255CharacterBuffer) {
  Open();
  // 250 characters, ".exe", ".txt": whole it is ignored, cut to 254 it is an executable.
  std::wstring name = L"C:\\" + std::wstring(247, L'n');
  name += L".exe.txt";
  SendMessageW(form_->hwnd(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({name})), 0);
  EXPECT_EQ(Text(kEdtFName), name.substr(0, 254));
}

TEST_F(WindowTest, ADroppedShortcutAndAFolderNamedLikeAnExecutable) {
  Open();
  const fs::path exe = CopyExecutableWithIcons(folder_ / "target.exe");
  const fs::path lnk = folder_ / "to target.lnk";
  MakeShortcut(lnk.wstring(), exe.wstring());
  const fs::path folder = folder_ / "folder.exe";
  fs::create_directory(folder);
  SendMessageW(form_->hwnd(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({lnk.wstring()})), 0);
  EXPECT_EQ(Text(kEdtFName), exe.wstring());
  // The folder's name decides: it is taken as the executable, without an icon.
  SendMessageW(form_->hwnd(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({folder.wstring()})),
               0);
  EXPECT_EQ(Text(kEdtFName), folder.wstring());
  EXPECT_EQ(form_->Preview(kImage1).icon, nullptr);
}

TEST_F(WindowTest, AShortcutThatCannotBeOpenedReachesTheGeneralErrorBox) {
  // Without COM on the thread the link object cannot be created: the error
  // is raised, shown by the general error box, and the window goes on.
  CoUninitialize();
  com_ = false;
  const fs::path lnk = folder_ / "any.lnk";
  Open(L"Marovi.exe " + Quoted(lnk));
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].caption, ApplicationTitle());
  EXPECT_EQ(ui_.boxes[0].flags, static_cast<unsigned>(MB_OK | MB_ICONSTOP));
  EXPECT_FALSE(ui_.boxes[0].text.empty());
  EXPECT_TRUE(IsWindow(form_->hwnd()));
  EXPECT_EQ(Text(kEdtFName), L"");

  // In a drop, the entries behind the failing shortcut are not routed.
  const fs::path exe = CopyExecutableWithIcons(folder_ / "first.exe");
  const fs::path ico = folder_ / "after.ico";
  WriteWholeFile(ico, IconFile(0xFF808080));
  SendMessageW(form_->hwnd(), WM_DROPFILES,
               reinterpret_cast<WPARAM>(MakeDrop({exe.wstring(), lnk.wstring(), ico.wstring()})),
               0);
  EXPECT_EQ(ui_.boxes.size(), 2u);
  EXPECT_EQ(Text(kEdtFName), exe.wstring());
  EXPECT_EQ(Text(kEdtFName2), L"");
}

TEST_F(WindowTest, NamesBeyondTheSystemCodePageSurvive) {
  const fs::path folder = folder_.path() / fs::path(L"\u65E5\u672C\u8A9E \u0416\u00E9");
  fs::create_directory(folder);
  const fs::path exe = CopyExecutableWithIcons(folder / L"\u30A2\u30D7\u30EA.exe");
  const fs::path ico = folder / L"\u7D75.ico";
  WriteWholeFile(ico, IconFile(0xFFFF00FF));
  Open(L"Marovi.exe " + Quoted(exe));
  SendMessageW(form_->hwnd(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({ico.wstring()})), 0);
  EXPECT_EQ(Text(kEdtFName), exe.wstring());
  EXPECT_EQ(Text(kEdtFName2), ico.wstring());
  EXPECT_TRUE(form_->Preview(kImage1).icon);
  EXPECT_TRUE(form_->Preview(kImage2).icon);
  Click(kButton2);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, L"アイコンを変更しました\r\nPath : " + exe.wstring());
  EXPECT_EQ(MainIconImage(exe.wstring()), IconDib(32, 0xFFFF00FF));
  EXPECT_TRUE(fs::exists(exe.wstring() + L".bak"));
}

}  // namespace
}  // namespace marovi::app::test
