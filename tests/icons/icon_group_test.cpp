// Icon group replacement inside an open update: id reuse and allocation, what
// is removed and what is left alone, and icon files that must be refused
// before anything changes.
#include "icons/icon_group.h"

#include <gtest/gtest.h>

#include <optional>

#include "engine/platform/platform.h"
#include "icons/icons.h"
#include "tests/icons/icon_test_support.h"
#include "tests/support/fault_injection.h"

namespace marovi::test {
namespace {

const ResourceName kMain(std::u16string(u"MAINICON"));
const std::string kMainText = "\"MAINICON\"";

// An old group record listing ids (the other fields filled with a pattern).
Bytes GroupRecord(const std::vector<std::uint16_t>& ids, std::uint16_t claimedCount = 0xFFFF) {
  Bytes record(6 + 14 * ids.size(), 0);
  const std::size_t count = claimedCount == 0xFFFF ? ids.size() : claimedCount;
  record[2] = 1;
  record[4] = static_cast<std::uint8_t>(count);
  record[5] = static_cast<std::uint8_t>(count >> 8);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    record[6 + 14 * i] = 32;
    record[6 + 14 * i + 12] = static_cast<std::uint8_t>(ids[i]);
    record[6 + 14 * i + 13] = static_cast<std::uint8_t>(ids[i] >> 8);
  }
  return record;
}

// The resources of an image whose group `name` (language) lists ids, each id
// with an old image.
void AddGroup(std::vector<ResourceSpec>& resources, Key name, const std::vector<std::uint16_t>& ids,
              std::uint16_t language = 0) {
  for (std::uint16_t id : ids)
    resources.push_back(
        ResourceSpec{3, id, language, ImageBytes(40, static_cast<std::uint8_t>(id))});
  resources.push_back(ResourceSpec{14, std::move(name), language, GroupRecord(ids)});
}

std::vector<IconImageSpec> IconImages(std::size_t count, std::size_t firstSize = 100) {
  std::vector<IconImageSpec> images;
  for (std::size_t i = 0; i < count; ++i) {
    IconImageSpec image;
    image.width = image.height = static_cast<std::uint8_t>(16 * (i + 1));
    image.bitCount = static_cast<std::uint16_t>(i % 2 == 0 ? 32 : 8);
    image.bytes = ImageBytes(firstSize + 10 * i, static_cast<std::uint8_t>(0x80 + i));
    images.push_back(image);
  }
  return images;
}

std::u16string WriteIco(const TempFolder& folder, const Bytes& ico,
                        const std::string& name = "new.ico") {
  WriteWholeFile(folder / name, ico);
  return Utf16Path(folder / name);
}

// The new group lists `ids` in the icon file's order; image i is stored under
// ids[i] with its bytes, and group entry i carries the file's entry fields.
void ExpectGroup(const std::vector<LeafView>& leaves, const Bytes& ico,
                 const std::vector<IconImageSpec>& images, const std::vector<std::uint16_t>& ids,
                 std::uint16_t language = 0) {
  const LeafView* group = FindLeaf(leaves, "14", kMainText, language);
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(GroupIds(group->data), ids);
  EXPECT_TRUE(std::equal(ico.begin(), ico.begin() + 6, group->data.begin()));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_TRUE(std::equal(ico.begin() + 6 + 16 * static_cast<long>(i),
                           ico.begin() + 6 + 16 * static_cast<long>(i) + 12,
                           group->data.begin() + 6 + 14 * static_cast<long>(i)))
        << "group entry " << i;
    const LeafView* image = FindLeaf(leaves, "3", std::to_string(ids[i]), language);
    ASSERT_NE(image, nullptr) << "image id " << ids[i];
    EXPECT_EQ(image->data, images[i].bytes) << "image id " << ids[i];
  }
}

class IconGroupTest : public ::testing::TestWithParam<bool> {
 protected:
  bool pe32Plus() const { return GetParam(); }
  TempFolder folder_;
};

TEST_P(IconGroupTest, OldIdsAreReusedInOrderThenFreeIdsFollow) {
  std::vector<ResourceSpec> resources;
  AddGroup(resources, u"MAINICON", {5, 6});
  OpenImage image(folder_, resources, pe32Plus());
  const auto images = IconImages(4);
  const Bytes ico = BuildIcoFile(images);
  ASSERT_TRUE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder_, ico).c_str()));
  const auto leaves = Leaves(image.get());
  ExpectGroup(leaves, ico, images, {5, 6, 7, 8});
  EXPECT_EQ(IconIds(image.get()), (std::vector<std::uint32_t>{5, 6, 7, 8}));
}

