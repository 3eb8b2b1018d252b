// The header fields and debug entries that describe a rebuilt resource
// section, from bytes alone.
#include "engine/pe/header_fixes.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/pe/bytes.h"
#include "engine/pe/image.h"

namespace marovi {

namespace {

constexpr std::uint32_t kDebugEntrySize = 28;
constexpr std::uint32_t kDebugAddressOfRawData = 20;
constexpr std::uint32_t kDebugPointerToRawData = 24;
// IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ, as linkers mark .rsrc.
constexpr std::uint32_t kInitializedReadableData = 0x40000040;

// The layout of headers held in bytes, or none. Bytes beyond 4 GiB are
// never headers.
std::optional<PeLayout> LayoutOf(std::span<const std::uint8_t> bytes) {
  const auto size = static_cast<std::uint32_t>(
      std::min<std::size_t>(bytes.size(), std::numeric_limits<std::uint32_t>::max()));
  // LocateNtHeaders only reads the bytes it is given.
  auto* data = const_cast<std::uint8_t*>(bytes.data());
  return ReadPeLayout(data, size, LocateNtHeaders(data, size));
}

void Add(std::uint8_t* field, std::uint32_t delta) { StoreU32(field, LoadU32(field) + delta); }

void MoveFileOffset(std::uint8_t* field, const Placement& p) {
  StoreU32(field, MovedFileOffset(LoadU32(field), p));
}

}  // namespace

std::uint32_t MovedFileOffset(std::uint32_t offset, const Placement& p) {
  const std::uint64_t oldEnd = std::uint64_t{p.rawPointer} + p.oldRawSize;
  const std::uint64_t newEnd = std::uint64_t{p.rawPointer} + p.newRawSize;
  if (offset == 0 || offset < p.rawPointer) return offset;
  if (offset >= oldEnd) return offset + static_cast<std::uint32_t>(p.rawDelta);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(offset, newEnd));
}

bool FixHeadersInPlace(std::span<std::uint8_t> headers, const Placement& p) {
  const auto layout = LayoutOf(headers);
  if (!layout || layout->directoryCount <= kResourceDirectory ||
      p.sectionIndex >= layout->sectionCount)
    return false;
  const PeLayout& l = *layout;
  std::uint8_t* v = headers.data();
  std::uint8_t* nt = v + l.ntHeaders;
  std::uint8_t* resource = v + l.DirectoryEntry(kResourceDirectory);
  const std::uint32_t rva = LoadU32(resource);

  Add(nt + nt::kSizeOfInitializedData, static_cast<std::uint32_t>(p.rawDelta));
  Add(nt + nt::kSizeOfImage, p.virtDelta);
  StoreU32(resource + 4, p.sectionSize);
  for (std::uint32_t i = 0; i < l.sectionCount; ++i) {
    std::uint8_t* h = v + l.Section(i);
    if (i == p.sectionIndex) {
      StoreU32(h + sec::kSizeOfRawData, p.newRawSize);
      StoreU32(h + sec::kVirtualSize, std::max(p.sectionSize, p.virtualSize));
    } else if (LoadU32(h + sec::kVirtualAddress) > rva) {
      Add(h + sec::kVirtualAddress, p.virtDelta);
    }
    MoveFileOffset(h + sec::kPointerToRawData, p);
    MoveFileOffset(h + sec::kPointerToRelocations, p);
    MoveFileOffset(h + sec::kPointerToLinenumbers, p);
  }
  for (std::uint32_t k = 0; k < l.directoryCount; ++k) {
    std::uint8_t* entry = v + l.DirectoryEntry(k);
    if (k == kCertificateDirectory) {
      // The certificate table holds a file offset, not an address.
      MoveFileOffset(entry, p);
    } else if (LoadU32(entry) > rva) {
      Add(entry, p.virtDelta);
    }
  }
  // The COFF symbol table of GNU-linked images lies behind the sections.
  MoveFileOffset(nt + nt::kPointerToSymbolTable, p);
  return true;
}

