// Helpers of the commit tests: an independent reading of an image's headers
// and resources, and the check that a committed file is exactly the old file
// with the new resource section in place and the described fields moved.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "engine/platform/platform.h"
#include "tests/engine/engine_test_util.h"

namespace marovi::test {

inline std::uint32_t Get32(const Bytes& b, std::uint64_t at) {
  if (at + 4 > b.size()) throw std::out_of_range("read past the end of the image");
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
inline std::uint32_t Get16(const Bytes& b, std::uint64_t at) {
  if (at + 2 > b.size()) throw std::out_of_range("read past the end of the image");
  return static_cast<std::uint32_t>(b[at] | (b[at + 1] << 8));
}
inline void Set32(Bytes& b, std::uint64_t at, std::uint32_t v) {
  if (at + 4 > b.size()) throw std::out_of_range("write past the end of the image");
  for (int i = 0; i < 4; ++i)
    b[at + static_cast<std::uint64_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Set16(Bytes& b, std::uint64_t at, std::uint32_t v) {
  if (at + 2 > b.size()) throw std::out_of_range("write past the end of the image");
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline std::uint32_t Align(std::uint32_t v, std::uint32_t a) { return (v + a - 1) / a * a; }

// Where the header fields of an image lie (file offsets).
struct Headers {
  std::uint32_t nt = 0;
  std::uint32_t directory = 0;  // DataDirectory[0]
  std::uint32_t sectionTable = 0;
  std::uint32_t sectionCount = 0;

  std::uint32_t directoryCount = 0;  // entries the optional header really holds

  explicit Headers(const Bytes& b) {
    nt = Get32(b, 0x3C);
    const bool plus = Get16(b, nt + 24) == 0x20B;
    directory = nt + 24 + (plus ? 112u : 96u);
    const std::uint32_t optionalSize = Get16(b, nt + 20);
    sectionTable = nt + 24 + optionalSize;
    sectionCount = Get16(b, nt + 6);
    const std::uint32_t room = sectionTable > directory ? (sectionTable - directory) / 8 : 0;
    directoryCount = std::min({Get32(b, nt + 24 + (plus ? 108u : 92u)), room, 16u});
  }
  std::uint32_t Dir(std::uint32_t k) const { return directory + 8 * k; }
  std::uint32_t Sec(std::uint32_t i) const { return sectionTable + 40 * i; }
  std::uint32_t SizeOfInitializedData() const { return nt + 32; }
  std::uint32_t EntryPoint() const { return nt + 40; }
  std::uint32_t SectionAlignment() const { return nt + 56; }
  std::uint32_t FileAlignment() const { return nt + 60; }
  std::uint32_t SizeOfImage() const { return nt + 80; }
  std::uint32_t CheckSum() const { return nt + 88; }
  std::uint32_t PointerToSymbolTable() const { return nt + 12; }
};

// Section header field offsets.
inline constexpr std::uint32_t kVirtualSize = 8, kVirtualAddress = 12, kSizeOfRawData = 16,
                               kPointerToRawData = 20, kPointerToRelocations = 24,
                               kPointerToLinenumbers = 28;

inline std::uint32_t ResourceSectionIndex(const Bytes& b) {
  const Headers h(b);
  const std::uint32_t rva = Get32(b, h.Dir(2));
  for (std::uint32_t i = 0; i < h.sectionCount; ++i)
    if (Get32(b, h.Sec(i) + kVirtualAddress) == rva) return i;
  throw std::runtime_error("no resource section");
}

// One resource as read from a section: its key path and its data entry.
struct Resource {
  Bytes data;
  std::uint32_t codePage = 0;
  std::uint32_t reserved = 0;
  bool operator==(const Resource&) const = default;
};
// "type/name/language" with numbers in decimal and names as they are.
using ResourceMap = std::map<std::string, Resource>;

inline std::string KeyText(const Key& k) {
  return k.named() ? Narrow(std::get<1>(k.value)) : "#" + std::to_string(std::get<0>(k.value));
}
inline std::string Path(const Key& type, const Key& name, std::uint16_t language) {
  return KeyText(type) + "/" + KeyText(name) + "/" + std::to_string(language);
}
inline ResourceMap MapOf(const std::vector<ResourceSpec>& specs) {
  ResourceMap m;
  for (const ResourceSpec& r : specs)
    m[Path(r.type, r.name, r.language)] = {r.data, r.codePage, r.reserved};
  return m;
}

// Reads every resource of the image, three levels deep, by a reading of its
// own; also returns what the directory tables say, for the size check.
struct ResourceReading {
  ResourceMap resources;
  std::uint32_t dirBytes = 0, nameBytes = 0, dataBytes = 0;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> data;  // each leaf's, in the file
};

inline ResourceReading ReadResources(const Bytes& b) {
  const Headers h(b);
  const std::uint32_t s = h.Sec(ResourceSectionIndex(b));
  const std::uint32_t base = Get32(b, s + kPointerToRawData);
  const std::uint32_t rva = Get32(b, s + kVirtualAddress);
  ResourceReading out;
  auto name = [&](std::uint32_t field) -> std::string {
    if ((field & 0x80000000u) == 0) return "#" + std::to_string(field);
    const std::uint32_t at = base + (field & 0x7FFFFFFFu);
    const std::uint32_t length = Get16(b, at);
    out.nameBytes += 2 + 2 * length;
    std::u16string text;
    for (std::uint32_t i = 0; i < length; ++i)
      text += static_cast<char16_t>(Get16(b, at + 2 + 2 * i));
    return Narrow(text);
  };
  auto table = [&](std::uint32_t offset) {
    const std::uint32_t at = base + offset;
    const std::uint32_t count = Get16(b, at + 12) + Get16(b, at + 14);
    out.dirBytes += 16 + 8 * count;
    return std::pair{at, count};
  };
  const auto [root, types] = table(0);
  for (std::uint32_t t = 0; t < types; ++t) {
    const std::string type = name(Get32(b, root + 16 + 8 * t));
    const auto [typeTable, names] = table(Get32(b, root + 20 + 8 * t) & 0x7FFFFFFFu);
    for (std::uint32_t n = 0; n < names; ++n) {
      const std::string nm = name(Get32(b, typeTable + 16 + 8 * n));
      const auto [nameTable, languages] = table(Get32(b, typeTable + 20 + 8 * n) & 0x7FFFFFFFu);
      for (std::uint32_t l = 0; l < languages; ++l) {
        const std::uint32_t language = Get32(b, nameTable + 16 + 8 * l);
        const std::uint32_t entry = base + Get32(b, nameTable + 20 + 8 * l);
        out.dirBytes += 16;
        const std::uint32_t dataRva = Get32(b, entry), size = Get32(b, entry + 4);
        const std::uint64_t at = std::uint64_t{base} + dataRva - rva;
        if (at + size > b.size())
          throw std::out_of_range("resource data past the end of the image");
        out.dataBytes += Align(size, 4);
        out.data.emplace_back(at, size);
        out.resources[type + "/" + nm + "/" + std::to_string(language)] = {
            Bytes(b.begin() + static_cast<std::ptrdiff_t>(at),
                  b.begin() + static_cast<std::ptrdiff_t>(at + size)),
            Get32(b, entry + 8), Get32(b, entry + 12)};
      }
    }
  }
  return out;
}

// The section size the resources need: directory tables, leaf entries and
// names, rounded to 4, then every leaf's data rounded to 4.
inline std::uint32_t SectionSizeFor(const ResourceMap& m) {
  std::map<std::string, std::map<std::string, int>> tree;
  std::uint32_t data = 0;
  for (const auto& [path, r] : m) {
    const auto a = path.find('/'), b = path.rfind('/');
    ++tree[path.substr(0, a)][path.substr(a + 1, b - a - 1)];
    data += Align(static_cast<std::uint32_t>(r.data.size()), 4);
  }
  auto nameCost = [](const std::string& key) {
    return key[0] == '#' ? 0u : 2 + 2 * static_cast<std::uint32_t>(key.size());
  };
  std::uint32_t dir = 16 + 8 * static_cast<std::uint32_t>(tree.size()), names = 0;
  for (const auto& [type, nameMap] : tree) {
    names += nameCost(type);
    dir += 16 + 8 * static_cast<std::uint32_t>(nameMap.size());
    for (const auto& [nm, languages] : nameMap) {
      names += nameCost(nm);
      dir += 16 + 8 * static_cast<std::uint32_t>(languages) +
             16 * static_cast<std::uint32_t>(languages);
    }
  }
  return Align(dir + names, 4) + data;
}

// The block size by which the temporary folder's file system inserts and
// removes ranges of a file; 0 where it cannot.
inline std::uint32_t TempRangeBlockSize() {
  static const std::uint32_t size = [] {
    const platform::FileHandle probe =
        platform::CreateScratchFile(platform::TempDirectory() + "marovi-block-probe");
    if (probe == platform::kInvalidFile) return 0u;
    const std::uint32_t block = platform::RangeBlockSize(probe);
    platform::CloseFile(probe);
    return block;
  }();
  return size;
}

// The section's raw size in `after`: the file alignment's multiple of its
// size, or, where the tail moved by whole blocks of the file system, padded
// so that the raw size changed by whole blocks, by less than one block.
inline std::uint32_t PaddedRawSize(const Bytes& after, std::uint32_t header, std::uint32_t aligned,
                                   std::uint32_t oldRaw, std::uint32_t fa) {
  if (after.size() < header + 24) return aligned;
  const std::uint32_t raw = Get32(after, header + 16);
  if (raw == aligned) return aligned;
  const std::uint64_t unit = std::max<std::uint32_t>(TempRangeBlockSize(), fa);
  EXPECT_NE(TempRangeBlockSize(), 0u) << "a padded section without a block-moving file system";
  EXPECT_GT(raw, aligned);
  EXPECT_LT(raw - aligned, unit) << "padded by a block or more";
  const std::uint64_t change = raw > oldRaw ? raw - oldRaw : oldRaw - raw;
  EXPECT_EQ(change % unit, 0u) << "the raw size changed by a part of a block";
  return raw;
}

struct CommitDeltas {
  std::int64_t raw = 0;
  std::int64_t virt = 0;
  std::uint32_t sectionSize = 0;
};

// Checks that `after` is `before` with the resources `expected`: the section
// holds exactly them, is sized as the layout requires and padded with
// zeros; every byte in front of the section and behind it is the old byte,
// apart from the header fields and debug entries that describe what moved;
// the checksum is right. Returns the deltas for further checks.
inline CommitDeltas ExpectCommitted(const Bytes& before, const Bytes& after,
                                    const ResourceMap& expected) {
  CommitDeltas d;
  const Headers h(before);
  const std::uint32_t index = ResourceSectionIndex(before);
  const std::uint32_t s = h.Sec(index);
  const std::uint32_t fa = Get32(before, h.FileAlignment()),
                      sa = Get32(before, h.SectionAlignment());
  const std::uint32_t rva = Get32(before, h.Dir(2)), oldSize = Get32(before, h.Dir(2) + 4);
  const std::uint32_t ptr = Get32(before, s + kPointerToRawData),
                      oldRaw = Get32(before, s + kSizeOfRawData);
  const std::uint32_t oldEnd = ptr + oldRaw;

  d.sectionSize = SectionSizeFor(expected);
  // Large leaves that a block move carried to their new places leave room
  // in front of them: the section is then the table's size, larger than
  // its contents.
  const std::uint32_t table = after.size() >= h.Dir(2) + 8 ? Get32(after, h.Dir(2) + 4) : 0;
  const bool spread = TempRangeBlockSize() != 0 && table > d.sectionSize;
  if (spread) d.sectionSize = table;
  const std::uint32_t newRaw = PaddedRawSize(after, s, Align(d.sectionSize, fa), oldRaw, fa);
  // Padding past the section's extent in memory widens it there too.
  const std::uint32_t virtualSize =
      newRaw > Align(d.sectionSize, sa) ? newRaw : d.sectionSize;
  d.raw = std::int64_t{newRaw} - oldRaw;
  // A section whose virtual size is its raw size (as padding leaves it)
  // spans that in memory, when more than the table.
  const std::uint32_t oldVirtual = Get32(before, s + kVirtualSize);
  const std::uint32_t oldExtent =
      oldVirtual == oldRaw && Get32(before, s + kVirtualAddress) == rva ? std::max(oldSize, oldVirtual)
                                                                        : oldSize;
  d.virt = std::int64_t{Align(virtualSize, sa)} - Align(oldExtent, sa);
  const auto raw32 = static_cast<std::uint32_t>(d.raw), virt32 = static_cast<std::uint32_t>(d.virt);

  EXPECT_EQ(static_cast<std::int64_t>(after.size()),
            static_cast<std::int64_t>(before.size()) + d.raw)
      << "file length";
  if (static_cast<std::int64_t>(after.size()) != static_cast<std::int64_t>(before.size()) + d.raw)
    return d;

  const ResourceReading read = ReadResources(after);
  EXPECT_EQ(read.resources, expected);
  if (!spread) {
    EXPECT_EQ(Align(read.dirBytes + read.nameBytes, 4) + read.dataBytes, d.sectionSize);
  } else {
    // Every byte between the tables and the leaves' data is zero.
    std::vector<bool> used(d.sectionSize, false);
    std::fill(used.begin(), used.begin() + Align(read.dirBytes + read.nameBytes, 4), true);
    for (const auto& [at, size] : read.data) {
      EXPECT_TRUE(at >= ptr && at + size - ptr <= d.sectionSize) << "a leaf outside the section";
      if (at < ptr || at + size - ptr > d.sectionSize) return d;
      std::fill(used.begin() + static_cast<std::ptrdiff_t>(at - ptr),
                used.begin() + static_cast<std::ptrdiff_t>(at - ptr + size), true);
    }
    for (std::uint32_t i = 0; i < d.sectionSize; ++i)
      if (!used[i] && after[ptr + i] != 0) {
        ADD_FAILURE() << "a byte between the leaves is not zero at 0x" << std::hex << ptr + i;
        break;
      }
  }

  // The expected file: old front, new section, old tail.
  Bytes want(before.begin(), before.begin() + ptr);
  want.insert(want.end(), after.begin() + ptr, after.begin() + ptr + d.sectionSize);
  want.resize(want.size() + (newRaw - d.sectionSize), 0);
  want.insert(want.end(), before.begin() + oldEnd, before.end());

  auto add = [&](std::uint32_t at, std::uint32_t delta) {
    Set32(want, at, Get32(want, at) + delta);
  };
  // File offsets follow the file's order: at or behind the end of the old
  // section's data they move with the tail; inside it (only a section
  // without raw data can point there) they stay, but not past the new end.
  auto moved = [&](std::uint32_t o) -> std::uint32_t {
    if (o == 0 || o < ptr) return o;
    if (o >= oldEnd) return o + raw32;
    return std::min(o, ptr + newRaw);
  };
  auto move = [&](std::uint32_t at) { Set32(want, at, moved(Get32(want, at))); };
  add(h.SizeOfInitializedData(), raw32);
  add(h.SizeOfImage(), virt32);
  Set32(want, s + kSizeOfRawData, newRaw);
  Set32(want, s + kVirtualSize, virtualSize);
  Set32(want, h.Dir(2) + 4, d.sectionSize);
  // Addresses follow the order in memory.
  for (std::uint32_t i = 0; i < h.sectionCount; ++i) {
    const std::uint32_t x = h.Sec(i);
    if (i != index && Get32(before, x + kVirtualAddress) > rva) add(x + kVirtualAddress, virt32);
    move(x + kPointerToRawData);
    move(x + kPointerToLinenumbers);
    move(x + kPointerToRelocations);
  }
  for (std::uint32_t k = 0; k < h.directoryCount; ++k) {
    if (k == 4) move(h.Dir(k));
    else if (Get32(before, h.Dir(k)) > rva) add(h.Dir(k), virt32);
  }
  move(h.PointerToSymbolTable());

  // Debug entries, found through the moved headers, inside the data of the
  // section that holds them only.
  const std::uint32_t debugRva = h.directoryCount > 6 ? Get32(want, h.Dir(6)) : 0;
  const std::uint32_t debugSize = h.directoryCount > 6 ? Get32(want, h.Dir(6) + 4) : 0;
  if (debugSize != 0) {
    for (std::uint32_t j = 0; j < h.sectionCount; ++j) {
      const std::uint32_t start = Get32(want, h.Sec(j) + kVirtualAddress);
      if (start > debugRva) continue;
      if (j + 1 < h.sectionCount && Get32(want, h.Sec(j + 1) + kVirtualAddress) <= debugRva)
        continue;
      const std::uint64_t rawStart = Get32(want, h.Sec(j) + kPointerToRawData);
      const std::uint64_t rawEnd = rawStart + Get32(want, h.Sec(j) + kSizeOfRawData);
      const std::uint64_t at = rawStart + (debugRva - start);
      const std::uint32_t n = debugSize % 28 == 0 ? debugSize / 28 : debugSize;
      for (std::uint64_t e = 0; rawStart != 0 && static_cast<std::int32_t>(n) > 0 && e < n; ++e) {
        const std::uint64_t entry = at + 28 * e;
        if (entry + 28 > want.size() || entry + 28 > rawEnd) break;
        move(static_cast<std::uint32_t>(entry + 24));
        const std::uint32_t address = Get32(want, entry + 20);
        if (address != 0 && address > rva) add(static_cast<std::uint32_t>(entry + 20), virt32);
      }
      break;
    }
  }
  Set32(want, h.CheckSum(), StandardChecksum(want, h.CheckSum()));

  if (want != after) {
    std::size_t i = 0;
    while (i < want.size() && want[i] == after[i]) ++i;
    ADD_FAILURE() << "committed file differs from the expected one first at offset 0x" << std::hex
                  << i << " (expected 0x" << int{want[i]} << ", found 0x" << int{after[i]} << ")";
  }
  return d;
}

// A commit that put the resources into a section added behind the last one:
// every old section keeps its place and its bytes (the old resource section
// too), what was appended behind the sections moves behind the new one, and
// the headers name the new section. Returns the new section's index.
inline std::uint32_t ExpectSectionAdded(const Bytes& before, const Bytes& after,
                                        const ResourceMap& expected) {
  const Headers h(before);
  const std::uint32_t fa = Get32(before, h.FileAlignment()),
                      sa = Get32(before, h.SectionAlignment());
  std::uint64_t dataEnd = 0, memoryEnd = Get32(before, h.SizeOfImage());
  bool named = false;
  for (std::uint32_t i = 0; i < h.sectionCount; ++i) {
    const std::uint32_t x = h.Sec(i);
    if (Get32(before, x + kPointerToRawData) != 0)
      dataEnd = std::max<std::uint64_t>(
          dataEnd, Get32(before, x + kPointerToRawData) + Get32(before, x + kSizeOfRawData));
    memoryEnd = std::max<std::uint64_t>(memoryEnd, Get32(before, x + kVirtualAddress) +
                                                       std::max(Get32(before, x + kVirtualSize),
                                                                Get32(before, x + kSizeOfRawData)));
    named = named || std::memcmp(before.data() + x, ".rsrc\0\0\0", 8) == 0;
  }
  const auto at = static_cast<std::uint32_t>(Align(static_cast<std::uint32_t>(dataEnd), fa));
  const auto address = Align(static_cast<std::uint32_t>(memoryEnd), sa);
  const std::uint32_t size = SectionSizeFor(expected), raw = Align(size, fa);
  EXPECT_EQ(after.size(), std::max<std::size_t>(before.size(), at) + raw) << "file length";
  if (after.size() != std::max<std::size_t>(before.size(), at) + raw) return h.sectionCount;
  EXPECT_EQ(ReadResources(after).resources, expected);

  Bytes want(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(
                                                  std::min<std::size_t>(at, before.size())));
  want.resize(at, 0);
  want.insert(want.end(), after.begin() + at, after.begin() + at + size);
  want.resize(want.size() + (raw - size), 0);
  if (at < before.size()) want.insert(want.end(), before.begin() + at, before.end());
  const std::uint32_t x = h.Sec(h.sectionCount);
  std::memcpy(want.data() + x, named ? ".rsrc2\0\0" : ".rsrc\0\0\0", 8);
  Set32(want, x + kVirtualSize, size);
  Set32(want, x + kVirtualAddress, address);
  Set32(want, x + kSizeOfRawData, raw);
  Set32(want, x + kPointerToRawData, at);
  Set32(want, x + 36, 0x40000040);
  Set16(want, h.nt + 6, static_cast<std::uint16_t>(h.sectionCount + 1));
  Set32(want, h.SizeOfInitializedData(), Get32(want, h.SizeOfInitializedData()) + raw);
  Set32(want, h.SizeOfImage(), address + Align(size, sa));
  Set32(want, h.Dir(2), address);
  Set32(want, h.Dir(2) + 4, size);
  for (const std::uint32_t field : {h.Dir(4), h.PointerToSymbolTable()})
    if (Get32(want, field) >= at) Set32(want, field, Get32(want, field) + raw);
  Set32(want, h.CheckSum(), StandardChecksum(want, h.CheckSum()));
  if (want != after) {
    std::size_t i = 0;
    while (i < want.size() && want[i] == after[i]) ++i;
    ADD_FAILURE() << "file with an added section differs from the expected one first at offset 0x"
                  << std::hex << i << " (expected 0x" << int{want[i]} << ", found 0x"
                  << int{after[i]} << ")";
  }
  return h.sectionCount;
}

// One change of an update, applied both to the file and to the expected map.
struct Change {
  Key type;
  Key name;
  std::uint16_t language = 0;
  std::optional<Bytes> data;  // none: delete the leaf
};

inline ResKey KeyOf(const Key& k) {
  return k.named() ? std::get<1>(k.value).c_str() : MakeIntResource(std::get<0>(k.value));
}

// Makes every change in the update; false when one of them failed.
inline bool ApplyChanges(ResourceUpdate* u, const std::vector<Change>& changes) {
  bool all = true;
  for (const Change& c : changes)
    all &= UpdateResourceData(u, KeyOf(c.type), KeyOf(c.name), c.language,
                              c.data ? c.data->data() : nullptr,
                              c.data ? static_cast<std::uint32_t>(c.data->size()) : 0);
  return all;
}

inline ResourceMap Applied(ResourceMap m, const std::vector<Change>& changes) {
  for (const Change& c : changes) {
    const std::string path = Path(c.type, c.name, c.language);
    if (c.data) m[path] = {*c.data, 0, m.count(path) ? m[path].reserved : 0};
    else m.erase(path);
  }
  return m;
}

inline bool Reopenable(const ImageFile& file) {
  const platform::FileHandle h = platform::OpenFileByName(file.wide(), true, false);
  if (h == platform::kInvalidFile) return false;
  platform::CloseFile(h);
  return true;
}

inline Bytes Slice(const Bytes& b, std::uint64_t at, std::uint64_t size) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(at),
               b.begin() + static_cast<std::ptrdiff_t>(at + size));
}

inline std::uint32_t SectionNamed(const Bytes& b, const std::string& name) {
  const Headers h(b);
  for (std::uint32_t i = 0; i < h.sectionCount; ++i)
    if (std::string(reinterpret_cast<const char*>(b.data() + h.Sec(i))).substr(0, 8) == name)
      return h.Sec(i);
  throw std::runtime_error("no section " + name);
}

// A commit that failed because a file service failed gives that call's
// reason: the platform's code and the kind it makes. Laying the section out
// in the scratch folder names that folder; a write there that failed counts
// in written.
inline void ExpectTheFailedCallsReason(const Error& error, int& written) {
  EXPECT_NE(error.osCode, 0u) << error.detail;
  if (error.kind != ErrorKind::Journal) {
    EXPECT_EQ(error.kind, platform::ClassifyError(error.osCode)) << error.detail;
  }
  if (error.detail != "cannot lay out the new resource section in a scratch file in this folder")
    return;
  EXPECT_EQ(error.file, platform::TempDirectory());
  written += error.kind == ErrorKind::Io || error.kind == ErrorKind::DiskFull ? 1 : 0;
}

}  // namespace marovi::test
