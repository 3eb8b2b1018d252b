// What a commit checks of the image it has written before the change counts
// as done: cheap invariants read back from the file with bounded reads.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "engine/error.h"
#include "engine/tree/restree.h"

namespace marovi {

// The first way in which the committed image differs from what was meant
// (kind Internal), or an empty Error: the resource section at sectionIndex must read back as the
// tree at root (structure, keys, sizes, code pages, and the bytes of data held in memory); no two
// sections may overlap in memory or in the file unless they did in oldHeaders (the image's headers
// before the change, up to the end of its section table); every data directory entry must lie in
// the section it lay in before. sectionAdded: the commit added the resource section behind the
// others, which the resource table now names.
Error CheckCommittedImage(const std::uint8_t* view, std::uint32_t viewSize,
                          std::span<const std::uint8_t> oldHeaders, std::uint32_t sectionIndex,
                          const TResItem* root, bool sectionAdded = false);

}  // namespace marovi
