// The header fixes on bytes alone: old headers and a placement in, new
// headers out, with no file; and the debug entries likewise.
#include "engine/pe/header_fixes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <span>

#include "tests/commit/commit_test_util.h"

namespace marovi::test {
namespace {

// The old section's data at 0x1000, 0x800 bytes long; it grows by 0x200 or
// shrinks to 0x200.
Placement Grown() { return Placement{0, 0x1000, 0x800, 0xA00, 0x9F0, 0x200, 0x1000}; }
Placement Shrunk() { return Placement{0, 0x1000, 0x800, 0x200, 0x1F0, -0x600, 0}; }

// The fixed copy of headers, or none when FixHeadersInPlace refuses them.
std::optional<Bytes> FixHeaders(std::span<const std::uint8_t> headers, const Placement& p) {
  Bytes out(headers.begin(), headers.end());
  if (!FixHeadersInPlace(out, p)) return std::nullopt;
  return out;
}

TEST(HeaderFixes, FileOffsetsMoveByTheirPlaceInTheFileAroundTheOldData) {
  struct Case {
    std::uint32_t offset, grown, shrunk;
  };
  const Case cases[] = {
      {0, 0, 0},                 // no data in the file
      {0xFFF, 0xFFF, 0xFFF},     // in front of the old data
      {0x1000, 0x1000, 0x1000},  // its start
      {0x11F0, 0x11F0, 0x11F0},  // inside, still inside the shrunk data
      {0x1400, 0x1400, 0x1200},  // inside, past the shrunk data's end
      {0x17FF, 0x17FF, 0x1200},
      {0x1800, 0x1A00, 0x1200},  // the old end: moves with the tail
      {0x1801, 0x1A01, 0x1201},
      {0xFFFFF000, 0xFFFFF200, 0xFFFFEA00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(MovedFileOffset(c.offset, Grown()), c.grown);
    EXPECT_EQ(MovedFileOffset(c.offset, Shrunk()), c.shrunk);
  }
}

// Images whose raw data lies in another order than their addresses: every
// section's address moves when it lies behind the resources in memory, its
// data's pointer when the data lies behind theirs in the file, and no other
// byte of the headers changes but the fields the fixes own.
TEST(HeaderFixes, AddressesFollowTheMemoryOrderAndPointersTheFileOrder) {
  struct Case {
    const char* name;
    std::vector<std::string> fileOrder;
    std::set<std::string> dataBehind;  // sections whose data lies behind the resources' in the file
  };
  const Case cases[] = {
      {"address order", {}, {".reloc"}},
      {".reloc data in front", {".text", ".reloc", ".rsrc"}, {".rdata"}},
      {".text and .rdata data behind",
       {".rsrc", ".reloc", ".rdata", ".text"},
       {".reloc", ".rdata", ".text"}},
  };
  for (const bool plus : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (plus ? " PE32+" : " PE32"));
      ImageSpec spec = SpecWith(plus, {{3, 1, 0, Filled(0x900, 1)}});
      spec.sectionsBefore.push_back(SectionSpec{".rdata", Filled(0x300, 2)});
      spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x20, 7), 0, kDiscardableData},
                            SectionSpec{".bss2", {}, 0x800, kDiscardableBss}};
      spec.relocations = {{".text", 0x10}};
      spec.fileOrder = c.fileOrder;
      spec.symbolTableSize = 18 * 2;
      Bytes image = BuildImage(spec);
      const Headers h(image);
      const std::uint32_t index = ResourceSectionIndex(image);
      const std::uint32_t s = h.Sec(index);
      const std::uint32_t ptr = Get32(image, s + kPointerToRawData),
                          oldRaw = Get32(image, s + kSizeOfRawData);
      // A certificate table behind everything, and a TLS directory entry in
      // front of the resources in memory.
      Set32(image, h.Dir(4), static_cast<std::uint32_t>(image.size() - 8));
      Set32(image, h.Dir(9), Get32(image, h.Sec(0) + kVirtualAddress) + 8);
      const Bytes old(image.begin(), image.begin() + h.Sec(h.sectionCount));

      for (const std::int32_t rawDelta : {0x400, -0x200}) {
        SCOPED_TRACE(rawDelta);
        const std::uint32_t virtDelta = rawDelta > 0 ? 0x1000 : 0;
        const auto newRaw = static_cast<std::uint32_t>(std::int64_t{oldRaw} + rawDelta);
        const Placement p{index, ptr, oldRaw, newRaw, newRaw - 0x10, rawDelta, virtDelta};
        const auto fixed = FixHeaders(old, p);
        ASSERT_TRUE(fixed.has_value());

        Bytes want = old;
        auto add = [&](std::uint32_t at, std::uint32_t delta) {
          Set32(want, at, Get32(want, at) + delta);
        };
        const auto raw32 = static_cast<std::uint32_t>(rawDelta);
        add(h.SizeOfInitializedData(), raw32);
        add(h.SizeOfImage(), virtDelta);
        Set32(want, h.Dir(2) + 4, p.sectionSize);
        Set32(want, s + kSizeOfRawData, newRaw);
        Set32(want, s + kVirtualSize, p.sectionSize);
        for (std::uint32_t i = 0; i < h.sectionCount; ++i) {
          const std::uint32_t x = h.Sec(i);
          const std::string name(reinterpret_cast<const char*>(old.data() + x),
                                 strnlen(reinterpret_cast<const char*>(old.data() + x), 8));
          if (name == ".reloc" || name == ".bss2") add(x + kVirtualAddress, virtDelta);
          if (c.dataBehind.count(name) != 0) add(x + kPointerToRawData, raw32);
        }
        add(h.Dir(5), virtDelta);  // the relocations, in .reloc
        add(h.Dir(4), raw32);
        add(h.PointerToSymbolTable(), raw32);
        EXPECT_TRUE(*fixed == want);
        for (std::size_t i = 0; i < want.size(); ++i)
          if ((*fixed)[i] != want[i])
            ADD_FAILURE() << "header byte 0x" << std::hex << i << " differs";
      }
      // Headers cut short, or a placement naming no section, give none.
      EXPECT_FALSE(FixHeaders(std::span(old).first(old.size() - 1), Grown()).has_value());
      Placement beyond = Grown();
      beyond.sectionIndex = h.sectionCount;
      EXPECT_FALSE(FixHeaders(old, beyond).has_value());
    }
  }
}

