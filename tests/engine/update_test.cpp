// Beginning an update, adding, replacing, deleting and looking up resources,
// and the scratch files that hold large new data.
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

// A leaf's new bytes held in memory (none when they are kept elsewhere).
Bytes MemoryBytes(const TResItem* leaf) {
  const CompactByteString* bytes = leaf->leaf().data.memory();
  return bytes != nullptr ? Bytes(bytes->begin(), bytes->end()) : Bytes();
}
// The scratch file that holds a leaf's new bytes, or kInvalidFile.
platform::FileHandle ScratchHandle(const TResItem* leaf) {
  const ScratchFile* file = leaf->leaf().data.scratch();
  return file != nullptr ? file->get() : platform::kInvalidFile;
}

// A scratch file this process holds, by its name.
bool Exists(const std::string& name) {
  for (const std::string& open : OpenScratchFiles())
    if (open == name) return true;
  return false;
}

std::uint64_t FileSize(platform::FileHandle file) {
  std::uint64_t length = 0;
  return platform::GetFileLength(file, length) ? length : 0;
}

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

// ------------------------------------------------------ updates in a file

class UpdateTest : public ::testing::TestWithParam<bool> {
 protected:
  // type 3: names 1 {0}, 2 {0, 1033 (code page 1252, reserved 7), 2052};
  // type 14: MAINICON {0}; type 24: 1 {1033}.
  UpdateTest()
      : file_(SpecWith(GetParam(), {{3, 1, 0, Filled(10, 1)},
                                    {3, 2, 0, Filled(11, 2)},
                                    {3, 2, 1033, Filled(12, 3), 1252, 7},
                                    {3, 2, 2052, Filled(13, 4)},
                                    {14, u"MAINICON", 0, Filled(20, 5)},
                                    {24, 1, 1033, Filled(30, 6)}})) {}
  void SetUp() override {
    original_ = file_.Read();
    update_ = file_.Begin();
    ASSERT_NE(update_, nullptr);
    ASSERT_EQ(Shape(root()), "3{1{0},2{0,1033,2052}},14{MAINICON{0}},24{1{1033}}");
  }
  void TearDown() override {
    if (update_ != nullptr) {
      ExpectCountsConsistent(root());
      EXPECT_TRUE(EndResourceUpdate(update_, true));
    }
    EXPECT_TRUE(LeftoverScratchFiles().empty());
  }
  TResItem* root() { return update_->root.get(); }
  bool Put(ResKey type, ResKey name, std::uint16_t language, const Bytes& data) {
    return UpdateResourceData(update_, type, name, language, data.data(),
                              static_cast<std::uint32_t>(data.size()));
  }
  bool Delete(ResKey type, ResKey name, std::uint16_t language) {
    return UpdateResourceData(update_, type, name, language, nullptr, 0);
  }
  TResItem* Leaf(ResKey type, ResKey name, std::uint16_t language) {
    TResItem* t = FindNamedChild(root(), type)->get();
    TResItem* n = t ? FindNamedChild(t, name)->get() : nullptr;
    return n ? FindLanguageChild(n, language)->get() : nullptr;
  }
  static ResKey Id(std::uint16_t id) { return MakeIntResource(id); }

  ImageFile file_;
  Bytes original_;
  ResourceUpdate* update_ = nullptr;
};

TEST_P(UpdateTest, DiscardingLeavesTheFileAsItWas) {
  ASSERT_TRUE(Put(Id(3), Id(1), 0, Filled(40000, 1)));
  ASSERT_TRUE(Put(Id(3), Id(2), 1033, Filled(7, 1)));
  ASSERT_TRUE(Delete(Id(14), u"MAINICON", 0));
  ASSERT_TRUE(Put(u"NEW", u"ONE", 0, Filled(9, 1)));
  EXPECT_TRUE(EndResourceUpdate(update_, true));
  update_ = nullptr;
  EXPECT_EQ(file_.Read(), original_);
}

TEST_P(UpdateTest, GetResourceDataReturnsBytesInTheView) {
  const std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
  ASSERT_TRUE(GetResourceData(update_, Id(3), Id(2), 1033, data, size));
  ASSERT_EQ(size, 12u);
  EXPECT_GE(data, update_->view.data());
  EXPECT_LE(data + size, update_->view.data() + update_->view.size());
  EXPECT_EQ(Bytes(data, data + size), Filled(12, 3));
  ASSERT_TRUE(GetIconGroupData(update_, u"MAINICON", 0, data));
  EXPECT_EQ(Bytes(data, data + 20), Filled(20, 5));

  for (auto [type, name, language] : {std::tuple<ResKey, ResKey, std::uint16_t>{Id(4), Id(1), 0},
                                      {Id(3), Id(9), 0},
                                      {Id(3), Id(2), 1040},
                                      {Id(14), u"mainicon", 0},
                                      {Id(3), Id(1), 1033}}) {
    data = update_->view.data();
    size = 99;
    EXPECT_FALSE(GetResourceData(update_, type, name, language, data, size));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
  }
}

TEST_P(UpdateTest, NewDataIsReportedByItsSizeOnly) {
  const Bytes small = Filled(100, 9);
  ASSERT_TRUE(Put(Id(3), Id(1), 0, small));
  ASSERT_TRUE(Put(Id(5), u"NEW", 0, Filled(40000, 9)));
  const std::uint8_t* data = update_->view.data();
  std::uint32_t size = 0;
  ASSERT_TRUE(GetResourceData(update_, Id(3), Id(1), 0, data, size));
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(size, 100u);
  ASSERT_TRUE(GetResourceData(update_, Id(5), u"NEW", 0, data, size));
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(size, 40000u);
}

