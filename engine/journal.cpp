// The undo journal. Its layout, all little-endian:
//
//   0   12 bytes  "MAROVI-UNDO\n"
//   12  u32       version (1)
//   16  u32       state: 0 while it is being written, kSealed once it is whole
//   20  u32       number of kept ranges
//   24  u64       the image's length before the change
//   32  u64       where the kept bytes begin in the journal
//   40  u64       how many kept bytes there are
//   48  u32       check of bytes 0-47 (state counted as 0) and the range table
//   52  u32       check of the kept bytes, when 56 holds 1
//   56  u32       1: the kept bytes are checked (a small journal, sealed and
//                 flushed in one go); 0: sealed only after they were flushed
//   64            the range table: per range u64 offset in the image, u64 byte
//                 count, u64 offset of its bytes in the journal
//   then          the kept bytes
//
// A change that shifts the tail by whole blocks (inserted or removed by the
// file system instead of copied) records that as one more, last entry of the
// range table whose journal offset is all ones: u64 where the blocks were
// inserted or removed, u64 how many bytes (two's complement, negative for a
// removal). It holds no kept bytes; recovery undoes it first.
//
// Recovery tells whether the shift happened by the image's length: the
// shift changes it, and the commit plans no later step that brings it back
// to the old length. A shift is one call to the file system. The kernel
// changes the file's length and shifts its extents inside one journal
// handle that it may extend and restart for a large extent tree, so a power
// cut in the middle of one can in principle leave the length changed and
// only part of the extents shifted; that state cannot be produced or told
// from a finished shift here, and is not undone correctly.
//
// The seal is written, in one write inside one sector, only after everything
// before it (and, for a durable change, after it has been flushed): a journal
// without it never let the change touch the image.
#include "engine/journal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "engine/bytes.h"
#include "engine/image.h"

