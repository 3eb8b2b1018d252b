// Image file access: rounding, the checksum, the NT headers, the resource
// section and moving a file's tail.
#include "engine/pe/image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <utility>

#include "engine/pe/bytes.h"
#include "engine/platform/platform.h"
#include "tests/engine/engine_test_util.h"

namespace marovi::test {
namespace {

TEST(RoundUpTest, RoundsToTheNextMultiple) {
  EXPECT_EQ(RoundUp(0, 512), 0u);
  EXPECT_EQ(RoundUp(1, 512), 512u);
  EXPECT_EQ(RoundUp(512, 512), 512u);
  EXPECT_EQ(RoundUp(513, 512), 1024u);
  EXPECT_EQ(RoundUp(5, 4), 8u);
  EXPECT_EQ(RoundUp(8, 4), 8u);
  EXPECT_EQ(RoundUp(7, 1), 7u);
  EXPECT_EQ(RoundUp(0x1001, 0x1000), 0x2000u);
}

// ---------------------------------------------------------------- checksum

// ImageChecksum is the folded word sum; ComputeImageChecksum adds the length.
TEST(ChecksumTest, SumsWordsAndFoldsCarries) {
  // Words 0x0201 and 0x0003 (odd length: the last byte is a low half).
  const std::uint8_t odd[] = {0x01, 0x02, 0x03};
  EXPECT_EQ(ImageChecksum(odd, 3), 0x0204u);
  // 0xFFFF + 0xFFFF = 0x1FFFE, folded to 0xFFFF.
  const std::uint8_t carry[] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(ImageChecksum(carry, 4), 0xFFFFu);
  EXPECT_EQ(ImageChecksum(carry, 0), 0u);
  // Ten words of 0x8000 and a last byte: 0x50000 folds to 5, plus 0x7F.
  std::uint8_t many[21] = {};
  for (int i = 1; i < 20; i += 2) many[i] = 0x80;
  many[20] = 0x7F;
  EXPECT_EQ(ImageChecksum(many, 21), 5u + 0x7F);
  for (std::uint32_t n = 0; n <= 21; ++n) {
    const Bytes b(many, many + n);
    EXPECT_EQ(ImageChecksum(many, n) + n, StandardChecksum(b, 0xFFFFFFF0u)) << n << " bytes";
  }
}

class ChecksumImageTest : public ::testing::TestWithParam<bool> {};

TEST_P(ChecksumImageTest, MatchesTheBuildersChecksumWhateverTheOldValue) {
  ImageSpec spec =
      SpecWith(GetParam(), {{3, 1, 0, Filled(999, 1)}, {14, u"MAINICON", 0, Filled(20, 2)}});
  spec.appended = Filled(77, 3);  // odd length overall
  Bytes image = BuildImage(spec);
  ASSERT_EQ(image.size() % 2, 1u);
  const ImageFacts facts = ReadFacts(image);
  const std::uint32_t field = facts.ntHeaders + nt::kCheckSum;
  const std::uint32_t expected = LoadU32(image.data() + field);
  ASSERT_NE(expected, 0u);

  for (std::uint32_t old : {0u, 0xFFFFFFFFu, 0x12345678u, expected}) {
    StoreU32(image.data() + field, old);
    const auto size = static_cast<std::uint32_t>(image.size());
    ComputeImageChecksum(image.data(), size, size);
    EXPECT_EQ(LoadU32(image.data() + field), expected) << "old value " << old;
  }
  // A file that differs in its last byte has another sum.
  image.back() ^= 0x5A;
  const auto size = static_cast<std::uint32_t>(image.size());
  ComputeImageChecksum(image.data(), size, size);
  EXPECT_NE(LoadU32(image.data() + field), expected);
  EXPECT_EQ(LoadU32(image.data() + field), StandardChecksum(image, field));
}

TEST_P(ChecksumImageTest, CountsOnlyTheGivenFileSize) {
  Bytes image = BuildImage(SpecWith(GetParam(), {{3, 1, 0, Filled(10, 1)}}));
  const auto fileSize = static_cast<std::uint32_t>(image.size());
  Bytes mapped = image;
  mapped.resize(image.size() + 4096, 0xEE);  // a view longer than the file
  ComputeImageChecksum(mapped.data(), static_cast<std::uint32_t>(mapped.size()), fileSize);
  const std::uint32_t field = ReadFacts(image).ntHeaders + nt::kCheckSum;
  EXPECT_EQ(LoadU32(mapped.data() + field), LoadU32(image.data() + field));
}

INSTANTIATE_TEST_SUITE_P(Forms, ChecksumImageTest, ::testing::Bool(), FormName);

// ------------------------------------------------------------ NT headers

Bytes MinimalHeaders(std::uint32_t lfanew, std::uint32_t size) {
  Bytes b(size, 0);
  b[0] = 'M';
  b[1] = 'Z';
  StoreU32(b.data() + 60, lfanew);
  return b;
}

TEST(LocateNtHeadersTest, FindsTheSignatureAtELfanew) {
  Bytes b = MinimalHeaders(64, 68);
  std::memcpy(b.data() + 64, "PE\0\0", 4);  // exactly the last four bytes
  EXPECT_EQ(LocateNtHeaders(b.data(), 68), b.data() + 64);
}

TEST(LocateNtHeadersTest, RefusesBadAndOutOfRangeHeaders) {
  {
    Bytes b = MinimalHeaders(64, 68);
    std::memcpy(b.data() + 64, "PE\0\0", 4);
    b[1] = 'Y';
    EXPECT_EQ(LocateNtHeaders(b.data(), 68), nullptr) << "no MZ";
  }
  {
    Bytes b = MinimalHeaders(64, 68);
    std::memcpy(b.data() + 64, "PE\0\1", 4);
    EXPECT_EQ(LocateNtHeaders(b.data(), 68), nullptr) << "PE without two zero bytes";
  }
  {
    Bytes b = MinimalHeaders(64, 68);
    std::memcpy(b.data() + 64, "PE\0\0", 4);
    EXPECT_EQ(LocateNtHeaders(b.data(), 67), nullptr) << "signature cut by the view";
  }
  for (std::uint32_t lfanew : {65u, 68u, 1000u, 0xFFFFFFFCu, 0xFFFFFFFFu, 0x80000000u}) {
    Bytes b = MinimalHeaders(lfanew, 68);
    std::memcpy(b.data() + 64, "PE\0\0", 4);
    EXPECT_EQ(LocateNtHeaders(b.data(), 68), nullptr) << "e_lfanew " << lfanew;
  }
  Bytes tiny = {'M', 'Z'};
  EXPECT_EQ(LocateNtHeaders(tiny.data(), 2), nullptr);
  EXPECT_EQ(LocateNtHeaders(tiny.data(), 1), nullptr);
  EXPECT_EQ(LocateNtHeaders(tiny.data(), 0), nullptr);
  EXPECT_EQ(LocateNtHeaders(nullptr, 0), nullptr);
}

// ------------------------------------------------------- resource section

class ResourceSectionTest : public ::testing::TestWithParam<bool> {
 protected:
  ImageSpec Spec() const {
    ImageSpec s = SpecWith(GetParam(), {{3, 1, 0, Filled(10, 1)}});
    s.sectionsAfter = {SectionSpec{".reloc", Filled(16, 9), 0, 0x42000040}};
    return s;
  }
  static std::optional<std::uint32_t> Find(Bytes& image) {
    const auto size = static_cast<std::uint32_t>(image.size());
    std::uint8_t* ntHeaders = LocateNtHeaders(image.data(), size);
    if (ntHeaders == nullptr) return std::nullopt;
    return FindResourceSection(image.data(), size, ntHeaders);
  }
  static std::uint32_t SectionField(const Bytes& image, std::uint32_t index, std::uint32_t field) {
    return LoadU32(image.data() + ReadFacts(image).sectionTable + sec::kSize * index + field);
  }
  static void SetSectionField(Bytes& image, std::uint32_t index, std::uint32_t field,
                              std::uint32_t v) {
    StoreU32(image.data() + ReadFacts(image).sectionTable + sec::kSize * index + field, v);
  }
};

TEST_P(ResourceSectionTest, FindsTheSectionAtTheResourceTableAddress) {
  Bytes image = BuildImage(Spec());
  EXPECT_EQ(Find(image), std::optional<std::uint32_t>(1u));
}

TEST_P(ResourceSectionTest, TakesTheFirstOfTwoSectionsWithThatAddress) {
  Bytes image = BuildImage(Spec());
  const std::uint32_t rva = ReadFacts(image).resourceVirtualAddress;
  SetSectionField(image, 2, sec::kVirtualAddress, rva);
  EXPECT_EQ(Find(image), std::optional<std::uint32_t>(1u));
  SetSectionField(image, 0, sec::kVirtualAddress, rva);
  EXPECT_EQ(Find(image), std::optional<std::uint32_t>(0u));
}

TEST_P(ResourceSectionTest, NoneWhenTheTableBeginsInsideASectionOrIsAbsent) {
  Bytes image = BuildImage(Spec());
  const ImageFacts facts = ReadFacts(image);
  StoreU32(image.data() + facts.dataDirectory + 16, facts.resourceVirtualAddress + 0x10);
  EXPECT_EQ(Find(image), std::nullopt);
  StoreU32(image.data() + facts.dataDirectory + 16, 0);
  EXPECT_EQ(Find(image), std::nullopt);

  ImageSpec none = Spec();
  none.withResourceSection = false;
  Bytes without = BuildImage(none);
  EXPECT_EQ(Find(without), std::nullopt);
}

TEST_P(ResourceSectionTest, NoneForAnUnknownOptionalHeaderMagic) {
  Bytes image = BuildImage(Spec());
  const ImageFacts facts = ReadFacts(image);
  for (std::uint16_t magic :
       {std::uint16_t{0x107}, std::uint16_t{0x000}, std::uint16_t{0x10C}, std::uint16_t{0x20A}}) {
    StoreU16(image.data() + facts.ntHeaders + nt::kMagic, magic);
    EXPECT_EQ(Find(image), std::nullopt) << "magic " << magic;
  }
}

TEST_P(ResourceSectionTest, NoneWhenTheDataDirectoryHasNoResourceEntry) {
  Bytes image = BuildImage(Spec());
  const ImageFacts facts = ReadFacts(image);
  const std::uint32_t count =
      facts.ntHeaders + (GetParam() ? nt::kNumberOfRvaAndSizes64 : nt::kNumberOfRvaAndSizes32);
  ASSERT_EQ(LoadU32(image.data() + count), 16u);
  StoreU32(image.data() + count, 3);
  EXPECT_EQ(Find(image), std::optional<std::uint32_t>(1u))
      << "three entries hold the resource table";
  StoreU32(image.data() + count, 2);
  EXPECT_EQ(Find(image), std::nullopt);
  StoreU32(image.data() + count, 0);
  EXPECT_EQ(Find(image), std::nullopt);
}

// Every prefix of a valid image is handled without a fault: none, or a
// section index whose header lies inside the prefix.
TEST_P(ResourceSectionTest, EveryTruncatedPrefixIsHandled) {
  ImageSpec spec = Spec();
  spec.resources = {{u"NAMED", u"MAINICON", 0, Filled(40, 1)}, {3, 1, 1033, Filled(10, 2)}};
  const Bytes image = BuildImage(spec);
  const ImageFacts facts = ReadFacts(image);
  for (std::size_t n = 0; n <= image.size(); ++n) {
    Bytes prefix(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(n));
    prefix.shrink_to_fit();  // the sanitizer sees a read past the prefix
    const auto size = static_cast<std::uint32_t>(n);
    std::uint8_t* ntHeaders = LocateNtHeaders(prefix.data(), size);
    if (n < facts.ntHeaders + 4) {
      EXPECT_EQ(ntHeaders, nullptr) << n;
      continue;
    }
    ASSERT_EQ(ntHeaders, prefix.data() + facts.ntHeaders) << n;
    const auto index = FindResourceSection(prefix.data(), size, ntHeaders);
    if (n < facts.sectionTable + sec::kSize * facts.sectionCount) {
      EXPECT_EQ(index, std::nullopt) << n;
    } else {
      EXPECT_EQ(index, std::optional<std::uint32_t>(facts.resourceSectionIndex)) << n;
    }
    if (index && *index == facts.resourceSectionIndex) {
      // Reading the directory from a cut image either works or is refused.
      try {
        ParseResourceTree(prefix.data(), size, facts.resourcePointerToRawData,
                          facts.resourceSizeOfRawData, facts.resourceVirtualAddress);
      } catch (const ImageFormatError&) {
      }
    }
  }
}

// A file mapped for reading is listed as the same bytes read whole are, cut
// anywhere: the same result, reason and entries, the data in the mapping.
TEST_P(ResourceSectionTest, AMappedFileIsListedAsItsBytesAre) {
  ImageSpec spec = Spec();
  spec.resources = {{u"NAMED", u"MAINICON", 0, Filled(40, 1)}, {3, 1, 1033, Filled(10, 2)}};
  const Bytes image = BuildImage(spec);
  const ImageFacts facts = ReadFacts(image);
  for (const std::size_t n :
       {std::size_t{0}, std::size_t{facts.ntHeaders + 4}, std::size_t{facts.sectionTable + 8},
        std::size_t{facts.resourcePointerToRawData + 20}, image.size()}) {
    SCOPED_TRACE(n);
    const Bytes prefix(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(n));
    const ImageFile file(prefix);
    const OwnedFile held(platform::OpenFileShared(file.wide()));
    ASSERT_TRUE(held.valid());
    ReadOnlyImage mapped;
    ASSERT_TRUE(mapped.Map(held.get()));
    ASSERT_EQ(Bytes(mapped.bytes().begin(), mapped.bytes().end()), prefix);
    std::vector<ResourceEntry> fromMapping, fromMemory;
    Error mappingError, memoryError;
    EXPECT_EQ(ReadImageResources(mapped.bytes(), fromMapping, &mappingError),
              ReadImageResources(prefix, fromMemory, &memoryError));
    EXPECT_EQ(mappingError.detail, memoryError.detail);
    ASSERT_EQ(fromMapping.size(), fromMemory.size());
    for (std::size_t i = 0; i < fromMapping.size(); ++i) {
      EXPECT_EQ(Bytes(fromMapping[i].data.begin(), fromMapping[i].data.end()),
                Bytes(fromMemory[i].data.begin(), fromMemory[i].data.end()));
      EXPECT_GE(fromMapping[i].data.data(), mapped.bytes().data());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, ResourceSectionTest, ::testing::Bool(), FormName);

// ------------------------------------------------------------ moving a tail

class ShiftFileTailTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kLength = 5000;

  void SetUp() override {
    original_ = Filled(kLength, 17);
    WriteWholeFile(path_, original_);
    file_ = platform::OpenFileByName(Utf16Path(path_).c_str(), true, false);
    ASSERT_NE(file_, platform::kInvalidFile);
    ASSERT_TRUE(MapWholeFile(file_, mapping_, view_, viewSize_));
    ASSERT_EQ(viewSize_, kLength);
  }
  // Drops the view, closes the file and returns its bytes.
  Bytes Close() {
    if (view_ != nullptr) UnmapFile(mapping_, view_, viewSize_);
    view_ = nullptr;
    platform::CloseFile(file_);
    file_ = platform::kInvalidFile;
    return ReadWholeFile(path_);
  }
  void TearDown() override {
    if (file_ != platform::kInvalidFile) Close();
  }
  Bytes Slice(const Bytes& b, std::size_t from, std::size_t to) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                 b.begin() + static_cast<std::ptrdiff_t>(to));
  }

