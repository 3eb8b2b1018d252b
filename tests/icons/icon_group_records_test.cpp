// Old group records that do not hold what they claim, the ids the next
// images take, groups deleted, the group the shell shows, and replaced
// groups carried through the commit.
#include "icons/icon_group.h"

#include <gtest/gtest.h>

#include <optional>

#include "engine/platform/platform.h"
#include "icons/icons.h"
#include "tests/icons/icon_test_support.h"
#include "tests/support/fault_injection.h"

namespace marovi::test {
namespace {

// Old group records that do not hold what they claim.
TEST(OldGroupRecord, WithoutEntriesTheSearchStartsAtFifty) {
  TempFolder folder;
  std::vector<ResourceSpec> resources{{14, u"MAINICON", 0, GroupRecord({})},
                                      {3, 50, 0, Bytes(8, 1)}};
  OpenImage image(folder, resources);
  const auto images = IconImages(2);
  const Bytes ico = BuildIcoFile(images);
  ASSERT_TRUE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder, ico).c_str()));
  ExpectGroup(Leaves(image.get()), ico, images, {51, 52});
}

TEST(OldGroupRecord, EntriesBeyondTheRecordAreNotRead) {
  TempFolder folder;
  // Claims 200 entries but holds 2, and one record too short for its header.
  std::vector<ResourceSpec> resources;
  for (std::uint16_t id : {std::uint16_t{8}, std::uint16_t{9}})
    resources.push_back(ResourceSpec{3, id, 0, Bytes(8, 2)});
  resources.push_back(ResourceSpec{14, u"MAINICON", 0, GroupRecord({8, 9}, 200)});
  resources.push_back(ResourceSpec{14, u"SHORT", 0, Bytes{0, 0, 1}});
  OpenImage image(folder, resources);
  const auto images = IconImages(3);
  const Bytes ico = BuildIcoFile(images);
  ASSERT_TRUE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder, ico).c_str()));
  ExpectGroup(Leaves(image.get()), ico, images, {8, 9, 10});
  EXPECT_TRUE(DeleteIconGroupResource(image.get(), ResourceName(u"SHORT"), 0));
  EXPECT_EQ(FindLeaf(Leaves(image.get()), "14", "\"SHORT\"", 0), nullptr);
}

TEST(OldGroupRecord, RepeatedIdGivesEachImageItsOwnResource) {
  TempFolder folder;
  std::vector<ResourceSpec> resources{
      {3, 5, 0, Bytes(8, 1)}, {3, 6, 0, Bytes(8, 1)}, {14, u"MAINICON", 0, GroupRecord({5, 5, 6})}};
  OpenImage image(folder, resources);
  const auto images = IconImages(3);
  const Bytes ico = BuildIcoFile(images);
  ASSERT_TRUE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder, ico).c_str()));
  ExpectGroup(Leaves(image.get()), ico, images, {5, 7, 6});
}

TEST(OldGroupRecord, GroupStoredEarlierInTheUpdateIsReplacedWithItsImages) {
  TempFolder folder;
  OpenImage image(folder, {});
  const auto first = IconImages(3);
  ASSERT_TRUE(LoadIconGroupResource(image.get(), kMain, 0,
                                    WriteIco(folder, BuildIcoFile(first), "first.ico").c_str()));
  const auto second = IconImages(2, 300);
  const Bytes ico = BuildIcoFile(second);
  ASSERT_TRUE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder, ico).c_str()));
  ExpectGroup(Leaves(image.get()), ico, second, {50, 51});
  EXPECT_EQ(IconIds(image.get()), (std::vector<std::uint32_t>{50, 51}));
}

// A group entry naming id 0 removes that icon image when there is one, and
// nothing else: never every icon image of the file.
TEST(OldGroupRecord, IdZeroNamesOneImageOnly) {
  const struct {
    const char* what;
    bool imageZero;
    std::vector<std::uint32_t> left;  // icon ids after the group's removal
  } cases[] = {{"no icon image 0", false, {1, 2}}, {"icon image 0 there", true, {1, 2}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    std::vector<ResourceSpec> resources;
    AddGroup(resources, u"OTHER", {1, 2});
    if (c.imageZero) resources.push_back(ResourceSpec{3, 0, 0, Bytes(8, 3)});
    resources.push_back(ResourceSpec{3, 5, 0, Bytes(8, 5)});
    resources.push_back(ResourceSpec{14, u"MAINICON", 0, GroupRecord({0, 5})});
    {
      OpenImage image(folder, resources);
      ASSERT_TRUE(DeleteIconGroupResource(image.get(), kMain, 0));
      EXPECT_EQ(IconIds(image.get()), c.left);
      EXPECT_EQ(FindLeaf(Leaves(image.get()), "14", kMainText, 0), nullptr);
    }
    OpenImage image(folder, resources);
    const auto before = Leaves(image.get());
    const auto images = IconImages(2);
    const Bytes ico = BuildIcoFile(images);
    ASSERT_TRUE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder, ico).c_str()));
    const auto leaves = Leaves(image.get());
    ExpectGroup(leaves, ico, images, {0, 5});
    EXPECT_EQ(IconIds(image.get()), (std::vector<std::uint32_t>{0, 1, 2, 5}));
    EXPECT_EQ(*FindLeaf(leaves, "14", "\"OTHER\"", 0), *FindLeaf(before, "14", "\"OTHER\"", 0));
  }
}

