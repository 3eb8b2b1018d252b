// Ending an update: the new resource section is measured, laid out in a
// mapped scratch file, and only then is the image file resized, its headers
// and debug directory fixed, the section copied in and the checksum written.
// Large unchanged resources are the exception: they are left out of the
// scratch file and moved inside the image file from their old places to
// their new ones. Before the image is touched, everything the commit will
// overwrite is kept in an undo journal (journal.h), from which a failed
// commit, or the next run after a killed one, puts every byte back.
#include "engine/commit.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/bytes.h"
#include "engine/commit_payloads.h"
#include "engine/header_fixes.h"
#include "engine/image.h"
#include "engine/journal.h"
#include "engine/result_check.h"
#include "engine/section_layout.h"
#include "engine/section_moves.h"

namespace marovi {

namespace {

// The largest section the commit lays out; file positions are 32-bit.
constexpr std::uint64_t kMaxSectionSize = 0x7FFFFFFF;

// One commit on an update whose tree is complete.
class Committer {
 public:
  Committer(ResourceUpdate& u, Error& error, CommitReport* report)
      : u_(u), error_(error), report_(report) {}

  bool Run() {
    const auto layout = ReadPeLayout(u_.view, u_.viewSize, u_.ntHeaders);
    if (!layout) {
      error_ = MakeError(ErrorKind::MalformedImage, "its headers can no longer be read");
      return false;
    }
    const PeLayout& l = *layout;
    const auto index = FindResourceSection(u_.view, u_.viewSize, u_.ntHeaders);
    const std::uint8_t* nt = u_.ntHeaders;
    const std::uint32_t fileAlignment = LoadU32(nt + nt::kFileAlignment);
    const std::uint32_t sectionAlignment = LoadU32(nt + nt::kSectionAlignment);
    if (Refuse(CheckLayout(u_.view, u_.viewSize, l, index))) return false;
    // Where the resource section is rebuilt: in place, or in a new section
    // behind the last one when the image has none, or when its own holds
    // more than resources or cannot grow without moving sections that must
    // not move. The old section then stays as it is.
    std::optional<Refusal> inPlace;
    if (!index) inPlace = Refusal{"it has no resource section", 0};
    else inPlace = CheckResourceSectionHoldsOnlyResources(u_.view, u_.viewSize, l, *index);
    if (!inPlace && index) inPlace = ResourceSectionHoldsOtherData(u_.view, l, *index);

    if (!FitsTheFormat(u_.root.get())) {
      error_ = MakeError(ErrorKind::Refused,
                         "a resource name or directory is larger than the format can hold");
      return false;
    }
    std::uint64_t dirBytes = 0, nameBytes = 0, dataBytes = 0;
    Measure(u_.root.get(), dirBytes, nameBytes, dataBytes);
    const std::uint64_t sectionSize = ((dirBytes + nameBytes + 3) & ~std::uint64_t{3}) + dataBytes;
    const std::uint64_t newRaw = (sectionSize + fileAlignment - 1) / fileAlignment * fileAlignment;
    if (sectionSize > kMaxSectionSize || newRaw > kMaxSectionSize) {
      error_ =
          MakeError(ErrorKind::Refused, "the new resources would make the file 2 GiB or larger");
      return false;
    }
    const auto size32 = static_cast<std::uint32_t>(sectionSize);

    Placement p;
    p.newRawSize = static_cast<std::uint32_t>(newRaw);
    p.sectionSize = size32;
    std::uint32_t rva = 0;
    if (!inPlace) {
      const std::uint8_t* s = u_.view + l.Section(*index);
      const std::uint32_t oldSize = LoadU32(u_.view + l.DirectoryEntry(kResourceDirectory) + 4);
      rva = LoadU32(u_.view + l.DirectoryEntry(kResourceDirectory));
      p.sectionIndex = *index;
      p.rawPointer = LoadU32(s + sec::kPointerToRawData);
      p.oldRawSize = LoadU32(s + sec::kSizeOfRawData);
      p.rawDelta = static_cast<std::int32_t>(static_cast<std::int64_t>(newRaw) - p.oldRawSize);
      p.virtDelta = static_cast<std::uint32_t>(std::uint64_t{RoundUp(size32, sectionAlignment)} -
                                               RoundUp(oldSize, sectionAlignment));
      // The sections behind the resource section get new addresses when it
      // changes its extent in memory, and only then.
      if (p.virtDelta != 0) inPlace = CheckSectionsBehindCanMove(u_.view, u_.viewSize, l, *index);
    }
    if (inPlace) {
      const NewSectionPlan plan = PlanNewSection(
          std::span<const std::uint8_t>(u_.view, std::min<std::uint32_t>(u_.viewSize, 0x10000)),
          u_.viewSize);
      if (!plan.section) {
        Refuse(Refusal{inPlace->detail + ", and a new section cannot be added: " + plan.refusal,
                       inPlace->offset});
        return false;
      }
      added_ = *plan.section;
      rva = added_->virtualAddress;
      p.sectionIndex = added_->index;
      p.rawPointer = added_->rawPointer;
      p.oldRawSize = 0;
      p.rawDelta = static_cast<std::int32_t>(newRaw);
      p.virtDelta = 0;
    }
    // (Nor does a change start from such a file: its journal could not
    // tell its lengths from damaged ones.)
    if (std::int64_t{std::max(u_.viewSize, p.rawPointer)} + p.rawDelta > std::int64_t{0x7FFFFFFF} ||
        std::max(u_.viewSize, p.rawPointer) > kMaxJournaledLength) {
      error_ =
          MakeError(ErrorKind::Refused, "the new resources would make the file 2 GiB or larger");
      return false;
    }
    const std::uint32_t rawPointer = p.rawPointer;
    const std::uint32_t rawSize = p.oldRawSize;
    // Installers and archives behind the image: found on the image as it is,
    // their fixes planned for this placement, or the change refused.
    const bool planned = payloads_.Plan(u_, p, u_.viewSize, error_);
    if (report_ != nullptr) report_->payloads = payloads_.Findings();
    if (!planned) return false;

    // The headers up to the end of the section table (and of the header
    // added): fixed in place, kept in the journal and checked against.
    const std::uint32_t headersEnd = l.Section(l.sectionCount) + (added_ ? sec::kSize : 0);

    LeavesMovedInPlace moved;
    moved.begin = rawPointer;
    moved.end = std::uint64_t{rawPointer} + rawSize;
    // The old section's bytes are moved inside it only when it is rebuilt
    // where it is; a new section leaves them be.
    SectionImage image = BuildResourceSection(
        rva, u_.root.get(), static_cast<std::uint32_t>(dirBytes),
        static_cast<std::uint32_t>(nameBytes), static_cast<std::uint32_t>(dataBytes), u_.fileHandle,
        u_.view, added_ ? nullptr : &moved);
    if (image.view == nullptr) {
      // Its scratch file lies in the temporary folder: that is what is full
      // or missing, not the image.
      const std::uint32_t code = platform::LastError();
      error_ = MakeError(platform::ClassifyError(code),
                         "cannot lay out the new resource section in a scratch file in this folder",
                         code, platform::TempDirectory());
      return false;
    }
    // Everything the change will overwrite is kept in the journal before the
    // first byte of the image changes: the headers, the debug entries, and
    // the section with all that lies behind it when that moves.
    const std::uint64_t originalLength = u_.viewSize;
    const std::uint64_t changedEnd = std::max<std::uint64_t>(
        rawPointer, p.rawDelta != 0 ? originalLength : std::uint64_t{rawPointer} + rawSize);
    std::vector<JournalRange> kept = {{0, std::min<std::uint64_t>(headersEnd, rawPointer)}};
    if (rawPointer < originalLength)
      kept.push_back({rawPointer, std::min(changedEnd, originalLength) - rawPointer});
    if (const auto debug = DebugEntriesRange(l)) kept.push_back(*debug);
    for (const JournalRange& r : payloads_.KeptRanges(rawPointer, changedEnd)) kept.push_back(r);
    // A signature cut off the end of the file: its bytes are kept too, unless
    // they lie in what is kept already.
    if (u_.options.stripSignature) {
      const auto table = FindCertificateTable(u_.view, u_.viewSize, u_.ntHeaders);
      if (table && table->EndsFile(originalLength) && table->offset >= changedEnd)
        kept.push_back({table->offset, table->size});
    }
    // The headers as they were, to check the result against.
    const std::vector<std::uint8_t> oldHeaders(u_.view, u_.view + headersEnd);
    Journal journal(u_.fileHandle, u_.fileName, u_.options.journal, u_.options.sync,
                    image.scratchName + "undo");
    if (!journal.Write(JournalFactsOf(p, originalLength), kept, error_)) return false;

    bool done = false;
    std::exception_ptr failure;
    try {
      done = moved.moves.empty() ? CopyIn(image, p) : PlaceInPlace(image, moved, p);
      // Read back before it counts: a commit that wrote something else than
      // it meant is undone, not reported as done.
      if (done) {
        if (const auto problem =
                CheckCommittedImage(u_.view, u_.viewSize, oldHeaders, p.sectionIndex, u_.root.get(),
                                    added_.has_value())) {
          error_ = MakeError(ErrorKind::Internal, "the written image does not check (" + *problem +
                                                      "); the file was put back as it was");
          done = false;
        }
      }
      if (done && u_.options.sync && !platform::FlushFile(u_.fileHandle)) {
        Fail("cannot flush the changed file to disk");
        done = false;
      }
    } catch (...) {
      // Put back first: saying why may need memory that is not there.
      done = false;
      failure = std::current_exception();
    }
    if (!done) {
      PutBack(journal);
      if (failure) Explain(failure);
      if (!error_) Fail("cannot write the new resources");
      return false;
    }
    // A journal that cannot be removed would undo the change at the next
    // run: it is undone now, and the journal stays sealed for that run.
    bool removed = false;
    try {
      removed = journal.Remove(error_);
    } catch (...) {
      removed = false;
    }
    if (!removed) {
      PutBack(journal);
      if (!error_) error_.kind = ErrorKind::Journal;
      return false;
    }
    return true;
  }