TEST_P(IconGroupTest, SurplusOldImagesAreRemoved) {
  std::vector<ResourceSpec> resources;
  AddGroup(resources, u"MAINICON", {7, 3, 9});
  OpenImage image(folder_, resources, pe32Plus());
  const auto images = IconImages(2);
  const Bytes ico = BuildIcoFile(images);
  ASSERT_TRUE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder_, ico).c_str()));
  ExpectGroup(Leaves(image.get()), ico, images, {7, 3});
  EXPECT_EQ(IconIds(image.get()), (std::vector<std::uint32_t>{3, 7}));
}

TEST_P(IconGroupTest, FreeIdsSkipImagesOfOtherGroups) {
  std::vector<ResourceSpec> resources;
  AddGroup(resources, u"MAINICON", {1, 2});
  AddGroup(resources, u"OTHER", {3});
  OpenImage image(folder_, resources, pe32Plus());
  const auto before = Leaves(image.get());
  const auto images = IconImages(4);
  const Bytes ico = BuildIcoFile(images);
  ASSERT_TRUE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder_, ico).c_str()));
  const auto leaves = Leaves(image.get());
  ExpectGroup(leaves, ico, images, {1, 2, 4, 5});
  // The other group and its image are untouched.
  EXPECT_EQ(*FindLeaf(leaves, "3", "3", 0), *FindLeaf(before, "3", "3", 0));
  EXPECT_EQ(*FindLeaf(leaves, "14", "\"OTHER\"", 0), *FindLeaf(before, "14", "\"OTHER\"", 0));
}

// An image that another group lists too stays, with its id: that group
// keeps what it shows, and the new images take free ids instead.
TEST_P(IconGroupTest, ImagesSharedWithAnotherGroupStay) {
  std::vector<ResourceSpec> resources;
  AddGroup(resources, u"MAINICON", {1, 2, 3});
  AddGroup(resources, 7, {2});
  OpenImage image(folder_, resources, pe32Plus());
  const auto before = Leaves(image.get());
  const auto images = IconImages(3);
  const Bytes ico = BuildIcoFile(images);
  ASSERT_TRUE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder_, ico).c_str()));
  const auto leaves = Leaves(image.get());
  ExpectGroup(leaves, ico, images, {1, 3, 4});
  EXPECT_EQ(*FindLeaf(leaves, "3", "2", 0), *FindLeaf(before, "3", "2", 0));
  EXPECT_EQ(*FindLeaf(leaves, "14", "7", 0), *FindLeaf(before, "14", "7", 0));
  // Deleting the group leaves the shared image too.
  ASSERT_TRUE(DeleteIconGroupResource(image.get(), kMain, 0));
  EXPECT_EQ(IconIds(image.get()), (std::vector<std::uint32_t>{2}));
}

TEST_P(IconGroupTest, WithoutOldGroupIdsCountUpFromFiftySkippingUsedOnes) {
  std::vector<ResourceSpec> resources;
  AddGroup(resources, u"OTHER", {50, 52});
  resources.push_back(ResourceSpec{6, 1, 1033, Bytes{1, 2, 3, 4}});
  OpenImage image(folder_, resources, pe32Plus());
  const auto images = IconImages(3);
  const Bytes ico = BuildIcoFile(images);
  ASSERT_TRUE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder_, ico).c_str()));
  ExpectGroup(Leaves(image.get()), ico, images, {51, 53, 54});
}

TEST_P(IconGroupTest, GroupOfAnotherLanguageIsLeftAlone) {
  std::vector<ResourceSpec> resources;
  AddGroup(resources, u"MAINICON", {1, 2}, 1033);
  OpenImage image(folder_, resources, pe32Plus());
  const auto before = Leaves(image.get());
  const auto images = IconImages(2);
  const Bytes ico = BuildIcoFile(images);
  ASSERT_TRUE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder_, ico).c_str()));
  const auto leaves = Leaves(image.get());
  ExpectGroup(leaves, ico, images, {50, 51});
  for (const char* id : {"1", "2"})
    EXPECT_EQ(*FindLeaf(leaves, "3", id, 1033), *FindLeaf(before, "3", id, 1033));
  EXPECT_EQ(*FindLeaf(leaves, "14", kMainText, 1033), *FindLeaf(before, "14", kMainText, 1033));
}

