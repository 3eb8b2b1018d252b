// Failures injected into every fallible file service, and into every
// allocation, of an update from its beginning to its commit: each run either
// commits completely or fails with the file as it was.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "engine/commit/commit.h"
#include "engine/commit/journal.h"
#include "engine/platform/platform.h"
#include "tests/commit/commit_test_util.h"
#include "tests/commit/fault_scenarios.h"
#include "tests/support/fault_injection.h"

// Allocation failures: when armed, the n-th allocation from then on throws.
namespace {
long g_allocFailAt = 0;
long g_allocCount = 0;
bool g_allocFailed = false;

void ArmAllocationFailure(long n) {
  g_allocCount = 0;
  g_allocFailed = false;
  g_allocFailAt = n;
}
}  // namespace

// These replace the global operators, so malloc and free pair up with them;
// GCC cannot see that once it inlines them into the library's callers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  if (g_allocFailAt > 0 && ++g_allocCount == g_allocFailAt) {
    g_allocFailed = true;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace marovi::test {
namespace {

// Sets the scenario's refusal of block moves for as long as it lives.
struct RangeRefusal {
  explicit RangeRefusal(bool refuse) { fault::RefuseRangeShifts(refuse); }
  ~RangeRefusal() { fault::RefuseRangeShifts(false); }
  RangeRefusal(const RangeRefusal&) = delete;
  RangeRefusal& operator=(const RangeRefusal&) = delete;
};

class FaultTest : public ::testing::TestWithParam<bool> {
 protected:
  void TearDown() override {
    fault::InjectFailureAt(0);
    ArmAllocationFailure(0);
    EXPECT_TRUE(LeftoverScratchFiles().empty());
  }
};

// The sweeps below drive the same calls whatever the header form: they run
// every scenario on PE32+ images, and on PE32 images the growing and the
// shrinking one, where the headers' fixes differ by form (the optional
// header's size, the data directories' place, 32-bit image bases in the
// relocations).
struct SweepCase {
  Scenario scenario;
  bool pe32Plus;
  std::string name;
};

std::vector<SweepCase> SweepCases() {
  std::vector<SweepCase> out;
  for (bool pe32Plus : {true, false})
    for (Scenario& s : Scenarios(pe32Plus)) {
      const std::string name = s.name;
      if (!pe32Plus && name != "growing" && name != "shrinking") continue;
      out.push_back({std::move(s), pe32Plus, std::string(pe32Plus ? "PE32+ " : "PE32 ") + name});
    }
  return out;
}

class FaultSweepTest : public FaultTest {};

void ReportInjectionPoints(const char* sweep, long points) {
  std::cout << "[          ] " << sweep << ": " << points << " injection points\n";
}

TEST_F(FaultSweepTest, EveryFailingFileServiceLeavesTheFileCommittedOrAsItWas) {
  long points = 0;
  for (const SweepCase& sweep : SweepCases()) {
    const Scenario& scenario = sweep.scenario;
    SCOPED_TRACE(sweep.name);
    const RangeRefusal refusal(scenario.refuseRanges);
    const ResourceMap expected = Applied(ReadResources(scenario.image).resources, scenario.changes);
    int committed = 0, refused = 0, inWindow = 0, beginFailed = 0, updateFailed = 0, written = 0;
    for (std::uint64_t n = 1;; ++n) {
      SCOPED_TRACE("failing call " + std::to_string(n));
      ASSERT_LT(n, 5000u) << "the injected failure never stops happening";
      ImageFile file(scenario.image);
      fault::InjectFailureAt(n);
      ResourceUpdate* u = nullptr;
      EXPECT_NO_THROW(u = file.Begin());
      if (u == nullptr) {
        const bool happened = fault::InjectedFailureHappened();
        fault::InjectFailureAt(0);
        EXPECT_TRUE(happened) << "begin failed without an injected failure";
        EXPECT_TRUE(file.Read() == scenario.image);
        EXPECT_TRUE(Reopenable(file));
        ++beginFailed;
        continue;
      }
      if (!ApplyChanges(u, scenario.changes)) {
        // A change that failed is not committed: the caller gives up.
        EXPECT_TRUE(fault::InjectedFailureHappened());
        EXPECT_TRUE(EndResourceUpdate(u, true));
        fault::InjectFailureAt(0);
        EXPECT_TRUE(LeftoverScratchFiles().empty());
        EXPECT_TRUE(file.Read() == scenario.image);
        ++updateFailed;
        continue;
      }
      Error error;
      const bool result = EndResourceUpdate(u, false, &error);
      const bool happened = fault::InjectedFailureHappened();
      const bool window = fault::InjectedFailureWasInWindow();
      fault::InjectFailureAt(0);
      EXPECT_TRUE(LeftoverScratchFiles().empty());
      EXPECT_TRUE(Reopenable(file));
      const Bytes after = file.Read();
      if (result) {
        ++committed;
        const CommitDeltas d = ExpectCommitted(scenario.image, after, expected);
        EXPECT_EQ((d.raw > 0) - (d.raw < 0), scenario.rawSign);
        const std::uint32_t block = TempRangeBlockSize();
        // (A failed probe for holes makes the commit copy the tail.)
        if (scenario.byBlocks && block != 0 && !happened) {
          EXPECT_EQ(d.raw % block, 0) << "the tail was copied";
        }
      } else {
        // Even a failure while the tail moves is undone: growing, by moving
        // it back; shrinking, from what the undo journal kept.
        inWindow += window ? 1 : 0;
        ++refused;
        EXPECT_TRUE(after == scenario.image) << "a failed commit changed the file";
        ExpectTheFailedCallsReason(error, written);
      }
      if (!happened) {
        EXPECT_TRUE(result) << "a commit without a failure failed";
        break;
      }
    }
    // Every stage was reached: beginning, storing, and the commit itself.
    EXPECT_GT(beginFailed, 0);
    EXPECT_GT(updateFailed, 0);
    EXPECT_GT(refused, 0);
    EXPECT_GT(written, 0);
    EXPECT_GE(committed, 1);
    points += beginFailed + updateFailed + refused + committed;
    std::cout << "[          ] " << sweep.name << ": begin failed " << beginFailed
              << ", update failed " << updateFailed << ", commit refused " << refused << " ("
              << inWindow << " while moving the tail)"
              << ", committed " << committed << "\n";
  }
  ReportInjectionPoints("failing file services", points);
}

TEST_F(FaultSweepTest, EveryFailingAllocationInTheCommitReleasesEverythingAndKeepsTheFile) {
  long points = 0;
  for (const SweepCase& sweep : SweepCases()) {
    const Scenario& scenario = sweep.scenario;
    SCOPED_TRACE(sweep.name);
    const RangeRefusal refusal(scenario.refuseRanges);
    const ResourceMap expected = Applied(ReadResources(scenario.image).resources, scenario.changes);
    int leftBehind = 0;
    long n = 1;
    for (;; ++n) {
      SCOPED_TRACE("failing allocation " + std::to_string(n));
      ASSERT_LT(n, 5000) << "the injected failure never stops happening";
      ImageFile file(scenario.image);
      ResourceUpdate* u = file.Begin();
      ASSERT_NE(u, nullptr);
      ASSERT_TRUE(ApplyChanges(u, scenario.changes));
      bool result = false;
      ArmAllocationFailure(n);
      try {
        result = EndResourceUpdate(u, false);
      } catch (...) {
        ArmAllocationFailure(0);
        ADD_FAILURE() << "EndResourceUpdate let an exception out";
        return;
      }
      const bool happened = g_allocFailed;
      ArmAllocationFailure(0);
      EXPECT_TRUE(Reopenable(file)) << "the file is still held";
      // Deleting a scratch file is best effort: without memory for its name
      // while the tree is freed, it stays. Nothing else may.
      for (const std::string& name : LeftoverScratchFiles()) {
        EXPECT_TRUE(happened);
        std::filesystem::remove(std::filesystem::path(platform::TempDirectory()) / name);
        ++leftBehind;
      }
      const Bytes after = file.Read();
      if (result) ExpectCommitted(scenario.image, after, expected);
      else EXPECT_TRUE(after == scenario.image) << "a commit cut short changed the file";
      if (!happened) {
        EXPECT_TRUE(result);
        break;
      }
    }
    points += n;
    std::cout << "[          ] " << sweep.name << ": " << n - 1
              << " allocations failed in turn, " << leftBehind << " scratch files left behind\n";
  }
  ReportInjectionPoints("failing allocations", points);
}

// What a process killed at one moment of a commit leaves on disk: the image
// and its undo journal as they stand then (the page cache survives a kill).
struct CrashSnapshot {
  platform::FileHandle image = platform::kInvalidFile;
  std::filesystem::path journal;
  bool taken = false;
  Bytes imageBytes;
  std::optional<Bytes> journalBytes;
};

void TakeSnapshot(void* context) {
  auto& s = *static_cast<CrashSnapshot*>(context);
  s.taken = true;
  // Through the commit's own handle: Windows lets no one else open the image.
  std::uint64_t length = 0;
  ASSERT_TRUE(platform::GetFileLength(s.image, length));
  s.imageBytes.resize(static_cast<std::size_t>(length));
  ASSERT_TRUE(platform::ReadAt(s.image, 0, s.imageBytes.data(), s.imageBytes.size()));
  std::error_code ec;
  if (std::filesystem::exists(s.journal, ec)) s.journalBytes = ReadWholeFile(s.journal);
}

// A crash at every platform call of a commit: the next run puts the image
// back from the journal, or finds the commit finished.
TEST_F(FaultSweepTest, ACrashAtAnyCallOfACommitIsUndoneByTheNextRun) {
  long points = 0;
  for (const SweepCase& sweep : SweepCases()) {
    const Scenario& scenario = sweep.scenario;
    SCOPED_TRACE(sweep.name);
    const RangeRefusal refusal(scenario.refuseRanges);
    const ResourceMap expected = Applied(ReadResources(scenario.image).resources, scenario.changes);
    int undone = 0, removed = 0, untouched = 0, finished = 0;
    for (std::uint64_t n = 1;; ++n) {
      SCOPED_TRACE("crash before call " + std::to_string(n));
      ASSERT_LT(n, 5000u);
      ImageFile file(scenario.image);
      ResourceUpdate* u = file.Begin();
      ASSERT_NE(u, nullptr);
      ASSERT_TRUE(ApplyChanges(u, scenario.changes));
      // Durable on PE32+, against kills only on PE32: the flushes are
      // calls to crash at as well.
      u->options.sync = sweep.pe32Plus;
      CrashSnapshot snapshot;
      snapshot.image = u->fileHandle;
      snapshot.journal = std::filesystem::path(file.path()).concat(".marovi-undo");
      fault::SimulateCrashAt(n, TakeSnapshot, &snapshot);
      const bool committed = EndResourceUpdate(u, false);
      fault::SimulateCrashAt(0, nullptr, nullptr);
      EXPECT_TRUE(committed);
      ++points;
      if (!snapshot.taken) break;  // the commit made fewer calls

      // The disk as the killed process left it.
      WriteWholeFile(file.path(), snapshot.imageBytes);
      if (snapshot.journalBytes) WriteWholeFile(snapshot.journal, *snapshot.journalBytes);
      else std::filesystem::remove(snapshot.journal);
      Error error;
      const Recovery recovery = RecoverInterruptedChange(file.wide(), &error);
      EXPECT_NE(recovery, Recovery::Failed) << error.detail;
      EXPECT_FALSE(std::filesystem::exists(snapshot.journal))
          << "the journal outlives the recovery";
      const Bytes after = file.Read();
      switch (recovery) {
        case Recovery::Undone: ++undone; break;
        case Recovery::Removed: ++removed; break;
        default: break;
      }
      if (after == scenario.image) {
        if (recovery == Recovery::NothingToDo) ++untouched;
      } else {
        // Only a commit whose journal was gone already had finished.
        EXPECT_EQ(recovery, Recovery::NothingToDo) << "the image is neither as it was nor changed";
        ExpectCommitted(scenario.image, after, expected);
        ++finished;
      }
      EXPECT_TRUE(Reopenable(file));
    }
    // Crashes came before the journal, while it was written, and while the
    // image changed. (Removing the journal is the commit's last call, so no
    // crash comes after it.)
    EXPECT_GT(untouched, 0);
    EXPECT_GT(removed, 0);
    EXPECT_GT(undone, 0);
    std::cout << "[          ] " << sweep.name << ": crashes undone " << undone
              << ", unsealed journals removed " << removed << ", before any journal " << untouched
              << ", after the commit " << finished << "\n";
  }
  ReportInjectionPoints("crashes", points);
}

// A commit that strips a signature at the end of the file shortens it: a
// failure injected at any call, or a crash at any call followed by the next
// run's recovery, leaves the file as it was or as a clean commit leaves it.
// At the same raw size the journal keeps the table's bytes for the cut alone.
TEST_P(FaultTest, ACutOffSignatureComesBackAfterAFailureOrACrash) {
  const Bytes certificate = Filled(0x208, 6);
  struct Case {
    const char* name;
    Bytes change;
  };
  const Case cases[] = {{"same raw size", Filled(296, 9)}, {"growing", Filled(40000, 8)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageSpec spec = BaseSpec(GetParam());
    spec.resources = {{3, 1, 0, Filled(40000, 1)}, {3, 2, 0, Filled(300, 2)}};
    spec.appended.insert(spec.appended.end(), certificate.begin(), certificate.end());
    Bytes image = BuildImage(spec);
    const Headers h(image);
    Set32(image, h.Dir(4), static_cast<std::uint32_t>(image.size() - certificate.size()));
    Set32(image, h.Dir(4) + 4, static_cast<std::uint32_t>(certificate.size()));
    Set32(image, h.CheckSum(), StandardChecksum(image, h.CheckSum()));
    const std::vector<Change> changes = {{3, 2, 0, c.change}};
    // Begins, changes, commits with the signature stripped; null when the
    // update could not begin or take the change.
    auto run = [&](ImageFile& file, bool sync, const std::function<void(ResourceUpdate*)>& before) {
      ResourceUpdate* u = file.Begin();
      if (u == nullptr) return std::optional<bool>();
      if (!ApplyChanges(u, changes)) {
        EndResourceUpdate(u, true);
        return std::optional<bool>();
      }
      u->options.stripSignature = true;
      u->options.sync = sync;
      before(u);
      return std::optional<bool>(EndResourceUpdate(u, false));
    };
    Bytes stripped;
    {
      ImageFile file(image);
      ASSERT_EQ(run(file, true, [](ResourceUpdate*) {}), std::optional<bool>(true));
      stripped = file.Read();
      ASSERT_EQ(stripped.size() + certificate.size() - image.size(),
                Get32(stripped, h.Sec(ResourceSectionIndex(stripped)) + kSizeOfRawData) -
                    Get32(image, h.Sec(ResourceSectionIndex(image)) + kSizeOfRawData));
    }
    int failed = 0, undone = 0;
    for (std::uint64_t n = 1;; ++n) {
      SCOPED_TRACE("failing call " + std::to_string(n));
      ASSERT_LT(n, 5000u);
      ImageFile file(image);
      fault::InjectFailureAt(n);
      const std::optional<bool> result = run(file, true, [](ResourceUpdate*) {});
      const bool happened = fault::InjectedFailureHappened();
      fault::InjectFailureAt(0);
      EXPECT_TRUE(Reopenable(file));
      const Bytes after = file.Read();
      if (result == std::optional<bool>(true)) EXPECT_TRUE(after == stripped);
      else EXPECT_TRUE(after == image) << "a failed commit changed the file";
      failed += result == std::optional<bool>(false) ? 1 : 0;
      if (!happened) break;
    }
    for (std::uint64_t n = 1;; ++n) {
      SCOPED_TRACE("crash before call " + std::to_string(n));
      ASSERT_LT(n, 5000u);
      ImageFile file(image);
      CrashSnapshot snapshot;
      snapshot.journal = std::filesystem::path(file.path()).concat(".marovi-undo");
      ASSERT_EQ(run(file, GetParam(),
                    [&](ResourceUpdate* u) {
                      snapshot.image = u->fileHandle;
                      fault::SimulateCrashAt(n, TakeSnapshot, &snapshot);
                    }),
                std::optional<bool>(true));
      fault::SimulateCrashAt(0, nullptr, nullptr);
      if (!snapshot.taken) break;
      WriteWholeFile(file.path(), snapshot.imageBytes);
      if (snapshot.journalBytes) WriteWholeFile(snapshot.journal, *snapshot.journalBytes);
      else std::filesystem::remove(snapshot.journal);
      Error error;
      const Recovery recovery = RecoverInterruptedChange(file.wide(), &error);
      EXPECT_NE(recovery, Recovery::Failed) << error.detail;
      undone += recovery == Recovery::Undone ? 1 : 0;
      const Bytes after = file.Read();
      EXPECT_TRUE(after == image || (recovery == Recovery::NothingToDo && after == stripped))
          << "the image is neither as it was nor stripped";
    }
    EXPECT_GT(failed, 0);
    EXPECT_GT(undone, 0);
  }
}

// A store that fails must not leave its leaf to be committed as zeros or
// leave a scratch file behind.
TEST_P(FaultTest, AFailedLargeStoreKeepsTheOldDataForTheCommit) {
  const Bytes before =
      BuildImage(SpecWith(GetParam(), {{3, 1, 0, Filled(100, 1)}, {3, 2, 0, Filled(50, 2)}}));
  for (std::uint64_t failing : {1u, 2u}) {  // creating the scratch file, writing it
    SCOPED_TRACE(failing);
    ImageFile file(before);
    UpdateGuard u(file.Begin());
    ASSERT_TRUE(u);
    const Bytes large = Filled(40000, 3);
    fault::InjectFailureAt(failing);
    Error error;
    const bool replaced = UpdateResourceData(u.get(), MakeIntResource(3), MakeIntResource(1), 0,
                                             large.data(), 40000, &error);
    const bool added =
        UpdateResourceData(u.get(), MakeIntResource(3), MakeIntResource(7), 0, large.data(), 40000);
    fault::InjectFailureAt(0);
    EXPECT_FALSE(replaced);
    EXPECT_TRUE(error.kind == ErrorKind::Io && error.osCode != 0) << error.detail;
    EXPECT_NE(error.file.find("$qor$res$"), std::string::npos) << error.file;
    EXPECT_TRUE(added);
    EXPECT_EQ(OpenScratchFiles().size(), 1u);
    ASSERT_TRUE(u.End(false));
    const Bytes after = file.Read();
    ExpectCommitted(
        before, after,
        {{"#3/#1/0", {Filled(100, 1)}}, {"#3/#2/0", {Filled(50, 2)}}, {"#3/#7/0", {large}}});
  }
}

// Large data replacing large data: the old scratch file has to go before the
// new one (they share the leaf's name), so a failure leaves the leaf without
// bytes, and the commit refuses it instead of writing zeros.
TEST_P(FaultTest, ALargeStoreOverLargeDataThatFailsMakesTheCommitFail) {
  const Bytes before = BuildImage(SpecWith(GetParam(), {{3, 1, 0, Filled(100, 1)}}));
  ImageFile file(before);
  UpdateGuard u(file.Begin());
  ASSERT_TRUE(u);
  const Bytes first = Filled(40000, 3), second = Filled(50000, 4);
  ASSERT_TRUE(
      UpdateResourceData(u.get(), MakeIntResource(3), MakeIntResource(1), 0, first.data(), 40000));
  fault::InjectFailureAt(1);
  EXPECT_FALSE(
      UpdateResourceData(u.get(), MakeIntResource(3), MakeIntResource(1), 0, second.data(), 50000));
  fault::InjectFailureAt(0);
  EXPECT_TRUE(LeftoverScratchFiles().empty());
  Error error;
  EXPECT_FALSE(u.End(false, &error));
  EXPECT_EQ(error.kind, ErrorKind::Internal);
  EXPECT_EQ(error.detail, "a resource has lost its data");
  EXPECT_TRUE(file.Read() == before);
  EXPECT_TRUE(Reopenable(file));
}

TEST_P(FaultTest, AScratchFileThatCannotBeReadBackFailsTheCommitBeforeTheFileIsTouched) {
  const Bytes before = BuildImage(SpecWith(GetParam(), {{3, 1, 0, Filled(100, 1)}}));
  ImageFile file(before);
  UpdateGuard u(file.Begin());
  ASSERT_TRUE(u);
  const Bytes large = Filled(40000, 3);
  ASSERT_TRUE(
      UpdateResourceData(u.get(), MakeIntResource(3), MakeIntResource(1), 0, large.data(), 40000));
  // The scratch file loses its bytes: reading it back comes up short.
  TResItem* leaf = Child(Child(Child(u->root.get(), "3"), "1"), "0");
  const ScratchFile* scratch = leaf->leaf().data.scratch();
  ASSERT_NE(scratch, nullptr);
  ASSERT_TRUE(platform::SetFileLength(scratch->get(), 1000));
  EXPECT_FALSE(u.End(false));
  EXPECT_TRUE(file.Read() == before);
  EXPECT_TRUE(Reopenable(file));
}

INSTANTIATE_TEST_SUITE_P(Forms, FaultTest, ::testing::Bool(), FormName);

}  // namespace
}  // namespace marovi::test
