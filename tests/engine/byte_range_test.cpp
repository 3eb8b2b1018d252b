// Ranges of bytes: containment and overlap at the edges, including ranges
// near the top of the offsets, where a test written as a sum would wrap.
#include "engine/byte_range.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace marovi::test {
namespace {

constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();

TEST(ByteRangeTest, BetweenIsEmptyWhenTheEndIsNotAboveTheBegin) {
  static_assert(ByteRange::Between(10, 30) == ByteRange{10, 20});
  static_assert(ByteRange::Between(30, 10).empty());
  static_assert(ByteRange::Between(30, 30) == ByteRange{30, 0});
  EXPECT_EQ(ByteRange::Between(kTop - 1, kTop).size, 1u);
}

TEST(ByteRangeTest, ContainsAnOffsetFromItsStartUpToItsEnd) {
  struct Case {
    ByteRange range;
    std::uint64_t at;
    bool inside;
  };
  const Case cases[] = {
      {{100, 10}, 99, false},         // in front
      {{100, 10}, 100, true},         // its first byte
      {{100, 10}, 109, true},         // its last
      {{100, 10}, 110, false},        // its end
      {{100, 0}, 100, false},         // an empty range holds nothing
      {{kTop - 4, 4}, kTop - 1, true},
      {{kTop - 4, 4}, kTop, false},
      {{0, kTop}, kTop - 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.range.offset << "+" << c.range.size << " @" << c.at);
    EXPECT_EQ(c.range.Contains(c.at), c.inside);
  }
}

TEST(ByteRangeTest, ContainsARangeOnlyWhenItLiesWhollyInside) {
  struct Case {
    ByteRange outer, inner;
    bool inside;
  };
  const Case cases[] = {
      {{100, 10}, {100, 10}, true},   // itself
      {{100, 10}, {105, 5}, true},    // its back half
      {{100, 10}, {105, 6}, false},   // one byte past the end
      {{100, 10}, {99, 2}, false},    // one byte in front
      {{100, 10}, {110, 0}, true},    // empty, at the end
      {{100, 10}, {111, 0}, false},   // empty, behind it
      {{100, 10}, {105, kTop}, false},  // a size whose end wraps around
      {{0, 1000}, {kTop - 1, 2}, false},      // far behind, its end wraps to 0
      {{kTop - 10, 10}, {kTop - 5, 5}, true},  // at the top of the offsets
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.inner.offset << "+" << c.inner.size);
    EXPECT_EQ(c.outer.Contains(c.inner), c.inside);
  }
}

TEST(ByteRangeTest, OverlapsWhenTheyShareAByteEitherWayRound) {
  struct Case {
    ByteRange a, b;
    bool shared;
  };
  const Case cases[] = {
      {{100, 10}, {109, 1}, true},
      {{100, 10}, {110, 5}, false},  // touching is not overlapping
      {{100, 10}, {90, 10}, false},
      {{100, 10}, {90, 11}, true},
      {{100, 10}, {102, 2}, true},   // one inside the other
      {{100, 10}, {105, 0}, false},  // an empty range shares nothing
      {{100, 0}, {100, 0}, false},
      {{kTop - 8, 8}, {kTop - 1, 1}, true},
      {{0, 16}, {8, kTop}, true},    // an end that would wrap
      {{20, 16}, {8, kTop - 8}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.b.offset << "+" << c.b.size);
    EXPECT_EQ(c.a.Overlaps(c.b), c.shared);
    EXPECT_EQ(c.b.Overlaps(c.a), c.shared);
  }
}

}  // namespace
}  // namespace marovi::test
