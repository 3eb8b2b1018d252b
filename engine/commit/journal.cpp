// Writing, applying and removing undo journals, and the recovery of an image
// that a change cut short. The format and its states: journal_format.cpp.
#include "engine/commit/journal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "engine/pe/bytes.h"

namespace marovi {

namespace {

constexpr std::uint32_t kPayloadCheckField = 52;
constexpr std::uint32_t kPayloadCheckedField = 56;
// Up to this many kept bytes the journal is written whole from memory with
// a check of them, and flushed once; more are copied file to file, flushed,
// and only then sealed (the second flush costs less than reading them).
constexpr std::uint64_t kCheckedPayload = 1u << 20;
// Names tried for a journal set aside.
constexpr int kMaxStaleNames = 1000;

// A failure of the journal's own file: a full disk is told as such, any
// other reason (code) as the journal's.
Error JournalError(const std::u16string& name, std::string detail, std::uint32_t code) {
  ErrorKind kind = platform::ClassifyError(code);
  if (kind != ErrorKind::DiskFull) kind = ErrorKind::Journal;
  return MakeError(kind, std::move(detail), code, platform::ToUtf8(name));
}

// The same for the platform call on the journal that has just failed.
Error JournalCallError(const std::u16string& name, std::string detail) {
  return JournalError(name, std::move(detail), platform::LastError());
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

bool Journal::Failed(const char* what, Error& error) const {
  error = JournalCallError(name_, what);
  return false;
}

bool Journal::Write(const JournalFacts& facts, std::span<const ByteRange> ranges, Error& error) {
  JournalHeader& h = header_;
  h = JournalHeader();
  h.lengths = {facts.imageLength, facts.laterLengths[0], facts.laterLengths[1],
               facts.laterLengths[2]};
  const std::size_t recordCount = ranges.size() + (facts.shift ? 1 : 0);
  std::uint64_t at = kJournalHeaderSize + std::uint64_t{kJournalRecordSize} * recordCount;
  h.payloadAt = at;
  for (const ByteRange& range : ranges) {
    h.records.push_back(JournalRecord{RecordKind::KeptBytes, range.offset, range.size, at});
    at += range.size;
  }
  h.payloadBytes = at - h.payloadAt;
  if (facts.shift)
    h.records.push_back(JournalRecord{RecordKind::TailShift, facts.shift->at,
                                      static_cast<std::uint64_t>(facts.shift->count), 0});
  // What tells this image from another one put under its name later.
  h.untouchedEnd = std::min({facts.untouchedEnd, facts.imageLength, kMaxHashedPrefix});
  if (!NoteIdentity(error) || !CreateJournal(error)) return false;
  const std::vector<std::uint8_t> header = EncodeJournalHeader(h);
  if (!(h.payloadBytes <= kCheckedPayload ? WriteWhole(header, ranges, error)
                                          : CopyThenSeal(header, error)))
    return false;
  // The journal's name must survive a power cut before the image changes.
  if (sync_ && beside_ && !platform::FlushFolderOf(name_.c_str()))
    return Failed("cannot flush the folder of the undo journal to disk", error);
  return true;
}

bool Journal::NoteIdentity(Error& error) {
  if (platform::GetFileIdentity(image_, header_.identity) &&
      HashUntouchedBytes(image_, header_.untouchedEnd, header_.records, header_.untouchedHash))
    return true;
  error = platform::LastCallError("cannot read what tells the file from another one",
                                  platform::ToUtf8(imageName_));
  return false;
}

bool Journal::CreateJournal(Error& error) {
  file_ = beside_ ? platform::CreateJournalFile(name_.c_str())
                  : platform::CreateScratchFile(scratchName_);
  if (file_ != platform::kInvalidFile) return true;
  const std::uint32_t code = platform::LastError();
  error = JournalError(name_,
                       code == platform::ErrorFileExists()
                           ? "an undo journal of an earlier change is in the way"
                           : "cannot create the undo journal",
                       code);
  return false;
}

// Sealed in the same write as everything else: a power cut that keeps the
// seal but not all the kept bytes shows in their check, and such a journal
// never let the image change.
bool Journal::WriteWhole(const std::vector<std::uint8_t>& header, std::span<const ByteRange> ranges,
                         Error& error) {
  const std::uint64_t payload = header_.payloadBytes;
  std::vector<std::uint8_t> whole(header.size() + static_cast<std::size_t>(payload));
  std::copy(header.begin(), header.end(), whole.begin());
  std::size_t into = header.size();
  for (const ByteRange& range : ranges) {
    if (range.size != 0 && !platform::ReadAt(image_, range.offset, whole.data() + into,
                                             static_cast<std::size_t>(range.size)))
      return Failed("cannot read what the change will overwrite", error);
    into += static_cast<std::size_t>(range.size);
  }
  StoreU32(whole.data() + kJournalStateField, kStateSealed);
  StoreU32(whole.data() + kPayloadCheckField,
           Fnv32(whole.data() + header.size(), static_cast<std::size_t>(payload)));
  StoreU32(whole.data() + kPayloadCheckedField, 1);
  if (!platform::WriteAt(file_, 0, whole.data(), whole.size()))
    return Failed("cannot write the undo journal", error);
  sealed_ = true;
  if (sync_ && !platform::FlushFile(file_))
    return Failed("cannot flush the undo journal to disk", error);
  return true;
}

bool Journal::CopyThenSeal(const std::vector<std::uint8_t>& header, Error& error) {
  if (!platform::WriteAt(file_, 0, header.data(), header.size()))
    return Failed("cannot write the undo journal", error);
  for (const JournalRecord& record : header_.records) {
    if (record.kind == RecordKind::KeptBytes &&
        !platform::CopyFileRange(image_, record.at, file_, record.from, record.count))
      return Failed("cannot write the undo journal", error);
  }
  if (sync_ && !platform::FlushFile(file_))
    return Failed("cannot flush the undo journal to disk", error);
  std::uint8_t seal[4];
  StoreU32(seal, kStateSealed);
  if (!platform::WriteAt(file_, kJournalStateField, seal, sizeof seal))
    return Failed("cannot seal the undo journal", error);
  sealed_ = true;
  if (sync_ && !platform::FlushFile(file_))
    return Failed("cannot flush the undo journal to disk", error);
  return true;
}

bool Journal::Restore(Error& error) {
  auto fail = [&](const char* what) {
    error = platform::LastCallError(what, platform::ToUtf8(imageName_));
    return false;
  };
  for (const JournalRecord& record : header_.records) {
    if (record.kind == RecordKind::TailShift && !UndoShift(record))
      return fail("cannot move what lies behind the resources back");
  }
  if (!platform::SetFileLength(image_, header_.lengths[0]))
    return fail("cannot give the file its old length back");
  // From the last range back: where ranges overlap, the first one kept
  // holds the bytes as they were.
  for (std::size_t i = header_.records.size(); i-- > 0;) {
    const JournalRecord& record = header_.records[i];
    if (record.kind != RecordKind::KeptBytes) continue;
    if (!platform::CopyFileRange(file_, record.from, image_, record.at, record.count))
      return fail("cannot put the old bytes back");
  }
  if (sync_ && !platform::FlushFile(image_)) return fail("cannot flush the file to disk");
  return true;
}

// Undoing a shift of the tail by the file system, wherever the change, a
// crash or an earlier recovery left it. One such call is not one atomic step
// on disk: ext4 changes the length first and then shifts its extents in a
// transaction that it restarts when its credits run out, XFS shifts one
// extent per transaction, so a power cut in the middle leaves a file in
// which the extents from some extent boundary q on have moved and the rest
// have not. Such a file holds a hole of exactly the shift's size at q: an
// insertion's gap that has not reached `at` yet, or a removal's gap that has
// not yet reached the end. The commit shifts only files without holes
// (platform::NextHole), so the first hole of that size at or after `at`
// tells where the kernel stopped. (Holes that the change's own unflushed
// writes left inside the inserted blocks are shorter; a gap at the file's
// end shows as a hole from the block behind the old end on.) Every step below
// leaves a state this function undoes again, so a recovery cut short is
// finished by the next one.
bool Journal::UndoShift(const JournalRecord& shift) {
  const std::uint64_t at = shift.at;
  const std::int64_t count = shift.Shift();
  const std::uint64_t size = count < 0 ? 0 - shift.count : shift.count;
  const std::uint64_t old = header_.lengths[0];
  std::uint64_t length = 0;
  if (!platform::GetFileLength(image_, length)) return false;
  // A gap of the shift's size at or after `at`, if there is one.
  auto gap = [&](std::optional<std::uint64_t>& found) {
    std::uint64_t from = at;
    found.reset();
    while (from < length) {
      std::uint64_t begin = 0, end = 0;
      if (!platform::NextHole(image_, from, begin, end)) return false;
      if (begin >= length) return true;
      // A gap at the very end (the length changed, nothing moved yet)
      // begins inside the old last block, which stays data.
      if (end >= length) {
        found = length - std::min(length, size);
        return true;
      }
      if (end - begin >= size) {
        found = begin;
        return true;
      }
      from = end;
    }
    return true;
  };
  auto shiftAt = [&](std::uint64_t where, std::int64_t by) {
    return platform::ShiftFileRange(image_, where, by) == platform::RangeResult::Done;
  };
  // Takes a gap at q out: by the file system, or where it reaches the end
  // (nothing behind it moved yet) by shortening the file.
  auto closeGap = [&](std::uint64_t q) {
    if (q + size >= length) return platform::SetFileLength(image_, length - size);
    return shiftAt(q, -static_cast<std::int64_t>(size));
  };
  std::optional<std::uint64_t> hole;
  if (count > 0) {
    // Not inserted yet, or already taken out again: the file's old length.
    if (length == old) return true;
    if (length != old + size) {
      // A signature was cut off behind the inserted blocks, which the
      // insertion finished first: its bytes are kept.
      if (!platform::SetFileLength(image_, old + size)) return false;
      length = old + size;
    } else if (!gap(hole)) {
      return false;
    }
    return closeGap(hole.value_or(at));
  }
  // A removal: at the file's old length while it has not finished (or once
  // undone): finished first where a gap of its size shows that it began.
  if (length == old) {
    if (!gap(hole)) return false;
    if (!hole) return true;
    if (!closeGap(*hole)) return false;
  } else if (length != old - size && !platform::SetFileLength(image_, old - size)) {
    return false;  // a signature cut off behind: its bytes are kept
  }
  return shiftAt(at, static_cast<std::int64_t>(size));
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
    // Sealed, it would undo a change that succeeded, or apply again what was
    // put back: it is marked spent, which any later run removes.
    if (sealed_) {
      std::uint8_t spent[4];
      StoreU32(spent, kStateSpent);
      if (!platform::WriteAt(file_, kJournalStateField, spent, sizeof spent) ||
          (sync_ && !platform::FlushFile(file_))) {
        error = JournalError(name_, "cannot remove the undo journal", code);
        return false;
      }
    }
    leftBehind_ = true;
  }
  sealed_ = false;
  platform::CloseFile(file_);
  file_ = platform::kInvalidFile;
  // The removal is not flushed: should a power cut bring the journal back,
  // the next run undoes the change, and the file is whole either way.
  return true;
}

// Reads a journal found beside an image: what it is, and for a sealed one its
// records and the facts of its image.
Journal::Found Journal::Read(Error& error) {
  std::uint64_t length = 0;
  if (!platform::GetFileLength(file_, length)) {
    error = JournalCallError(name_, "cannot read the undo journal");
    return Found::Damaged;
  }
  const JournalDecoding decoding = DecodeJournalHeader(file_, length, header_);
  switch (decoding.kind) {
    case JournalKind::CutShort: return Found::Unsealed;
    case JournalKind::Earlier:
      return header_.state == kStateSealed ? Found::Earlier : Found::Unsealed;
    case JournalKind::Ours:
      if (header_.state == kStateSealed) return Found::Sealed;
      return header_.state == kStateSpent ? Found::Spent : Found::Unsealed;
    case JournalKind::Foreign:
      error = MakeError(ErrorKind::Journal,
                        decoding.why + "; it was left as it is: move it away to change the file", 0,
                        platform::ToUtf8(name_));
      return Found::Foreign;
    case JournalKind::Damaged: break;
  }
  error = decoding.osCode != 0
              ? JournalError(name_, decoding.why, decoding.osCode)
              : MakeError(ErrorKind::Journal, decoding.why, 0, platform::ToUtf8(name_));
  return Found::Damaged;
}

bool Journal::Matches(Error& error) {
  auto differs = [&](const char* what) {
    error = MakeError(ErrorKind::Journal, what, 0, platform::ToUtf8(imageName_));
    return false;
  };
  auto unreadable = [&] {
    error = platform::LastCallError("cannot be read to check its undo journal",
                                    platform::ToUtf8(imageName_));
    return false;
  };
  platform::FileIdentity identity;
  std::uint64_t length = 0;
  if (!platform::GetFileIdentity(image_, identity) || !platform::GetFileLength(image_, length))
    return unreadable();
  if (!(identity == header_.identity))
    return differs("it was written for another file of this name (the file was replaced since)");
  const auto& lengths = header_.lengths;
  if (length < header_.untouchedEnd ||
      std::find(lengths.begin(), lengths.end(), length) == lengths.end())
    return differs(
        "the file's length is none that the interrupted change could have left (the file was "
        "replaced or changed since)");
  std::uint64_t hash = 0;
  if (!HashUntouchedBytes(image_, header_.untouchedEnd, header_.records, hash)) return unreadable();
  if (hash != header_.untouchedHash)
    return differs(
        "bytes that the interrupted change never writes are not the ones it recorded (the file "
        "was replaced or changed since)");
  return true;
}

std::u16string Journal::SetAside() {
  platform::CloseFile(file_);
  file_ = platform::kInvalidFile;
  sealed_ = false;
  for (int n = 1; n <= kMaxStaleNames; ++n) {
    const std::u16string aside = name_ + u".stale-" + platform::FromUtf8(std::to_string(n));
    if (platform::RenameFileByName(name_.c_str(), aside.c_str())) return aside;
    const std::uint32_t code = platform::LastError();
    if (code != platform::ErrorFileExists() && code != platform::ErrorAlreadyExists()) break;
  }
  return std::u16string();
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
  // A journal that is not ours, or is damaged, is left where it is, for a
  // person to look at; one that does not belong to the image is set aside.
  if (found == Found::Damaged || found == Found::Foreign) {
    platform::CloseFile(file_);
    file_ = platform::kInvalidFile;
  }
  return found;
}

namespace {

// A sealed journal that does not belong to the image as it is: the image is
// left as it is, and the journal set aside so that it stops nothing.
Recovery RefuseStaleJournal(Journal& journal, const char16_t* imageName, const std::string& why,
                            Error& e) {
  const std::u16string aside = journal.SetAside();
  const std::string name = platform::ToUtf8(JournalName(imageName));
  std::string detail = "the undo journal beside it (" + name + ") was not applied: " + why +
                       "; the file was left as it is";
  if (aside.empty())
    detail += ", and the journal could not be renamed: check the file, then remove " + name;
  else
    detail += ", the journal kept as " + platform::ToUtf8(aside) +
              ": check the file (restore it from its backup if it is damaged), then remove it";
  e = MakeError(ErrorKind::Journal, std::move(detail), 0, platform::ToUtf8(imageName));
  return Recovery::Failed;
}

}  // namespace

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
    // Held by another run: its journal is the one of a change under way.
    const bool held = platform::ClassifyError(code) == ErrorKind::Busy;
    e = MakeError(platform::ClassifyError(code),
                  held ? "is being changed by another run (its undo journal is beside it)"
                       : "an interrupted change cannot be undone: cannot open the file",
                  code, platform::ToUtf8(imageName));
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
    case Journal::Found::Damaged:
    case Journal::Found::Foreign: return Recovery::Failed;
    case Journal::Found::Unsealed:
      if (!journal.Remove(e)) return Recovery::Failed;
      return journal.leftBehind() ? Recovery::LeftBehind : Recovery::Removed;
    case Journal::Found::Spent:
      if (!journal.Remove(e)) return Recovery::Failed;
      return journal.leftBehind() ? Recovery::LeftBehind : Recovery::NothingToDo;
    case Journal::Found::Earlier:
      return RefuseStaleJournal(
          journal, imageName,
          "it was sealed by an earlier version, which cannot tell whether it belongs to the file",
          e);
    case Journal::Found::Sealed: break;
  }
  Error mismatch;
  if (!journal.Matches(mismatch)) {
    if (mismatch.kind != ErrorKind::Journal) {
      e = mismatch;  // the image could not be read: nothing is decided
      return Recovery::Failed;
    }
    return RefuseStaleJournal(journal, imageName, mismatch.detail, e);
  }
  if (!journal.Restore(e)) return Recovery::Failed;
  return journal.Remove(e) ? Recovery::Undone : Recovery::Failed;
}

