// Ending an update: the new resource section is measured, laid out in a
// mapped scratch file, and only then is the image file resized, its headers
// and debug directory fixed, the section copied in and the checksum written.
// Large unchanged resources are the exception: they are left out of the
// scratch file and moved inside the image file from their old places to
// their new ones, with an undo log that lets a failed commit put every byte
// back.
#include "engine/commit.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/bytes.h"
#include "engine/header_fixes.h"
#include "engine/image.h"
#include "engine/section_moves.h"
#include "engine/undo_log.h"

namespace marovi {

namespace {

// The largest section the commit lays out; file positions are 32-bit.
constexpr std::uint64_t kMaxSectionSize = 0x7FFFFFFF;

// Frees everything the update holds.
void Release(ResourceUpdate* update) {
  FreeResourceTree(&update->root);
  UnmapFile(update->mappingHandle, update->view, update->viewSize);
  platform::CloseFile(update->fileHandle);
  delete update;
}

// One commit on an update whose tree is complete.
class Committer {
 public:
  Committer(ResourceUpdate& u, Error& error) : u_(u), error_(error) {}

  bool Run() {
    const auto layout = ReadPeLayout(u_.view, u_.viewSize, u_.ntHeaders);
    if (!layout) return false;
    const auto index = FindResourceSection(u_.view, u_.viewSize, u_.ntHeaders);
    if (!index) return false;
    const PeLayout& l = *layout;
    const std::uint8_t* nt = u_.ntHeaders;
    const std::uint8_t* s = u_.view + l.Section(*index);
    const std::uint32_t fileAlignment = LoadU32(nt + nt::kFileAlignment);
    const std::uint32_t sectionAlignment = LoadU32(nt + nt::kSectionAlignment);
    const std::uint32_t rawPointer = LoadU32(s + sec::kPointerToRawData);
    const std::uint32_t rawSize = LoadU32(s + sec::kSizeOfRawData);
    const std::uint32_t rva = LoadU32(u_.view + l.DirectoryEntry(kResourceDirectory));
    const std::uint32_t oldSize = LoadU32(u_.view + l.DirectoryEntry(kResourceDirectory) + 4);
    if (Refuse(CheckLayout(u_.view, u_.viewSize, l, *index)) ||
        Refuse(CheckResourceSectionHoldsOnlyResources(u_.view, u_.viewSize, l, *index)))
      return false;

    if (!FitsTheFormat(u_.root)) return false;
    std::uint64_t dirBytes = 0, nameBytes = 0, dataBytes = 0;
    Measure(u_.root, dirBytes, nameBytes, dataBytes);
    const std::uint64_t sectionSize = ((dirBytes + nameBytes + 3) & ~std::uint64_t{3}) + dataBytes;
    const std::uint64_t newRaw = (sectionSize + fileAlignment - 1) / fileAlignment * fileAlignment;
    const std::int64_t rawDelta = static_cast<std::int64_t>(newRaw) - rawSize;
    if (sectionSize > kMaxSectionSize || newRaw > kMaxSectionSize ||
        std::int64_t{u_.viewSize} + rawDelta > std::int64_t{0xFFFFFFFF})
      return false;
    const auto size32 = static_cast<std::uint32_t>(sectionSize);
    const auto virtDelta = static_cast<std::uint32_t>(
        std::uint64_t{RoundUp(size32, sectionAlignment)} - RoundUp(oldSize, sectionAlignment));
    // The sections behind the resource section get new addresses when it
    // changes its extent in memory, and only then.
    if (virtDelta != 0 && Refuse(CheckSectionsBehindCanMove(u_.view, u_.viewSize, l, *index)))
      return false;

    Placement p;
    p.sectionIndex = *index;
    p.rawPointer = rawPointer;
    p.oldRawSize = rawSize;
    p.newRawSize = static_cast<std::uint32_t>(newRaw);
    p.sectionSize = size32;
    p.rawDelta = static_cast<std::int32_t>(rawDelta);
    p.virtDelta = virtDelta;

    LeavesMovedInPlace moved;
    moved.begin = rawPointer;
    moved.end = std::uint64_t{rawPointer} + rawSize;
    SectionImage image = BuildResourceSection(rva, u_.root, static_cast<std::uint32_t>(dirBytes),
                                              static_cast<std::uint32_t>(nameBytes),
                                              static_cast<std::uint32_t>(dataBytes),
                                              u_.fileHandle, u_.view, &moved);
    if (image.view == nullptr) return false;
    struct ImageGuard {
      const TResItem* root;
      SectionImage& image;
      ~ImageGuard() { ReleaseSectionImage(root, image); }
    } guard{u_.root, image};
    // What the commit overwrites in the image is kept here first, so that a
    // failure can put it back; its scratch file is made only when needed.
    UndoLog log(u_.fileHandle, image.scratchName + "undo");
    return moved.moves.empty() ? CopyIn(image, p, log) : PlaceInPlace(image, moved, p, log);
  }

