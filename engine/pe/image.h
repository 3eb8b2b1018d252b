// Access to a PE image file changed in place: opening, mapping, locating the
// headers and the resource section, the checksum, and moving the file's tail.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "engine/byte_range.h"
#include "engine/platform/mapped_view.h"
#include "engine/platform/platform.h"

namespace marovi {

using platform::FileHandle;
using platform::MappingHandle;

// Field offsets from the first byte of the NT headers. The optional header
// fields used here sit at the same offsets in PE32 and PE32+.
namespace nt {
inline constexpr std::uint32_t kNumberOfSections = 6;
inline constexpr std::uint32_t kPointerToSymbolTable = 12;
inline constexpr std::uint32_t kSizeOfOptionalHeader = 20;
inline constexpr std::uint32_t kCharacteristics = 22;  // of the file header
inline constexpr std::uint32_t kOptionalHeader = 24;
inline constexpr std::uint32_t kMagic = 24;
inline constexpr std::uint32_t kSizeOfInitializedData = 32;
inline constexpr std::uint32_t kAddressOfEntryPoint = 40;
inline constexpr std::uint32_t kSectionAlignment = 56;
inline constexpr std::uint32_t kFileAlignment = 60;
inline constexpr std::uint32_t kSizeOfImage = 80;
inline constexpr std::uint32_t kSizeOfHeaders = 84;
inline constexpr std::uint32_t kCheckSum = 88;
inline constexpr std::uint32_t kNumberOfRvaAndSizes32 = 24 + 92;
inline constexpr std::uint32_t kNumberOfRvaAndSizes64 = 24 + 108;
inline constexpr std::uint32_t kDataDirectory32 = 24 + 96;   // 120
inline constexpr std::uint32_t kDataDirectory64 = 24 + 112;  // 136
inline constexpr std::uint16_t kMagicPe32 = 0x10B;
inline constexpr std::uint16_t kMagicPe32Plus = 0x20B;
inline constexpr std::uint32_t kPeSignature = 0x4550;
inline constexpr std::uint16_t kImageFileDll = 0x2000;  // in kCharacteristics
}  // namespace nt

// Section header fields, offsets inside one 40-byte entry.
namespace sec {
inline constexpr std::uint32_t kSize = 40;
inline constexpr std::uint32_t kVirtualSize = 8;
inline constexpr std::uint32_t kVirtualAddress = 12;
inline constexpr std::uint32_t kSizeOfRawData = 16;
inline constexpr std::uint32_t kPointerToRawData = 20;
inline constexpr std::uint32_t kPointerToRelocations = 24;
inline constexpr std::uint32_t kPointerToLinenumbers = 28;
inline constexpr std::uint32_t kCharacteristics = 36;
}  // namespace sec

// Data directory indices used by the engine.
inline constexpr std::uint32_t kResourceDirectory = 2;
inline constexpr std::uint32_t kCertificateDirectory = 4;
inline constexpr std::uint32_t kDebugDirectory = 6;
inline constexpr std::uint32_t kDataDirectoryEntries = 16;

// Where the parts of the NT headers lie in one view, found and bounds-checked
// once. Offsets are from the start of the view.
struct PeLayout {
  std::uint32_t ntHeaders = 0;
  std::uint16_t magic = 0;
  std::uint32_t dataDirectory = 0;   // DataDirectory[0]
  std::uint32_t directoryCount = 0;  // entries present, at most 16
  std::uint32_t sectionTable = 0;
  std::uint16_t sectionCount = 0;

