// icotool (icoutils) as an independent reader of the icons made from PNGs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "icons/png_icon.h"
#include "tests/formats/png_test_images.h"
#include "tests/support/test_files.h"

namespace marovi {
namespace {

// The command's standard output, and its exit status in status.
std::string RunCommand(const std::string& command, int& status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    status = -1;
    return out;
  }
  char buffer[512];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  status = pclose(pipe);
  return out;
}

TEST(PngIconIcotoolTest, IcotoolListsThePngAndFourBitmapsOf32Bits) {
  test::TempFolder folder;
  Error error;
  const std::optional<std::vector<std::uint8_t>> icon =
      IconFileFromPng(test::PngOfTestPattern(300, 300), &error);
  ASSERT_TRUE(icon.has_value()) << error.detail;
  test::WriteWholeFile(folder / "made.ico", *icon);

  int status = 0;
  const std::string listing =
      RunCommand("icotool -l '" + (folder / "made.ico").string() + "' 2>&1", status);
  ASSERT_EQ(status, 0) << listing;
  EXPECT_EQ(listing,
            "--icon --index=1 --width=256 --height=256 --bit-depth=32 --palette-size=0\n"
            "--icon --index=2 --width=48 --height=48 --bit-depth=32 --palette-size=0\n"
            "--icon --index=3 --width=32 --height=32 --bit-depth=32 --palette-size=0\n"
            "--icon --index=4 --width=24 --height=24 --bit-depth=32 --palette-size=0\n"
            "--icon --index=5 --width=16 --height=16 --bit-depth=32 --palette-size=0\n");

  // It also takes every image apart: the PNG as it is, the bitmaps with their masks.
  const std::filesystem::path out = folder / "out";
  std::filesystem::create_directory(out);
  const std::string extraction = RunCommand(
      "icotool -x -o '" + out.string() + "' '" + (folder / "made.ico").string() + "' 2>&1", status);
  ASSERT_EQ(status, 0) << extraction;
  EXPECT_EQ(extraction, "");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(out))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"made_1_256x256x32.png", "made_2_48x48x32.png",
                                             "made_3_32x32x32.png", "made_4_24x24x32.png",
                                             "made_5_16x16x32.png"}));
}

}  // namespace
}  // namespace marovi
