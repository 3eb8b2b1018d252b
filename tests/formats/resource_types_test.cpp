// Resource types and names as a user writes them on a command line.
#include <gtest/gtest.h>

#include "engine/engine.h"

namespace marovi {
namespace {

struct TypeCase {
  const char* text;
  std::optional<ResourceSpec> expected;
};

ResourceSpec Id(std::uint16_t id) { return {true, id, {}}; }
ResourceSpec Name(std::u16string name) { return {false, 0, std::move(name)}; }

TEST(ResourceTypesTest, ReadsNumbersPredefinedNamesAndOtherNames) {
  const TypeCase cases[] = {
      {"10", Id(10)},
      {"0x18", Id(24)},
      {"65535", Id(65535)},
      {"65536", std::nullopt},
      {"0x10000", std::nullopt},
      {"-1", Name(u"-1")},
      {"RCDATA", Id(10)},
      {"rt_manifest", Id(24)},
      {"Group_Icon", Id(14)},
      {"html", Id(23)},
      {"RT_", Name(u"RT_")},
      {"typelib", Name(u"TYPELIB")},
      {"\xC3\xA9t\xC3\xA9", Name(u"\u00E9T\u00E9")},
      {"\xF0\x9F\x98\x80", Name(u"\U0001F600")},
      {"", std::nullopt},
      {"bad\xC3", std::nullopt},
      {"\xC0\xAF", std::nullopt},       // overlong '/'
      {"\xED\xA0\x80", std::nullopt},   // a lone surrogate
  };
  for (const TypeCase& c : cases) {
    std::optional<ResourceSpec> got = ParseResourceType(c.text);
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.text;
    if (!got) continue;
    EXPECT_EQ(got->isId, c.expected->isId) << c.text;
    EXPECT_EQ(got->id, c.expected->id) << c.text;
    EXPECT_EQ(got->name, c.expected->name) << c.text;
  }
  EXPECT_FALSE(ParseResourceType(std::string_view("a\0b", 3)));
}

TEST(ResourceTypesTest, NamesAreOnlyPredefinedForTypesAndRoundTrip) {
  std::optional<ResourceSpec> name = ParseResourceName("RCDATA");
  ASSERT_TRUE(name);
  EXPECT_FALSE(name->isId);
  EXPECT_EQ(name->name, u"RCDATA");
  for (unsigned id = 0; id <= 30; ++id) {
    std::string_view text = PredefinedResourceTypeName(static_cast<std::uint16_t>(id));
    if (text.empty()) continue;
    EXPECT_EQ(PredefinedResourceType(text), id) << text;
  }
  EXPECT_EQ(PredefinedResourceTypeName(13), "");
  EXPECT_EQ(PredefinedResourceTypeName(24), "MANIFEST");
}

}  // namespace
}  // namespace marovi