  std::uint32_t DirectoryEntry(std::uint32_t index) const { return dataDirectory + 8 * index; }
  std::uint32_t Section(std::uint32_t index) const { return sectionTable + sec::kSize * index; }
};

// The layout of the image whose NT headers lie at ntHeaders in the view, or
// none when the optional header is of neither known form or the headers, the
// data directory or the section table do not fit in the view.
std::optional<PeLayout> ReadPeLayout(const std::uint8_t* view, std::uint32_t viewSize,
                                     const std::uint8_t* ntHeaders);

// Opening and mapping.
bool MapWholeFile(FileHandle file, MappingHandle& mapping, std::uint8_t*& view,
                  std::uint32_t& viewSize);
void UnmapFile(MappingHandle mapping, std::uint8_t* view, std::uint32_t viewSize);

// The NT headers of a mapped image ("MZ", e_lfanew, "PE\0\0"), or null.
std::uint8_t* LocateNtHeaders(std::uint8_t* view, std::uint32_t viewSize);

// Index of the first section whose VirtualAddress equals the resource table's,
// or none (also for an image whose headers cannot hold a resource table).
std::optional<std::uint32_t> FindResourceSection(const std::uint8_t* view, std::uint32_t viewSize,
                                                 const std::uint8_t* ntHeaders);

// The certificate table that data directory 4 names: a file offset (not an
// address) and a size. None when the entry is missing or empty.
struct CertificateTable {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  // Whether the table is the end of a file of fileSize bytes, where nothing
  // else follows it, so that cutting it off loses nothing else.
  bool EndsFile(std::uint64_t fileSize) const {
    return offset != 0 && std::uint64_t{offset} + size == fileSize;
  }
};
std::optional<CertificateTable> FindCertificateTable(const std::uint8_t* view,
                                                     std::uint32_t viewSize,
                                                     const std::uint8_t* ntHeaders);

std::uint32_t RoundUp(std::uint32_t value, std::uint32_t alignment);

// The standard image checksum of the first fileSize bytes of the view, which
// it writes into OptionalHeader.CheckSum. fileSize must not exceed viewSize.
void ComputeImageChecksum(std::uint8_t* view, std::uint32_t viewSize, std::uint32_t fileSize);
// The folded sum of the 16-bit words of a buffer whose CheckSum field has been
// cleared; the checksum is this sum plus the file's length.
std::uint32_t ImageChecksum(const std::uint8_t* bytes, std::uint32_t size);
// The same as ComputeImageChecksum, with the bytes read from the file in
// bounded chunks instead of through the view, which for a large file costs
// far less than touching every page of a mapping. The view and the file show
// the same bytes. When the file cannot be read, the view is summed instead.
// The word sum of pieces of a file, added in any order: a byte counts as the
// low or the high half of a word by the parity of its offset in the file.
class ChecksumParts {
 public:
  void Add(std::uint64_t offset, const std::uint8_t* bytes, std::size_t count);
  void Add(const ChecksumParts& other);
  std::uint32_t Folded() const;  // what ImageChecksum gives for the pieces' bytes

 private:
  std::uint32_t residue_ = 0;  // the sum modulo 0xFFFF
  bool nonzero_ = false;       // a word that is not 0 was added
};

// A range of the file whose sum is known already.
struct SummedRange {
  ByteRange range;
  ChecksumParts sum;
};

// Adds the sum of range of the file, read in bounded chunks; false, adding
// nothing, when it cannot be read.
bool SumFileRange(FileHandle file, ByteRange range, ChecksumParts& sum);

// known spares reading ranges whose bytes were summed while the caller wrote
// them; they must be what the file holds. Ranges out of order, overlapping,
// outside the file or over the CheckSum field are not trusted: the whole
// file is read then.
void ComputeImageChecksumFromFile(FileHandle file, std::uint8_t* view, std::uint32_t viewSize,
                                  std::uint32_t fileSize, std::span<const SummedRange> known = {});

// Moves count bytes of the file from src to dst (the ranges may overlap)
// through a bounded buffer, in the order that never overwrites a byte before
// it is read. On failure, moved tells how many bytes at the far end (moving
// up) or at the start (moving down) have reached their place. sum, when
// given, receives the sum of the bytes at their new place.
bool MoveFileBytes(FileHandle file, std::uint64_t src, std::uint64_t dst, std::uint64_t count,
                   std::uint64_t& moved, ChecksumParts* sum);

// Moves everything from position to the end of the file by delta bytes and
// makes the file delta bytes longer or shorter; maps the file anew. On true,
// [position, old end) now lies at [position + delta, old end + delta) and the
// length is max(old length, position) + delta.
//
// Failures before the first byte moves (the disk cannot hold the longer file,
// say) restore the file's length and mapping and leave its bytes as they
// were. A growing file whose tail cannot be moved completely, or that cannot
// be mapped again after the move, has its tail moved back and its length
// restored. A shrinking move overwrites bytes in front of position: a
// failure while the tail is being moved, or when the shrunk file cannot be
// mapped again, leaves the file changed (the commit's undo journal has kept
// those bytes and puts them back).
//
// movedTail, when given, receives on true the sum of the tail's bytes at
// their new place, taken as they passed through the move.
bool ShiftFileTail(FileHandle file, std::uint32_t position, std::int32_t delta,
                   MappingHandle& mapping, std::uint8_t*& view, std::uint32_t& viewSize,
                   ChecksumParts* movedTail = nullptr);
// The same for the file of a view, which holds the file's new mapping after
// it (or, on false, whatever mapping could be made again; none when none).
bool ShiftFileTail(platform::MappedView& view, std::uint32_t position, std::int32_t delta,
                   ChecksumParts* movedTail = nullptr);

}  // namespace marovi