 private:
  // The lengths the image may have while the commit changes it, and where
  // the bytes begin that it may write anywhere (the resource section on).
  JournalFacts JournalFactsOf(const Placement& p, std::uint64_t originalLength) const {
    JournalFacts facts;
    facts.imageLength = originalLength;
    facts.untouchedEnd = std::min<std::uint64_t>(p.rawPointer, originalLength);
    // ShiftFileTail first makes the file reach the tail's old start.
    const std::uint64_t tail = std::uint64_t{p.rawPointer} + p.oldRawSize;
    const std::uint64_t reached = std::max(originalLength, tail);
    if (p.rawDelta != 0) {
      if (reached != originalLength) facts.laterLengths[0] = reached;
      facts.laterLengths[1] = reached + static_cast<std::uint64_t>(std::int64_t{p.rawDelta});
    }
    if (u_.options.stripSignature) {
      const auto table = FindCertificateTable(u_.view, u_.viewSize, u_.ntHeaders);
      if (table && table->EndsFile(originalLength) && table->offset >= tail)
        facts.laterLengths[2] =
            table->offset + static_cast<std::uint64_t>(std::int64_t{p.rawDelta});
    }
    return facts;
  }

  // Records the platform's reason for a failure of the image file.
  void Fail(const char* what) {
    const std::uint32_t code = platform::LastError();
    error_ = MakeError(platform::ClassifyError(code), what, code, platform::ToUtf8(u_.fileName));
  }

