// What a commit refuses, and what it does instead where it can: the check of
// its result, new sections for images that need one, and images it cannot
// write back.
#include "tests/commit/commit_test_support.h"

namespace marovi::test {
namespace {

// ------------------------------------------------------- what is refused

// The check a commit makes of its result before it counts: each damage
// that the commit could do, done by hand to a good result, is caught.
TEST_P(CommitTest, TheCheckOfTheResultCatchesWhatWentWrong) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(100, 1)},
                         {14, u"MAINICON", 0, Filled(20, 2)},
                         {10, 7, 1033, Filled(50, 3)}});
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x300, 7)}};
  spec.directories = {{5, ".reloc", 0, 0x300}};
  const Bytes good = BuildImage(spec);
  const ImageFacts f = ReadFacts(good);
  const std::uint32_t headersEnd = f.sectionTable + 40 * f.sectionCount;
  const std::span<const std::uint8_t> headers(good.data(), headersEnd);
  const ResourceTree tree = ParseResourceTree(good.data(), static_cast<std::uint32_t>(good.size()),
                                              f.resourcePointerToRawData, f.resourceSizeOfRawData,
                                              f.resourceVirtualAddress);
  TResItem* root = tree.get();
  // New data in memory is compared byte for byte.
  TResItem* rcdata =
      FindLanguageChild(
          FindNamedChild(FindNamedChild(root, MakeIntResource(10))->get(), MakeIntResource(7))
              ->get(),
          1033)
          ->get();
  const Bytes rcdataBytes = Filled(50, 3);
  rcdata->leaf().data.SetMemory(
      std::string_view(reinterpret_cast<const char*>(rcdataBytes.data()), rcdataBytes.size()));
  auto find = [&](const Bytes& b, const Bytes& what) {
    return static_cast<std::size_t>(std::search(b.begin(), b.end(), what.begin(), what.end()) -
                                    b.begin());
  };
  const Bytes mainIcon = {8, 0, 'M', 0, 'A', 0, 'I', 0, 'N', 0, 'I', 0, 'C', 0, 'O', 0, 'N', 0};
  // The first data entry: the first entry of the first name of the first type.
  auto firstDataEntry = [&](const Bytes& b) {
    const std::uint8_t* section = b.data() + f.resourcePointerToRawData;
    std::uint32_t at = 0;
    for (int level = 0; level < 3; ++level) at = LoadU32(section + at + 16 + 4) & 0x7FFFFFFFu;
    return f.resourcePointerToRawData + at;
  };
  const std::uint32_t text = f.sectionTable;  // .text, then .rsrc, then .reloc
  const std::uint32_t rsrc = f.sectionTable + 40 * f.resourceSectionIndex;
  const std::uint32_t reloc = rsrc + 40;
  const std::uint32_t dir5 = f.dataDirectory + 8 * 5;
  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* found;  // a part of the reason, or null for none
  } cases[] = {
      {"nothing", [](Bytes&) {}, nullptr},
      {"a data size", [&](Bytes& b) { b[firstDataEntry(b) + 4] ^= 1; }, "data entry"},
      {"a name", [&](Bytes& b) { b[find(b, mainIcon) + 2] ^= 1; }, "name"},
      {"new data", [&](Bytes& b) { b[find(b, rcdataBytes) + 9] ^= 1; }, "new data"},
      {"a count", [&](Bytes& b) { b[f.resourcePointerToRawData + 14] ^= 1; }, "other entries"},
      {"file data overlapping",
       [&](Bytes& b) { StoreU32(b.data() + reloc + 20, LoadU32(b.data() + rsrc + 20)); },
       "overlap in the file"},
      {"addresses overlapping",
       [&](Bytes& b) { StoreU32(b.data() + reloc + 12, LoadU32(b.data() + rsrc + 12) + 8); },
       "overlap in memory"},
      {"a directory in another section",
       [&](Bytes& b) { StoreU32(b.data() + dir5, LoadU32(b.data() + text + 12)); },
       "left the section"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes damaged = good;
    c.damage(damaged);
    const auto problem =
        CheckCommittedImage(damaged.data(), static_cast<std::uint32_t>(damaged.size()), headers,
                            f.resourceSectionIndex, root);
    if (c.found == nullptr) {
      EXPECT_FALSE(problem) << problem.detail;
    } else {
      ASSERT_TRUE(problem);
      EXPECT_EQ(problem.kind, ErrorKind::Internal);
      EXPECT_NE(problem.detail.find(c.found), std::string::npos) << problem.detail;
    }
  }
}