// The readers that need no tree find bytes wherever the update keeps them:
// in the image, in memory, in a scratch file.
TEST_P(UpdateTest, ReadersFindBytesInTheImageInMemoryAndInScratchFiles) {
  ASSERT_TRUE(Put(Id(3), Id(1), 0, Filled(100, 8)));
  ASSERT_TRUE(Put(Id(3), Id(2), 2052, Filled(40000, 9)));
  const struct {
    ResKey type, name;
    std::uint16_t language;
    Bytes bytes;
  } found[] = {{Id(3), Id(2), 1033, Filled(12, 3)},
               {Id(3), Id(1), 0, Filled(100, 8)},
               {Id(3), Id(2), 2052, Filled(40000, 9)},
               {Id(14), u"MAINICON", 0, Filled(20, 5)}};
  for (const auto& f : found) {
    Bytes bytes{1};
    Error error;
    EXPECT_TRUE(ReadResource(update_, f.type, f.name, f.language, bytes, &error));
    EXPECT_EQ(bytes, f.bytes);
  }
  for (auto [type, name, language] : {std::tuple<ResKey, ResKey, std::uint16_t>{Id(4), Id(1), 0},
                                      {Id(3), Id(9), 0},
                                      {Id(14), u"mainicon", 0},
                                      {Id(3), Id(1), 1033}}) {
    Bytes bytes{1};
    Error error = MakeError(ErrorKind::Io, "stale");
    EXPECT_FALSE(ReadResource(update_, type, name, language, bytes, &error));
    EXPECT_TRUE(bytes.empty());
    EXPECT_FALSE(error) << "a missing resource is no failure";
  }

  std::vector<TypedResource> icons;
  ASSERT_TRUE(ResourcesOfType(update_, 3, icons, nullptr));
  ASSERT_EQ(icons.size(), 4u);
  EXPECT_EQ(icons[3].language, 2052);
  EXPECT_EQ(icons[3].bytes, Filled(40000, 9));

  // The listing: the directory's order, the data where it lies in memory.
  const std::vector<ResourceEntry> entries = ListResources(update_);
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(Bytes(entries[0].data.begin(), entries[0].data.end()), Filled(100, 8));
  EXPECT_EQ(entries[2].codePage, 1252u);
  EXPECT_GE(entries[2].data.data(), update_->view.data());
  EXPECT_EQ(entries[3].language, 2052u);
  EXPECT_EQ(entries[3].size, 40000u);
  EXPECT_TRUE(entries[3].data.empty()) << "kept in a scratch file";
  EXPECT_EQ(entries[4].name.name, u"MAINICON");
  EXPECT_EQ(entries[5].type.id, 24u);
  // Of one numbered type only: the same entries, in the same order.
  const std::vector<ResourceEntry> groups = ListResources(update_, 14);
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].name.name, u"MAINICON");
  EXPECT_TRUE(ListResources(update_, 99).empty());
  EXPECT_EQ(ListResources(update_, 3).size(), 4u);
  EXPECT_EQ(ImageFileName(update_), platform::ToUtf8(file_.wide()));
  EXPECT_FALSE(ImageIsSigned(update_));
  EXPECT_FALSE(ImageIsDll(update_));
}

// The numbered change of an update does what the tree's deletion and
// insertion do (tested against one call per id below), and refuses before
// it changes anything.
TEST_P(UpdateTest, ANumberedChangePreparesEverythingBeforeItChangesTheUpdate) {
  {
    NumberedResourceChange change(update_, 3, 0, {1, 2});
    EXPECT_EQ(change.IdsLeft(), (std::vector<std::uint32_t>{2}));
    Error error;
    ASSERT_TRUE(change.PrepareAddition({{9, "abc", 3}, {4, "de", 2}}, &error));
    EXPECT_EQ(Shape(root()), "3{1{0},2{0,1033,2052}},14{MAINICON{0}},24{1{1033}}");
    change.ApplyDeletion();
    ASSERT_TRUE(change.ApplyAddition());
  }
  EXPECT_EQ(Shape(root()), "3{2{1033,2052},4{0},9{0}},14{MAINICON{0}},24{1{1033}}");
  Bytes bytes;
  ASSERT_TRUE(ReadResource(update_, Id(3), Id(9), 0, bytes, nullptr));
  EXPECT_EQ(bytes, (Bytes{'a', 'b', 'c'}));

  NumberedResourceChange twice(update_, 3, 0, {});
  Error error;
  EXPECT_FALSE(twice.PrepareAddition({{7, "a", 1}, {7, "b", 1}}, &error));
  EXPECT_EQ(error.kind, ErrorKind::Internal);
  NumberedResourceChange existing(update_, 3, 1033, {});
  ASSERT_TRUE(existing.PrepareAddition({{5, "a", 1}, {2, "b", 1}}, &error));
  EXPECT_FALSE(existing.ApplyAddition()) << "2 has a leaf of language 1033 already";
  EXPECT_EQ(Shape(root()), "3{2{1033,2052},4{0},9{0}},14{MAINICON{0}},24{1{1033}}");
}

TEST_P(UpdateTest, AddingCreatesTypeNameAndLeafWithCounters) {
  ASSERT_TRUE(Put(Id(5), Id(7), 0, Filled(8, 1)));
  EXPECT_EQ(Children(root()), "3,5,14,24");
  EXPECT_EQ(root()->directory().idEntryCount, 4u);
  TResItem* type5 = Child(root(), "5");
  EXPECT_EQ(type5->directory().idEntryCount, 1u);
  EXPECT_EQ(type5->directory().namedEntryCount, 0u);
  EXPECT_EQ(type5->firstChild->directory().idEntryCount, 1u);
  TResItem* leaf = Leaf(Id(5), Id(7), 0);
  ASSERT_NE(leaf, nullptr);
  EXPECT_FALSE(leaf->isDirectory());
  EXPECT_EQ(MemoryBytes(leaf), Filled(8, 1));
  EXPECT_EQ(leaf->leaf().data.view(), nullptr);

  ASSERT_TRUE(Put(u"ZZ", u"Named", 1033, Filled(3, 1)));
  EXPECT_EQ(Children(root()), "ZZ,3,5,14,24");
  EXPECT_EQ(root()->directory().namedEntryCount, 1u);
  ASSERT_TRUE(Put(Id(3), Id(2), 1040, Filled(3, 1)));
  EXPECT_EQ(Children(Child(Child(root(), "3"), "2")), "0,1033,1040,2052");
}

