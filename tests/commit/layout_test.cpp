// The layout of a new resource section: the measuring pass, the writing pass
// and the section image, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "engine/commit/commit.h"
#include "engine/commit/section_layout.h"
#include "engine/pe/bytes.h"
#include "tests/commit/commit_test_util.h"

namespace marovi::test {
namespace {

// Owns a hand-made tree.
struct Tree {
  ResourceTree owner = TResItem::Directory();
  TResItem* root = owner.get();
};

TResItem* AddChild(TResItem* parent, bool directory, std::uint32_t id, std::u16string name = {}) {
  ResourceTree node = directory ? TResItem::Directory() : TResItem::Leaf();
  node->id = id;
  node->name = std::move(name);
  if (node->name.empty()) ++parent->directory().idEntryCount;
  else ++parent->directory().namedEntryCount;
  LinkSlot slot = &parent->firstChild;
  while (*slot != nullptr) slot = &(*slot)->nextSibling;
  *slot = std::move(node);
  return slot->get();
}

TResItem* AddLeaf(TResItem* parent, std::uint16_t language, const Bytes& data) {
  TResItem* leaf = AddChild(parent, false, language);
  CompactByteString bytes;
  bytes.assign(data.begin(), data.end());
  leaf->leaf().data.SetMemory(std::move(bytes));
  leaf->leaf().dataSize = static_cast<std::uint32_t>(data.size());
  return leaf;
}

// The section of the worked example, written out from its table: types 3 and
// 14; 3/1/0 holds 10 bytes, 14/MAINICON/0 holds 20 bytes.
Bytes WorkedExampleSection(std::uint32_t rva, const Bytes& first, const Bytes& second) {
  Bytes b(212, 0);
  // Root: 0 named, 2 numbered.
  Set16(b, 14, 2);
  Set32(b, 16, 3);
  Set32(b, 20, 0x80000000u | 32);
  Set32(b, 24, 14);
  Set32(b, 28, 0x80000000u | 96);
  // Type 3: one numbered entry, name 1.
  Set16(b, 32 + 14, 1);
  Set32(b, 48, 1);
  Set32(b, 52, 0x80000000u | 56);
  // Name 1: language 0, a data entry at 80.
  Set16(b, 56 + 14, 1);
  Set32(b, 72, 0);
  Set32(b, 76, 80);
  Set32(b, 80, rva + 180);
  Set32(b, 84, 10);
  // Type 14: one named entry whose string is at 160.
  Set16(b, 96 + 12, 1);
  Set32(b, 112, 0x80000000u | 160);
  Set32(b, 116, 0x80000000u | 120);
  // MAINICON: language 0, a data entry at 144.
  Set16(b, 120 + 14, 1);
  Set32(b, 136, 0);
  Set32(b, 140, 144);
  Set32(b, 144, rva + 192);
  Set32(b, 148, 20);
  // The name string, 2 zero bytes, then the data.
  Set16(b, 160, 8);
  const std::u16string name = u"MAINICON";
  for (std::size_t i = 0; i < name.size(); ++i) Set16(b, 162 + 2 * i, name[i]);
  std::memcpy(b.data() + 180, first.data(), 10);
  std::memcpy(b.data() + 192, second.data(), 20);
  return b;
}

TEST(LayoutTest, WorkedExampleFromAHandMadeTree) {
  const Bytes first = Filled(10, 0x31), second = Filled(20, 0x52);
  Tree tree;
  AddLeaf(AddChild(AddChild(tree.root, true, 3), true, 1), 0, first);
  AddLeaf(AddChild(AddChild(tree.root, true, 14), true, 0, u"MAINICON"), 0, second);

  std::uint32_t dirBytes = 0, nameBytes = 0, dataBytes = 0;
  MeasureResourceTree(tree.root, dirBytes, nameBytes, dataBytes);
  EXPECT_EQ(dirBytes, 160u);
  EXPECT_EQ(nameBytes, 18u);
  EXPECT_EQ(dataBytes, 32u);

  // The writing pass alone, into a buffer with a guard area behind it.
  const std::uint32_t rva = 0x5000;
  Bytes buffer(212 + 64, 0xEE);
  std::memset(buffer.data(), 0, 212);
  SectionCursor cursor{buffer.data(), 212, rva, 0, 160, 180};
  ASSERT_TRUE(WriteResourceTree(tree.root, cursor));
  EXPECT_EQ(cursor.dirPos, 160u);
  EXPECT_EQ(cursor.namePos, 178u);
  EXPECT_EQ(cursor.dataPos, 212u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 212), WorkedExampleSection(rva, first, second));
  EXPECT_EQ(Bytes(buffer.begin() + 212, buffer.end()), Bytes(64, 0xEE));