// An image without resources gains a section for them, behind its data and
// what is appended; changed again, that section grows where it is. Without
// room for its header the image is refused untouched.
TEST_P(CommitTest, AnImageWithoutResourcesGainsASection) {
  ImageSpec spec = Spec({});
  spec.withResourceSection = false;
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x100, 7), 0, kDiscardableData}};
  spec.appended = Filled(3000, 5);
  spec.symbolTableSize = 0x40;
  const Bytes before = BuildImage(spec);
  const std::vector<Change> change = {{3, 1, 0, Filled(700, 1)},
                                      {14, u"MAINICON", 0, Filled(20, 2)}};
  const Bytes after = CommitAddingASection(before, change);
  ASSERT_FALSE(after.empty());
  Commit(after, {{3, 2, 0, Filled(9000, 3)}});

  Bytes used = before;
  const Headers h(used);
  used[h.Sec(h.sectionCount)] = 1;
  Set32(used, h.CheckSum(), StandardChecksum(used, h.CheckSum()));
  ExpectRefusedBecause(used, change,
                       "it has no resource section, and a new section cannot be added");
}

TEST_P(CommitTest, ImportsOrEntryPointInsideTheSectionGetANewSection) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(100, 1)}});
  spec.spareSectionHeaders = 1;
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x100, 7), 0, kDiscardableData}};
  const std::vector<Change> change = {{10, 1, 0, Filled(50000, 3)}};
  // What lives in the old section stays where it is, byte for byte.
  spec.directories = {{1, ".rsrc", 0x10, 0x28}};
  CommitAddingASection(BuildImage(spec), change);
  spec.directories = {{12, ".rsrc", 0x100, 0x8}};
  CommitAddingASection(BuildImage(spec), change);
  spec.directories = {};
  Bytes entry = BuildImage(spec);
  const Headers h(entry);
  Set32(entry, h.EntryPoint(), Get32(entry, h.Dir(2)) + 0x20);
  CommitAddingASection(entry, change);
  // The last byte of the section counts; the first one behind it does not.
  const std::uint32_t s = h.Sec(ResourceSectionIndex(entry));
  const std::uint32_t extent =
      std::max(Get32(entry, s + kVirtualSize), Get32(entry, s + kSizeOfRawData));
  Set32(entry, h.EntryPoint(), Get32(entry, h.Dir(2)) + extent - 1);
  CommitAddingASection(entry, change);
  Set32(entry, h.EntryPoint(), Get32(entry, h.Dir(2)) + extent);
  Commit(entry, change);
}

// A packer keeps the imports in the resource section and resource data in
// another section: the directory then cannot be read as one, and what stands
// in the way of a change is the imports, which beginning names.
TEST_P(CommitTest, ResourceDataElsewhereBesideImportsInTheSectionIsRefusedWhenBeginning) {
  ImageSpec spec = Spec({{3, 1, 0, Filled(0x100, 1)}});
  spec.sectionsBefore.push_back(SectionSpec{"UPX1", Filled(0x400, 2)});
  spec.directories = {{1, ".rsrc", 0x10, 0x28}};
  Bytes before = BuildImage(spec);
  const Headers h(before);
  const std::uint32_t base = Get32(before, h.Sec(ResourceSectionIndex(before)) + kPointerToRawData);
  // The one data entry of the directory (root, type, name, language).
  const std::uint32_t entry = base + 16 + 8 + 2 * (16 + 8);
  Set32(before, entry, Get32(before, SectionNamed(before, "UPX1") + kVirtualAddress) + 0x40);
  ImageFile file(before);
  Error error;
  EXPECT_EQ(BeginResourceUpdate(file.wide(), false, &error), nullptr);
  EXPECT_EQ(error.kind, ErrorKind::Refused);
  EXPECT_EQ(error.detail, "the import table lies inside the resource section");
  EXPECT_EQ(error.offset, std::optional<std::uint64_t>(h.Dir(1)));
  try {
    file.Begin();
    ADD_FAILURE() << "beginning did not refuse";
  } catch (const ImageFormatError& e) {
    EXPECT_STREQ(e.what(), "the import table lies inside the resource section");
    // Thrown, the refusal keeps its kind and where it lies.
    EXPECT_EQ(e.error().kind, ErrorKind::Refused);
    EXPECT_EQ(e.error().offset, std::optional<std::uint64_t>(h.Dir(1)));
  }
  EXPECT_TRUE(file.Read() == before);
  // Without the imports there, the same directory is malformed.
  Set32(before, h.Dir(1), 0);
  ImageFile plain(before);
  EXPECT_EQ(BeginResourceUpdate(plain.wide(), false, &error), nullptr);
  EXPECT_EQ(error.kind, ErrorKind::MalformedImage);
}

