// Builds small PE images (PE32 and PE32+) in memory for tests: any resource
// tree, optional sections behind the resource section, a debug directory,
// base relocations, data appended behind the last section, and raw data in
// any order in the file. No binary test image is committed;
// every image a test uses comes from here or from the machine's own files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace marovi::test {

using Bytes = std::vector<std::uint8_t>;

// A resource type or name: a numeric id or a UTF-16 name.
struct Key {
  std::variant<std::uint16_t, std::u16string> value;
  Key(std::uint16_t id) : value(id) {}                        // NOLINT
  Key(int id) : value(static_cast<std::uint16_t>(id)) {}      // NOLINT
  Key(std::u16string name) : value(std::move(name)) {}        // NOLINT
  Key(const char16_t* name) : value(std::u16string(name)) {}  // NOLINT
  bool named() const { return value.index() == 1; }
};

struct ResourceSpec {
  Key type;
  Key name;
  std::uint16_t language = 0;
  Bytes data;
  std::uint32_t codePage = 0;
  std::uint32_t reserved = 0;
};

struct SectionSpec {
  std::string name;  // up to 8 characters
  Bytes data;        // raw data; empty with virtualSize > 0 gives a section without raw data
  std::uint32_t virtualSize = 0;               // 0: the data's size
  std::uint32_t characteristics = 0x40000040;  // initialised data, readable
  // Raw data laid over another section's (named here), at that section's
  // PointerToRawData + sharedOffset, instead of a place of its own: data that
  // overlaps in the file; with no data, a stale pointer and SizeOfRawData 0.
  std::string sharesDataOf = {};
  std::uint32_t sharedOffset = 0;
};

// Section characteristics linkers give .reloc and debug sections, and code.
inline constexpr std::uint32_t kDiscardableData = 0x42000040;  // initialised, discardable, readable
inline constexpr std::uint32_t kDiscardableBss =
    0x42000080;                                     // uninitialised, discardable, readable
inline constexpr std::uint32_t kCode = 0x60000020;  // code, executable, readable

// A place in a built section: its address + offset.
struct PlaceSpec {
  std::string section = {};
  std::uint32_t offset = 0;
};

struct DebugEntrySpec {
  std::uint32_t type = 2;  // IMAGE_DEBUG_TYPE_CODEVIEW
  Bytes data;              // placed in the section named by inSection (or appended, see mapped)
  bool mapped = true;      // false: AddressOfRawData 0, data only in the file
};

// A data directory entry pointing into a built section (RVA = the section's
// address + offset).
struct DirectorySpec {
  std::uint32_t index = 0;  // 0 to 15
  std::string section;      // name of the section it points into
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
};

struct ImageSpec {
  bool pe32Plus = false;
  std::uint32_t fileAlignment = 0x200;
  std::uint32_t sectionAlignment = 0x1000;
  // Sections in order; the resource section is inserted at resourceIndex.
  std::vector<SectionSpec> sectionsBefore = {
      SectionSpec{".text", Bytes(0x40, 0xC3), 0, 0x60000020}};
  std::vector<ResourceSpec> resources;  // in the order the directory should list them
  bool sortResources = true;  // sort entries as a linker does (names first, ids ascending)
  bool withResourceSection = true;
  std::vector<SectionSpec> sectionsAfter;  // behind the resource section in memory and in the file
  // Debug directory: placed in the first section behind the resource section
  // (or in the first section before it when there is none behind it).
  std::vector<DebugEntrySpec> debugEntries;
  bool debugBehindResources = true;
  Bytes appended;                     // bytes behind the last section, described by no header
  std::uint32_t symbolTableSize = 0;  // >0: a COFF symbol area appended, PointerToSymbolTable set
  bool computeChecksum = true;
  std::vector<DirectorySpec> directories;  // further data directory entries
  // Room in the headers for this many more section headers (linkers leave
  // some; a tight image has none).
  std::uint32_t spareSectionHeaders = 0;
  // Raw data in the file in this order of section names (".rsrc" for the
  // resource section) first, the other sections' behind it in address order.
  std::vector<std::string> fileOrder;
  // The entry point; by default the first code section's address.
  std::optional<PlaceSpec> entryPoint;
  // Pointer-sized fixups: a base relocation table listing their pages goes
  // behind the data of the section named ".reloc", and DataDirectory[5]
  // points at it.
  std::vector<PlaceSpec> relocations;
};

// The whole image file.
Bytes BuildImage(const ImageSpec& spec);

// Just the bytes of a resource section laid out for the given RVA, as a linker
// would produce it (directory tables, then names, then data).
Bytes BuildResourceSectionBytes(const std::vector<ResourceSpec>& resources, std::uint32_t rva,
                                bool sortEntries = true);

// An .ico file with the given images (each image's bytes are stored as they are).
struct IconImageSpec {
  std::uint8_t width = 16, height = 16, colorCount = 0, reserved = 0;
  std::uint16_t planes = 1, bitCount = 32;
  Bytes bytes;
};
Bytes BuildIcoFile(const std::vector<IconImageSpec>& images, std::uint16_t type = 1);

// The icon group record (type 14) of those images stored under ids: the
// .ico header, then each entry's first 12 bytes and its id.
Bytes BuildIconGroupRecord(const std::vector<IconImageSpec>& images,
                           const std::vector<std::uint16_t>& ids);

// A cursor image: its resource (type 1) is the hotspot, then the bitmap.
struct CursorImageSpec {
  std::uint16_t width = 32, height = 32, planes = 1, bitCount = 1;
  std::uint16_t hotspotX = 0, hotspotY = 0;
  Bytes bitmap;
};
Bytes BuildCursorResource(const CursorImageSpec& image);
// Its group record (type 12): width, doubled height, planes, bit count, the
// resource's size and the id of each image.
Bytes BuildCursorGroupRecord(const std::vector<CursorImageSpec>& images,
                             const std::vector<std::uint16_t>& ids);

// A bitmap resource (a DIB without file header): a header of headerSize
// bytes (12: BITMAPCOREHEADER, else BITMAPINFOHEADER fields and zeros) for
// a 4x2 bitmap of bitCount bits, followed by tail bytes of masks, palette
// and pixels (0x5A).
Bytes BuildDib(std::uint32_t headerSize, std::uint16_t bitCount, std::uint32_t compression,
               std::uint32_t colorsUsed, std::size_t tail);

// Offsets of interest in a built image, found by reading it back simply.
struct ImageFacts {
  std::uint32_t ntHeaders = 0;
  std::uint32_t resourceSectionIndex = 0;
  std::uint32_t resourcePointerToRawData = 0;
  std::uint32_t resourceSizeOfRawData = 0;
  std::uint32_t resourceVirtualAddress = 0;
  bool hasResourceSection = false;
  bool pe32Plus = false;
  std::uint32_t dataDirectory = 0;  // file offset of DataDirectory[0]
  std::uint32_t sectionTable = 0;   // file offset of the first section header
  std::uint32_t sectionCount = 0;
};
ImageFacts ReadFacts(const Bytes& image);

// A compiled resource file (.res) of the resources, in the order given, as a
// resource compiler writes it: the empty entry of 32 bytes, then each
// resource's header (names padded to four bytes) and data, every entry
// padded to four bytes.
Bytes BuildResFile(const std::vector<ResourceSpec>& resources);

// The standard image checksum of the bytes, with the 4 bytes at
// checksumOffset counted as zero.
std::uint32_t StandardChecksum(const Bytes& image, std::uint32_t checksumOffset);

}  // namespace marovi::test