// Ids run out at 65535: the last ones are given, one more is refused with
// the update unchanged.
TEST(OldGroupRecord, IdsEndAt65535) {
  const struct {
    std::vector<std::uint16_t> old;
    std::size_t images;
    std::vector<std::uint16_t> ids;  // none: refused
  } cases[] = {{{65534}, 2, {65534, 65535}}, {{65535}, 2, {}}, {{65535, 65534}, 3, {}}};
  for (const auto& c : cases) {
    TempFolder folder;
    std::vector<ResourceSpec> resources;
    AddGroup(resources, u"MAINICON", c.old);
    OpenImage image(folder, resources);
    const auto before = Leaves(image.get());
    const auto images = IconImages(c.images);
    const Bytes ico = BuildIcoFile(images);
    Error error;
    const bool loaded =
        LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder, ico).c_str(), &error);
    EXPECT_EQ(loaded, !c.ids.empty()) << c.images << " images";
    if (loaded) {
      ExpectGroup(Leaves(image.get()), ico, images, c.ids);
    } else {
      EXPECT_EQ(error.kind, ErrorKind::Refused);
      EXPECT_EQ(Leaves(image.get()), before);
    }
  }
}

// A directory whose icon images the file lists in descending order, all of
// them in the old group: the old ids are reused, the free ids skip those
// used elsewhere, and each new image goes where one insertion after another
// puts it (before the first entry whose id is not below its own).
TEST(OldGroupRecord, ManyImagesInADescendingDirectory) {
  TempFolder folder;
  std::vector<ResourceSpec> resources;
  std::vector<std::uint16_t> old;
  for (std::uint16_t id = 2010; id >= 1; --id) {
    resources.push_back(ResourceSpec{3, id, 0, Bytes(4, static_cast<std::uint8_t>(id))});
    if (id <= 2000) old.insert(old.begin(), id);
  }
  resources.push_back(ResourceSpec{14, u"MAINICON", 0, GroupRecord(old)});
  OpenImage image(folder, resources, false, /*sortResources=*/false);
  std::vector<IconImageSpec> images(2100);
  for (std::size_t i = 0; i < images.size(); ++i)
    images[i].bytes = ImageBytes(8, static_cast<std::uint8_t>(i));
  const Bytes ico = BuildIcoFile(images);
  ASSERT_TRUE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder, ico).c_str()));
  std::vector<std::uint16_t> ids = old;
  std::vector<std::uint32_t> order(old.begin(), old.end());
  for (std::uint32_t id = 2010; id >= 2001; --id) order.push_back(id);
  for (std::uint16_t id = 2011; id <= 2110; ++id) {
    ids.push_back(id);
    order.push_back(id);
  }
  ExpectGroup(Leaves(image.get()), ico, images, ids);
  EXPECT_EQ(IconIds(image.get()), order);
}

TEST(NextFreeIconId, SkipsIdsListedOutOfOrder) {
  TempFolder folder;
  // A directory as a file may hold it: ids 51 before 50.
  std::vector<ResourceSpec> resources{{3, 51, 0, Bytes(4, 1)}, {3, 50, 0, Bytes(4, 1)}};
  OpenImage image(folder, resources, false, /*sortResources=*/false);
  ASSERT_EQ(IconIds(image.get()), (std::vector<std::uint32_t>{51, 50}));
  std::int32_t next = 50;
  EXPECT_EQ(NextFreeIconId(image.get(), next), 52);
  EXPECT_EQ(next, 52);
  next = 49;
  EXPECT_EQ(NextFreeIconId(image.get(), next), 49);
}

TEST(DeleteIconGroup, AbsentGroupOrLanguageChangesNothing) {
  TempFolder folder;
  std::vector<ResourceSpec> resources;
  AddGroup(resources, u"MAINICON", {1}, 1033);
  OpenImage image(folder, resources);
  const auto before = Leaves(image.get());
  EXPECT_TRUE(DeleteIconGroupResource(image.get(), kMain, 0));
  EXPECT_TRUE(DeleteIconGroupResource(image.get(), ResourceName(u"mainicon"), 1033));
  EXPECT_EQ(Leaves(image.get()), before);
}

