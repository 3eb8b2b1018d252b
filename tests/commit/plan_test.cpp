// The plan of a commit, computed from an image's bytes alone: how the tail
// moves, how the section is padded for a move by whole blocks, and what the
// journal keeps. No file is involved.
#include "engine/commit/commit_plan.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/commit/commit_test_util.h"

namespace marovi::test {
namespace {

constexpr std::uint32_t kBlock = 0x1000;

struct PlanCase {
  const char* name;
  std::uint32_t tail;       // bytes appended behind the last section
  std::uint64_t dataBytes;  // the new section's data
  std::uint32_t block;      // 0: the file system cannot move ranges
  bool byRange;             // the tail moves by whole blocks
  int sign;                 // the sign of the file's change in length
};

ImageSpec Spec(std::uint32_t tail) {
  ImageSpec spec = SpecWith(false, {{3, 1, 0, Filled(0x8000, 1)}});
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x300, 7), 0, kDiscardableData}};
  spec.relocations = {{".text", 0x10}};
  spec.debugEntries = {DebugEntrySpec{2, Filled(0x30, 3), true}};
  spec.appended = Filled(tail, 9);
  return spec;
}

CommitPlan PlanFor(const Bytes& image, std::uint64_t dataBytes, std::uint32_t block,
                   bool strip = false) {
  const auto headers = DecodeHeaders(image);
  EXPECT_TRUE(headers.has_value());
  PlanInputs in;
  in.dirBytes = 0x48;  // a root, a type, a name and a language table, one leaf
  in.dataBytes = dataBytes;
  in.rangeBlock = block;
  in.stripSignature = strip;
  PlanResult r = PlanCommit(image, *headers, in);
  EXPECT_FALSE(r.error) << r.error.detail;
  return r.plan.value_or(CommitPlan{});
}

TEST(CommitPlan, TheTailMovesByWholeBlocksOnlyWhereItPaysAndTheFileSystemCan) {
  const PlanCase cases[] = {
      {"growing, long tail", 1u << 20, 0x9000, kBlock, true, 1},
      {"growing, long tail, no range moves", 1u << 20, 0x9000, 0, false, 1},
      {"growing, short tail", 0x1000, 0x9000, kBlock, false, 1},
      {"shrinking by more than a block", 1u << 20, 0x1800, kBlock, true, -1},
      {"shrinking with no block boundary left in the section", 1u << 20, 0x100, kBlock, false, -1},
      {"shrinking by less than a block stays", 1u << 20, 0x7800, kBlock, false, 0},
      {"shrinking by less than a block, no range moves", 1u << 20, 0x7800, 0, false, -1},
      {"a block size that is no power of two", 1u << 20, 0x9000, 3000, false, 1},
  };
  for (const PlanCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes image = BuildImage(Spec(c.tail));
    const CommitPlan plan = PlanFor(image, c.dataBytes, c.block);
    const Placement& p = plan.placement;
    const std::uint64_t start = p.rawPointer, oldEnd = start + p.oldRawSize;
    EXPECT_EQ(plan.tail.byRange, c.byRange);
    EXPECT_EQ((plan.tail.delta > 0) - (plan.tail.delta < 0), c.sign);
    EXPECT_EQ(plan.tail.delta, p.rawDelta);
    EXPECT_EQ(plan.FinalLength(), image.size() + static_cast<std::uint64_t>(plan.tail.delta));
    EXPECT_EQ(p.newRawSize % 0x200, 0u);
    EXPECT_GE(p.newRawSize, p.sectionSize);
    // The journal keeps the headers and the old section; the tail only when
    // it is copied (a removed block lies inside the old section).
    ASSERT_GE(plan.kept.size(), 2u);
    EXPECT_EQ(plan.kept[0].offset, 0u);
    EXPECT_EQ(plan.kept[1].offset, start);
    const bool copied = plan.tail.delta != 0 && !plan.tail.byRange;
    EXPECT_EQ(plan.kept[1].end(), copied ? image.size() : oldEnd);
    if (c.byRange) {
      const auto size = static_cast<std::uint64_t>(plan.tail.delta > 0 ? plan.tail.delta
                                                                        : -plan.tail.delta);
      EXPECT_EQ(plan.tail.rangeAt % c.block, 0u);
      EXPECT_EQ(size % c.block, 0u);
      EXPECT_GE(plan.tail.rangeAt, start);
      EXPECT_LE(plan.tail.rangeAt + (plan.tail.delta < 0 ? size : 0), oldEnd);
      // Padded by less than a block beyond what the file alignment needs.
      EXPECT_LT(p.newRawSize - RoundUp(p.sectionSize, 0x200), c.block);
    } else if (c.sign != 0) {
      EXPECT_EQ(p.newRawSize, RoundUp(p.sectionSize, 0x200));
    }
  }
}

