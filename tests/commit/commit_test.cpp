// Committing an update to a file: what moves, what stays, what is refused.
#include "engine/commit/commit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <span>

#include "engine/commit/result_check.h"
#include "engine/commit/section_layout.h"
#include "engine/pe/bytes.h"
#include "engine/platform/platform.h"
#include "tests/commit/commit_test_util.h"

namespace marovi::test {
namespace {

class CommitTest : public ::testing::TestWithParam<bool> {
 protected:
  void TearDown() override { EXPECT_TRUE(LeftoverScratchFiles().empty()); }

  ImageSpec Spec(std::vector<ResourceSpec> resources) const {
    return SpecWith(GetParam(), std::move(resources));
  }

  // Begins an update of a copy of `before`, makes the changes, commits, and
  // checks the whole file against the expected one.
  Bytes Commit(const Bytes& before, const std::vector<Change>& changes,
               CommitDeltas* deltas = nullptr) {
    ImageFile file(before);
    {
      UpdateGuard u(file.Begin());
      EXPECT_TRUE(u);
      if (!u) return {};
      for (const Change& c : changes) {
        EXPECT_TRUE(UpdateResourceData(u.get(), KeyOf(c.type), KeyOf(c.name), c.language,
                                       c.data ? c.data->data() : nullptr,
                                       c.data ? static_cast<std::uint32_t>(c.data->size()) : 0));
      }
      EXPECT_TRUE(u.End(false));
    }
    EXPECT_TRUE(Reopenable(file));
    const Bytes after = file.Read();
    const CommitDeltas d =
        ExpectCommitted(before, after, Applied(ReadResources(before).resources, changes));
    if (deltas != nullptr) *deltas = d;
    return after;
  }

  // A commit of changes that must be refused for reason: false, the reason
  // and where it lies, and the file as it was.
  void ExpectRefusedBecause(const Bytes& before, const std::vector<Change>& changes,
                            const std::string& reason) {
    ImageFile file(before);
    UpdateGuard u(file.Begin());
    ASSERT_TRUE(u);
    for (const Change& c : changes)
      EXPECT_TRUE(UpdateResourceData(u.get(), KeyOf(c.type), KeyOf(c.name), c.language,
                                     c.data ? c.data->data() : nullptr,
                                     c.data ? static_cast<std::uint32_t>(c.data->size()) : 0));
    Error error;
    EXPECT_FALSE(u.End(false, &error));
    EXPECT_EQ(error.kind, ErrorKind::Refused);
    EXPECT_NE(error.detail.find(reason), std::string::npos) << error.detail;
    EXPECT_TRUE(error.offset.has_value() && *error.offset < before.size());
    EXPECT_TRUE(Reopenable(file));
    EXPECT_TRUE(file.Read() == before) << "a refused commit changed the file";
  }

  // A commit that puts the resources into a section added behind the others.
  Bytes CommitAddingASection(const Bytes& before, const std::vector<Change>& changes) {
    ImageFile file(before);
    {
      UpdateGuard u(file.Begin());
      EXPECT_TRUE(u);
      if (!u) return {};
      for (const Change& c : changes)
        EXPECT_TRUE(UpdateResourceData(u.get(), KeyOf(c.type), KeyOf(c.name), c.language,
                                       c.data ? c.data->data() : nullptr,
                                       c.data ? static_cast<std::uint32_t>(c.data->size()) : 0));
      Error error;
      EXPECT_TRUE(u.End(false, &error)) << error.detail;
    }
    const Bytes after = file.Read();
    ResourceMap had;  // none for an image without resources
    if (ReadFacts(before).hasResourceSection) had = ReadResources(before).resources;
    ExpectSectionAdded(before, after, Applied(had, changes));
    return after;
  }