// An icon file of no images would leave an empty group, and a cursor file
// a group of cursor type: both are refused with the old group kept.
TEST_P(IconGroupTest, IconFileWithoutImagesIsRefusedAndTheGroupStays) {
  std::vector<ResourceSpec> resources;
  AddGroup(resources, u"MAINICON", {1, 2});
  OpenImage image(folder_, resources, pe32Plus());
  const auto before = Leaves(image.get());
  Error error;
  EXPECT_FALSE(LoadIconGroupResource(image.get(), kMain, 0,
                                     WriteIco(folder_, BuildIcoFile({})).c_str(), &error));
  EXPECT_EQ(error.kind, ErrorKind::BadIconFile);
  EXPECT_EQ(error.detail, "has no images");
  EXPECT_EQ(Leaves(image.get()), before);
  EXPECT_EQ(IconIds(image.get()), (std::vector<std::uint32_t>{1, 2}));
}

TEST_P(IconGroupTest, CursorFileIsRefusedAndTheGroupStays) {
  std::vector<ResourceSpec> resources;
  AddGroup(resources, u"MAINICON", {1});
  OpenImage image(folder_, resources, pe32Plus());
  const auto before = Leaves(image.get());
  const Bytes cursor = BuildIcoFile(IconImages(1), 2);
  EXPECT_FALSE(LoadIconGroupResource(image.get(), kMain, 0, WriteIco(folder_, cursor).c_str()));
  EXPECT_EQ(Leaves(image.get()), before);
}

INSTANTIATE_TEST_SUITE_P(Pe32AndPe32Plus, IconGroupTest, ::testing::Bool());

// Icon files that are refused before the update changes, with the reason
// and the icon file's name for the caller.
class RefusedIconFileTest : public ::testing::Test {
 protected:
  void ExpectRefused(const std::u16string& iconFile, IconFileStatus expected,
                     ErrorKind kind = ErrorKind::BadIconFile, const std::string& detail = "") {
    std::vector<ResourceSpec> resources;
    AddGroup(resources, u"MAINICON", {5, 6});
    resources.push_back(ResourceSpec{24, 1, 0, Bytes(20, 'x')});
    OpenImage image(folder_, resources);
    const auto before = Leaves(image.get());
    EXPECT_FALSE(LoadIconGroupResource(image.get(), kMain, 0, iconFile.c_str()));
    Error error;
    EXPECT_FALSE(LoadIconGroupResource(image.get(), kMain, 0, iconFile.c_str(), &error));
    EXPECT_EQ(Leaves(image.get()), before);
    EXPECT_EQ(error.kind, kind) << error.detail;
    EXPECT_EQ(error.file, platform::ToUtf8(iconFile));
    if (!detail.empty()) {
      EXPECT_EQ(error.detail, detail);
    }
    std::vector<std::uint8_t> bytes;
    Error read;
    EXPECT_EQ(ReadIconFile(iconFile.c_str(), bytes, &read), expected);
    EXPECT_EQ(read.detail, error.detail);
    EXPECT_EQ(ReadIconFile(iconFile.c_str(), bytes), expected);
  }
  std::u16string Ico(const Bytes& bytes) { return WriteIco(folder_, bytes, "bad.ico"); }
  TempFolder folder_;
};

TEST_F(RefusedIconFileTest, MissingFile) {
  ExpectRefused(Utf16Path(folder_ / "missing.ico"), IconFileStatus::CannotOpen,
                ErrorKind::NotFound);
}

// Files whose header is not an icon file's, among them a small BMP picture,
// whose length reads as idType and whose idCount is then 0.
TEST_F(RefusedIconFileTest, HeadersOfOtherFiles) {
  Bytes bmp = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  40,
               0,   0,   0,  2, 0, 0, 0, 2, 0, 0, 0,  1, 0, 24, 0};
  bmp.resize(70, 0x7F);
  Bytes reserved = BuildIcoFile(IconImages(1));
  reserved[1] = 1;
  const Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  const struct {
    Bytes bytes;
    IconFileStatus status;
    std::string detail;
  } cases[] = {
      {bmp, IconFileStatus::BmpPicture, "is a BMP picture, not an icon file"},
      {png, IconFileStatus::PngPicture, "is a PNG picture, not an icon file"},
      {Bytes{0, 0, 1, 0, 0, 0}, IconFileStatus::NoImages, "has no images"},
      {BuildIcoFile(IconImages(2), 2), IconFileStatus::Cursor,
       "is not an icon file (type 2 is a cursor)"},
      {BuildIcoFile(IconImages(1), 0), IconFileStatus::NotIconFile,
       "is not an icon file (type 0, not 1)"},
      {BuildIcoFile(IconImages(1), 3), IconFileStatus::NotIconFile,
       "is not an icon file (type 3, not 1)"},
      {reserved, IconFileStatus::NotIconFile,
       "is not an icon file (its header begins with 0x100, not 0)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.detail);
    ExpectRefused(Ico(c.bytes), c.status, ErrorKind::BadIconFile, c.detail);
  }
}

