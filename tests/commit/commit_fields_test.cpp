// The file positions a commit moves with the tail (debug entries, the
// certificate table, COFF symbol, relocation and line number pointers) and
// the signature it strips.
#include "tests/commit/commit_test_support.h"

namespace marovi::test {
namespace {

TEST_P(CommitTest, DebugEntriesBehindTheSectionMoveMappedBothFieldsUnmappedOnlyTheFilePosition) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(0x900, 1)}});
  spec.sectionsAfter = {SectionSpec{".rdata2", Filled(0x40, 2), 0, kDiscardableData}};
  spec.debugEntries = {DebugEntrySpec{2, Filled(0x30, 3), true},
                       DebugEntrySpec{13, Filled(0x50, 4), false}};
  const Bytes before = BuildImage(spec);
  for (const auto& change : {Filled(5000, 1), Filled(10, 1)}) {
    SCOPED_TRACE(change.size());
    CommitDeltas d;
    const Bytes after = Commit(before, {{3, 1, 0, change}}, &d);
    ASSERT_FALSE(after.empty());
    ASSERT_NE(d.raw, 0);
    const Headers h(after);
    const std::uint32_t host = SectionNamed(after, ".rdata2");
    const std::uint32_t dir = Get32(after, host + kPointerToRawData) +
                              (Get32(after, h.Dir(6)) - Get32(after, host + kVirtualAddress));
    const std::uint32_t oldHost = SectionNamed(before, ".rdata2");
    const std::uint32_t oldDir =
        Get32(before, oldHost + kPointerToRawData) +
        (Get32(before, h.Dir(6)) - Get32(before, oldHost + kVirtualAddress));
    // Mapped: AddressOfRawData and PointerToRawData both move, the data with them.
    EXPECT_EQ(Get32(after, dir + 20), Get32(before, oldDir + 20) + d.virt);
    EXPECT_EQ(Get32(after, dir + 24), Get32(before, oldDir + 24) + d.raw);
    EXPECT_EQ(Slice(after, Get32(after, dir + 24), 0x30), Filled(0x30, 3));
    // Unmapped: AddressOfRawData stays 0.
    EXPECT_EQ(Get32(after, dir + 28 + 20), 0u);
    EXPECT_EQ(Get32(after, dir + 28 + 24), Get32(before, oldDir + 28 + 24) + d.raw);
    EXPECT_EQ(Slice(after, Get32(after, dir + 28 + 24), 0x50), Filled(0x50, 4));
  }
}

TEST_P(CommitTest, DebugDirectoryInFrontOfTheSectionMovesOnlyEntriesWhoseDataLiesBehind) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(100, 1)}});
  spec.debugBehindResources = false;
  spec.debugEntries = {DebugEntrySpec{2, Filled(0x30, 3), true},
                       DebugEntrySpec{13, Filled(0x50, 4), false}};
  const Bytes before = BuildImage(spec);
  CommitDeltas d;
  const Bytes after = Commit(before, {{3, 1, 0, Filled(5000, 1)}}, &d);
  ASSERT_FALSE(after.empty());
  const Headers h(after);
  const std::uint32_t text = h.Sec(0);
  const std::uint32_t dir = Get32(after, text + kPointerToRawData) +
                            (Get32(after, h.Dir(6)) - Get32(after, text + kVirtualAddress));
  EXPECT_EQ(Get32(after, dir + 20), Get32(before, dir + 20));
  EXPECT_EQ(Get32(after, dir + 24), Get32(before, dir + 24));
  EXPECT_EQ(Get32(after, dir + 28 + 24), Get32(before, dir + 28 + 24) + d.raw);
  EXPECT_EQ(Slice(after, Get32(after, dir + 28 + 24), 0x50), Filled(0x50, 4));
}

