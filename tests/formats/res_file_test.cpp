// Compiled resource files: what resource compilers write is read entry for
// entry; a file cut short or inconsistent anywhere is refused, naming where.
#include "engine/formats/res_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>

#include "engine/little_endian.h"
#include "tests/support/pe_builder.h"

namespace marovi::test {
namespace {

const std::vector<ResourceSpec> kResources = {
    {10, 7, 1033, Bytes{'a', 'b', 'c'}},
    {u"MYTYPE", u"NAME", 0, Bytes{1, 2, 3, 4, 5}},
    {6, 1, 1031, Bytes{}},
};
// Where the entries of kResources begin and end: 32 + (32 + 3), padded; then
// a header of 48 (names of 14 and 10 bytes) and 5 bytes, padded; then 32.
constexpr std::size_t kSecond = 68, kThird = 124, kEnd = 156;

std::string ErrorOf(const Bytes& bytes, std::uint64_t* offset = nullptr) {
  Error error;
  const auto entries = ParseResFile(bytes, &error);
  EXPECT_FALSE(entries.has_value());
  EXPECT_EQ(error.kind, ErrorKind::Refused);
  if (offset != nullptr) *offset = error.offset.value_or(~std::uint64_t{0});
  return error.detail;
}

TEST(ResFileTest, ReadsEveryEntryOfAWrittenFile) {
  const Bytes file = BuildResFile(kResources);
  ASSERT_EQ(file.size(), kEnd);
  Error error;
  const auto entries = ParseResFile(file, &error);
  ASSERT_TRUE(entries.has_value()) << error.detail;
  ASSERT_EQ(entries->size(), 3u);
  const ResFileEntry& raw = (*entries)[0];
  EXPECT_FALSE(raw.type.named());
  EXPECT_EQ(raw.type.id(), 10);
  EXPECT_EQ(raw.name.id(), 7);
  EXPECT_EQ(raw.language, 1033);
  EXPECT_EQ(raw.memoryFlags, 0x1030);
  EXPECT_EQ(Bytes(raw.data.begin(), raw.data.end()), (Bytes{'a', 'b', 'c'}));
  const ResFileEntry& named = (*entries)[1];
  EXPECT_EQ(named.type.name(), u"MYTYPE");
  EXPECT_EQ(named.name.name(), u"NAME");
  EXPECT_EQ(named.offset, kSecond);
  EXPECT_EQ(named.data.size(), 5u);
  EXPECT_EQ((*entries)[2].offset, kThird);
  EXPECT_EQ((*entries)[2].language, 1031);
  EXPECT_TRUE((*entries)[2].data.empty());

  // The opening entry alone is a file of no resources.
  const auto none = ParseResFile(BuildResFile({}), &error);
  ASSERT_TRUE(none.has_value()) << error.detail;
  EXPECT_TRUE(none->empty());
}

TEST(ResFileTest, EveryCutIsRefusedButAtTheEndOfAnEntry) {
  const Bytes file = BuildResFile(kResources);
  // A file may end with an entry's data, its padding left off.
  const std::set<std::size_t> whole = {32, kSecond - 1, kSecond, 121, 122, 123, kThird, kEnd};
  for (std::size_t length = 0; length <= file.size(); ++length) {
    const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
    Error error;
    const auto entries = ParseResFile(cut, &error);
    EXPECT_EQ(entries.has_value(), whole.count(length) != 0) << length << ": " << error.detail;
  }
}

TEST(ResFileTest, MalformedFilesAreRefusedNamingWhere) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    std::uint64_t offset;
    const char* detail;
  };
  const Case cases[] = {
      {"no opening entry", [](Bytes& b) { b.erase(b.begin(), b.begin() + 32); }, 0,
       "does not begin with the empty entry"},
      {"opening entry with a name", [](Bytes& b) { b[8 + 2] = 1; }, 0,
       "does not begin with the empty entry"},
      {"header size not a multiple of four", [](Bytes& b) { StoreU32(&b[32 + 4], 33); }, 32,
       "not a multiple of four"},
      {"header size too small", [](Bytes& b) { StoreU32(&b[kSecond + 4], 16); }, kSecond,
       "too small"},
      {"header size past its fields", [](Bytes& b) { StoreU32(&b[32 + 4], 36); }, 32,
       "does not match its fields"},
      {"header past the end", [](Bytes& b) { StoreU32(&b[kThird + 4], 0x1000); }, kThird,
       "header is cut short"},
      {"data past the end", [](Bytes& b) { StoreU32(&b[kThird], 1); }, kThird,
       "runs past the end of the file"},
      {"huge data size", [](Bytes& b) { StoreU32(&b[32], 0xFFFFFFFF); }, 32,
       "runs past the end of the file"},
      {"name without terminator",
       [](Bytes& b) { std::fill(b.begin() + kSecond + 22, b.begin() + kSecond + 48, 'X'); },
       kSecond + 22, "no terminator"},
      {"entry off its boundary", [](Bytes& b) { b.erase(b.begin() + kSecond - 1); }, kSecond,
       "cut short"},
  };
  for (const Case& c : cases) {
    Bytes file = BuildResFile(kResources);
    c.damage(file);
    std::uint64_t offset = 0;
    const std::string detail = ErrorOf(file, &offset);
    EXPECT_NE(detail.find(c.detail), std::string::npos) << c.what << ": " << detail;
    EXPECT_EQ(offset, c.offset) << c.what;
  }
}

TEST(ResFileTest, EntriesNoLinkWouldTakeAreRefused) {
  // An empty name, type 0, and the same resource twice.
  EXPECT_NE(ErrorOf(BuildResFile({{10, u"", 0, Bytes{1}}})).find("name is empty"),
            std::string::npos);
  EXPECT_NE(ErrorOf(BuildResFile({{0, 1, 0, Bytes{1}}})).find("type 0"), std::string::npos);
  const std::string twice = ErrorOf(BuildResFile({{10, u"A", 9, Bytes{1}}, {10, u"A", 9, Bytes{2}}}));
  EXPECT_NE(twice.find("came before"), std::string::npos) << twice;
  // The same name in another language is another resource.
  EXPECT_TRUE(ParseResFile(BuildResFile({{10, u"A", 9, Bytes{1}}, {10, u"A", 7, Bytes{2}}}), nullptr)
                  .has_value());
}

}  // namespace
}  // namespace marovi::test