TEST_F(RefusedIconFileTest, EmptyAndHeaderlessFiles) {
  ExpectRefused(Ico({}), IconFileStatus::TooShort);
  ExpectRefused(Ico({0, 0, 1, 0, 0}), IconFileStatus::TooShort);
}

TEST_F(RefusedIconFileTest, DirectoryLongerThanTheFile) {
  Bytes ico = BuildIcoFile(IconImages(2));
  ico.resize(6 + 16 + 8);  // the second entry is cut
  ExpectRefused(Ico(ico), IconFileStatus::EntriesOutside);
  ExpectRefused(Ico(Bytes{0, 0, 1, 0, 0xFF, 0xFF}), IconFileStatus::EntriesOutside);
}

TEST_F(RefusedIconFileTest, ImageRangesLeavingTheFile) {
  Bytes truncated = BuildIcoFile(IconImages(2));
  truncated.pop_back();  // the last image is one byte short
  ExpectRefused(Ico(truncated), IconFileStatus::ImageOutside);

  // An offset near 4 GiB whose end wraps around in 32 bits.
  Bytes wrapping = BuildIcoFile(IconImages(1));
  wrapping[6 + 12] = 0xF0;
  wrapping[6 + 13] = wrapping[6 + 14] = wrapping[6 + 15] = 0xFF;
  ExpectRefused(Ico(wrapping), IconFileStatus::ImageOutside);
}

TEST_F(RefusedIconFileTest, FolderInsteadOfFile) {
  std::filesystem::create_directory(folder_ / "folder.ico");
  std::vector<std::uint8_t> bytes;
  const std::u16string path = Utf16Path(folder_ / "folder.ico");
  EXPECT_NE(ReadIconFile(path.c_str(), bytes), IconFileStatus::Ok);
  OpenImage image(folder_, {});
  EXPECT_FALSE(LoadIconGroupResource(image.get(), kMain, 0, path.c_str()));
  Error error;
  EXPECT_FALSE(LoadIconGroupResource(image.get(), kMain, 0, path.c_str(), &error));
  EXPECT_NE(error.kind, ErrorKind::None);
  EXPECT_NE(error.osCode, 0u);
  EXPECT_EQ(error.file, platform::ToUtf8(path));
}

// Every failure of a file operation while the icon file is read or its
// images are kept (the large one in a scratch file) leaves the update as
// it was, with a reason.
TEST_F(RefusedIconFileTest, FailedFileOperationsLeaveTheUpdate) {
  auto images = IconImages(2);
  images[1].bytes = ImageBytes(40000, 9);
  const std::u16string ico = Ico(BuildIcoFile(images));
  std::vector<ResourceSpec> resources;
  AddGroup(resources, u"MAINICON", {5, 6});
  for (std::uint64_t n = 1;; ++n) {
    ASSERT_LT(n, 32u);
    OpenImage image(folder_, resources);
    const auto before = Leaves(image.get());
    Error error;
    fault::InjectFailureAt(n);
    const bool loaded = LoadIconGroupResource(image.get(), kMain, 0, ico.c_str(), &error);
    const bool injected = fault::InjectedFailureHappened();
    fault::InjectFailureAt(0);
    if (!injected) {
      EXPECT_TRUE(loaded);
      break;
    }
    EXPECT_FALSE(loaded) << "failure at call " << n;
    EXPECT_NE(error.kind, ErrorKind::None) << "failure at call " << n;
    EXPECT_EQ(Leaves(image.get()), before) << "failure at call " << n;
    EXPECT_EQ(LeftoverScratchFiles().size(), 0u) << "failure at call " << n;
  }
}

TEST(IconFileCheck, ImagesEndingExactlyAtTheFileEndAreAccepted) {
  Bytes ico = BuildIcoFile(IconImages(3));
  EXPECT_EQ(CheckIconFile(ico), IconFileStatus::Ok);
  IconImageSpec empty;  // an image of no bytes at the very end
  ico = BuildIcoFile({IconImages(1)[0], empty});
  EXPECT_EQ(CheckIconFile(ico), IconFileStatus::Ok);
}

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
    const bool listed = ReadImageResources(std::span<const std::uint8_t>(image.get()->view.bytes()),
                                           entries, &error);
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
