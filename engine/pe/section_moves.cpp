// What a rebuild of the resource section may move: the layout it relies on,
// what must not live inside the resource section, and which sections behind
// it may take a new address.
#include "engine/pe/section_moves.h"

#include <algorithm>
#include <vector>

#include "engine/byte_range.h"
#include "engine/pe/bytes.h"

namespace marovi {

namespace {

// Section characteristics (the field sec::kCharacteristics).
constexpr std::uint32_t kContainsCode = 0x00000020;
constexpr std::uint32_t kMemoryDiscardable = 0x02000000;
constexpr std::uint32_t kMemoryExecute = 0x20000000;

constexpr std::uint32_t kBaseRelocationDirectory = 5;
constexpr std::uint32_t kMaxFileAlignment = 0x10000;
// A base relocation block lists fixups in one 4 KiB page; the last of them
// may reach 8 bytes into the next page.
constexpr std::uint64_t kRelocatedPageReach = 0x1000 + 8;

const char* DirectoryName(std::uint32_t k) {
  static const char* const kNames[kDataDirectoryEntries] = {
      "export table",         "import table",
      "resource table",       "exception table",
      "certificate table",    "base relocation table",
      "debug directory",      "architecture data",
      "global pointer",       "TLS directory",
      "load configuration",   "bound import table",
      "import address table", "delay import table",
      "CLR runtime header",   "reserved directory entry 15"};
  return k < kDataDirectoryEntries ? kNames[k] : "data directory entry";
}

bool PowerOfTwo(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

// `section ".text"`, with bytes that are not printable shown as '?'.
std::string SectionLabel(const std::uint8_t* header) {
  std::string name;
  for (int i = 0; i < 8 && header[i] != 0; ++i)
    name += header[i] >= 0x20 && header[i] < 0x7F ? static_cast<char>(header[i]) : '?';
  return "section \"" + name + "\"";
}

// Where a section lies in memory: from its address over the larger of its
// virtual and raw sizes, rounded up to the section alignment, and at least
// one alignment unit.
ByteRange MemoryOf(const std::uint8_t* header, std::uint32_t sectionAlignment) {
  const std::uint64_t size =
      std::max({std::uint64_t{LoadU32(header + sec::kVirtualSize)},
                std::uint64_t{LoadU32(header + sec::kSizeOfRawData)}, std::uint64_t{1}});
  const std::uint64_t begin = LoadU32(header + sec::kVirtualAddress);
  return {begin, (size + sectionAlignment - 1) / sectionAlignment * sectionAlignment};
}

// The base relocation table's bytes in the file, or none when it cannot be
// read; empty when the image has none. Bytes of the table beyond its
// section's raw data are zeros in memory, which end the table.
struct RelocationTable {
  bool readable = true;
  const std::uint8_t* bytes = nullptr;
  std::uint64_t size = 0;
};

RelocationTable FindRelocationTable(const std::uint8_t* view, std::uint32_t viewSize,
                                    const PeLayout& l, std::uint32_t sectionAlignment) {
  RelocationTable table;
  if (l.directoryCount <= kBaseRelocationDirectory) return table;
  const std::uint8_t* entry = view + l.DirectoryEntry(kBaseRelocationDirectory);
  const std::uint32_t address = LoadU32(entry);
  const std::uint32_t size = LoadU32(entry + 4);
  if (address == 0 || size == 0) return table;
  for (std::uint32_t i = 0; i < l.sectionCount; ++i) {
    const std::uint8_t* h = view + l.Section(i);
    if (!MemoryOf(h, sectionAlignment).Contains(address)) continue;
    const std::uint64_t into = address - std::uint64_t{LoadU32(h + sec::kVirtualAddress)};
    const std::uint64_t raw = LoadU32(h + sec::kSizeOfRawData);
    const std::uint64_t pointer = LoadU32(h + sec::kPointerToRawData);
    if (pointer == 0 || into >= raw) break;
    const std::uint64_t inFile = std::min(std::uint64_t{size}, raw - into);
    if (!InBounds(viewSize, pointer + into, inFile)) break;
    table.bytes = view + pointer + into;
    table.size = inFile;
    return table;
  }
  table.readable = false;
  return table;
}

Error CheckAlignments(const std::uint8_t* view, const PeLayout& l) {
  const std::uint8_t* nt = view + l.ntHeaders;
  const std::uint32_t fileAlignment = LoadU32(nt + nt::kFileAlignment);
  const std::uint32_t sectionAlignment = LoadU32(nt + nt::kSectionAlignment);
  // The format allows powers of two up to 64 KiB for the file alignment; a
  // crafted value could otherwise make one commit grow the file by gigabytes.
  if (!PowerOfTwo(fileAlignment) || fileAlignment > kMaxFileAlignment)
    return RefusedAt(
        "the file alignment " + HexOffset(fileAlignment) + " is not a power of two up to 64 KiB",
        l.ntHeaders + nt::kFileAlignment);
  if (!PowerOfTwo(sectionAlignment))
    return RefusedAt(
        "the section alignment " + HexOffset(sectionAlignment) + " is not a power of two",
        l.ntHeaders + nt::kSectionAlignment);
  if (sectionAlignment < fileAlignment)
    return RefusedAt("the section alignment " + HexOffset(sectionAlignment) +
                         " is below the file alignment " + HexOffset(fileAlignment),
                     l.ntHeaders + nt::kSectionAlignment);
  return Error();
}

Error CheckResourceSection(const std::uint8_t* view, std::uint32_t viewSize, const PeLayout& l,
                           std::uint32_t index) {
  // The section must lie in the file behind the headers, or writing it
  // would destroy them.
  const std::uint8_t* s = view + l.Section(index);
  const std::uint32_t rawPointer = LoadU32(s + sec::kPointerToRawData);
  const std::uint32_t rawSize = LoadU32(s + sec::kSizeOfRawData);
  if (rawPointer < l.Section(l.sectionCount))
    return RefusedAt("the resource section's data at file offset " + HexOffset(rawPointer) +
                         " lies in the headers",
                     l.Section(index) + sec::kPointerToRawData);
  if (!InBounds(viewSize, rawPointer, rawSize))
    return RefusedAt("the resource section's data (" + HexOffset(rawSize) +
                         " bytes at file offset " + HexOffset(rawPointer) +
                         ") runs past the end of the file",
                     l.Section(index) + sec::kSizeOfRawData);

  // The old extent in memory is taken from the resource table's size: one
  // larger than the section would move the sections behind it onto others.
  // A section whose virtual size is 0 takes its raw size in memory.
  const std::uint32_t tableSize = LoadU32(view + l.DirectoryEntry(kResourceDirectory) + 4);
  const std::uint32_t virtualSize =
      LoadU32(s + sec::kVirtualSize) != 0 ? LoadU32(s + sec::kVirtualSize) : rawSize;
  if (tableSize > virtualSize)
    return RefusedAt("the resource table's size " + HexOffset(tableSize) +
                         " exceeds its section's size in memory " + HexOffset(virtualSize),
                     l.DirectoryEntry(kResourceDirectory) + 4);
  return Error();
}

// Sections whose data share bytes of the file cannot both keep theirs
// when one of them is rebuilt or moved. Data that lies wholly inside the
// resource section's is the exception: the resources then go into a new
// section (ResourceSectionHoldsOtherData), and those bytes stay. So is data
// wholly inside another section's in front of the resource data, which
// nothing rewrites or moves (the old resource section of such an image,
// changed before).
Error CheckSharedBytes(const std::uint8_t* view, const PeLayout& l,
                       std::optional<std::uint32_t> resourceIndex) {
  struct Raw {
    std::uint64_t begin, end;
    std::uint32_t index;
  };
  std::vector<Raw> raws;
  raws.reserve(l.sectionCount);
  for (std::uint32_t i = 0; i < l.sectionCount; ++i) {
    const std::uint8_t* h = view + l.Section(i);
    const std::uint64_t pointer = LoadU32(h + sec::kPointerToRawData);
    const std::uint64_t size = LoadU32(h + sec::kSizeOfRawData);
    if (pointer != 0 && size != 0) raws.push_back(Raw{pointer, pointer + size, i});
  }
  std::sort(raws.begin(), raws.end(), [](const Raw& a, const Raw& b) {
    return a.begin != b.begin ? a.begin < b.begin : a.index < b.index;
  });
  const std::uint64_t resourceData =
      resourceIndex ? LoadU32(view + l.Section(*resourceIndex) + sec::kPointerToRawData) : 0;
  auto keepsItsBytes = [&](const Raw& a, const Raw& b) {
    return resourceIndex && b.begin >= a.begin && b.end <= a.end &&
           (a.index == *resourceIndex || a.end <= resourceData);
  };
  for (std::size_t k = 1, reach = 0; k < raws.size(); ++k) {
    if (raws[k].begin < raws[reach].end && !keepsItsBytes(raws[reach], raws[k])) {
      const std::uint32_t first = std::min(raws[k].index, raws[reach].index);
      const std::uint32_t second = std::max(raws[k].index, raws[reach].index);
      return RefusedAt("the data of " + SectionLabel(view + l.Section(first)) + " and of " +
                           SectionLabel(view + l.Section(second)) +
                           " share bytes of the file from offset " + HexOffset(raws[k].begin),
                       l.Section(raws[k].index) + sec::kPointerToRawData);
    }
    if (raws[k].end > raws[reach].end) reach = k;
  }
  return Error();
}

}  // namespace

Error CheckLayout(const std::uint8_t* view, std::uint32_t viewSize, const PeLayout& l,
                  std::optional<std::uint32_t> resourceIndex) {
  if (auto refusal = CheckAlignments(view, l)) return refusal;
  if (resourceIndex) {
    if (auto refusal = CheckResourceSection(view, viewSize, l, *resourceIndex)) return refusal;
  }
  return CheckSharedBytes(view, l, resourceIndex);
}

Error ResourceSectionHoldsOtherData(const std::uint8_t* view, const PeLayout& l,
                                    std::uint32_t index) {
  const std::uint8_t* s = view + l.Section(index);
  const std::uint64_t begin = LoadU32(s + sec::kPointerToRawData);
  const std::uint64_t end = begin + LoadU32(s + sec::kSizeOfRawData);
  for (std::uint32_t i = 0; i < l.sectionCount; ++i) {
    const std::uint8_t* h = view + l.Section(i);
    const std::uint64_t pointer = LoadU32(h + sec::kPointerToRawData);
    const std::uint64_t size = LoadU32(h + sec::kSizeOfRawData);
    if (i == index || pointer == 0 || size == 0 || pointer < begin || pointer + size > end)
      continue;
    return RefusedAt("the data of " + SectionLabel(h) + " lies inside the resource section's",
                     l.Section(i) + sec::kPointerToRawData);
  }
  return Error();
}

Error CheckResourceSectionHoldsOnlyResources(const std::uint8_t* view, std::uint32_t /*viewSize*/,
                                             const PeLayout& l, std::uint32_t index) {
  const std::uint8_t* s = view + l.Section(index);
  const std::uint8_t* resource = view + l.DirectoryEntry(kResourceDirectory);
  const std::uint32_t rva = LoadU32(resource);
  const std::uint64_t extent = std::max({std::uint64_t{LoadU32(s + sec::kVirtualSize)},
                                         std::uint64_t{LoadU32(s + sec::kSizeOfRawData)},
                                         std::uint64_t{LoadU32(resource + 4)}});
  auto inside = [&](std::uint32_t address) {
    return address >= rva && address - std::uint64_t{rva} < extent;
  };
  for (std::uint32_t k = 0; k < l.directoryCount; ++k) {
    if (k == kResourceDirectory || k == kCertificateDirectory) continue;
    const std::uint8_t* entry = view + l.DirectoryEntry(k);
    if (LoadU32(entry) != 0 && LoadU32(entry + 4) != 0 && inside(LoadU32(entry)))
      return RefusedAt(std::string("the ") + DirectoryName(k) + " lies inside the resource section",
                       l.DirectoryEntry(k));
  }
  const std::uint32_t entryPoint = LoadU32(view + l.ntHeaders + nt::kAddressOfEntryPoint);
  if (entryPoint != 0 && inside(entryPoint))
    return RefusedAt("the entry point lies inside the resource section",
                     l.ntHeaders + nt::kAddressOfEntryPoint);
  return Error();
}

Error CheckSectionsBehindCanMove(const std::uint8_t* view, std::uint32_t viewSize,
                                 const PeLayout& l, std::uint32_t index) {
  const std::uint8_t* nt = view + l.ntHeaders;
  const std::uint32_t sectionAlignment = LoadU32(nt + nt::kSectionAlignment);
  if (sectionAlignment == 0)
    return RefusedAt("the section alignment is 0", l.ntHeaders + nt::kSectionAlignment);
  const std::uint32_t rva = LoadU32(view + l.DirectoryEntry(kResourceDirectory));
  const std::uint32_t entryPoint = LoadU32(nt + nt::kAddressOfEntryPoint);
  auto behind = [&](std::uint32_t i) {
    return i != index && LoadU32(view + l.Section(i) + sec::kVirtualAddress) > rva;
  };
  auto refuse = [&](std::uint32_t i, const std::string& why) {
    return RefusedAt(
        SectionLabel(view + l.Section(i)) + " behind the resources " + why + " and cannot move",
        l.Section(i));
  };

  // What the headers say refers to a section by address.
  std::vector<ByteRange> moving;
  for (std::uint32_t i = 0; i < l.sectionCount; ++i) {
    if (!behind(i)) continue;
    const std::uint8_t* h = view + l.Section(i);
    const ByteRange range = MemoryOf(h, sectionAlignment);
    for (std::uint32_t k = 0; k < l.directoryCount; ++k) {
      if (k == kResourceDirectory || k == kCertificateDirectory || k == kBaseRelocationDirectory ||
          k == kDebugDirectory)
        continue;
      const std::uint32_t address = LoadU32(view + l.DirectoryEntry(k));
      if (address != 0 && range.Contains(address))
        return refuse(i, std::string("holds the ") + DirectoryName(k));
    }
    if (entryPoint != 0 && range.Contains(entryPoint)) return refuse(i, "holds the entry point");
    const std::uint32_t characteristics = LoadU32(h + sec::kCharacteristics);
    if ((characteristics & (kMemoryExecute | kContainsCode)) != 0) return refuse(i, "holds code");
    if ((characteristics & kMemoryDiscardable) == 0) return refuse(i, "is not discardable");
    moving.push_back(range);
  }
  if (moving.empty()) return Error();

  // Pages that the base relocation table lists: the loader fixes addresses
  // there at the pages' old addresses.
  const RelocationTable table = FindRelocationTable(view, viewSize, l, sectionAlignment);
  auto unreadable = [&] {
    return RefusedAt(
        "the base relocation table cannot be read, so no section behind the resources can move",
        l.DirectoryEntry(kBaseRelocationDirectory));
  };
  if (!table.readable) return unreadable();
  // The moving sections by start, each with the farthest end up to it, so
  // that one search tells whether a page meets any of them.
  std::sort(moving.begin(), moving.end(),
            [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
  std::vector<std::uint64_t> reach(moving.size());
  for (std::size_t k = 0; k < moving.size(); ++k)
    reach[k] = std::max(moving[k].end(), k > 0 ? reach[k - 1] : 0);
  for (std::uint64_t at = 0; table.size - at >= 8;) {
    const std::uint32_t page = LoadU32(table.bytes + at);
    const std::uint32_t blockSize = LoadU32(table.bytes + at + 4);
    if (blockSize == 0) break;  // the zeros behind the table's last block
    if (blockSize < 8 || blockSize > table.size - at) return unreadable();
    at += blockSize;
    const std::uint64_t pageEnd = std::uint64_t{page} + kRelocatedPageReach;
    const auto before =
        std::lower_bound(moving.begin(), moving.end(), pageEnd,
                         [](const ByteRange& r, std::uint64_t end) { return r.offset < end; });
    if (before == moving.begin() ||
        reach[static_cast<std::size_t>(before - moving.begin()) - 1] <= page)
      continue;
    for (std::uint32_t i = 0; i < l.sectionCount; ++i) {
      if (behind(i) &&
          MemoryOf(view + l.Section(i), sectionAlignment).Overlaps({page, kRelocatedPageReach}))
        return refuse(i, "holds pages that the base relocation table lists");
    }
  }
  return Error();
}

}  // namespace marovi
