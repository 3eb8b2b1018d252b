// One lock per run: held files refuse a second run, a run holds its files
// until it ends, and an interrupted change is put right before the next.
#include "tests/app/change_workflow_support.h"

namespace marovi::test {
namespace {

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

}  // namespace
}  // namespace marovi::test
