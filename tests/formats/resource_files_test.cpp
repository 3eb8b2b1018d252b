#include "engine/formats/resource_files.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/little_endian.h"
#include "icons/icon_group.h"
#include "tests/support/pe_builder.h"

namespace marovi {
namespace {

using test::Bytes;
using Images = std::map<std::uint16_t, Bytes>;

GroupImageLookup LookupIn(const Images& images) {
  return [&images](std::uint16_t id) -> std::optional<std::span<const std::uint8_t>> {
    const auto it = images.find(id);
    if (it == images.end()) return std::nullopt;
    return std::span<const std::uint8_t>(it->second);
  };
}

// The bytes an .ico or .cur entry's offset and size point at.
Bytes EntryData(const Bytes& file, std::size_t i) {
  const std::uint8_t* entry = file.data() + 6 + 16 * i;
  const std::uint32_t size = LoadU32(entry + 8), offset = LoadU32(entry + 12);
  EXPECT_TRUE(InBounds(file.size(), offset, size)) << "entry " << i;
  if (!InBounds(file.size(), offset, size)) return {};
  return Bytes(file.begin() + offset, file.begin() + offset + size);
}

TEST(ResourceFilesTest, IconGroupsBecomeTheIconFileTheyCameFrom) {
  // An icon file goes in the way set-icon stores it (a group record and its
  // images by id) and comes out as the same file.
  const std::vector<test::IconImageSpec> specs = {{32, 32, 0, 0, 1, 32, Bytes(300, 7)},
                                                  {0, 0, 0, 0, 1, 32, Bytes(1000, 9)},
                                                  {16, 16, 16, 0, 1, 4, Bytes(40, 3)}};
  const Images images = {{5, specs[0].bytes}, {2, specs[1].bytes}, {9, specs[2].bytes}};
  Error error;
  const auto ico =
      IconFileFromGroup(test::BuildIconGroupRecord(specs, {5, 2, 9}), false, LookupIn(images), &error);
  ASSERT_TRUE(ico.has_value()) << error.detail;
  EXPECT_EQ(*ico, test::BuildIcoFile(specs));
  EXPECT_EQ(CheckIconFile(*ico), IconFileStatus::Ok);

  // An entry's size in the file is the image's own, whatever the record says.
  Bytes record = test::BuildIconGroupRecord(specs, {5, 2, 9});
  StoreU32(record.data() + 6 + 8, 12345);
  const auto sized = IconFileFromGroup(record, false, LookupIn(images), &error);
  ASSERT_TRUE(sized.has_value()) << error.detail;
  EXPECT_EQ(*sized, test::BuildIcoFile(specs));
}

TEST(ResourceFilesTest, CursorGroupsBecomeCursorFilesWithTheirHotspots) {
  // The third image's own header says 8 bits, its group entry 1 (as windres
  // writes it for every cursor): its colors follow the image.
  const std::vector<test::CursorImageSpec> specs = {{32, 32, 1, 1, 5, 7, Bytes(200, 1)},
                                                    {256, 256, 1, 32, 128, 3, Bytes(900, 2)},
                                                    {48, 48, 1, 4, 0, 47, Bytes(60, 3)},
                                                    {16, 16, 1, 1, 2, 2, test::BuildDib(40, 8, 0, 0, 20)}};
  const Images images = {{1, test::BuildCursorResource(specs[0])},
                         {2, test::BuildCursorResource(specs[1])},
                         {3, test::BuildCursorResource(specs[2])},
                         {4, test::BuildCursorResource(specs[3])}};
  Error error;
  const auto cur = IconFileFromGroup(test::BuildCursorGroupRecord(specs, {1, 2, 3, 4}), true,
                                     LookupIn(images), &error);
  ASSERT_TRUE(cur.has_value()) << error.detail;
  EXPECT_EQ(LoadU16(cur->data() + 2), 2);
  EXPECT_EQ(LoadU16(cur->data() + 4), 4);
  struct Expected {
    std::uint8_t width, height, colors;
    std::uint16_t x, y;
  };
  const Expected expected[] = {
      {32, 32, 2, 5, 7}, {0, 0, 0, 128, 3}, {48, 48, 16, 0, 47}, {16, 16, 0, 2, 2}};
  for (std::size_t i = 0; i < 4; ++i) {
    const std::uint8_t* entry = cur->data() + 6 + 16 * i;
    EXPECT_EQ(entry[0], expected[i].width) << i;
    EXPECT_EQ(entry[1], expected[i].height) << i;  // the group's height is doubled
    EXPECT_EQ(entry[2], expected[i].colors) << i;
    EXPECT_EQ(LoadU16(entry + 4), expected[i].x) << i;
    EXPECT_EQ(LoadU16(entry + 6), expected[i].y) << i;
    EXPECT_EQ(EntryData(*cur, i), specs[i].bitmap) << i;  // without the hotspot
  }
  EXPECT_EQ(cur->size(), 6 + 16 * 4 + 200 + 900 + 60 + 60);
}

TEST(ResourceFilesTest, MalformedGroupsAreRefusedNamingWhy) {
  const std::vector<test::IconImageSpec> specs = {{16, 16, 0, 0, 1, 32, Bytes(50, 1)},
                                                  {32, 32, 0, 0, 1, 32, Bytes(80, 2)}};
  const Bytes good = test::BuildIconGroupRecord(specs, {1, 2});
  const Images images = {{1, specs[0].bytes}, {2, specs[1].bytes}, {3, Bytes(3, 0)}};
  auto with = [&](std::size_t at, std::uint16_t value) {
    Bytes record = good;
    StoreU16(record.data() + at, value);
    return record;
  };
  struct Case {
    const char* what;
    Bytes record;
    bool cursor;
    const char* detail;
  };
  const Case cases[] = {
      {"empty", {}, false, "cut short"},
      {"header cut", Bytes(good.begin(), good.begin() + 5), false, "cut short"},
      {"reserved set", with(0, 1), false, "idReserved 1"},
      {"cursor type in an icon group", with(2, 2), false, "idType 2"},
      {"icon type in a cursor group", good, true, "idType 1"},
      {"no images", with(4, 0), false, "lists no images"},
      {"count past the end", with(4, 3), false, "holds the entries of 2"},
      {"entries cut", Bytes(good.begin(), good.end() - 1), false, "holds the entries of 1"},
      {"missing image", with(6 + 14 + 12, 77), false, "icon image 77 (entry 1)"},
      {"cursor shorter than its hotspot", test::BuildCursorGroupRecord({{}}, {3}), true,
       "shorter than its hotspot"},
  };
  for (const Case& c : cases) {
    Error error;
    EXPECT_FALSE(IconFileFromGroup(c.record, c.cursor, LookupIn(images), &error)) << c.what;
    EXPECT_EQ(error.kind, ErrorKind::MalformedImage) << c.what;
    EXPECT_NE(error.detail.find(c.detail), std::string::npos) << c.what << ": " << error.detail;
  }
  // The ids a record lists are those of the entries inside it.
  EXPECT_EQ(GroupImageIds(good), (std::vector<std::uint16_t>{1, 2}));
  EXPECT_EQ(GroupImageIds(with(4, 9)), (std::vector<std::uint16_t>{1, 2}));
  EXPECT_TRUE(GroupImageIds(Bytes(4, 0)).empty());
}

TEST(ResourceFilesTest, BitmapsGetAFileHeaderPointingAtTheirPixels) {
  const Bytes header = test::BuildDib(40, 8, 0, 0, 0);
  struct Case {
    const char* what;
    Bytes dib;
    std::uint32_t offBits;  // 0: refused
    const char* detail;
  };
  const Case cases[] = {
      {"8-bit, full palette", test::BuildDib(40, 8, 0, 0, 1024 + 8), 14 + 40 + 1024, ""},
      {"8-bit, 2 colors used", test::BuildDib(40, 8, 0, 2, 8 + 8), 14 + 40 + 8, ""},
      {"1-bit", test::BuildDib(40, 1, 0, 0, 8 + 8), 14 + 40 + 8, ""},
      {"24-bit", test::BuildDib(40, 24, 0, 0, 24), 14 + 40, ""},
      {"24-bit with a palette", test::BuildDib(40, 24, 0, 4, 16 + 24), 14 + 40 + 16, ""},
      {"16-bit bitfields", test::BuildDib(40, 16, 3, 0, 12 + 16), 14 + 40 + 12, ""},
      {"32-bit alpha bitfields", test::BuildDib(40, 32, 6, 0, 16 + 32), 14 + 40 + 16, ""},
      {"V5 header holds its masks", test::BuildDib(124, 32, 3, 0, 32), 14 + 124, ""},
      {"core header, RGB triples", test::BuildDib(12, 4, 0, 0, 48 + 8), 14 + 12 + 48, ""},
      {"empty", {}, 0, "cut short"},
      {"cut in the size", Bytes{40, 0, 0}, 0, "cut short"},
      {"unknown header size", test::BuildDib(20, 8, 0, 0, 100), 0, "unknown size (20"},
      {"header past the end", Bytes(header.begin(), header.begin() + 30), 0, "runs past its end"},
      {"palette past the end", test::BuildDib(40, 8, 0, 0, 1000), 0, "256 palette entries"},
      {"huge colors used", test::BuildDib(40, 8, 0, 0xFFFFFFFF, 64), 0, "4294967295 palette"},
      {"masks past the end", test::BuildDib(40, 16, 3, 0, 8), 0, "12 bytes of color masks"},
  };
  for (const Case& c : cases) {
    Error error;
    const auto bmp = BitmapFileFromResource(c.dib, &error);
    if (c.offBits == 0) {
      EXPECT_FALSE(bmp) << c.what;
      EXPECT_EQ(error.kind, ErrorKind::MalformedImage) << c.what;
      EXPECT_NE(error.detail.find(c.detail), std::string::npos) << c.what << ": " << error.detail;
      continue;
    }
    ASSERT_TRUE(bmp) << c.what << ": " << error.detail;
    EXPECT_EQ((*bmp)[0], 'B') << c.what;
    EXPECT_EQ((*bmp)[1], 'M') << c.what;
    EXPECT_EQ(LoadU32(bmp->data() + 2), 14 + c.dib.size()) << c.what;
    EXPECT_EQ(LoadU32(bmp->data() + 6), 0u) << c.what;
    EXPECT_EQ(LoadU32(bmp->data() + 10), c.offBits) << c.what;
    EXPECT_EQ(Bytes(bmp->begin() + 14, bmp->end()), c.dib) << c.what;
  }
}

TEST(ResourceFilesTest, FileNamesAreReadableAndNeverShared) {
  struct Case {
    std::uint32_t type;
    std::u16string typeName;
    std::uint32_t id;
    std::u16string name;
    std::uint32_t language;
    const char* expected;
  };
  const Case cases[] = {
      {14, u"", 0, u"MAINICON", 1033, "GROUP_ICON-MAINICON-1033.ico"},
      {10, u"", 101, u"", 1033, "RCDATA-101-1033.bin"},
      {16, u"", 1, u"", 1033, "VERSION-1-1033.json"},
      {24, u"", 1, u"", 0, "MANIFEST-1-0.manifest"},
      {2, u"", 7, u"", 0, "BITMAP-7-0.bmp"},
      {12, u"", 3, u"", 0, "GROUP_CURSOR-3-0.cur"},
      {300, u"", 1, u"", 0, "300-1-0.bin"},
      {0, u"PNG", 0, u"LOGO", 0, "PNG-LOGO-0.bin"},
      // Names that would read as ids or predefined types, or split the name.
      {10, u"", 0, u"101", 0, "RCDATA-%3101-0.bin"},
      {0, u"ICON", 0, u"0X10", 0, "%49CON-%30X10-0.bin"},
      {0, u"RT_HTML", 0, u"A-B", 0, "%52T_HTML-A%2DB-0.bin"},
      {10, u"", 0, u"../UP", 0, "RCDATA-..%2FUP-0.bin"},
      {10, u"", 0, u"A%20B:\\*", 0, "RCDATA-A%2520B%3A%5C%2A-0.bin"},
      {10, u"", 0, u"TAB\t\u00e9", 0, "RCDATA-TAB%09\u00e9-0.bin"},
  };
  for (const Case& c : cases) {
    const std::string name = ResourceFileName(c.type, c.typeName, c.id, c.name, c.language,
                                               ResourceFileExtension(c.type, !c.typeName.empty()));
    EXPECT_EQ(name, c.expected);
  }
}

}  // namespace
}  // namespace marovi
