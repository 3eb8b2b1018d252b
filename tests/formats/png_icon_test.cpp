#include "icons/png_icon.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/pe/bytes.h"
#include "icons/icon_group.h"
#include "icons/stb.h"
#include "tests/formats/png_test_images.h"
#include "tests/icons/icon_test_support.h"

namespace marovi {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::Pixel;

struct Entry {
  std::uint32_t size;
  const std::uint8_t* data;
  std::uint32_t length;
};

// The images of an icon file, after checking its directory against what a
// PNG must become.
std::vector<Entry> Entries(const Bytes& icon) {
  std::vector<Entry> entries;
  EXPECT_EQ(CheckIconFile(icon), IconFileStatus::Ok);
  if (icon.size() < 6) return entries;
  EXPECT_EQ(LoadU16(icon.data()), 0);
  EXPECT_EQ(LoadU16(icon.data() + 2), 1);
  const std::uint16_t count = LoadU16(icon.data() + 4);
  EXPECT_EQ(count, std::size(kPngIconSizes));
  for (std::uint32_t i = 0; i < count && InBounds(icon.size(), 6 + 16 * i, 16); ++i) {
    const std::uint8_t* e = icon.data() + 6 + 16 * i;
    const std::uint32_t size = e[0] == 0 ? 256 : e[0];
    EXPECT_EQ(e[1], e[0]);
    EXPECT_EQ(size, kPngIconSizes[i]);
    EXPECT_EQ(e[2], 0);             // colour count
    EXPECT_EQ(LoadU16(e + 4), 1);   // planes
    EXPECT_EQ(LoadU16(e + 6), 32);  // bits per pixel
    const std::uint32_t length = LoadU32(e + 8), offset = LoadU32(e + 12);
    if (!InBounds(icon.size(), offset, length)) continue;
    entries.push_back({size, icon.data() + offset, length});
  }
  return entries;
}

// What the test image holds at (x, y) of a side-by-side image: the left half
// red above green, the right half fully transparent.
void ExpectTestPattern(const Pixel& p, std::uint32_t x, std::uint32_t y, std::uint32_t side,
                       const std::string& where) {
  if (x >= side / 2) {
    EXPECT_EQ(p.a, 0) << where;
  } else {
    EXPECT_EQ(p.a, 255) << where;
    EXPECT_EQ(p.r, y < side / 2 ? 255 : 0) << where;
    EXPECT_EQ(p.g, y < side / 2 ? 0 : 255) << where;
    EXPECT_EQ(p.b, 0) << where;
  }
}

void ExpectPngImage(const Entry& entry) {
  ASSERT_TRUE(IsPngData({entry.data, entry.length}));
  int w = 0, h = 0, channels = 0;
  std::unique_ptr<unsigned char, void (*)(void*)> pixels(
      stbi_load_from_memory(entry.data, static_cast<int>(entry.length), &w, &h, &channels, 4),
      stbi_image_free);
  ASSERT_NE(pixels, nullptr);
  ASSERT_EQ(w, 256);
  ASSERT_EQ(h, 256);
  for (const std::uint32_t y : {4u, 64u, 192u, 250u})
    for (const std::uint32_t x : {4u, 64u, 192u, 250u}) {
      const unsigned char* p = pixels.get() + (y * 256 + x) * 4;
      ExpectTestPattern({p[0], p[1], p[2], p[3]}, x, y, 256,
                        "PNG at " + std::to_string(x) + "," + std::to_string(y));
    }
}

// BITMAPINFOHEADER, BGRA rows bottom-up, AND mask rows of 32-bit multiples.
void ExpectBitmapImage(const Entry& entry) {
  const std::uint32_t s = entry.size;
  const std::uint32_t maskRow = (s + 31) / 32 * 4;
  ASSERT_EQ(entry.length, 40 + s * s * 4 + maskRow * s) << s;
  const std::uint8_t* h = entry.data;
  EXPECT_EQ(LoadU32(h), 40u);
  EXPECT_EQ(LoadU32(h + 4), s);
  EXPECT_EQ(LoadU32(h + 8), 2 * s);  // colour and mask together
  EXPECT_EQ(LoadU16(h + 12), 1);
  EXPECT_EQ(LoadU16(h + 14), 32);
  EXPECT_EQ(LoadU32(h + 16), 0u);  // BI_RGB
  const std::uint8_t* colour = h + 40;
  const std::uint8_t* mask = colour + s * s * 4;
  // Away from the edges between the halves, where scaling blends.
  const std::uint32_t margin = s / 8;
  for (const std::uint32_t y : {margin, s - 1 - margin})
    for (const std::uint32_t x : {margin, s / 2 - 1 - margin, s / 2 + margin, s - 1 - margin}) {
      const std::uint32_t row = s - 1 - y;  // bottom-up
      const std::uint8_t* p = colour + (row * s + x) * 4;
      const std::string where =
          std::to_string(s) + " px at " + std::to_string(x) + "," + std::to_string(y);
      ExpectTestPattern({p[2], p[1], p[0], p[3]}, x, y, s, where);
      const bool transparent = (mask[row * maskRow + x / 8] & (0x80 >> (x % 8))) != 0;
      EXPECT_EQ(transparent, x >= s / 2) << where;
    }
}

TEST(PngIconTest, ASquarePngBecomesAnIconOfTheUsualSizes) {
  for (const std::uint32_t side : {16u, 255u, 256u, 512u}) {
    SCOPED_TRACE("side " + std::to_string(side));
    Error error;
    const std::optional<Bytes> icon = IconFileFromPng(test::PngOfTestPattern(side, side), &error);
    ASSERT_TRUE(icon.has_value()) << error.detail;
    const std::vector<Entry> entries = Entries(*icon);
    ASSERT_EQ(entries.size(), std::size(kPngIconSizes));
    ExpectPngImage(entries[0]);
    for (std::size_t i = 1; i < entries.size(); ++i) ExpectBitmapImage(entries[i]);
  }
}

TEST(PngIconTest, TheIconGroupCodeTakesTheIcon) {
  Error error;
  const std::optional<Bytes> icon = IconFileFromPng(test::PngOfTestPattern(64, 64), &error);
  ASSERT_TRUE(icon.has_value()) << error.detail;
  test::TempFolder folder;
  test::WriteWholeFile(folder / "icon.ico", *icon);
  test::OpenImage image(folder, {{10, 1, 0, test::ImageBytes(40, 1)}});
  ASSERT_NE(image.get(), nullptr);
  ASSERT_TRUE(LoadIconGroupResource(image.get(), u"MAINICON", 0,
                                    test::Utf16Path(folder / "icon.ico").c_str()));
  ASSERT_TRUE(image.Commit());
  const std::vector<test::LeafView> leaves = image.Reread();
  const test::LeafView* group = test::FindLeaf(leaves, "14", "\"MAINICON\"", 0);
  ASSERT_NE(group, nullptr);
  const std::vector<std::uint16_t> ids = test::GroupIds(group->data);
  const std::vector<Entry> entries = Entries(*icon);
  ASSERT_EQ(ids.size(), entries.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const test::LeafView* leaf = test::FindLeaf(leaves, "3", std::to_string(ids[i]), 0);
    ASSERT_NE(leaf, nullptr) << ids[i];
    EXPECT_EQ(leaf->data, Bytes(entries[i].data, entries[i].data + entries[i].length)) << ids[i];
  }
}

// Where an icon file is expected, a square PNG is taken by its content,
// whatever its name; everything else as an icon file is.
TEST(PngIconTest, APngWhereAnIconFileIsExpectedIsMadeIntoOne) {
  const Bytes square = test::PngOfTestPattern(64, 64);
  const std::optional<Bytes> fromPng = IconFileFromPng(square, nullptr);
  ASSERT_TRUE(fromPng.has_value());
  const Bytes ico = test::BuildIcoFile({{32, 32, 0, 0, 1, 32, test::ImageBytes(100, 3)}});
  Bytes cutPng = square;
  cutPng.resize(square.size() - 20);
  struct Case {
    const char* name;              // of the file
    std::optional<Bytes> content;  // none: no such file
    std::optional<Bytes> read;     // what is read; none: refused
    ErrorKind kind;
    const char* reason;
  };
  const Case cases[] = {
      {"square.png", square, fromPng, ErrorKind::None, ""},
      {"named-as-an-icon.ico", square, fromPng, ErrorKind::None, ""},
      {"icon.ico", ico, ico, ErrorKind::None, ""},
      {"wide.png", test::PngOfTestPattern(40, 20), std::nullopt, ErrorKind::BadIconFile,
       "the PNG image is not square (40 x 20 pixels)"},
      {"cut.png", cutPng, std::nullopt, ErrorKind::BadIconFile, "the PNG image is cut short"},
      {"picture.bmp", Bytes{'B', 'M', 0, 0, 0, 0, 0, 0}, std::nullopt, ErrorKind::BadIconFile,
       "BMP picture"},
      {"missing.png", std::nullopt, std::nullopt, ErrorKind::NotFound, "cannot open"},
  };
  test::TempFolder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = folder / c.name;
    if (c.content) test::WriteWholeFile(path, *c.content);
    Bytes read;
    Error error;
    EXPECT_EQ(ReadIconOrPngFile(test::Utf16Path(path).c_str(), read, &error), c.read.has_value());
    EXPECT_EQ(error.kind, c.kind);
    EXPECT_NE(error.detail.find(c.reason), std::string::npos) << error.detail;
    if (c.read) {
      EXPECT_TRUE(read == *c.read);
    } else {
      EXPECT_NE(error.file.find(c.name), std::string::npos) << error.file;
    }
  }
}

