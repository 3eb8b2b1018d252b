// The test image generator: PE32 and PE32+ images laid out as a linker lays
// them out, with a resource section, optional sections behind it, a debug
// directory, a base relocation table, a COFF symbol area and appended data,
// and a correct checksum; or with their raw data in another order than
// their addresses, or laid over one another, as linkers do not.
#include "tests/support/pe_builder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "tests/support/builder_fields.h"

namespace marovi::test {
using namespace fields;

namespace {

constexpr std::uint32_t kLfanew = 0x80;

struct PlacedSection {
  std::string name;
  Bytes data;
  std::uint32_t virtualSize = 0;
  std::uint32_t characteristics = 0;
  std::uint32_t virtualAddress = 0;
  std::uint32_t pointerToRawData = 0;
  std::uint32_t sizeOfRawData = 0;
  std::string sharesDataOf;
  std::uint32_t sharedOffset = 0;
};

PlacedSection FromSpec(const SectionSpec& s) {
  PlacedSection p;
  p.name = s.name;
  p.data = s.data;
  p.virtualSize = s.virtualSize;
  p.characteristics = s.characteristics;
  p.sharesDataOf = s.sharesDataOf;
  p.sharedOffset = s.sharedOffset;
  return p;
}

// A real-mode stub that prints a line and exits, as linkers put behind the
// MS-DOS header.
std::size_t IndexOf(const std::vector<PlacedSection>& sections, const std::string& name) {
  for (std::size_t i = 0; i < sections.size(); ++i)
    if (sections[i].name == name) return i;
  throw std::invalid_argument("no section named " + name);
}

// A base relocation table for fixups at the given addresses: one block per
// 4 KiB page, in ascending order, each padded to a multiple of 4 bytes.
Bytes RelocationTable(std::vector<std::uint32_t> addresses, bool pe32Plus) {
  std::sort(addresses.begin(), addresses.end());
  Bytes table;
  for (std::size_t i = 0; i < addresses.size();) {
    const std::uint32_t page = addresses[i] & ~0xFFFu;
    const std::size_t block = table.size();
    Put32(table, block, page);
    std::size_t at = block + 8;
    for (; i < addresses.size() && (addresses[i] & ~0xFFFu) == page; ++i, at += 2)
      Put16(table, at, ((pe32Plus ? 10u : 3u) << 12) | (addresses[i] & 0xFFF));  // DIR64 or HIGHLOW
    table.resize(Align(Size32(table.size()), 4), 0);
    Put32(table, block + 4, Size32(table.size() - block));
  }
  return table;
}

const std::uint8_t kDosStub[] = {
    0x0E, 0x1F, 0xBA, 0x0E, 0x00, 0xB4, 0x09, 0xCD, 0x21, 0xB8, 0x01, 0x4C, 0xCD, 0x21, 'T',
    'h',  'i',  's',  ' ',  'p',  'r',  'o',  'g',  'r',  'a',  'm',  ' ',  'c',  'a',  'n',
    'n',  'o',  't',  ' ',  'b',  'e',  ' ',  'r',  'u',  'n',  ' ',  'i',  'n',  ' ',  'D',
    'O',  'S',  ' ',  'm',  'o',  'd',  'e',  '.',  '\r', '\r', '\n', '$'};

}  // namespace

std::uint32_t StandardChecksum(const Bytes& image, std::uint32_t checksumOffset) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < image.size(); i += 2) {
    std::uint32_t word = image[i];
    if (i + 1 < image.size()) word |= static_cast<std::uint32_t>(image[i + 1]) << 8;
    if (i == checksumOffset || i == checksumOffset + 2) word = 0;
    sum += word;
    if (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = ((sum & 0xFFFF) + (sum >> 16)) & 0xFFFF;
  return sum + Size32(image.size());
}

Bytes BuildImage(const ImageSpec& spec) {
  const std::uint32_t fileAlign = spec.fileAlignment;
  const std::uint32_t sectAlign = spec.sectionAlignment;
  if (fileAlign == 0 || sectAlign == 0) throw std::invalid_argument("zero alignment");

  std::vector<PlacedSection> sections;
  for (const SectionSpec& s : spec.sectionsBefore) sections.push_back(FromSpec(s));
  const std::size_t resourceIndex = sections.size();
  if (spec.withResourceSection) {
    PlacedSection r;
    r.name = ".rsrc";
    r.characteristics = 0x40000040;
    sections.push_back(r);
  }
  const std::size_t afterIndex = sections.size();
  for (const SectionSpec& s : spec.sectionsAfter) sections.push_back(FromSpec(s));

  // The section that holds the debug directory and its mapped data.
  std::size_t debugHost = sections.size();
  std::uint32_t debugDirAt = 0;
  std::vector<std::uint32_t> debugDataAt(spec.debugEntries.size(), 0);
  if (!spec.debugEntries.empty()) {
    if (spec.debugBehindResources && !spec.sectionsAfter.empty()) debugHost = afterIndex;
    else if (!spec.sectionsBefore.empty()) debugHost = 0;
    else if (!spec.sectionsAfter.empty()) debugHost = afterIndex;
    else
      throw std::invalid_argument("a debug directory needs a section besides the resource section");
    Bytes& host = sections[debugHost].data;
    host.resize(Align(Size32(host.size()), 4), 0);
    debugDirAt = Size32(host.size());
    host.resize(host.size() + 28 * spec.debugEntries.size(), 0);
    for (std::size_t i = 0; i < spec.debugEntries.size(); ++i) {
      if (!spec.debugEntries[i].mapped) continue;
      debugDataAt[i] = Size32(host.size());
      host.insert(host.end(), spec.debugEntries[i].data.begin(), spec.debugEntries[i].data.end());
      host.resize(Align(Size32(host.size()), 4), 0);
    }
  }

  // Room for the base relocation table, at most 12 bytes a fixup; it is
  // written once the addresses are known.
  std::size_t relocHost = sections.size();
  std::uint32_t relocAt = 0;
  if (!spec.relocations.empty()) {
    relocHost = IndexOf(sections, ".reloc");
    Bytes& host = sections[relocHost].data;
    host.resize(Align(Size32(host.size()), 4), 0);
    relocAt = Size32(host.size());
    host.resize(host.size() + 12 * spec.relocations.size(), 0);
  }

  const std::uint32_t optionalSize = spec.pe32Plus ? 240 : 224;
  const std::uint32_t headersEnd =
      kLfanew + 24 + optionalSize + 40 * (Size32(sections.size()) + spec.spareSectionHeaders);
  const std::uint32_t sizeOfHeaders = Align(headersEnd, fileAlign);

  // Addresses in memory.
  std::uint32_t va = Align(sizeOfHeaders, sectAlign);
  for (std::size_t i = 0; i < sections.size(); ++i) {
    PlacedSection& s = sections[i];
    s.virtualAddress = va;
    if (i == resourceIndex && spec.withResourceSection)
      s.data = BuildResourceSectionBytes(spec.resources, va, spec.sortResources);
    const std::uint32_t extent = std::max(s.virtualSize, Size32(s.data.size()));
    s.virtualSize = extent;
    va += Align(std::max<std::uint32_t>(extent, 1), sectAlign);
  }
  const std::uint32_t sizeOfImage = va;

  std::uint32_t relocSize = 0;
  if (!spec.relocations.empty()) {
    std::vector<std::uint32_t> addresses;
    for (const PlaceSpec& r : spec.relocations)
      addresses.push_back(sections[IndexOf(sections, r.section)].virtualAddress + r.offset);
    const Bytes table = RelocationTable(addresses, spec.pe32Plus);
    std::copy(table.begin(), table.end(),
              sections[relocHost].data.begin() + static_cast<std::ptrdiff_t>(relocAt));
    relocSize = Size32(table.size());
  }

  // Positions in the file: the sections named in fileOrder first, then the
  // others in address order; sections laid over another's data last.
  std::vector<std::size_t> order;
  for (const std::string& name : spec.fileOrder) order.push_back(IndexOf(sections, name));
  for (std::size_t i = 0; i < sections.size(); ++i)
    if (std::find(order.begin(), order.end(), i) == order.end()) order.push_back(i);
  std::uint32_t filePos = sizeOfHeaders;
  for (std::size_t i : order) {
    PlacedSection& s = sections[i];
    if (s.data.empty() || !s.sharesDataOf.empty()) continue;
    s.pointerToRawData = filePos;
    s.sizeOfRawData = Align(Size32(s.data.size()), fileAlign);
    filePos += s.sizeOfRawData;
  }
  for (PlacedSection& s : sections) {
    if (s.sharesDataOf.empty()) continue;
    s.pointerToRawData =
        sections[IndexOf(sections, s.sharesDataOf)].pointerToRawData + s.sharedOffset;
    s.sizeOfRawData = Align(Size32(s.data.size()), fileAlign);
    filePos = std::max(filePos, s.pointerToRawData + s.sizeOfRawData);
  }

  Bytes image(filePos, 0);
  // MS-DOS header and stub.
  Put16(image, 0, 0x5A4D);
  Put16(image, 2, 0x90);
  Put16(image, 4, 3);
  Put16(image, 8, 4);
  Put16(image, 0x0C, 0xFFFF);
  Put16(image, 0x10, 0xB8);
  Put16(image, 0x18, 0x40);
  Put32(image, 0x3C, kLfanew);
  std::memcpy(image.data() + 0x40, kDosStub, sizeof kDosStub);

  // File header.
  const std::uint32_t nt = kLfanew;
  Put32(image, nt, 0x4550);
  Put16(image, nt + 4, spec.pe32Plus ? 0x8664 : 0x14C);
  Put16(image, nt + 6, Size32(sections.size()));
  Put32(image, nt + 8, 0x5F5E1000);  // TimeDateStamp
  Put16(image, nt + 20, optionalSize);
  Put16(image, nt + 22,
        spec.pe32Plus ? 0x0022 : 0x0102);  // executable; large-address-aware or 32-bit machine

  // Optional header.
  const std::uint32_t oh = nt + 24;
  std::uint32_t sizeOfCode = 0, sizeOfInitData = 0, baseOfCode = 0, baseOfData = 0, entryPoint = 0;
  for (const PlacedSection& s : sections) {
    if (s.characteristics & 0x20) {
      sizeOfCode += s.sizeOfRawData;
      if (baseOfCode == 0) baseOfCode = entryPoint = s.virtualAddress;
    } else if (baseOfData == 0) {
      baseOfData = s.virtualAddress;
    }
    if (s.characteristics & 0x40) sizeOfInitData += s.sizeOfRawData;
  }
  if (spec.entryPoint)
    entryPoint = sections[IndexOf(sections, spec.entryPoint->section)].virtualAddress +
                 spec.entryPoint->offset;
  Put16(image, oh, spec.pe32Plus ? 0x20B : 0x10B);
  image[oh + 2] = 14;  // linker version
  Put32(image, oh + 4, sizeOfCode);
  Put32(image, oh + 8, sizeOfInitData);
  Put32(image, oh + 16, entryPoint);
  Put32(image, oh + 20, baseOfCode);
  if (spec.pe32Plus) {
    Put64(image, oh + 24, 0x140000000ull);
  } else {
    Put32(image, oh + 24, baseOfData);
    Put32(image, oh + 28, 0x400000);
  }
  Put32(image, oh + 32, sectAlign);
  Put32(image, oh + 36, fileAlign);
  Put16(image, oh + 40, 6);  // operating system version
  Put16(image, oh + 48, 6);  // subsystem version
  Put32(image, oh + 56, sizeOfImage);
  Put32(image, oh + 60, sizeOfHeaders);
  Put16(image, oh + 68, 2);       // GUI subsystem
  Put16(image, oh + 70, 0x8140);  // NX compatible, terminal-server aware, dynamic base
  std::uint32_t dataDirectory;
  if (spec.pe32Plus) {
    Put64(image, oh + 72, 0x100000);
    Put64(image, oh + 80, 0x1000);
    Put64(image, oh + 88, 0x100000);
    Put64(image, oh + 96, 0x1000);
    Put32(image, oh + 108, 16);
    dataDirectory = oh + 112;
  } else {
    Put32(image, oh + 72, 0x100000);
    Put32(image, oh + 76, 0x1000);
    Put32(image, oh + 80, 0x100000);
    Put32(image, oh + 84, 0x1000);
    Put32(image, oh + 92, 16);
    dataDirectory = oh + 96;
  }
  if (spec.withResourceSection) {
    Put32(image, dataDirectory + 8 * 2, sections[resourceIndex].virtualAddress);
    Put32(image, dataDirectory + 8 * 2 + 4, Size32(sections[resourceIndex].data.size()));
  }
  for (const DirectorySpec& d : spec.directories) {
    auto s = std::find_if(sections.begin(), sections.end(),
                          [&](const PlacedSection& p) { return p.name == d.section; });
    if (s == sections.end() || d.index >= 16)
      throw std::invalid_argument("directory names no section");
    Put32(image, dataDirectory + 8 * d.index, s->virtualAddress + d.offset);
    Put32(image, dataDirectory + 8 * d.index + 4, d.size);
  }
  if (!spec.relocations.empty()) {
    Put32(image, dataDirectory + 8 * 5, sections[relocHost].virtualAddress + relocAt);
    Put32(image, dataDirectory + 8 * 5 + 4, relocSize);
  }

  // Section table and contents.
  const std::uint32_t table = oh + optionalSize;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const PlacedSection& s = sections[i];
    const std::uint32_t h = table + 40 * Size32(i);
    std::memcpy(image.data() + h, s.name.data(), std::min<std::size_t>(s.name.size(), 8));
    Put32(image, h + 8, s.virtualSize);
    Put32(image, h + 12, s.virtualAddress);
    Put32(image, h + 16, s.sizeOfRawData);
    Put32(image, h + 20, s.pointerToRawData);
    Put32(image, h + 36, s.characteristics);
  }
  // Data laid over another section's goes in last, over those bytes.
  for (bool shared : {false, true}) {
    for (const PlacedSection& s : sections)
      if (!s.data.empty() && s.sharesDataOf.empty() != shared)
        std::memcpy(image.data() + s.pointerToRawData, s.data.data(), s.data.size());
  }

  // Debug directory entries; unmapped data goes behind the last section.
  if (!spec.debugEntries.empty()) {
    const PlacedSection& host = sections[debugHost];
    Put32(image, dataDirectory + 8 * 6, host.virtualAddress + debugDirAt);
    Put32(image, dataDirectory + 8 * 6 + 4, 28 * Size32(spec.debugEntries.size()));
    for (std::size_t i = 0; i < spec.debugEntries.size(); ++i) {
      const DebugEntrySpec& d = spec.debugEntries[i];
      const std::uint32_t e = host.pointerToRawData + debugDirAt + 28 * Size32(i);
      Put32(image, e + 4, 0x5F5E1000);
      Put32(image, e + 12, d.type);
      Put32(image, e + 16, Size32(d.data.size()));
      if (d.mapped) {
        Put32(image, e + 20, host.virtualAddress + debugDataAt[i]);
        Put32(image, e + 24, host.pointerToRawData + debugDataAt[i]);
      } else {
        const std::uint32_t at = Size32(image.size());
        image.insert(image.end(), d.data.begin(), d.data.end());
        image.resize(Align(Size32(image.size()), 4), 0);
        Put32(image, e + 24, at);
      }
    }
  }

  // COFF symbol area: symbolTableSize / 18 records, then a string table
  // holding only its own 4-byte length.
  if (spec.symbolTableSize > 0) {
    const std::uint32_t at = Size32(image.size());
    Put32(image, nt + 12, at);
    Put32(image, nt + 16, spec.symbolTableSize / 18);
    for (std::uint32_t i = 0; i < spec.symbolTableSize; ++i)
      image.push_back(static_cast<std::uint8_t>(0x20 + i % 64));
    const std::size_t strings = image.size();
    image.resize(strings + 4, 0);
    Put32(image, strings, 4);
  }
  image.insert(image.end(), spec.appended.begin(), spec.appended.end());

  if (spec.computeChecksum) Put32(image, oh + 64, StandardChecksum(image, oh + 64));
  return image;
}


ImageFacts ReadFacts(const Bytes& image) {
  ImageFacts f;
  f.ntHeaders = Get32(image, 0x3C);
  f.pe32Plus = Get16(image, f.ntHeaders + 24) == 0x20B;
  f.dataDirectory = f.ntHeaders + 24 + (f.pe32Plus ? 112 : 96);
  f.sectionTable = f.ntHeaders + 24 + Get16(image, f.ntHeaders + 20);
  f.sectionCount = Get16(image, f.ntHeaders + 6);
  const std::uint32_t rva = Get32(image, f.dataDirectory + 16);
  for (std::uint32_t i = 0; i < f.sectionCount; ++i) {
    const std::uint32_t h = f.sectionTable + 40 * i;
    if (Get32(image, h + 12) == rva) {
      f.resourceSectionIndex = i;
      f.resourcePointerToRawData = Get32(image, h + 20);
      f.resourceSizeOfRawData = Get32(image, h + 16);
      f.resourceVirtualAddress = rva;
      f.hasResourceSection = true;
      break;
    }
  }
  return f;
}

}  // namespace marovi::test
