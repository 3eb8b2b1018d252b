// The header fields and debug entries that describe a rebuilt resource
// section and what moved behind it, computed from bytes alone: the old
// headers and where the new section goes give the new headers.
//
// Two orders matter, and they need not agree. In memory, the sections whose
// address lies behind the resource section's move by virtDelta. In the file,
// everything at or behind the end of the old section's data moves by
// rawDelta, whatever its address: file offsets follow the file's order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/byte_range.h"

namespace marovi {

// Where the new section goes and how everything behind it moves.
struct Placement {
  std::uint32_t sectionIndex = 0;  // the resource section's header in the table
  std::uint32_t rawPointer = 0;    // the section's data in the file, which stays
  std::uint32_t oldRawSize = 0;
  std::uint32_t newRawSize = 0;
  std::uint32_t sectionSize = 0;  // the meaningful bytes of the new section
  std::int32_t rawDelta = 0;      // newRawSize - oldRawSize
  std::uint32_t virtDelta = 0;    // how far sections behind move in memory, modulo 2^32
  // The section's VirtualSize when its zero padding reaches past sectionSize
  // rounded to the section alignment; 0: sectionSize.
  std::uint32_t virtualSize = 0;
};

// Where a file offset of the old image lies in the new one. 0 means no data
// in the file and stays. Offsets at or behind the end of the old section's
// data move by rawDelta; those in front of its start stay. An offset inside
// the old section's data (only an empty range can lie there: a section with
// no raw data whose pointer a linker left at that place) stays where it is,
// or becomes the new data's end when the smaller new section no longer
// reaches it, so that it never names a place past the end of the file.
std::uint32_t MovedFileOffset(std::uint32_t offset, const Placement& p);

// The new headers: headers holds the old file from its first byte to the end
// of the section table at least. The resource section's sizes and the
// resource table's size become the new ones; SizeOfInitializedData gains
// rawDelta and SizeOfImage virtDelta; the addresses of sections and data
// directory entries behind the resource section in memory gain virtDelta;
// every file offset (sections' raw data, relocations and line numbers, the
// certificate table, the COFF symbol table) goes where MovedFileOffset puts
// it. None when the bytes hold no headers that can be read.
// The headers are fixed in place, without allocating: false, with the
// bytes unchanged, when they hold no headers that can be read.
bool FixHeadersInPlace(std::span<std::uint8_t> headers, const Placement& p);

// A resource section added behind the last section, in memory and in the
// file, for an image that has none or whose own cannot grow where it is.
struct NewSection {
  std::uint32_t index = 0;           // its header: the old number of sections
  std::uint32_t headerAt = 0;        // file offset of its header, behind the table
  std::uint32_t virtualAddress = 0;  // behind every section in memory
  std::uint32_t rawPointer = 0;      // behind every section's data in the file
  char name[8] = {};
};

// Where such a section goes, or the reason it cannot be added: the headers
// need room for one more section header before the first section's data
// (and within SizeOfHeaders), and that room must be unused (zero). The name
// is ".rsrc" unless another section has it. fileSize is the file's length.
struct NewSectionPlan {
  std::optional<NewSection> section;
  std::string refusal;
};
NewSectionPlan PlanNewSection(std::span<const std::uint8_t> headers, std::uint64_t fileSize);

// Adds the section's header, points the resource table at it and fixes the
// rest as for a section that had no data before (p: sectionIndex and
// rawPointer as planned, oldRawSize 0, rawDelta the new raw size, virtDelta
// 0). headers reaches to the end of the new header. SizeOfImage ends at the
// new section. False, unchanged, when the headers cannot be read.
bool AppendSectionInPlace(std::span<std::uint8_t> headers, const NewSection& section,
                          const Placement& p);

// Where the debug directory's entries lie in a file of fileSize bytes, found
// through its (new) headers: the whole entries that lie inside the data of
// the section holding the directory. The entry count is Size / 28, or Size
// itself when Size is not a multiple of 28. Empty when there are none.
ByteRange LocateDebugEntries(std::span<const std::uint8_t> headers, std::uint64_t fileSize);

// Fixes debug entries in place: entries holds whole entries that lie at file
// offset at of the new file. Each entry's PointerToRawData goes where
// MovedFileOffset puts it, and its AddressOfRawData, unless 0, gains
// virtDelta when it lies behind resourceRva. Entries that lie where the new
// section goes are left alone: its bytes replace them. Returns the file range
// from the first changed entry's start to the last one's end.
ByteRange FixDebugEntries(std::span<std::uint8_t> entries, std::uint64_t at,
                          std::uint32_t resourceRva, const Placement& p);

}  // namespace marovi
