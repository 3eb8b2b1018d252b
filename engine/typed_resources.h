// The resources of one type in an open update, with their bytes: what a
// format that reads a resource, changes it and stores it again starts from.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/error.h"
#include "engine/update.h"

namespace marovi {

struct TypedResource {
  ResourceName name;
  std::uint16_t language = 0;
  std::vector<std::uint8_t> bytes;
};

// Every resource of type in the update, by name then language in the order
// of the tree, with its bytes wherever the update keeps them (the image,
// memory or a scratch file). False, with error (Io), when a scratch file
// cannot be read back; out then holds what was read before.
bool ResourcesOfType(const ResourceUpdate* update, std::uint16_t type, std::vector<TypedResource>& out,
                     Error* error);

}  // namespace marovi