TEST(DeleteIconGroup, LanguageZeroRemovesEveryLanguageOfAnImageWithoutALanguageZeroLeaf) {
  TempFolder folder;
  std::vector<ResourceSpec> resources{{3, 4, 1033, Bytes(4, 1)},
                                      {3, 4, 2052, Bytes(4, 2)},
                                      {3, 5, 0, Bytes(4, 3)},
                                      {3, 5, 1033, Bytes(4, 4)},
                                      {14, u"MAINICON", 0, GroupRecord({4, 5})}};
  OpenImage image(folder, resources);
  EXPECT_TRUE(DeleteIconGroupResource(image.get(), kMain, 0));
  const auto leaves = Leaves(image.get());
  EXPECT_EQ(FindLeaf(leaves, "3", "4", 1033), nullptr);
  EXPECT_EQ(FindLeaf(leaves, "3", "4", 2052), nullptr);
  EXPECT_EQ(FindLeaf(leaves, "3", "5", 0), nullptr);
  ASSERT_NE(FindLeaf(leaves, "3", "5", 1033), nullptr);
  EXPECT_EQ(FindLeaf(leaves, "14", kMainText, 0), nullptr);
}

// The group the shell shows: the first of the directory, named before
// numbered, with its first language; and after an update, the first of the
// tree the commit will write.
TEST(ShellIconGroup, FirstGroupOfTheDirectoryWithItsFirstLanguage) {
  using Shown = std::optional<IconGroupKey>;
  const Bytes record = GroupRecord({1});
  const struct {
    const char* what;
    std::vector<ResourceSpec> resources;
    bool sorted;
    Shown shown;
  } cases[] = {
      {"named before numbered, the first name",
       {{14, 1, 0, record}, {14, u"ZETA", 0, record}, {14, u"ALPHA", 0, record}},
       true,
       IconGroupKey{ResourceName(u"ALPHA"), 0}},
      {"names by their bytes: upper case first",
       {{14, u"alpha", 0, record}, {14, u"BETA", 0, record}},
       true,
       IconGroupKey{ResourceName(u"BETA"), 0}},
      {"numbered only: the lowest id",
       {{14, 7, 0, record}, {14, 3, 0, record}},
       true,
       IconGroupKey{ResourceName(3), 0}},
      {"another language: the lowest",
       {{14, u"MAINICON", 2052, record}, {14, u"MAINICON", 1033, record}},
       true,
       IconGroupKey{ResourceName(u"MAINICON"), 1033}},
      {"the directory's own order",
       {{14, u"ZETA", 2052, record}, {14, u"ZETA", 1033, record}, {14, u"ALPHA", 0, record}},
       false,
       IconGroupKey{ResourceName(u"ZETA"), 2052}},
      {"a type named \"14\" is no icon group",
       {{u"14", u"A", 0, record}, {14, 9, 0, record}},
       true,
       IconGroupKey{ResourceName(9), 0}},
      {"icon images without a group", {{3, 1, 0, Bytes(8, 1)}}, true, std::nullopt},
      {"no resources at all", {}, true, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    OpenImage image(folder, c.resources, false, c.sorted);
    const Shown shown = ShellIconGroup(image.get());
    // The listing of the file read into memory (as marovi-cli list reads
    // it) shows the same group, at the place of that group's first leaf.
    std::vector<ResourceEntry> entries;
    Error error;
    const bool listed = ReadImageResources(
        std::span<const std::uint8_t>(image.get()->view.bytes()), entries, &error);
    ASSERT_TRUE(listed) << error.detail;
    const Shown listedShown = ShellIconGroup(entries);
    const std::optional<std::size_t> at = ShellIconGroupEntry(entries);
    ASSERT_EQ(shown.has_value(), c.shown.has_value());
    ASSERT_EQ(listedShown.has_value(), c.shown.has_value());
    ASSERT_EQ(at.has_value(), c.shown.has_value());
    if (!shown) continue;
    EXPECT_TRUE(*shown == *c.shown) << platform::ToUtf8(shown->name.name()) << " "
                                    << shown->name.id() << " language " << shown->language;
    EXPECT_TRUE(*listedShown == *c.shown);
    EXPECT_EQ(entries[*at].type.id, kRtGroupIcon);
    EXPECT_EQ(entries[*at].language, c.shown->language);
    for (std::size_t i = 0; i < *at; ++i)
      EXPECT_FALSE(!entries[i].type.named() && entries[i].type.id == kRtGroupIcon);
  }
}

TEST(ShellIconGroup, GroupsAnUpdateAddsTakeTheirSortedPlace) {
  TempFolder folder;
  std::vector<ResourceSpec> resources;
  AddGroup(resources, u"MAINICON", {1, 2}, 1033);
  AddGroup(resources, 5, {3});
  OpenImage image(folder, resources);
  const std::u16string ico = WriteIco(folder, BuildIcoFile(IconImages(1)));
  const struct {
    ResourceName group;
    std::uint16_t language;
    IconGroupKey shown;
  } steps[] = {
      {ResourceName(4), 0, {ResourceName(u"MAINICON"), 1033}},         // a number goes behind names
      {ResourceName(u"MAINICON"), 0, {ResourceName(u"MAINICON"), 0}},  // a lower language, first
      {ResourceName(u"APP"), 0, {ResourceName(u"APP"), 0}},            // a name sorting first
  };
  for (const auto& step : steps) {
    ASSERT_TRUE(LoadIconGroupResource(image.get(), step.group, step.language, ico.c_str()));
    const std::optional<IconGroupKey> shown = ShellIconGroup(image.get());
    ASSERT_TRUE(shown.has_value());
    EXPECT_TRUE(*shown == step.shown)
        << platform::ToUtf8(shown->name.name()) << " " << shown->language;
  }
  // The commit writes the tree's order: the file shows the same group.
  ASSERT_TRUE(image.Commit());
  const auto leaves = image.Reread();
  const auto first =
      std::find_if(leaves.begin(), leaves.end(), [](const LeafView& l) { return l.type == "14"; });
  ASSERT_NE(first, leaves.end());
  EXPECT_EQ(first->name, "\"APP\"");
}

TEST(ShellIconGroup, KeysAreEqualByNameOrIdAndLanguage) {
  const IconGroupKey main{ResourceName(u"MAINICON"), 0};
  EXPECT_TRUE(main == (IconGroupKey{ResourceName(u"MAINICON"), 0}));
  EXPECT_FALSE(main == (IconGroupKey{ResourceName(u"MAINICON"), 1033}));
  EXPECT_FALSE(main == (IconGroupKey{ResourceName(u"mainicon"), 0}));
  EXPECT_FALSE((IconGroupKey{ResourceName(1), 0}) == (IconGroupKey{ResourceName(u"1"), 0}));
  EXPECT_TRUE((IconGroupKey{ResourceName(1), 0}) == (IconGroupKey{ResourceName(1), 0}));
}

// Through the commit: the file holds what the update held.
class IconGroupCommitTest : public ::testing::TestWithParam<bool> {
 protected:
  TempFolder folder_;
};

TEST_P(IconGroupCommitTest, ReplacedGroupReachesTheFileWithLargeImagesIntact) {
  std::vector<ResourceSpec> resources;
  AddGroup(resources, u"MAINICON", {1, 2});
  resources.push_back(ResourceSpec{16, 1, 1033, Bytes(300, 'v')});
  resources.push_back(ResourceSpec{24, 1, 0, Bytes(100, 'm')});
  OpenImage image(folder_, resources, GetParam());
  auto images = IconImages(3);
  images[2].width = images[2].height = 0;     // a 256-pixel image
  images[2].bytes = ImageBytes(70000, 0x42);  // larger than the in-memory limit
  const Bytes ico = BuildIcoFile(images);
  ASSERT_TRUE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder_, ico).c_str()));
  const auto expected = Leaves(image.get());
  ASSERT_TRUE(image.Commit());
  const auto after = image.Reread();
  EXPECT_EQ(after, expected);
  ExpectGroup(after, ico, images, {1, 2, 3});
  EXPECT_TRUE(LeftoverScratchFiles().empty());
}

TEST_P(IconGroupCommitTest, RefusedIconFileThenCommitKeepsEveryResource) {
  std::vector<ResourceSpec> resources;
  AddGroup(resources, u"MAINICON", {1, 2});
  resources.push_back(ResourceSpec{u"CUSTOM", u"Data", 0, Bytes(77, 'c')});
  OpenImage image(folder_, resources, GetParam());
  const auto before = Leaves(image.get());
  Bytes ico = BuildIcoFile(IconImages(2));
  ico.resize(ico.size() - 5);
  EXPECT_FALSE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder_, ico).c_str()));
  ASSERT_TRUE(image.Commit());
  EXPECT_EQ(image.Reread(), before);
}

INSTANTIATE_TEST_SUITE_P(Pe32AndPe32Plus, IconGroupCommitTest, ::testing::Bool());

}  // namespace
}  // namespace marovi::test
