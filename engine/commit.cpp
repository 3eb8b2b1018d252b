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
#include "engine/image.h"
#include "engine/journal.h"
#include "engine/result_check.h"

namespace marovi {

namespace {

constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::uint32_t kDebugEntrySize = 28;
constexpr std::uint32_t kDebugAddressOfRawData = 20;
constexpr std::uint32_t kDebugPointerToRawData = 24;
// The largest section the commit lays out; file positions are 32-bit.
constexpr std::uint64_t kMaxSectionSize = 0x7FFFFFFF;

// The measuring pass in 64 bits, so that no tree, however large or however
// many of its leaves share one data range, can wrap the totals around.
void Measure(const TResItem* node, std::uint64_t& dirBytes, std::uint64_t& nameBytes,
             std::uint64_t& dataBytes) {
  if (node->isDirectory) {
    dirBytes += 16 + 8ull * (std::uint64_t{node->namedEntryCount} + node->idEntryCount);
    for (const TResItem* child = node->firstChild; child != nullptr; child = child->nextSibling) {
      if (!child->name.empty()) nameBytes += 2 + 2ull * child->name.size();
      Measure(child, dirBytes, nameBytes, dataBytes);
    }
  } else {
    dirBytes += 16;
    dataBytes += (std::uint64_t{node->dataSize} + 3) & ~std::uint64_t{3};
  }
}

// Counts and name lengths are 16-bit fields in the section: a tree beyond
// them cannot be written as it is.
bool FitsTheFormat(const TResItem* node) {
  if (!node->isDirectory) return true;
  if (node->namedEntryCount > 0xFFFF || node->idEntryCount > 0xFFFF) return false;
  for (const TResItem* child = node->firstChild; child != nullptr; child = child->nextSibling) {
    if (child->name.size() > 0xFFFF || !FitsTheFormat(child)) return false;
  }
  return true;
}

// Bounds-checked writes into the section image.
struct SectionWriter {
  SectionCursor& c;
  std::uint8_t* At(std::uint32_t offset, std::uint64_t length) {
    if (!InBounds(c.imageSize, offset, length))
      throw std::length_error("resource section layout overflows its measured size");
    return c.image + offset;
  }
};

// Puts leaves' bytes into the scratch file by file writes instead of through
// the mapped section image, which would touch every page of it: small leaves
// are gathered in a bounded buffer, and large unchanged ones are copied from
// the image file directly.
class LeafDataWriter {
 public:
  LeafDataWriter(platform::FileHandle scratch, platform::FileHandle image,
                 const std::uint8_t* imageView, LeavesMovedInPlace* moved)
      : scratch_(scratch), image_(image), imageView_(imageView), moved_(moved) {}

  // The bytes of leaf, which go at offset at of the section.
  void Put(const TResItem* leaf, std::uint32_t at) {
    const std::uint32_t size = leaf->dataSize;
    if (size == 0) return;
    if (leaf->dataPointer != nullptr) {
      if (image_ != platform::kInvalidFile && imageView_ != nullptr) {
        const auto from = static_cast<std::uint64_t>(leaf->dataPointer - imageView_);
        if (LeaveForMove(from, size, at)) return;
        if (size >= kDirectCopy) {
          Flush();
          Check(platform::CopyFileRange(image_, from, scratch_, at, size));
          return;
        }
      }
      Append(leaf->dataPointer, size, at);
    } else if (!leaf->data.empty()) {
      Append(reinterpret_cast<const std::uint8_t*>(leaf->data.data()),
             std::min<std::size_t>(size, leaf->data.size()), at);
    } else if (leaf->tempFile != 0) {
      // New data that cannot be read back would go into the image as zeros.
      Flush();
      if (!platform::CopyFileRange(leaf->tempFile, 0, scratch_, at, size))
        throw std::runtime_error("cannot read back a scratch file");
    } else {
      // A leaf whose new data was lost when storing it failed.
      throw std::runtime_error("a resource has lost its data");
    }
  }

  void Flush() {
    if (buffer_.empty()) return;
    Check(platform::WriteAt(scratch_, start_, buffer_.data(), buffer_.size()));
    buffer_.clear();
  }

 private:
  static constexpr std::uint32_t kDirectCopy = 64u << 10;
  static constexpr std::size_t kBufferLimit = 256u << 10;

