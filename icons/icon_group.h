// Replacing an icon group resource with the images of an .ico file, inside
// an open update.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/update.h"

namespace marovi {

// Reads iconFile (UTF-16 path) whole, removes the group (type 14) `group` of
// `language` with its icon images (type 3), adds each image of the file as an
// icon image, reusing the old group's ids in order and free ids after them,
// then adds the new group record. False when the icon file cannot be opened,
// read in full or is not a well-formed icon file (the update is then
// unchanged), or when adding an image or the group fails.
bool LoadIconGroupResource(ResourceUpdate* update, ResKey group, std::uint16_t language,
                           const char16_t* iconFile);
// The same, with the reason of a false result in error: the icon file's (it
// cannot be opened or read, or it is not an icon file), or why its images
// could not be stored (a scratch file in the temporary folder, memory, no
// free icon id left).
bool LoadIconGroupResource(ResourceUpdate* update, ResKey group, std::uint16_t language,
                           const char16_t* iconFile, Error* error);

// Removes the group and its images. True when nothing had to be removed or
// every removal succeeded.
bool DeleteIconGroupResource(ResourceUpdate* update, ResKey group, std::uint16_t language);

// The smallest id >= nextId that no icon image (type 3) uses; nextId keeps it.
std::int32_t NextFreeIconId(ResourceUpdate* update, std::int32_t& nextId);

// Why an icon file is refused, in the order the checks run.
enum class IconFileStatus {
  Ok,
  CannotOpen,      // OpenFileByName failed; the platform's last-error value says why
  CannotRead,      // its length or its bytes could not be read in full
  TooShort,        // shorter than the 6-byte header (an empty file among them)
  EntriesOutside,  // the idCount directory entries do not fit in the file
  ImageOutside,    // an image's dwImageOffset/dwBytesInRes range leaves the file
};

// Reads an icon file whole into bytes and checks its directory and every
// image range against its length. The file is closed on every path.
IconFileStatus ReadIconFile(const char16_t* iconFile, std::vector<std::uint8_t>& bytes);

// The checks of ReadIconFile on bytes already in memory.
IconFileStatus CheckIconFile(const std::vector<std::uint8_t>& bytes);

// A short English description, e.g. "an image lies outside the file".
const char* DescribeIconFileStatus(IconFileStatus status);

}  // namespace marovi