TEST_P(CommitTest, DebugSizeNotAMultipleOf28CountsEntriesAndNeverLeavesTheFile) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(100, 1)}});
  spec.sectionsAfter = {SectionSpec{".rdata2", Bytes(0x10, 0), 0, kDiscardableData}};
  spec.debugEntries = {DebugEntrySpec{2, Bytes(0x20, 0), true},
                       DebugEntrySpec{13, Filled(0x50, 4), false}};
  const Bytes built = BuildImage(spec);
  const Headers h(built);
  // 57 entries reach into the zero padding; 0x7FFF reach far beyond the end
  // of the file; 0x80000001 is no count at all.
  for (std::uint32_t size : {57u, 0x7FFFu, 0x80000001u}) {
    SCOPED_TRACE(size);
    Bytes before = built;
    Set32(before, h.Dir(6) + 4, size);
    CommitDeltas d;
    const Bytes after = Commit(before, {{3, 1, 0, Filled(5000, 1)}}, &d);
    ASSERT_FALSE(after.empty());
    const std::uint32_t host = SectionNamed(after, ".rdata2");
    const std::uint32_t dir = Get32(after, host + kPointerToRawData) +
                              (Get32(after, h.Dir(6)) - Get32(after, host + kVirtualAddress));
    const std::uint32_t oldHost = SectionNamed(before, ".rdata2");
    const std::uint32_t oldDir =
        Get32(before, oldHost + kPointerToRawData) +
        (Get32(before, h.Dir(6)) - Get32(before, oldHost + kVirtualAddress));
    const std::int64_t moved = size == 0x80000001u ? 0 : d.raw;
    EXPECT_EQ(Get32(after, dir + 24), Get32(before, oldDir + 24) + moved);
    EXPECT_EQ(Get32(after, dir + 28 + 24), Get32(before, oldDir + 28 + 24) + moved);
  }
}

// A debug directory entry that points into a section without data in the
// file: there are no entries to fix, and the bytes at that section's
// pointer 0 (the headers and the MS-DOS stub) must not be taken for some.
TEST_P(CommitTest, ADebugDirectoryInASectionWithoutFileDataTouchesNothing) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(0x900, 1)}});
  spec.sectionsAfter = {SectionSpec{".bss2", {}, 0x1000, kDiscardableBss},
                        SectionSpec{".reloc", Filled(0x100, 7), 0, kDiscardableData}};
  spec.directories = {{6, ".bss2", 0x40, 28 * 4}};
  const Bytes before = BuildImage(spec);
  ASSERT_GT(Get32(before, 0x40 + 24), Get32(before, Headers(before).Sec(1) + kPointerToRawData))
      << "the stub's bytes would pass for an entry behind the section";
  for (const auto& change : {Filled(0x3000, 2), Filled(8, 2)}) {
    SCOPED_TRACE(change.size());
    const Bytes after = Commit(before, {{3, 1, 0, change}});
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(Slice(after, 0, 0x80), Slice(before, 0, 0x80));
  }
}

TEST_P(CommitTest, CertificateTableIsAFilePositionMovedByTheRawDelta) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(0x1800, 1)}});
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x100, 7), 0, kDiscardableData}};
  spec.appended = Filled(0x208, 6);
  Bytes before = BuildImage(spec);
  const Headers h(before);
  const auto cert = static_cast<std::uint32_t>(before.size() - 0x208);
  Set32(before, h.Dir(4), cert);
  Set32(before, h.Dir(4) + 4, 0x208);
  for (const auto& change : {Filled(0x9000, 2), Filled(16, 2)}) {
    SCOPED_TRACE(change.size());
    CommitDeltas d;
    const Bytes after = Commit(before, {{3, 1, 0, change}}, &d);
    ASSERT_FALSE(after.empty());
    ASSERT_NE(d.raw, d.virt);
    EXPECT_EQ(Get32(after, h.Dir(4)), cert + d.raw);
    EXPECT_EQ(Get32(after, h.Dir(4) + 4), 0x208u);
    EXPECT_EQ(Slice(after, Get32(after, h.Dir(4)), 0x208), Filled(0x208, 6));
  }
  // A certificate entry in front of the section's end is no file position
  // behind it: it stays.
  Bytes front = before;
  Set32(front, h.Dir(4), Get32(front, h.Sec(0) + kPointerToRawData));
  Set32(front, h.Dir(4) + 4, 0x10);
  const Bytes after = Commit(front, {{3, 1, 0, Filled(0x9000, 2)}});
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(Get32(after, h.Dir(4)), Get32(front, h.Dir(4)));
}

