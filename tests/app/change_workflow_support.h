// The change workflow tests' executable and icon files, the fixture that
// runs changes on them and a file system whose recovery the test answers.
#pragma once

#include "app/change_workflow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include "app/messages.h"
#include "engine/commit/commit.h"
#include "engine/formats/manifest.h"
#include "engine/formats/version_info.h"
#include "engine/pe/bytes.h"
#include "engine/platform/platform.h"
#include "icons/png_icon.h"
#include "tests/formats/png_test_images.h"
#include "tests/icons/icon_test_support.h"
#include "tests/support/fault_injection.h"

namespace marovi::test {

namespace fs = std::filesystem;
using app::ChangeStatus;
using app::FailedStep;

inline Bytes OldGroupRecord() {
  Bytes record(6 + 14, 0);
  record[2] = 1;
  record[4] = 1;
  record[6] = 32;
  record[6 + 12] = 1;  // nID 1
  return record;
}

inline Bytes ExecutableBytes() {
  ImageSpec spec;
  spec.pe32Plus = true;
  spec.resources = {{3, 1, 0, ImageBytes(60, 1)},
                    {14, u"MAINICON", 0, OldGroupRecord()},
                    {16, 1, 1033, Bytes(90, 'v')}};
  return BuildImage(spec);
}

inline IconImageSpec Image(std::uint8_t size, std::size_t bytes, std::uint8_t seed) {
  IconImageSpec image;
  image.width = image.height = size;
  image.bytes = ImageBytes(bytes, seed);
  return image;
}

// The leaves of an image file, read through a fresh update.
inline std::vector<LeafView> FileLeaves(const fs::path& path) {
  const std::u16string name = Utf16Path(path);
  ResourceUpdate* update = BeginResourceUpdate(name.c_str(), false);
  if (update == nullptr) return {};
  auto leaves = Leaves(update);
  EndResourceUpdate(update, true);
  return leaves;
}

inline std::vector<std::uint16_t> MainGroupIds(const fs::path& path) {
  const auto leaves = FileLeaves(path);
  const LeafView* group = FindLeaf(leaves, "14", kMainText, 0);
  return group != nullptr ? GroupIds(group->data) : std::vector<std::uint16_t>{};
}

class ChangeWorkflowTest : public ::testing::Test {
 protected:
  ChangeWorkflowTest() {
    original_ = ExecutableBytes();
    WriteWholeFile(exe_, original_);
    WriteWholeFile(ico_, BuildIcoFile({Image(32, 120, 7), Image(16, 80, 8)}));
    WriteWholeFile(ico3_, BuildIcoFile({Image(48, 200, 9), Image(32, 120, 10), Image(16, 80, 11)}));
  }

  app::ChangeRequest Request() const {
    app::ChangeRequest request;
    request.executable = Utf16Path(exe_);
    request.iconFile = Utf16Path(ico_);
    request.iconPreviewSet = true;
    request.destination = Utf16Path(exe_);
    return request;
  }

  app::ChangeOutcome Run(const app::ChangeRequest& request) {
    return app::RunChangeWorkflow(request, app::NativeFileSystem());
  }

  // A request that copies the executable to folder_/out/copy.exe.
  app::ChangeRequest CopyRequest() const {
    app::ChangeRequest request = Request();
    request.destination = Utf16Path(copy_);
    return request;
  }

  // Puts the executable back as it was, without a backup or a copy.
  void Reset() {
    WriteWholeFile(exe_, original_);
    fs::remove(backup_);
    fs::remove(copy_);
  }

  // Temporary copies left anywhere under the test's folder.
  std::vector<std::string> Parts() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder_.path()))
      if (entry.path().extension() == ".marovi-part") found.push_back(entry.path().string());
    return found;
  }

  // Nothing holds the file: it can be opened for writing.
  static bool Unheld(const fs::path& path) {
    const std::u16string name = Utf16Path(path);
    const platform::FileHandle file = platform::OpenFileByName(name.c_str(), true, false);
    platform::CloseFile(file);
    return file != platform::kInvalidFile;
  }

  // The executable, changed by the two-image icon file, and nothing else.
  void ExpectChanged(const fs::path& path) {
    EXPECT_EQ(MainGroupIds(path), (std::vector<std::uint16_t>{1, 2})) << path;
  }

  TempFolder folder_;
  fs::path exe_ = folder_ / "prog.exe";
  fs::path ico_ = folder_ / "two.ico";
  fs::path ico3_ = folder_ / "three.ico";
  fs::path backup_ = folder_ / "prog.exe.bak";
  fs::path copy_ = folder_ / "out" / "copy.exe";
  Bytes original_;
};

// The native file system, with the recovery of interrupted changes answered
// by the test (the workflow asks while it holds its files), and the files
// that the shell would be told of kept instead.
class HookedFileSystem : public app::FileSystem {
 public:
  using Hook = std::function<Recovery(const std::u16string&, platform::FileHandle, Error*)>;
  explicit HookedFileSystem(Hook hook) : hook_(std::move(hook)) {}
  HookedFileSystem()
      : hook_([this](const std::u16string& path, platform::FileHandle held, Error* error) {
          return native_.RecoverInterruptedChange(path, held, error);
        }) {}
  void FileChanged(const std::u16string& path) override { changed.push_back(path); }
  std::vector<std::u16string> changed;
  bool FileExists(const std::u16string& path) override { return native_.FileExists(path); }
  bool FolderExists(const std::u16string& path) override { return native_.FolderExists(path); }
  bool CreateFolder(const std::u16string& path) override { return native_.CreateFolder(path); }
  bool CopyFileNoOverwrite(const std::u16string& from, const std::u16string& to) override {
    return native_.CopyFileNoOverwrite(from, to);
  }
  bool IsSeparator(char16_t c) const override { return native_.IsSeparator(c); }
  bool IsDriveSeparator(char16_t c) const override { return native_.IsDriveSeparator(c); }
  Recovery RecoverInterruptedChange(const std::u16string& path, platform::FileHandle held,
                                    Error* error) override {
    return hook_(path, held, error);
  }

 private:
  app::FileSystem& native_ = app::NativeFileSystem();
  Hook hook_;
};

}  // namespace marovi::test