  TempFolder folder_;
  std::filesystem::path path_ = folder_ / "tail.bin";
  Bytes original_;
  platform::FileHandle file_ = platform::kInvalidFile;
  platform::MappingHandle mapping_ = 0;
  std::uint8_t* view_ = nullptr;
  std::uint32_t viewSize_ = 0;
};

TEST_F(ShiftFileTailTest, GrowMovesTheTailBackwardsSafely) {
  const std::uint32_t position = 1000, delta = 700;  // overlapping move
  ASSERT_TRUE(
      ShiftFileTail(file_, position, static_cast<std::int32_t>(delta), mapping_, view_, viewSize_));
  ASSERT_EQ(viewSize_, kLength + delta);
  const Bytes inView(view_, view_ + viewSize_);
  EXPECT_EQ(Slice(inView, 0, position + delta), Slice(original_, 0, position + delta))
      << "the head and the first bytes of the old tail stay";
  EXPECT_EQ(Slice(inView, position + delta, viewSize_), Slice(original_, position, kLength));
  EXPECT_EQ(Close(), inView) << "the file holds what the view showed";
}

TEST_F(ShiftFileTailTest, ShrinkMovesTheTailForwards) {
  const std::uint32_t position = 3000;
  const std::int32_t delta = -1200;
  ASSERT_TRUE(ShiftFileTail(file_, position, delta, mapping_, view_, viewSize_));
  ASSERT_EQ(viewSize_, kLength - 1200);
  const Bytes inView(view_, view_ + viewSize_);
  EXPECT_EQ(Slice(inView, 0, 1800), Slice(original_, 0, 1800));
  EXPECT_EQ(Slice(inView, 1800, viewSize_), Slice(original_, position, kLength));
  EXPECT_EQ(Close(), inView);
}

TEST_F(ShiftFileTailTest, AtTheEndOnlyTheLengthChanges) {
  ASSERT_TRUE(ShiftFileTail(file_, kLength, 300, mapping_, view_, viewSize_));
  ASSERT_EQ(viewSize_, kLength + 300);
  EXPECT_EQ(Slice(Bytes(view_, view_ + viewSize_), 0, kLength), original_);
  ASSERT_TRUE(ShiftFileTail(file_, kLength + 300, -300, mapping_, view_, viewSize_));
  ASSERT_EQ(viewSize_, kLength);
  EXPECT_EQ(Close(), original_);
}

TEST_F(ShiftFileTailTest, GrowBeyondTheEndExtendsToPositionFirst) {
  const std::uint32_t position = kLength + 50;
  ASSERT_TRUE(ShiftFileTail(file_, position, 100, mapping_, view_, viewSize_));
  const Bytes after = Close();
  ASSERT_EQ(after.size(), position + 100);
  EXPECT_EQ(Slice(after, 0, kLength), original_);
  EXPECT_EQ(Slice(after, kLength, after.size()), Bytes(150, 0));
}

TEST_F(ShiftFileTailTest, ShrinkBeyondTheEndExtendsToPositionFirst) {
  const std::uint32_t position = kLength + 50;
  ASSERT_TRUE(ShiftFileTail(file_, position, -20, mapping_, view_, viewSize_));
  const Bytes after = Close();
  ASSERT_EQ(after.size(), kLength + 30);
  EXPECT_EQ(Slice(after, 0, kLength), original_);
  EXPECT_EQ(Slice(after, kLength, after.size()), Bytes(30, 0));
}

TEST_F(ShiftFileTailTest, ShrinkingTheWholeTailAway) {
  ASSERT_TRUE(ShiftFileTail(file_, kLength, -static_cast<std::int32_t>(kLength - 10), mapping_,
                            view_, viewSize_));
  EXPECT_EQ(Close(), Slice(original_, 0, 10));
}

}  // namespace
}  // namespace marovi::test