TEST_P(UpdateTest, CallersBytesAreCopied) {
  Bytes data = Filled(64, 1);
  ASSERT_TRUE(Put(Id(3), Id(1), 0, data));
  std::fill(data.begin(), data.end(), 0);
  const TResItem* leaf = Leaf(Id(3), Id(1), 0);
  EXPECT_EQ(MemoryBytes(leaf), Filled(64, 1));
}

TEST_P(UpdateTest, ReplacingKeepsPlaceAndReservedAndClearsCodePage) {
  TResItem* before = Leaf(Id(3), Id(2), 1033);
  ASSERT_EQ(before->leaf().codePage, 1252u);
  ASSERT_EQ(before->leaf().reserved, 7u);
  ASSERT_TRUE(Put(Id(3), Id(2), 1033, Filled(5, 8)));
  TResItem* after = Leaf(Id(3), Id(2), 1033);
  EXPECT_EQ(after, before) << "the same node";
  EXPECT_EQ(Children(Child(Child(root(), "3"), "2")), "0,1033,2052");
  EXPECT_EQ(after->leaf().codePage, 0u);
  EXPECT_EQ(after->leaf().reserved, 7u);
  EXPECT_EQ(after->leaf().data.view(), nullptr);
  EXPECT_EQ(after->leaf().dataSize, 5u);
  EXPECT_EQ(MemoryBytes(after), Filled(5, 8));
}

TEST_P(UpdateTest, InMemoryUpTo32768BytesScratchFileFrom32769) {
  ASSERT_TRUE(Put(Id(3), Id(1), 0, Filled(32768, 1)));
  TResItem* leaf = Leaf(Id(3), Id(1), 0);
  EXPECT_EQ(MemoryBytes(leaf).size(), 32768u);
  EXPECT_EQ(leaf->leaf().data.scratch(), nullptr);
  EXPECT_FALSE(Exists(ScratchFileName(leaf)));

  const Bytes big = Filled(32769, 2);
  ASSERT_TRUE(Put(Id(3), Id(1), 0, big));
  EXPECT_EQ(leaf->leaf().data.memory(), nullptr);
  EXPECT_EQ(leaf->leaf().dataSize, 32769u);
  ASSERT_NE(leaf->leaf().data.scratch(), nullptr);
  const std::string scratch = ScratchFileName(leaf);
  ASSERT_TRUE(Exists(scratch));
  Bytes held(big.size());
  ASSERT_TRUE(platform::ReadAt(ScratchHandle(leaf), 0, held.data(), held.size()));
  EXPECT_EQ(held, big);
  EXPECT_EQ(OpenScratchFiles().size(), 1u);
}

TEST_P(UpdateTest, ReplacingLargeBySmallAndSmallByLargeKeepsOnlyTheLast) {
  ASSERT_TRUE(Put(Id(3), Id(1), 0, Filled(40000, 1)));
  TResItem* leaf = Leaf(Id(3), Id(1), 0);
  const std::string scratch = ScratchFileName(leaf);
  ASSERT_TRUE(Exists(scratch));

  ASSERT_TRUE(Put(Id(3), Id(1), 0, Filled(100, 2)));
  EXPECT_FALSE(Exists(scratch)) << "the earlier scratch file is deleted";
  EXPECT_EQ(leaf->leaf().data.scratch(), nullptr);
  EXPECT_EQ(MemoryBytes(leaf), Filled(100, 2));

  const Bytes large = Filled(40000, 3);
  ASSERT_TRUE(Put(Id(3), Id(1), 0, large));
  EXPECT_EQ(leaf->leaf().data.memory(), nullptr);
  ASSERT_TRUE(Exists(scratch));
  EXPECT_EQ(FileSize(ScratchHandle(leaf)), 40000u);
  Bytes held(large.size());
  ASSERT_TRUE(platform::ReadAt(ScratchHandle(leaf), 0, held.data(), held.size()));
  EXPECT_EQ(held, large);

  // A large replacement of large data leaves one file with the new bytes.
  const Bytes larger = Filled(50000, 4);
  ASSERT_TRUE(Put(Id(3), Id(1), 0, larger));
  EXPECT_EQ(FileSize(ScratchHandle(leaf)), 50000u);
  EXPECT_EQ(OpenScratchFiles().size(), 1u);
}

TEST_P(UpdateTest, PruningAndEndingDeleteScratchFiles) {
  ASSERT_TRUE(Put(Id(3), Id(1), 0, Filled(40000, 1)));
  ASSERT_TRUE(Put(Id(9), Id(9), 0, Filled(40000, 2)));
  const std::string first = ScratchFileName(Leaf(Id(3), Id(1), 0));
  const std::string second = ScratchFileName(Leaf(Id(9), Id(9), 0));
  EXPECT_NE(first, second);
  ASSERT_TRUE(Exists(first));
  ASSERT_TRUE(Exists(second));
  ASSERT_TRUE(Delete(Id(3), Id(1), 0));
  EXPECT_FALSE(Exists(first));
  EXPECT_TRUE(Exists(second));
  EXPECT_TRUE(EndResourceUpdate(update_, true));
  update_ = nullptr;
  EXPECT_FALSE(Exists(second));
}

TEST_P(UpdateTest, DeletingAWholeTypeWithLargeLeavesDeletesTheirFiles) {
  ASSERT_TRUE(Put(Id(3), Id(1), 0, Filled(40000, 1)));
  ASSERT_TRUE(Put(Id(3), Id(2), 1033, Filled(40000, 2)));
  ASSERT_EQ(OpenScratchFiles().size(), 2u);
  ASSERT_TRUE(Delete(Id(3), Id(0), 0));
  EXPECT_EQ(Children(root()), "14,24");
  EXPECT_TRUE(LeftoverScratchFiles().empty());
}