// Every planned write that lands where the image had bytes is kept by the
// journal at the place those bytes had.
TEST(CommitPlan, TheJournalKeepsTheOldPlaceOfEveryWrite) {
  for (const std::uint32_t block : {0u, kBlock}) {
    SCOPED_TRACE(block);
    const Bytes image = BuildImage(Spec(1u << 20));
    const CommitPlan plan = PlanFor(image, 0x9000, block);
    ASSERT_GE(plan.writes.size(), 2u) << "the debug entries move with the tail";
    for (const PlannedWrite& w : plan.writes) {
      const auto old = OldOffsetOf(plan, w.at);
      ASSERT_TRUE(old.has_value());
      bool kept = false;
      for (const ByteRange& r : plan.kept)
        kept = kept || r.Contains(ByteRange{*old, w.bytes.size()});
      EXPECT_TRUE(kept) << "a write at 0x" << std::hex << w.at << " is not kept";
    }
    // Bytes of the new section had no old place; those behind it came with the tail.
    EXPECT_FALSE(OldOffsetOf(plan, plan.placement.rawPointer).has_value());
    EXPECT_EQ(OldOffsetOf(plan, plan.FinalLength() - 1), image.size() - 1);
  }
}

// A signature cut off the end that is exactly as long as the inserted blocks
// would give the file back its old length, which recovery reads as "nothing
// moved yet": the tail is copied then.
TEST(CommitPlan, ACutThatWouldRestoreTheOldLengthIsNotCombinedWithABlockMove) {
  const Bytes plain = BuildImage(Spec(1u << 20));
  const std::int64_t delta = PlanFor(plain, 0x9000, kBlock).tail.delta;
  ASSERT_GT(delta, 0);
  for (const std::uint32_t size : {static_cast<std::uint32_t>(delta), 0x208u}) {
    SCOPED_TRACE(size);
    ImageSpec spec = Spec(1u << 20);
    const Bytes certificate = Filled(size, 6);
    spec.appended.insert(spec.appended.end(), certificate.begin(), certificate.end());
    Bytes image = BuildImage(spec);
    const Headers h(image);
    Set32(image, h.Dir(4), static_cast<std::uint32_t>(image.size() - size));
    Set32(image, h.Dir(4) + 4, size);
    const CommitPlan plan = PlanFor(image, 0x9000, kBlock, true);
    ASSERT_TRUE(plan.cutAt.has_value());
    EXPECT_EQ(plan.tail.byRange, size != static_cast<std::uint32_t>(delta));
    if (plan.tail.byRange) {
      EXPECT_NE(*plan.cutAt, image.size());
    }
  }
}