// The icon group code takes an icon file's bytes as it takes the file, and
// refuses bytes that are no icon file before it changes anything.
TEST(PngIconTest, TheIconGroupCodeTakesAnIconFilesBytes) {
  const std::optional<Bytes> icon = IconFileFromPng(test::PngOfTestPattern(48, 48), nullptr);
  ASSERT_TRUE(icon.has_value());
  test::TempFolder folder;
  const std::vector<test::ResourceSpec> resources = {
      {3, 1, 0, test::ImageBytes(40, 1)},
      {14, u"MAINICON", 0, Bytes{0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 40, 0, 0, 0, 1, 0}}};
  {
    test::OpenImage image(folder, resources);
    ASSERT_NE(image.get(), nullptr);
    const std::vector<test::LeafView> before = test::Leaves(image.get());
    Error error;
    EXPECT_FALSE(LoadIconGroupResource(image.get(), u"MAINICON", 0, test::PngOfTestPattern(48, 48),
                                       "given.png", &error));
    EXPECT_EQ(error.kind, ErrorKind::BadIconFile);
    EXPECT_EQ(error.file, "given.png");
    EXPECT_NE(error.detail.find("PNG picture"), std::string::npos) << error.detail;
    EXPECT_TRUE(test::Leaves(image.get()) == before) << "a refused icon file changed the update";
  }
  test::OpenImage image(folder, resources);
  ASSERT_NE(image.get(), nullptr);
  Error error;
  ASSERT_TRUE(LoadIconGroupResource(image.get(), u"MAINICON", 0, *icon, "given.png", &error))
      << error.detail;
  ASSERT_TRUE(image.Commit());
  const std::vector<test::LeafView> leaves = image.Reread();
  const test::LeafView* group = test::FindLeaf(leaves, "14", "\"MAINICON\"", 0);
  ASSERT_NE(group, nullptr);
  const std::vector<std::uint16_t> ids = test::GroupIds(group->data);
  const std::vector<Entry> entries = Entries(*icon);
  ASSERT_EQ(ids.size(), entries.size());
  EXPECT_EQ(ids[0], 1) << "the old group's id is not reused";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const test::LeafView* leaf = test::FindLeaf(leaves, "3", std::to_string(ids[i]), 0);
    ASSERT_NE(leaf, nullptr) << ids[i];
    EXPECT_EQ(leaf->data, Bytes(entries[i].data, entries[i].data + entries[i].length)) << ids[i];
  }
}

