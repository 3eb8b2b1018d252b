// The change workflow on real files: the checks and their order, the folder
// chain, backups that are never overwritten, copies to new destinations and
// the outcome of failed changes.
#include "app/change_workflow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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
      {"a refused icon file, to a new copy", folder_ / "out" / "other.exe", folder_ / "broken.ico",
       false},
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
      {"a named group of another language first",
       {{14, u"APP", 1033, OldGroupRecord()}, {14, u"MAINICON", 0, OldGroupRecord()}},
       true,
       {ResourceName(u"APP"), 1033},
       Key{ResourceName(u"APP"), 1033},
       Key{ResourceName(u"APP"), 1033}},
      {"a numbered group only",
       {{14, 3, 0, OldGroupRecord()}, {14, 9, 0, OldGroupRecord()}},
       true,
       {ResourceName(3), 0},
       Key{ResourceName(3), 0},
       Key{ResourceName(3), 0}},
      {"no group: MAINICON, language 0", {}, true, mainIcon, std::nullopt, mainIcon},
      {"MAINICON behind APP",
       {{14, u"APP", 1033, OldGroupRecord()}},
       false,
       mainIcon,
       Key{ResourceName(u"APP"), 1033},
       Key{ResourceName(u"APP"), 1033}},
      {"MAINICON before a numbered group",
       {{14, 3, 0, OldGroupRecord()}},
       false,
       mainIcon,
       Key{ResourceName(3), 0},
       mainIcon},
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
    const std::string name = c.changed.name.named()
                                 ? "\"" + platform::ToUtf8(c.changed.name.name()) + "\""
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
  for (const std::u16string& destination :
       {std::u16string(), std::u16string(u"bare.exe"),
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
    fault::InjectFailureAt(n);
    const auto outcome = Run(request);
    const bool injected = fault::InjectedFailureHappened();
    fault::InjectFailureAt(0);
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

// --- Edits besides the icon, in the same update --------------------------------

constexpr char kManifestText[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
    "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>"
    "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"
    "</requestedPrivileges></security></trustInfo>\n"
    "</assembly>\n";

Bytes TextBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A version resource as a resource compiler writes one, with a table of its
// language.
Bytes VersionResource(std::uint16_t language, VersionNumber version) {
  VersionInfo info = NewVersionInfo(version, version);
  char key[16];
  std::snprintf(key, sizeof key, "%04x04b0", language);
  info.tables[0].key = platform::FromUtf8(key);
  info.tables[0].strings.push_back({u"CompanyName", u"Old Company"});
  info.translations[0].language = language;
  return *WriteVersionInfo(info, nullptr);
}

std::optional<VersionInfo> VersionIn(const std::vector<LeafView>& leaves, std::uint16_t language) {
  const LeafView* leaf = FindLeaf(leaves, "16", "1", language);
  if (leaf == nullptr) return std::nullopt;
  return ParseVersionInfo(leaf->data, nullptr);
}

std::string StringIn(const VersionInfo& info, std::u16string_view key) {
  for (const StringTable& table : info.tables)
    for (const VersionString& s : table.strings)
      if (s.key == key) return platform::ToUtf8(s.value);
  return "(none)";
}

// The icon, the versions, a string and the execution level, in one change or
// in three one after the other: the same resources, and one backup of the
// file as it was.
TEST_F(ChangeWorkflowTest, OneChangeMakesEveryEditAsChangesOneAfterTheOtherDo) {
  ImageSpec spec;
  spec.resources = {{3, 1, 0, ImageBytes(60, 1)},
                    {14, u"MAINICON", 0, OldGroupRecord()},
                    {16, 1, 1031, VersionResource(1031, {1, 0, 0, 0})},
                    {16, 1, 1033, VersionResource(1033, {1, 0, 0, 0})},
                    {24, 1, 1033, TextBytes(kManifestText)}};
  original_ = BuildImage(spec);
  app::ChangeRequest all = Request();
  all.version.fileVersion = VersionNumber{1, 2, 3, 4};
  all.version.productVersion = VersionNumber{5, 6, 0, 0};
  all.version.strings = {{u"companyname", u"Acme"}, {u"ProductName", u"Tool"}};
  all.manifest.executionLevel = ExecutionLevel::RequireAdministrator;

  Reset();
  auto outcome = Run(all);
  ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
  EXPECT_EQ(ReadWholeFile(backup_), original_);
  const auto once = FileLeaves(exe_);

  Reset();
  app::ChangeRequest icon = Request(), version = Request(), manifest = Request();
  icon.backup = version.backup = manifest.backup = false;
  version.replaceIcon = manifest.replaceIcon = false;
  version.iconFile.clear();
  manifest.iconFile.clear();
  version.version = all.version;
  manifest.manifest = all.manifest;
  for (const auto& step : {icon, version, manifest}) {
    outcome = Run(step);
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
  }
  EXPECT_EQ(FileLeaves(exe_), once);

  EXPECT_EQ(GroupIds(FindLeaf(once, "14", kMainText, 0)->data), (std::vector<std::uint16_t>{1, 2}));
  for (const std::uint16_t language : {std::uint16_t{1031}, std::uint16_t{1033}}) {
    SCOPED_TRACE(language);
    const std::optional<VersionInfo> info = VersionIn(once, language);
    ASSERT_TRUE(info && info->fixed);
    EXPECT_EQ(info->fixed->fileVersion, (VersionNumber{1, 2, 3, 4}));
    EXPECT_EQ(info->fixed->productVersion, (VersionNumber{5, 6, 0, 0}));
    EXPECT_EQ(StringIn(*info, u"FileVersion"), "1.2.3.4");
    EXPECT_EQ(StringIn(*info, u"ProductVersion"), "5.6.0.0");
    EXPECT_EQ(StringIn(*info, u"CompanyName"), "Acme") << "the key's own spelling is kept";
    EXPECT_EQ(StringIn(*info, u"ProductName"), "Tool");
  }
  const LeafView* level = FindLeaf(once, "24", "1", 1033);
  ASSERT_NE(level, nullptr);
  EXPECT_EQ(RequestedExecutionLevel(level->data, nullptr),
            std::optional<std::string>("requireAdministrator"));
}

// Without an icon the change needs no icon file and leaves the icon group;
// the version information of every language, or of the one asked, is
// changed, or made when there is none; what cannot be done leaves the file.
TEST_F(ChangeWorkflowTest, VersionEditsGoWhereTheImageHasVersionInformationOrMakeIt) {
  struct Case {
    const char* what;
    std::vector<std::uint16_t> has;  // languages of version information; 0: a damaged one in 1033
    std::optional<std::uint16_t> language;
    bool dll;
    std::vector<std::uint16_t> changed;  // languages expected changed (or made)
    const char* says;                    // a failure's text; empty when done
  };
  const Case cases[] = {
      {"every language", {1031, 1033}, std::nullopt, false, {1031, 1033}, ""},
      {"the language asked", {1031, 1033}, 1031, false, {1031}, ""},
      {"none: made in US English", {}, std::nullopt, false, {1033}, ""},
      {"none: made in the language asked", {}, 1031, false, {1031}, ""},
      {"none, a DLL", {}, std::nullopt, true, {1033}, ""},
      {"not in the language asked",
       {1033},
       1031,
       false,
       {},
       "prog.exe: has no version information in language 1031 (0x0407); it has it in 1033 "
       "(0x0409)"},
      {"damaged",
       {0},
       std::nullopt,
       false,
       {},
       "the version information in language 1033 (0x0409) cannot be read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageSpec spec;
    spec.resources = {{3, 1, 0, ImageBytes(60, 1)}, {14, u"MAINICON", 0, OldGroupRecord()}};
    for (std::uint16_t language : c.has)
      spec.resources.push_back(
          {16, 1, static_cast<std::uint16_t>(language == 0 ? 1033 : language),
           language == 0 ? Bytes(90, 'v') : VersionResource(language, {1, 0, 0, 0})});
    original_ = BuildImage(spec);
    if (c.dll) {
      const std::uint32_t characteristics = ReadFacts(original_).ntHeaders + 22;
      original_[characteristics + 1] |= 0x20;  // IMAGE_FILE_DLL
    }
    Reset();
    const auto before = FileLeaves(exe_);
    app::ChangeRequest request = Request();
    request.replaceIcon = false;
    request.iconFile.clear();
    request.version.fileVersion = VersionNumber{2, 0, 0, 7};
    request.version.strings = {{u"CompanyName", u"Acme"}};
    request.version.language = c.language;
    const auto outcome = Run(request);
    if (*c.says != '\0') {
      EXPECT_EQ(outcome.status, ChangeStatus::Failed);
      EXPECT_EQ(outcome.step, FailedStep::Edit);
      EXPECT_NE(app::ErrorText(outcome.error).find(c.says), std::string::npos)
          << app::ErrorText(outcome.error);
      EXPECT_EQ(ReadWholeFile(exe_), original_);
      continue;
    }
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
    EXPECT_FALSE(outcome.changedGroup.has_value());
    const auto after = FileLeaves(exe_);
    EXPECT_EQ(FindLeaf(after, "14", kMainText, 0)->data, OldGroupRecord())
        << "the icon group changed";
    for (const LeafView& leaf : after) {
      if (leaf.type != "16") continue;
      const bool changed =
          std::find(c.changed.begin(), c.changed.end(), leaf.language) != c.changed.end();
      const std::optional<VersionInfo> info = ParseVersionInfo(leaf.data, nullptr);
      ASSERT_TRUE(info && info->fixed) << leaf.language;
      EXPECT_EQ(info->fixed->fileVersion,
                (changed ? VersionNumber{2, 0, 0, 7} : VersionNumber{1, 0, 0, 0}))
          << leaf.language;
      EXPECT_EQ(StringIn(*info, u"CompanyName"), changed ? "Acme" : "Old Company") << leaf.language;
      if (!c.has.empty()) continue;
      // Made: both versions from the one given, a table and a translation
      // of its language, the file type of what the image is.
      EXPECT_EQ(info->fixed->productVersion, (VersionNumber{2, 0, 0, 7}));
      EXPECT_EQ(info->fixed->fileType, c.dll ? kVftDll : kVftApp);
      char key[16];
      std::snprintf(key, sizeof key, "%04x04b0", leaf.language);
      ASSERT_EQ(info->tables.size(), 1u);
      EXPECT_EQ(platform::ToUtf8(info->tables[0].key), key);
      EXPECT_EQ(info->translations, (std::vector<Translation>{{leaf.language, 1200}}));
    }
    std::vector<std::uint16_t> languages;
    for (const LeafView& leaf : after)
      if (leaf.type == "16") languages.push_back(leaf.language);
    std::vector<std::uint16_t> expected = c.has;
    if (expected.empty()) expected = c.changed;
    EXPECT_EQ(languages, expected);
  }
}

// A change whose edits leave every resource as it is says so and leaves the
// file alone: not rewritten, no backup made, the shell not told; a new
// destination is still the executable's copy, and the shell hears of it. The
// same edits on another file change it.
TEST_F(ChangeWorkflowTest, AChangeThatChangesNothingLeavesTheFileAlone) {
  auto icon = [&](app::ChangeRequest& r) { r.iconFile = Utf16Path(ico3_); };
  auto version = [](app::ChangeRequest& r) {
    r.replaceIcon = false;
    r.version.fileVersion = VersionNumber{2, 0, 0, 7};
    r.version.strings = {{u"CompanyName", u"Acme"}};
  };
  auto level = [](app::ChangeRequest& r) {
    r.replaceIcon = false;
    r.manifest.executionLevel = ExecutionLevel::RequireAdministrator;
  };
  auto all = [&](app::ChangeRequest& r) {
    icon(r);
    version(r);
    level(r);
    r.replaceIcon = true;
  };
  const struct {
    const char* what;
    std::function<void(app::ChangeRequest&)> edit;
    bool copy;
  } cases[] = {
      {"the same icon", icon, false},
      {"the same versions and string", version, false},
      {"the same execution level", level, false},
      {"all of them, to a new copy", all, true},
  };
  ImageSpec spec;
  spec.resources = {{3, 1, 0, ImageBytes(60, 1)},
                    {14, u"MAINICON", 0, OldGroupRecord()},
                    {16, 1, 1033, VersionResource(1033, {1, 0, 0, 0})}};
  const Bytes pristine = BuildImage(spec);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    original_ = pristine;
    Reset();
    app::ChangeRequest request = Request();
    c.edit(request);
    request.backup = false;
    ASSERT_EQ(Run(request).status, ChangeStatus::Done);
    const Bytes changed = ReadWholeFile(exe_);
    EXPECT_NE(changed, pristine) << "the first run changed nothing";

    request.backup = true;
    if (c.copy) request.destination = Utf16Path(copy_);
    HookedFileSystem files;
    const auto outcome = app::RunChangeWorkflow(request, files);
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
    EXPECT_TRUE(outcome.unchanged);
    EXPECT_EQ(ReadWholeFile(exe_), changed);
    EXPECT_FALSE(fs::exists(backup_)) << "a backup of a file left as it was";
    EXPECT_EQ(files.changed, c.copy ? std::vector<std::u16string>{Utf16Path(copy_)}
                                    : std::vector<std::u16string>{});
    if (c.copy) {
      EXPECT_EQ(ReadWholeFile(copy_), changed);
    }
    EXPECT_TRUE(Parts().empty());

    // The same edits on the file as it first was change it, with a backup.
    WriteWholeFile(exe_, pristine);
    request.destination = Utf16Path(exe_);
    const auto again = Run(request);
    ASSERT_EQ(again.status, ChangeStatus::Done) << app::ErrorText(again.error);
    EXPECT_FALSE(again.unchanged);
    EXPECT_EQ(ReadWholeFile(exe_), changed);
    EXPECT_EQ(ReadWholeFile(backup_), pristine);
  }
}

TEST_F(ChangeWorkflowTest, TheManifestIsReplacedOrItsLevelSetOrOneIsMade) {
  const Bytes other = TextBytes(
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" "
      "manifestVersion=\"1.0\"><dependency/></assembly>");
  const Bytes broken = TextBytes("<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\">");
  Bytes withLevel = TextBytes(kManifestText);
  const std::string text(kManifestText);
  const std::size_t at = text.find("asInvoker");
  withLevel.erase(withLevel.begin() + static_cast<std::ptrdiff_t>(at),
                  withLevel.begin() + static_cast<std::ptrdiff_t>(at + 9));
  const std::string highest = "highestAvailable";
  withLevel.insert(withLevel.begin() + static_cast<std::ptrdiff_t>(at), highest.begin(),
                   highest.end());
  struct Case {
    const char* what;
    std::optional<Bytes> has;       // the image's manifest, in language 1033
    std::optional<Bytes> file;      // the manifest file given
    bool level;                     // highestAvailable asked for
    std::uint16_t language;         // where the manifest is expected
    std::optional<Bytes> expected;  // none: the change fails
    const char* says;
  };
  const Case cases[] = {
      {"replaced in its language", TextBytes(kManifestText), other, false, 1033, other, ""},
      {"added in language 0", std::nullopt, other, false, 0, other, ""},
      {"its level set, the rest kept", TextBytes(kManifestText), std::nullopt, true, 1033,
       withLevel, ""},
      {"made for the level", std::nullopt, std::nullopt, true, 0,
       NewManifest(ExecutionLevel::HighestAvailable), ""},
      {"a file that is not XML", std::nullopt, broken, false, 0, std::nullopt,
       "manifest.xml: is not a manifest"},
      {"a file of another document", std::nullopt, TextBytes("<html/>"), false, 0, std::nullopt,
       "is not an assembly"},
      {"an empty file", std::nullopt, Bytes{}, false, 0, std::nullopt,
       "manifest.xml: is not a manifest"},
      {"a broken manifest in the image", broken, std::nullopt, true, 1033, std::nullopt,
       "prog.exe: the manifest in language 1033 (0x0409): the manifest is not well-formed XML"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageSpec spec;
    spec.resources = {{3, 1, 0, ImageBytes(60, 1)}, {14, u"MAINICON", 0, OldGroupRecord()}};
    if (c.has) spec.resources.push_back({24, 1, 1033, *c.has});
    original_ = BuildImage(spec);
    Reset();
    app::ChangeRequest request = Request();
    if (c.file) {
      WriteWholeFile(folder_ / "manifest.xml", *c.file);
      request.manifest.file = Utf16Path(folder_ / "manifest.xml");
    }
    if (c.level) request.manifest.executionLevel = ExecutionLevel::HighestAvailable;
    const auto outcome = Run(request);
    if (!c.expected) {
      EXPECT_EQ(outcome.status, ChangeStatus::Failed);
      EXPECT_EQ(outcome.step, FailedStep::Edit);
      EXPECT_NE(app::ErrorText(outcome.error).find(c.says), std::string::npos)
          << app::ErrorText(outcome.error);
      EXPECT_EQ(ReadWholeFile(exe_), original_) << "the icon of a failed change reached the file";
      continue;
    }
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
    const auto after = FileLeaves(exe_);
    std::vector<const LeafView*> manifests;
    for (const LeafView& leaf : after)
      if (leaf.type == "24") manifests.push_back(&leaf);
    ASSERT_EQ(manifests.size(), 1u);
    EXPECT_EQ(manifests[0]->name, "1");
    EXPECT_EQ(manifests[0]->language, c.language);
    EXPECT_EQ(manifests[0]->data, *c.expected);
    EXPECT_EQ(GroupIds(FindLeaf(after, "14", kMainText, 0)->data),
              (std::vector<std::uint16_t>{1, 2}));
  }
}

// Where an icon file is expected, a square PNG is taken too, by its
// content; one that is not square is refused with the reason.
TEST_F(ChangeWorkflowTest, ASquarePngIsTakenAsTheIconFile) {
  struct Case {
    const char* name;
    Bytes content;
    std::size_t images;  // 0: refused
    const char* says;
  };
  const Case cases[] = {
      {"square.png", PngOfTestPattern(64, 64), std::size(kPngIconSizes), ""},
      {"square-named.ico", PngOfTestPattern(32, 32), std::size(kPngIconSizes), ""},
      {"wide.png", PngOfTestPattern(64, 32), 0,
       "wide.png: the PNG image is not square (64 x 32 pixels)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    WriteWholeFile(folder_ / c.name, c.content);
    app::ChangeRequest request = Request();
    request.iconFile = Utf16Path(folder_ / c.name);
    const auto outcome = Run(request);
    if (c.images == 0) {
      EXPECT_EQ(outcome.status, ChangeStatus::Failed);
      EXPECT_EQ(outcome.step, FailedStep::LoadIcon);
      EXPECT_NE(app::ErrorText(outcome.error).find(c.says), std::string::npos)
          << app::ErrorText(outcome.error);
      EXPECT_EQ(ReadWholeFile(exe_), original_);
      continue;
    }
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
    const auto leaves = FileLeaves(exe_);
    const Bytes record = FindLeaf(leaves, "14", kMainText, 0)->data;
    const std::optional<Bytes> icon = IconFileFromPng(c.content, nullptr);
    ASSERT_TRUE(icon.has_value());
    ASSERT_EQ(GroupIds(record).size(), c.images);
    EXPECT_TRUE(std::equal(record.begin(), record.begin() + 6, icon->begin()));
  }
}

// A signed image is reported as such; its certificate table stays (moved
// with the file's tail) unless the signature is stripped.
TEST_F(ChangeWorkflowTest, ASignedImageIsNamedAndItsSignatureKeptOrStripped) {
  const Bytes certificate = ImageBytes(0x208, 5);
  struct Case {
    const char* what;
    bool isSigned;
    bool strip;
  };
  const Case cases[] = {
      {"not signed", false, false}, {"signed", true, false}, {"signed, stripped", true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageSpec spec;
    spec.resources = {{3, 1, 0, ImageBytes(60, 1)}, {14, u"MAINICON", 0, OldGroupRecord()}};
    if (c.isSigned) spec.appended = certificate;
    original_ = BuildImage(spec);
    const std::uint32_t entry = ReadFacts(original_).dataDirectory + 8 * 4;
    if (c.isSigned) {
      StoreU32(original_.data() + entry,
               static_cast<std::uint32_t>(original_.size() - certificate.size()));
      StoreU32(original_.data() + entry + 4, static_cast<std::uint32_t>(certificate.size()));
    }
    Reset();
    app::ChangeRequest request = Request();
    request.options.stripSignature = c.strip;
    request.backup = false;
    const auto outcome = Run(request);
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
    EXPECT_EQ(outcome.wasSigned, c.isSigned);
    ExpectChanged(exe_);
    const Bytes after = ReadWholeFile(exe_);
    const std::uint32_t at = LoadU32(after.data() + entry),
                        size = LoadU32(after.data() + entry + 4);
    if (c.isSigned && !c.strip) {
      ASSERT_EQ(size, certificate.size());
      EXPECT_EQ(at + std::uint64_t{size}, after.size());
      EXPECT_TRUE(std::equal(certificate.begin(), certificate.end(), after.begin() + at));
    } else {
      EXPECT_EQ(at, 0u);
      EXPECT_EQ(size, 0u);
      EXPECT_EQ(std::search(after.begin(), after.end(), certificate.begin(), certificate.end()),
                after.end());
    }
  }
}

// --- Nothing lost: backups and copies whole or absent, one lock per run -------

TEST_F(ChangeWorkflowTest, AFailureAnywhereLeavesEveryFileWholeOrAbsent) {
  for (const bool toCopy : {false, true}) {
    bool sawFailure = false;
    for (std::uint64_t n = 1; n < 1000; ++n) {
      Reset();
      fault::InjectFailureAt(n);
      const auto outcome = Run(toCopy ? CopyRequest() : Request());
      const bool injected = fault::InjectedFailureHappened();
      const bool inWindow = fault::InjectedFailureWasInWindow();
      fault::InjectFailureAt(0);
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
    EXPECT_NE(app::ErrorText(outcome.error)
                  .find("the backup cannot be made there: it is " + std::string(c.what)),
              std::string::npos)
        << app::ErrorText(outcome.error);
    EXPECT_EQ(ReadWholeFile(exe_), original_) << c.what;
    EXPECT_TRUE(Parts().empty()) << c.what;
    fs::remove_all(backup_);
  }
}

TEST_F(ChangeWorkflowTest, LeftoversOfAKilledRunAreTakenOverOnlyWhenTheyAreOurs) {
  // A run killed while it wrote the backup, or while it made or changed a
  // copy, left its temporary copy (and the copy's journal) behind. The next
  // run on that name takes them over, or removes them when it changes the
  // file in place; whatever else lies at those names is left as it is.
  Bytes ourJournal = {'M', 'A', 'R', 'O', 'V', 'I', '-', 'U', 'N', 'D', 'O', '\n', 2, 0, 0, 0};
  ourJournal.resize(64, 0);  // cut short while its header was written
  const Bytes notOurs = Bytes(64, 7);
  enum class Kind { InPlace, ToCopy, InPlaceOnCopy };
  struct Case {
    const char* what;
    Kind run;
    char of;                         // the leftover is of the (b)ackup, the (c)opy, the (s)ource
    std::optional<Bytes> partBytes;  // none: no part left
    std::optional<Bytes> journal;    // of the part
    bool done;                       // the run succeeds; the leftovers go
  };
  const Bytes copyBegun(original_.begin(), original_.begin() + 100);
  const Bytes zip = {'P', 'K', 3, 4, 0, 0};
  const std::vector<Case> cases = {
      {"a backup begun", Kind::InPlace, 'b', copyBegun, std::nullopt, true},
      {"a copy begun, with its journal", Kind::ToCopy, 'c', copyBegun, ourJournal, true},
      {"an empty copy", Kind::ToCopy, 'c', Bytes(), std::nullopt, true},
      {"the journal of a copy that went", Kind::ToCopy, 'c', std::nullopt, ourJournal, true},
      {"a copy begun, removed by a run on the copy's name", Kind::InPlaceOnCopy, 'c', copyBegun,
       ourJournal, true},
      {"a copy to the source's name, removed by a copy from it", Kind::ToCopy, 's', copyBegun,
       ourJournal, true},
      {"a file of the user's at the copy's journal's name", Kind::ToCopy, 'c', copyBegun, notOurs,
       false},
      {"a file of the user's at the copy's name", Kind::ToCopy, 'c', zip, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    fs::create_directories(copy_.parent_path());
    for (const fs::path& p : {backup_, copy_, exe_}) {
      fs::remove(p.string() + ".marovi-part");
      fs::remove(p.string() + ".marovi-part.marovi-undo");
    }
    fs::remove(copy_.string() + ".bak");
    if (c.run == Kind::InPlaceOnCopy) fs::copy_file(exe_, copy_);
    const fs::path part =
        (c.of == 'b' ? backup_ : c.of == 'c' ? copy_ : exe_).string() + ".marovi-part";
    const fs::path journal = part.string() + ".marovi-undo";
    if (c.partBytes) WriteWholeFile(part, *c.partBytes);
    if (c.journal) WriteWholeFile(journal, *c.journal);
    app::ChangeRequest request = c.run == Kind::InPlace ? Request() : CopyRequest();
    if (c.run == Kind::InPlaceOnCopy) request.executable = request.destination;
    const auto outcome = Run(request);
    if (!c.done) {
      EXPECT_EQ(outcome.status, ChangeStatus::Failed);
      EXPECT_EQ(outcome.step, FailedStep::Copy);
      EXPECT_NE(app::ErrorText(outcome.error).find("left as it is"), std::string::npos)
          << app::ErrorText(outcome.error);
      EXPECT_EQ(ReadWholeFile(part), *c.partBytes);
      if (c.journal) {
        EXPECT_EQ(ReadWholeFile(journal), *c.journal);
      }
      EXPECT_FALSE(fs::exists(copy_));
      continue;
    }
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
    if (c.run == Kind::InPlace) EXPECT_EQ(ReadWholeFile(backup_), original_);
    else ExpectChanged(copy_);
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
       [this] {
         WriteWholeFile(exe_, Bytes{'M', 'Z', 'n', 'o'});
       },
       FailedStep::Begin, ErrorKind::NotAnImage},
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
      {"manifest", folder, ChangeStatus::Failed, FailedStep::Edit, "is a directory"},
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
  cases.insert(
      cases.end(),
      {{"executable", fifo, ChangeStatus::ExecutableMissing, FailedStep::None, "FIFO"},
       {"executable", "/dev/zero", ChangeStatus::ExecutableMissing, FailedStep::None,
        "is a device"},
       {"icon", fifo, ChangeStatus::Failed, FailedStep::LoadIcon, "FIFO"},
       {"icon", socketPath, ChangeStatus::Failed, FailedStep::LoadIcon, "is a socket"},
       {"icon", "/dev/zero", ChangeStatus::Failed, FailedStep::LoadIcon, "is a device"},
       {"destination", fifo, ChangeStatus::Failed, FailedStep::Begin, "FIFO"},
       {"destination", "/dev/null", ChangeStatus::Failed, FailedStep::Begin, "is a device"}});
  const fs::path device = "/dev/null";
  const std::uint32_t refusedDevice = EINVAL;
#else
  const fs::path device = folder_ / "NUL";  // the device, in every folder
  const std::uint32_t refusedDevice = 87;   // ERROR_INVALID_PARAMETER
  cases.insert(
      cases.end(),
      {{"executable", device, ChangeStatus::ExecutableMissing, FailedStep::None, "is a device"},
       {"icon", device, ChangeStatus::Failed, FailedStep::LoadIcon, "is a device"},
       {"destination", device, ChangeStatus::Failed, FailedStep::Begin, "is a device"}});
#endif
  for (const Case& c : cases) {
    auto request = Request();
    const std::string role = c.role;
    if (role == "executable") request.executable = Utf16Path(c.path);
    if (role == "icon") request.iconFile = Utf16Path(c.path);
    if (role == "destination") request.destination = Utf16Path(c.path);
    if (role == "manifest") request.manifest.file = Utf16Path(c.path);
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
  // The opens refuse a device themselves, should one take a file's place
  // after the checks above: as not a file, rather than as missing.
  const std::u16string deviceName = Utf16Path(device);
  const std::vector<std::function<platform::FileHandle()>> opens = {
      [&] { return platform::OpenFileByName(deviceName.c_str(), false, false); },
      [&] { return platform::OpenFileByName(deviceName.c_str(), true, false); },
      [&] { return platform::OpenFileShared(deviceName.c_str()); }};
  for (std::size_t i = 0; i < opens.size(); ++i) {
    platform::SetLastError(0);
    const platform::FileHandle file = opens[i]();
    EXPECT_EQ(file, platform::kInvalidFile) << "open " << i;
    EXPECT_EQ(platform::LastError(), refusedDevice) << "open " << i;
    if (file != platform::kInvalidFile) platform::CloseFile(file);
  }
}

TEST_F(ChangeWorkflowTest, MessagesNameTheFileAndTheSystemsReason) {
  struct Case {
    const char* what;
    std::function<app::ChangeRequest()> request;
    FailedStep step;
    fs::path file;       // the file the message names
    std::uint32_t code;  // the system's code, 0 for any
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
  // A journal that stays is not said to be removed.
  const std::string left = app::RecoveryText("a.exe", Recovery::LeftBehind);
  EXPECT_NE(left.find("a.exe: an undo journal that changes nothing is left beside it"),
            std::string::npos)
      << left;
  EXPECT_EQ(left.find("was removed"), std::string::npos) << left;
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
    EXPECT_EQ(outcome.error.kind, ErrorKind::Busy)
        << c.what << ": " << app::ErrorText(outcome.error);
    EXPECT_NE(app::ErrorText(outcome.error).find("held open by another program"),
              std::string::npos);
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
        const platform::FileHandle reader = platform::OpenFileShared(
            Utf16Path(toCopy ? fs::path(copy_.string() + ".marovi-part") : exe_).c_str());
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
      {false, Recovery::LeftBehind, ChangeStatus::Done, FailedStep::None},
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
    HookedFileSystem files(
        [&](const std::u16string& path, platform::FileHandle held, Error* error) {
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
    const bool noticed = c.recovery == Recovery::Undone || c.recovery == Recovery::Removed ||
                         c.recovery == Recovery::LeftBehind;
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
  const std::map<std::u16string, std::u16string> cases = {{u"C:\\a\\b.exe", u"C:\\a"},
                                                          {u"C:\\b.exe", u"C:\\"},
                                                          {u"C:b.exe", u"C:"},
                                                          {u"\\b.exe", u"\\"},
                                                          {u"b.exe", u""},
                                                          {u"", u""},
                                                          {u"C:\\a\\\\b.exe", u"C:\\a\\\\"},
                                                          {u"C:/x/y/z.exe", u"C:/x/y"},
                                                          {u"a\\b\\", u"a\\b"}};
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