  void Explain(std::exception_ptr failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
      error_ = MakeError(ErrorKind::OutOfMemory, "out of memory while writing the new resources");
    } catch (const std::exception& e) {
      error_ = MakeError(ErrorKind::Io, e.what(), platform::LastError());
    } catch (...) {
      error_ = MakeError(ErrorKind::Internal, "the change was cut short");
    }
  }

  // Puts the image back from the journal after a failure, keeping the
  // failure's reason. Should that fail too, a journal beside the image stays
  // for the next run.
  void PutBack(Journal& journal) {
    UnmapFile(u_.mappingHandle, u_.view, u_.viewSize);
    u_.view = nullptr;
    u_.viewSize = 0;
    u_.mappingHandle = 0;
    Error second;
    bool restored = false;
    try {
      restored = journal.Restore(second);
      if (restored) journal.Remove(second);
    } catch (...) {
      // Whatever was not put back stays in the journal for the next run.
    }
    if (!restored) {
      error_.detail += "; the file could not be put back (" + second.detail + ")";
      if (u_.options.journal) error_.detail += ": the next run puts it back from its undo journal";
    }
    MapWholeFile(u_.fileHandle, u_.mappingHandle, u_.view, u_.viewSize);
    u_.ntHeaders = u_.view != nullptr ? LocateNtHeaders(u_.view, u_.viewSize) : nullptr;
  }

