// Recovery from a tail shift that a crash cut short. The file system moves
// the extents behind an inserted or removed range one piece at a time, so a
// power cut can leave any of the states below; each is made here with the
// file system's own calls on a real file and must be put back byte for byte
// by the next run, as must a recovery that was itself cut short.
#include <gtest/gtest.h>

#if defined(__linux__)
#include <fcntl.h>
#include <linux/falloc.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/commit/commit.h"
#include "engine/commit/journal.h"
#include "engine/platform/platform.h"
#include "tests/commit/commit_test_util.h"
#include "tests/support/fault_injection.h"

namespace marovi::test {
namespace {

#if defined(__linux__)

struct SealedChange {
  Bytes image;
  Bytes journal;
  std::uint64_t at = 0;     // where the journal's shift inserts or removes
  std::int64_t count = 0;   // how many bytes (negative: removed)
};

struct Capture {
  platform::FileHandle image = platform::kInvalidFile;
  std::filesystem::path journal;
  std::optional<Bytes> sealed;
};

// Keeps the journal when it is sealed at this call.
std::uint64_t Get64(const Bytes& b, std::uint64_t at) {
  return Get32(b, at) | std::uint64_t{Get32(b, at + 4)} << 32;
}

void KeepSealedJournal(void* context) {
  auto& c = *static_cast<Capture*>(context);
  std::error_code ec;
  if (!std::filesystem::exists(c.journal, ec)) return;
  const Bytes bytes = ReadWholeFile(c.journal);
  if (bytes.size() > kJournalHeaderSize && Get32(bytes, kJournalStateField) == kStateSealed)
    c.sealed = bytes;
}

// The journal of a commit of changes to image as it is once sealed, and the
// shift it records: commits crashed at each call in turn until one finds it.
std::optional<SealedChange> SealedJournal(const Bytes& image, const std::vector<Change>& changes) {
  for (std::uint64_t n = 1; n < 1000; ++n) {
    ImageFile file(image);
    ResourceUpdate* u = file.Begin();
    if (u == nullptr || !ApplyChanges(u, changes)) return std::nullopt;
    Capture capture;
    capture.image = u->fileHandle;
    capture.journal = std::filesystem::path(file.path()).concat(".marovi-undo");
    fault::SimulateCrashAt(n, KeepSealedJournal, &capture);
    const bool committed = EndResourceUpdate(u, false);
    fault::SimulateCrashAt(0, nullptr, nullptr);
    if (!committed) return std::nullopt;
    if (!capture.sealed) continue;
    SealedChange change{image, *capture.sealed, 0, 0};
    const Bytes& j = change.journal;
    for (std::uint32_t i = 0; i < Get32(j, 20); ++i) {
      const std::size_t r = kJournalHeaderSize + kJournalRecordSize * i;
      if (Get32(j, r) != static_cast<std::uint32_t>(RecordKind::TailShift)) continue;
      change.at = Get64(j, r + 8);
      change.count = static_cast<std::int64_t>(Get64(j, r + 16));
    }
    return change;
  }
  return std::nullopt;
}

// The journal as if written for file: its identity, and its header's check.
Bytes JournalFor(Bytes journal, const ImageFile& file) {
  const platform::FileHandle handle =
      platform::OpenFileByName(file.wide(), /*forWriting=*/false, /*create=*/false);
  platform::FileIdentity identity;
  EXPECT_TRUE(platform::GetFileIdentity(handle, identity));
  platform::CloseFile(handle);
  for (std::size_t i = 0; i < 8; ++i) {
    journal[88 + i] = static_cast<std::uint8_t>(identity.device >> (8 * i));
    journal[96 + i] = static_cast<std::uint8_t>(identity.index >> (8 * i));
  }
  const std::size_t table = kJournalHeaderSize + std::size_t{kJournalRecordSize} * Get32(journal, 20);
  const std::uint32_t check =
      JournalHeaderCheck(std::span<const std::uint8_t>(journal.data(), table));
  for (std::size_t i = 0; i < 4; ++i) journal[48 + i] = static_cast<std::uint8_t>(check >> (8 * i));
  return journal;
}

// The file systems' own calls, on the image file by name.
struct RawFile {
  explicit RawFile(const std::filesystem::path& path) : fd(open(path.c_str(), O_RDWR)) {}
  ~RawFile() {
    if (fd >= 0) close(fd);
  }
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;
  bool Insert(std::uint64_t at, std::uint64_t n) const {
    return fallocate(fd, FALLOC_FL_INSERT_RANGE, static_cast<off_t>(at), static_cast<off_t>(n)) == 0;
  }
  bool Collapse(std::uint64_t at, std::uint64_t n) const {
    return fallocate(fd, FALLOC_FL_COLLAPSE_RANGE, static_cast<off_t>(at),
                     static_cast<off_t>(n)) == 0;
  }
  bool Punch(std::uint64_t at, std::uint64_t n) const {
    return fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(at),
                     static_cast<off_t>(n)) == 0;
  }
  bool Length(std::uint64_t n) const { return ftruncate(fd, static_cast<off_t>(n)) == 0; }
  bool Write(std::uint64_t at, const Bytes& bytes) const {
    return pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)) ==
           static_cast<ssize_t>(bytes.size());
  }
  int fd;
};

