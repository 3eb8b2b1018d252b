// The resource directory of an image held in memory as a tree of TResItem
// nodes: type directories under the root, name directories under each type,
// one data leaf per language under each name.
#pragma once

#include <cstdint>
#include <string>

#include "engine/compact_string.h"
#include "engine/platform.h"

namespace marovi {

// A resource type or name as one pointer-sized value: below 0x10000 a numeric
// id, otherwise the address of a zero-terminated UTF-16 string.
using ResKey = const char16_t*;

inline ResKey MakeIntResource(std::uint16_t id) {
  return reinterpret_cast<ResKey>(static_cast<std::uintptr_t>(id));
}
inline bool IsIntResource(ResKey key) { return (reinterpret_cast<std::uintptr_t>(key) >> 16) == 0; }
inline std::uint16_t ResourceId(ResKey key) {
  return static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(key));
}

inline constexpr std::uint16_t kRtIcon = 3;
inline constexpr std::uint16_t kRtGroupIcon = 14;

// A directory of many resources holds two nodes per resource, so a node is
// kept small: a directory's and a leaf's own fields share their storage
// (isDirectory, which says which of them hold, never changes), and the
// fields are ordered to leave no padding. A new node starts all zero.
struct TResItem {
  CompactU16String name;        // empty for a numeric entry
  TResItem* firstChild = nullptr;
  TResItem* nextSibling = nullptr;
  CompactByteString data;       // new data held in memory
  std::uint32_t id = 0;         // numeric id or language; 0 for a named entry
  bool isDirectory = false;

  union {
    // Spans the fields of both below; it is there to start them all zero.
    std::uint32_t sharedStorage[(2 * sizeof(void*) + 12 + 3) / 4] = {};
    // Data leaf.
    struct {
      const std::uint8_t* dataPointer;  // bytes in the current view
      platform::FileHandle tempFile;     // scratch file with new data, or 0
      std::uint32_t dataSize;
      std::uint32_t codePage;
      std::uint32_t reserved;
    };
    // Directory node.
    struct {
      std::uint32_t characteristics;
      std::uint32_t timeDateStamp;
      std::uint16_t majorVersion;
      std::uint16_t minorVersion;
      std::uint32_t namedEntryCount;
      std::uint32_t idEntryCount;
    };
  };
};

// The place that holds a reference to a node: a parent's firstChild, the
// previous sibling's nextSibling, or the update's root.
using LinkSlot = TResItem**;

// Reads the resource directory at file offset rawOffset (the section's
// PointerToRawData; rawSize bytes of it lie in the file) into a tree. Every
// read is bounded: a table, entry, name or data range outside the section or
// the view, an entry leading back to a directory already read, or more
// entries than the section has room for, throws ImageFormatError naming what
// was wrong and where.
TResItem* ParseResourceTree(const std::uint8_t* view, std::uint32_t viewSize,
                            std::uint32_t rawOffset, std::uint32_t rawSize,
                            std::uint32_t virtualAddress);

LinkSlot FindNamedChild(TResItem* parent, ResKey key);
LinkSlot FindLanguageChild(TResItem* parent, std::uint16_t language);

// Frees the node in slot, every node after it in its list and all their
// descendants, closing and deleting scratch files; slot holds null afterwards.
void FreeResourceTree(LinkSlot slot);

// Length of a zero-terminated UTF-16 string.
std::size_t KeyLength(const char16_t* text);

}  // namespace marovi