TEST(PngIconTest, BrokenOrUnfitPngsAreRefusedWithTheReason) {
  const Bytes good = test::PngOfTestPattern(32, 32);
  const std::size_t idat = test::ChunkOffset(good, "IDAT");
  ASSERT_NE(idat, 0u);
  struct Case {
    const char* name;
    std::function<Bytes()> make;
    const char* reason;
  };
  auto cut = [&](std::size_t size) {
    return [&good, size] {
      return Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
    };
  };
  auto ihdr = [&](std::uint32_t width, std::uint32_t height) {
    return [&good, width, height] {
      Bytes b = good;
      test::StoreBigU32(b.data() + 16, width);
      test::StoreBigU32(b.data() + 20, height);
      test::FixChunkCrc(b, 8);
      return b;
    };
  };
  const Case cases[] = {
      {"not square", [] { return test::PngOfTestPattern(20, 10); },
       "is not square (20 x 10 pixels)"},
      {"an icon file", [] { return Bytes{0, 0, 1, 0, 0, 0}; },
       "does not start with the PNG signature"},
      {"empty", cut(0), "does not start with the PNG signature"},
      {"signature cut", cut(7), "does not start with the PNG signature"},
      {"cut behind the signature", cut(8), "is cut short"},
      {"cut in IHDR", cut(20), "is cut short"},
      {"cut in IDAT", cut(idat + 12), "is cut short"},
      {"IEND missing", cut(good.size() - 12), "without an IEND chunk"},
      {"cut in IEND", cut(good.size() - 1), "is cut short"},
      {"damaged pixels",
       [&] {
         Bytes b = good;
         b[idat + 8 + 4] ^= 0x40;
         return b;
       },
       "checksum of its IDAT chunk"},
      {"damaged compression with its checksum fixed",
       [&] {
         Bytes b = good;
         b[idat + 8] = 0x00;  // not a zlib header
         test::FixChunkCrc(b, idat);
         return b;
       },
       "cannot be decoded"},
      {"reserved deflate block type",
       [&] {
         Bytes b = good;
         b[idat + 8 + 2] = 0x07;  // the first block: final, type 3 (reserved)
         test::FixChunkCrc(b, idat);
         return b;
       },
       "cannot be decoded (its compressed image data is damaged)"},
      {"chunk length past 2 GiB",
       [&] {
         Bytes b = good;
         test::StoreBigU32(b.data() + idat, 0xFFFFFFF0u);
         return b;
       },
       "is cut short"},
      {"no pixels", ihdr(0, 0), "has no pixels"},
      {"too large", ihdr(5000, 5000), "is 5000 pixels wide; at most 4096"},
      {"header says another size", ihdr(33, 33), "cannot be decoded"},
      {"first chunk not IHDR",
       [&] {
         Bytes b = good;
         b[15] = 'X';
         test::FixChunkCrc(b, 8);
         return b;
       },
       "does not start with its IHDR header chunk"},
  };
  for (const Case& c : cases) {
    Error error;
    EXPECT_FALSE(IconFileFromPng(c.make(), &error).has_value()) << c.name;
    EXPECT_EQ(error.kind, ErrorKind::BadIconFile) << c.name;
    EXPECT_NE(error.detail.find(c.reason), std::string::npos) << c.name << ": " << error.detail;
  }
}

