// The change workflow on real files: the checks and their order, backups
// that are never overwritten, copies to new destinations, what the shell is
// told and the outcome of failed changes.
#include "tests/app/change_workflow_support.h"

namespace marovi::test {
namespace {

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

}  // namespace
}  // namespace marovi::test