  // The section image in its scratch file.
  SectionImage image = BuildResourceSection(rva, tree.root, dirBytes, nameBytes, dataBytes);
  ASSERT_NE(image.view, nullptr);
  EXPECT_EQ(image.size, 212u);
  EXPECT_EQ(Bytes(image.view, image.view + 212), WorkedExampleSection(rva, first, second));
  image.Release();
  EXPECT_EQ(image.view, nullptr);
  EXPECT_TRUE(LeftoverScratchFiles().empty());
}

class LayoutInImageTest : public ::testing::TestWithParam<bool> {
 protected:
  void TearDown() override { EXPECT_TRUE(LeftoverScratchFiles().empty()); }
};

TEST_P(LayoutInImageTest, WorkedExampleCommittedWithFileAlignment512) {
  ImageSpec spec = SpecWith(GetParam(), {{24, 1, 1033, Filled(700, 9)}, {16, 1, 0, Filled(90, 8)}});
  spec.fileAlignment = 512;
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(64, 3), 0, kDiscardableData}};
  spec.appended = Filled(33, 4);
  const Bytes before = BuildImage(spec);
  ImageFile file(before);
  const Bytes first = Filled(10, 0x31), second = Filled(20, 0x52);
  {
    UpdateGuard u(file.Begin(true));
    ASSERT_TRUE(u);
    ASSERT_TRUE(
        UpdateResourceData(u.get(), MakeIntResource(14), u"MAINICON", 0, second.data(), 20));
    ASSERT_TRUE(
        UpdateResourceData(u.get(), MakeIntResource(3), MakeIntResource(1), 0, first.data(), 10));
    ASSERT_TRUE(u.End(false));
  }
  const Bytes after = file.Read();
  const Headers h(after);
  const std::uint32_t s = h.Sec(ResourceSectionIndex(after));
  const std::uint32_t rva = Get32(after, s + kVirtualAddress),
                      ptr = Get32(after, s + kPointerToRawData);
  EXPECT_EQ(Bytes(after.begin() + ptr, after.begin() + ptr + 212),
            WorkedExampleSection(rva, first, second));
  EXPECT_EQ(Get32(after, s + kSizeOfRawData), 512u);
  EXPECT_EQ(Get32(after, s + kVirtualSize), 212u);
  EXPECT_EQ(Get32(after, h.Dir(2) + 4), 212u);
  EXPECT_EQ(Bytes(after.begin() + ptr + 212, after.begin() + ptr + 512), Bytes(300, 0));
  ExpectCommitted(before, after, {{"#3/#1/0", {first}}, {"#14/MAINICON/0", {second}}});
}

TEST_P(LayoutInImageTest, EmptyTreeIsOneRootTableInOneFileAlignment) {
  ImageSpec spec =
      SpecWith(GetParam(), {{3, 1, 0, Filled(3000, 1)}, {14, u"MAINICON", 0, Filled(20, 2)}});
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(64, 3), 0, kDiscardableData}};
  const Bytes before = BuildImage(spec);
  ImageFile file(before);
  {
    UpdateGuard u(file.Begin());
    ASSERT_TRUE(u);
    // Deleting the whole types leaves the root without children.
    ASSERT_TRUE(UpdateResourceData(u.get(), MakeIntResource(3), MakeIntResource(0), 0, nullptr, 0));
    ASSERT_TRUE(
        UpdateResourceData(u.get(), MakeIntResource(14), MakeIntResource(0), 0, nullptr, 0));
    ASSERT_EQ(u->root.get()->firstChild.get(), nullptr);
    ASSERT_TRUE(u.End(false));
  }
  const Bytes after = file.Read();
  const Headers h(after);
  const std::uint32_t s = h.Sec(ResourceSectionIndex(after));
  EXPECT_EQ(Get32(after, s + kVirtualSize), 16u);
  EXPECT_EQ(Get32(after, s + kSizeOfRawData), 0x200u);
  EXPECT_EQ(Get32(after, h.Dir(2) + 4), 16u);
  const std::uint32_t ptr = Get32(after, s + kPointerToRawData);
  EXPECT_EQ(Bytes(after.begin() + ptr, after.begin() + ptr + 0x200), Bytes(0x200, 0));
  const CommitDeltas d = ExpectCommitted(before, after, {});
  EXPECT_LT(d.raw, 0);
}

