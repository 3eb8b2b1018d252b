// Resources of the machine's own Windows programs (wine64's), for tests that
// take what real tools wrote as their input.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace marovi::test {

struct RealResource {
  std::string file;  // the program's file name
  std::uint16_t language = 0;
  std::vector<std::uint8_t> bytes;
};

// A path of this machine as the test program sees it: under Wine, through
// the drive that maps the root.
std::filesystem::path HostPath(std::string_view unixPath);

// Every resource of type in wine64's programs, read by the engine from a
// copy of each (an update opens its file for writing). Empty when the
// programs are not there.
const std::vector<RealResource>& RealResources(std::uint16_t type);

}  // namespace marovi::test