  // A commit that must be refused: false, and the file as it was.
  void ExpectRefused(const Bytes& before, bool deleteExisting = false,
                     void (*edit)(ResourceUpdate*) = nullptr, const char* reason = nullptr) {
    ImageFile file(before);
    UpdateGuard u(file.Begin(deleteExisting));
    ASSERT_TRUE(u);
    const Bytes big = Filled(50000, 3);
    EXPECT_TRUE(
        UpdateResourceData(u.get(), MakeIntResource(10), MakeIntResource(1), 0, big.data(), 50000));
    if (edit != nullptr) edit(u.get());
    Error error;
    EXPECT_FALSE(u.End(false, &error));
    if (reason != nullptr) {
      EXPECT_EQ(error.kind, ErrorKind::Refused);
      EXPECT_EQ(error.detail, reason);
    }
    EXPECT_TRUE(Reopenable(file));
    EXPECT_TRUE(file.Read() == before) << "a refused commit changed the file";
  }
};

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
// image lays it out, whichever way they move.
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
    const Bytes after = Commit(before, changes);
    ASSERT_FALSE(after.empty());
    const std::uint32_t s = Headers(after).Sec(ResourceSectionIndex(after));
    const std::uint32_t raw = Get32(after, s + kSizeOfRawData);
    ASSERT_EQ(Get32(after, s + kVirtualSize), expected.size());
    expected.resize(raw, 0);
    EXPECT_TRUE(Slice(after, Get32(after, s + kPointerToRawData), raw) == expected);
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

// ------------------------------- what may move, in memory and in the file

// The image of one layout case: resources of two pages in memory, the
// sections the case adds, and edits the generator cannot make.
struct LayoutCase {
  const char* name;
  void (*shape)(ImageSpec&);
  // NewSection: never rebuilt in place; the resources go into a new section.
  enum { Never, WhenMoving, NewSection, Always } refused;
  const char* reason;  // part of the refusal's text
  void (*edit)(Bytes&) = nullptr;
};

const LayoutCase kLayoutCases[] = {
    // Sections behind the resources that something addresses.
    {"imports behind",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".idata", Filled(0x200, 3), 0, 0xC0000040}};
       s.directories = {{1, ".idata", 0, 0x28}};
     },
     LayoutCase::WhenMoving,
     "section \".idata\" behind the resources holds the import table and cannot move"},
    {"code behind",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".text2", Bytes(0x80, 0xC3), 0, kCode}};
     },
     LayoutCase::WhenMoving, "section \".text2\" behind the resources holds code and cannot move"},
    {"entry point behind",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".stub", Filled(0x80, 3), 0, kDiscardableData}};
       s.entryPoint = PlaceSpec{".stub", 0x10};
     },
     LayoutCase::WhenMoving, "section \".stub\" behind the resources holds the entry point"},
    {"relocated page behind",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".data2", Filled(0x80, 3), 0, kDiscardableData},
                          SectionSpec{".reloc", Filled(0x20, 7), 0, kDiscardableData}};
       s.relocations = {{".text", 0x10}, {".data2", 0x20}};
     },
     LayoutCase::WhenMoving,
     "section \".data2\" behind the resources holds pages that the base relocation table lists"},
    {"data that is not discardable behind",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".data2", Filled(0x80, 3)}};
     },
     LayoutCase::WhenMoving, "section \".data2\" behind the resources is not discardable"},
    {"TLS directory in a discardable section behind",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".tls2", Filled(0x80, 3), 0, kDiscardableData}};
       s.directories = {{9, ".tls2", 0x10, 0x18}};
     },
     LayoutCase::WhenMoving, "holds the TLS directory"},
    {"unreadable base relocations",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".reloc", Filled(0x40, 7), 0, kDiscardableData}};
       s.directories = {{5, ".reloc", 0, 0x40}};
     },
     LayoutCase::WhenMoving, "the base relocation table cannot be read"},
    // What may move: base relocations and debug data, in any file order.
    {"relocations and debug data behind",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".reloc", Filled(0x20, 7), 0, kDiscardableData},
                          SectionSpec{".debug", Filled(0x300, 5), 0, kDiscardableData},
                          SectionSpec{".bss2", {}, 0x800, kDiscardableBss}};
       s.relocations = {{".text", 0x10}, {".text", 0x1000 - 4}};
       s.debugEntries = {DebugEntrySpec{2, Filled(0x30, 3), true},
                         DebugEntrySpec{13, Filled(0x50, 4), false}};
       s.symbolTableSize = 18 * 4;
     },
     LayoutCase::Never, nullptr},
    {".reloc data in front of the resource data",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".reloc", Filled(0x20, 7), 0, kDiscardableData},
                          SectionSpec{".debug", Filled(0x300, 5), 0, kDiscardableData}};
       s.relocations = {{".text", 0x10}};
       s.fileOrder = {".text", ".reloc", ".rsrc"};
       s.debugEntries = {DebugEntrySpec{2, Filled(0x30, 3), true}};
     },
     LayoutCase::Never, nullptr},
    {".text data behind the resource data",
     [](ImageSpec& s) {
       s.sectionsBefore.push_back(SectionSpec{".rdata", Filled(0x300, 2)});
       s.sectionsAfter = {SectionSpec{".reloc", Filled(0x20, 7), 0, kDiscardableData}};
       s.relocations = {{".text", 0x10}, {".rdata", 0x20}};
       s.fileOrder = {".rsrc", ".reloc", ".rdata", ".text"};
       // The debug directory in .text: its entries' data lies behind the
       // resource data in the file and in front of it in memory.
       s.debugBehindResources = false;
       s.debugEntries = {DebugEntrySpec{2, Filled(0x30, 3), true},
                         DebugEntrySpec{13, Filled(0x50, 4), false}};
     },
     LayoutCase::Never, nullptr},
    {"a stale pointer into the resource data",
     [](ImageSpec& s) {
       // No raw data, and a pointer a linker left inside the resources'.
       SectionSpec tls{".tls", {}, 0x100, 0xC0000040};
       tls.sharesDataOf = ".rsrc";
       tls.sharedOffset = 0x1000;
       s.sectionsBefore.push_back(tls);
       s.sectionsAfter = {SectionSpec{".reloc", Filled(0x20, 7), 0, kDiscardableData}};
       s.relocations = {{".text", 0x10}};
     },
     LayoutCase::Never, nullptr},
    // Layouts the rebuild cannot rely on, whatever the change.
    {"section data laid over another section's",
     [](ImageSpec& s) {
       SectionSpec b{".b", Filled(0x100, 4), 0, kDiscardableData};
       b.sharesDataOf = ".a";
       b.sharedOffset = 0x200;
       s.sectionsAfter = {SectionSpec{".a", Filled(0x400, 3), 0, kDiscardableData}, b};
     },
     LayoutCase::Always,
     "the data of section \".a\" and of section \".b\" share bytes of the file"},
    {"section data running out of the resource data",
     [](ImageSpec& s) {
       SectionSpec b{".b", Bytes(0x400, 0), 0, kDiscardableData};
       b.sharesDataOf = ".rsrc";
       b.sharedOffset = 0x1800;
       s.sectionsAfter = {b};
     },
     LayoutCase::Always, "and of section \".b\" share bytes of the file"},
    // Some installers' linkers leave the relocations inside the resource
    // data: the resources go elsewhere, and those bytes stay.
    {"section data inside the resource data",
     [](ImageSpec& s) {
       SectionSpec b{".reloc", Filled(0x10, 6), 0, kDiscardableData};
       b.sharesDataOf = ".rsrc";
       b.sharedOffset = 0x1800;
       s.sectionsAfter = {b};
     },
     LayoutCase::NewSection, "the data of section \".reloc\" lies inside the resource section's"},
    {"a section alignment that is no power of two",
     [](ImageSpec& s) { s.sectionAlignment = 0x1800; }, LayoutCase::Always,
     "the section alignment 0x1800 is not a power of two"},
    {"a section alignment below the file alignment",
     [](ImageSpec& s) {
       s.fileAlignment = 0x1000;
       s.sectionAlignment = 0x800;
     },
     LayoutCase::Always, "the section alignment 0x800 is below the file alignment 0x1000"},
    {"a resource table larger than its section", [](ImageSpec&) {}, LayoutCase::Always,
     "exceeds its section's size in memory",
     [](Bytes& b) {
       const Headers h(b);
       Set32(b, h.Dir(2) + 4, Get32(b, h.Sec(ResourceSectionIndex(b)) + kVirtualSize) + 1);
     }},
};