  // Where the debug directory's entries lie in the file, when they lie in
  // some section's data: fixing them writes there.
  std::optional<JournalRange> DebugEntriesRange(const PeLayout& l) const {
    if (l.directoryCount <= kDebugDirectory) return std::nullopt;
    const std::uint8_t* d = u_.view + l.DirectoryEntry(kDebugDirectory);
    const std::uint32_t address = LoadU32(d);
    const std::uint32_t size = LoadU32(d + 4);
    if (size == 0) return std::nullopt;
    for (std::uint32_t j = 0; j < l.sectionCount; ++j) {
      const std::uint8_t* h = u_.view + l.Section(j);
      const std::uint32_t start = LoadU32(h + sec::kVirtualAddress);
      const std::uint64_t extent =
          std::max(LoadU32(h + sec::kVirtualSize), LoadU32(h + sec::kSizeOfRawData));
      if (address < start || address - start >= extent || LoadU32(h + sec::kPointerToRawData) == 0)
        continue;
      const std::uint64_t at =
          std::uint64_t{LoadU32(h + sec::kPointerToRawData)} + (address - start);
      if (at >= u_.viewSize) return std::nullopt;
      return JournalRange{at, std::min<std::uint64_t>(size, u_.viewSize - at)};
    }
    return std::nullopt;
  }

  // Records why the image is refused; true when it is.
  bool Refuse(const std::optional<Refusal>& refusal) {
    if (!refusal) return false;
    error_ = MakeError(ErrorKind::Refused, refusal->detail);
    error_.offset = refusal->offset;
    return true;
  }

  // The whole section image goes in after the tail has moved.
  bool CopyIn(const SectionImage& image, const Placement& p) {
    // The moved tail is summed on its way; when nothing is written into it
    // afterwards, the checksum need not read it again.
    SummedRange tail;
    bool tailSummed = false;
    if (p.rawDelta != 0) {
      if (!ShiftFileTail(u_.fileHandle, p.rawPointer + p.oldRawSize, p.rawDelta, u_.mappingHandle,
                         u_.view, u_.viewSize, &tail.sum)) {
        Fail("cannot move what lies behind the resources");
        return false;
      }
      tailSummed = true;
    }
    if (!FixEverything(p) || !StripSignature(p)) return false;
    // The section goes in by a copy from file to file, which the view shows
    // as well. The checksum reads the file likewise. (Reading the section
    // through a buffer and summing it on its way measured no faster than
    // this in-kernel copy and one more read.)
    if (!platform::CopyFileRange(image.file.get(), 0, u_.fileHandle, p.rawPointer, p.sectionSize)) {
      Fail("cannot write the new resource section");
      return false;
    }
    std::memset(u_.view + p.rawPointer + p.sectionSize, 0,
                static_cast<std::size_t>(p.newRawSize - p.sectionSize));
    if (!payloads_.Apply(u_.view, u_.viewSize, error_)) return false;
    tail.begin = std::uint64_t{p.rawPointer} + p.newRawSize;
    tail.end = u_.viewSize;
    // A tail whose end was cut off is not what was summed.
    Checksum(tailSummed && !signatureCut_ ? std::span<SummedRange>(&tail, 1)
                                          : std::span<SummedRange>());
    return true;
  }