NewSectionPlan PlanNewSection(std::span<const std::uint8_t> headers, std::uint64_t fileSize) {
  NewSectionPlan plan;
  const auto layout = LayoutOf(headers);
  if (!layout || !InBounds(headers.size(), layout->sectionTable,
                           std::uint64_t{sec::kSize} * layout->sectionCount)) {
    plan.refusal = "its section table cannot be read";
    return plan;
  }
  const PeLayout& l = *layout;
  const std::uint8_t* v = headers.data();
  const std::uint8_t* nt = v + l.ntHeaders;
  if (l.directoryCount <= kResourceDirectory) {
    plan.refusal = "its headers have no entry for a resource table";
    return plan;
  }
  if (l.sectionCount >= 0xFFFF) {
    plan.refusal = "it has as many sections as the format allows";
    return plan;
  }
  const std::uint32_t fileAlignment = LoadU32(nt + nt::kFileAlignment);
  const std::uint32_t sectionAlignment = LoadU32(nt + nt::kSectionAlignment);
  const std::uint64_t headerAt = l.Section(l.sectionCount);
  std::uint64_t firstData = LoadU32(nt + nt::kSizeOfHeaders);
  std::uint64_t memoryEnd = LoadU32(nt + nt::kSizeOfImage);
  std::uint64_t dataEnd = 0;
  bool named = false;
  for (std::uint32_t i = 0; i < l.sectionCount; ++i) {
    const std::uint8_t* h = v + l.Section(i);
    const std::uint64_t pointer = LoadU32(h + sec::kPointerToRawData);
    const std::uint64_t raw = LoadU32(h + sec::kSizeOfRawData);
    if (pointer != 0 && raw != 0) {
      firstData = std::min(firstData, pointer);
      dataEnd = std::max(dataEnd, pointer + raw);
    }
    memoryEnd = std::max<std::uint64_t>(
        memoryEnd, std::uint64_t{LoadU32(h + sec::kVirtualAddress)} +
                       std::max(LoadU32(h + sec::kVirtualSize), LoadU32(h + sec::kSizeOfRawData)));
    named = named || std::equal(h, h + 8, reinterpret_cast<const std::uint8_t*>(".rsrc\0\0\0"));
  }
  if (headerAt + sec::kSize > firstData || headerAt + sec::kSize > headers.size()) {
    plan.refusal = "its headers have no room for one more section header";
    return plan;
  }
  for (std::uint64_t i = headerAt; i < headerAt + sec::kSize; ++i) {
    if (v[i] != 0) {
      plan.refusal = "the room behind its section table is in use";
      return plan;
    }
  }
  const std::uint64_t rawPointer = (dataEnd + fileAlignment - 1) / fileAlignment * fileAlignment;
  if (rawPointer != dataEnd && rawPointer < fileSize) {
    plan.refusal = "data appended behind its last section does not start at a file-aligned offset";
    return plan;
  }
  const std::uint64_t address =
      (memoryEnd + sectionAlignment - 1) / sectionAlignment * sectionAlignment;
  if (address > 0x7FFFFFFF || rawPointer > 0x7FFFFFFF) {
    plan.refusal = "a section behind its last one would lie beyond 2 GiB";
    return plan;
  }
  NewSection section;
  section.index = l.sectionCount;
  section.headerAt = static_cast<std::uint32_t>(headerAt);
  section.virtualAddress = static_cast<std::uint32_t>(address);
  section.rawPointer = static_cast<std::uint32_t>(rawPointer);
  std::memcpy(section.name, named ? ".rsrc2\0\0" : ".rsrc\0\0\0", 8);
  plan.section = section;
  return plan;
}

