// The undo journal of a change in place: before the first byte of an image is
// overwritten, every byte the change will overwrite, the lengths the image
// may have while it changes, and what tells the image from any other file
// are written to a journal file beside it (JournalName), flushed, and sealed.
// A change that is killed, or cut short by a power failure, leaves the sealed
// journal behind; the next run on the image finds it and, when it belongs to
// the image as it is, puts the image back exactly as it was. A journal
// without its seal was cut short before the image was touched and is simply
// removed. The format and its states: journal_format.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/byte_range.h"
#include "engine/commit/journal_format.h"
#include "engine/engine.h"
#include "engine/platform/platform.h"

namespace marovi {

// Whole blocks that the file system inserts (count > 0) or removes (count <
// 0) at `at`, moving everything behind them without copying it
// (platform::ShiftFileRange). Kept ranges are offsets of the image as it was.
struct JournalShift {
  std::uint64_t at = 0;
  std::int64_t count = 0;
};

// What a change tells its journal besides the ranges it overwrites.
struct JournalFacts {
  std::uint64_t imageLength = 0;  // before the change
  // The other lengths the image may have while the change runs (0: none).
  std::array<std::uint64_t, 3> laterLengths{};
  // The change writes nothing before this offset outside its ranges.
  std::uint64_t untouchedEnd = 0;
  // The tail's move by the file system, when it moves that way.
  std::optional<JournalShift> shift;
};

// The journal of one change of an image open for writing (and locked).
class Journal {
 public:
  // beside: the journal lies beside the image (JournalName), where a later
  // run finds it; otherwise it is the scratch file scratchName, which only
  // undoes failures of this run. sync: flushed to disk at each step that
  // needs it.
  Journal(platform::FileHandle image, std::u16string imageName, bool beside, bool sync,
          std::string scratchName = std::string());
  // Closes the journal; removes it unless it is sealed and was not removed.
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Keeps the facts and the bytes of ranges (of the image, which the change
  // will overwrite), then seals the journal: only then may the image change.
  bool Write(const JournalFacts& facts, std::span<const ByteRange> ranges, Error& error);
  // Puts the image back: the tail's shift undone, its old length, then the
  // kept bytes. The image must not be mapped (Windows cannot shorten a
  // mapped file).
  bool Restore(Error& error);
  // Removes the journal once the image holds the finished change (flushed
  // first, for a durable change) or has been put back. A sealed journal
  // whose name cannot be removed is marked spent instead (true), and
  // leftBehind() tells so.
  bool Remove(Error& error);
  bool leftBehind() const { return leftBehind_; }

  enum class Found {
    None,      // no file at the journal's name
    Unsealed,  // one of ours that never let the image change
    Spent,     // one of ours whose change finished or was undone
    Sealed,    // one of ours to apply, once Matches
    Earlier,   // sealed by an earlier version, which cannot tell its image
    Foreign,   // not one of ours (error says what): left as it is
    Damaged,   // one of ours that cannot be read: left as it is
  };
  // Opens the journal beside the image, for a recovery.
  Found Open(Error& error);
  // Whether a sealed journal belongs to the image as it is now: its identity,
  // one of the recorded lengths, the untouched bytes as hashed. error says
  // which does not, or why the image cannot be looked at (then false too).
  bool Matches(Error& error);
  // Closes the journal and renames it aside (NAME.stale-N), so that it no
  // longer stops changes of the image; the new name, or empty when it
  // cannot be renamed.
  std::u16string SetAside();

 private:
  Found Read(Error& error);
  bool UndoShift(const JournalRecord& shift);
  // The steps of Write: the identity of the image, the journal's file, and
  // its contents written and sealed (whole, or copied and then sealed).
  bool NoteIdentity(Error& error);
  bool CreateJournal(Error& error);
  bool WriteWhole(const std::vector<std::uint8_t>& header, std::span<const ByteRange> ranges,
                  Error& error);
  bool CopyThenSeal(const std::vector<std::uint8_t>& header, Error& error);
  bool Failed(const char* what, Error& error) const;

  platform::FileHandle image_;
  std::u16string imageName_;
  std::u16string name_;
  std::string scratchName_;
  bool beside_;
  bool sync_;
  platform::FileHandle file_ = platform::kInvalidFile;
  bool sealed_ = false;
  bool leftBehind_ = false;
  JournalHeader header_;
};

}  // namespace marovi