// Each layout with a change that keeps the section's pages, one that grows
// them and one that shrinks them: refused untouched where the case says so,
// and otherwise committed with every field as the file's two orders require.
TEST_P(CommitTest, SectionsMoveOnlyWhereNothingAddressesThemAndFileOffsetsFollowTheFile) {
  struct Kind {
    const char* name;
    Bytes data;
    bool moves;
  };
  const Kind kinds[] = {{"same pages", Filled(0x1C00, 2), false},
                        {"growing", Filled(0x3000, 2), true},
                        {"shrinking", Filled(0x10, 2), true}};
  for (const LayoutCase& c : kLayoutCases) {
    SCOPED_TRACE(c.name);
    ImageSpec spec = Spec({{3, 1, 0, Filled(0x1900, 1)}, {14, u"MAINICON", 0, Filled(0x20, 3)}});
    c.shape(spec);
    spec.spareSectionHeaders = 1;
    Bytes before = BuildImage(spec);
    if (c.edit != nullptr) {
      c.edit(before);
      const Headers h(before);
      Set32(before, h.CheckSum(), StandardChecksum(before, h.CheckSum()));
    }
    for (const Kind& k : kinds) {
      SCOPED_TRACE(k.name);
      const std::vector<Change> change = {{3, 1, 0, k.data}};
      if (c.refused == LayoutCase::Always) {
        ExpectRefusedBecause(before, change, c.reason);
        continue;
      }
      // Sections that must not move stay: the resources go into a section
      // added behind them instead, and the old one keeps its bytes.
      if ((c.refused == LayoutCase::WhenMoving && k.moves) || c.refused == LayoutCase::NewSection) {
        const Bytes after = CommitAddingASection(before, change);
        ASSERT_FALSE(after.empty());
        // Changed once more, the new section is the last and grows in place.
        Commit(after, {{3, 1, 0, Filled(0x5000, 4)}});
        // When the room for its header is in use, the image is refused.
        Bytes used = before;
        const Headers h(used);
        used[h.Sec(h.sectionCount) + 3] = 0x5A;
        Set32(used, h.CheckSum(), StandardChecksum(used, h.CheckSum()));
        ExpectRefusedBecause(used, change, c.reason);
        ExpectRefusedBecause(
            used, change,
            "a new section cannot be added: the room behind its section table is in use");
        continue;
      }
      CommitDeltas d;
      const Bytes after = Commit(before, change, &d);
      ASSERT_FALSE(after.empty());
      EXPECT_EQ(d.virt != 0, k.moves) << "the change does not exercise what the case is about";
    }
  }
}