bool AppendSectionInPlace(std::span<std::uint8_t> headers, const NewSection& section,
                          const Placement& p) {
  const auto layout = LayoutOf(headers);
  if (!layout || layout->directoryCount <= kResourceDirectory ||
      !InBounds(headers.size(), section.headerAt, sec::kSize))
    return false;
  std::uint8_t* v = headers.data();
  std::uint8_t* nt = v + layout->ntHeaders;
  std::uint8_t* h = v + section.headerAt;
  std::memset(h, 0, sec::kSize);
  std::memcpy(h, section.name, 8);
  StoreU32(h + sec::kVirtualAddress, section.virtualAddress);
  StoreU32(h + sec::kCharacteristics, kInitializedReadableData);
  StoreU16(nt + nt::kNumberOfSections, static_cast<std::uint16_t>(section.index + 1));
  StoreU32(v + layout->DirectoryEntry(kResourceDirectory), section.virtualAddress);
  // Its pointer is set last: the fixes would take the place of a section
  // without data for one behind the old data and move it.
  if (!FixHeadersInPlace(headers, p)) return false;
  StoreU32(h + sec::kPointerToRawData, section.rawPointer);
  const std::uint32_t sectionAlignment = LoadU32(nt + nt::kSectionAlignment);
  StoreU32(nt + nt::kSizeOfImage,
           section.virtualAddress + RoundUp(p.sectionSize, sectionAlignment));
  return true;
}

ByteRange LocateDebugEntries(std::span<const std::uint8_t> headers, std::uint64_t fileSize) {
  const auto layout = LayoutOf(headers);
  if (!layout || layout->directoryCount <= kDebugDirectory) return {};
  const PeLayout& l = *layout;
  const std::uint8_t* v = headers.data();
  const std::uint8_t* d = v + l.DirectoryEntry(kDebugDirectory);
  const std::uint32_t address = LoadU32(d);
  const std::uint32_t size = LoadU32(d + 4);
  if (size == 0) return {};
  std::optional<std::uint32_t> holder;
  for (std::uint32_t j = 0; j < l.sectionCount && !holder; ++j) {
    const std::uint32_t start = LoadU32(v + l.Section(j) + sec::kVirtualAddress);
    const bool last = j + 1 == l.sectionCount;
    if (start <= address &&
        (last || LoadU32(v + l.Section(j + 1) + sec::kVirtualAddress) > address))
      holder = j;
  }
  if (!holder) return {};
  const std::uint8_t* h = v + l.Section(*holder);
  // Only entries inside the holder's data in the file count: a section
  // without data in the file holds none, and the bytes at its pointer 0 (the
  // headers) or behind its data belong to something else.
  const std::uint64_t rawStart = LoadU32(h + sec::kPointerToRawData);
  const std::uint64_t rawEnd = std::min(rawStart + LoadU32(h + sec::kSizeOfRawData), fileSize);
  if (rawStart == 0) return {};
  const std::uint64_t at = rawStart + (address - LoadU32(h + sec::kVirtualAddress));
  const std::uint32_t count = size % kDebugEntrySize == 0 ? size / kDebugEntrySize : size;
  if (static_cast<std::int32_t>(count) <= 0 || at >= rawEnd) return {};
  const std::uint64_t fit = (rawEnd - at) / kDebugEntrySize;
  return ByteRange{at, kDebugEntrySize * std::min<std::uint64_t>(count, fit)};
}

ByteRange FixDebugEntries(std::span<std::uint8_t> entries, std::uint64_t at,
                          std::uint32_t resourceRva, const Placement& p) {
  ByteRange changed;
  const std::uint64_t sectionBegin = p.rawPointer;
  const std::uint64_t sectionEnd = sectionBegin + p.newRawSize;
  for (std::size_t i = 0; i + kDebugEntrySize <= entries.size(); i += kDebugEntrySize) {
    const std::uint64_t offset = at + i;
    if (offset < sectionEnd && offset + kDebugEntrySize > sectionBegin) continue;
    std::uint8_t* entry = entries.data() + i;
    const std::uint32_t pointer = LoadU32(entry + kDebugPointerToRawData);
    const std::uint32_t address = LoadU32(entry + kDebugAddressOfRawData);
    const std::uint32_t newPointer = MovedFileOffset(pointer, p);
    const std::uint32_t newAddress =
        address != 0 && address > resourceRva ? address + p.virtDelta : address;
    if (newPointer == pointer && newAddress == address) continue;
    StoreU32(entry + kDebugPointerToRawData, newPointer);
    StoreU32(entry + kDebugAddressOfRawData, newAddress);
    if (changed.empty()) changed.offset = offset;
    changed.size = offset + kDebugEntrySize - changed.offset;
  }
  return changed;
}

}  // namespace marovi