// The PNG images of an icon file are checked as PNG files are: the icon file
// is refused, with the image and the reason, before anything changes.
TEST(PngIconTest, PngImagesInsideAnIconFileAreCheckedLikePngFiles) {
  const Bytes good = test::PngOfTestPattern(32, 32);
  Bytes cut = good;
  cut.resize(good.size() - 12);  // IEND missing
  Bytes huge = good;
  test::StoreBigU32(huge.data() + 16, 65535);
  test::StoreBigU32(huge.data() + 20, 65535);
  test::FixChunkCrc(huge, 8);
  Bytes reserved = good;
  reserved[test::ChunkOffset(good, "IDAT") + 8 + 2] = 0x07;
  test::FixChunkCrc(reserved, test::ChunkOffset(good, "IDAT"));
  const struct {
    const char* name;
    Bytes png;
    const char* reason;  // empty: accepted
  } cases[] = {
      {"square", good, ""},
      {"not square", test::PngOfTestPattern(32, 16),
       "image 2 of 2: the PNG image is not square (32 x 16 pixels)"},
      {"cut short", cut, "image 2 of 2: the PNG image is cut short"},
      {"65535 pixels", huge, "image 2 of 2: the PNG image is 65535 pixels wide"},
      {"damaged data", reserved, "image 2 of 2: the PNG image cannot be decoded"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes ico = test::BuildIcoFile(
        {{16, 16, 0, 0, 1, 32, test::ImageBytes(100, 3)}, {32, 32, 0, 0, 1, 32, c.png}});
    Error error;
    const IconFileStatus status = CheckIconFile(ico, &error);
    if (*c.reason == '\0') {
      EXPECT_EQ(status, IconFileStatus::Ok) << error.detail;
      continue;
    }
    EXPECT_EQ(status, IconFileStatus::BadPngImage);
    EXPECT_EQ(error.kind, ErrorKind::BadIconFile);
    EXPECT_EQ(error.detail.rfind(c.reason, 0), 0u) << error.detail;

    test::TempFolder folder;
    test::OpenImage image(folder, {{14, u"MAINICON", 0, Bytes{0, 0, 1, 0, 0, 0}}});
    ASSERT_NE(image.get(), nullptr);
    const std::vector<test::LeafView> before = test::Leaves(image.get());
    EXPECT_FALSE(LoadIconGroupResource(image.get(), u"MAINICON", 0, ico, "given.ico", &error));
    EXPECT_EQ(error.file, "given.ico");
    EXPECT_TRUE(test::Leaves(image.get()) == before) << "a refused icon file changed the update";
  }
}

}  // namespace
}  // namespace marovi
