// Many numbered names of one type deleted or added at once, on the tree
// (engine.h has the same for an update, NumberedResourceChange). Each operation
// leaves the tree as one UpdateResourceData call per name, in the order
// given, would leave it, but walks the type's entries once instead of once
// per call: thousands of names cost n log n, not n squared, whatever the
// order in which the file lists its entries. The work is split in a part
// that may fail and changes nothing, and a part that changes the tree and
// cannot fail, so that a caller can prepare several changes and apply them
// only once all of them were prepared.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/engine.h"
#include "engine/tree/restree.h"

namespace marovi {

// What deleting numbered names of one language under one numbered type
// removes, worked out before anything is removed. The rules are those of
// UpdateResourceData with no data, one call per id in the order given
// (repeats included), except that a name that does not exist is left alone:
// id 0 never stands for every name of the type.
class NumberedDeletion {
 public:
  // Throws std::bad_alloc, having changed nothing.
  NumberedDeletion(TResItem* root, std::uint16_t type, const std::vector<std::uint16_t>& ids,
                   std::uint16_t language);

  // The ids of the numbered entries of the type that are left once the
  // deletion is applied, ascending and each once. Throws std::bad_alloc.
  std::vector<std::uint32_t> IdsLeft() const;

  // Removes what was worked out (closing and deleting the scratch files of
  // the leaves it frees), the name directories that it leaves empty and the
  // type when it is left empty; the root stays. The type's subtree must not
  // have changed since the deletion was worked out. Runs once.
  void Apply() noexcept;

 private:
  struct Removal {
    TResItem* name;            // a name directory of the type, in list order
    std::uint32_t leaves = 0;  // its first leaves of the language to remove
    bool whole = false;        // or the directory with all its leaves
  };
  TResItem* root_;
  TResItem* type_ = nullptr;
  std::uint16_t language_;
  std::vector<Removal> removals_;
};

// Numbered resources of one language to add under one numbered type, none of
// which exists yet, each as UpdateResourceData would add it: a leaf in the
// first name directory of its id when there is one, else a new name
// directory at its sorted place.
class NumberedInsertion {
 public:
  // Makes every new node and keeps its data (large data in the leaf's
  // scratch file) before anything is linked. Throws ScratchFileError,
  // std::bad_alloc, or std::invalid_argument for an id given twice, leaving
  // nothing behind.
  NumberedInsertion(std::uint16_t type, const std::vector<NumberedData>& items,
                    std::uint16_t language);
  // Destroying it frees what was not linked.

  // Links the new nodes into the tree (the type directory too, when it is
  // missing). False, with the tree unchanged, when a leaf of the language
  // exists already under one of the names. Runs once.
  bool Link(TResItem* root) noexcept;

 private:
  struct Entry {
    std::uint16_t id;
    ResourceTree name;             // a new name directory holding the leaf, until linked
    TResItem* existing = nullptr;  // the name directory the leaf goes into
  };
  std::uint16_t type_;
  std::uint16_t language_;
  ResourceTree spareType_;      // the type directory, should it be missing
  std::vector<Entry> entries_;  // ascending by id
};

}  // namespace marovi
