// The icons layer as the layers above use it: an icon group of an open update
// replaced with the images of an icon file or of a square PNG image, and the
// icon group the shell shows for an image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace marovi {

// Removes the group (type 14) `group` of `language` with its icon images
// (type 3), adds each image of the icon file as an icon image, reusing the
// old group's ids in order and free ids after them, then adds the new group
// record. iconFile holds the icon file's bytes (as ReadIconOrPngFile gives
// them), checked first; iconFileName names it in the errors about it. False
// with error: BadIconFile with a detail such as "has no images" for the icon
// file, Refused when no free icon image id is left (the update is then
// unchanged), OutOfMemory or Io (with the scratch file) when storing fails
// (the old group and its images may then be gone, and the update is to be
// discarded).
bool LoadIconGroupResource(ResourceUpdate* update, ResKey group, std::uint16_t language,
                           const std::vector<std::uint8_t>& iconFile,
                           const std::string& iconFileName, Error* error);

// Reads an icon file whole, or a square PNG image, told by its content (not
// its name), made into the bytes of an icon file (a 256-pixel PNG image and
// 48, 32, 24 and 16-pixel bitmaps). False with error (when not null), naming
// the file: it cannot be opened or read (NotFound, AccessDenied, Io...), it
// is not an icon file (BadIconFile, saying why), or the PNG is refused
// (BadIconFile: not square, too large, cut short, damaged).
bool ReadIconOrPngFile(const char16_t* file, std::vector<std::uint8_t>& iconFile, Error* error);

// An icon group leaf: the group's name or id and the leaf's language.
struct IconGroupKey {
  ResourceName name;
  std::uint16_t language = 0;
};

// The same name (code unit by code unit) or id, and the same language.
bool operator==(const IconGroupKey& a, const IconGroupKey& b);

// The icon group the shell shows for an image whose resources are listed in
// entries (in the order of the directory): the first group of numbered type
// 14 that the directory lists, with the language of its first leaf (the
// lowest in a sorted directory). A sorted directory lists named groups before
// numbered ones, names in their sorted order, then ids in ascending order; a
// listing keeps the directory's order as it was read, and puts what an
// update adds in that order. None when there is no icon group.
std::optional<IconGroupKey> ShellIconGroup(std::span<const ResourceEntry> entries);
// Its place in entries.
std::optional<std::size_t> ShellIconGroupEntry(std::span<const ResourceEntry> entries);
// The same for the resources of an open update.
std::optional<IconGroupKey> ShellIconGroup(const ResourceUpdate* update);

}  // namespace marovi
