// Any resource of a change by type and name, set from a file or deleted, and
// whole sets of resources brought in at once: those of a compiled resource
// file (.res) or of another image.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "app/change_workflow.h"

namespace marovi::app {

// A resource brought in: its bytes lie wherever the caller keeps them.
struct ImportedResource {
  ResourceName type = ResourceName(std::uint16_t{0});
  ResourceName name = ResourceName(std::uint16_t{0});
  std::uint16_t language = 0;
  std::span<const std::uint8_t> data;
};

// Adds or replaces each resource of added in the update, as a link of them
// into the image would. Icon and cursor groups (types 14 and 12) bring the
// images they list (types 3 and 1, looked up by id in pool, in the group's
// language first), and a group replaced takes its old images with it (those
// that no other group lists). Each image keeps its id unless another image
// of the update has it already; it then gets the lowest free id and the
// group record is written with it, so a group shows its own images and no
// other group's image is overwritten. Images that no group of added lists
// are added or replaced by their ids as they are. False, with error naming
// source, when a group record is cut short, lists an image that pool does
// not hold, or no free id is left; storing fails with its own error.
bool ImportResources(ResourceUpdate* update, const std::vector<ImportedResource>& added,
                     const std::vector<ImportedResource>& pool, const std::string& source,
                     Error& error);

// Sets (edit.file's bytes in bytes) or deletes one resource. A language not
// named is the one the resource has; a new one is US English. Deleting an
// icon or cursor group takes the images along that no other group lists.
// False, with error naming the image: the resource has several languages
// and none was named, a resource to delete is not there, or storing fails.
bool ApplyResourceItemEdit(ResourceUpdate* update, const ResourceItemEdit& edit,
                           const std::vector<std::uint8_t>& bytes, Error& error);

// The imports and the items of edits, in that order, reading their files.
bool ApplyResourceEdits(ResourceUpdate* update, const ResourceEdits& edits, Error* error);

// The language of a new resource that names none.
inline constexpr std::uint16_t kResourceLanguageWhenNone = 0x0409;

}  // namespace marovi::app