 private:
  // Records why the image is refused; true when it is.
  bool Refuse(const std::optional<Refusal>& refusal) {
    if (!refusal) return false;
    error_ = MakeError(ErrorKind::Refused, refusal->detail);
    error_.offset = refusal->offset;
    return true;
  }

  // The whole section image goes in after the tail has moved.
  bool CopyIn(const SectionImage& image, const Placement& p, UndoLog& log) {
    // The moved tail is summed on its way; when nothing is written into it
    // afterwards, the checksum need not read it again.
    SummedRange tail;
    bool tailSummed = false;
    log.Reserve(2);  // a shrinking move: what it overwrites and what it cuts off
    if (p.rawDelta != 0) {
      if (!ShiftFileTail(u_.fileHandle, p.rawPointer + p.oldRawSize, p.rawDelta, u_.mappingHandle,
                         u_.view, u_.viewSize, &tail.sum, &log))
        return false;
      tailSummed = true;
    }
    if (!FixEverything(p)) return false;
    // The section goes in by a copy from file to file, which the view shows
    // as well, or through the view should that fail: from here on nothing may
    // fail, the file has been resized and its headers fixed. The checksum
    // reads the file likewise. (Reading the section through a buffer and
    // summing it on its way measured no faster than this in-kernel copy and
    // one more read.)
    if (!platform::CopyFileRange(image.file, 0, u_.fileHandle, p.rawPointer, p.sectionSize))
      std::memcpy(u_.view + p.rawPointer, image.view, p.sectionSize);
    std::memset(u_.view + p.rawPointer + p.sectionSize, 0,
                static_cast<std::size_t>(p.newRawSize - p.sectionSize));
    tail.begin = std::uint64_t{p.rawPointer} + p.newRawSize;
    tail.end = u_.viewSize;
    Checksum(tailSummed ? std::span<SummedRange>(&tail, 1) : std::span<SummedRange>());
    return true;
  }

