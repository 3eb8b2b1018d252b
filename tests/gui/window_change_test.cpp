// The change workflow driven through the main window: its checks in order,
// the change in place or into another destination, and its boxes.
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/messages.h"
#include "tests/gui/gui_support.h"

namespace marovi::app::test {
namespace {

namespace fs = std::filesystem;
using marovi::test::ReadWholeFile;
using marovi::test::WriteWholeFile;

const std::wstring kNoExecutableText = L"アイコンを変更するファイルが指定されていません";
const std::wstring kMissingText = L"指定されたファイルは存在しません";
const std::wstring kNoIconText = L"変更後のアイコンが指定されていません";
const std::wstring kFailedText = L"アイコンを変更できませんでした";
const std::wstring kDoneText = L"アイコンを変更しました";

class ChangeTest : public WindowTest {
 protected:
  void ChooseExecutable(const fs::path& exe) {
    ui_.answers.push_back(exe.wstring());
    Click(kBtnExe);
  }
  void ChooseIcon(const fs::path& ico) {
    ui_.answers.push_back(ico.wstring());
    Click(kBtnIcon);
  }
  // Opens the window with a copy of an executable with icons, exeName, and
  // the icon file icoName holding ico chosen, and no box left over.
  fs::path OpenWithBoth(const char* exeName, const char* icoName,
                        const std::vector<std::uint8_t>& ico) {
    Open();
    const fs::path exe = CopyExecutableWithIcons(folder_ / exeName);
    WriteWholeFile(folder_ / icoName, ico);
    ChooseExecutable(exe);
    ChooseIcon(folder_ / icoName);
    ui_.boxes.clear();
    return exe;
  }
  void ExpectDoneBox(const fs::path& exe) {
    ExpectOneBox(kDoneText + L"\r\nPath : " + exe.wstring(), L"情報", 0x40040);
  }
  void ExpectOneBox(const std::wstring& text, const std::wstring& caption, unsigned flags) {
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].text, text);
    EXPECT_EQ(ui_.boxes[0].caption, caption);
    EXPECT_EQ(ui_.boxes[0].flags, flags);
    EXPECT_EQ(ui_.owners.back(), form_->hwnd());
    ui_.boxes.clear();
  }
};

TEST_F(ChangeTest, ChecksRunInOrderAndLeaveTheStatusLine) {
  Open();
  Click(kButton2);
  ExpectOneBox(kNoExecutableText, L"エラー", 0x40030);
  EXPECT_EQ(form_->StatusText(), L"");

  const fs::path exe = CopyExecutableWithIcons(folder_ / "target.exe");
  ChooseExecutable(exe);
  Click(kButton2);
  ExpectOneBox(kNoIconText, L"エラー", 0x40030);
  EXPECT_EQ(form_->StatusText(), L"実行ファイルを読み込みました");

  // The executable deleted after it was chosen.
  fs::remove(exe);
  Click(kButton2);
  ExpectOneBox(kMissingText, L"エラー", 0x40030);

  // A folder does not count as an existing file.
  fs::create_directory(exe);
  Click(kButton2);
  ExpectOneBox(kMissingText, L"エラー", 0x40030);
  EXPECT_EQ(form_->StatusText(), L"実行ファイルを読み込みました");
}

TEST_F(ChangeTest, ChangeInPlaceWithBackupAndSuccessBox) {
  const fs::path exe = OpenWithBoth("target.exe", "red.ico", IconFile(0xFFFF0000));
  const auto original = ReadWholeFile(exe);

  Click(kButton2);
  ExpectDoneBox(exe);
  EXPECT_EQ(form_->StatusText(), kDoneText);
  EXPECT_EQ(MainIconImage(exe.wstring()), IconDib(32, 0xFFFF0000));
  const fs::path backup = exe.wstring() + L".bak";
  ASSERT_TRUE(fs::exists(backup));
  EXPECT_EQ(ReadWholeFile(backup), original);

  // A second change keeps the first backup; the fields stay as they were.
  const fs::path green = folder_ / "green.ico";
  WriteWholeFile(green, IconFile(0xFF00FF00));
  ChooseIcon(green);
  ui_.boxes.clear();
  EXPECT_EQ(Text(kEdtFName), exe.wstring());
  Click(kButton2);
  ExpectDoneBox(exe);
  EXPECT_EQ(MainIconImage(exe.wstring()), IconDib(32, 0xFF00FF00));
  EXPECT_EQ(ReadWholeFile(backup), original);
}

