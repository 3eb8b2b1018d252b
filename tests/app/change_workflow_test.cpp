// The change workflow on real files: the checks and their order, the folder
// chain, backups that are never overwritten, copies to new destinations and
// the outcome of failed changes.
#include "app/change_workflow.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "app/error_text.h"
#include "app/messages.h"
#include "engine/bytes.h"
#include "engine/commit.h"
#include "engine/platform.h"
#include "tests/icons/icon_test_support.h"

namespace marovi::test {
namespace {

namespace fs = std::filesystem;
using app::ChangeStatus;
using app::FailedStep;

const std::string kMainText = "\"MAINICON\"";

Bytes OldGroupRecord() {
  Bytes record(6 + 14, 0);
  record[2] = 1;
  record[4] = 1;
  record[6] = 32;
  record[6 + 12] = 1;  // nID 1
  return record;
}

Bytes ExecutableBytes() {
  ImageSpec spec;
  spec.pe32Plus = true;
  spec.resources = {{3, 1, 0, ImageBytes(60, 1)},
                    {14, u"MAINICON", 0, OldGroupRecord()},
                    {16, 1, 1033, Bytes(90, 'v')}};
  return BuildImage(spec);
}

IconImageSpec Image(std::uint8_t size, std::size_t bytes, std::uint8_t seed) {
  IconImageSpec image;
  image.width = image.height = size;
  image.bytes = ImageBytes(bytes, seed);
  return image;
}

// The leaves of an image file, read through a fresh update.
std::vector<LeafView> FileLeaves(const fs::path& path) {
  const std::u16string name = Utf16Path(path);
  ResourceUpdate* update = BeginResourceUpdate(name.c_str(), false);
  if (update == nullptr) return {};
  auto leaves = Leaves(update);
  EndResourceUpdate(update, true);
  return leaves;
}

std::vector<std::uint16_t> MainGroupIds(const fs::path& path) {
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

  TempFolder folder_;
  fs::path exe_ = folder_ / "prog.exe";
  fs::path ico_ = folder_ / "two.ico";
  fs::path ico3_ = folder_ / "three.ico";
  Bytes original_;
};

TEST_F(ChangeWorkflowTest, ChecksRunInOrderAndTouchNothing) {
  const fs::path destination = folder_ / "new" / "deeper" / "out.exe";
  auto request = Request();
  request.destination = Utf16Path(destination);

  auto empty = request;
  empty.executable.clear();
  empty.iconFile.clear();
  EXPECT_EQ(Run(empty).status, ChangeStatus::NoExecutable);

  auto missing = request;
  missing.executable = Utf16Path(folder_ / "gone.exe");
  missing.iconFile.clear();
  EXPECT_EQ(Run(missing).status, ChangeStatus::ExecutableMissing);

  auto folder = request;
  folder.executable = Utf16Path(folder_.path());
  EXPECT_EQ(Run(folder).status, ChangeStatus::ExecutableMissing);

  auto noIcon = request;
  noIcon.iconFile.clear();
  EXPECT_EQ(Run(noIcon).status, ChangeStatus::NoIcon);

  auto noPreview = request;
  noPreview.iconPreviewSet = false;
  EXPECT_EQ(Run(noPreview).status, ChangeStatus::NoIcon);

  EXPECT_FALSE(fs::exists(folder_ / "new"));
  EXPECT_EQ(ReadWholeFile(exe_), original_);
}

TEST_F(ChangeWorkflowTest, InPlaceChangeKeepsTheFirstBackup) {
  auto outcome = Run(Request());
  ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
  const fs::path backup = folder_ / "prog.exe.bak";
  EXPECT_EQ(ReadWholeFile(backup), original_);
  EXPECT_EQ(MainGroupIds(exe_), (std::vector<std::uint16_t>{1, 2}));

  // A second change leaves the backup of the unchanged file in place.
  auto second = Request();
  second.iconFile = Utf16Path(ico3_);
  outcome = Run(second);
  ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
  EXPECT_EQ(ReadWholeFile(backup), original_);
  EXPECT_EQ(MainGroupIds(exe_), (std::vector<std::uint16_t>{1, 2, 3}));
  // Resources outside the group are as they were.
  const auto leaves = FileLeaves(exe_);
  ASSERT_NE(FindLeaf(leaves, "16", "1", 1033), nullptr);
  EXPECT_EQ(FindLeaf(leaves, "16", "1", 1033)->data, Bytes(90, 'v'));
}

TEST_F(ChangeWorkflowTest, WithoutBackupNoCopyIsMade) {
  auto request = Request();
  request.backup = false;
  ASSERT_EQ(Run(request).status, ChangeStatus::Done);
  EXPECT_FALSE(fs::exists(folder_ / "prog.exe.bak"));
  EXPECT_EQ(MainGroupIds(exe_), (std::vector<std::uint16_t>{1, 2}));
}

TEST_F(ChangeWorkflowTest, NewDestinationInMissingFoldersGetsAChangedCopy) {
  const fs::path destination = folder_ / "a" / "bb" / "ccc" / "copy.exe";
  auto request = Request();
  request.destination = Utf16Path(destination);
  const auto outcome = Run(request);
  ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
  EXPECT_EQ(ReadWholeFile(exe_), original_);
  EXPECT_FALSE(fs::exists(folder_ / "prog.exe.bak"));
  EXPECT_FALSE(fs::exists(destination.string() + ".bak"));
  EXPECT_EQ(MainGroupIds(destination), (std::vector<std::uint16_t>{1, 2}));
}

TEST_F(ChangeWorkflowTest, DestinationWithoutRootedFolderIsRefusedBeforeAnyCopy) {
  for (const std::u16string& destination : {std::u16string(), std::u16string(u"bare.exe"),
                                           std::u16string(u"no-such-folder-h2") + u'/' + u"x.exe"}) {
    auto request = Request();
    request.destination = destination;
    try {
      Run(request);
      ADD_FAILURE() << "no error for destination '" << platform::ToUtf8(destination) << "'";
    } catch (const app::AppError& error) {
      EXPECT_EQ(error.text(), app::kCannotCreateFolder);
    }
  }
  EXPECT_FALSE(fs::exists("bare.exe"));
  EXPECT_FALSE(fs::exists("no-such-folder-h2"));
  EXPECT_FALSE(fs::exists(folder_ / "prog.exe.bak"));
}

TEST_F(ChangeWorkflowTest, ExistingBackupIsNeverOverwritten) {
  const Bytes older{'o', 'l', 'd'};
  WriteWholeFile(folder_ / "prog.exe.bak", older);
  ASSERT_EQ(Run(Request()).status, ChangeStatus::Done);
  EXPECT_EQ(ReadWholeFile(folder_ / "prog.exe.bak"), older);
}

TEST_F(ChangeWorkflowTest, DestinationThatIsNoImageFailsAtBegin) {
  const fs::path text = folder_ / "notes.exe";
  WriteWholeFile(text, Bytes{'h', 'e', 'l', 'l', 'o'});
  auto request = Request();
  request.destination = Utf16Path(text);
  const auto outcome = Run(request);
  EXPECT_EQ(outcome.status, ChangeStatus::Failed);
  EXPECT_EQ(outcome.step, FailedStep::Begin);
  EXPECT_EQ(ReadWholeFile(text.string() + ".bak"), ReadWholeFile(text));
}

TEST_F(ChangeWorkflowTest, ImageWithoutResourceSectionFailsAtBeginWithCodeTwo) {
  ImageSpec spec;
  spec.withResourceSection = false;
  WriteWholeFile(exe_, BuildImage(spec));
  auto request = Request();
  request.backup = false;
  const auto outcome = Run(request);
  EXPECT_EQ(outcome.status, ChangeStatus::Failed);
  EXPECT_EQ(outcome.step, FailedStep::Begin);
  EXPECT_EQ(outcome.error.osCode, platform::ErrorFileNotFound());
}

TEST_F(ChangeWorkflowTest, FileHeldByAnotherUpdateFailsWithTheSharingError) {
  const std::u16string name = Utf16Path(exe_);
  ResourceUpdate* holder = BeginResourceUpdate(name.c_str(), false);
  ASSERT_NE(holder, nullptr);
  auto request = Request();
  request.backup = false;
  const auto outcome = Run(request);
  EndResourceUpdate(holder, true);
  EXPECT_EQ(outcome.status, ChangeStatus::Failed);
  EXPECT_EQ(outcome.step, FailedStep::Begin);
  EXPECT_EQ(outcome.error.osCode, platform::ErrorSharingViolation());
  EXPECT_EQ(ReadWholeFile(exe_), original_);
}

TEST_F(ChangeWorkflowTest, RefusedIconFileFailsAndLeavesTheResources) {
  Bytes ico = ReadWholeFile(ico_);
  ico.resize(ico.size() - 1);
  WriteWholeFile(ico_, ico);
  const auto before = FileLeaves(exe_);
  const auto outcome = Run(Request());
  EXPECT_EQ(outcome.status, ChangeStatus::Failed);
  EXPECT_EQ(outcome.step, FailedStep::LoadIcon);
  EXPECT_EQ(ReadWholeFile(folder_ / "prog.exe.bak"), original_);
  EXPECT_EQ(FileLeaves(exe_), before);
}

// An icon replacement that fails half way (the old group already gone, the
// second image not stored) must not reach the file: the destination keeps
// its bytes, and with them its old icon.
TEST_F(ChangeWorkflowTest, ReplacementThatFailsHalfWayLeavesTheDestinationAsItWas) {
  // The second image is large enough to need a scratch file.
  WriteWholeFile(ico_, BuildIcoFile({Image(32, 120, 7), Image(64, 40000, 8)}));
  bool sawLoadFailure = false;
  for (std::uint64_t n = 1; n < 64; ++n) {
    WriteWholeFile(exe_, original_);
    app::ChangeRequest request = Request();
    request.backup = false;
    platform::InjectFailureAt(n);
    const auto outcome = Run(request);
    const bool injected = platform::InjectedFailureHappened();
    platform::InjectFailureAt(0);
    if (!injected) {
      EXPECT_EQ(outcome.status, ChangeStatus::Done);
      break;
    }
    if (outcome.status == ChangeStatus::Failed && outcome.step == FailedStep::LoadIcon) {
      sawLoadFailure = true;
      EXPECT_EQ(ReadWholeFile(exe_), original_) << "failure injected at call " << n;
    }
  }
  EXPECT_TRUE(sawLoadFailure);
  EXPECT_TRUE(LeftoverScratchFiles().empty());
}

TEST_F(ChangeWorkflowTest, MalformedResourceDirectoryIsAFailedChangeWithItsText) {
  Bytes image = ExecutableBytes();
  const ImageFacts facts = ReadFacts(image);
  // The root's first entry points at a subdirectory far outside the section.
  StoreU32(image.data() + facts.resourcePointerToRawData + 16 + 4, 0x80000000u | 0x7FFFFFF0u);
  WriteWholeFile(exe_, image);
  auto request = Request();
  request.backup = false;
  const auto outcome = Run(request);
  EXPECT_EQ(outcome.status, ChangeStatus::Failed);
  EXPECT_EQ(outcome.step, FailedStep::Begin);
  EXPECT_FALSE(outcome.error.detail.empty());
  // The file was released: it can be opened for writing again.
  const std::u16string name = Utf16Path(exe_);
  const platform::FileHandle file = platform::OpenFileByName(name.c_str(), true, false);
  EXPECT_NE(file, platform::kInvalidFile);
  platform::CloseFile(file);
}

TEST_F(ChangeWorkflowTest, FailedCopyToANewDestinationIsAFailedChange) {
  // The destination's folder is a file, so neither the folder nor the copy
  // can be made.
  WriteWholeFile(folder_ / "plain", Bytes{1});
  auto request = Request();
  request.destination = Utf16Path(folder_ / "plain" / "out.exe");
  const auto outcome = Run(request);
  EXPECT_EQ(outcome.status, ChangeStatus::Failed);
  EXPECT_EQ(outcome.step, FailedStep::Begin);
}

TEST(NativeFileSystem, CopyRefusesToOverwriteAndKeepsTheContents) {
  TempFolder folder;
  auto& files = app::NativeFileSystem();
  WriteWholeFile(folder / "from", ImageBytes(200000, 3));
  WriteWholeFile(folder / "to", Bytes{9});
  EXPECT_FALSE(files.CopyFileNoOverwrite(Utf16Path(folder / "from"), Utf16Path(folder / "to")));
  EXPECT_EQ(ReadWholeFile(folder / "to"), Bytes{9});
  EXPECT_TRUE(files.CopyFileNoOverwrite(Utf16Path(folder / "from"), Utf16Path(folder / "new")));
  EXPECT_EQ(ReadWholeFile(folder / "new"), ImageBytes(200000, 3));
  EXPECT_FALSE(files.CopyFileNoOverwrite(Utf16Path(folder / "none"), Utf16Path(folder / "new2")));
  EXPECT_FALSE(fs::exists(folder / "new2"));
  EXPECT_TRUE(files.FileExists(Utf16Path(folder / "new")));
  EXPECT_FALSE(files.FileExists(Utf16Path(folder.path())));
  EXPECT_TRUE(files.FolderExists(Utf16Path(folder.path())));
  EXPECT_FALSE(files.FolderExists(Utf16Path(folder / "new")));
  EXPECT_TRUE(files.CreateFolder(Utf16Path(folder / "made")));
  EXPECT_FALSE(files.CreateFolder(Utf16Path(folder / "made" / "a" / "b")));  // one level only
  EXPECT_TRUE(fs::is_directory(folder / "made"));
}

#ifndef _WIN32
TEST(NativeFileSystem, CopyTakesThePermissionBits) {
  TempFolder folder;
  WriteWholeFile(folder / "from", Bytes{1, 2, 3});
  fs::permissions(folder / "from", fs::perms(0751));
  ASSERT_TRUE(app::NativeFileSystem().CopyFileNoOverwrite(Utf16Path(folder / "from"),
                                                          Utf16Path(folder / "to")));
  EXPECT_EQ(fs::status(folder / "to").permissions(), fs::perms(0751));
}
#endif

// Path rules with Windows separators, on a file system kept in memory that
// records what is created.
class MemoryFileSystem : public app::FileSystem {
 public:
  std::map<std::u16string, bool> folders;  // existing folders
  std::vector<std::u16string> created;
  bool FileExists(const std::u16string&) override { return false; }
  bool FolderExists(const std::u16string& path) override { return folders.count(path) != 0; }
  bool CreateFolder(const std::u16string& path) override {
    created.push_back(path);
    folders[path] = true;
    return true;
  }
  bool CopyFileNoOverwrite(const std::u16string&, const std::u16string&) override { return false; }
  bool IsSeparator(char16_t c) const override { return c == u'\\' || c == u'/'; }
  bool IsDriveSeparator(char16_t c) const override { return c == u':'; }
};

TEST(FolderPart, DropsTheFinalSeparatorOnlyWhereItIsNotTheRoot) {
  MemoryFileSystem files;
  const std::map<std::u16string, std::u16string> cases = {
      {u"C:\\a\\b.exe", u"C:\\a"},   {u"C:\\b.exe", u"C:\\"},     {u"C:b.exe", u"C:"},
      {u"\\b.exe", u"\\"},           {u"b.exe", u""},             {u"", u""},
      {u"C:\\a\\\\b.exe", u"C:\\a\\\\"}, {u"C:/x/y/z.exe", u"C:/x/y"}, {u"a\\b\\", u"a\\b"}};
  for (const auto& [path, folder] : cases)
    EXPECT_EQ(platform::ToUtf8(app::FolderPart(path, files)), platform::ToUtf8(folder))
        << platform::ToUtf8(path);
}

TEST(CreateFolderChain, CreatesOutermostFirstAndStopsAtExistingOrShortFolders) {
  MemoryFileSystem files;
  files.folders[u"C:\\data"] = true;
  EXPECT_TRUE(app::CreateFolderChain(u"C:\\data\\x\\y", files));
  EXPECT_EQ(files.created, (std::vector<std::u16string>{u"C:\\data\\x", u"C:\\data\\x\\y"}));

  files.created.clear();
  EXPECT_TRUE(app::CreateFolderChain(u"C:\\new\\", files));  // the drive counts as present
  EXPECT_EQ(files.created, (std::vector<std::u16string>{u"C:\\new"}));

  files.created.clear();
  EXPECT_TRUE(app::CreateFolderChain(u"ab\\cd", files));  // a two-character outermost folder counts
  EXPECT_EQ(files.created, (std::vector<std::u16string>{u"ab\\cd"}));

  files.created.clear();
  EXPECT_THROW(app::CreateFolderChain(u"abc\\cd", files), app::AppError);
  EXPECT_THROW(app::CreateFolderChain(u"", files), app::AppError);
  EXPECT_TRUE(files.created.empty());
}

}  // namespace
}  // namespace marovi::test
