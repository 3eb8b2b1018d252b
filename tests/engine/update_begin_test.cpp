// Beginning an update: the tree read and the file held, or a failure that
// leaves nothing behind.
#include "engine/tree/update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>

#include "engine/pe/bytes.h"
#include "engine/pe/image.h"
#include "engine/tree/bulk_update.h"
#include "tests/engine/engine_test_util.h"
#include "tests/support/fault_injection.h"

namespace marovi::test {
namespace {

namespace fs = std::filesystem;

// --------------------------------------------------------------- beginning

class BeginTest : public ::testing::TestWithParam<bool> {
 protected:
  void TearDown() override { EXPECT_TRUE(LeftoverScratchFiles().empty()); }
};

TEST_P(BeginTest, ReadsTheTreeAndHoldsTheFile) {
  const Bytes image = BuildImage(
      SpecWith(GetParam(), {{3, 1, 0, Filled(10, 1)}, {14, u"MAINICON", 0, Filled(20, 2)}}));
  ImageFile file(image);
  UpdateGuard u(file.Begin());
  ASSERT_TRUE(u);
  ASSERT_NE(u->root.get(), nullptr);
  EXPECT_EQ(Shape(u->root.get()), "3{1{0}},14{MAINICON{0}}");
  EXPECT_EQ(u->ntHeaders(), u->view.data() + ReadFacts(image).ntHeaders);
  EXPECT_EQ(u->view.size(), image.size());
  EXPECT_EQ(Bytes(u->view.bytes().begin(), u->view.bytes().end()), image);
}

TEST_P(BeginTest, DeleteExistingStartsFromAnEmptyRoot) {
  ImageFile file(SpecWith(GetParam(), {{3, 1, 0, Filled(10, 1)}}));
  UpdateGuard u(file.Begin(true));
  ASSERT_TRUE(u);
  EXPECT_TRUE(u->root.get()->isDirectory());
  EXPECT_EQ(u->root.get()->firstChild.get(), nullptr);
  const std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
  EXPECT_FALSE(GetResourceData(u.get(), MakeIntResource(3), MakeIntResource(1), 0, data, size));
  const Bytes icon = Filled(5, 1);
  ASSERT_TRUE(
      UpdateResourceData(u.get(), MakeIntResource(3), MakeIntResource(1), 0, icon.data(), 5));
  EXPECT_EQ(Shape(u->root.get()), "3{1{0}}");
  ExpectCountsConsistent(u->root.get());
}

// An image without a resource table starts from an empty tree (the commit
// adds a section for what is stored).
TEST_P(BeginTest, NoResourceSectionStartsFromNoResources) {
  ImageSpec spec = SpecWith(GetParam(), {});
  spec.withResourceSection = false;
  ImageFile file(spec);
  const Bytes before = file.Read();
  for (bool deleteExisting : {false, true}) {
    UpdateGuard u(file.Begin(deleteExisting));
    ASSERT_TRUE(u) << "deleteExisting " << deleteExisting;
    EXPECT_TRUE(u->root.get()->isDirectory());
    EXPECT_EQ(u->root.get()->firstChild.get(), nullptr);
    EXPECT_TRUE(u.End(true));
  }
  {
    // The failed begin left nothing open: the file can be held again.
    platform::FileHandle h = platform::OpenFileByName(file.wide(), true, false);
    EXPECT_NE(h, platform::kInvalidFile);
    platform::CloseFile(h);
  }
  EXPECT_EQ(file.Read(), before);
}

TEST_P(BeginTest, TableInsideASectionIsFileNotFound) {
  Bytes image = BuildImage(SpecWith(GetParam(), {{3, 1, 0, Filled(10, 1)}}));
  const ImageFacts f = ReadFacts(image);
  StoreU32(image.data() + f.dataDirectory + 16, f.resourceVirtualAddress + 8);
  ImageFile file(image);
  platform::SetLastError(0);
  EXPECT_EQ(file.Begin(), nullptr);
  EXPECT_EQ(platform::LastError(), 2u);
}

TEST_P(BeginTest, ASecondUpdateOfTheSameFileIsASharingError) {
  ImageFile file(SpecWith(GetParam(), {{3, 1, 0, Filled(10, 1)}}));
  UpdateGuard first(file.Begin());
  ASSERT_TRUE(first);
  platform::SetLastError(0);
  EXPECT_EQ(file.Begin(), nullptr);
  EXPECT_EQ(platform::LastError(), platform::ErrorSharingViolation());
  ASSERT_TRUE(first.End(true));
  UpdateGuard again(file.Begin());
  EXPECT_TRUE(again) << "ending the first update released the file";
}

TEST_P(BeginTest, AMalformedDirectoryThrowsAfterReleasingEverything) {
  Bytes image = BuildImage(SpecWith(GetParam(), {{3, 1, 0, Filled(10, 1)}}));
  const ImageFacts f = ReadFacts(image);
  StoreU32(image.data() + f.resourcePointerToRawData + 68, 0x80000000u);  // back to the root
  ImageFile file(image);
  EXPECT_THROW(file.Begin(), ImageFormatError);
  platform::FileHandle h = platform::OpenFileByName(file.wide(), true, false);
  EXPECT_NE(h, platform::kInvalidFile) << "the file is not held any more";
  platform::CloseFile(h);
  EXPECT_EQ(file.Read(), image);
  // With deleteExisting the directory is not read at all.
  UpdateGuard u(file.Begin(true));
  EXPECT_TRUE(u);
}

TEST_P(BeginTest, EveryTruncatedPrefixFailsOrReadsWithoutAFault) {
  const Bytes image = BuildImage(SpecWith(
      GetParam(), {{u"NAMED", u"MAINICON", 0, Filled(40, 1)}, {3, 1, 1033, Filled(10, 2)}}));
  TempFolder folder;
  const fs::path path = folder / "cut.exe";
  const std::u16string wide = Utf16Path(path);
  for (std::size_t n = 0; n <= image.size(); ++n) {
    WriteWholeFile(path, Bytes(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(n)));
    try {
      ResourceUpdate* u = BeginResourceUpdate(wide.c_str(), false);
      if (u != nullptr) {
        EXPECT_TRUE(EndResourceUpdate(u, true));
      }
    } catch (const ImageFormatError&) {
    }
  }
}

// The listing of an image read into memory, as the commands that only look
// read it: the leaves of the directory in its order, or why there are none.
TEST_P(BeginTest, ReadImageResourcesListsTheLeavesOrSaysWhyNot) {
  const std::vector<ResourceSpec> resources{{u"NAMED", u"MAINICON", 0, Filled(40, 1)},
                                            {3, 1, 1033, Filled(10, 2), 1252},
                                            {3, 0x1234, 0, Filled(3, 3)}};
  ImageSpec spec = SpecWith(GetParam(), resources);
  spec.sortResources = false;
  Bytes good = BuildImage(spec);
  // A name id beyond 16 bits, which the directory can hold: 0x1234 becomes 0x11234.
  const std::uint32_t section = ReadFacts(good).resourcePointerToRawData;
  std::uint32_t at = section;
  while (LoadU32(good.data() + at) != 0x1234) at += 4;
  StoreU32(good.data() + at, 0x11234);
  Bytes malformed = good;
  StoreU32(malformed.data() + ReadFacts(good).resourcePointerToRawData + 20,
           0x80000000u);  // back to the root
  ImageSpec bare = SpecWith(GetParam(), {});
  bare.withResourceSection = false;
  Bytes notPe(512, 0);
  notPe[0] = 'M';
  notPe[1] = 'Z';
  const struct {
    const char* what;
    Bytes image;
    ErrorKind kind;
    const char* detail;
  } cases[] = {
      {"empty", {}, ErrorKind::NotAnImage, "is empty, not a PE image"},
      {"no PE headers", notPe, ErrorKind::NotAnImage, "is not a PE image"},
      {"no resource section", BuildImage(bare), ErrorKind::NoResources, "has no resource section"},
      {"a directory that leads back", malformed, ErrorKind::MalformedImage,
       "malformed resource directory: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<ResourceEntry> entries(1);
    Error error;
    EXPECT_FALSE(ReadImageResources(c.image, entries, &error));
    EXPECT_EQ(error.kind, c.kind);
    EXPECT_EQ(error.detail.rfind(c.detail, 0), 0u) << error.detail;
    EXPECT_TRUE(error.file.empty());
    EXPECT_TRUE(entries.empty());
  }

  std::vector<ResourceEntry> entries;
  Error error;
  ASSERT_TRUE(ReadImageResources(good, entries, &error)) << error.detail;
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].type.name, u"NAMED");
  EXPECT_EQ(entries[0].name.name, u"MAINICON");
  EXPECT_EQ(entries[1].type.id, 3u);
  EXPECT_FALSE(entries[1].type.named());
  EXPECT_EQ(entries[1].language, 1033u);
  EXPECT_EQ(entries[1].codePage, 1252u);
  EXPECT_EQ(entries[2].name.id, 0x11234u) << "ids keep the directory's 31 bits";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].size, resources[i].data.size());
    EXPECT_EQ(Bytes(entries[i].data.begin(), entries[i].data.end()), resources[i].data);
    EXPECT_GE(entries[i].data.data(), good.data());
    EXPECT_LE(entries[i].data.data() + entries[i].data.size(), good.data() + good.size());
  }
  // Every prefix of the image is listed or refused, never read past its end.
  for (std::size_t n = 0; n < good.size(); n += 7)
    ReadImageResources(std::span<const std::uint8_t>(good.data(), n), entries, &error);
}

