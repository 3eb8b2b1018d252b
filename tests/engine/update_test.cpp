// Adding, replacing, deleting and looking up resources in an update of a
// file, and the scratch files that hold large new data.
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