// Large unchanged leaves behind a block boundary of a growing section stay
// where the inserted blocks carry them; everything else of the section goes
// in front of the insertion point, and the journal leaves those leaves out.
TEST(CommitPlan, LargeLeavesBehindTheInsertionPointStayWhereTheShiftCarriesThem) {
  ImageSpec spec = SpecWith(false, {{3, 1, 0, Filled(0x2000, 1)}, {10, 1, 0, Random(0x90000, 5)}});
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x300, 7), 0, kDiscardableData}};
  const Bytes image = BuildImage(spec);
  const Bytes big = Random(0x90000, 5);
  const auto found = std::search(image.begin(), image.end(), big.begin(), big.begin() + 64);
  ASSERT_NE(found, image.end());
  const auto at = static_cast<std::uint64_t>(found - image.begin());
  const ByteRange leaf{at, 0x90000};
  const std::uint64_t dir = 0x48 + 0x30;  // two types, each with a name and a language
  const struct {
    const char* name;
    std::vector<ByteRange> leaves;
    std::uint64_t otherData;  // the data of every leaf not listed
    std::uint32_t block;
    std::size_t staying;
  } cases[] = {
      {"a growing icon in front of a large resource", {leaf}, 0x9000, kBlock, 1},
      {"the same without range moves", {leaf}, 0x9000, 0, 0},
      {"growth that fits in front of it", {leaf}, 0x100, kBlock, 0},
      {"two leaves that share its bytes", {leaf, leaf}, 0x9000, kBlock, 1},
      {"a leaf overlapping it is left to the layout", {leaf, {at + 0x100, 0x20000}}, 0x9000,
       kBlock, 1},
      {"a leaf that begins in front of the old section", {{0x200, 0x10000}}, 0x9000, kBlock, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto headers = DecodeHeaders(image);
    ASSERT_TRUE(headers.has_value());
    PlanInputs in;
    in.dirBytes = dir;
    in.dataBytes = c.otherData;
    for (const ByteRange& l : c.leaves) in.dataBytes += (l.size + 3) & ~std::uint64_t{3};
    in.rangeBlock = c.block;
    in.largeLeaves = c.leaves;
    const PlanResult r = PlanCommit(image, *headers, in);
    ASSERT_TRUE(r.plan.has_value()) << r.error.detail;
    const CommitPlan& plan = *r.plan;
    const Placement& p = plan.placement;
    ASSERT_EQ(plan.staying.size(), c.staying);
    EXPECT_EQ(plan.FinalLength(), image.size() + static_cast<std::uint64_t>(plan.tail.delta));
    if (c.staying == 0) continue;
    const std::uint64_t start = p.rawPointer, oldEnd = start + p.oldRawSize;
    const auto delta = static_cast<std::uint64_t>(plan.tail.delta);
    EXPECT_TRUE(plan.tail.byRange);
    EXPECT_EQ(plan.tail.rangeAt % c.block, 0u);
    EXPECT_EQ(delta % c.block, 0u);
    EXPECT_LE(plan.tail.rangeAt, at);
    EXPECT_GE(plan.tail.rangeAt, start);
    // The other leaves' data, behind the directory, fits in front of the
    // place the leaf is carried to, and the section reaches the leaf's end.
    const std::uint64_t repeats = c.leaves.size() - (c.leaves.size() > 1 && c.leaves[1].offset != at);
    EXPECT_EQ(plan.dataBytes, in.dataBytes - repeats * 0x90000);
    EXPECT_LE(RoundUp(static_cast<std::uint32_t>(dir), 4) + plan.dataBytes, at + delta - start);
    EXPECT_EQ(p.sectionSize, at + 0x90000 + delta - start);
    EXPECT_EQ(p.newRawSize, p.oldRawSize + delta);
    // The journal keeps the old section but for the leaf.
    std::uint64_t keptInSection = 0;
    for (const ByteRange& k : plan.kept) {
      EXPECT_FALSE(k.Overlaps(leaf)) << "the staying leaf is kept";
      if (ByteRange::Between(start, oldEnd).Contains(k)) keptInSection += k.size;
    }
    EXPECT_EQ(keptInSection, p.oldRawSize - 0x90000);
  }
}

}  // namespace
}  // namespace marovi::test