  // A leaf is moved in place when its old place lies in the old section
  // behind the one moved before it, which keeps every move from overwriting
  // another's bytes before they have moved.
  bool LeaveForMove(std::uint64_t from, std::uint32_t size, std::uint32_t at) {
    if (moved_ == nullptr || size < MovedInPlaceMinimum() || from < moved_->begin ||
        from + size > moved_->end)
      return false;
    if (!moved_->moves.empty() && from < moved_->moves.back().from + moved_->moves.back().size)
      return false;
    moved_->moves.push_back(LeafMove{from, at, size});
    return true;
  }

  static void Check(bool ok) {
    if (!ok) throw std::runtime_error("cannot write the section image");
  }

  void Append(const std::uint8_t* bytes, std::size_t count, std::uint32_t at) {
    if (!buffer_.empty()) {
      const std::uint64_t end = start_ + buffer_.size();
      // The padding between two leaves is zero in the scratch file already,
      // and zero in the buffer.
      if (at >= end && at - end < 8 && buffer_.size() + (at - end) + count <= kBufferLimit)
        buffer_.resize(buffer_.size() + static_cast<std::size_t>(at - end), 0);
      else
        Flush();
    }
    if (count >= kBufferLimit) {
      Check(platform::WriteAt(scratch_, at, bytes, count));
      return;
    }
    if (buffer_.empty()) {
      buffer_.reserve(kBufferLimit);
      start_ = at;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + count);
  }

  platform::FileHandle scratch_;
  platform::FileHandle image_;
  const std::uint8_t* imageView_;
  LeavesMovedInPlace* moved_;
  std::vector<std::uint8_t> buffer_;
  std::uint32_t start_ = 0;
};

// Writes the subtree; leaves' bytes go into the section image's memory, or
// through files when it is given.
void Write(const TResItem* node, SectionCursor& cursor, LeafDataWriter* files) {
  SectionWriter w{cursor};
  if (node->isDirectory) {
    const std::uint32_t count = node->namedEntryCount + node->idEntryCount;
    const std::uint32_t table = cursor.dirPos;
    std::uint8_t* header = w.At(table, 16 + 8ull * count);
    cursor.dirPos += 16 + 8 * count;
    StoreU32(header + 0, node->characteristics);
    StoreU32(header + 4, node->timeDateStamp);
    StoreU16(header + 8, node->majorVersion);
    StoreU16(header + 10, node->minorVersion);
    StoreU16(header + 12, static_cast<std::uint16_t>(node->namedEntryCount));
    StoreU16(header + 14, static_cast<std::uint16_t>(node->idEntryCount));
    std::uint32_t k = 0;
    for (const TResItem* child = node->firstChild; child != nullptr && k < count;
         child = child->nextSibling, ++k) {
      std::uint8_t* entry = header + 16 + 8 * k;
      if (k < node->namedEntryCount) {
        const auto length = static_cast<std::uint32_t>(child->name.size());
        std::uint8_t* text = w.At(cursor.namePos, 2 + 2ull * length);
        StoreU32(entry, cursor.namePos | kHighBit);
        StoreU16(text, static_cast<std::uint16_t>(length));
        for (std::uint32_t i = 0; i < length; ++i)
          StoreU16(text + 2 + 2 * i, static_cast<std::uint16_t>(child->name[i]));
        cursor.namePos += 2 + 2 * length;
      } else {
        StoreU32(entry, child->id);
      }
      StoreU32(entry + 4, cursor.dirPos | (child->isDirectory ? kHighBit : 0));
      Write(child, cursor, files);
    }
    return;
  }
  std::uint8_t* entry = w.At(cursor.dirPos, 16);
  cursor.dirPos += 16;
  StoreU32(entry + 0, cursor.sectionRva + cursor.dataPos);
  StoreU32(entry + 4, node->dataSize);
  StoreU32(entry + 8, node->codePage);
  StoreU32(entry + 12, node->reserved);
  std::uint8_t* out = w.At(cursor.dataPos, node->dataSize);
  if (files != nullptr) {
    files->Put(node, cursor.dataPos);
  } else if (node->dataPointer != nullptr) {
    std::memcpy(out, node->dataPointer, node->dataSize);
  } else if (!node->data.empty()) {
    std::memcpy(out, node->data.data(), std::min<std::size_t>(node->dataSize, node->data.size()));
  } else if (node->tempFile != 0) {
    // New data that cannot be read back would go into the image as zeros.
    if (!platform::ReadAt(node->tempFile, 0, out, node->dataSize))
      throw std::runtime_error("cannot read back a scratch file");
  } else if (node->dataSize != 0) {
    // A leaf whose new data was lost when storing it failed.
    throw std::runtime_error("a resource has lost its data");
  }
  cursor.dataPos += RoundUp(node->dataSize, 4);
}


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
    // The format allows powers of two up to 64 KiB for the file alignment; a
    // crafted value could otherwise make one commit grow the file by gigabytes.
    constexpr std::uint32_t kMaxFileAlignment = 0x10000;
    if (fileAlignment == 0 || sectionAlignment == 0 || fileAlignment > kMaxFileAlignment ||
        (fileAlignment & (fileAlignment - 1)) != 0)
      return false;
    // The section must lie in the file behind the headers, or writing it
    // would destroy them.
    const std::uint64_t headersEnd = std::uint64_t{l.sectionTable} + sec::kSize * l.sectionCount;
    if (rawPointer < headersEnd || !InBounds(u_.viewSize, rawPointer, rawSize)) return false;
    if (!NothingElseLivesInSection(l, s, rva, oldSize)) return false;

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
    if (image.view == nullptr) {
      // Its scratch file lies in the temporary folder: that is what is full
      // or missing, not the image.
      const std::uint32_t code = platform::LastError();
      error_ = MakeError(platform::ClassifyError(code),
                         "cannot lay out the new resource section in a scratch file in this folder",
                         code, platform::TempDirectory());
      return false;
    }
    struct ImageGuard {
      const TResItem* root;
      SectionImage& image;
      ~ImageGuard() { ReleaseSectionImage(root, image); }
    } guard{u_.root, image};

