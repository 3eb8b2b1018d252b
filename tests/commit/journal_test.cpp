// The undo journal belongs to its file: a journal left by a killed change is
// applied only to that file in a state the change could have left; anything
// else at its name, or a file that was replaced since, is left as it is.
#include "engine/commit/journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "engine/platform/platform.h"
#include "tests/commit/commit_test_util.h"
#include "tests/support/fault_injection.h"

namespace marovi::test {
namespace {

namespace fs = std::filesystem;

struct Killed {
  platform::FileHandle image = platform::kInvalidFile;
  fs::path journal;
  bool taken = false;
  Bytes imageBytes;
  std::optional<Bytes> journalBytes;
};

void Snapshot(void* context) {
  auto& k = *static_cast<Killed*>(context);
  k.taken = true;
  std::uint64_t length = 0;
  ASSERT_TRUE(platform::GetFileLength(k.image, length));
  k.imageBytes.resize(static_cast<std::size_t>(length));
  ASSERT_TRUE(platform::ReadAt(k.image, 0, k.imageBytes.data(), k.imageBytes.size()));
  std::error_code ec;
  if (fs::exists(k.journal, ec)) k.journalBytes = ReadWholeFile(k.journal);
}

bool Sealed(const Bytes& journal) {
  return journal.size() >= 20 && LoadU32(journal.data() + kJournalStateField) == kStateSealed;
}

// A growing change of file killed once its journal was sealed and its image
// had begun to change: the image and the journal as the killed process left
// them. The file is the same one throughout (written over, never replaced),
// as the journal records which file it belongs to.
struct KilledChange {
  Bytes original;
  Bytes image;
  Bytes journal;
};

Bytes KillableImage() {
  ImageSpec spec;
  spec.sectionsBefore = {SectionSpec{".text", Filled(0x900, 0x41), 0, 0x60000020}};
  spec.resources = {{3, 1, 0, Filled(100, 1)}, {14, u"MAINICON", 0, Filled(20, 2)}};
  spec.appended = Filled(3000, 9);
  return BuildImage(spec);
}

KilledChange KillAChangeMidway(const ImageFile& file) {
  KilledChange out;
  out.original = file.Read();
  const fs::path journal = fs::path(file.path()).concat(".marovi-undo");
  for (std::uint64_t n = 1; n < 500; ++n) {
    WriteWholeFile(file.path(), out.original);
    ResourceUpdate* u = file.Begin();
    EXPECT_NE(u, nullptr);
    EXPECT_TRUE(UpdateResourceData(u, KeyOf(3), KeyOf(1), 0, Filled(9000, 4).data(), 9000));
    Killed k;
    k.image = u->fileHandle;
    k.journal = journal;
    fault::SimulateCrashAt(n, Snapshot, &k);
    EndResourceUpdate(u, false);
    fault::SimulateCrashAt(0, nullptr, nullptr);
    if (!k.taken) break;
    if (k.journalBytes && Sealed(*k.journalBytes) && k.imageBytes != out.original) {
      out.image = k.imageBytes;
      out.journal = *k.journalBytes;
      WriteWholeFile(file.path(), out.image);
      WriteWholeFile(journal, out.journal);
      return out;
    }
  }
  ADD_FAILURE() << "no crash left a sealed journal and a changed image";
  return out;
}

// Stores a field of a journal's header and makes its check right again, as
// a crafted journal would.
void Craft(Bytes& journal, std::size_t at, std::uint64_t value, bool wide) {
  if (wide) StoreU64(journal.data() + at, value);
  else StoreU32(journal.data() + at, static_cast<std::uint32_t>(value));
  const std::size_t size = kJournalHeaderSize + kJournalRecordSize * LoadU32(journal.data() + 20);
  StoreU32(journal.data() + 48,
           JournalHeaderCheck(std::span<const std::uint8_t>(journal.data(), size)));
}

TEST(Journal, IsAppliedOnlyToTheFileItWasWrittenFor) {
  enum class Outcome { Undone, SetAside, LeftInPlace };
  struct Case {
    const char* what;
    // Changes what the killed change left on disk.
    std::function<void(const fs::path& image, Bytes& journal, const KilledChange& k)> make;
    Outcome outcome;
  };
  auto crafted = [](std::size_t at, std::uint64_t value, bool wide) {
    return [=](const fs::path&, Bytes& journal, const KilledChange&) {
      Craft(journal, at, value, wide);
    };
  };
  auto userFile = [](Bytes bytes) {
    return [bytes](const fs::path&, Bytes& journal, const KilledChange&) { journal = bytes; };
  };
  const std::vector<Case> cases = {
      {"the file as the killed change left it", [](auto&, auto&, auto&) {}, Outcome::Undone},
      {"a new build copied over it (the same inode)",
       [](const fs::path& at, Bytes&, const KilledChange& k) {
         Bytes build = k.original;
         for (std::size_t i = 0x400; i < 0x600; ++i) build[i] ^= 0x5A;
         build.resize(build.size() - 0x200);
         WriteWholeFile(at, build);
       },
       Outcome::SetAside},
      {"a byte the change never writes changed",
       [](const fs::path& at, Bytes&, const KilledChange& k) {
         Bytes image = k.image;
         image[0x480] ^= 1;
         WriteWholeFile(at, image);
       },
       Outcome::SetAside},
      {"another file under its name, byte for byte the same",
       [](const fs::path& at, Bytes&, const KilledChange& k) {
         // Written beside it and renamed over it, so that it is another inode.
         const fs::path other = fs::path(at).concat(".new");
         WriteWholeFile(other, k.image);
         fs::rename(other, at);
       },
       Outcome::SetAside},
      {"a recorded length of 0", crafted(24, 0, true), Outcome::LeftInPlace},
      {"a recorded length of 0xFFFFFFFF", crafted(24, 0xFFFFFFFF, true), Outcome::LeftInPlace},
      {"a later length of 0xFFFFFFFF", crafted(64, 0xFFFFFFFF, true), Outcome::LeftInPlace},
      {"a kept range beyond the old length",
       crafted(kJournalHeaderSize + kJournalRecordSize + 8, 0x7FFFFF00, true),
       Outcome::LeftInPlace},
      {"a record of a kind this version does not know", crafted(kJournalHeaderSize, 2, false),
       Outcome::LeftInPlace},
      {"a short file of the user's at the journal's name",
       userFile(Bytes{'m', 'y', ' ', 'n', 'o', 't', 'e', 's'}), Outcome::LeftInPlace},
      {"a long file of the user's at the journal's name", userFile(Filled(500, 3)),
       Outcome::LeftInPlace},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageFile file(KillableImage());
    const KilledChange killed = KillAChangeMidway(file);
    ASSERT_FALSE(killed.journal.empty());
    const fs::path journal = fs::path(file.path()).concat(".marovi-undo");
    const fs::path aside = fs::path(journal).concat(".stale-1");
    Bytes journalBefore = killed.journal;
    c.make(file.path(), journalBefore, killed);
    WriteWholeFile(journal, journalBefore);
    const Bytes before = file.Read();
    Error error;
    const Recovery recovery = RecoverInterruptedChange(file.wide(), &error);
    switch (c.outcome) {
      case Outcome::Undone:
        EXPECT_EQ(recovery, Recovery::Undone) << error.detail;
        EXPECT_EQ(file.Read(), killed.original);
        EXPECT_FALSE(fs::exists(journal));
        break;
      case Outcome::SetAside:
        EXPECT_EQ(recovery, Recovery::Failed);
        EXPECT_EQ(file.Read(), before);
        EXPECT_FALSE(fs::exists(journal));
        ASSERT_TRUE(fs::exists(aside));
        EXPECT_EQ(ReadWholeFile(aside), journalBefore);
        EXPECT_NE(error.detail.find("was not applied"), std::string::npos) << error.detail;
        EXPECT_NE(error.detail.find(aside.filename().string()), std::string::npos) << error.detail;
        // It stops nothing now: the next run finds no journal.
        EXPECT_EQ(RecoverInterruptedChange(file.wide(), &error), Recovery::NothingToDo);
        break;
      case Outcome::LeftInPlace:
        EXPECT_EQ(recovery, Recovery::Failed);
        EXPECT_EQ(file.Read(), before);
        ASSERT_TRUE(fs::exists(journal));
        EXPECT_EQ(ReadWholeFile(journal), journalBefore);
        EXPECT_FALSE(error.detail.empty());
        break;
    }
  }
}

// A journal that changes nothing (never sealed, or spent: its change finished
// or was undone) is removed and never applied; when its name cannot be
// removed, no run says that it was.
TEST(Journal, AJournalThatChangesNothingIsNeverAppliedNorSaidRemovedWhileItStays) {
  ImageFile file(KillableImage());
  const KilledChange killed = KillAChangeMidway(file);
  ASSERT_FALSE(killed.journal.empty());
  for (const std::uint32_t state : {kStateBeingWritten, kStateSpent, kStateSealed}) {
    SCOPED_TRACE(state);
    Bytes journalBytes = killed.journal;
    StoreU32(journalBytes.data() + kJournalStateField, state);
    int leftBehind = 0;
    for (std::uint64_t n = 0;; ++n) {
      SCOPED_TRACE("failing call " + std::to_string(n));
      ASSERT_LT(n, 200u);
      WriteWholeFile(file.path(), killed.image);
      const fs::path journal = fs::path(file.path()).concat(".marovi-undo");
      WriteWholeFile(journal, journalBytes);
      fault::InjectFailureAt(n);
      Error error;
      Recovery recovery = RecoverInterruptedChange(file.wide(), &error);
      const bool failed = fault::InjectedFailureHappened();
      fault::InjectFailureAt(0);
      const bool stays = fs::exists(journal);
      if (recovery == Recovery::Removed) {
        EXPECT_FALSE(stays);
      }
      if (recovery == Recovery::LeftBehind) {
        EXPECT_TRUE(stays);
        ++leftBehind;
      }
      // A journal left behind, restored or not, is never applied by a later run.
      if (stays && (recovery == Recovery::Undone || recovery == Recovery::LeftBehind)) {
        const Bytes image = file.Read();
        recovery = RecoverInterruptedChange(file.wide(), &error);
        EXPECT_TRUE(recovery == Recovery::NothingToDo || recovery == Recovery::Removed)
            << static_cast<int>(recovery);
        EXPECT_EQ(file.Read(), image);
        EXPECT_FALSE(fs::exists(journal));
      }
      if (state != kStateSealed && recovery != Recovery::Failed) {
        EXPECT_EQ(file.Read(), killed.image);
      }
      if (n > 0 && !failed) break;
    }
    if (state != kStateSealed) {
      EXPECT_GT(leftBehind, 0);
    }
  }
}

}  // namespace
}  // namespace marovi::test
