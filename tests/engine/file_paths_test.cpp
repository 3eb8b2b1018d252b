// The commit's file paths: the checksum summed from read buffers, copies
// between files, and the section image written through the scratch file.
// Each must give exactly what the in-memory path gives.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/commit/commit.h"
#include "engine/commit/section_layout.h"
#include "engine/pe/bytes.h"
#include "engine/pe/image.h"
#include "engine/platform/platform.h"
#include "tests/engine/engine_test_util.h"
#include "tests/support/fault_injection.h"

namespace marovi::test {
namespace {

// The sum as the format describes it: one 16-bit word at a time, folded at
// every carry.
std::uint32_t WordByWord(const Bytes& b) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < b.size(); i += 2) {
    sum += b[i] | (i + 1 < b.size() ? static_cast<std::uint32_t>(b[i + 1]) << 8 : 0u);
    if (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum;
}

// An open, mapped file holding bytes; closed and removed at the end.
class MappedFile {
 public:
  explicit MappedFile(const Bytes& bytes) : path_(folder_ / "image.exe") {
    WriteWholeFile(path_, bytes);
    file = platform::OpenFileByName(Utf16Path(path_).c_str(), true, false);
    if (file != platform::kInvalidFile) MapWholeFile(file, mapping, view, viewSize);
  }
  ~MappedFile() {
    UnmapFile(mapping, view, viewSize);
    platform::CloseFile(file);
  }
  Bytes Read() const { return ReadWholeFile(path_); }

  platform::FileHandle file = platform::kInvalidFile;
  platform::MappingHandle mapping = 0;
  std::uint8_t* view = nullptr;
  std::uint32_t viewSize = 0;

 private:
  TempFolder folder_;
  std::filesystem::path path_;
};

TEST(WordSumTest, MatchesTheWordByWordSumAtEveryLengthAndPattern) {
  // Lengths around the vector steps, and buffers of all-ones words, which
  // fill the lanes fastest (a lane that overflowed would lose a carry).
  const Bytes random = Random(5000, 3);
  for (std::size_t n = 0; n < 300; ++n) {
    const Bytes b(random.begin(), random.begin() + static_cast<std::ptrdiff_t>(n));
    ASSERT_EQ(ImageChecksum(b.data(), static_cast<std::uint32_t>(n)), WordByWord(b))
        << n << " bytes";
  }
  for (std::size_t n : {std::size_t{1} << 20, (std::size_t{3} << 20) + 7}) {
    const Bytes ones(n, 0xFF);
    EXPECT_EQ(ImageChecksum(ones.data(), static_cast<std::uint32_t>(n)), WordByWord(ones)) << n;
    const Bytes b = Random(n, n);
    EXPECT_EQ(ImageChecksum(b.data(), static_cast<std::uint32_t>(n)), WordByWord(b)) << n;
  }
}

TEST(ChecksumPartsTest, PiecesAtAnyOffsetInAnyOrderSumLikeTheWhole) {
  const Bytes b = Random(100003, 9);
  // Cuts at odd and even places, added back to front.
  const std::vector<std::size_t> cuts = {0, 1, 2, 7, 4096, 4097, 65535, 99999, 100003};
  ChecksumParts parts;
  for (std::size_t k = cuts.size() - 1; k > 0; --k)
    parts.Add(cuts[k - 1], b.data() + cuts[k - 1], cuts[k] - cuts[k - 1]);
  EXPECT_EQ(parts.Folded(), ImageChecksum(b.data(), static_cast<std::uint32_t>(b.size())));
  // Zero words fold to 0, a nonzero multiple of 0xFFFF to 0xFFFF, both ways.
  const Bytes zeros(10, 0), ones = {0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  ChecksumParts z, o, o2;
  z.Add(3, zeros.data(), zeros.size());
  o.Add(0, ones.data(), 4);
  o2.Add(1, ones.data() + 1, 3);
  o2.Add(0, ones.data(), 1);
  EXPECT_EQ(z.Folded(), 0u);
  EXPECT_EQ(o.Folded(), 0xFFFFu);
  EXPECT_EQ(o2.Folded(), 0xFFFFu);
  ChecksumParts odd;
  odd.Add(1, ones.data() + 4, 1);  // 0x01 as a high half: 0x0100
  EXPECT_EQ(odd.Folded(), 0x0100u);
}

TEST(ChecksumFromFileTest, AKnownRangeIsNotReadAgainAndCountsTheSame) {
  ImageSpec spec;
  spec.resources = {{3, 1, 0, Filled(999, 1)}};
  spec.appended = Random(300001, 4);
  const Bytes image = BuildImage(spec);
  const std::uint32_t field = ReadFacts(image).ntHeaders + nt::kCheckSum;
  MappedFile f(image);
  ASSERT_NE(f.view, nullptr);
  for (std::uint64_t begin :
       {std::uint64_t{4097}, std::uint64_t{8192}, std::uint64_t{f.viewSize}}) {
    SCOPED_TRACE(begin);
    SummedRange known{ByteRange::Between(begin, f.viewSize), {}};
    known.sum.Add(begin, image.data() + begin, static_cast<std::size_t>(f.viewSize - begin));
    StoreU32(f.view + field, 7);
    ComputeImageChecksumFromFile(f.file, f.view, f.viewSize, f.viewSize, {&known, 1});
    EXPECT_EQ(LoadU32(f.view + field), StandardChecksum(image, field));
  }
  // A range said to be known is taken as it is given: a wrong sum shows,
  // which proves the range was not read.
  SummedRange wrong{ByteRange::Between(8192, f.viewSize), {}};
  ComputeImageChecksumFromFile(f.file, f.view, f.viewSize, f.viewSize, {&wrong, 1});
  EXPECT_NE(LoadU32(f.view + field), StandardChecksum(image, field));

  // Several ranges, at odd and even offsets, one touching the next.
  const std::uint64_t bounds[][2] = {
      {4097, 9000}, {9000, 9001}, {20000, 150003}, {200000, f.viewSize}};
  std::vector<SummedRange> ranges;
  for (const auto& b : bounds) {
    SummedRange r{ByteRange::Between(b[0], b[1]), {}};
    r.sum.Add(b[0], image.data() + b[0], static_cast<std::size_t>(b[1] - b[0]));
    ranges.push_back(r);
  }
  StoreU32(f.view + field, 7);
  ComputeImageChecksumFromFile(f.file, f.view, f.viewSize, f.viewSize, ranges);
  EXPECT_EQ(LoadU32(f.view + field), StandardChecksum(image, field));

  // Ranges out of order or overlapping are not trusted: the file is read.
  for (const auto& given : {std::vector<SummedRange>{{{20000, 10000}, {}}, {{10000, 5000}, {}}},
                            std::vector<SummedRange>{{{10000, 10000}, {}}, {{19999, 10001}, {}}}}) {
    StoreU32(f.view + field, 7);
    ComputeImageChecksumFromFile(f.file, f.view, f.viewSize, f.viewSize, given);
    EXPECT_EQ(LoadU32(f.view + field), StandardChecksum(image, field));
  }
}

TEST(ChecksumFromFileTest, WritesWhatTheViewSumWrites) {
  // A real image with appended data: lengths that end inside, exactly at
  // and just past the reading chunks, odd and even.
  for (std::size_t appended : {std::size_t{0}, std::size_t{1}, std::size_t{700001},
                               (std::size_t{1} << 20) - 1024, std::size_t{3} << 20}) {
    SCOPED_TRACE(appended);
    ImageSpec spec;
    spec.resources = {{3, 1, 0, Filled(999, 1)}, {14, u"MAINICON", 0, Filled(20, 2)}};
    spec.appended = Random(appended, appended + 1);
    const Bytes image = BuildImage(spec);
    const std::uint32_t field = ReadFacts(image).ntHeaders + nt::kCheckSum;

    MappedFile f(image);
    ASSERT_NE(f.view, nullptr);
    StoreU32(f.view + field, 0xDEADBEEF);
    ComputeImageChecksumFromFile(f.file, f.view, f.viewSize, f.viewSize);
    const std::uint32_t fromFile = LoadU32(f.view + field);
    ComputeImageChecksum(f.view, f.viewSize, f.viewSize);
    EXPECT_EQ(fromFile, LoadU32(f.view + field));
    EXPECT_EQ(fromFile, StandardChecksum(image, field));
  }
}

TEST(ChecksumFromFileTest, AFailingReadFallsBackOnTheView) {
  ImageSpec spec;
  spec.resources = {{3, 1, 0, Filled(99, 1)}};
  const Bytes image = BuildImage(spec);
  const std::uint32_t field = ReadFacts(image).ntHeaders + nt::kCheckSum;
  MappedFile f(image);
  ASSERT_NE(f.view, nullptr);
  StoreU32(f.view + field, 1);
  fault::InjectFailureAt(1);
  ComputeImageChecksumFromFile(f.file, f.view, f.viewSize, f.viewSize);
  EXPECT_TRUE(fault::InjectedFailureHappened());
  fault::InjectFailureAt(0);
  EXPECT_EQ(LoadU32(f.view + field), StandardChecksum(image, field));
}

TEST(CopyFileRangeTest, CopiesBetweenFilesAndWithinOneAndReportsAShortSource) {
  TempFolder folder;
  const Bytes source = Random(300000, 5);
  WriteWholeFile(folder / "a", source);
  WriteWholeFile(folder / "b", Bytes(400000, 0));
  const auto a = platform::OpenFileByName(Utf16Path(folder / "a").c_str(), true, false);
  const auto b = platform::OpenFileByName(Utf16Path(folder / "b").c_str(), true, false);
  ASSERT_NE(a, platform::kInvalidFile);
  ASSERT_NE(b, platform::kInvalidFile);
  EXPECT_TRUE(platform::CopyFileRange(a, 1000, b, 50001, 250000));
  // Within one file, the ranges apart.
  EXPECT_TRUE(platform::CopyFileRange(a, 0, a, 200000, 100000));
  // The source ends before count bytes.
  EXPECT_FALSE(platform::CopyFileRange(a, 299000, b, 0, 5000));
  platform::CloseFile(a);
  platform::CloseFile(b);

  // How much of a short copy arrived differs between the systems: its
  // target range is left out of the comparison.
  Bytes expectedB(400000, 0);
  std::memcpy(expectedB.data() + 50001, source.data() + 1000, 250000);
  Bytes b2 = ReadWholeFile(folder / "b");
  ASSERT_EQ(b2.size(), expectedB.size());
  std::memset(b2.data(), 0, 5000);
  EXPECT_TRUE(b2 == expectedB);
  Bytes expectedA = source;
  std::memcpy(expectedA.data() + 200000, source.data(), 100000);
  EXPECT_TRUE(ReadWholeFile(folder / "a") == expectedA);
}

// The section image written through the scratch file (large unchanged leaves
// copied from the image file, small ones gathered, new data from memory and
// from scratch files) is byte for byte the one the writing pass puts into
// memory.
TEST(SectionThroughFilesTest, IsTheSectionWrittenIntoMemory) {
  ImageSpec spec;
  spec.resources = {{3, 1, 0, Filled(70001, 1)},  // copied file to file
                    {3, 2, 0, Filled(13, 2)},     // replaced below
                    {3, 3, 0, Filled(65535, 3)},  // just below the direct copy
                    {6, 1, 1033, Filled(6, 4)},   // gathered, odd sizes
                    {6, 2, 1033, Filled(301, 4)},
                    {10, 1, 0, Filled(300000, 5)},  // more than the gathering buffer
                    {10, 2, 0, {}},
                    {14, u"MAINICON", 0, Filled(20, 6)}};
  TempFolder folder;
  WriteWholeFile(folder / "u.exe", BuildImage(spec));
  ResourceUpdate* u = BeginResourceUpdate(Utf16Path(folder / "u.exe").c_str(), false);
  ASSERT_NE(u, nullptr);
  const Bytes small = Filled(5001, 7), large = Filled(40000, 8);
  ASSERT_TRUE(UpdateResourceData(u, MakeIntResource(3), MakeIntResource(2), 0, small.data(), 5001));
  ASSERT_TRUE(
      UpdateResourceData(u, MakeIntResource(3), MakeIntResource(9), 0, large.data(), 40000));
  ASSERT_NE(Child(Child(Child(u->root.get(), "3"), "9"), "0")->leaf().data.scratch(), nullptr);

  std::uint32_t dirBytes = 0, nameBytes = 0, dataBytes = 0;
  MeasureResourceTree(u->root.get(), dirBytes, nameBytes, dataBytes);
  const std::uint32_t rva = 0x3000;
  const std::uint32_t size = RoundUp(dirBytes + nameBytes, 4) + dataBytes;
  Bytes inMemory(size, 0);
  SectionCursor cursor{inMemory.data(), size, rva, 0, dirBytes, RoundUp(dirBytes + nameBytes, 4)};
  ASSERT_TRUE(WriteResourceTree(u->root.get(), cursor));

  SectionImage plain = BuildResourceSection(rva, u->root.get(), dirBytes, nameBytes, dataBytes);
  ASSERT_NE(plain.view, nullptr);
  const Bytes viaPlain(plain.view, plain.view + plain.size);
  plain.Release();
  SectionImage files = BuildResourceSection(rva, u->root.get(), dirBytes, nameBytes, dataBytes,
                                            u->fileHandle, u->view.data(), nullptr);
  ASSERT_NE(files.view, nullptr);
  const Bytes viaFiles(files.view, files.view + files.size);
  files.Release();
  EXPECT_TRUE(viaPlain == inMemory);
  EXPECT_TRUE(viaFiles == inMemory);
  EXPECT_TRUE(EndResourceUpdate(u, true));
  EXPECT_TRUE(LeftoverScratchFiles().empty());
}

}  // namespace
}  // namespace marovi::test
