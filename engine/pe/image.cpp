// Opening, mapping and reading the headers of a PE image, the image
// checksum, and moving the tail of the file.
#include "engine/pe/image.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "engine/pe/bytes.h"
#include "engine/platform/platform_hooks.h"

namespace marovi {

namespace {
constexpr std::uint32_t kDosMagic = 0x5A4D;  // "MZ"
constexpr std::uint32_t kDosLfanew = 60;
constexpr std::size_t kMoveChunk = 256u << 10;  // stays in the cache between read, sum and write
// Even, so that every chunk but the last holds whole words; small enough to
// stay in the processor's cache between the read and the sum.
constexpr std::uint32_t kChecksumChunk = 256u << 10;
}  // namespace

std::optional<PeLayout> ReadPeLayout(const std::uint8_t* view, std::uint32_t viewSize,
                                     const std::uint8_t* ntHeaders) {
  if (view == nullptr || ntHeaders == nullptr || ntHeaders < view) return std::nullopt;
  const auto ntOffset = static_cast<std::uint64_t>(ntHeaders - view);
  // Everything up to CheckSum and the directory count must be there.
  if (!InBounds(viewSize, ntOffset, nt::kCheckSum + 4)) return std::nullopt;
  PeLayout layout;
  layout.ntHeaders = static_cast<std::uint32_t>(ntOffset);
  layout.magic = LoadU16(ntHeaders + nt::kMagic);
  std::uint32_t countField = 0;
  std::uint32_t directory = 0;
  if (layout.magic == nt::kMagicPe32) {
    countField = nt::kNumberOfRvaAndSizes32;
    directory = nt::kDataDirectory32;
  } else if (layout.magic == nt::kMagicPe32Plus) {
    countField = nt::kNumberOfRvaAndSizes64;
    directory = nt::kDataDirectory64;
  } else {
    return std::nullopt;
  }
  const std::uint32_t optionalSize = LoadU16(ntHeaders + nt::kSizeOfOptionalHeader);
  if (!InBounds(viewSize, ntOffset, countField + 4)) return std::nullopt;
  // Only the directory entries that the optional header really holds count.
  std::uint32_t count =
      std::min<std::uint32_t>(LoadU32(ntHeaders + countField), kDataDirectoryEntries);
  const std::uint32_t room = nt::kOptionalHeader + optionalSize > directory
                                 ? (nt::kOptionalHeader + optionalSize - directory) / 8
                                 : 0;
  count = std::min(count, room);
  layout.dataDirectory = layout.ntHeaders + directory;
  layout.directoryCount = count;
  if (!InBounds(viewSize, layout.dataDirectory, 8ull * count)) return std::nullopt;
  layout.sectionTable = layout.ntHeaders + nt::kOptionalHeader + optionalSize;
  layout.sectionCount = LoadU16(ntHeaders + nt::kNumberOfSections);
  if (!InBounds(viewSize, layout.sectionTable, std::uint64_t{sec::kSize} * layout.sectionCount))
    return std::nullopt;
  return layout;
}

bool MapWholeFile(FileHandle file, MappingHandle& mapping, std::uint8_t*& view,
                  std::uint32_t& viewSize) {
  return platform::MapWholeFile(file, mapping, view, viewSize);
}

void UnmapFile(MappingHandle mapping, std::uint8_t* view, std::uint32_t viewSize) {
  platform::UnmapView(view, viewSize);
  platform::CloseMapping(mapping);
}

std::uint8_t* LocateNtHeaders(std::uint8_t* view, std::uint32_t viewSize) {
  if (view == nullptr || viewSize < 2) return nullptr;
  if (LoadU16(view) != kDosMagic) return nullptr;
  if (!InBounds(viewSize, kDosLfanew, 4)) return nullptr;
  const std::uint32_t lfanew = LoadU32(view + kDosLfanew);
  if (!InBounds(viewSize, lfanew, 4)) return nullptr;
  if (LoadU32(view + lfanew) != nt::kPeSignature) return nullptr;
  return view + lfanew;
}

std::optional<std::uint32_t> FindResourceSection(const std::uint8_t* view, std::uint32_t viewSize,
                                                 const std::uint8_t* ntHeaders) {
  const auto layout = ReadPeLayout(view, viewSize, ntHeaders);
  if (!layout || layout->directoryCount <= kResourceDirectory) return std::nullopt;
  const std::uint32_t rva = LoadU32(view + layout->DirectoryEntry(kResourceDirectory));
  for (std::uint32_t i = 0; i < layout->sectionCount; ++i) {
    if (LoadU32(view + layout->Section(i) + sec::kVirtualAddress) == rva) return i;
  }
  return std::nullopt;
}

std::optional<CertificateTable> FindCertificateTable(const std::uint8_t* view,
                                                     std::uint32_t viewSize,
                                                     const std::uint8_t* ntHeaders) {
  const auto layout = ReadPeLayout(view, viewSize, ntHeaders);
  if (!layout || layout->directoryCount <= kCertificateDirectory) return std::nullopt;
  const std::uint8_t* entry = view + layout->DirectoryEntry(kCertificateDirectory);
  const CertificateTable table{LoadU32(entry), LoadU32(entry + 4)};
  if (table.size == 0) return std::nullopt;
  return table;
}

std::uint32_t RoundUp(std::uint32_t value, std::uint32_t alignment) {
  return ((value + alignment - 1) / alignment) * alignment;
}

namespace {

// The 16-bit word sum with end-around carry is the sum modulo 0xFFFF (0 only
// when every word is 0), and a 32-bit little-endian word lo + hi * 2^16 is lo
// + hi modulo 0xFFFF. So the words are added as 32-bit lanes, the low and high
// halves apart, several lanes at once (the compiler turns the vector type into
// SSE2 or AVX2 adds); a lane takes at most kFlush additions of 0xFFFF before
// it is emptied into the 64-bit total, which nothing under 4 GiB overflows.
template <int Bytes>
struct LaneVector {
  typedef std::uint32_t Type __attribute__((vector_size(Bytes)));
};

template <int Bytes>
std::uint64_t SumWordsImpl(const std::uint8_t* bytes, std::size_t count) {
  using Lanes = typename LaneVector<Bytes>::Type;
  constexpr std::size_t kStep = 2 * Bytes;
  constexpr std::size_t kFlush = 16384;
  std::uint64_t total = 0;
  std::size_t i = 0;
  while (count - i >= kStep) {
    Lanes lo = {}, hi = {};
    for (std::size_t steps = 0; count - i >= kStep && steps < kFlush; i += kStep, ++steps) {
      Lanes a, b;
      std::memcpy(&a, bytes + i, Bytes);
      std::memcpy(&b, bytes + i + Bytes, Bytes);
      lo += (a & 0xFFFF) + (b & 0xFFFF);
      hi += (a >> 16) + (b >> 16);
    }
    for (int k = 0; k < Bytes / 4; ++k) total += std::uint64_t{lo[k]} + hi[k];
  }
  for (; count - i >= 2; i += 2) total += LoadU16(bytes + i);
  if (i < count) total += bytes[i];  // an odd last byte is the low half of a word
  return total;
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) std::uint64_t SumWordsAvx2(const std::uint8_t* bytes,
                                                           std::size_t count) {
  return SumWordsImpl<32>(bytes, count);
}
#endif

// The unfolded word sum of count bytes; count is even except for the last
// piece of a file.
std::uint64_t SumWords(const std::uint8_t* bytes, std::size_t count) {
#if defined(__x86_64__) || defined(__i386__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return SumWordsAvx2(bytes, count);
#endif
  return SumWordsImpl<16>(bytes, count);
}

std::uint32_t FoldChecksum(std::uint64_t sum) {
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum);
}

// Where CheckSum lies in the view, or none.
std::optional<std::uint32_t> ChecksumField(std::uint8_t* view, std::uint32_t viewSize) {
  std::uint8_t* ntHeaders = LocateNtHeaders(view, viewSize);
  if (ntHeaders == nullptr) return std::nullopt;
  const auto offset = static_cast<std::uint64_t>(ntHeaders - view) + nt::kCheckSum;
  if (!InBounds(viewSize, offset, 4)) return std::nullopt;
  return static_cast<std::uint32_t>(offset);
}

}  // namespace

