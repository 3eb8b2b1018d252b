// Resources brought into a change and resources set or deleted by type and
// name: the images of icon and cursor groups never overwrite another group's,
// a replaced group takes its old images along, a language is never guessed,
// and nothing is changed by an import that is refused.
#include "app/resource_import.h"

#include <gtest/gtest.h>

#include "tests/icons/icon_test_support.h"

namespace marovi::test {
namespace {

// A group record listing ids (icons and cursors share the layout).
Bytes Group(const std::vector<std::uint16_t>& ids, std::uint16_t type = 1) {
  Bytes record(6 + 14 * ids.size(), 0);
  record[2] = static_cast<std::uint8_t>(type);
  record[4] = static_cast<std::uint8_t>(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    record[6 + 14 * i] = 32;
    record[6 + 14 * i + 12] = static_cast<std::uint8_t>(ids[i]);
  }
  return record;
}

// ImportedResource views of specs (which must outlive them).
std::vector<app::ImportedResource> Imported(const std::vector<ResourceSpec>& specs) {
  std::vector<app::ImportedResource> out;
  auto key = [](const Key& k) {
    return k.named() ? ResourceName(std::get<std::u16string>(k.value))
                     : ResourceName(std::get<std::uint16_t>(k.value));
  };
  for (const ResourceSpec& s : specs) out.push_back({key(s.type), key(s.name), s.language, s.data});
  return out;
}

bool Import(ResourceUpdate* update, const std::vector<ResourceSpec>& specs, Error& error) {
  const auto resources = Imported(specs);
  return app::ImportResources(update, resources, resources, "app.res", error);
}

Bytes DataOf(const std::vector<LeafView>& leaves, const std::string& type, const std::string& name,
             std::uint16_t language) {
  const LeafView* leaf = FindLeaf(leaves, type, name, language);
  return leaf != nullptr ? leaf->data : Bytes{};
}

TEST(ResourceImportTest, GroupImagesTakeFreeIdsAndLeaveOtherGroupsAlone) {
  for (const auto& [groupType, imageType] : {std::pair{14, 3}, std::pair{12, 1}}) {
    TempFolder folder;
    const Bytes a = ImageBytes(40, 1), b = ImageBytes(40, 2);
    OpenImage image(folder, {{imageType, 1, 1033, a}, {imageType, 2, 1033, b},
                             {groupType, u"OTHER", 1033, Group({1, 2})}});
    const Bytes c = ImageBytes(50, 3), d = ImageBytes(50, 4), e = ImageBytes(20, 5);
    Error error;
    ASSERT_TRUE(Import(image.get(),
                       {{groupType, 1, 1033, Group({1, 2})}, {imageType, 1, 1033, c},
                        {imageType, 2, 1033, d}, {imageType, 9, 1033, e}},
                       error))
        << error.detail;
    ASSERT_TRUE(image.Commit());
    const auto leaves = image.Reread();
    const std::string t = std::to_string(imageType), g = std::to_string(groupType);
    // The other group still shows its own images; the new one lists free ids
    // (9 is taken by the image brought in without a group) with its images.
    EXPECT_EQ(GroupIds(DataOf(leaves, g, "\"OTHER\"", 1033)), (std::vector<std::uint16_t>{1, 2}));
    EXPECT_EQ(DataOf(leaves, t, "1", 1033), a);
    EXPECT_EQ(DataOf(leaves, t, "2", 1033), b);
    EXPECT_EQ(GroupIds(DataOf(leaves, g, "1", 1033)), (std::vector<std::uint16_t>{3, 4}));
    EXPECT_EQ(DataOf(leaves, t, "3", 1033), c);
    EXPECT_EQ(DataOf(leaves, t, "4", 1033), d);
    EXPECT_EQ(DataOf(leaves, t, "9", 1033), e);
  }
}

TEST(ResourceImportTest, AReplacedGroupTakesTheImagesOnlyItListed) {
  TempFolder folder;
  const Bytes shared = ImageBytes(40, 6);
  OpenImage image(folder, {{3, 5, 1033, ImageBytes(40, 5)}, {3, 6, 1033, shared},
                           {14, 1, 1033, Group({5, 6})}, {14, u"OTHER", 1033, Group({6})}});
  const Bytes x = ImageBytes(30, 7);
  Error error;
  ASSERT_TRUE(Import(image.get(), {{14, 1, 1033, Group({1})}, {3, 1, 1033, x}}, error))
      << error.detail;
  ASSERT_TRUE(image.Commit());
  const auto leaves = image.Reread();
  EXPECT_EQ(FindLeaf(leaves, "3", "5", 1033), nullptr);  // listed by the old group only
  EXPECT_EQ(DataOf(leaves, "3", "6", 1033), shared);    // OTHER lists it too
  EXPECT_EQ(GroupIds(DataOf(leaves, "14", "1", 1033)), (std::vector<std::uint16_t>{1}));
  EXPECT_EQ(DataOf(leaves, "3", "1", 1033), x);
}

TEST(ResourceImportTest, GroupsThatCannotBeLinkedAreRefusedBeforeAnyChange) {
  struct Case {
    const char* what;
    std::vector<ResourceSpec> resources;
    const char* detail;
  };
  Bytes cut = Group({1, 2});
  cut.resize(cut.size() - 1);
  const Case cases[] = {
      {"image missing", {{14, 1, 1033, Group({1, 4})}, {3, 1, 1033, Bytes(8, 1)}},
       "lists image 4, which it does not hold"},
      {"record cut short", {{3, 1, 1033, Bytes(8, 1)}, {14, 1, 1033, cut}}, "is cut short"},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    OpenImage image(folder, {{3, 1, 1033, ImageBytes(40, 1)}, {14, 1, 1033, Group({1})}});
    const auto before = Leaves(image.get());
    Error error;
    EXPECT_FALSE(Import(image.get(), c.resources, error)) << c.what;
    EXPECT_NE(error.detail.find(c.detail), std::string::npos) << c.what << ": " << error.detail;
    EXPECT_EQ(error.file, "app.res");
    EXPECT_EQ(Leaves(image.get()), before) << c.what;
  }
}

marovi::ResourceSpec Spec(std::uint16_t id) { return {true, id, {}}; }
marovi::ResourceSpec Spec(std::u16string name) { return {false, 0, std::move(name)}; }

TEST(ResourceItemTest, ALanguageIsTheOneThereOrNamedNeverGuessed) {
  TempFolder folder;
  OpenImage image(folder, {{10, 7, 1031, Bytes{1}}, {10, 7, 1033, Bytes{2}}, {10, 8, 0, Bytes{3}},
                           {u"MYTYPE", u"Data", 1033, Bytes{4}}});
  const Bytes data{9, 9};
  struct Case {
    marovi::ResourceSpec type, name;
    std::optional<std::uint16_t> language;
    bool set;
    const char* refusal;  // nullptr: made
  };
  const Case cases[] = {
      {Spec(10), Spec(7), std::nullopt, true, "in the languages 1031, 1033; name one"},
      {Spec(10), Spec(7), 1031, true, nullptr},
      {Spec(10), Spec(8), std::nullopt, true, nullptr},          // language 0, the one there
      {Spec(10), Spec(9), std::nullopt, true, nullptr},          // new: US English
      {Spec(u"MYTYPE"), Spec(u"DATA"), std::nullopt, true, nullptr},  // names in any case
      // A language the resource lacks takes nothing (not every language).
      {Spec(10), Spec(7), 0, false, "has no resource RCDATA 7 in language 0 (it has it in 1031, 1033)"},
      {Spec(10), Spec(12), std::nullopt, false, "has no resource RCDATA 12"},
      {Spec(10), Spec(7), 1033, false, nullptr},
  };
  for (const Case& c : cases) {
    app::ResourceItemEdit edit{c.type, c.name, c.language, std::nullopt};
    if (c.set) edit.file = u"data.bin";
    Error error;
    EXPECT_EQ(app::ApplyResourceItemEdit(image.get(), edit, data, error), c.refusal == nullptr)
        << error.detail;
    if (c.refusal != nullptr) {
      EXPECT_NE(error.detail.find(c.refusal), std::string::npos) << error.detail;
    }
  }
  ASSERT_TRUE(image.Commit());
  const auto leaves = image.Reread();
  EXPECT_EQ(DataOf(leaves, "10", "7", 1031), data);
  EXPECT_EQ(FindLeaf(leaves, "10", "7", 1033), nullptr);
  EXPECT_EQ(DataOf(leaves, "10", "8", 0), data);
  EXPECT_EQ(DataOf(leaves, "10", "9", 1033), data);
  EXPECT_EQ(DataOf(leaves, "\"MYTYPE\"", "\"Data\"", 1033), data);
  EXPECT_EQ(leaves.size(), 4u);
}

TEST(ResourceItemTest, DeletingTheLastOfATypeOrAGroupLeavesNothingBehind) {
  TempFolder folder;
  OpenImage image(folder, {{3, 1, 0, ImageBytes(40, 1)}, {3, 2, 0, ImageBytes(40, 2)},
                           {14, 1, 0, Group({1, 2})}, {14, 2, 0, Group({2})},
                           {u"MYTYPE", u"DATA", 0, Bytes{4}}});
  for (const auto& [type, name] :
       {std::pair{Spec(14), Spec(1)}, std::pair{Spec(u"MYTYPE"), Spec(u"DATA")}}) {
    Error error;
    EXPECT_TRUE(app::ApplyResourceItemEdit(image.get(), {type, name, std::nullopt, std::nullopt},
                                           {}, error))
        << error.detail;
  }
  ASSERT_TRUE(image.Commit());
  const auto leaves = image.Reread();
  // Image 1 went with its group; image 2 stays with the group that lists it.
  ASSERT_EQ(leaves.size(), 2u);
  EXPECT_EQ(leaves[0].type + " " + leaves[0].name, "3 2");
  EXPECT_EQ(leaves[1].type + " " + leaves[1].name, "14 2");
  std::vector<ResourceEntry> entries;
  Error error;
  const Bytes file = ReadWholeFile(folder / "image.exe");
  ASSERT_TRUE(ReadImageResources(file, entries, &error)) << error.detail;
  for (const ResourceEntry& entry : entries) EXPECT_FALSE(entry.type.named());
}

}  // namespace
}  // namespace marovi::test