  // The large unchanged leaves move inside the image file from their old
  // places to their new ones, so that their bytes are copied once instead of
  // into the section image and out again; the section image fills the rest.
  bool PlaceInPlace(const SectionImage& image, const LeavesMovedInPlace& moved,
                    const Placement& p) {
    const std::vector<std::uint8_t> zeros(p.newRawSize - p.sectionSize, 0);
    // The moved leaves are summed on their way, like the tail.
    std::vector<SummedRange> known;
    known.reserve(moved.moves.size() + 1);
    SummedRange tail;
    // A growing file makes room first: the leaves move into it.
    if (p.rawDelta > 0 && !ShiftFileTail(u_.fileHandle, p.rawPointer + p.oldRawSize, p.rawDelta,
                                         u_.mappingHandle, u_.view, u_.viewSize, &tail.sum)) {
      Fail("cannot move what lies behind the resources");
      return false;
    }
    if (!PlaceSection(image, moved, p, zeros, known)) {
      Fail("cannot write the new resource section");
      return false;
    }
    // A shrinking file gives its room back last: the leaves moved out of it.
    if (p.rawDelta < 0 && !ShiftFileTail(u_.fileHandle, p.rawPointer + p.oldRawSize, p.rawDelta,
                                         u_.mappingHandle, u_.view, u_.viewSize, &tail.sum)) {
      Fail("cannot move what lies behind the resources");
      return false;
    }
    if (!FixEverything(p) || !StripSignature(p)) return false;
    if (!payloads_.Apply(u_.view, u_.viewSize, error_)) return false;
    std::sort(known.begin(), known.end(),
              [](const SummedRange& a, const SummedRange& b) { return a.begin < b.begin; });
    if (p.rawDelta != 0 && !signatureCut_) {
      tail.begin = std::uint64_t{p.rawPointer} + p.newRawSize;
      tail.end = u_.viewSize;
      known.push_back(tail);
    }
    Checksum(known);
    return true;
  }

  // known has room for a range per move.
  bool PlaceSection(const SectionImage& image, const LeavesMovedInPlace& moved, const Placement& p,
                    const std::vector<std::uint8_t>& zeros, std::vector<SummedRange>& known) {
    const std::uint64_t base = p.rawPointer;
    auto move = [&](const LeafMove& m) {
      SummedRange range{base + m.to, base + m.to + m.size, {}};
      std::uint64_t done = 0;
      if (!MoveFileBytes(u_.fileHandle, m.from, range.begin, m.size, done, &range.sum))
        return false;
      known.push_back(range);
      return true;
    };
    // Old and new places are in the same order: a leaf moving up cannot
    // reach a leaf below it that has yet to move, nor one moving down a leaf
    // above it. So the ones moving up go from the top, the others from the
    // bottom, each in the order that never overwrites its own bytes early.
    // A leaf already in its place is neither moved nor summed.
    for (auto m = moved.moves.rbegin(); m != moved.moves.rend(); ++m) {
      if (base + m->to > m->from && !move(*m)) return false;
    }
    for (const LeafMove& m : moved.moves) {
      if (base + m.to < m.from && !move(m)) return false;
    }
    // Everything between the moved leaves comes from the section image.
    std::uint64_t at = 0;
    for (const LeafMove& m : moved.moves) {
      if (m.to > at &&
          !platform::CopyFileRange(image.file.get(), at, u_.fileHandle, base + at, m.to - at))
        return false;
      at = std::uint64_t{m.to} + m.size;
    }
    return (p.sectionSize == at || platform::CopyFileRange(image.file.get(), at, u_.fileHandle,
                                                           base + at, p.sectionSize - at)) &&
           (zeros.empty() ||
            platform::WriteAt(u_.fileHandle, base + p.sectionSize, zeros.data(), zeros.size()));
  }

  // The headers and the debug directory, in the view that the move left;
  // false when the moved image's headers can no longer be read.
  bool FixEverything(const Placement& p) {
    u_.ntHeaders = LocateNtHeaders(u_.view, u_.viewSize);
    const auto layout = ReadPeLayout(u_.view, u_.viewSize, u_.ntHeaders);
    if (!layout) {
      error_ = MakeError(ErrorKind::Internal, "the moved image's headers cannot be read again");
      return false;
    }
    const std::span<std::uint8_t> headers(
        u_.view, layout->Section(layout->sectionCount) + (added_ ? sec::kSize : 0));
    if (added_ ? !AppendSectionInPlace(headers, *added_, p) : !FixHeadersInPlace(headers, p)) {
      error_ = MakeError(ErrorKind::Internal, "the moved image's headers cannot be fixed");
      return false;
    }
    // Entries that lie in the file where the new section goes are left
    // alone: the section's bytes replace them, whether they are written
    // before or after this (large leaves moved in place go in first).
    const FileRange entries = LocateDebugEntries(headers, u_.viewSize);
    const FileRange changed = FixDebugEntries(
        std::span<std::uint8_t>(u_.view + entries.begin,
                                static_cast<std::size_t>(entries.end - entries.begin)),
        entries.begin, LoadU32(u_.view + layout->DirectoryEntry(kResourceDirectory)), p);
    debugBegin_ = changed.begin;
    debugEnd_ = changed.end;
    return true;
  }