INSTANTIATE_TEST_SUITE_P(Forms, BeginTest, ::testing::Bool(), FormName);

TEST(BeginFailureTest, NonImagesEmptyAndMissingFiles) {
  TempFolder folder;
  const fs::path text = folder / "text.exe";
  WriteWholeFile(text, Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'});
  EXPECT_EQ(BeginResourceUpdate(Utf16Path(text).c_str(), false), nullptr);

  Bytes mzOnly(512, 0);
  mzOnly[0] = 'M';
  mzOnly[1] = 'Z';
  StoreU32(mzOnly.data() + 60, 0x100);  // no "PE" there
  const fs::path noPe = folder / "nope.exe";
  WriteWholeFile(noPe, mzOnly);
  EXPECT_EQ(BeginResourceUpdate(Utf16Path(noPe).c_str(), false), nullptr);

  const fs::path empty = folder / "empty.exe";
  WriteWholeFile(empty, {});
  EXPECT_EQ(BeginResourceUpdate(Utf16Path(empty).c_str(), false), nullptr);
  EXPECT_EQ(BeginResourceUpdate(Utf16Path(empty).c_str(), true), nullptr);

  platform::SetLastError(0);
  EXPECT_EQ(BeginResourceUpdate(Utf16Path(folder / "missing.exe").c_str(), false), nullptr);
  EXPECT_EQ(platform::LastError(), platform::ErrorFileNotFound());
  EXPECT_TRUE(LeftoverScratchFiles().empty());
}

}  // namespace
}  // namespace marovi::test