INSTANTIATE_TEST_SUITE_P(Forms, LayoutInImageTest, ::testing::Bool(), FormName);

TEST(LayoutTest, ZeroSizeLeafPointsAtTheDataPositionWhichDoesNotAdvance) {
  Tree tree;
  TResItem* name = AddChild(AddChild(tree.root, true, 6), true, 1);
  AddLeaf(name, 0, Filled(5, 1));
  AddLeaf(name, 7, {});
  AddLeaf(name, 9, Filled(4, 2));
  std::uint32_t dirBytes = 0, nameBytes = 0, dataBytes = 0;
  MeasureResourceTree(tree.root, dirBytes, nameBytes, dataBytes);
  EXPECT_EQ(dirBytes, 24u + 24 + 40 + 3 * 16);
  EXPECT_EQ(nameBytes, 0u);
  EXPECT_EQ(dataBytes, 8u + 0 + 4);
  const std::uint32_t dataStart = dirBytes;
  SectionImage image = BuildResourceSection(0x3000, tree.root, dirBytes, nameBytes, dataBytes);
  ASSERT_NE(image.view, nullptr);
  const Bytes b(image.view, image.view + image.size);
  image.Release();
  // The data entries follow the name table, at 88, 104 and 120.
  const std::uint32_t entries = 24 + 24 + 40;
  EXPECT_EQ(Get32(b, entries + 0), 0x3000 + dataStart);
  EXPECT_EQ(Get32(b, entries + 16), 0x3000 + dataStart + 8);
  EXPECT_EQ(Get32(b, entries + 16 + 4), 0u);
  EXPECT_EQ(Get32(b, entries + 32), 0x3000 + dataStart + 8);
  EXPECT_EQ(Bytes(b.begin() + dataStart + 8, b.end()), Filled(4, 2));
}

TEST(LayoutTest, DirectoryHeaderFieldsCodePagesAndNamedTypesAreWritten) {
  Tree tree;
  tree.root->directory().characteristics = 0x11223344;
  tree.root->directory().timeDateStamp = 0x55667788;
  tree.root->directory().majorVersion = 4;
  tree.root->directory().minorVersion = 2;
  TResItem* named = AddChild(tree.root, true, 0, u"AB");
  TResItem* numbered = AddChild(tree.root, true, 5);
  TResItem* leaf = AddLeaf(AddChild(named, true, 0, u"X"), 1033, Filled(3, 1));
  leaf->leaf().codePage = 1252;
  leaf->leaf().reserved = 0xDEADBEEF;
  AddLeaf(AddChild(numbered, true, 2), 0, Filled(6, 2));
  std::uint32_t dirBytes = 0, nameBytes = 0, dataBytes = 0;
  MeasureResourceTree(tree.root, dirBytes, nameBytes, dataBytes);
  EXPECT_EQ(nameBytes, 6u + 4);
  SectionImage image = BuildResourceSection(0x7000, tree.root, dirBytes, nameBytes, dataBytes);
  ASSERT_NE(image.view, nullptr);
  const Bytes b(image.view, image.view + image.size);
  image.Release();
  EXPECT_EQ(Get32(b, 0), 0x11223344u);
  EXPECT_EQ(Get32(b, 4), 0x55667788u);
  EXPECT_EQ(Get16(b, 8), 4u);
  EXPECT_EQ(Get16(b, 10), 2u);
  EXPECT_EQ(Get16(b, 12), 1u);
  EXPECT_EQ(Get16(b, 14), 1u);
  // Names in the pre-order of their entries: AB (the type), then X.
  EXPECT_EQ(Get32(b, 16), 0x80000000u | dirBytes);
  EXPECT_EQ(Get16(b, dirBytes), 2u);
  EXPECT_EQ(Get16(b, dirBytes + 6), 1u);
  EXPECT_EQ(Get16(b, dirBytes + 8), u'X');
  // The leaf of AB/X: the first data entry, after root (32), AB (24), X (24).
  EXPECT_EQ(Get32(b, 80 + 8), 1252u);
  EXPECT_EQ(Get32(b, 80 + 12), 0xDEADBEEFu);
  EXPECT_EQ(Get32(b, 80 + 4), 3u);
}

}  // namespace
}  // namespace marovi::test