std::uint32_t ImageChecksum(const std::uint8_t* bytes, std::uint32_t size) {
  return FoldChecksum(SumWords(bytes, size));
}

void ComputeImageChecksum(std::uint8_t* view, std::uint32_t viewSize, std::uint32_t fileSize) {
  const auto field = ChecksumField(view, viewSize);
  if (!field) return;
  fileSize = std::min(fileSize, viewSize);
  StoreU32(view + *field, 0);
  StoreU32(view + *field, ImageChecksum(view, fileSize) + fileSize);
}

void ChecksumParts::Add(std::uint64_t offset, const std::uint8_t* bytes, std::size_t count) {
  std::uint64_t sum = 0;
  // Pieces of at most a few MiB: the unfolded sum stays far below 2^64.
  for (std::size_t done = 0; done < count;) {
    const std::size_t piece = std::min<std::size_t>(count - done, std::size_t{1} << 24);
    sum += SumWords(bytes + done, piece) % 0xFFFF;
    done += piece;
  }
  if (sum == 0 && count > 0) {
    for (std::size_t i = 0; i < count && !nonzero_; ++i) nonzero_ = bytes[i] != 0;
  } else if (sum != 0) {
    nonzero_ = true;
  }
  std::uint64_t r = sum % 0xFFFF;
  // Starting at an odd offset, every byte takes the other half of its word:
  // the sum is multiplied by 2^8 (2^16 being 1 modulo 0xFFFF).
  if (offset % 2 != 0) r = (r << 8) % 0xFFFF;
  residue_ = static_cast<std::uint32_t>((residue_ + r) % 0xFFFF);
}