TEST_P(UpdateTest, DeletingTheOnlyLeafPrunesUpToButNotTheRoot) {
  ASSERT_TRUE(Delete(Id(24), Id(1), 1033));
  EXPECT_EQ(Children(root()), "3,14");
  ASSERT_TRUE(Delete(Id(14), u"MAINICON", 0));
  EXPECT_EQ(Children(root()), "3");
  ASSERT_TRUE(Delete(Id(3), Id(1), 0));
  EXPECT_EQ(Shape(root()), "3{2{0,1033,2052}}");
  ASSERT_TRUE(Delete(Id(3), Id(2), 1033));
  EXPECT_EQ(Shape(root()), "3{2{0,2052}}");
  ASSERT_TRUE(Delete(Id(3), Id(2), 0));
  ASSERT_TRUE(Delete(Id(3), Id(2), 2052));
  ASSERT_NE(root(), nullptr);
  EXPECT_TRUE(root()->isDirectory());
  EXPECT_EQ(root()->firstChild.get(), nullptr);
  EXPECT_EQ(root()->directory().namedEntryCount + root()->directory().idEntryCount, 0u);
}

TEST_P(UpdateTest, DeletesThatFindNothingChangeNothing) {
  const std::string shape = Shape(root());
  EXPECT_TRUE(Delete(Id(99), Id(1), 0));
  EXPECT_TRUE(Delete(Id(3), Id(99), 1033));
  EXPECT_TRUE(Delete(Id(3), Id(2), 1040));
  EXPECT_TRUE(Delete(Id(14), u"mainicon", 0));
  EXPECT_TRUE(Delete(Id(3), Id(0), 1033)) << "name key 0 with a language is no wildcard";
  EXPECT_TRUE(Delete(Id(24), Id(5), 0));
  EXPECT_EQ(Shape(root()), shape);
}

TEST_P(UpdateTest, LanguageZeroDeletesTheLanguageZeroLeafWhenThereIsOne) {
  ASSERT_TRUE(Delete(Id(3), Id(2), 0));
  EXPECT_EQ(Shape(root()), "3{1{0},2{1033,2052}},14{MAINICON{0}},24{1{1033}}");
}

TEST_P(UpdateTest, LanguageZeroDeletesANameWithoutALanguageZeroLeaf) {
  ASSERT_TRUE(Delete(Id(24), Id(1), 0));
  EXPECT_EQ(Children(root()), "3,14") << "the name had only 1033; the emptied type goes too";
  ASSERT_TRUE(Delete(Id(3), Id(2), 1033));
  ASSERT_TRUE(Delete(Id(3), Id(2), 0));
  EXPECT_EQ(Shape(root()), "3{1{0},2{2052}},14{MAINICON{0}}");
  ASSERT_TRUE(Delete(Id(3), Id(2), 0));
  EXPECT_EQ(Shape(root()), "3{1{0}},14{MAINICON{0}}") << "the type keeps its other name";
}

TEST_P(UpdateTest, NameKeyZeroAndLanguageZeroDeleteAWholeType) {
  ASSERT_TRUE(Delete(Id(3), Id(0), 0));
  EXPECT_EQ(Children(root()), "14,24");
}

TEST_P(UpdateTest, NameKeyZeroIsANameWhenTheTypeHasANumberedNameZero) {
  ASSERT_TRUE(Put(Id(3), Id(0), 1033, Filled(4, 1)));
  EXPECT_EQ(Children(Child(root(), "3")), "0,1,2");
  ASSERT_TRUE(Delete(Id(3), Id(0), 0));
  EXPECT_EQ(Shape(root()), "3{1{0},2{0,1033,2052}},14{MAINICON{0}},24{1{1033}}");
}

TEST_P(UpdateTest, SortedInsertionUnderRootAndType) {
  ASSERT_TRUE(Put(u"Icons", Id(1), 0, Filled(1, 1)));
  ASSERT_TRUE(Put(u"AB", Id(1), 0, Filled(1, 1)));
  ASSERT_TRUE(Put(u"ICONS", Id(1), 0, Filled(1, 1)));
  ASSERT_TRUE(Put(Id(4), Id(1), 0, Filled(1, 1)));
  ASSERT_TRUE(Put(Id(30), Id(1), 0, Filled(1, 1)));
  EXPECT_EQ(Children(root()), "AB,ICONS,Icons,3,4,14,24,30");
  ASSERT_TRUE(Put(Id(3), u"b", 0, Filled(1, 1)));
  ASSERT_TRUE(Put(Id(3), u"B", 0, Filled(1, 1)));
  ASSERT_TRUE(Put(Id(3), Id(0), 0, Filled(1, 1)));
  EXPECT_EQ(Children(Child(root(), "3")), "B,b,0,1,2");
}

TEST(NullUpdateTest, MissingHandleResults) {
  const Bytes data = Filled(4, 1);
  EXPECT_TRUE(
      UpdateResourceData(nullptr, MakeIntResource(3), MakeIntResource(1), 0, data.data(), 4));
  EXPECT_TRUE(UpdateResourceData(nullptr, MakeIntResource(3), MakeIntResource(1), 0, nullptr, 0));
  const std::uint8_t* out = data.data();
  std::uint32_t size = 7;
  EXPECT_FALSE(GetResourceData(nullptr, MakeIntResource(3), MakeIntResource(1), 0, out, size));
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(size, 0u);
  out = data.data();
  EXPECT_FALSE(GetIconGroupData(nullptr, u"MAINICON", 0, out));
  EXPECT_EQ(out, nullptr);
  EXPECT_TRUE(EndResourceUpdate(nullptr, false));
  EXPECT_TRUE(EndResourceUpdate(nullptr, true));
}

// ------------------------------------------------- insertion on bare trees

struct BareDirectory {
  ResourceTree tree = TResItem::Directory();
  TResItem* root = tree.get();
};

