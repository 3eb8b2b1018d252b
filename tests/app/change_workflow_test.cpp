// The change workflow on real files: the checks and their order, the folder
// chain, backups that are never overwritten, copies to new destinations and
// the outcome of failed changes.
#include "app/change_workflow.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

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

// The shell is told of the destination once a change is done, under its
// own name (not a copy's temporary one), and of nothing when it failed.
TEST_F(ChangeWorkflowTest, TheShellIsToldOfEachDoneChangeOnly) {
  Bytes broken = ReadWholeFile(ico_);
  broken.resize(broken.size() - 1);
  WriteWholeFile(folder_ / "broken.ico", broken);
  const struct {
    const char* what;
    fs::path destination;
    fs::path iconFile;
    bool done;
  } cases[] = {
      {"in place", exe_, ico_, true},
      {"to a new copy", copy_, ico_, true},
      {"a refused icon file", exe_, folder_ / "broken.ico", false},
      {"a refused icon file, to a new copy", folder_ / "out" / "other.exe", folder_ / "broken.ico", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    HookedFileSystem files;
    auto request = Request();
    request.destination = Utf16Path(c.destination);
    request.iconFile = Utf16Path(c.iconFile);
    const auto outcome = app::RunChangeWorkflow(request, files);
    ASSERT_EQ(outcome.status == ChangeStatus::Done, c.done) << app::ErrorText(outcome.error);
    EXPECT_EQ(files.changed, c.done ? std::vector<std::u16string>{Utf16Path(c.destination)}
                                    : std::vector<std::u16string>{});
  }
}

// --group first: the group the shell shows is replaced under its own name
// and language, whatever it is called; the other groups stay. The outcome
// names the group changed and the one shown before and after, with or
// without it.
TEST_F(ChangeWorkflowTest, TheGroupTheShellShowsIsReplacedOrNamed) {
  using Key = IconGroupKey;
  const Key mainIcon{ResourceName(u"MAINICON"), 0};
  const struct {
    const char* what;
    std::vector<ResourceSpec> groups;  // besides icon image 1 and a string table
    bool shellGroup;
    Key changed;
    std::optional<Key> before, after;
  } cases[] = {
      {"a named group of another language first", {{14, u"APP", 1033, OldGroupRecord()},
                                                    {14, u"MAINICON", 0, OldGroupRecord()}},
       true, {ResourceName(u"APP"), 1033}, Key{ResourceName(u"APP"), 1033}, Key{ResourceName(u"APP"), 1033}},
      {"a numbered group only", {{14, 3, 0, OldGroupRecord()}, {14, 9, 0, OldGroupRecord()}}, true,
       {ResourceName(3), 0}, Key{ResourceName(3), 0}, Key{ResourceName(3), 0}},
      {"no group: MAINICON, language 0", {}, true, mainIcon, std::nullopt, mainIcon},
      {"MAINICON behind APP", {{14, u"APP", 1033, OldGroupRecord()}}, false, mainIcon,
       Key{ResourceName(u"APP"), 1033}, Key{ResourceName(u"APP"), 1033}},
      {"MAINICON before a numbered group", {{14, 3, 0, OldGroupRecord()}}, false, mainIcon,
       Key{ResourceName(3), 0}, mainIcon},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ImageSpec spec;
    spec.resources = c.groups;
    spec.resources.push_back({3, 1, 0, ImageBytes(60, 1)});
    spec.resources.push_back({16, 1, 1033, Bytes(90, 'v')});
    WriteWholeFile(exe_, BuildImage(spec));
    fs::remove(backup_);
    const auto before = FileLeaves(exe_);
    auto request = Request();
    request.shellGroup = c.shellGroup;
    const auto outcome = Run(request);
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
    ASSERT_TRUE(outcome.changedGroup.has_value());
    EXPECT_TRUE(*outcome.changedGroup == c.changed);
    EXPECT_EQ(outcome.shownBefore.has_value(), c.before.has_value());
    if (outcome.shownBefore && c.before) {
      EXPECT_TRUE(*outcome.shownBefore == *c.before);
    }
    ASSERT_TRUE(outcome.shownAfter.has_value());
    EXPECT_TRUE(*outcome.shownAfter == *c.after);

    // In the file: the group changed lists the two new images; every other
    // group is as it was.
    const auto leaves = FileLeaves(exe_);
    const std::string name = c.changed.name.named() ? "\"" + platform::ToUtf8(c.changed.name.name()) + "\""
                                                    : std::to_string(c.changed.name.id());
    const LeafView* changed = FindLeaf(leaves, "14", name, c.changed.language);
    ASSERT_NE(changed, nullptr);
    EXPECT_EQ(GroupIds(changed->data).size(), 2u);
    for (const LeafView& leaf : before) {
      if (leaf.type != "14" || (leaf.name == name && leaf.language == c.changed.language)) continue;
      const LeafView* kept = FindLeaf(leaves, "14", leaf.name, leaf.language);
      ASSERT_NE(kept, nullptr) << leaf.name;
      EXPECT_EQ(kept->data, leaf.data) << leaf.name;
    }
  }
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

TEST_F(ChangeWorkflowTest, ImageWithoutResourceSectionGainsOneWithTheIcon) {
  ImageSpec spec;
  spec.withResourceSection = false;
  WriteWholeFile(exe_, BuildImage(spec));
  auto request = Request();
  request.backup = false;
  const auto outcome = Run(request);
  EXPECT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
  EXPECT_EQ(MainGroupIds(exe_).size(), 2u) << "the icon's group did not reach the file";
}

TEST_F(ChangeWorkflowTest, ResourceTableInsideAnotherSectionFailsAtBeginWithCodeTwo) {
  Bytes image = ExecutableBytes();
  const ImageFacts f = ReadFacts(image);
  StoreU32(image.data() + f.dataDirectory + 16, f.resourceVirtualAddress + 8);
  WriteWholeFile(exe_, image);
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
  for (std::uint64_t n = 1; n < 256; ++n) {
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

// --- Nothing lost: backups and copies whole or absent, one lock per run -------

TEST_F(ChangeWorkflowTest, AFailureAnywhereLeavesEveryFileWholeOrAbsent) {
  for (const bool toCopy : {false, true}) {
    bool sawFailure = false;
    for (std::uint64_t n = 1; n < 1000; ++n) {
      Reset();
      platform::InjectFailureAt(n);
      const auto outcome = Run(toCopy ? CopyRequest() : Request());
      const bool injected = platform::InjectedFailureHappened();
      const bool inWindow = platform::InjectedFailureWasInWindow();
      platform::InjectFailureAt(0);
      const std::string at = (toCopy ? "copy, call " : "in place, call ") + std::to_string(n);
      EXPECT_TRUE(Parts().empty()) << at;
      EXPECT_TRUE(Unheld(exe_)) << at;
      if (outcome.status == ChangeStatus::Done) {
        ExpectChanged(toCopy ? copy_ : exe_);
        if (!toCopy) {
          EXPECT_EQ(ReadWholeFile(backup_), original_) << at;
        }
        if (!injected) break;
        continue;
      }
      ASSERT_TRUE(injected) << at << ": " << app::ErrorText(outcome.error);
      ASSERT_EQ(outcome.status, ChangeStatus::Failed) << at;
      sawFailure = true;
      EXPECT_TRUE(outcome.error) << at;
      if (toCopy) {
        EXPECT_FALSE(fs::exists(copy_)) << at << ": " << app::ErrorText(outcome.error);
        EXPECT_EQ(ReadWholeFile(exe_), original_) << at;
      } else {
        if (!inWindow) {
          EXPECT_EQ(ReadWholeFile(exe_), original_) << at;
        }
        if (fs::exists(backup_)) {
          EXPECT_EQ(ReadWholeFile(backup_), original_) << at;
        }
      }
    }
    EXPECT_TRUE(sawFailure);
  }
  EXPECT_TRUE(LeftoverScratchFiles().empty());
}

TEST_F(ChangeWorkflowTest, ABackupThatCannotBeMadeStopsTheChangeBeforeTheImageIsTouched) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;
  };
  const std::vector<Case> cases = {
      {"a directory", [](const fs::path& at) { fs::create_directory(at); }},
#ifndef _WIN32
      {"a link to a file that does not exist",
       [this](const fs::path& at) { fs::create_symlink(folder_ / "nowhere", at); }},
      {"a FIFO", [](const fs::path& at) { ASSERT_EQ(mkfifo(at.c_str(), 0600), 0); }},
#endif
  };
  for (const Case& c : cases) {
    Reset();
    fs::remove_all(backup_);
    c.make(backup_);
    const auto outcome = Run(Request());
    EXPECT_EQ(outcome.status, ChangeStatus::Failed) << c.what;
    EXPECT_EQ(outcome.step, FailedStep::Backup) << c.what;
    EXPECT_EQ(outcome.error.file, platform::ToUtf8(Utf16Path(backup_))) << c.what;
    EXPECT_NE(app::ErrorText(outcome.error).find("the backup cannot be made there: it is " +
                                                 std::string(c.what)),
              std::string::npos)
        << app::ErrorText(outcome.error);
    EXPECT_EQ(ReadWholeFile(exe_), original_) << c.what;
    EXPECT_TRUE(Parts().empty()) << c.what;
    fs::remove_all(backup_);
  }
}

TEST_F(ChangeWorkflowTest, LeftoversOfAKilledRunAreTakenOver) {
  // A run killed while it wrote the backup, or while it changed a new copy,
  // left its temporary copy (and the copy's journal) behind.
  for (const bool toCopy : {false, true}) {
    Reset();
    fs::create_directories(copy_.parent_path());
    const fs::path part = (toCopy ? copy_ : backup_).string() + ".marovi-part";
    WriteWholeFile(part, Bytes(original_.begin(), original_.begin() + 100));
    const fs::path journal = part.string() + ".marovi-undo";
    if (toCopy) WriteWholeFile(journal, Bytes(64, 7));
    const auto outcome = Run(toCopy ? CopyRequest() : Request());
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
    if (toCopy) ExpectChanged(copy_);
    else EXPECT_EQ(ReadWholeFile(backup_), original_);
    EXPECT_FALSE(fs::exists(part));
    EXPECT_FALSE(fs::exists(journal));
  }
}

TEST_F(ChangeWorkflowTest, AFailedCopyLeavesNoDestination) {
  struct Case {
    const char* what;
    std::function<void()> spoil;
    FailedStep step;
    ErrorKind kind;
  };
  const std::vector<Case> cases = {
      {"an icon file that is not one",
       [this] {
         Bytes ico = ReadWholeFile(ico_);
         ico.resize(ico.size() - 1);
         WriteWholeFile(ico_, ico);
       },
       FailedStep::LoadIcon, ErrorKind::BadIconFile},
      {"an executable that is no image",
       [this] { WriteWholeFile(exe_, Bytes{'M', 'Z', 'n', 'o'}); }, FailedStep::Begin,
       ErrorKind::NotAnImage},
      {"an image whose resource table lies inside a section",
       [this] {
         Bytes image = ExecutableBytes();
         const ImageFacts f = ReadFacts(image);
         StoreU32(image.data() + f.dataDirectory + 16, f.resourceVirtualAddress + 8);
         WriteWholeFile(exe_, image);
       },
       FailedStep::Begin, ErrorKind::NoResources},
  };
  const Bytes icon = ReadWholeFile(ico_);
  for (const Case& c : cases) {
    Reset();
    WriteWholeFile(ico_, icon);
    c.spoil();
    const auto outcome = Run(CopyRequest());
    EXPECT_EQ(outcome.status, ChangeStatus::Failed) << c.what;
    EXPECT_EQ(outcome.step, c.step) << c.what;
    EXPECT_EQ(outcome.error.kind, c.kind) << c.what << ": " << app::ErrorText(outcome.error);
    // The message names the destination, not its temporary copy.
    if (c.step == FailedStep::Begin) {
      EXPECT_EQ(outcome.error.file, platform::ToUtf8(Utf16Path(copy_))) << c.what;
    }
    EXPECT_FALSE(fs::exists(copy_)) << c.what;
    EXPECT_TRUE(Parts().empty()) << c.what;
  }
}

TEST_F(ChangeWorkflowTest, ACopyOfAReadOnlyExecutableIsWritableByItsOwner) {
  fs::permissions(exe_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  auto outcome = Run(CopyRequest());
  fs::permissions(exe_, fs::perms::owner_write, fs::perm_options::add);
  ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
  EXPECT_NE(fs::status(copy_).permissions() & fs::perms::owner_write, fs::perms::none);
  // So a second change of the copy, in place, can open it.
  auto again = CopyRequest();
  again.iconFile = Utf16Path(ico3_);
  outcome = Run(again);
  ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
  EXPECT_EQ(MainGroupIds(copy_), (std::vector<std::uint16_t>{1, 2, 3}));
  EXPECT_EQ(MainGroupIds(copy_.string() + ".bak"), (std::vector<std::uint16_t>{1, 2}));
}

TEST_F(ChangeWorkflowTest, OnlyRegularFilesAreTaken) {
  struct Case {
    const char* role;  // which of the three files
    fs::path path;
    ChangeStatus status;
    FailedStep step;
    const char* says;
  };
  const fs::path folder = folder_ / "dir.exe";
  fs::create_directory(folder);
  std::vector<Case> cases = {
      {"executable", folder, ChangeStatus::ExecutableMissing, FailedStep::None, "is a directory"},
      {"icon", folder, ChangeStatus::Failed, FailedStep::LoadIcon, "is a directory"},
      {"destination", folder, ChangeStatus::Failed, FailedStep::Begin, "is a directory"},
  };
#ifndef _WIN32
  const fs::path fifo = folder_ / "pipe.exe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const fs::path socketPath = folder_ / "sock.ico";
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.string().size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  cases.insert(cases.end(),
               {{"executable", fifo, ChangeStatus::ExecutableMissing, FailedStep::None, "FIFO"},
                {"executable", "/dev/zero", ChangeStatus::ExecutableMissing, FailedStep::None,
                 "is a device"},
                {"icon", fifo, ChangeStatus::Failed, FailedStep::LoadIcon, "FIFO"},
                {"icon", socketPath, ChangeStatus::Failed, FailedStep::LoadIcon, "is a socket"},
                {"icon", "/dev/zero", ChangeStatus::Failed, FailedStep::LoadIcon, "is a device"},
                {"destination", fifo, ChangeStatus::Failed, FailedStep::Begin, "FIFO"},
                {"destination", "/dev/null", ChangeStatus::Failed, FailedStep::Begin,
                 "is a device"}});
#endif
  for (const Case& c : cases) {
    auto request = Request();
    const std::string role = c.role;
    if (role == "executable") request.executable = Utf16Path(c.path);
    if (role == "icon") request.iconFile = Utf16Path(c.path);
    if (role == "destination") request.destination = Utf16Path(c.path);
    const auto outcome = Run(request);
    const std::string text = app::ErrorText(outcome.error);
    EXPECT_EQ(outcome.status, c.status) << role << " " << c.path << ": " << text;
    EXPECT_EQ(outcome.step, c.step) << role << " " << c.path;
    EXPECT_EQ(outcome.error.kind, ErrorKind::NotRegularFile) << role << " " << c.path;
    EXPECT_EQ(text.find(c.path.string() + ": "), 0u) << text;
    EXPECT_NE(text.find(c.says), std::string::npos) << text;
    EXPECT_EQ(ReadWholeFile(exe_), original_);
    EXPECT_FALSE(fs::exists(backup_));
  }
#ifndef _WIN32
  close(sock);
#endif
}

TEST_F(ChangeWorkflowTest, MessagesNameTheFileAndTheSystemsReason) {
  struct Case {
    const char* what;
    std::function<app::ChangeRequest()> request;
    FailedStep step;
    fs::path file;        // the file the message names
    std::uint32_t code;   // the system's code, 0 for any
  };
  WriteWholeFile(folder_ / "plain", Bytes{1});
  std::vector<Case> cases = {
      {"a directory at the destination",
       [this] {
         fs::create_directories(copy_);
         return CopyRequest();
       },
       FailedStep::Begin, copy_, 0},
      {"a file where the destination's folder should be",
       [this] {
         auto request = Request();
         request.destination = Utf16Path(folder_ / "plain" / "x.exe");
         return request;
       },
       FailedStep::Begin, fs::path(), 0},
  };
#ifndef _WIN32
  const fs::path tooLong = folder_ / (std::string(300, 'n') + ".exe");
  cases.push_back({"a name too long",
                   [&] {
                     auto request = Request();
                     request.destination = Utf16Path(tooLong);
                     return request;
                   },
                   FailedStep::Begin, tooLong, ENAMETOOLONG});
  cases[1].file = folder_ / "plain" / "x.exe";
  cases[1].code = ENOTDIR;
  // A temporary folder that cannot take the scratch file of a large image is
  // named as such, not the destination.
  const std::string missingTemp = (folder_ / "no-temp").string() + "/";
  cases.push_back({"no temporary folder",
                   [&] {
                     WriteWholeFile(ico_, BuildIcoFile({Image(64, 40000, 8)}));
                     setenv("TMPDIR", missingTemp.c_str(), 1);
                     return Request();
                   },
                   FailedStep::LoadIcon, missingTemp, ENOENT});
  // The same when only the commit needs it (small images stay in memory).
  cases.push_back({"no temporary folder for the new section",
                   [&] {
                     WriteWholeFile(ico_, BuildIcoFile({Image(32, 120, 7)}));
                     setenv("TMPDIR", missingTemp.c_str(), 1);
                     return Request();
                   },
                   FailedStep::Commit, missingTemp, ENOENT});
#endif
  for (const Case& c : cases) {
    Reset();
    const auto outcome = Run(c.request());
#ifndef _WIN32
    unsetenv("TMPDIR");
#endif
    const std::string text = app::ErrorText(outcome.error);
    EXPECT_EQ(outcome.status, ChangeStatus::Failed) << c.what << ": " << text;
    EXPECT_EQ(outcome.step, c.step) << c.what << ": " << text;
    if (!c.file.empty()) {
      EXPECT_EQ(outcome.error.file, c.file.string()) << c.what;
      EXPECT_EQ(text.find(c.file.string() + ": "), 0u) << text;
    }
    if (c.code != 0) {
      EXPECT_EQ(outcome.error.osCode, c.code) << text;
      EXPECT_NE(text.find(platform::SystemErrorText(c.code)), std::string::npos) << text;
    }
    EXPECT_EQ(ReadWholeFile(exe_), original_) << c.what;
  }
}

TEST(ErrorText, OneLineWithTheFileAndOnlyTheReasonsThatApply) {
  struct Case {
    Error error;
    std::string text;
  };
  Error atOffset = MakeError(ErrorKind::MalformedImage, "a table leaves the section", 0, "a.exe");
  atOffset.offset = 0x1f0;
  const std::vector<Case> cases = {
      // A code that only marks the kind adds nothing (no "No such file" for a
      // missing resource section).
      {MakeError(ErrorKind::NoResources, "has no resource section", platform::ErrorFileNotFound(),
                 "a.exe"),
       "a.exe: has no resource section"},
      {MakeError(ErrorKind::NotAnImage, "not a PE image", platform::ErrorBadFormat(), "a.exe"),
       "a.exe: not a PE image"},
      {atOffset, "a.exe: a table leaves the section (at offset 0x1f0)"},
      {MakeError(ErrorKind::DiskFull, "cannot be written", platform::ErrorDiskFull(), "a.exe.bak"),
       "a.exe.bak: cannot be written: " + platform::SystemErrorText(platform::ErrorDiskFull())},
      {MakeError(ErrorKind::Busy, "cannot be opened for the change",
                 platform::ErrorSharingViolation(), "a.exe"),
       "a.exe: cannot be opened for the change: held open by another program (another change of "
       "it may be running); try again when it has finished"},
      {MakeError(ErrorKind::Io, ""), "an input or output operation failed"},
      // A folder that takes no journal names the way out.
      {MakeError(ErrorKind::Journal, "cannot create the undo journal", EACCES, "a.exe.marovi-undo"),
       "a.exe.marovi-undo: cannot create the undo journal: " + platform::SystemErrorText(EACCES) +
           " (--no-journal changes the file without one, unprotected against a kill)"},
  };
  for (const Case& c : cases) EXPECT_EQ(app::ErrorText(c.error), c.text);
  EXPECT_EQ(app::RecoveryText("a.exe", Recovery::Undone),
            "a.exe: an interrupted change was undone; the file is as it was before it");
  EXPECT_NE(app::RecoveryText("a.exe", Recovery::Removed).find("a.exe: "), std::string::npos);
  EXPECT_EQ(app::RecoveryText("a.exe", Recovery::NothingToDo), "");
}

TEST_F(ChangeWorkflowTest, ASecondRunOnAHeldFileFailsAtOnce) {
  struct Case {
    const char* what;
    bool toCopy;
    std::function<platform::FileHandle()> hold;
    FailedStep step;
    bool holdsACopy = false;  // the holder is a temporary copy, removed afterwards
  };
  const std::u16string exe = Utf16Path(exe_);
  const std::u16string part = Utf16Path(copy_.string() + ".marovi-part");
  const std::vector<Case> cases = {
      {"in place, a change holds it", false,
       [&] { return platform::OpenFileByName(exe.c_str(), true, false); }, FailedStep::Begin},
      {"in place, a reader holds it", false, [&] { return platform::OpenFileShared(exe.c_str()); },
       FailedStep::Begin},
      {"to a copy, a change holds the executable", true,
       [&] { return platform::OpenFileByName(exe.c_str(), true, false); }, FailedStep::Copy},
      {"to a copy, another run writes the copy", true,
       [&] { return platform::OpenTemporaryFile(part.c_str()); }, FailedStep::Copy, true},
  };
  fs::create_directories(copy_.parent_path());
  for (const Case& c : cases) {
    Reset();
    const platform::FileHandle holder = c.hold();
    ASSERT_NE(holder, platform::kInvalidFile) << c.what;
    const auto outcome = Run(c.toCopy ? CopyRequest() : Request());
    if (c.holdsACopy) platform::DeleteHeldFile(holder, part.c_str());
    platform::CloseFile(holder);
    EXPECT_EQ(outcome.status, ChangeStatus::Failed) << c.what;
    EXPECT_EQ(outcome.step, c.step) << c.what;
    EXPECT_EQ(outcome.error.kind, ErrorKind::Busy) << c.what << ": " << app::ErrorText(outcome.error);
    EXPECT_NE(app::ErrorText(outcome.error).find("held open by another program"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(exe_), original_) << c.what;
    EXPECT_FALSE(fs::exists(backup_)) << c.what;
    EXPECT_FALSE(fs::exists(copy_)) << c.what;
    EXPECT_TRUE(Parts().empty()) << c.what;
  }
}

TEST_F(ChangeWorkflowTest, ARunHoldsItsFilesUntilItEnds) {
  // While a run is under way (asked to recover, which happens once it holds
  // its destination), a second run on the same destination is refused.
  for (const bool toCopy : {false, true}) {
    Reset();
    const auto request = toCopy ? CopyRequest() : Request();
    app::ChangeOutcome second;
    bool asked = false;
    bool readerRefused = false;
    HookedFileSystem files([&](const std::u16string&, platform::FileHandle, Error*) {
      if (!asked) {
        asked = true;
        second = app::RunChangeWorkflow(request, app::NativeFileSystem());
        const platform::FileHandle reader =
            platform::OpenFileShared(Utf16Path(toCopy ? fs::path(copy_.string() + ".marovi-part") : exe_).c_str());
        readerRefused = reader == platform::kInvalidFile;
        platform::CloseFile(reader);
      }
      return Recovery::NothingToDo;
    });
    const auto first = app::RunChangeWorkflow(request, files);
    ASSERT_TRUE(asked);
    EXPECT_EQ(first.status, ChangeStatus::Done) << app::ErrorText(first.error);
    EXPECT_EQ(second.status, ChangeStatus::Failed);
    EXPECT_EQ(second.step, toCopy ? FailedStep::Copy : FailedStep::Begin);
    EXPECT_EQ(second.error.kind, ErrorKind::Busy) << app::ErrorText(second.error);
    EXPECT_EQ(second.error.file, platform::ToUtf8(request.destination));
    EXPECT_TRUE(readerRefused);
    ExpectChanged(toCopy ? copy_ : exe_);
    if (!toCopy) {
      EXPECT_EQ(ReadWholeFile(backup_), original_);
    }
    EXPECT_TRUE(Parts().empty());
  }
}

TEST_F(ChangeWorkflowTest, AnInterruptedChangeIsPutRightFirstOrRefusesTheRun) {
  struct Case {
    bool toCopy;
    Recovery recovery;
    ChangeStatus status;
    FailedStep step;
  };
  const std::vector<Case> cases = {
      {false, Recovery::NothingToDo, ChangeStatus::Done, FailedStep::None},
      {false, Recovery::Undone, ChangeStatus::Done, FailedStep::None},
      {false, Recovery::Removed, ChangeStatus::Done, FailedStep::None},
      {false, Recovery::Failed, ChangeStatus::Failed, FailedStep::Begin},
      {true, Recovery::Undone, ChangeStatus::Done, FailedStep::None},
      {true, Recovery::Failed, ChangeStatus::Failed, FailedStep::Copy},
  };
  for (const Case& c : cases) {
    Reset();
    const std::string what = std::string(c.toCopy ? "copy, " : "in place, ") +
                             std::to_string(static_cast<int>(c.recovery));
    std::vector<std::u16string> asked;
    bool heldWhenAsked = false;
    bool backupWhenAsked = false;
    HookedFileSystem files([&](const std::u16string& path, platform::FileHandle held, Error* error) {
      asked.push_back(path);
      heldWhenAsked = held != platform::kInvalidFile;
      backupWhenAsked = fs::exists(backup_);
      if (c.recovery == Recovery::Failed)
        *error = MakeError(ErrorKind::Journal, "its undo journal is damaged");
      return c.recovery;
    });
    const auto outcome = app::RunChangeWorkflow(c.toCopy ? CopyRequest() : Request(), files);
    // The file recovered is the one the run reads first: the destination in
    // place (already held), the executable that is copied (opened by name).
    ASSERT_EQ(asked, std::vector<std::u16string>{Utf16Path(exe_)}) << what;
    EXPECT_EQ(heldWhenAsked, !c.toCopy) << what;
    EXPECT_FALSE(backupWhenAsked) << what;
    EXPECT_EQ(outcome.status, c.status) << what;
    EXPECT_EQ(outcome.step, c.step) << what;
    const bool noticed = c.recovery == Recovery::Undone || c.recovery == Recovery::Removed;
    ASSERT_EQ(outcome.recovered.size(), noticed ? 1u : 0u) << what;
    if (noticed) {
      EXPECT_EQ(outcome.recovered[0].file, Utf16Path(exe_));
      EXPECT_EQ(outcome.recovered[0].recovery, c.recovery);
    }
    if (c.status == ChangeStatus::Failed) {
      EXPECT_EQ(outcome.error.kind, ErrorKind::Journal);
      EXPECT_EQ(outcome.error.file, platform::ToUtf8(Utf16Path(exe_)));
      EXPECT_EQ(ReadWholeFile(exe_), original_) << what;
      EXPECT_FALSE(fs::exists(backup_)) << what;
      EXPECT_FALSE(fs::exists(copy_)) << what;
      EXPECT_TRUE(Parts().empty()) << what;
    }
  }
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