// ------------------------------------------------------- what is refused

// The check a commit makes of its result before it counts: each damage
// that the commit could do, done by hand to a good result, is caught.
TEST_P(CommitTest, TheCheckOfTheResultCatchesWhatWentWrong) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(100, 1)},
                         {14, u"MAINICON", 0, Filled(20, 2)},
                         {10, 7, 1033, Filled(50, 3)}});
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x300, 7)}};
  spec.directories = {{5, ".reloc", 0, 0x300}};
  const Bytes good = BuildImage(spec);
  const ImageFacts f = ReadFacts(good);
  const std::uint32_t headersEnd = f.sectionTable + 40 * f.sectionCount;
  const std::span<const std::uint8_t> headers(good.data(), headersEnd);
  const ResourceTree tree = ParseResourceTree(good.data(), static_cast<std::uint32_t>(good.size()),
                                              f.resourcePointerToRawData, f.resourceSizeOfRawData,
                                              f.resourceVirtualAddress);
  TResItem* root = tree.get();
  // New data in memory is compared byte for byte.
  TResItem* rcdata =
      FindLanguageChild(
          FindNamedChild(FindNamedChild(root, MakeIntResource(10))->get(), MakeIntResource(7))
              ->get(),
          1033)
          ->get();
  const Bytes rcdataBytes = Filled(50, 3);
  rcdata->leaf().data.SetMemory(
      std::string_view(reinterpret_cast<const char*>(rcdataBytes.data()), rcdataBytes.size()));
  auto find = [&](const Bytes& b, const Bytes& what) {
    return static_cast<std::size_t>(std::search(b.begin(), b.end(), what.begin(), what.end()) -
                                    b.begin());
  };
  const Bytes mainIcon = {8, 0, 'M', 0, 'A', 0, 'I', 0, 'N', 0, 'I', 0, 'C', 0, 'O', 0, 'N', 0};
  // The first data entry: the first entry of the first name of the first type.
  auto firstDataEntry = [&](const Bytes& b) {
    const std::uint8_t* section = b.data() + f.resourcePointerToRawData;
    std::uint32_t at = 0;
    for (int level = 0; level < 3; ++level) at = LoadU32(section + at + 16 + 4) & 0x7FFFFFFFu;
    return f.resourcePointerToRawData + at;
  };
  const std::uint32_t text = f.sectionTable;  // .text, then .rsrc, then .reloc
  const std::uint32_t rsrc = f.sectionTable + 40 * f.resourceSectionIndex;
  const std::uint32_t reloc = rsrc + 40;
  const std::uint32_t dir5 = f.dataDirectory + 8 * 5;
  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* found;  // a part of the reason, or null for none
  } cases[] = {
      {"nothing", [](Bytes&) {}, nullptr},
      {"a data size", [&](Bytes& b) { b[firstDataEntry(b) + 4] ^= 1; }, "data entry"},
      {"a name", [&](Bytes& b) { b[find(b, mainIcon) + 2] ^= 1; }, "name"},
      {"new data", [&](Bytes& b) { b[find(b, rcdataBytes) + 9] ^= 1; }, "new data"},
      {"a count", [&](Bytes& b) { b[f.resourcePointerToRawData + 14] ^= 1; }, "other entries"},
      {"file data overlapping",
       [&](Bytes& b) { StoreU32(b.data() + reloc + 20, LoadU32(b.data() + rsrc + 20)); },
       "overlap in the file"},
      {"addresses overlapping",
       [&](Bytes& b) { StoreU32(b.data() + reloc + 12, LoadU32(b.data() + rsrc + 12) + 8); },
       "overlap in memory"},
      {"a directory in another section",
       [&](Bytes& b) { StoreU32(b.data() + dir5, LoadU32(b.data() + text + 12)); },
       "left the section"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes damaged = good;
    c.damage(damaged);
    const auto problem =
        CheckCommittedImage(damaged.data(), static_cast<std::uint32_t>(damaged.size()), headers,
                            f.resourceSectionIndex, root);
    if (c.found == nullptr) {
      EXPECT_FALSE(problem) << problem.detail;
    } else {
      ASSERT_TRUE(problem);
      EXPECT_EQ(problem.kind, ErrorKind::Internal);
      EXPECT_NE(problem.detail.find(c.found), std::string::npos) << problem.detail;
    }
  }
}