  // The large unchanged leaves move inside the image file from their old
  // places to their new ones, so that their bytes are copied once instead of
  // into the section image and out again; the section image fills the rest.
  // Every write keeps what it replaces, and a failure puts it all back.
  bool PlaceInPlace(const SectionImage& image, const LeavesMovedInPlace& moved,
                    const Placement& p, UndoLog& log) {
    // Each move, each run between them, the zero tail, and a shrinking move
    // of the tail (two).
    log.Reserve(2 * moved.moves.size() + 4);
    const std::vector<std::uint8_t> zeros(p.newRawSize - p.sectionSize, 0);
    // The moved leaves are summed on their way, like the tail.
    std::vector<SummedRange> known;
    known.reserve(moved.moves.size() + 1);
    SummedRange tail;
    // A growing file makes room first: the leaves move into it.
    if (p.rawDelta > 0 && !ShiftFileTail(u_.fileHandle, p.rawPointer + p.oldRawSize, p.rawDelta,
                                         u_.mappingHandle, u_.view, u_.viewSize, &tail.sum))
      return false;
    bool placed = false;
    try {
      placed = PlaceSection(log, image, moved, p, zeros, known);
    } catch (...) {
      placed = false;
    }
    if (!placed) {
      log.Undo();
      if (p.rawDelta > 0)
        ShiftFileTail(u_.fileHandle, p.rawPointer + p.newRawSize, -p.rawDelta, u_.mappingHandle,
                      u_.view, u_.viewSize);
      return false;
    }
    // A shrinking file gives its room back last: the leaves moved out of it.
    if (p.rawDelta < 0 &&
        !ShiftFileTail(u_.fileHandle, p.rawPointer + p.oldRawSize, p.rawDelta, u_.mappingHandle,
                       u_.view, u_.viewSize, &tail.sum, &log)) {
      log.Undo();
      return false;
    }
    if (!FixEverything(p)) return false;
    std::sort(known.begin(), known.end(),
              [](const SummedRange& a, const SummedRange& b) { return a.begin < b.begin; });
    if (p.rawDelta != 0) {
      tail.begin = std::uint64_t{p.rawPointer} + p.newRawSize;
      tail.end = u_.viewSize;
      known.push_back(tail);
    }
    Checksum(known);
    return true;
  }

  // known has room for a range per move.
  bool PlaceSection(UndoLog& log, const SectionImage& image, const LeavesMovedInPlace& moved,
                    const Placement& p, const std::vector<std::uint8_t>& zeros,
                    std::vector<SummedRange>& known) {
    const std::uint64_t base = p.rawPointer;
    auto move = [&](const LeafMove& m) {
      SummedRange range{base + m.to, base + m.to + m.size, {}};
      if (!log.Move(m.from, range.begin, m.size, &range.sum)) return false;
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
      if (!log.Copy(image.file, at, base + at, m.to - at)) return false;
      at = std::uint64_t{m.to} + m.size;
    }
    return log.Copy(image.file, at, base + at, p.sectionSize - at) &&
           log.Write(base + p.sectionSize, zeros.data(), zeros.size());
  }

  // The headers and the debug directory, in the view that the move left;
  // false when the moved image's headers can no longer be read.
  bool FixEverything(const Placement& p) {
    u_.ntHeaders = LocateNtHeaders(u_.view, u_.viewSize);
    const auto layout = ReadPeLayout(u_.view, u_.viewSize, u_.ntHeaders);
    if (!layout) return false;
    const std::span<std::uint8_t> headers(u_.view, layout->Section(layout->sectionCount));
    if (!FixHeadersInPlace(headers, p)) return false;
    // Entries that lie in the file where the new section goes are left
    // alone: the section's bytes replace them, whether they are written
    // before or after this (large leaves moved in place go in first).
    const FileRange entries = LocateDebugEntries(headers, u_.viewSize);
    const FileRange changed =
        FixDebugEntries(std::span<std::uint8_t>(u_.view + entries.begin,
                                                static_cast<std::size_t>(entries.end - entries.begin)),
                        entries.begin, LoadU32(u_.view + layout->DirectoryEntry(kResourceDirectory)), p);
    debugBegin_ = changed.begin;
    debugEnd_ = changed.end;
    return true;
  }

  // known: ranges whose sums were taken as their bytes were written, in file
  // order. A debug entry fixed inside one of them changed it afterwards.
  void Checksum(std::span<SummedRange> known) {
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
  // The debug entries fixed, from the first one's start to the last one's end.
  std::uint64_t debugBegin_ = 0;
  std::uint64_t debugEnd_ = 0;
};

}  // namespace

bool EndResourceUpdate(ResourceUpdate* update, bool discard) {
  return EndResourceUpdate(update, discard, nullptr);
}

bool EndResourceUpdate(ResourceUpdate* update, bool discard, Error* error) {
  if (update == nullptr) return true;
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  bool result = true;
  if (!discard) {
    try {
      result = Committer(*update, e).Run();
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
  Release(update);
  return result;
}

}  // namespace marovi