namespace marovi {

namespace {

constexpr char kMagic[12] = {'M', 'A', 'R', 'O', 'V', 'I', '-', 'U', 'N', 'D', 'O', '\n'};
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kSealed = 0x4C414553;  // "SEAL"
constexpr std::uint32_t kHeaderSize = 64;
constexpr std::uint32_t kRangeSize = 24;
constexpr std::uint32_t kStateField = 16;
constexpr std::uint32_t kCheckField = 48;
constexpr std::uint32_t kPayloadCheckField = 52;
constexpr std::uint32_t kPayloadCheckedField = 56;
// Up to this many kept bytes the journal is written whole from memory with
// a check of them, and flushed once; more are copied file to file, flushed,
// and only then sealed (the second flush costs less than reading them).
constexpr std::uint64_t kCheckedPayload = 1u << 20;
// Far more than a change keeps; a larger count is a damaged journal.
constexpr std::uint32_t kMaxRanges = 1u << 16;
// The journal offset that marks the entry of a shift.
constexpr std::uint64_t kShiftEntry = ~std::uint64_t{0};
// No shift moves the tail by 2 GiB or more: the image would not fit its format.
constexpr std::uint64_t kMaxShift = 0x7FFFFFFF;

// FNV-1a: enough to tell a whole header from a damaged one.
std::uint32_t Check(const std::uint8_t* bytes, std::size_t count,
                    std::uint32_t hash = 2166136261u) {
  for (std::size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 16777619u;
  return hash;
}

std::uint32_t HeaderCheck(const std::vector<std::uint8_t>& header) {
  std::uint8_t first[kCheckField];
  std::memcpy(first, header.data(), kCheckField);
  StoreU32(first + kStateField, 0);
  return Check(header.data() + kHeaderSize, header.size() - kHeaderSize, Check(first, kCheckField));
}

Error JournalError(const std::u16string& name, std::string detail, std::uint32_t code) {
  ErrorKind kind = platform::ClassifyError(code);
  if (kind != ErrorKind::DiskFull) kind = ErrorKind::Journal;
  return MakeError(kind, std::move(detail), code, platform::ToUtf8(name));
}

}  // namespace

std::u16string JournalName(std::u16string_view imageName) {
  return std::u16string(imageName) + u".marovi-undo";
}

Journal::Journal(platform::FileHandle image, std::u16string imageName, bool beside, bool sync,
                 std::string scratchName)
    : image_(image),
      imageName_(std::move(imageName)),
      name_(beside ? JournalName(imageName_) : platform::FromUtf8(scratchName)),
      scratchName_(std::move(scratchName)),
      beside_(beside),
      sync_(sync) {}

Journal::~Journal() {
  if (file_ == platform::kInvalidFile) return;
  platform::CloseFile(file_);
  // A sealed journal stays for the next run, unless this run removed it.
  try {
    if (beside_ && !sealed_) platform::DeleteFileByName(name_.c_str());
  } catch (...) {
    // An unsealed journal left behind is removed by the next run.
  }
}

bool Journal::Write(std::uint64_t imageLength, std::span<const JournalRange> ranges, Error& error,
                    std::optional<JournalShift> shift) {
  imageLength_ = imageLength;
  ranges_.assign(ranges.begin(), ranges.end());
  shift_ = shift;
  file_ = beside_ ? platform::CreateJournalFile(name_.c_str())
                  : platform::CreateScratchFile(scratchName_);
  if (file_ == platform::kInvalidFile) {
    const std::uint32_t code = platform::LastError();
    error = JournalError(name_,
                         code == platform::ErrorFileExists()
                             ? "an undo journal of an earlier change is in the way"
                             : "cannot create the undo journal",
                         code);
    return false;
  }
  const std::size_t entries = ranges_.size() + (shift_ ? 1 : 0);
  std::vector<std::uint8_t> header(kHeaderSize + kRangeSize * entries, 0);
  std::memcpy(header.data(), kMagic, sizeof kMagic);
  StoreU32(header.data() + 12, kVersion);
  StoreU32(header.data() + 20, static_cast<std::uint32_t>(entries));
  StoreU64(header.data() + 24, imageLength);
  std::uint64_t at = header.size();
  StoreU64(header.data() + 32, at);
  for (std::size_t i = 0; i < ranges_.size(); ++i) {
    std::uint8_t* entry = header.data() + kHeaderSize + kRangeSize * i;
    StoreU64(entry, ranges_[i].at);
    StoreU64(entry + 8, ranges_[i].count);
    StoreU64(entry + 16, at);
    at += ranges_[i].count;
  }
  if (shift_) {
    std::uint8_t* entry = header.data() + kHeaderSize + kRangeSize * ranges_.size();
    StoreU64(entry, shift_->at);
    StoreU64(entry + 8, static_cast<std::uint64_t>(shift_->count));
    StoreU64(entry + 16, kShiftEntry);
  }
  StoreU64(header.data() + 40, at - header.size());
  StoreU32(header.data() + kCheckField, HeaderCheck(header));

  auto fail = [&](const char* what) {
    error = JournalError(name_, what, platform::LastError());
    return false;
  };
  const std::uint64_t payload = at - header.size();
  if (payload <= kCheckedPayload) {
    // Sealed in the same write as everything else: a power cut that keeps
    // the seal but not all the kept bytes shows in their check, and such a
    // journal never let the image change.
    std::vector<std::uint8_t> whole(header.size() + static_cast<std::size_t>(payload));
    std::copy(header.begin(), header.end(), whole.begin());
    std::size_t into = header.size();
    for (const JournalRange& range : ranges_) {
      if (range.count != 0 && !platform::ReadAt(image_, range.at, whole.data() + into,
                                                static_cast<std::size_t>(range.count)))
        return fail("cannot read what the change will overwrite");
      into += static_cast<std::size_t>(range.count);
    }
    StoreU32(whole.data() + kStateField, kSealed);
    StoreU32(whole.data() + kPayloadCheckField,
             Check(whole.data() + header.size(), static_cast<std::size_t>(payload)));
    StoreU32(whole.data() + kPayloadCheckedField, 1);
    if (!platform::WriteAt(file_, 0, whole.data(), whole.size()))
      return fail("cannot write the undo journal");
    sealed_ = true;
    if (sync_ && !platform::FlushFile(file_)) return fail("cannot flush the undo journal to disk");
  } else {
    if (!platform::WriteAt(file_, 0, header.data(), header.size()))
      return fail("cannot write the undo journal");
    std::uint64_t into = header.size();
    for (const JournalRange& range : ranges_) {
      if (!platform::CopyFileRange(image_, range.at, file_, into, range.count))
        return fail("cannot write the undo journal");
      into += range.count;
    }
    if (sync_ && !platform::FlushFile(file_)) return fail("cannot flush the undo journal to disk");
    std::uint8_t seal[4];
    StoreU32(seal, kSealed);
    if (!platform::WriteAt(file_, kStateField, seal, sizeof seal))
      return fail("cannot seal the undo journal");
    sealed_ = true;
    if (sync_ && !platform::FlushFile(file_)) return fail("cannot flush the undo journal to disk");
  }
  // The journal's name must survive a power cut before the image changes.
  if (sync_ && beside_ && !platform::FlushFolderOf(name_.c_str()))
    return fail("cannot flush the folder of the undo journal to disk");
  return true;
}

bool Journal::Restore(Error& error) {
  auto fail = [&](const char* what) {
    const std::uint32_t code = platform::LastError();
    error = MakeError(platform::ClassifyError(code), what, code, platform::ToUtf8(imageName_));
    return false;
  };
  if (shift_ && !UndoShift()) return fail("cannot move what lies behind the resources back");
  if (!platform::SetFileLength(image_, imageLength_))
    return fail("cannot give the file its old length back");
  // From the last range back: the kept bytes lie in the same order.
  std::uint64_t end = kHeaderSize + kRangeSize * (ranges_.size() + (shift_ ? 1 : 0));
  for (const JournalRange& range : ranges_) end += range.count;
  for (std::size_t i = ranges_.size(); i-- > 0;) {
    end -= ranges_[i].count;
    if (!platform::CopyFileRange(file_, end, image_, ranges_[i].at, ranges_[i].count))
      return fail("cannot put the old bytes back");
  }
  if (sync_ && !platform::FlushFile(image_)) return fail("cannot flush the file to disk");
  return true;
}

// The inverse of the recorded shift, when the image's length shows that it
// happened; by the inverse call, or where that is refused (the image was
// moved to another file system) by copying the tail back.
bool Journal::UndoShift() {
  std::uint64_t length = 0;
  if (!platform::GetFileLength(image_, length)) return false;
  if (length == imageLength_) return true;  // never shifted, or shifted back already
  const std::uint64_t at = shift_->at;
  const std::int64_t count = shift_->count;
  const std::uint64_t shifted = imageLength_ + static_cast<std::uint64_t>(count);
  // A signature cut off behind the shifted tail: its bytes are kept.
  if (length < shifted && !platform::SetFileLength(image_, shifted)) return false;
  const platform::RangeResult inverse = platform::ShiftFileRange(image_, at, -count);
  if (inverse == platform::RangeResult::Done) return true;
  if (inverse == platform::RangeResult::Failed) return false;
  std::uint64_t moved = 0;
  if (count > 0) {
    const auto size = static_cast<std::uint64_t>(count);
    return MoveFileBytes(image_, at + size, at, shifted - at - size, moved, nullptr);
  }
  const auto size = static_cast<std::uint64_t>(-count);
  return platform::SetFileLength(image_, shifted + size) &&
         MoveFileBytes(image_, at, at + size, shifted - at, moved, nullptr);
}

bool Journal::Remove(Error& error) {
  if (file_ == platform::kInvalidFile) return true;
  if (!beside_) {
    platform::CloseFile(file_);
    file_ = platform::kInvalidFile;
    return true;
  }
  // Removed while still open (it is shared for deletion on Windows), so that
  // a failure leaves it at hand to put the image back.
  if (!platform::DeleteFileByName(name_.c_str())) {
    const std::uint32_t code = platform::LastError();
    // Unsealed, it would only be removed by the next run; sealed, it would
    // undo a change that succeeded.
    const std::uint8_t zero[4] = {};
    if (!platform::WriteAt(file_, kStateField, zero, sizeof zero) ||
        (sync_ && !platform::FlushFile(file_))) {
      error = JournalError(name_, "cannot remove the undo journal", code);
      return false;
    }
  }
  sealed_ = false;
  platform::CloseFile(file_);
  file_ = platform::kInvalidFile;
  // The removal is not flushed: should a power cut bring the journal back,
  // the next run undoes the change, and the file is whole either way.
  return true;
}

// Reads a journal found beside an image: its ranges and the image's length,
// or whether it was never sealed.
Journal::Found Journal::Read(Error& error) {
  auto damaged = [&](const char* what) {
    error = MakeError(ErrorKind::Journal, what, 0, platform::ToUtf8(name_));
    return Found::Damaged;
  };
  std::uint64_t length = 0;
  if (!platform::GetFileLength(file_, length)) {
    error = JournalError(name_, "cannot read the undo journal", platform::LastError());
    return Found::Damaged;
  }
  std::vector<std::uint8_t> header(kHeaderSize);
  if (length < kHeaderSize) return Found::Unsealed;  // cut short while its header was written
  if (!platform::ReadAt(file_, 0, header.data(), kHeaderSize)) {
    error = JournalError(name_, "cannot read the undo journal", platform::LastError());
    return Found::Damaged;
  }
  if (std::memcmp(header.data(), kMagic, sizeof kMagic) != 0 ||
      LoadU32(header.data() + 12) != kVersion)
    return damaged("is not an undo journal of this program");
  if (LoadU32(header.data() + kStateField) != kSealed) return Found::Unsealed;
  const std::uint32_t count = LoadU32(header.data() + 20);
  if (count > kMaxRanges) return damaged("the undo journal is damaged (range count)");
  header.resize(kHeaderSize + std::size_t{kRangeSize} * count);
  if (!platform::ReadAt(file_, kHeaderSize, header.data() + kHeaderSize,
                        header.size() - kHeaderSize))
    return damaged("the undo journal is damaged (cut short)");
  if (LoadU32(header.data() + kCheckField) != HeaderCheck(header))
    return damaged("the undo journal is damaged (its header does not check)");
  imageLength_ = LoadU64(header.data() + 24);
  if (LoadU32(header.data() + kPayloadCheckedField) == 1) {
    // Sealed and flushed in one go: kept bytes that do not check were cut
    // short, and the image was never touched.
    const std::uint64_t payload = LoadU64(header.data() + 40);
    if (payload > kCheckedPayload ||
        payload > length - std::min<std::uint64_t>(length, header.size()))
      return Found::Unsealed;
    std::vector<std::uint8_t> kept(static_cast<std::size_t>(payload));
    if (payload != 0 && !platform::ReadAt(file_, header.size(), kept.data(), kept.size()))
      return Found::Unsealed;
    if (Check(kept.data(), kept.size()) != LoadU32(header.data() + kPayloadCheckField))
      return Found::Unsealed;
  }
  std::uint64_t at = header.size();
  if (LoadU64(header.data() + 32) != at) return damaged("the undo journal is damaged (layout)");
  ranges_.clear();
  shift_.reset();
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* entry = header.data() + kHeaderSize + kRangeSize * i;
    if (LoadU64(entry + 16) == kShiftEntry) {
      const auto shift = static_cast<std::int64_t>(LoadU64(entry + 8));
      const std::uint64_t size = shift < 0 ? 0 - LoadU64(entry + 8) : LoadU64(entry + 8);
      if (i + 1 != count || shift == 0 || size > kMaxShift || LoadU64(entry) >= imageLength_ ||
          (shift < 0 && size > imageLength_ - LoadU64(entry)))
        return damaged("the undo journal is damaged (its shift of the tail)");
      shift_ = JournalShift{LoadU64(entry), shift};
      continue;
    }
    const JournalRange range{LoadU64(entry), LoadU64(entry + 8)};
    if (LoadU64(entry + 16) != at || range.count > length - std::min(length, at) ||
        range.at > imageLength_ || range.count > imageLength_ - range.at)
      return damaged("the undo journal is damaged (a range outside it or the file)");
    ranges_.push_back(range);
    at += range.count;
  }
  return Found::Sealed;
}

Recovery RecoverInterruptedChange(const char16_t* imageName, Error* error) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  const std::u16string journalName = JournalName(imageName);
  // Looked for without opening the image, which would take its lock.
  const platform::FileHandle probe = platform::OpenJournalFile(journalName.c_str());
  if (probe == platform::kInvalidFile) {
    const std::uint32_t code = platform::LastError();
    if (code == platform::ErrorFileNotFound()) return Recovery::NothingToDo;
    e = JournalError(journalName, "cannot open the undo journal", code);
    return Recovery::Failed;
  }
  platform::CloseFile(probe);
  const platform::FileHandle image =
      platform::OpenFileByName(imageName, /*forWriting=*/true, /*create=*/false);
  if (image == platform::kInvalidFile) {
    const std::uint32_t code = platform::LastError();
    e = MakeError(platform::ClassifyError(code),
                  "an interrupted change cannot be undone: cannot open the file", code,
                  platform::ToUtf8(imageName));
    return Recovery::Failed;
  }
  const Recovery result = RecoverInterruptedChange(image, imageName, &e);
  platform::CloseFile(image);
  return result;
}