TEST(InsertDirectoryTest, AnyInsertionOrderGivesNamesFirstThenNumbers) {
  std::array<int, 6> order = {0, 1, 2, 3, 4, 5};
  const std::u16string names[] = {u"ICONS", u"Icons", u"AB"};
  const std::uint16_t ids[] = {14, 3, 24};
  int permutations = 0;
  do {
    BareDirectory dir;
    for (int i : order) {
      TResItem* made = i < 3 ? InsertDirectory(dir.root, names[i].c_str())
                             : InsertDirectory(dir.root, MakeIntResource(ids[i - 3]));
      ASSERT_NE(made, nullptr);
      EXPECT_TRUE(made->isDirectory());
    }
    ASSERT_EQ(Children(dir.root), "AB,ICONS,Icons,3,14,24");
    EXPECT_EQ(dir.root->directory().namedEntryCount, 3u);
    EXPECT_EQ(dir.root->directory().idEntryCount, 3u);
    ++permutations;
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(permutations, 720);
}

TEST(InsertDirectoryTest, ANameThatIsAPrefixSortsFirstAndEqualsGoBefore) {
  BareDirectory dir;
  TResItem* abc = InsertDirectory(dir.root, u"ABC");
  InsertDirectory(dir.root, u"AB");
  InsertDirectory(dir.root, u"Z");
  InsertDirectory(dir.root, u"a");
  EXPECT_EQ(Children(dir.root), "AB,ABC,Z,a");
  TResItem* again = InsertDirectory(dir.root, u"ABC");
  EXPECT_EQ(dir.root->firstChild->nextSibling.get(), again)
      << "a new entry goes before an equal one";
  EXPECT_EQ(again->nextSibling.get(), abc);
  EXPECT_EQ(InsertDirectory(dir.root, MakeIntResource(0))->id, 0u);
  EXPECT_EQ(Children(dir.root), "AB,ABC,ABC,Z,a,0");
}

TEST(InsertLanguageLeafTest, LanguagesAscendInAnyOrder) {
  std::array<std::uint16_t, 3> order = {0, 1033, 2052};
  const Bytes data = Filled(3, 1);
  do {
    BareDirectory dir;
    for (std::uint16_t language : order) {
      TResItem* leaf = InsertLanguageLeaf(dir.root, language, data.data(), 3);
      ASSERT_NE(leaf, nullptr);
      EXPECT_FALSE(leaf->isDirectory());
      EXPECT_EQ(leaf->id, language);
    }
    EXPECT_EQ(Children(dir.root), "0,1033,2052");
    EXPECT_EQ(dir.root->directory().idEntryCount, 3u);
  } while (std::next_permutation(order.begin(), order.end()));
}

// ------------------------------------------ many numbered names at once

// A tree whose root lists type 14 before type 3 (as a file may), and whose
// type 3 holds a named entry, then the numbered names given, in that order
// (an id may repeat), each with leaves of the languages given, in order.
struct NameSpec {
  std::uint32_t id;
  std::vector<std::uint16_t> languages;
};

class LooseTree {
 public:
  explicit LooseTree(const std::vector<NameSpec>& names) {
    update.root = TResItem::Directory();
    TResItem* group = Append(root(), Directory(14));
    Append(Append(group, Directory(1)), Leaf(0, 1));
    TResItem* icons = Append(root(), Directory(3));
    TResItem* named = InsertDirectory(icons, u"NAMED");
    Append(named, Leaf(0, 2));
    for (const NameSpec& spec : names) {
      TResItem* name = Append(icons, Directory(spec.id));
      for (std::uint16_t language : spec.languages)
        Append(name, Leaf(language, static_cast<std::uint8_t>(spec.id + language)));
    }
  }
  TResItem* root() const { return update.root.get(); }
  // The numbered ids under type 3, ascending, each once.
  std::vector<std::uint32_t> IconIds() const {
    std::vector<std::uint32_t> ids;
    TResItem* icons = FindNamedChild(root(), MakeIntResource(3))->get();
    for (const TResItem* c = icons ? icons->firstChild.get() : nullptr; c != nullptr;
         c = c->nextSibling.get())
      if (c->name.empty()) ids.push_back(c->id);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
  }

  ResourceUpdate update;  // only its tree is used

 private:
  static ResourceTree Directory(std::uint32_t id) {
    ResourceTree node = TResItem::Directory();
    node->id = id;
    return node;
  }
  static ResourceTree Leaf(std::uint16_t language, std::uint8_t seed) {
    ResourceTree leaf = TResItem::Leaf();
    const Bytes data = Filled(4, seed);
    StoreLeafData(leaf.get(), language, data.data(), 4);
    return leaf;
  }
  static TResItem* Append(TResItem* parent, ResourceTree node) {
    LinkSlot slot = &parent->firstChild;
    while (*slot != nullptr) slot = &(*slot)->nextSibling;
    *slot = std::move(node);
    ++parent->directory().idEntryCount;
    return slot->get();
  }
};

// The bytes of leaf (id, language) under type 3, wherever they are kept.
Bytes IconBytes(TResItem* root, std::uint16_t id, std::uint16_t language) {
  TResItem* icons = FindNamedChild(root, MakeIntResource(3))->get();
  TResItem* name = icons ? FindNamedChild(icons, MakeIntResource(id))->get() : nullptr;
  TResItem* leaf = name ? FindLanguageChild(name, language)->get() : nullptr;
  if (leaf == nullptr) return {};
  Bytes bytes(leaf->leaf().dataSize);
  EXPECT_TRUE(leaf->leaf().data.Read(leaf->leaf().dataSize, bytes.data()));
  return bytes;
}

// One delete per id through UpdateResourceData, passing over names that do
// not exist: what a deletion of many names must leave.
void DeleteOneByOne(LooseTree& tree, const std::vector<std::uint16_t>& ids,
                    std::uint16_t language) {
  for (std::uint16_t id : ids) {
    TResItem* icons = FindNamedChild(tree.root(), MakeIntResource(3))->get();
    if (icons == nullptr || *FindNamedChild(icons, MakeIntResource(id)) == nullptr) continue;
    ASSERT_TRUE(UpdateResourceData(&tree.update, MakeIntResource(3), MakeIntResource(id), language,
                                   nullptr, 0));
  }
}

void ExpectDeletionAsOneByOne(const std::vector<NameSpec>& names,
                              const std::vector<std::uint16_t>& ids, std::uint16_t language,
                              const std::string& what) {
  SCOPED_TRACE(what);
  LooseTree bulk(names), single(names);
  NumberedDeletion deletion(bulk.root(), 3, ids, language);
  const std::vector<std::uint32_t> left = deletion.IdsLeft();
  EXPECT_EQ(Shape(bulk.root()), Shape(single.root())) << "worked out, nothing is removed yet";
  deletion.Apply();
  DeleteOneByOne(single, ids, language);
  EXPECT_EQ(Shape(bulk.root()), Shape(single.root()));
  EXPECT_EQ(left, single.IconIds());
  ExpectCountsConsistent(bulk.root());
}

struct DeletionCase {
  const char* what;
  std::vector<NameSpec> names;
  std::vector<std::uint16_t> ids;
  std::uint16_t language;
  const char* shape;  // the tree afterwards
};

TEST(NumberedDeletionTest, RemovesWhatOneDeleteAfterAnotherRemoves) {
  const std::string untouched = "14{1{0}},3{NAMED{0},";
  const DeletionCase cases[] = {
      {"ascending list, some names",
       {{1, {0}}, {2, {0}}, {3, {0}}, {5, {0}}},
       {5, 2},
       0,
       "1{0},3{0}}"},
      {"descending list, every name; the named entry keeps the type",
       {{9, {0}}, {7, {0}}, {4, {0}}},
       {4, 7, 9},
       0,
       ""},
      {"an id that names nothing, 0 among them, removes nothing",
       {{3, {0}}, {1, {0}}},
       {0, 2, 8},
       0,
       "3{0},1{0}}"},
      {"language 0 without such a leaf takes every language of the name",
       {{4, {1033, 2052}}, {5, {0, 1033}}},
       {4, 5},
       0,
       "5{1033}}"},
      {"an id listed twice with language 0 takes the leaf, then the name",
       {{5, {0, 1033}}, {6, {0, 1033}}},
       {5, 6, 5},
       0,
       "6{1033}}"},
      {"another language takes only its leaves, however often listed",
       {{5, {0, 1033}}, {6, {1033}}},
       {5, 5, 6, 7},
       1033,
       "5{0}}"},
      {"a name the directory lists twice: a removed one hands on to the next",
       {{5, {0}}, {2, {0}}, {5, {0, 1033}}},
       {5, 5, 5},
       0,
       "2{0}}"},
      {"a name listed twice that stays keeps the further deletes",
       {{5, {0, 1033}}, {5, {0}}},
       {5},
       1033,
       "5{0},5{0}}"},
      {"an empty name directory goes with language 0 only", {{5, {}}, {6, {}}}, {5, 6}, 0, ""},
      {"an empty name directory stays with another language", {{5, {}}}, {5}, 1033, "5{}}"},
  };
  for (const DeletionCase& c : cases) {
    ExpectDeletionAsOneByOne(c.names, c.ids, c.language, c.what);
    LooseTree tree(c.names);
    NumberedDeletion deletion(tree.root(), 3, c.ids, c.language);
    deletion.Apply();
    std::string expected = untouched + c.shape;
    if (std::string(c.shape).empty()) expected = untouched.substr(0, untouched.size() - 1) + "}";
    EXPECT_EQ(Shape(tree.root()), expected) << c.what;
  }
}

TEST(NumberedDeletionTest, AnEmptiedTypeIsPrunedAndTheRootStays) {
  LooseTree tree({{2, {0}}, {1, {0}}});
  TResItem* icons = FindNamedChild(tree.root(), MakeIntResource(3))->get();
  ASSERT_TRUE(UpdateResourceData(&tree.update, MakeIntResource(3), u"NAMED", 0, nullptr, 0));
  ASSERT_EQ(FindNamedChild(tree.root(), MakeIntResource(3))->get(), icons);
  NumberedDeletion deletion(tree.root(), 3, {1, 2}, 0);
  EXPECT_TRUE(deletion.IdsLeft().empty());
  deletion.Apply();
  EXPECT_EQ(Shape(tree.root()), "14{1{0}}");
  ExpectCountsConsistent(tree.root());
  NumberedDeletion none(tree.root(), 3, {1}, 0);  // no type any more
  EXPECT_TRUE(none.IdsLeft().empty());
  none.Apply();
  EXPECT_EQ(Shape(tree.root()), "14{1{0}}");
}

TEST(NumberedDeletionTest, LargeLeavesLoseTheirScratchFiles) {
  LooseTree tree({{4, {0}}, {5, {0}}});
  ASSERT_TRUE(UpdateResourceData(&tree.update, MakeIntResource(3), MakeIntResource(4), 0,
                                 Filled(40000, 1).data(), 40000));
  ASSERT_EQ(OpenScratchFiles().size(), 1u);
  NumberedDeletion deletion(tree.root(), 3, {4}, 0);
  deletion.Apply();
  EXPECT_TRUE(OpenScratchFiles().empty());
}

// One add per id through UpdateResourceData: what adding many must leave.
void ExpectInsertionAsOneByOne(const std::vector<NameSpec>& names,
                               const std::vector<std::uint16_t>& ids, std::uint16_t language,
                               const std::string& what, std::size_t size = 6) {
  SCOPED_TRACE(what);
  LooseTree bulk(names), single(names);
  std::vector<Bytes> data;
  std::vector<NumberedData> items;
  for (std::uint16_t id : ids) data.push_back(Filled(size, static_cast<std::uint8_t>(id * 3)));
  for (std::size_t i = 0; i < ids.size(); ++i)
    items.push_back(
        NumberedData{ids[i], data[i].data(), static_cast<std::uint32_t>(data[i].size())});
  {
    NumberedInsertion insertion(3, items, language);
    EXPECT_EQ(Shape(bulk.root()), Shape(single.root())) << "made, nothing is linked yet";
    ASSERT_TRUE(insertion.Link(bulk.root()));
  }
  for (const NumberedData& item : items)
    ASSERT_TRUE(UpdateResourceData(&single.update, MakeIntResource(3), MakeIntResource(item.id),
                                   language, item.data, item.size));
  EXPECT_EQ(Shape(bulk.root()), Shape(single.root()));
  ExpectCountsConsistent(bulk.root());
  for (std::size_t i = 0; i < ids.size(); ++i)
    EXPECT_EQ(IconBytes(bulk.root(), ids[i], language), data[i]) << "id " << ids[i];
}

TEST(NumberedInsertionTest, AddsWhatOneAddAfterAnotherAdds) {
  ExpectInsertionAsOneByOne({{2, {0}}, {4, {0}}, {9, {0}}}, {7, 1, 3, 12}, 0, "sorted list");
  ExpectInsertionAsOneByOne({{60, {0}}, {52, {0}}, {51, {0}}, {10, {0}}}, {55, 53, 70, 54, 1, 56},
                            0, "descending list: before the first entry not below each id");
  ExpectInsertionAsOneByOne({{5, {0}}, {30, {0, 2052}}, {20, {0}}}, {30, 25, 5, 21}, 1033,
                            "names that exist take a leaf at its language's place");
  ExpectInsertionAsOneByOne({{5, {0}}, {5, {2052}}}, {5}, 1033,
                            "a name listed twice: the first takes it");
  ExpectInsertionAsOneByOne({{3, {0}}}, {9, 4}, 0, "large data in scratch files", 40000);
  EXPECT_TRUE(LeftoverScratchFiles().empty());
}

TEST(NumberedInsertionTest, AMissingTypeIsMadeAtItsSortedPlace) {
  LooseTree tree(std::vector<NameSpec>{{1, {0}}});
  ASSERT_TRUE(
      UpdateResourceData(&tree.update, MakeIntResource(3), MakeIntResource(1), 0, nullptr, 0));
  ASSERT_TRUE(UpdateResourceData(&tree.update, MakeIntResource(3), u"NAMED", 0, nullptr, 0));
  ASSERT_EQ(Shape(tree.root()), "14{1{0}}");
  const Bytes data = Filled(3, 1);
  NumberedInsertion insertion(3, {{8, data.data(), 3}, {2, data.data(), 3}}, 0);
  ASSERT_TRUE(insertion.Link(tree.root()));
  EXPECT_EQ(Shape(tree.root()), "3{2{0},8{0}},14{1{0}}");
  ExpectCountsConsistent(tree.root());
}

TEST(NumberedInsertionTest, RefusalsLeaveTheTreeAsItWas) {
  LooseTree tree({{5, {0}}, {6, {1033}}});
  const std::string before = Shape(tree.root());
  const Bytes small = Filled(3, 1), large = Filled(40000, 2);
  {
    // A leaf of the language exists under one of the names.
    NumberedInsertion insertion(3, {{7, small.data(), 3}, {6, large.data(), 40000}}, 1033);
    EXPECT_FALSE(insertion.Link(tree.root()));
    EXPECT_EQ(Shape(tree.root()), before);
  }
  EXPECT_THROW(NumberedInsertion(3, {{7, small.data(), 3}, {7, large.data(), 40000}}, 0),
               std::invalid_argument);
  // The second scratch file cannot be made: the first one goes too.
  fault::InjectFailureAt(2);
  EXPECT_THROW(NumberedInsertion(3, {{7, large.data(), 40000}, {8, large.data(), 40000}}, 0),
               ScratchFileError);
  EXPECT_TRUE(fault::InjectedFailureHappened());
  fault::InjectFailureAt(0);
  EXPECT_EQ(Shape(tree.root()), before);
  EXPECT_TRUE(LeftoverScratchFiles().empty());
}

// Trees and id lists drawn at random, names and languages drawn from a few
// values so that they repeat: one pass must agree with one call per id.
TEST(NumberedBatchTest, AgreesWithOneCallPerIdOnRandomTrees) {
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  auto next = [&](std::uint32_t below) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return static_cast<std::uint32_t>(x % below);
  };
  const std::uint16_t languages[] = {0, 1033, 2052};
  for (int round = 0; round < 300; ++round) {
    std::vector<NameSpec> names(next(12));
    for (NameSpec& name : names) {
      name.id = next(16);
      for (std::uint32_t k = next(3); k > 0; --k) name.languages.push_back(languages[next(3)]);
      std::sort(name.languages.begin(), name.languages.end());
    }
    const std::uint16_t language = languages[next(3)];
    std::vector<std::uint16_t> doomed(next(9));
    for (std::uint16_t& id : doomed) id = static_cast<std::uint16_t>(next(16));
    ExpectDeletionAsOneByOne(names, doomed, language, "round " + std::to_string(round));

    // Ids to add: distinct, and without a leaf of the language already in
    // the first name directory of the id.
    std::vector<std::uint16_t> added;
    for (std::uint32_t k = next(10); k > 0; --k) {
      const auto id = static_cast<std::uint16_t>(next(20));
      const auto first =
          std::find_if(names.begin(), names.end(), [&](const NameSpec& n) { return n.id == id; });
      const bool taken = first != names.end() &&
                         std::find(first->languages.begin(), first->languages.end(), language) !=
                             first->languages.end();
      if (!taken && std::find(added.begin(), added.end(), id) == added.end()) added.push_back(id);
    }
    ExpectInsertionAsOneByOne(names, added, language, "round " + std::to_string(round));
    if (HasFailure()) break;
  }
}