// An image without resources gains a section for them, behind its data and
// what is appended; changed again, that section grows where it is. Without
// room for its header the image is refused untouched.
TEST_P(CommitTest, AnImageWithoutResourcesGainsASection) {
  ImageSpec spec = Spec({});
  spec.withResourceSection = false;
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x100, 7), 0, kDiscardableData}};
  spec.appended = Filled(3000, 5);
  spec.symbolTableSize = 0x40;
  const Bytes before = BuildImage(spec);
  const std::vector<Change> change = {{3, 1, 0, Filled(700, 1)},
                                      {14, u"MAINICON", 0, Filled(20, 2)}};
  const Bytes after = CommitAddingASection(before, change);
  ASSERT_FALSE(after.empty());
  Commit(after, {{3, 2, 0, Filled(9000, 3)}});

  Bytes used = before;
  const Headers h(used);
  used[h.Sec(h.sectionCount)] = 1;
  Set32(used, h.CheckSum(), StandardChecksum(used, h.CheckSum()));
  ExpectRefusedBecause(used, change,
                       "it has no resource section, and a new section cannot be added");
}

TEST_P(CommitTest, ImportsOrEntryPointInsideTheSectionGetANewSection) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(100, 1)}});
  spec.spareSectionHeaders = 1;
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x100, 7), 0, kDiscardableData}};
  const std::vector<Change> change = {{10, 1, 0, Filled(50000, 3)}};
  // What lives in the old section stays where it is, byte for byte.
  spec.directories = {{1, ".rsrc", 0x10, 0x28}};
  CommitAddingASection(BuildImage(spec), change);
  spec.directories = {{12, ".rsrc", 0x100, 0x8}};
  CommitAddingASection(BuildImage(spec), change);
  spec.directories = {};
  Bytes entry = BuildImage(spec);
  const Headers h(entry);
  Set32(entry, h.EntryPoint(), Get32(entry, h.Dir(2)) + 0x20);
  CommitAddingASection(entry, change);
  // The last byte of the section counts; the first one behind it does not.
  const std::uint32_t s = h.Sec(ResourceSectionIndex(entry));
  const std::uint32_t extent =
      std::max(Get32(entry, s + kVirtualSize), Get32(entry, s + kSizeOfRawData));
  Set32(entry, h.EntryPoint(), Get32(entry, h.Dir(2)) + extent - 1);
  CommitAddingASection(entry, change);
  Set32(entry, h.EntryPoint(), Get32(entry, h.Dir(2)) + extent);
  Commit(entry, change);
}

