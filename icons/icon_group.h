// Replacing an icon group resource with the images of an .ico file, inside
// an open update: the forms that take the icon file by name, and the checks
// of an icon file. The form the workflow uses is in icons.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "icons/icons.h"

namespace marovi {

// Reads iconFile (UTF-16 path) whole, removes the group (type 14) `group` of
// `language` with its icon images (type 3), adds each image of the file as an
// icon image, reusing the old group's ids in order and free ids after them,
// then adds the new group record. False when the icon file cannot be opened,
// read in full or is not an icon file with at least one image, or when no
// free icon image id is left: the update is then unchanged. False also when
// storing the new resources fails (exhausted memory, a scratch file that
// cannot be written); the old group and its images may then be gone, and the
// update is to be discarded.
bool LoadIconGroupResource(ResourceUpdate* update, ResKey group, std::uint16_t language,
                           const char16_t* iconFile);
// The same, with the reason of a false result in error: for the icon file
// its name, and the system's code when it cannot be opened or read
// (NotFound, AccessDenied, NotRegularFile, Io...), or BadIconFile with a
// detail such as "has no images"; Refused when no free icon image id is
// left; OutOfMemory or Io (with the scratch file) when storing fails.
// Exhausted memory is reported here instead of being thrown.
bool LoadIconGroupResource(ResourceUpdate* update, ResKey group, std::uint16_t language,
                           const char16_t* iconFile, Error* error);

// Removes the group and the icon images that it lists (only those: an id
// that names no icon image is passed over). True when nothing had to be
// removed or every removal succeeded.
bool DeleteIconGroupResource(ResourceUpdate* update, ResKey group, std::uint16_t language);

// The smallest id >= nextId that no icon image (type 3) uses; nextId keeps it.
std::int32_t NextFreeIconId(ResourceUpdate* update, std::int32_t& nextId);

// Why an icon file is refused, in the order the checks run.
enum class IconFileStatus {
  Ok,
  CannotOpen,      // OpenFileByName failed; the platform's last-error value says why
  CannotRead,      // its length or its bytes could not be read in full
  TooShort,        // shorter than the 6-byte header (an empty file among them)
  BmpPicture,      // begins with "BM": a BMP picture
  PngPicture,      // begins with the PNG signature
  NotIconFile,     // idReserved is not 0, or idType is neither 1 nor 2
  Cursor,          // idType 2: a cursor file
  NoImages,        // idCount is 0
  EntriesOutside,  // the idCount directory entries do not fit in the file
  ImageOutside,    // an image's dwImageOffset/dwBytesInRes range leaves the file
  BadPngImage,     // an image stored as PNG fails the checks of a PNG file (CheckPngImage)
};

// Reads an icon file whole into bytes and checks its header, its directory
// and every image range against its length. The file is closed on every path.
IconFileStatus ReadIconFile(const char16_t* iconFile, std::vector<std::uint8_t>& bytes);
// The same, filling error (when not null) for every status but Ok, with the
// icon file's name: as LoadIconGroupResource reports it.
IconFileStatus ReadIconFile(const char16_t* iconFile, std::vector<std::uint8_t>& bytes,
                            Error* error);

// The checks of ReadIconFile on bytes already in memory; error (when not
// null) gets kind BadIconFile, the detail and where it applies the offset.
IconFileStatus CheckIconFile(const std::vector<std::uint8_t>& bytes, Error* error = nullptr);

// A short English description, e.g. "is not an icon file (an image lies
// outside the file)". The error of CheckIconFile says more where it can
// (which type, which image).
const char* DescribeIconFileStatus(IconFileStatus status);

}  // namespace marovi