struct CutShort {
  std::string name;
  // Also cut the recovery itself short at each of its calls in turn.
  bool sweep;
  // Leaves the file as a crash inside the shift (or inside its undoing) can.
  std::function<bool(const RawFile&, std::uint64_t at, std::uint64_t size, std::uint64_t length)>
      make;
};

// For an insertion of size bytes at `at`: nothing yet; the length grown and
// no extent moved; the extents from an extent boundary q on moved (the gap
// at q, as also an undoing cut short leaves it); all moved; all moved and
// the gap's blocks written in part.
std::vector<CutShort> InsertionStates(std::uint64_t block) {
  std::vector<CutShort> out;
  out.push_back({"nothing inserted", false, [](const RawFile&, auto, auto, auto) { return true; }});
  out.push_back({"length grown, nothing moved", true,
                 [](const RawFile& f, auto, std::uint64_t size, std::uint64_t old) {
                   return f.Length(old + size);
                 }});
  for (std::uint64_t q : {block, 3 * block, 64 * block}) {
    out.push_back({"moved from " + std::to_string(q / block) + " blocks behind", q == 3 * block,
                   [q](const RawFile& f, std::uint64_t at, std::uint64_t size, std::uint64_t old) {
                     return at + q < old && f.Insert(at + q, size);
                   }});
  }
  out.push_back({"all moved", true, [](const RawFile& f, std::uint64_t at, std::uint64_t size, auto) {
                   return f.Insert(at, size);
                 }});
  out.push_back({"all moved, the gap written in part", false,
                 [block](const RawFile& f, std::uint64_t at, std::uint64_t size, auto) {
                   return f.Insert(at, size) && f.Write(at, Filled(block + 100, 9));
                 }});
  return out;
}

// For a removal: nothing yet; the range punched out only; the extents up to
// q moved down (the gap at q, as also an undoing cut short leaves it); all
// moved but the length not yet cut; all done.
std::vector<CutShort> RemovalStates(std::uint64_t block) {
  std::vector<CutShort> out;
  out.push_back({"nothing removed", false, [](const RawFile&, auto, auto, auto) { return true; }});
  out.push_back({"punched only", false, [](const RawFile& f, std::uint64_t at, std::uint64_t size, auto) {
                   return f.Punch(at, size);
                 }});
  for (std::uint64_t q : {std::uint64_t{0}, block, 5 * block, 64 * block}) {
    out.push_back({"moved up to " + std::to_string(q / block) + " blocks behind", q == 5 * block,
                   [q](const RawFile& f, std::uint64_t at, std::uint64_t size, std::uint64_t old) {
                     return at + q + size < old && f.Collapse(at, size) && f.Insert(at + q, size);
                   }});
  }
  out.push_back({"all moved, length not cut", true,
                 [](const RawFile& f, std::uint64_t at, std::uint64_t size, std::uint64_t old) {
                   return f.Collapse(at, size) && f.Length(old);
                 }});
  out.push_back({"all done", true, [](const RawFile& f, std::uint64_t at, std::uint64_t size, auto) {
                   return f.Collapse(at, size);
                 }});
  return out;
}