    // Everything the change will overwrite is kept in the journal before the
    // first byte of the image changes: the headers, the debug entries, and
    // the section with all that lies behind it when that moves.
    const std::uint64_t originalLength = u_.viewSize;
    const std::uint64_t changedEnd =
        p.rawDelta != 0 ? originalLength : std::uint64_t{rawPointer} + rawSize;
    std::vector<JournalRange> kept = {{0, std::min<std::uint64_t>(headersEnd, rawPointer)},
                                      {rawPointer, changedEnd - rawPointer}};
    if (const auto debug = DebugEntriesRange(l)) kept.push_back(*debug);
    // The headers as they were, to check the result against.
    const std::vector<std::uint8_t> oldHeaders(u_.view, u_.view + headersEnd);
    Journal journal(u_.fileHandle, u_.fileName, u_.options.journal, u_.options.sync,
                    image.scratchName + "undo");
    if (!journal.Write(originalLength, kept, error_)) return false;

    bool done = false;
    std::exception_ptr failure;
    try {
      done = moved.moves.empty() ? CopyIn(image, p) : PlaceInPlace(image, moved, p);
      // Read back before it counts: a commit that wrote something else than
      // it meant is undone, not reported as done.
      if (done) {
        if (const auto problem = CheckCommittedImage(u_.view, u_.viewSize, oldHeaders, p.sectionIndex, u_.root)) {
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
      const std::uint64_t extent = std::max(LoadU32(h + sec::kVirtualSize), LoadU32(h + sec::kSizeOfRawData));
      if (address < start || address - start >= extent || LoadU32(h + sec::kPointerToRawData) == 0) continue;
      const std::uint64_t at = std::uint64_t{LoadU32(h + sec::kPointerToRawData)} + (address - start);
      if (at >= u_.viewSize) return std::nullopt;
      return JournalRange{at, std::min<std::uint64_t>(size, u_.viewSize - at)};
    }
    return std::nullopt;
  }

  // Where the new section goes and how everything behind it moves.
  struct Placement {
    std::uint32_t sectionIndex = 0;
    std::uint32_t rawPointer = 0;  // the section's data in the file, which stays
    std::uint32_t oldRawSize = 0;
    std::uint32_t newRawSize = 0;
    std::uint32_t sectionSize = 0;
    std::int32_t rawDelta = 0;
    std::uint32_t virtDelta = 0;
  };

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
    if (!FixEverything(p)) return false;
    // The section goes in by a copy from file to file, which the view shows
    // as well. The checksum reads the file likewise. (Reading the section
    // through a buffer and summing it on its way measured no faster than
    // this in-kernel copy and one more read.)
    if (!platform::CopyFileRange(image.file, 0, u_.fileHandle, p.rawPointer, p.sectionSize)) {
      Fail("cannot write the new resource section");
      return false;
    }
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
    if (p.rawDelta < 0 &&
        !ShiftFileTail(u_.fileHandle, p.rawPointer + p.oldRawSize, p.rawDelta, u_.mappingHandle,
                       u_.view, u_.viewSize, &tail.sum)) {
      Fail("cannot move what lies behind the resources");
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
  bool PlaceSection(const SectionImage& image, const LeavesMovedInPlace& moved,
                    const Placement& p, const std::vector<std::uint8_t>& zeros,
                    std::vector<SummedRange>& known) {
    const std::uint64_t base = p.rawPointer;
    auto move = [&](const LeafMove& m) {
      SummedRange range{base + m.to, base + m.to + m.size, {}};
      std::uint64_t done = 0;
      if (!MoveFileBytes(u_.fileHandle, m.from, range.begin, m.size, done, &range.sum)) return false;
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
      if (m.to > at && !platform::CopyFileRange(image.file, at, u_.fileHandle, base + at, m.to - at))
        return false;
      at = std::uint64_t{m.to} + m.size;
    }
    return (p.sectionSize == at ||
            platform::CopyFileRange(image.file, at, u_.fileHandle, base + at, p.sectionSize - at)) &&
           (zeros.empty() || platform::WriteAt(u_.fileHandle, base + p.sectionSize, zeros.data(), zeros.size()));
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
    FixHeaders(*layout, p.sectionIndex, p.newRawSize, p.sectionSize,
               static_cast<std::uint32_t>(p.rawDelta), p.virtDelta, p.rawPointer, p.oldRawSize);
    FixDebugDirectory(*layout, p.rawPointer, p.newRawSize, static_cast<std::uint32_t>(p.rawDelta),
                      p.virtDelta);
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

  // Packers keep imports or code inside the resource section; rebuilding it
  // would throw them away and the program would no longer load. Such images
  // are refused rather than destroyed.
  bool NothingElseLivesInSection(const PeLayout& l, const std::uint8_t* s, std::uint32_t rva,
                                 std::uint32_t oldSize) const {
    const std::uint64_t extent = std::max({std::uint64_t{LoadU32(s + sec::kVirtualSize)},
                                           std::uint64_t{LoadU32(s + sec::kSizeOfRawData)},
                                           std::uint64_t{oldSize}});
    auto inside = [&](std::uint32_t address) {
      return address >= rva && address - std::uint64_t{rva} < extent;
    };
    for (std::uint32_t k = 0; k < l.directoryCount; ++k) {
      if (k == kResourceDirectory || k == kCertificateDirectory) continue;
      const std::uint8_t* entry = u_.view + l.DirectoryEntry(k);
      if (LoadU32(entry) != 0 && LoadU32(entry + 4) != 0 && inside(LoadU32(entry))) return false;
    }
    const std::uint32_t entryPoint = LoadU32(u_.ntHeaders + nt::kAddressOfEntryPoint);
    return entryPoint == 0 || !inside(entryPoint);
  }

  void FixHeaders(const PeLayout& l, std::uint32_t sectionIndex, std::uint32_t newRaw,
                  std::uint32_t sectionSize, std::uint32_t rawDelta, std::uint32_t virtDelta,
                  std::uint32_t rawPointer, std::uint32_t oldRawSize) {
    std::uint8_t* nt = u_.ntHeaders;
    std::uint8_t* v = u_.view;
    const std::uint32_t oldEnd = rawPointer + oldRawSize;
    auto add = [](std::uint8_t* p, std::uint32_t delta) { StoreU32(p, LoadU32(p) + delta); };

    std::uint8_t* resource = v + l.DirectoryEntry(kResourceDirectory);
    const std::uint32_t rva = LoadU32(resource);
    add(nt + nt::kSizeOfInitializedData, rawDelta);
    std::uint8_t* s = v + l.Section(sectionIndex);
    StoreU32(s + sec::kSizeOfRawData, newRaw);
    StoreU32(s + sec::kVirtualSize, sectionSize);
    StoreU32(resource + 4, sectionSize);
    add(nt + nt::kSizeOfImage, virtDelta);

    for (std::uint32_t i = 0; i < l.sectionCount; ++i) {
      std::uint8_t* h = v + l.Section(i);
      if (LoadU32(h + sec::kVirtualAddress) <= rva) continue;
      add(h + sec::kVirtualAddress, virtDelta);
      // A section without data in the file (PointerToRawData 0) keeps 0: moved,
      // it would name a position outside the file (wrapped when shrinking).
      if (LoadU32(h + sec::kPointerToRawData) != 0) add(h + sec::kPointerToRawData, rawDelta);
      if (LoadU32(h + sec::kPointerToLinenumbers) > rawPointer) add(h + sec::kPointerToLinenumbers, rawDelta);
      if (LoadU32(h + sec::kPointerToRelocations) > rawPointer) add(h + sec::kPointerToRelocations, rawDelta);
    }
    for (std::uint32_t k = 0; k < l.directoryCount; ++k) {
      std::uint8_t* entry = v + l.DirectoryEntry(k);
      if (k == kCertificateDirectory) {
        // The certificate table holds a file offset, not an address.
        if (LoadU32(entry) >= oldEnd && LoadU32(entry) != 0) add(entry, rawDelta);
      } else if (LoadU32(entry) > rva) {
        add(entry, virtDelta);
      }
    }
    // The COFF symbol table of GNU-linked images lies behind the sections.
    std::uint8_t* symbols = nt + nt::kPointerToSymbolTable;
    if (LoadU32(symbols) >= oldEnd && LoadU32(symbols) != 0) add(symbols, rawDelta);
  }

  // Records the file range of the entries it changed in debugBegin_ and
  // debugEnd_ (empty for none).
  //
  // Entries that lie in the file where the new section goes are left alone:
  // the section's bytes replace them, whether they are written before or
  // after this (large leaves moved in place go in first).
  void FixDebugDirectory(const PeLayout& l, std::uint32_t rawPointer, std::uint32_t newRawSize,
                         std::uint32_t rawDelta, std::uint32_t virtDelta) {
    debugBegin_ = debugEnd_ = 0;
    if (l.directoryCount <= kDebugDirectory) return;
    std::uint8_t* v = u_.view;
    const std::uint8_t* d = v + l.DirectoryEntry(kDebugDirectory);
    const std::uint32_t address = LoadU32(d);
    const std::uint32_t size = LoadU32(d + 4);
    if (size == 0) return;
    std::optional<std::uint32_t> holder;
    for (std::uint32_t j = 0; j < l.sectionCount && !holder; ++j) {
      const std::uint32_t start = LoadU32(v + l.Section(j) + sec::kVirtualAddress);
      const bool last = j + 1 == l.sectionCount;
      if (start <= address &&
          (last || LoadU32(v + l.Section(j + 1) + sec::kVirtualAddress) > address))
        holder = j;
    }
    if (!holder) return;
    const std::uint8_t* h = v + l.Section(*holder);
    // Only entries inside the holder's data in the file are read: a section
    // without data in the file holds none, and the bytes at its pointer 0
    // (the headers) or behind its data belong to something else.
    const std::uint64_t rawStart = LoadU32(h + sec::kPointerToRawData);
    const std::uint64_t rawEnd = rawStart + LoadU32(h + sec::kSizeOfRawData);
    if (rawStart == 0) return;
    const std::uint64_t at = rawStart + (address - LoadU32(h + sec::kVirtualAddress));
    const std::uint32_t count = size % kDebugEntrySize == 0 ? size / kDebugEntrySize : size;
    if (static_cast<std::int32_t>(count) <= 0) return;
    // Entries that would lie outside the file are left alone.
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t offset = at + kDebugEntrySize * i;
      if (offset + kDebugEntrySize > rawEnd || !InBounds(u_.viewSize, offset, kDebugEntrySize)) break;
      std::uint8_t* entry = v + offset;
      if (offset < std::uint64_t{rawPointer} + newRawSize && offset + kDebugEntrySize > rawPointer)
        continue;
      if (LoadU32(entry + kDebugPointerToRawData) > rawPointer) {
        if (debugEnd_ == 0) debugBegin_ = offset;
        debugEnd_ = offset + kDebugEntrySize;
        StoreU32(entry + kDebugPointerToRawData, LoadU32(entry + kDebugPointerToRawData) + rawDelta);
        if (LoadU32(entry + kDebugAddressOfRawData) != 0)
          StoreU32(entry + kDebugAddressOfRawData,
                   LoadU32(entry + kDebugAddressOfRawData) + virtDelta);
      }
    }
  }

  ResourceUpdate& u_;
  Error& error_;
  // The debug entries fixed, from the first one's start to the last one's end.
  std::uint64_t debugBegin_ = 0;
  std::uint64_t debugEnd_ = 0;
};

}  // namespace

namespace {
std::uint32_t g_movedInPlaceMinimum = kMovedInPlace;
}  // namespace

std::uint32_t MovedInPlaceMinimum() { return g_movedInPlaceMinimum; }
void SetMovedInPlaceMinimum(std::uint32_t bytes) {
  g_movedInPlaceMinimum = bytes == 0 ? kMovedInPlace : bytes;
}

std::uint32_t SectionSizes::SectionSize() const { return RoundUp(dirBytes + nameBytes, 4) + dataBytes; }

void MeasureResourceTree(const TResItem* node, std::uint32_t& dirBytes, std::uint32_t& nameBytes,
                         std::uint32_t& dataBytes) {
  std::uint64_t d = 0, n = 0, b = 0;
  Measure(node, d, n, b);
  dirBytes += static_cast<std::uint32_t>(d);
  nameBytes += static_cast<std::uint32_t>(n);
  dataBytes += static_cast<std::uint32_t>(b);
}

bool WriteResourceTree(const TResItem* node, SectionCursor& cursor) {
  try {
    Write(node, cursor, nullptr);
    return true;
  } catch (...) {
    return false;
  }
}

SectionImage BuildResourceSection(std::uint32_t sectionRva, const TResItem* root,
                                  std::uint32_t dirBytes, std::uint32_t nameBytes,
                                  std::uint32_t dataBytes) {
  return BuildResourceSection(sectionRva, root, dirBytes, nameBytes, dataBytes,
                              platform::kInvalidFile, nullptr);
}

SectionImage BuildResourceSection(std::uint32_t sectionRva, const TResItem* root,
                                  std::uint32_t dirBytes, std::uint32_t nameBytes,
                                  std::uint32_t dataBytes, platform::FileHandle imageFile,
                                  const std::uint8_t* imageView) {
  return BuildResourceSection(sectionRva, root, dirBytes, nameBytes, dataBytes, imageFile,
                              imageView, nullptr);
}

SectionImage BuildResourceSection(std::uint32_t sectionRva, const TResItem* root,
                                  std::uint32_t dirBytes, std::uint32_t nameBytes,
                                  std::uint32_t dataBytes, platform::FileHandle imageFile,
                                  const std::uint8_t* imageView, LeavesMovedInPlace* moved) {
  SectionImage image;
  const std::uint32_t dataStart = RoundUp(dirBytes + nameBytes, 4);
  const std::uint32_t sectionSize = dataStart + dataBytes;
  std::string name = ScratchFileName(root);
  const platform::FileHandle file = platform::CreateScratchFile(name);
  if (file == platform::kInvalidFile) return image;
  platform::MappingHandle mapping = 0;
  std::uint8_t* view = nullptr;
  std::uint32_t viewSize = 0;
  // A new file extended to its length reads as zeros: the gaps need no fill.
  const bool mapped = platform::SetFileLength(file, sectionSize) &&
                      platform::MapWholeFile(file, mapping, view, viewSize);
  platform::CloseMapping(mapping);
  if (!mapped) {
    platform::CloseFile(file);
    platform::DeleteFileByName(name);
    return image;
  }
  image.view = view;
  image.size = sectionSize;
  image.mappedSize = viewSize;
  image.scratchName = std::move(name);
  image.file = file;
  // The directory tables and names go in through the view; the leaves'
  // bytes, most of a section, through the scratch file.
  SectionCursor cursor{view, std::min(sectionSize, viewSize), sectionRva, 0, dirBytes, dataStart};
  try {
    LeafDataWriter files(file, imageFile, imageView, moved);
    Write(root, cursor, &files);
    files.Flush();
  } catch (...) {
    ReleaseSectionImage(root, image);
  }
  return image;
}

void ReleaseSectionImage(const TResItem*, SectionImage& image) noexcept {
  if (image.view == nullptr) return;
  platform::UnmapView(image.view, image.mappedSize);
  platform::CloseFile(image.file);
  image.file = platform::kInvalidFile;
  try {
    platform::DeleteFileByName(image.scratchName);
  } catch (...) {
    // Deleting is best effort.
  }
  image.view = nullptr;
  image.size = 0;
  image.mappedSize = 0;
  image.scratchName.clear();
}

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
