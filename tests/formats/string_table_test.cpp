#include "engine/formats/string_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace marovi {
namespace {

using Bytes = std::vector<std::uint8_t>;

StringBlock Parsed(const Bytes& bytes) {
  Error error;
  const std::optional<StringBlock> block = ParseStringBlock(bytes, &error);
  EXPECT_TRUE(block.has_value()) << error.detail;
  return block.value_or(StringBlock{});
}

TEST(StringTableTest, IdsFallInTheirBlockOfSixteen) {
  struct Case {
    std::uint16_t id, block;
    std::size_t index;
  };
  const Case cases[] = {{0, 1, 0}, {15, 1, 15}, {16, 2, 0}, {17, 2, 1}, {101, 7, 5}, {65535, 4096, 15}};
  for (const Case& c : cases) {
    EXPECT_EQ(StringBlockName(c.id), c.block) << c.id;
    EXPECT_EQ(StringBlockIndex(c.id), c.index) << c.id;
  }
}

TEST(StringTableTest, BlocksAreWrittenWholeAndReadBack) {
  StringBlock block;
  block.strings[1] = u"hello";
  block.strings[15] = u"caf\u00e9 \U0001F600";
  Error error;
  const std::optional<Bytes> bytes = WriteStringBlock(block, &error);
  ASSERT_TRUE(bytes.has_value()) << error.detail;
  // Sixteen counts, and the characters of the two strings (the emoji is two units).
  EXPECT_EQ(bytes->size(), 16 * 2 + (5 + 7) * 2);
  EXPECT_EQ((*bytes)[2], 5);  // the count of entry 1
  EXPECT_EQ(Parsed(*bytes), block);

  StringBlock tooLong;
  tooLong.strings[3].assign(0x10000, u'x');
  EXPECT_FALSE(WriteStringBlock(tooLong, &error).has_value());
  EXPECT_NE(error.detail.find("entry 3"), std::string::npos) << error.detail;
}

TEST(StringTableTest, ShortBlocksAndDamagedOnes) {
  // Ending between entries leaves the rest empty; bytes behind the sixteenth are ignored.
  const Bytes twoEntries = {0, 0, 2, 0, 'h', 0, 'i', 0};
  EXPECT_EQ(Parsed(twoEntries).strings[1], u"hi");
  Bytes withTail(32, 0);
  withTail.insert(withTail.end(), {0xFF, 0xFF, 1});
  EXPECT_EQ(Parsed(withTail), StringBlock{});
  EXPECT_EQ(Parsed(Bytes{}), StringBlock{});

  // Every cut inside an entry is refused, naming it.
  const Bytes whole = {1, 0, 'a', 0, 3, 0, 'x', 0, 'y', 0, 'z', 0};
  for (std::size_t cut = 1; cut < whole.size(); ++cut) {
    const Bytes part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    const bool between = cut == 4;
    Error error;
    EXPECT_EQ(ParseStringBlock(part, &error).has_value(), between) << cut;
    if (!between) {
      EXPECT_EQ(error.kind, ErrorKind::MalformedImage) << cut;
    }
  }
  Error error;
  EXPECT_FALSE(ParseStringBlock(Bytes{0xFF, 0xFF, 'a', 0}, &error).has_value());
  EXPECT_NE(error.detail.find("entry 0"), std::string::npos) << error.detail;
}

}  // namespace
}  // namespace marovi
