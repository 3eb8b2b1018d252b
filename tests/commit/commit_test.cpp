// Committing an update to a file: what moves, what stays, what is refused.
// Here the sections and the tail that move, and commits that change nothing.
#include "tests/commit/commit_test_support.h"
#include "tests/support/fault_injection.h"

namespace marovi::test {
namespace {

// ----------------------------------------------------------- what moves

TEST_P(CommitTest, GrowingMovesSectionsBehindWithAndWithoutRawData) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(100, 1)}, {14, u"MAINICON", 0, Filled(20, 2)}});
  spec.sectionsAfter = {SectionSpec{".bss2", {}, 0x1800, kDiscardableBss},
                        SectionSpec{".reloc", Filled(0x180, 7), 0, kDiscardableData}};
  // A debug directory without entries in the file (a section without raw
  // data holds none): only its address moves.
  spec.directories = {{6, ".bss2", 0x10, 0x1C}};
  spec.relocations = {{".text", 0x10}};
  spec.appended = Filled(77, 5);
  const Bytes before = BuildImage(spec);
  CommitDeltas d;
  const Bytes after = Commit(before,
                             {{10, 7, 0, Filled(40000, 3)},
                              {3, 1, 0, Filled(32768, 4)},
                              {6, u"Big", 1033, Filled(100000, 6)}},
                             &d);
  ASSERT_FALSE(after.empty());
  EXPECT_GT(d.raw, 0);
  EXPECT_GT(d.virt, 0);
  const std::uint32_t relocBefore = SectionNamed(before, ".reloc"),
                      relocAfter = SectionNamed(after, ".reloc");
  EXPECT_EQ(Get32(after, relocAfter + kVirtualAddress),
            Get32(before, relocBefore + kVirtualAddress) + d.virt);
  EXPECT_EQ(Get32(after, relocAfter + kPointerToRawData),
            Get32(before, relocBefore + kPointerToRawData) + d.raw);
  EXPECT_EQ(Slice(after, Get32(after, relocAfter + kPointerToRawData), 0x180), Filled(0x180, 7));
  const std::uint32_t bssAfter = SectionNamed(after, ".bss2");
  EXPECT_EQ(Get32(after, bssAfter + kVirtualAddress),
            Get32(before, SectionNamed(before, ".bss2") + kVirtualAddress) + d.virt);
  // No data in the file: its PointerToRawData stays 0 rather than naming a
  // position that holds none of its bytes.
  EXPECT_EQ(Get32(after, bssAfter + kPointerToRawData), 0u);
  EXPECT_EQ(Get32(after, bssAfter + kSizeOfRawData), 0u);
  const Headers h(after);
  EXPECT_EQ(Get32(after, h.Dir(5)), Get32(before, h.Dir(5)) + d.virt);
  EXPECT_EQ(Get32(after, h.Dir(6)), Get32(after, bssAfter + kVirtualAddress) + 0x10);
  EXPECT_EQ(Slice(after, after.size() - 77, 77), Filled(77, 5));
}

TEST_P(CommitTest, ShrinkingMovesEverythingBehindTowardsTheStart) {
  ImageSpec spec = Spec(
      {{3, 1, 0, Filled(0x5000, 1)}, {3, 2, 0, Filled(0x800, 2)}, {24, 1, 1033, Filled(300, 3)}});
  spec.sectionsAfter = {SectionSpec{".bss2", {}, 0x800, kDiscardableBss},
                        SectionSpec{".reloc", Filled(0x300, 7), 0, kDiscardableData}};
  spec.relocations = {{".text", 0x10}};
  spec.appended = Filled(1000, 9);
  const Bytes before = BuildImage(spec);
  CommitDeltas d;
  const Bytes after = Commit(before, {{3, 1, 0, Filled(10, 4)}, {3, 2, 0, std::nullopt}}, &d);
  ASSERT_FALSE(after.empty());
  EXPECT_LT(d.raw, 0);
  EXPECT_LT(d.virt, 0);
  EXPECT_EQ(static_cast<std::int64_t>(after.size()),
            static_cast<std::int64_t>(before.size()) + d.raw);
  const std::uint32_t reloc = SectionNamed(after, ".reloc");
  EXPECT_EQ(Slice(after, Get32(after, reloc + kPointerToRawData), 0x300), Filled(0x300, 7));
  EXPECT_EQ(Slice(after, after.size() - 1000, 1000), Filled(1000, 9));
  EXPECT_EQ(Get32(after, SectionNamed(after, ".bss2") + kPointerToRawData), 0u);
}

