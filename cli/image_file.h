// Reading an image file into memory and listing its resources, for the
// commands that only look.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace marovi::cli {

// An image read whole, and the listing of its resources, whose data point
// into its bytes.
struct ImageResources {
  std::vector<std::uint8_t> bytes;
  std::vector<ResourceEntry> entries;  // none when the image has no resource section
};

// Reads the image that argument names, as list and show-version do: the
// name checked, what a change of it that was cut short left put right first
// (with a line saying so), the file read whole, held shared (a change of it
// cannot run meanwhile, so it is never read half changed), and its resource
// directory read. Prints the reason and returns nothing on failure; an image
// without a resource section is one only when resourcesRequired.
std::optional<ImageResources> LoadImageResources(const std::string& argument,
                                                 bool resourcesRequired);

}  // namespace marovi::cli
