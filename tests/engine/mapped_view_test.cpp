// The mapped view of a whole file: mapping, mapping again at a new length,
// handing the mapping on, dropping it, and a tail move that fails part way.
#include "engine/platform/mapped_view.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

#include "engine/pe/image.h"
#include "tests/engine/engine_test_util.h"
#include "tests/support/fault_injection.h"

namespace marovi::test {
namespace {

using platform::MappedView;

class MappedViewTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kLength = 6000;

  void SetUp() override {
    original_ = Filled(kLength, 29);
    WriteWholeFile(path_, original_);
    file_ = platform::OpenFileByName(Utf16Path(path_).c_str(), true, false);
    ASSERT_NE(file_, platform::kInvalidFile);
  }
  void TearDown() override {
    fault::InjectFailureAt(0);
    platform::CloseFile(file_);
  }
  // What the view shows, which must be what the file holds.
  static Bytes Shown(const MappedView& view) {
    return Bytes(view.bytes().begin(), view.bytes().end());
  }
  // The file's bytes, read through its handle (Windows lets nobody else
  // open it meanwhile).
  Bytes FileBytes() const {
    std::uint64_t length = 0;
    EXPECT_TRUE(platform::GetFileLength(file_, length));
    Bytes bytes(static_cast<std::size_t>(length));
    EXPECT_TRUE(platform::ReadAt(file_, 0, bytes.data(), bytes.size()));
    return bytes;
  }
  // Gives the file its first bytes back.
  void Restore() {
    ASSERT_TRUE(platform::SetFileLength(file_, kLength));
    ASSERT_TRUE(platform::WriteAt(file_, 0, original_.data(), original_.size()));
  }

  TempFolder folder_;
  std::filesystem::path path_ = folder_ / "mapped.bin";
  Bytes original_;
  platform::FileHandle file_ = platform::kInvalidFile;
};

TEST_F(MappedViewTest, MapsTheWholeFileAndWritesReachIt) {
  MappedView view;
  EXPECT_FALSE(view.mapped());
  EXPECT_EQ(view.size(), 0u);
  ASSERT_TRUE(view.Map(file_));
  EXPECT_EQ(view.file(), file_);
  EXPECT_EQ(view.size(), kLength);
  EXPECT_EQ(Shown(view), original_);
  view.data()[kLength - 1] = 0xA5;
  view.Reset();
  EXPECT_FALSE(view.mapped());
  EXPECT_EQ(view.size(), 0u);
  Bytes expected = original_;
  expected[kLength - 1] = 0xA5;
  EXPECT_EQ(FileBytes(), expected);
}

TEST_F(MappedViewTest, RemapFollowsTheFileAsItGrowsAndShrinks) {
  MappedView view;
  ASSERT_TRUE(view.Map(file_));
  // A file cannot change its length while it is mapped (Windows).
  for (const std::uint32_t length : {kLength + 5000, kLength / 3, 1u}) {
    SCOPED_TRACE(length);
    view.Reset();
    ASSERT_TRUE(platform::SetFileLength(file_, length));
    ASSERT_TRUE(view.Remap());
    ASSERT_EQ(view.size(), length);
    Bytes expected(original_.begin(), original_.begin() + std::min(length, kLength));
    expected.resize(length, 0);  // grown bytes read as zeros
    EXPECT_EQ(Shown(view), expected);
  }
  // An empty file cannot be mapped: the view stays empty, and maps the file
  // again once it has bytes.
  view.Reset();
  ASSERT_TRUE(platform::SetFileLength(file_, 0));
  EXPECT_FALSE(view.Remap());
  EXPECT_FALSE(view.mapped());
  EXPECT_EQ(view.size(), 0u);
  ASSERT_TRUE(platform::SetFileLength(file_, 100));
  ASSERT_TRUE(view.Remap());
  EXPECT_EQ(view.size(), 100u);
}

TEST_F(MappedViewTest, MovingHandsTheMappingOnAndLeavesTheSourceEmpty) {
  MappedView first;
  ASSERT_TRUE(first.Map(file_));
  std::uint8_t* const data = first.data();
  MappedView second(std::move(first));
  EXPECT_FALSE(first.mapped());  // NOLINT(bugprone-use-after-move): moved-from state is specified
  EXPECT_EQ(first.size(), 0u);
  EXPECT_EQ(first.file(), platform::kInvalidFile);
  EXPECT_EQ(second.data(), data);
  EXPECT_EQ(Shown(second), original_);

  // Assignment drops the target's own view first; the source's goes on.
  MappedView third;
  ASSERT_TRUE(third.Map(file_));
  third = std::move(second);
  EXPECT_EQ(third.data(), data);
  EXPECT_FALSE(second.mapped());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(Shown(third), original_);
  third = MappedView();
  EXPECT_FALSE(third.mapped());
  // A moved-from view maps again once it is given a file.
  ASSERT_TRUE(first.Map(file_));
  EXPECT_EQ(Shown(first), original_);
}

// A tail move that fails at any of its file calls leaves the view mapped at
// the file's length, showing what the file holds: never a view of a mapping
// that is gone. A growing move that fails leaves the file as it was.
TEST_F(MappedViewTest, AFailedTailMoveLeavesTheViewShowingTheFile) {
  for (const std::int32_t delta : {900, -700}) {
    for (std::uint64_t n = 1;; ++n) {
      SCOPED_TRACE(testing::Message() << "delta " << delta << ", failure at call " << n);
      Restore();
      MappedView view;
      ASSERT_TRUE(view.Map(file_));
      fault::InjectFailureAt(n);
      const bool moved = ShiftFileTail(view, 2000, delta);
      const bool failed = fault::InjectedFailureHappened();
      fault::InjectFailureAt(0);
      ASSERT_NE(moved, failed);
      ASSERT_TRUE(view.mapped());
      const Bytes now = FileBytes();
      EXPECT_EQ(Shown(view), now);
      view.Reset();
      if (moved) {
        EXPECT_EQ(now.size(), kLength + static_cast<std::uint64_t>(delta));
        EXPECT_GT(n, 1u) << "no call of the move could be made to fail";
        break;
      }
      if (delta > 0) {
        EXPECT_EQ(now, original_);
      }
      ASSERT_LT(n, 100u) << "the move never succeeded";
    }
  }
}

}  // namespace
}  // namespace marovi::test
