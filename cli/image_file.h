// Reading an image file into memory and finding its resource section, for
// listing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/error.h"
#include "engine/restree.h"

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

// An image read for the commands that only look: its bytes and its resource
// tree, whose leaves point into those bytes.
struct ImageResources {
  ImageInspection image;
  ResourceTree root;  // null when the image has no resource section
};

// Reads the image that argument names, as list and show-version do: the
// name checked, what a change of it that was cut short left put right first
// (with a line saying so), the file read held shared, never half changed, and
// its resource directory read. Prints the reason and returns nothing on
// failure; an image without a resource section is one only when
// resourcesRequired.
std::optional<ImageResources> ReadImageResources(const std::string& argument, bool resourcesRequired);

}  // namespace marovi::cli