bool RemoveJournalOfDiscardedFile(const char16_t* fileName, Error* error) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  const std::u16string name = JournalName(fileName);
  OwnedFile journal(platform::OpenJournalFile(name.c_str()));
  if (!journal) {
    const std::uint32_t code = platform::LastError();
    if (code == platform::ErrorFileNotFound()) return true;
    e = JournalError(name, "cannot open the undo journal", code);
    return false;
  }
  std::uint64_t length = 0;
  JournalHeader header;
  if (!platform::GetFileLength(journal.get(), length)) {
    e = JournalCallError(name, "cannot read the undo journal");
    return false;
  }
  // Its file goes: any journal of ours is of no use, damaged or not.
  const JournalDecoding decoding = DecodeJournalHeader(journal.get(), length, header);
  if (decoding.osCode != 0) {
    e = JournalError(name, "cannot read the undo journal", decoding.osCode);
    return false;
  }
  if (decoding.kind == JournalKind::Foreign) {
    e = MakeError(ErrorKind::Journal,
                  "is not an undo journal of this program; it was left as it is: move it away to "
                  "change the file",
                  0, platform::ToUtf8(name));
    return false;
  }
  journal.Close();
  if (!platform::DeleteFileByName(name.c_str())) {
    e = JournalCallError(name, "cannot remove the undo journal");
    return false;
  }
  return true;
}

}  // namespace marovi