void ChecksumParts::Add(const ChecksumParts& other) {
  residue_ = (residue_ + other.residue_) % 0xFFFF;
  nonzero_ = nonzero_ || other.nonzero_;
}

std::uint32_t ChecksumParts::Folded() const {
  // The folded sum is 0 only when every word is; a nonzero multiple of 0xFFFF
  // folds to 0xFFFF.
  if (residue_ == 0) return nonzero_ ? 0xFFFF : 0;
  return residue_;
}

bool SumFileRange(FileHandle file, ByteRange range, ChecksumParts& sum) {
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(range.size, kChecksumChunk)));
  } catch (const std::bad_alloc&) {
    return false;
  }
  ChecksumParts part;
  for (std::uint64_t at = range.offset; at < range.end();) {
    const auto chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(range.end() - at, kChecksumChunk));
    if (!platform::ReadAt(file, at, buffer.data(), chunk)) return false;
    part.Add(at, buffer.data(), chunk);
    at += chunk;
  }
  sum.Add(part);
  return true;
}

void ComputeImageChecksumFromFile(FileHandle file, std::uint8_t* view, std::uint32_t viewSize,
                                  std::uint32_t fileSize, std::span<const SummedRange> known) {
  const auto field = ChecksumField(view, viewSize);
  if (!field) return;
  fileSize = std::min(fileSize, viewSize);
  StoreU32(view + *field, 0);  // the file shows the cleared field as well
  std::uint64_t previousEnd = 0;
  for (const SummedRange& summed : known) {
    const ByteRange& range = summed.range;
    if (range.offset < previousEnd || !ByteRange{0, fileSize}.Contains(range) ||
        range.Overlaps(ByteRange{*field, 4})) {
      known = {};
      break;
    }
    previousEnd = range.end();
  }
  // The gaps between the known ranges, and behind the last, are read. A
  // read that fails, or out of memory, falls back on the view: the commit
  // calls this when nothing may fail any more.
  ChecksumParts sum;
  bool read = true;
  std::uint64_t from = 0;
  for (const SummedRange& summed : known) {
    read = read && SumFileRange(file, ByteRange::Between(from, summed.range.offset), sum);
    sum.Add(summed.sum);
    from = summed.range.end();
  }
  if (!(read && SumFileRange(file, ByteRange::Between(from, fileSize), sum))) {
    ComputeImageChecksum(view, viewSize, fileSize);
    return;
  }
  StoreU32(view + *field, sum.Folded() + fileSize);
}

bool MoveFileBytes(FileHandle file, std::uint64_t src, std::uint64_t dst, std::uint64_t count,
                   std::uint64_t& moved, ChecksumParts* sum) {
  moved = 0;
  if (count == 0 || src == dst) return true;
  // Out of memory is one more failure before the first byte moves, never an
  // exception that would leave a grown file behind.
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(count, kMoveChunk)));
  } catch (const std::bad_alloc&) {
    return false;
  }
  while (moved < count) {
    const auto chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(count - moved, buffer.size()));
    const std::uint64_t at = dst > src ? count - moved - chunk : moved;
    if (!platform::ReadAt(file, src + at, buffer.data(), chunk)) return false;
    // Summed while the bytes are in the cache, at their new place.
    if (sum != nullptr) sum->Add(dst + at, buffer.data(), chunk);
    if (!platform::WriteAt(file, dst + at, buffer.data(), chunk)) {
      // A write that failed part way may have overwritten bytes of this very
      // chunk where the ranges overlap; they are still in the buffer.
      platform::WriteAt(file, src + at, buffer.data(), chunk);
      return false;
    }
    moved += chunk;
  }
  return true;
}

