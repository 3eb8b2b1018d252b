// Which icon group the shell shows for an image.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/restree.h"
#include "engine/update.h"

namespace marovi {

// An icon group leaf: the group's name or id and the leaf's language.
struct IconGroupKey {
  ResourceName name;
  std::uint16_t language = 0;
};

// The same name (code unit by code unit) or id, and the same language.
bool operator==(const IconGroupKey& a, const IconGroupKey& b);

// The icon group the shell shows for an image with this resource tree: the
// first group (type 14) that the directory lists and that holds a data leaf,
// and the language of its first leaf (the lowest in a sorted directory). A
// sorted directory lists named groups before numbered ones, names in their
// sorted order, then ids in ascending order; the tree keeps the directory's
// order as it was read, and puts what an update adds in that order. None
// when there is no icon group.
std::optional<IconGroupKey> ShellIconGroup(const TResItem* root);

// The name directory and the leaf of that group in the tree; both null when
// there is none.
struct IconGroupNodes {
  const TResItem* name = nullptr;
  const TResItem* leaf = nullptr;
};
IconGroupNodes ShellIconGroupNodes(const TResItem* root);

}  // namespace marovi