// A packer keeps the imports in the resource section and resource data in
// another section: the directory then cannot be read as one, and what stands
// in the way of a change is the imports, which beginning names.
TEST_P(CommitTest, ResourceDataElsewhereBesideImportsInTheSectionIsRefusedWhenBeginning) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(0x100, 1)}});
  spec.sectionsBefore.push_back(SectionSpec{"UPX1", Filled(0x400, 2)});
  spec.directories = {{1, ".rsrc", 0x10, 0x28}};
  Bytes before = BuildImage(spec);
  const Headers h(before);
  const std::uint32_t base = Get32(before, h.Sec(ResourceSectionIndex(before)) + kPointerToRawData);
  // The one data entry of the directory (root, type, name, language).
  const std::uint32_t entry = base + 16 + 8 + 2 * (16 + 8);
  Set32(before, entry, Get32(before, SectionNamed(before, "UPX1") + kVirtualAddress) + 0x40);
  ImageFile file(before);
  Error error;
  EXPECT_EQ(BeginResourceUpdate(file.wide(), false, &error), nullptr);
  EXPECT_EQ(error.kind, ErrorKind::Refused);
  EXPECT_EQ(error.detail, "the import table lies inside the resource section");
  EXPECT_EQ(error.offset, std::optional<std::uint64_t>(h.Dir(1)));
  try {
    file.Begin();
    ADD_FAILURE() << "beginning did not refuse";
  } catch (const ImageFormatError& e) {
    EXPECT_STREQ(e.what(), "the import table lies inside the resource section");
    // Thrown, the refusal keeps its kind and where it lies.
    EXPECT_EQ(e.error().kind, ErrorKind::Refused);
    EXPECT_EQ(e.error().offset, std::optional<std::uint64_t>(h.Dir(1)));
  }
  EXPECT_TRUE(file.Read() == before);
  // Without the imports there, the same directory is malformed.
  Set32(before, h.Dir(1), 0);
  ImageFile plain(before);
  EXPECT_EQ(BeginResourceUpdate(plain.wide(), false, &error), nullptr);
  EXPECT_EQ(error.kind, ErrorKind::MalformedImage);
}

TEST_P(CommitTest, BadAlignmentsAndMisplacedSectionDataAreRefused) {
  const Bytes good = BuildImage(Spec({{3, 1, 0, Filled(100, 1)}}));
  const Headers h(good);
  const std::uint32_t s = h.Sec(ResourceSectionIndex(good));
  Bytes bad = good;
  Set32(bad, h.FileAlignment(), 0);
  ExpectRefused(bad, false, nullptr, "the file alignment 0x0 is not a power of two up to 64 KiB");
  bad = good;
  Set32(bad, h.SectionAlignment(), 0);
  ExpectRefused(bad, false, nullptr, "the section alignment 0x0 is not a power of two");
  // A file alignment that is no power of two, or so large that one commit
  // would grow the file by a gigabyte.
  bad = good;
  Set32(bad, h.FileAlignment(), 0x300);
  ExpectRefused(bad, false, nullptr, "the file alignment 0x300 is not a power of two up to 64 KiB");
  bad = good;
  Set32(bad, h.FileAlignment(), 0x40000000);
  ExpectRefused(bad);
  // Raw data in the headers: writing the section would overwrite them.
  bad = good;
  Set32(bad, s + kPointerToRawData, h.sectionTable);
  ExpectRefused(bad, true, nullptr,
                ("the resource section's data at file offset " + HexOffset(h.sectionTable) +
                 " lies in the headers")
                    .c_str());
  // Raw data past the end of the file, or running past it.
  bad = good;
  Set32(bad, s + kPointerToRawData, static_cast<std::uint32_t>(good.size() + 0x200));
  ExpectRefused(bad, true);
  bad = good;
  Set32(bad, s + kSizeOfRawData, Get32(good, s + kSizeOfRawData) + 0x200);
  ExpectRefused(bad, true, nullptr,
                ("the resource section's data (0x400 bytes at file offset " +
                 HexOffset(Get32(good, s + kPointerToRawData)) + ") runs past the end of the file")
                    .c_str());
}