// -------------------------------------------------------- scratch names

TEST(ScratchFileNameTest, TempDirectoryMarkerProcessIdAndIdentity) {
  BareDirectory a, b;
  const std::string name = ScratchFileName(a.root);
  const std::string dir = platform::TempDirectory();
  ASSERT_EQ(name.compare(0, dir.size(), dir), 0) << name;
  const std::string file = name.substr(dir.size());
  const std::string prefix = "$qor$res" + FormatHex(platform::CurrentProcessId(), 8, '0') + "$";
  ASSERT_EQ(file.compare(0, prefix.size(), prefix), 0) << file;
  ASSERT_EQ(prefix.size(), 18u);
  const std::string identity = file.substr(prefix.size());
  ASSERT_GE(identity.size(), 2u);
  EXPECT_EQ(identity.back(), '$');
  const std::string digits = identity.substr(0, identity.size() - 1);
  EXPECT_EQ(digits.find_first_not_of("0123456789abcdef"), std::string::npos) << digits;
  EXPECT_TRUE(digits == "0" || digits[0] != '0') << "no leading zeros: " << digits;
  EXPECT_EQ(ScratchFileName(a.root), name) << "the same node, the same name";
  EXPECT_NE(ScratchFileName(b.root), name);
}

TEST(FormatHexTest, DollarThenPaddedLowercaseDigits) {
  EXPECT_EQ(FormatHex(1234, 8, '0'), "$000004d2");
  EXPECT_EQ(FormatHex(255, 1, '0'), "$ff");
  EXPECT_EQ(FormatHex(0, 1, '0'), "$0");
  EXPECT_EQ(FormatHex(0, 8, '0'), "$00000000");
  EXPECT_EQ(FormatHex(0xFFFFFFFFu, 8, '0'), "$ffffffff");
  EXPECT_EQ(FormatHex(0xABCDEF, 2, '0'), "$abcdef") << "longer results are not cut";
  EXPECT_EQ(FormatHex(0x1F, 4, ' '), "$  1f");
  // The example of the format: process 1234, identity 255.
  EXPECT_EQ("$qor$res" + FormatHex(1234, 8, '0') + FormatHex(255, 1, '0') + "$",
            "$qor$res$000004d2$ff$");
}

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(CompareByteStringsTest, UnsignedBytesThenLength) {
  EXPECT_EQ(CompareByteStrings("AB", "AB"), 0);
  EXPECT_EQ(CompareByteStrings("", ""), 0);
  EXPECT_LT(CompareByteStrings("AB", "ABC"), 0);
  EXPECT_GT(CompareByteStrings("ABC", "AB"), 0);
  EXPECT_LT(CompareByteStrings("", "A"), 0);
  EXPECT_LT(CompareByteStrings("Z", "a"), 0) << "upper case before lower case";
  EXPECT_LT(CompareByteStrings("ICONS", "Icons"), 0);
  EXPECT_GT(CompareByteStrings("\xE9", "z"), 0) << "bytes are unsigned";
  EXPECT_LT(CompareByteStrings(std::string("a\0b", 3), std::string("a\0c", 3)), 0)
      << "zero bytes are compared too";
  EXPECT_EQ(Sign(CompareByteStrings("b", "a")), 1);
}

