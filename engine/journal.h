// The undo journal of a change in place: before the first byte of an image is
// overwritten, every byte the change will overwrite and the image's length
// are written to a journal file beside it (JournalName), flushed, and sealed.
// A change that is killed, or cut short by a power failure, leaves the sealed
// journal behind; the next run on the image finds it and puts the image back
// exactly as it was. A journal without its seal was cut short before the
// image was touched and is simply removed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "engine/platform.h"

namespace marovi {

// A range of the image whose bytes the change will overwrite.
struct JournalRange {
  std::uint64_t at = 0;
  std::uint64_t count = 0;
};

// Blocks the change inserts (count > 0) or removes (count < 0) at `at`, with
// everything behind them moving (platform::ShiftFileRange). Recovery undoes
// that with the inverse operation before it puts the kept bytes back; kept
// ranges are offsets of the image as it was.
struct JournalShift {
  std::uint64_t at = 0;
  std::int64_t count = 0;
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

  // Keeps the image's length and the bytes of ranges, then seals the
  // journal: only then may the image change.
  bool Write(std::uint64_t imageLength, std::span<const JournalRange> ranges, Error& error,
             std::optional<JournalShift> shift = std::nullopt);
  // Puts the image back: its old length, then the kept bytes. The image
  // must not be mapped (Windows cannot shorten a mapped file).
  bool Restore(Error& error);
  // Removes the journal once the image holds the finished change (flushed
  // first, for a durable change) or has been put back.
  bool Remove(Error& error);

  enum class Found { None, Unsealed, Sealed, Damaged };
  // Opens the journal beside the image, for a recovery.
  Found Open(Error& error);

 private:
  Found Read(Error& error);
  bool UndoShift();

  platform::FileHandle image_;
  std::u16string imageName_;
  std::u16string name_;
  std::string scratchName_;
  bool beside_;
  bool sync_;
  platform::FileHandle file_ = platform::kInvalidFile;
  bool sealed_ = false;
  std::uint64_t imageLength_ = 0;
  std::vector<JournalRange> ranges_;
  std::optional<JournalShift> shift_;
};

}  // namespace marovi