ImageSpec LongTailSpec(std::vector<ResourceSpec> resources) {
  ImageSpec spec;
  spec.pe32Plus = true;
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x300, 7), 0, kDiscardableData}};
  spec.relocations = {{".text", 0x10}};
  spec.resources = std::move(resources);
  spec.appended = Filled(600 * 1024 + 77, 5);
  return spec;
}

TEST(ShiftRecoveryTest, EveryStateACrashInsideAShiftLeavesIsPutBack) {
  const std::uint32_t block = TempRangeBlockSize();
  if (block == 0) GTEST_SKIP() << "the temporary folder's file system cannot shift ranges";
  struct Case {
    const char* name;
    Bytes image;
    std::vector<Change> changes;
    bool grows;
  };
  const Case cases[] = {
      {"growing", BuildImage(LongTailSpec({{3, 1, 0, Filled(0x3000, 1)}, {14, 1, 0, Filled(20, 2)}})),
       {{3, 1, 0, Filled(40000, 4)}}, true},
      {"shrinking",
       BuildImage(LongTailSpec({{3, 1, 0, Filled(0x12000, 1)}, {14, 1, 0, Filled(20, 2)}})),
       {{3, 1, 0, Filled(0x9000, 4)}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<SealedChange> sealed = SealedJournal(c.image, c.changes);
    ASSERT_TRUE(sealed.has_value());
    ASSERT_NE(sealed->count, 0) << "the commit did not plan a shift";
    ASSERT_EQ(sealed->count > 0, c.grows);
    const std::uint64_t size = static_cast<std::uint64_t>(sealed->count < 0 ? -sealed->count
                                                                             : sealed->count);
    const std::uint64_t length = c.image.size();
    const auto states = c.grows ? InsertionStates(block) : RemovalStates(block);
    for (const CutShort& state : states) {
      SCOPED_TRACE(state.name);
      // Cut short itself by a failure at each of its calls in turn, the
      // recovery is finished by the next run.
      for (std::uint64_t n = 1;; ++n) {
        SCOPED_TRACE("recovery failing at call " + std::to_string(n));
        ASSERT_LT(n, 200u);
        ImageFile file(c.image);
        const auto journal = std::filesystem::path(file.path()).concat(".marovi-undo");
        WriteWholeFile(journal, JournalFor(sealed->journal, file));
        {
          const RawFile raw(file.path());
          ASSERT_TRUE(state.make(raw, sealed->at, size, length)) << "cannot make the state";
        }
        Error error;
        fault::InjectFailureAt(state.sweep ? n : 0);
        const Recovery first = RecoverInterruptedChange(file.wide(), &error);
        const bool failed = fault::InjectedFailureHappened();
        fault::InjectFailureAt(0);
        if (!failed) {
          EXPECT_EQ(first, Recovery::Undone) << error.detail;
        } else {
          // Whatever the run cut short left, the next one finishes.
          const std::string why = error.detail;
          const Recovery second = RecoverInterruptedChange(file.wide(), &error);
          EXPECT_NE(second, Recovery::Failed) << why << " / " << error.detail;
        }
        EXPECT_FALSE(std::filesystem::exists(journal));
        EXPECT_TRUE(file.Read() == c.image) << "not put back byte for byte";
        if (!failed) break;
      }
    }
  }
}

#else

TEST(ShiftRecoveryTest, EveryStateACrashInsideAShiftLeavesIsPutBack) {
  GTEST_SKIP() << "no file system here inserts or removes ranges";
}

#endif

}  // namespace
}  // namespace marovi::test