TEST_P(CommitTest, BadAlignmentsAndMisplacedSectionDataAreRefused) {
  const Bytes good = BuildImage(Spec({{3, 1, 0, Filled(100, 1)}}));
  const Headers h(good);
  const std::uint32_t s = h.Sec(ResourceSectionIndex(good));
  Bytes bad = good;
  Set32(bad, h.FileAlignment(), 0);
  ExpectRefused(bad, false, nullptr, "the file alignment 0x0 is not a power of two up to 64 KiB");
  bad = good;
  Set32(bad, h.SectionAlignment(), 0);
  ExpectRefused(bad, false, nullptr, "the section alignment 0x0 is not a power of two");
  // A file alignment that is no power of two, or so large that one commit
  // would grow the file by a gigabyte.
  bad = good;
  Set32(bad, h.FileAlignment(), 0x300);
  ExpectRefused(bad, false, nullptr, "the file alignment 0x300 is not a power of two up to 64 KiB");
  bad = good;
  Set32(bad, h.FileAlignment(), 0x40000000);
  ExpectRefused(bad);
  // Raw data in the headers: writing the section would overwrite them.
  bad = good;
  Set32(bad, s + kPointerToRawData, h.sectionTable);
  ExpectRefused(bad, true, nullptr,
                ("the resource section's data at file offset " + HexOffset(h.sectionTable) +
                 " lies in the headers")
                    .c_str());
  // Raw data past the end of the file, or running past it.
  bad = good;
  Set32(bad, s + kPointerToRawData, static_cast<std::uint32_t>(good.size() + 0x200));
  ExpectRefused(bad, true);
  bad = good;
  Set32(bad, s + kSizeOfRawData, Get32(good, s + kSizeOfRawData) + 0x200);
  ExpectRefused(bad, true, nullptr,
                ("the resource section's data (0x400 bytes at file offset " +
                 HexOffset(Get32(good, s + kPointerToRawData)) + ") runs past the end of the file")
                    .c_str());
}

TEST_P(CommitTest, ASectionOfTwoGibibytesOrMoreIsRefused) {
  const Bytes before = BuildImage(Spec({{3, 1, 0, Filled(100, 1)}}));
  // Leaves with a size and no bytes: the commit must refuse them on their
  // sizes before it creates anything.
  ExpectRefused(before, false, [](ResourceUpdate* u) {
    for (std::uint16_t language = 1; language <= 3; ++language) {
      TResItem* name = FindNamedChild(FindNamedChild(u->root.get(), MakeIntResource(3))->get(),
                                      MakeIntResource(1))
                           ->get();
      TResItem* leaf = InsertLanguageLeaf(name, language, "", 0);
      leaf->leaf().dataSize = 0x2AAAAAAA;
    }
  });
  // Sizes whose sum wraps around 32 bits.
  ExpectRefused(before, false, [](ResourceUpdate* u) {
    for (std::uint16_t language = 1; language <= 5; ++language) {
      TResItem* name = FindNamedChild(FindNamedChild(u->root.get(), MakeIntResource(3))->get(),
                                      MakeIntResource(1))
                           ->get();
      TResItem* leaf = InsertLanguageLeaf(name, language, "", 0);
      leaf->leaf().dataSize = 0x3FFFFFFF;
    }
  });
}

TEST_P(CommitTest, NamesAndDirectoriesThatDoNotFitTheFormatAreRefused) {
  const Bytes before = BuildImage(Spec({{3, 1, 0, Filled(100, 1)}}));
  // A name longer than a 16-bit length can say would be cut short.
  {
    ImageFile file(before);
    UpdateGuard u(file.Begin());
    ASSERT_TRUE(u);
    const std::u16string name(70000, u'N');
    const Bytes data = Filled(8, 1);
    ASSERT_TRUE(UpdateResourceData(u.get(), MakeIntResource(3), name.c_str(), 0, data.data(), 8));
    const bool committed = u.End(false);
    if (committed) {
      // Committed: then the name must read back whole.
      const ResourceReading r = ReadResources(file.Read());
      EXPECT_EQ(r.resources.count("#3/" + std::string(70000, 'N') + "/0"), 1u)
          << "the name was written with a cut length";
    } else {
      EXPECT_TRUE(file.Read() == before);
    }
  }
}

// The commit writes the first NumberOfNamedEntries children of a directory as
// named entries and every name with its length: a directory that breaks
// this could not be written back as it was read, so beginning refuses it.
TEST_P(CommitTest, DirectoriesThatCouldNotBeWrittenBackAreRefusedWhenBeginning) {
  const Bytes good = BuildImage(Spec({{u"PNG", 1, 0, Filled(10, 1)}, {3, 1, 0, Filled(20, 2)}}));
  const Headers h(good);
  const std::uint32_t base = Get32(good, h.Sec(ResourceSectionIndex(good)) + kPointerToRawData);
  ASSERT_EQ(Get16(good, base + 12), 1u);
  ASSERT_EQ(Get16(good, base + 14), 1u);
  std::vector<Bytes> bad(3, good);
  Set16(bad[0], base + 12, 0);  // the named entry counted as a numbered one
  Set16(bad[0], base + 14, 2);
  Set16(bad[1], base + 12, 2);  // the numbered entry counted as a named one
  Set16(bad[1], base + 14, 0);
  Set16(bad[2], base + (Get32(good, base + 16) & 0x7FFFFFFFu), 0);  // a name of no characters
  for (std::size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    ImageFile file(bad[i]);
    EXPECT_THROW(file.Begin(), ImageFormatError);
    EXPECT_TRUE(Reopenable(file));
    EXPECT_TRUE(file.Read() == bad[i]);
  }
}

}  // namespace
}  // namespace marovi::test