  // With stripSignature, after the header fixes: the certificate table's
  // entry is cleared, and its bytes cut off when they are the end of the
  // file and lie behind the new section. The journal holds the bytes cut off
  // (see Run), so that a failure after this puts them back.
  bool StripSignature(const Placement& p) {
    if (!u_.options.stripSignature) return true;
    const auto layout = ReadPeLayout(u_.view, u_.viewSize, u_.ntHeaders);
    if (!layout || layout->directoryCount <= kCertificateDirectory) return true;
    const auto table = FindCertificateTable(u_.view, u_.viewSize, u_.ntHeaders);
    std::uint8_t* entry = u_.view + layout->DirectoryEntry(kCertificateDirectory);
    StoreU32(entry, 0);
    StoreU32(entry + 4, 0);
    if (!table || !table->EndsFile(u_.viewSize) ||
        table->offset < std::uint64_t{p.rawPointer} + p.newRawSize)
      return true;
    // A file cannot be shortened while it is mapped (Windows).
    UnmapFile(u_.mappingHandle, u_.view, u_.viewSize);
    u_.view = nullptr;
    u_.viewSize = 0;
    u_.mappingHandle = 0;
    u_.ntHeaders = nullptr;
    if (!platform::SetFileLength(u_.fileHandle, table->offset)) {
      Fail("cannot cut the signature off the end of the file");
      return false;
    }
    signatureCut_ = true;
    if (!MapWholeFile(u_.fileHandle, u_.mappingHandle, u_.view, u_.viewSize)) {
      Fail("cannot map the file again after cutting off its signature");
      return false;
    }
    u_.ntHeaders = LocateNtHeaders(u_.view, u_.viewSize);
    return u_.ntHeaders != nullptr;
  }

  // known: ranges whose sums were taken as their bytes were written, in file
  // order. A debug entry fixed inside one of them changed it afterwards.
  void Checksum(std::span<SummedRange> known) {
    // The payloads' fixes changed bytes of the moved tail after it was summed.
    if (payloads_.WritesFile()) known = {};
    for (const SummedRange& range : known) {
      if (debugBegin_ < range.end && range.begin < debugEnd_) {
        known = {};
        break;
      }
    }
    ComputeImageChecksumFromFile(u_.fileHandle, u_.view, u_.viewSize, u_.viewSize, known);
  }

  ResourceUpdate& u_;
  Error& error_;
  CommitReport* report_;
  CommitPayloads payloads_;
  // The section added behind the last one, when the resources go there.
  std::optional<NewSection> added_;
  // The debug entries fixed, from the first one's start to the last one's end.
  std::uint64_t debugBegin_ = 0;
  std::uint64_t debugEnd_ = 0;
  // The signature's bytes were cut off the end of the file.
  bool signatureCut_ = false;
};

}  // namespace

bool EndResourceUpdate(ResourceUpdate* update, bool discard) {
  return EndResourceUpdate(update, discard, nullptr);
}

bool EndResourceUpdate(ResourceUpdate* update, bool discard, Error* error) {
  return EndResourceUpdate(update, discard, error, nullptr);
}

bool EndResourceUpdate(ResourceUpdate* update, bool discard, Error* error, CommitReport* report) {
  if (report != nullptr) *report = CommitReport();
  if (update == nullptr) return true;
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  bool result = true;
  if (!discard) {
    try {
      result = Committer(*update, e, report).Run();
    } catch (const std::bad_alloc&) {
      e = MakeError(ErrorKind::OutOfMemory, "out of memory while writing the new resources");
      result = false;
    } catch (...) {
      // Even a commit cut short releases the file, so that the program can
      // go on and other programs can open it.
      result = false;
    }
    if (!result && !e) {
      const std::uint32_t code = platform::LastError();
      e = MakeError(platform::ClassifyError(code), "the new resources could not be written", code);
    }
    if (!result && e.file.empty()) e.file = platform::ToUtf8(update->fileName);
  }
  delete update;
  return result;
}

}  // namespace marovi