TEST_F(ChangeTest, NoBackupWhenTheBoxIsCleared) {
  const fs::path exe = OpenWithBoth("target.exe", "red.ico", IconFile(0xFFFF0000));
  Click(kCB1);
  EXPECT_FALSE(Checked(kCB1));
  Click(kButton2);
  ExpectDoneBox(exe);
  EXPECT_FALSE(fs::exists(exe.wstring() + L".bak"));
}

TEST_F(ChangeTest, AnotherDestinationInNewFoldersGetsTheChangedCopy) {
  const fs::path exe = OpenWithBoth("source.exe", "red.ico", IconFile(0xFFFF0000));
  const auto original = ReadWholeFile(exe);
  const fs::path destination = folder_ / "new" / "deeper" / "copy.exe";
  SetText(kEdtSPath, destination.wstring());
  Click(kButton2);
  // The box names the executable, not the destination.
  ExpectDoneBox(exe);
  EXPECT_EQ(MainIconImage(destination.wstring()), IconDib(32, 0xFFFF0000));
  EXPECT_EQ(ReadWholeFile(exe), original);
  EXPECT_FALSE(fs::exists(destination.wstring() + L".bak"));
}

TEST_F(ChangeTest, ARejectedIconFileFailsWithStatusAndErrorBox) {
  // The icon file claims 9 images and holds none.
  OpenWithBoth("target.exe", "broken.ico", {0, 0, 1, 0, 9, 0, 1, 2, 3});
  Click(kButton2);
  ExpectOneBox(kFailedText, L"エラー", 0x40010);
  EXPECT_EQ(form_->StatusText(), kFailedText);
}

TEST_F(ChangeTest, AnEmptyDestinationReachesTheGeneralErrorBox) {
  const fs::path exe = OpenWithBoth("target.exe", "red.ico", IconFile(0xFFFF0000));
  const auto original = ReadWholeFile(exe);
  for (const wchar_t* destination : {L"", L"bare-name.exe"}) {
    SetText(kEdtSPath, destination);
    Click(kButton2);
    ExpectOneBox(L"ディレクトリを作成できません.", ApplicationTitle(), MB_OK | MB_ICONSTOP);
    EXPECT_EQ(form_->StatusText(), L"アイコンファイルを読み込みました");
  }
  EXPECT_EQ(ReadWholeFile(exe), original);
  EXPECT_FALSE(fs::exists(exe.wstring() + L".bak"));
  // The window goes on working.
  SetText(kEdtSPath, exe.wstring());
  Click(kButton2);
  ExpectDoneBox(exe);
}

TEST(GeneralErrorBoxTest, TitleAndText) {
  EXPECT_EQ(ApplicationTitle(L"C:\\Program Files\\MAROVI.EXE"), L"Marovi");
  EXPECT_EQ(ApplicationTitle(L"C:\\x.y\\marovi"), L"marovi");
  EXPECT_EQ(ApplicationTitle(L"Z:\\a\\ÄBC.Tool.exe"), L"Äbc.tool");
  EXPECT_EQ(ApplicationTitle(L"C:\\MÄROVI.exe"), L"Märovi");
  EXPECT_EQ(GeneralErrorText(L"ディレクトリを作成できません"), L"ディレクトリを作成できません.");
  EXPECT_EQ(GeneralErrorText(L"Ends with a dot."), L"Ends with a dot.");
  EXPECT_EQ(GeneralErrorText(L"Ends with a bang!"), L"Ends with a bang!");  // '!' sorts below '.'
  EXPECT_EQ(GeneralErrorText(L"Ends with a slash/"), L"Ends with a slash/.");
  EXPECT_EQ(GeneralErrorText(L""), L"");
  EXPECT_EQ(DialogFilter(L"a (*.exe)|*.exe"), std::wstring(L"a (*.exe)\0*.exe\0\0", 17));
}

}  // namespace
}  // namespace marovi::app::test