// What a commit that strips the signature must give: the file the same
// commit without it gives, with the certificate table's entry cleared, the
// table cut off when it ends the file, and the checksum of the result.
Bytes WithoutSignature(Bytes committed) {
  const Headers h(committed);
  const std::uint32_t at = Get32(committed, h.Dir(4)), size = Get32(committed, h.Dir(4) + 4);
  Set32(committed, h.Dir(4), 0);
  Set32(committed, h.Dir(4) + 4, 0);
  if (size != 0 && std::uint64_t{at} + size == committed.size()) committed.resize(at);
  Set32(committed, h.CheckSum(), StandardChecksum(committed, h.CheckSum()));
  return committed;
}

TEST_P(CommitTest, StrippingTheSignatureClearsItsEntryAndCutsItOffTheEndOfTheFile) {
  const Bytes certificate = Filled(0x208, 6);
  struct Case {
    const char* name;
    Bytes change;
    int rawSign;   // of the section's change of raw size
    Bytes behind;  // what follows the table in the file
    bool signed_ = true;
    bool newSection = false;  // the old section holds more than resources
  };
  const Case cases[] = {
      {"growing", Filled(0x9000, 2), 1, {}},
      {"same raw size", Filled(0x17F0, 2), 0, {}},
      {"shrinking", Filled(0x10, 2), -1, {}},
      {"followed by other data", Filled(0x9000, 2), 1, Filled(0x30, 8)},
      {"not signed", Filled(0x9000, 2), 1, {}, false},
      {"into a new section", Filled(0x9000, 2), 1, {}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageSpec spec = Spec({{3, 1, 0, Filled(0x1800, 1)}});
    spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x100, 7), 0, kDiscardableData}};
    spec.spareSectionHeaders = 1;
    if (c.newSection) spec.directories = {{1, ".rsrc", 0x10, 0x28}};
    spec.appended = Filled(0x40, 5);
    if (c.signed_)
      spec.appended.insert(spec.appended.end(), certificate.begin(), certificate.end());
    spec.appended.insert(spec.appended.end(), c.behind.begin(), c.behind.end());
    Bytes before = BuildImage(spec);
    const Headers h(before);
    if (c.signed_) {
      Set32(before, h.Dir(4),
            static_cast<std::uint32_t>(before.size() - c.behind.size() - certificate.size()));
      Set32(before, h.Dir(4) + 4, static_cast<std::uint32_t>(certificate.size()));
      Set32(before, h.CheckSum(), StandardChecksum(before, h.CheckSum()));
    }
    const std::vector<Change> change = {{3, 1, 0, c.change}};
    CommitDeltas d;
    const Bytes kept =
        c.newSection ? CommitAddingASection(before, change) : Commit(before, change, &d);
    ASSERT_FALSE(kept.empty());
    if (!c.newSection) {
      ASSERT_EQ((d.raw > 0) - (d.raw < 0), c.rawSign);
    }
    if (c.signed_) {
      // Without the option the table moves with the file's tail and stays whole.
      ASSERT_EQ(Slice(kept, Get32(kept, h.Dir(4)), certificate.size()), certificate);
    }

    ImageFile file(before);
    {
      UpdateGuard u(file.Begin());
      ASSERT_TRUE(u);
      u->options.stripSignature = true;
      ASSERT_TRUE(UpdateResourceData(u.get(), MakeIntResource(3), MakeIntResource(1), 0,
                                     c.change.data(), static_cast<std::uint32_t>(c.change.size())));
      Error error;
      ASSERT_TRUE(u.End(false, &error)) << error.detail;
    }
    EXPECT_TRUE(Reopenable(file));
    const Bytes after = file.Read();
    EXPECT_TRUE(after == WithoutSignature(kept))
        << "sizes " << after.size() << " and " << kept.size();
    EXPECT_EQ(after.size(), kept.size() - (c.signed_ && c.behind.empty() ? certificate.size() : 0));
    EXPECT_EQ(Get32(after, h.Dir(4) + 4), 0u);
  }
}