namespace {

// Puts a partly grown file back: the moved top of the tail goes back down and
// the length returns to what it was.
bool UndoGrow(FileHandle file, std::uint64_t position, std::uint64_t count, std::uint64_t delta,
              std::uint64_t moved, std::uint64_t originalLength) {
  std::uint64_t back = 0;
  const std::uint64_t start = position + count - moved;
  if (!MoveFileBytes(file, start + delta, start, moved, back, nullptr)) return false;
  return platform::SetFileLength(file, originalLength);
}

}  // namespace

bool ShiftFileTail(FileHandle file, std::uint32_t position, std::int32_t delta,
                   MappingHandle& mapping, std::uint8_t*& view, std::uint32_t& viewSize,
                   ChecksumParts* movedTail) {
  ChecksumParts tailSum;
  UnmapFile(mapping, view, viewSize);
  view = nullptr;
  viewSize = 0;
  mapping = 0;
  auto remap = [&] { return MapWholeFile(file, mapping, view, viewSize); };
  // A failure undoes what it can and maps the file again, which on some
  // systems clears the last-error value: the failed call's is kept.
  auto fail = [](auto&& undo) {
    const std::uint32_t code = platform::LastError();
    undo();
    platform::SetLastError(code);
    return false;
  };

  std::uint64_t length = 0;
  if (!platform::GetFileLength(file, length)) return fail([&] { remap(); });
  const std::uint64_t originalLength = length;
  if (length < position) {
    if (!platform::SetFileLength(file, position)) {
      return fail([&] {
        platform::SetFileLength(file, originalLength);
        remap();
      });
    }
    length = position;
  }
  const std::uint64_t count = length - position;
  std::uint64_t moved = 0;

  if (delta > 0) {
    const auto grow = static_cast<std::uint64_t>(delta);
    if (!platform::SetFileLength(file, length + grow)) {
      return fail([&] {
        platform::SetFileLength(file, originalLength);
        remap();
      });
    }
    platform::MarkUnrecoverableWindow(true);
    if (!MoveFileBytes(file, position, position + grow, count, moved, &tailSum)) {
      return fail([&] {
        if (UndoGrow(file, position, count, grow, moved, originalLength))
          platform::MarkUnrecoverableWindow(false);
        remap();
        platform::MarkUnrecoverableWindow(false);
      });
    }
    platform::MarkUnrecoverableWindow(false);
    if (!remap()) {
      // The moved file cannot be mapped again: put it back as it was.
      return fail([&] {
        UndoGrow(file, position, count, grow, count, originalLength);
        remap();
      });
    }
    if (movedTail != nullptr) *movedTail = tailSum;
    return true;
  }

  const auto shrink = static_cast<std::uint64_t>(-static_cast<std::int64_t>(delta));
  if (shrink > position) {
    platform::SetFileLength(file, originalLength);
    remap();
    return false;
  }
  // Moving the tail down overwrites the bytes before position, which cannot
  // be put back: from here until the file is mapped again a failure leaves
  // the file changed.
  platform::MarkUnrecoverableWindow(true);
  const bool ok = MoveFileBytes(file, position, position - shrink, count, moved, &tailSum) &&
                  platform::SetFileLength(file, length - shrink) && remap();
  if (!ok) {
    return fail([&] {
      if (view == nullptr) remap();
      platform::MarkUnrecoverableWindow(false);
    });
  }
  platform::MarkUnrecoverableWindow(false);
  if (movedTail != nullptr) *movedTail = tailSum;
  return true;
}

bool ShiftFileTail(platform::MappedView& view, std::uint32_t position, std::int32_t delta,
                   ChecksumParts* movedTail) {
  const FileHandle file = view.file();
  return view.WithParts([&](MappingHandle& mapping, std::uint8_t*& data, std::uint32_t& size) {
    return ShiftFileTail(file, position, delta, mapping, data, size, movedTail);
  });
}

}  // namespace marovi
