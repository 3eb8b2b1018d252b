// Reading an image file into memory and finding its resource section, for
// listing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/error.h"

namespace marovi::cli {

struct ImageInspection {
  std::vector<std::uint8_t> bytes;   // the whole file
  std::uint32_t ntHeaders = 0;       // offset of the NT headers
  std::uint32_t rawOffset = 0;       // the resource section's PointerToRawData
  std::uint32_t rawSize = 0;         // its SizeOfRawData
  std::uint32_t virtualAddress = 0;  // its VirtualAddress
};

// Reads the file whole, held shared (a change of it cannot run meanwhile),
// and locates the headers and the resource section. Anything but a regular
// file is refused before it is opened. The error names the file: it cannot
// be opened or read, is not a PE image, has no resource section.
Error InspectImage(const std::u16string& path, ImageInspection& result);

}  // namespace marovi::cli
