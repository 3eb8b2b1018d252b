// Mapping an image file for reading and listing its resources, for the
// commands that only look.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/change_workflow.h"

namespace marovi::cli {

// An image held shared and mapped for reading, and the listing of its
// resources, whose data point into the mapping. Only the pages looked at are
// read from the disk: the headers and the resource directory, and the data
// of the resources a command shows.
struct ImageResources {
  app::HeldFile file;  // held shared while the mapping is read
  ReadOnlyImage image;
  std::vector<ResourceEntry> entries;  // none when the image has no resource section
};

// Reads the image that argument names, as list and show-version do: the
// name checked, what a change of it that was cut short left put right first
// (with a line saying so), the file mapped and held shared for as long as
// the result lives (a change of it cannot run meanwhile, so it is never read
// half changed), and its resource directory read. Prints the reason and
// returns nothing on failure; an image without a resource section is one only
// when resourcesRequired.
std::optional<ImageResources> LoadImageResources(const std::string& argument,
                                                 bool resourcesRequired);

}  // namespace marovi::cli
