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

}  // namespace
}  // namespace marovi::test
