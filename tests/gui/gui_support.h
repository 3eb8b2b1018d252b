// The window tests: a seam that answers the window's dialogs and records its
// message boxes, a fixture that creates the real window in this process, and
// makers of test executables, icon files and shortcuts.
#pragma once

#include <windows.h>
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/dialogs.h"
#include "app/umain.h"
#include "tests/support/test_files.h"

namespace marovi::app::test {

struct ShownBox {
  std::wstring text;
  std::wstring caption;
  unsigned flags;
};

struct AskedDialog {
  std::wstring name;
  FileDialogKind kind;
  std::wstring filter;
  std::wstring initialFileName;
};

class ScriptedInterface : public UserInterface {
 public:
  int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption,
                     unsigned flags) override;
  std::optional<std::wstring> ShowFileDialog(HWND owner, const FileDialog& dialog) override;

  // Answers for the next file dialogs, in order; none = the user cancels.
  std::deque<std::optional<std::wstring>> answers;
  std::vector<ShownBox> boxes;
  std::vector<AskedDialog> dialogs;
  std::vector<HWND> owners;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates the window with this command line (program first).
  void Open(const std::wstring& commandLine = L"Marovi.exe");
  HWND Control(int id) const { return form_->Control(id); }
  void Click(int id);
  void SetText(int id, const std::wstring& text);
  std::wstring Text(int id) const;
  bool Checked(int id) const;
  // Handles the messages waiting for this thread.
  void Pump();

  // A path of the temporary folder, as the window sees it (Windows form).
  std::wstring PathOf(const std::string& name) const;

  ScriptedInterface ui_;
  std::unique_ptr<TFMain> form_;
  marovi::test::TempFolder folder_;
  int destroyed_ = 0;
  bool com_ = false;
};

// The display's DPI as this program, aware of DPI by its manifest, sees it
// (LOGPIXELSY of the screen). When MAROVI_EXPECT_DPI is set (a prefix made
// with another DPI), the test fails unless it is that.
UINT DisplayDpi();
// A length at 96 DPI at dpi, rounded to the nearest pixel.
int AtDpi(int value, UINT dpi);

// A DIB for an icon image: size x size, 32 bits, one colour, opaque.
std::vector<std::uint8_t> IconDib(int size, std::uint32_t argb);
// An .ico file with a 32 x 32 and a 16 x 16 image of one colour.
std::vector<std::uint8_t> IconFile(std::uint32_t argb);
// A real 64-bit executable with icons, copied from the machine's Wine.
std::filesystem::path CopyExecutableWithIcons(const std::filesystem::path& to);
// A real 64-bit executable without any icon.
std::filesystem::path CopyExecutableWithoutIcons(const std::filesystem::path& to);

// The first image of the icon group MAINICON of an executable, or empty.
std::vector<std::uint8_t> MainIconImage(const std::wstring& executable);

// Writes a shortcut file pointing at target (COM must be initialised).
void MakeShortcut(const std::wstring& shortcut, const std::wstring& target);

// A drop of these names in global memory, as the shell hands it over.
HGLOBAL MakeDrop(const std::vector<std::wstring>& names);

}  // namespace marovi::app::test