#ifndef _WIN32
// A symbolic link planted at a leaf's scratch name is not followed: the
// store fails and the link's target is untouched.
TEST(ScratchFileSafetyTest, APlantedSymbolicLinkIsNotFollowed) {
  TempFolder folder;
  const fs::path target = folder / "victim";
  WriteWholeFile(target, Bytes{'k', 'e', 'e', 'p'});
  BareDirectory dir;
  dir.root->firstChild = TResItem::Leaf();
  dir.root->directory().idEntryCount = 1;
  TResItem* leaf = dir.root->firstChild.get();
  const std::string scratch = ScratchFileName(leaf);
  fs::create_symlink(target, scratch);
  EXPECT_ANY_THROW(StoreLeafData(leaf, 0, Filled(40000, 1).data(), 40000));
  EXPECT_EQ(leaf->leaf().data.scratch(), nullptr);
  EXPECT_EQ(ReadWholeFile(target), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_TRUE(fs::is_symlink(scratch));
  fs::remove(scratch);
}

// Through the update: replacing a leaf's data by large data whose scratch
// name is taken by a planted link fails, and nothing reaches the target.
TEST_P(UpdateTest, LargeDataRefusesAPlantedLink) {
  TResItem* leaf = Leaf(Id(3), Id(1), 0);
  const fs::path target = file_.folder() / "victim";
  WriteWholeFile(target, Bytes{'k', 'e', 'e', 'p'});
  const std::string scratch = ScratchFileName(leaf);
  fs::create_symlink(target, scratch);
  EXPECT_FALSE(Put(Id(3), Id(1), 0, Filled(40000, 1)));
  Error error;
  EXPECT_FALSE(
      UpdateResourceData(update_, Id(3), Id(1), 0, Filled(40000, 1).data(), 40000, &error));
  EXPECT_EQ(error.kind, ErrorKind::Io);
  EXPECT_EQ(error.file, scratch);
  EXPECT_NE(error.osCode, 0u);
  EXPECT_EQ(ReadWholeFile(target), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_TRUE(fs::is_symlink(scratch));
  fs::remove(scratch);
}

// The commit's section image takes the root's scratch name: a link planted
// there makes the commit fail with the image file and the target unchanged.
TEST_P(UpdateTest, CommitRefusesAPlantedLinkAtTheSectionScratchName) {
  const fs::path target = file_.folder() / "victim";
  WriteWholeFile(target, Bytes{'k', 'e', 'e', 'p'});
  const std::string scratch = ScratchFileName(root());
  fs::create_symlink(target, scratch);
  ASSERT_TRUE(Put(Id(3), Id(1), 0, Filled(100, 1)));
  EXPECT_FALSE(EndResourceUpdate(update_, false));
  update_ = nullptr;
  EXPECT_EQ(ReadWholeFile(target), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_TRUE(fs::is_symlink(scratch));
  fs::remove(scratch);
  EXPECT_EQ(file_.Read(), original_);
}
#endif

INSTANTIATE_TEST_SUITE_P(Forms, UpdateTest, ::testing::Bool(), FormName);

}  // namespace
}  // namespace marovi::test
