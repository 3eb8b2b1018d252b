// The resource directory of an image held in memory as a tree of TResItem
// nodes: type directories under the root, name directories under each type,
// one data leaf per language under each name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "engine/resource_key.h"
#include "engine/tree/compact_string.h"
#include "engine/tree/leaf_data.h"

namespace marovi {

// The fields of a directory node: its table's header, and the counts of its
// named and numbered entries (kept in 32 bits, so that a tree grown beyond
// the table's 16-bit fields can be told and refused).
struct ResourceDirectory {
  std::uint32_t characteristics = 0;
  std::uint32_t timeDateStamp = 0;
  std::uint16_t majorVersion = 0;
  std::uint16_t minorVersion = 0;
  std::uint32_t namedEntryCount = 0;
  std::uint32_t idEntryCount = 0;
};

// The fields of a data leaf: where its bytes are, and its data entry.
struct ResourceLeaf {
  LeafData data;
  std::uint32_t dataSize = 0;
  std::uint32_t codePage = 0;
  std::uint32_t reserved = 0;
};

struct TResItem;
// A node owns its first child and its next sibling, so the root owns the
// whole tree.
using ResourceTree = std::unique_ptr<TResItem>;

// One node: a directory or a data leaf, which it stays for its life. A
// directory of many resources holds two nodes per resource, so a node is
// kept small.
struct TResItem {
  static ResourceTree Directory() { return ResourceTree(new TResItem(ResourceDirectory())); }
  static ResourceTree Leaf() { return ResourceTree(new TResItem(ResourceLeaf())); }

  // Frees the siblings behind it one by one, never by recursion along the
  // list (a list may hold tens of thousands of entries).
  ~TResItem() {
    while (nextSibling) nextSibling = std::move(nextSibling->nextSibling);
  }
  TResItem(const TResItem&) = delete;
  TResItem& operator=(const TResItem&) = delete;

  bool isDirectory() const noexcept { return fields_.index() == 0; }
  // The fields of the node's kind; asking a node for the other kind's
  // throws std::bad_variant_access.
  ResourceDirectory& directory() { return std::get<ResourceDirectory>(fields_); }
  const ResourceDirectory& directory() const { return std::get<ResourceDirectory>(fields_); }
  ResourceLeaf& leaf() { return std::get<ResourceLeaf>(fields_); }
  const ResourceLeaf& leaf() const { return std::get<ResourceLeaf>(fields_); }

  CompactU16String name;  // empty for a numeric entry
  ResourceTree firstChild;
  ResourceTree nextSibling;
  std::uint32_t id = 0;  // numeric id or language; 0 for a named entry

 private:
  explicit TResItem(ResourceDirectory fields) : fields_(fields) {}
  explicit TResItem(ResourceLeaf fields) : fields_(std::move(fields)) {}
  std::variant<ResourceDirectory, ResourceLeaf> fields_;
};

// The place that holds a reference to a node: a parent's firstChild, the
// previous sibling's nextSibling, or the update's root.
using LinkSlot = ResourceTree*;

// Reads the resource directory at file offset rawOffset (the section's
// PointerToRawData; rawSize bytes of it lie in the file) into a tree. Every
// read is bounded: a table, entry, name or data range outside the section or
// the view, an entry leading back to a directory already read, or more
// entries than the section has room for, throws ImageFormatError (an
// EngineFailure of kind MalformedImage) naming what was wrong and where.
ResourceTree ParseResourceTree(const std::uint8_t* view, std::uint32_t viewSize,
                               std::uint32_t rawOffset, std::uint32_t rawSize,
                               std::uint32_t virtualAddress);

LinkSlot FindNamedChild(TResItem* parent, ResKey key);
LinkSlot FindLanguageChild(TResItem* parent, std::uint16_t language);

// Length of a zero-terminated UTF-16 string.
std::size_t KeyLength(const char16_t* text);

}  // namespace marovi
