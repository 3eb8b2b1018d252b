// Insertions into bare trees in their sorted places, and the numbered
// changes that delete or add many names at once as one call per id would.
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

// ------------------------------------------------- insertion on bare trees

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

}  // namespace
}  // namespace marovi::test