TEST(HeaderFixes, DebugEntriesMoveEachFieldByItsOwnOrderAndNotWhereTheSectionGoes) {
  // Entries of 28 bytes: AddressOfRawData at 20, PointerToRawData at 24.
  struct Entry {
    std::uint32_t address, pointer, newAddress, newPointer;
  };
  const std::uint32_t rva = 0x3000;
  const Entry entries[] = {
      {0x5000, 0x2000, 0x6000, 0x2200},  // behind in memory and in the file
      {0x2000, 0x2100, 0x2000, 0x2300},  // in front in memory, behind in the file
      {0x5100, 0x0400, 0x6100, 0x0400},  // behind in memory, in front in the file
      {0, 0x2200, 0, 0x2400},            // not mapped
      {0x1000, 0x0500, 0x1000, 0x0500},  // in front in both
  };
  Bytes bytes(28 * std::size(entries), 0xEE);
  for (std::size_t i = 0; i < std::size(entries); ++i) {
    Set32(bytes, 28 * i + 20, entries[i].address);
    Set32(bytes, 28 * i + 24, entries[i].pointer);
  }
  // Lying behind the new section, all are fixed.
  Bytes fixed = bytes;
  const ByteRange all = FixDebugEntries(fixed, 0x4000, rva, Grown());
  for (std::size_t i = 0; i < std::size(entries); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Get32(fixed, 28 * i + 20), entries[i].newAddress);
    EXPECT_EQ(Get32(fixed, 28 * i + 24), entries[i].newPointer);
    EXPECT_EQ(Slice(fixed, 28 * i, 20), Slice(bytes, 28 * i, 20));
  }
  EXPECT_EQ(all.offset, 0x4000u);
  EXPECT_EQ(all.end(), 0x4000u + 28 * 4);  // the last entry changes nothing
  // The first two lie where the new section goes (it ends at 0x1A00): its
  // bytes replace them, and they are left alone.
  fixed = bytes;
  const ByteRange some = FixDebugEntries(fixed, 0x1A00 - 28 - 4, rva, Grown());
  EXPECT_EQ(Slice(fixed, 0, 56), Slice(bytes, 0, 56));
  EXPECT_EQ(Get32(fixed, 56 + 20), entries[2].newAddress);
  EXPECT_EQ(some.offset, 0x1A00u - 28 - 4 + 56);
}

}  // namespace
}  // namespace marovi::test

namespace marovi::test {
namespace {

// Where a section added behind the others goes, and when it cannot be added.
TEST(HeaderFixes, ANewSectionGoesBehindEverySectionOrIsRefusedWithTheReason) {
  ImageSpec spec = SpecWith(false, {{3, 1, 0, Filled(100, 1)}});
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x100, 7), 0x2345, 0x42000040}};
  spec.appended = Filled(1000, 9);
  spec.spareSectionHeaders = 1;
  const Bytes image = BuildImage(spec);
  const Headers h(image);
  const std::uint32_t last = h.Sec(h.sectionCount - 1);
  struct Case {
    const char* name;
    std::function<void(Bytes&)> edit;
    const char* refusal;  // null: planned
  } cases[] = {
      {"room to spare", [](Bytes&) {}, nullptr},
      {"no room within SizeOfHeaders",
       [&](Bytes& b) { Set32(b, h.nt + 84, h.Sec(h.sectionCount) + 20); },
       "no room for one more section header"},
      {"the room in use", [&](Bytes& b) { b[h.Sec(h.sectionCount) + 39] = 1; }, "in use"},
      {"appended data that does not start a file-aligned offset",
       [&](Bytes& b) { Set32(b, last + kSizeOfRawData, Get32(b, last + kSizeOfRawData) - 4); },
       "file-aligned"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes b = image;
    c.edit(b);
    const NewSectionPlan plan = PlanNewSection(b, b.size());
    if (c.refusal != nullptr) {
      EXPECT_FALSE(plan.section);
      EXPECT_NE(plan.refusal.find(c.refusal), std::string::npos) << plan.refusal;
      continue;
    }
    ASSERT_TRUE(plan.section) << plan.refusal;
    EXPECT_EQ(plan.section->index, h.sectionCount);
    EXPECT_EQ(plan.section->headerAt, h.Sec(h.sectionCount));
    // Behind the last section's extent in memory (its virtual size here
    // exceeds its data) and behind its data in the file.
    EXPECT_EQ(plan.section->virtualAddress,
              Align(Get32(b, last + kVirtualAddress) + 0x2345, 0x1000));
    EXPECT_EQ(plan.section->rawPointer,
              Get32(b, last + kPointerToRawData) + Get32(b, last + kSizeOfRawData));
    // ".rsrc" is taken by the old resource section.
    EXPECT_EQ(std::string(plan.section->name, 6), std::string(".rsrc2", 6));
  }
}

}  // namespace
}  // namespace marovi::test