// Large unchanged leaves move inside the file rather than through the
// section image: the section must come out byte for byte as the section
// image lays it out, whichever way they move. (With the tail copied: where
// the file system inserts blocks, a growing section leaves such leaves
// where the blocks carry them instead, and its resources are the same.)
TEST_P(CommitTest, LargeLeavesMovedInPlaceGiveTheSectionImageByteForByte) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(3000, 1)},
                         {10, 1, 1033, Filled(kMovedInPlace, 2)},
                         {10, 2, 1033, Filled(300001, 3)},
                         {10, 3, 1033, Filled(kMovedInPlace - 1, 4)},
                         {10, 4, 1033, Filled(100003, 5)},
                         {u"BIG", u"DATA", 0, Filled(200000, 6)}});
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x300, 7), 0, kDiscardableData}};
  spec.relocations = {{".text", 0x10}};
  spec.appended = Filled(5000, 9);
  const Bytes before = BuildImage(spec);
  const std::vector<std::vector<Change>> cases = {
      {{3, 1, 0, Filled(9000, 11)}, {3, 2, 0, Filled(10, 12)}},  // grows: leaves move up
      {{3, 1, 0, std::nullopt}, {10, 2, 1033, std::nullopt}},    // shrinks: down
      {{3, 1, 0, Filled(2996, 13)}},                             // same raw size
      {{10, 1, 1033, Filled(kMovedInPlace + 8, 14)}, {10, 5, 1033, Filled(90000, 15)}},
  };
  for (const auto& changes : cases) {
    SCOPED_TRACE(changes.size());
    // The section as the section image lays it out.
    Bytes expected;
    std::uint32_t rva = 0;
    {
      ImageFile file(before);
      UpdateGuard u(file.Begin());
      ASSERT_TRUE(u);
      for (const Change& c : changes)
        ASSERT_TRUE(UpdateResourceData(u.get(), KeyOf(c.type), KeyOf(c.name), c.language,
                                       c.data ? c.data->data() : nullptr,
                                       c.data ? static_cast<std::uint32_t>(c.data->size()) : 0));
      std::uint32_t dirBytes = 0, nameBytes = 0, dataBytes = 0;
      MeasureResourceTree(u.get()->root.get(), dirBytes, nameBytes, dataBytes);
      rva = Get32(before, Headers(before).Dir(2));
      SectionImage image =
          BuildResourceSection(rva, u.get()->root.get(), dirBytes, nameBytes, dataBytes);
      ASSERT_NE(image.view, nullptr);
      expected.assign(image.view, image.view + image.size);
      image.Release();
      EXPECT_TRUE(u.End(true));
    }
    fault::RefuseRangeShifts(true);
    const Bytes after = Commit(before, changes);
    fault::RefuseRangeShifts(false);
    ASSERT_FALSE(after.empty());
    const std::uint32_t s = Headers(after).Sec(ResourceSectionIndex(after));
    const std::uint32_t raw = Get32(after, s + kSizeOfRawData);
    ASSERT_EQ(Get32(after, s + kVirtualSize), expected.size());
    expected.resize(raw, 0);
    EXPECT_TRUE(Slice(after, Get32(after, s + kPointerToRawData), raw) == expected);
    const Bytes byBlocks = Commit(before, changes);
    ASSERT_FALSE(byBlocks.empty());
    EXPECT_EQ(ReadResources(byBlocks).resources, ReadResources(after).resources);
  }
}

TEST_P(CommitTest, SameRawSizeButLargerVirtualExtentStillMovesAddresses) {
  // The section's raw data holds more than its directory entry claims, so
  // the rebuilt section needs as many file-aligned bytes as before but more
  // pages in memory than the directory entry gave it.
  ImageSpec spec = Spec({{3, 1, 0, Filled(0x1100, 1)}});
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x1000, 7), 0, kDiscardableData}};
  spec.relocations = {{".text", 0x10}};
  spec.appended = Filled(0x100, 4);
  Bytes before = BuildImage(spec);
  const Headers h(before);
  const std::uint32_t s = h.Sec(ResourceSectionIndex(before));
  ASSERT_EQ(Get32(before, s + kSizeOfRawData), 0x1200u);
  Set32(before, h.Dir(2) + 4, 0x400);
  // A certificate table behind everything, at a file offset numerically above
  // the resource section's address: with no change of the file's layout it
  // must not move, whatever happens to the addresses.
  const auto cert = static_cast<std::uint32_t>(before.size() - 0x100);
  ASSERT_GT(cert, Get32(before, h.Dir(2)));
  Set32(before, h.Dir(4), cert);
  Set32(before, h.Dir(4) + 4, 0x100);
  CommitDeltas d;
  const Bytes after = Commit(before, {}, &d);
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(d.raw, 0);
  EXPECT_EQ(d.virt, 0x1000);
  EXPECT_EQ(after.size(), before.size());
  EXPECT_EQ(Get32(after, h.SizeOfImage()), Get32(before, h.SizeOfImage()) + 0x1000);
  const std::uint32_t reloc = SectionNamed(after, ".reloc");
  EXPECT_EQ(Get32(after, reloc + kVirtualAddress), Get32(before, reloc + kVirtualAddress) + 0x1000);
  EXPECT_EQ(Get32(after, reloc + kPointerToRawData), Get32(before, reloc + kPointerToRawData));
  EXPECT_EQ(Get32(after, h.Dir(5)), Get32(before, h.Dir(5)) + 0x1000);
  EXPECT_EQ(Get32(after, h.Dir(4)), cert);
  EXPECT_NE(Get32(after, h.Dir(2) + 4), 0x400u);
}