TEST_P(CommitTest, ASectionOfTwoGibibytesOrMoreIsRefused) {
  const Bytes before = BuildImage(Spec({{3, 1, 0, Filled(100, 1)}}));
  // Leaves with a size and no bytes: the commit must refuse them on their
  // sizes before it creates anything.
  ExpectRefused(before, false, [](ResourceUpdate* u) {
    for (std::uint16_t language = 1; language <= 3; ++language) {
      TResItem* name = FindNamedChild(FindNamedChild(u->root.get(), MakeIntResource(3))->get(),
                                      MakeIntResource(1))
                           ->get();
      TResItem* leaf = InsertLanguageLeaf(name, language, "", 0);
      leaf->leaf().dataSize = 0x2AAAAAAA;
    }
  });
  // Sizes whose sum wraps around 32 bits.
  ExpectRefused(before, false, [](ResourceUpdate* u) {
    for (std::uint16_t language = 1; language <= 5; ++language) {
      TResItem* name = FindNamedChild(FindNamedChild(u->root.get(), MakeIntResource(3))->get(),
                                      MakeIntResource(1))
                           ->get();
      TResItem* leaf = InsertLanguageLeaf(name, language, "", 0);
      leaf->leaf().dataSize = 0x3FFFFFFF;
    }
  });
}

TEST_P(CommitTest, NamesAndDirectoriesThatDoNotFitTheFormatAreRefused) {
  const Bytes before = BuildImage(Spec({{3, 1, 0, Filled(100, 1)}}));
  // A name longer than a 16-bit length can say would be cut short.
  {
    ImageFile file(before);
    UpdateGuard u(file.Begin());
    ASSERT_TRUE(u);
    const std::u16string name(70000, u'N');
    const Bytes data = Filled(8, 1);
    ASSERT_TRUE(UpdateResourceData(u.get(), MakeIntResource(3), name.c_str(), 0, data.data(), 8));
    const bool committed = u.End(false);
    if (committed) {
      // Committed: then the name must read back whole.
      const ResourceReading r = ReadResources(file.Read());
      EXPECT_EQ(r.resources.count("#3/" + std::string(70000, 'N') + "/0"), 1u)
          << "the name was written with a cut length";
    } else {
      EXPECT_TRUE(file.Read() == before);
    }
  }
}

// The commit writes the first NumberOfNamedEntries children of a directory as
// named entries and every name with its length: a directory that breaks
// this could not be written back as it was read, so beginning refuses it.
TEST_P(CommitTest, DirectoriesThatCouldNotBeWrittenBackAreRefusedWhenBeginning) {
  const Bytes good = BuildImage(Spec({{u"PNG", 1, 0, Filled(10, 1)}, {3, 1, 0, Filled(20, 2)}}));
  const Headers h(good);
  const std::uint32_t base = Get32(good, h.Sec(ResourceSectionIndex(good)) + kPointerToRawData);
  ASSERT_EQ(Get16(good, base + 12), 1u);
  ASSERT_EQ(Get16(good, base + 14), 1u);
  std::vector<Bytes> bad(3, good);
  Set16(bad[0], base + 12, 0);  // the named entry counted as a numbered one
  Set16(bad[0], base + 14, 2);
  Set16(bad[1], base + 12, 2);  // the numbered entry counted as a named one
  Set16(bad[1], base + 14, 0);
  Set16(bad[2], base + (Get32(good, base + 16) & 0x7FFFFFFFu), 0);  // a name of no characters
  for (std::size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    ImageFile file(bad[i]);
    EXPECT_THROW(file.Begin(), ImageFormatError);
    EXPECT_TRUE(Reopenable(file));
    EXPECT_TRUE(file.Read() == bad[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, CommitTest, ::testing::Bool(), FormName);

}  // namespace
}  // namespace marovi::test
