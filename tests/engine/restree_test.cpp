// Reading a resource directory into a tree, lookups, and refusing malformed
// directories.
#include "engine/tree/restree.h"

#include <gtest/gtest.h>

#include "engine/pe/bytes.h"
#include "engine/pe/image.h"
#include "tests/engine/engine_test_util.h"

namespace marovi::test {
namespace {

// The tree of an image held in a buffer, freed with the object.
class ParsedTree {
 public:
  explicit ParsedTree(const Bytes& image) {
    const ImageFacts f = ReadFacts(image);
    root_ = ParseResourceTree(image.data(), static_cast<std::uint32_t>(image.size()),
                              f.resourcePointerToRawData, f.resourceSizeOfRawData,
                              f.resourceVirtualAddress);
  }
  TResItem* root() const { return root_.get(); }

 private:
  ResourceTree root_;
};

ResourceTree Parse(const Bytes& image) {
  const ImageFacts f = ReadFacts(image);
  return ParseResourceTree(image.data(), static_cast<std::uint32_t>(image.size()),
                           f.resourcePointerToRawData, f.resourceSizeOfRawData,
                           f.resourceVirtualAddress);
}

class ResourceTreeTest : public ::testing::TestWithParam<bool> {};

TEST_P(ResourceTreeTest, ReadsTheDirectoryInTableOrderWithLeavesInTheImage) {
  const Bytes icon = Filled(300, 1);
  ImageSpec spec = SpecWith(GetParam(), {{14, u"MAINICON", 0, Filled(20, 2)},
                                         {3, 2, 1033, icon, 1252, 77},
                                         {3, 2, 0, Filled(7, 3)},
                                         {3, 1, 0, Filled(10, 4)},
                                         {u"ICONS", u"Icons", 2052, Filled(5, 5)}});
  const Bytes image = BuildImage(spec);
  ParsedTree tree(image);
  TResItem* root = tree.root();
  ASSERT_NE(root, nullptr);
  EXPECT_TRUE(root->isDirectory());
  EXPECT_EQ(root->id, 0u);
  EXPECT_TRUE(root->name.empty());
  EXPECT_EQ(Shape(root), "ICONS{Icons{2052}},3{1{0},2{0,1033}},14{MAINICON{0}}");
  ExpectCountsConsistent(root);
  EXPECT_EQ(root->directory().namedEntryCount, 1u);
  EXPECT_EQ(root->directory().idEntryCount, 2u);

  TResItem* leaf = Child(Child(Child(root, "3"), "2"), "1033");
  ASSERT_NE(leaf, nullptr);
  EXPECT_FALSE(leaf->isDirectory());
  EXPECT_EQ(leaf->leaf().dataSize, 300u);
  EXPECT_EQ(leaf->leaf().codePage, 1252u);
  EXPECT_EQ(leaf->leaf().reserved, 77u);
  EXPECT_EQ(leaf->leaf().data.memory(), nullptr);
  EXPECT_EQ(leaf->leaf().data.scratch(), nullptr);
  ASSERT_NE(leaf->leaf().data.view(), nullptr);
  EXPECT_GE(leaf->leaf().data.view(), image.data());
  EXPECT_LE(leaf->leaf().data.view() + 300, image.data() + image.size())
      << "the leaf points into the view";
  EXPECT_EQ(Bytes(leaf->leaf().data.view(), leaf->leaf().data.view() + 300), icon);
}

TEST_P(ResourceTreeTest, CopiesDirectoryHeaderFields) {
  Bytes image = BuildImage(SpecWith(GetParam(), {{3, 1, 0, Filled(10, 4)}}));
  std::uint8_t* table = image.data() + ReadFacts(image).resourcePointerToRawData;
  StoreU32(table + 0, 0xA1B2C3D4);
  StoreU32(table + 4, 0x5F5E1000);
  StoreU16(table + 8, 4);
  StoreU16(table + 10, 7);
  ParsedTree tree(image);
  EXPECT_EQ(tree.root()->directory().characteristics, 0xA1B2C3D4u);
  EXPECT_EQ(tree.root()->directory().timeDateStamp, 0x5F5E1000u);
  EXPECT_EQ(tree.root()->directory().majorVersion, 4u);
  EXPECT_EQ(tree.root()->directory().minorVersion, 7u);
}

TEST_P(ResourceTreeTest, AnEmptyRootHasNoChildren) {
  ParsedTree tree(BuildImage(SpecWith(GetParam(), {})));
  ASSERT_NE(tree.root(), nullptr);
  EXPECT_TRUE(tree.root()->isDirectory());
  EXPECT_EQ(tree.root()->firstChild.get(), nullptr);
  EXPECT_EQ(tree.root()->directory().namedEntryCount + tree.root()->directory().idEntryCount, 0u);
}

INSTANTIATE_TEST_SUITE_P(Forms, ResourceTreeTest, ::testing::Bool(), FormName);

// ----------------------------------------------------------------- lookups

class LookupTest : public ::testing::Test {
 protected:
  LookupTest()
      : image_(BuildImage(SpecWith(false, {{u"ICONS", 1, 0, Filled(4, 1)},
                                           {u"Icons", 1, 0, Filled(4, 2)},
                                           {u"3", 1, 0, Filled(4, 3)},
                                           {3, 7, 1033, Filled(4, 4)},
                                           {3, 7, 2052, Filled(4, 5)},
                                           {14, 1, 0, Filled(4, 6)}}))),
        tree_(image_) {}
  TResItem* root() { return tree_.root(); }
  TResItem* Last(TResItem* dir) {
    TResItem* n = dir->firstChild.get();
    while (n != nullptr && n->nextSibling.get() != nullptr) n = n->nextSibling.get();
    return n;
  }
  Bytes image_;
  ParsedTree tree_;
};

TEST_F(LookupTest, NumbersMatchOnlyNumberedDirectories) {
  ASSERT_EQ(Children(root()), "3,ICONS,Icons,3,14");
  LinkSlot slot = FindNamedChild(root(), MakeIntResource(3));
  ASSERT_NE(*slot, nullptr);
  EXPECT_TRUE((*slot)->name.empty()) << "the numeric key 3 does not match the name \"3\"";
  EXPECT_EQ((*slot)->id, 3u);
  EXPECT_EQ(FindNamedChild(root(), MakeIntResource(14)), &(*slot)->nextSibling);
}

TEST_F(LookupTest, NamesMatchExactly) {
  LinkSlot named3 = FindNamedChild(root(), u"3");
  ASSERT_NE(*named3, nullptr);
  EXPECT_EQ((*named3)->name, u"3");
  EXPECT_EQ(named3, &root()->firstChild);
  LinkSlot icons = FindNamedChild(root(), u"Icons");
  ASSERT_NE(*icons, nullptr);
  EXPECT_EQ((*icons)->name, u"Icons");
  LinkSlot upper = FindNamedChild(root(), u"ICONS");
  ASSERT_NE(*upper, nullptr);
  EXPECT_EQ((*upper)->name, u"ICONS");
  EXPECT_EQ(*FindNamedChild(root(), u"icons"), nullptr) << "letter case differs";
  EXPECT_EQ(*FindNamedChild(root(), u"ICON"), nullptr) << "a prefix is another name";
  EXPECT_EQ(*FindNamedChild(root(), u"ICONSX"), nullptr);
}

TEST_F(LookupTest, AnEmptyStringKeyMatchesTheFirstNumberedDirectory) {
  LinkSlot slot = FindNamedChild(root(), u"");
  ASSERT_NE(*slot, nullptr);
  EXPECT_TRUE((*slot)->name.empty());
  EXPECT_EQ((*slot)->id, 3u);
}

TEST_F(LookupTest, AMissOfNamedChildReturnsTheFinalLink) {
  EXPECT_EQ(FindNamedChild(root(), MakeIntResource(99)), &Last(root())->nextSibling);
  EXPECT_EQ(FindNamedChild(root(), u"NOPE"), &Last(root())->nextSibling);
  const ResourceTree empty = TResItem::Directory();
  EXPECT_EQ(FindNamedChild(empty.get(), MakeIntResource(1)), &empty->firstChild);
  EXPECT_EQ(FindLanguageChild(empty.get(), 0), &empty->firstChild);
}

TEST_F(LookupTest, LanguagesMatchOnlyLeavesOfThatLanguage) {
  TResItem* name7 =
      FindNamedChild(FindNamedChild(root(), MakeIntResource(3))->get(), MakeIntResource(7))->get();
  ASSERT_NE(name7, nullptr);
  EXPECT_EQ(Children(name7), "1033,2052");
  EXPECT_EQ((*FindLanguageChild(name7, 2052))->id, 2052u);
  EXPECT_EQ(FindLanguageChild(name7, 1033), &name7->firstChild);
  EXPECT_EQ(FindLanguageChild(name7, 0), &Last(name7)->nextSibling)
      << "language 0 matches only language 0";
  // Directories are never found as languages, leaves never as names.
  TResItem* type3 = FindNamedChild(root(), MakeIntResource(3))->get();
  EXPECT_EQ(*FindLanguageChild(type3, 7), nullptr);
  EXPECT_EQ(*FindNamedChild(name7, MakeIntResource(1033)), nullptr);
}

TEST(ResourceTreeOwnershipTest, ALinkFreesTheNodeItsFollowersAndTheirChildren) {
  const Bytes image = BuildImage(
      SpecWith(false, {{3, 1, 0, Filled(4, 1)}, {3, 2, 0, Filled(4, 1)}, {5, 1, 0, Filled(4, 1)}}));
  ResourceTree root = Parse(image);
  TResItem* type3 = root->firstChild.get();
  type3->firstChild.reset();  // both names of type 3
  EXPECT_EQ(Shape(root.get()), "3{},5{1{0}}");
  root.reset();  // the sanitizer reports what was not freed
}

TEST(ResourceTreeOwnershipTest, AVeryLongListIsFreedWithoutRecursingAlongIt) {
  // One frame per sibling would overflow the stack long before this.
  ResourceTree root = TResItem::Directory();
  LinkSlot tail = &root->firstChild;
  for (std::uint32_t id = 0; id < 1'000'000; ++id) {
    *tail = TResItem::Leaf();
    (*tail)->id = id;
    tail = &(*tail)->nextSibling;
  }
  root.reset();
  EXPECT_EQ(root, nullptr);
}

TEST(ResourceTreeOwnershipTest, ANodeIsADirectoryOrALeafForItsLife) {
  const ResourceTree directory = TResItem::Directory();
  const ResourceTree leaf = TResItem::Leaf();
  EXPECT_TRUE(directory->isDirectory());
  EXPECT_FALSE(leaf->isDirectory());
  EXPECT_THROW(directory->leaf(), std::bad_variant_access);
  EXPECT_THROW(leaf->directory(), std::bad_variant_access);
  EXPECT_TRUE(leaf->leaf().data.none());
  EXPECT_EQ(directory->directory().namedEntryCount + directory->directory().idEntryCount, 0u);
}

// ------------------------------------------------------ malformed directories

// The single resource {3, 1, 0} is laid out as: root table at 0 (one entry at
// 16), type table at 24 (entry at 40), name table at 48 (entry at 64), data
// entry at 72, data at 88.
class MalformedTest : public ::testing::TestWithParam<bool> {
 protected:
  MalformedTest()
      : image_(BuildImage(SpecWith(GetParam(), {{3, 1, 0, Filled(10, 4)}}))),
        facts_(ReadFacts(image_)) {}
  void SetUp() override {
    ASSERT_EQ(U32(20), 0x80000000u | 24);
    ASSERT_EQ(U32(44), 0x80000000u | 48);
    ASSERT_EQ(U32(68), 72u);
    ASSERT_EQ(U32(72), facts_.resourceVirtualAddress + 88);
  }
  std::uint32_t U32(std::uint32_t offset) const {
    return LoadU32(image_.data() + facts_.resourcePointerToRawData + offset);
  }
  void Set32(std::uint32_t offset, std::uint32_t v) {
    StoreU32(image_.data() + facts_.resourcePointerToRawData + offset, v);
  }
  void Set16(std::uint32_t offset, std::uint16_t v) {
    StoreU16(image_.data() + facts_.resourcePointerToRawData + offset, v);
  }
  void ExpectRefused(const char* what) { EXPECT_THROW(Parse(image_), ImageFormatError) << what; }
  Bytes image_;
  ImageFacts facts_;
};

TEST_P(MalformedTest, TheUnchangedImageReads) {
  ParsedTree tree(image_);
  EXPECT_EQ(Shape(tree.root()), "3{1{0}}");
}

TEST_P(MalformedTest, SubdirectoryOutsideTheSection) {
  Set32(20, 0x80000000u | facts_.resourceSizeOfRawData);
  ExpectRefused("table at the section's end");
  Set32(20, 0x80000000u | (facts_.resourceSizeOfRawData - 8));
  ExpectRefused("table cut by the section's end");
  Set32(20, 0xFFFFFFFFu);
  ExpectRefused("table at 0x7fffffff");
}

TEST_P(MalformedTest, EntriesRunningPastTheSection) {
  Set16(14, 0xFFFF);
  ExpectRefused("65535 entries");
}

TEST_P(MalformedTest, DataEntryOutsideTheSection) {
  Set32(68, facts_.resourceSizeOfRawData - 8);
  ExpectRefused("data entry cut by the section's end");
  Set32(68, 0x7FFFFFF0u);
  ExpectRefused("data entry far outside");
}

// Resource data must lie in the resource section's data in the file (its
// RVA is turned into a file offset by the section's addresses).
TEST_P(MalformedTest, DataOutsideTheSection) {
  const std::uint32_t rva = facts_.resourceVirtualAddress;
  const std::uint32_t rawSize = facts_.resourceSizeOfRawData;
  Set32(72, rva + 0x100000);
  ExpectRefused("data far beyond the section");
  Set32(72, rva - 4);
  ExpectRefused("data just before the section");
  Set32(72, rva - facts_.resourcePointerToRawData - 4);
  ExpectRefused("data before the file's start");
  Set32(72, rva + rawSize - 8);
  Set32(76, 9);
  ExpectRefused("data running past the section by one byte");
  Set32(76, 8);
  {
    ParsedTree tree(image_);
    const TResItem* leaf = tree.root()->firstChild->firstChild->firstChild.get();
    EXPECT_EQ(leaf->leaf().data.view(),
              image_.data() + facts_.resourcePointerToRawData + rawSize - 8)
        << "the last 8 bytes of the section";
  }
  Set32(72, rva + 88);
  Set32(76, 0x7FFFFFFF);
  ExpectRefused("data size past the section");
  Set32(76, 0xFFFFFFF0u);
  ExpectRefused("data size wrapping around");
}

TEST_P(MalformedTest, NameStringsPastTheEnd) {
  const std::uint32_t last = facts_.resourceSizeOfRawData - 2;
  Set32(16, 0x80000000u | last);
  Set16(12, 1);  // the root's entry is now a named one
  Set16(14, 0);
  Set16(static_cast<std::uint32_t>(last), 100);
  ExpectRefused("name length past the section");
  Set32(16, 0x80000000u | facts_.resourceSizeOfRawData);
  ExpectRefused("name at the section's end");
  Set32(16, 0xFFFFFFFFu);
  ExpectRefused("name at 0x7fffffff");
}

TEST_P(MalformedTest, CycleBackToAnAncestor) {
  Set32(68, 0x80000000u);  // the name directory's entry leads to the root table
  ExpectRefused("cycle to the root");
}

TEST_P(MalformedTest, DirectoryThatContainsItself) {
  Set32(44, 0x80000000u | 24);
  ExpectRefused("self-reference");
}

// Two entries of type 3 lead to the name table of the first.
TEST_P(MalformedTest, TableReferredToByTwoEntries) {
  image_ = BuildImage(SpecWith(GetParam(), {{3, 1, 0, Filled(10, 4)}, {3, 2, 0, Filled(10, 5)}}));
  facts_ = ReadFacts(image_);
  const std::uint32_t type3 = U32(20) & 0x7FFFFFFFu;
  ASSERT_EQ(U32(type3 + 16), 1u);
  ASSERT_EQ(U32(type3 + 24), 2u);
  Set32(type3 + 16 + 8 + 4, U32(type3 + 16 + 4));
  try {
    Parse(image_);
    ADD_FAILURE() << "a name table read twice was accepted";
  } catch (const ImageFormatError& e) {
    EXPECT_NE(std::string(e.what()).find("referred to by more than one entry"), std::string::npos)
        << e.what();
    EXPECT_EQ(e.error().kind, ErrorKind::MalformedImage);
  }
}

// Twelve tables of eight entries each, every entry leading to the next table:
// read naively that is 8^12 entries. The reader stops once it has read more
// entries than the section has room for.
TEST_P(MalformedTest, FanOutOfSharedTablesIsRefusedWithoutReadingItAll) {
  image_ = BuildImage(SpecWith(GetParam(), {{3, 1, 0, Filled(1024, 4)}}));
  facts_ = ReadFacts(image_);
  constexpr std::uint32_t kFirst = 88, kTableSize = 16 + 8 * 8, kLevels = 12;
  for (std::uint32_t level = 0; level < kLevels; ++level) {
    const std::uint32_t table = kFirst + level * kTableSize;
    for (std::uint32_t k = 0; k < 4; ++k) Set32(table + 4 * k, 0);
    Set16(table + 14, 8);
    const std::uint32_t next = level + 1 < kLevels ? 0x80000000u | (table + kTableSize) : 72;
    for (std::uint32_t k = 0; k < 8; ++k) {
      Set32(table + 16 + 8 * k, k + 1);
      Set32(table + 16 + 8 * k + 4, next);
    }
  }
  Set32(20, 0x80000000u | kFirst);
  ExpectRefused("fan-out of shared tables");
}

INSTANTIATE_TEST_SUITE_P(Forms, MalformedTest, ::testing::Bool(), FormName);

// A type directory holding a data entry directly keeps it as a leaf, which
// the name lookup passes over.
TEST(ShallowTreeTest, LeafDirectlyUnderATypeIsKeptAndNotFoundAsAName) {
  Bytes image = BuildImage(SpecWith(false, {{3, 1, 0, Filled(10, 4)}}));
  const ImageFacts f = ReadFacts(image);
  StoreU32(image.data() + f.resourcePointerToRawData + 44, 72);  // type 3's entry -> the data entry
  ParsedTree tree(image);
  TResItem* type3 = tree.root()->firstChild.get();
  ASSERT_NE(type3, nullptr);
  ASSERT_NE(type3->firstChild.get(), nullptr);
  EXPECT_FALSE(type3->firstChild->isDirectory());
  EXPECT_EQ(type3->firstChild->id, 1u);
  EXPECT_EQ(type3->firstChild->leaf().dataSize, 10u);
  EXPECT_EQ(*FindNamedChild(type3, MakeIntResource(1)), nullptr);
  EXPECT_EQ(FindLanguageChild(type3, 1)->get(), type3->firstChild.get());
}

}  // namespace
}  // namespace marovi::test