Recovery RecoverInterruptedChange(platform::FileHandle image, const char16_t* imageName,
                                  Error* error) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  Journal journal(image, imageName, /*beside=*/true, /*sync=*/true);
  const Journal::Found found = journal.Open(e);
  switch (found) {
    case Journal::Found::None: return Recovery::NothingToDo;
    case Journal::Found::Damaged: return Recovery::Failed;
    case Journal::Found::Unsealed: return journal.Remove(e) ? Recovery::Removed : Recovery::Failed;
    case Journal::Found::Sealed: break;
  }
  if (!journal.Restore(e)) return Recovery::Failed;
  return journal.Remove(e) ? Recovery::Undone : Recovery::Failed;
}

Journal::Found Journal::Open(Error& error) {
  file_ = platform::OpenJournalFile(name_.c_str());
  if (file_ == platform::kInvalidFile) {
    const std::uint32_t code = platform::LastError();
    if (code == platform::ErrorFileNotFound()) return Found::None;
    error = JournalError(name_, "cannot open the undo journal", code);
    return Found::Damaged;
  }
  const Found found = Read(error);
  sealed_ = found == Found::Sealed;
  // A damaged journal is left where it is, for a person to look at.
  if (found == Found::Damaged) {
    platform::CloseFile(file_);
    file_ = platform::kInvalidFile;
  }
  return found;
}

}  // namespace marovi