TEST_P(CommitTest, SymbolTablePointerMovesWithTheTail) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(0x900, 1)}});
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x100, 7), 0, kDiscardableData}};
  spec.symbolTableSize = 18 * 6;
  const Bytes before = BuildImage(spec);
  const Headers h(before);
  const std::uint32_t symbols = Get32(before, h.PointerToSymbolTable());
  ASSERT_NE(symbols, 0u);
  const Bytes area = Slice(before, symbols, 18 * 6 + 4);
  for (const auto& change : {Filled(0x4000, 2), Filled(4, 2)}) {
    SCOPED_TRACE(change.size());
    CommitDeltas d;
    const Bytes after = Commit(before, {{3, 1, 0, change}}, &d);
    ASSERT_FALSE(after.empty());
    ASSERT_NE(d.raw, 0);
    EXPECT_EQ(Get32(after, h.PointerToSymbolTable()), symbols + d.raw);
    EXPECT_EQ(Slice(after, symbols + static_cast<std::uint32_t>(d.raw), area.size()), area);
  }
}

TEST_P(CommitTest, RelocationAndLineNumberPointersBehindTheSectionStartMove) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(0x700, 1)}});
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x100, 7), 0, kDiscardableData},
                        SectionSpec{".bss2", {}, 0x800, kDiscardableBss}};
  spec.appended = Filled(0x40, 6);
  Bytes before = BuildImage(spec);
  const std::uint32_t reloc = SectionNamed(before, ".reloc"), bss = SectionNamed(before, ".bss2");
  const auto behind = static_cast<std::uint32_t>(before.size() - 0x40);
  const std::uint32_t front = Get32(before, Headers(before).Sec(0) + kPointerToRawData);
  Set32(before, reloc + kPointerToRelocations, behind);
  Set32(before, reloc + kPointerToLinenumbers, front);
  Set32(before, bss + kPointerToLinenumbers, behind + 0x20);
  for (const auto& change : {Filled(0x3000, 2), Filled(8, 2)}) {
    SCOPED_TRACE(change.size());
    CommitDeltas d;
    const Bytes after = Commit(before, {{3, 1, 0, change}}, &d);
    ASSERT_FALSE(after.empty());
    ASSERT_NE(d.raw, 0);
    EXPECT_EQ(Get32(after, reloc + kPointerToRelocations), behind + d.raw);
    EXPECT_EQ(Get32(after, reloc + kPointerToLinenumbers), front);
    EXPECT_EQ(Get32(after, bss + kPointerToLinenumbers), behind + 0x20 + d.raw);
    EXPECT_EQ(Get32(after, bss + kPointerToRelocations), 0u);
    EXPECT_EQ(Slice(after, behind + static_cast<std::uint32_t>(d.raw), 0x40), Filled(0x40, 6));
  }
}

// An optional header with only three directory entries, and the section
// table right behind them where the other entries would be: the commit must
// find the section headers there and treat none of their bytes as entries.
TEST_P(CommitTest, AShortDataDirectoryIsNotReadPastItsEnd) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(0x700, 1)}});
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x100, 7), 0, kDiscardableData}};
  Bytes before = BuildImage(spec);
  const Headers full(before);
  const std::uint32_t count = 3;
  const std::uint32_t optionalSize = full.directory + 8 * count - (full.nt + 24);
  const std::uint32_t table = full.nt + 24 + optionalSize;
  const Bytes sections = Slice(before, full.sectionTable, 40 * full.sectionCount);
  std::fill(before.begin() + table, before.begin() + full.sectionTable + 40 * full.sectionCount, 0);
  std::copy(sections.begin(), sections.end(), before.begin() + table);
  Set16(before, full.nt + 20, optionalSize);
  Set32(before, full.directory - 4, count);
  const Headers h(before);
  ASSERT_EQ(h.directoryCount, 3u);
  ASSERT_EQ(h.sectionTable, table);
  for (const auto& change : {Filled(0x3000, 2), Filled(8, 2)}) {
    SCOPED_TRACE(change.size());
    CommitDeltas d;
    const Bytes after = Commit(before, {{3, 1, 0, change}}, &d);
    ASSERT_FALSE(after.empty());
    const std::uint32_t reloc = SectionNamed(after, ".reloc");
    EXPECT_EQ(Get32(after, reloc + kVirtualAddress),
              Get32(before, reloc + kVirtualAddress) + d.virt);
    EXPECT_EQ(Slice(after, Get32(after, reloc + kPointerToRawData), 0x100), Filled(0x100, 7));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(after.data() + table), 5), ".text");
  }
}

}  // namespace
}  // namespace marovi::test