TEST_P(CommitTest, ATailOfManyMoveChunksMovesIntactBothWays) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(0x3000, 1)}});
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x100, 7), 0, kDiscardableData}};
  spec.debugEntries = {DebugEntrySpec{13, Filled(0x50, 4), false}};
  spec.appended = Filled(3 * 1024 * 1024 + 123, 9);
  const Bytes before = BuildImage(spec);
  // 0x9D00: moved by whole blocks, the section is padded past its extent in memory.
  for (const auto& change : {Filled(0x9000, 2), Filled(0x9D00, 2), Filled(8, 2)}) {
    SCOPED_TRACE(change.size());
    CommitDeltas d;
    const Bytes after = Commit(before, {{3, 1, 0, change}}, &d);
    ASSERT_FALSE(after.empty());
    EXPECT_NE(d.raw, 0);
    EXPECT_EQ(Slice(after, after.size() - spec.appended.size(), spec.appended.size()),
              spec.appended);
    // The same change made again changes nothing: a padded section keeps
    // its place in memory and in the file.
    EXPECT_EQ(Commit(after, {{3, 1, 0, change}}), after);
  }
}

TEST_P(CommitTest, ResourceSectionLastMovesOnlyAppendedData) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(100, 1)}});
  spec.appended = Filled(513, 8);
  const Bytes before = BuildImage(spec);
  ASSERT_EQ(ResourceSectionIndex(before), Headers(before).sectionCount - 1);
  CommitDeltas d;
  const Bytes after = Commit(before, {{3, 1, 0, Filled(0x2345, 2)}}, &d);
  ASSERT_FALSE(after.empty());
  EXPECT_GT(d.virt, 0);
  const Headers h(after);
  EXPECT_EQ(Get32(after, h.SizeOfImage()), Get32(before, h.SizeOfImage()) + d.virt);
  EXPECT_EQ(Slice(after, after.size() - 513, 513), Filled(513, 8));
  // Nothing at all behind the section: only the section changes.
  spec.appended.clear();
  const Bytes plain = BuildImage(spec);
  const Bytes plainAfter = Commit(plain, {{3, 1, 0, Filled(0x2345, 2)}});
  EXPECT_EQ(plainAfter.size(), plain.size() + static_cast<std::size_t>(d.raw));
}

TEST_P(CommitTest, CommitWithoutChangesReadsBackIdentical) {
  const Bytes before = BuildImage(Spec({{3, 1, 0, Filled(10, 1)},
                                        {3, 2, 0, Filled(11, 2)},
                                        {3, 2, 1033, Filled(12, 3), 1252, 7},
                                        {3, 2, 2052, {}},
                                        {14, u"MAINICON", 0, Filled(20, 5)},
                                        {u"PNG", u"Logo", 1041, Filled(5001, 6), 932, 0},
                                        {u"PNG", 3, 0, Filled(1, 7)},
                                        {24, 1, 1033, Filled(30, 8)}}));
  const Bytes after = Commit(before, {});
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(ReadResources(after).resources, ReadResources(before).resources);
  // A second commit changes nothing at all.
  EXPECT_EQ(Commit(after, {}), after);
}

TEST_P(CommitTest, DeleteExistingKeepsOnlyWhatWasAdded) {
  const Bytes before =
      BuildImage(Spec({{3, 1, 0, Filled(10, 1)}, {14, u"MAINICON", 0, Filled(20, 5)}}));
  ImageFile file(before);
  {
    UpdateGuard u(file.Begin(true));
    ASSERT_TRUE(u);
    const Bytes data = Filled(40000, 2);
    ASSERT_TRUE(
        UpdateResourceData(u.get(), MakeIntResource(3), MakeIntResource(9), 0, data.data(), 40000));
    ASSERT_TRUE(u.End(false));
  }
  ExpectCommitted(before, file.Read(), {{"#3/#9/0", {Filled(40000, 2)}}});
}

TEST_P(CommitTest, DiscardChangesNothingAndDeletesScratchFiles) {
  const Bytes before = BuildImage(Spec({{3, 1, 0, Filled(10, 1)}}));
  ImageFile file(before);
  UpdateGuard u(file.Begin());
  ASSERT_TRUE(u);
  const Bytes data = Filled(70000, 2);
  ASSERT_TRUE(
      UpdateResourceData(u.get(), MakeIntResource(3), MakeIntResource(1), 0, data.data(), 70000));
  ASSERT_TRUE(
      UpdateResourceData(u.get(), MakeIntResource(5), MakeIntResource(1), 0, data.data(), 40000));
  EXPECT_EQ(OpenScratchFiles().size(), 2u);
  EXPECT_TRUE(u.End(true));
  EXPECT_TRUE(OpenScratchFiles().empty());
  EXPECT_TRUE(Reopenable(file));
  EXPECT_TRUE(file.Read() == before);
}

INSTANTIATE_TEST_SUITE_P(Forms, CommitTest, ::testing::Bool(), FormName);

}  // namespace
}  // namespace marovi::test
