// Resources as the files they come from: an icon or cursor group with its
// images as an .ico or .cur file, a bitmap with its file header, and the
// name a resource is written under.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/error.h"

namespace marovi {

inline constexpr std::uint16_t kRtCursorImage = 1;
inline constexpr std::uint16_t kRtBitmap = 2;
inline constexpr std::uint16_t kRtIconImage = 3;
inline constexpr std::uint16_t kRtGroupCursorRecord = 12;
inline constexpr std::uint16_t kRtGroupIconRecord = 14;
inline constexpr std::uint16_t kRtManifestData = 24;

// The bytes of the icon (type 3) or cursor (type 1) image a group lists by
// id, or none when the image is missing.
using GroupImageLookup =
    std::function<std::optional<std::span<const std::uint8_t>>(std::uint16_t id)>;

// The image ids a group record lists, in its order: the entries that lie
// wholly inside the record, whatever its count claims.
std::vector<std::uint16_t> GroupImageIds(std::span<const std::uint8_t> group);

// An icon group record (type 14) and its images as the bytes of an .ico
// file, or a cursor group record (type 12) as a .cur file: the 6-byte header,
// one 16-byte entry per image, then the images in the group's order. An icon
// entry is the group entry's first 12 bytes with the image's own size; a
// cursor entry takes its width, its height (the group's is doubled), the
// hotspot (the first 4 bytes of the cursor image) and the image without it,
// and its colors from the bit count of the image's header.
// None, with error (MalformedImage, saying which entry): the record is cut
// short, its idReserved is not 0 or its idType is not 1 (icons) or 2
// (cursors), it has no entries, an image it lists is missing, a cursor image
// is shorter than its hotspot, or the file would reach 4 GiB.
std::optional<std::vector<std::uint8_t>> IconFileFromGroup(std::span<const std::uint8_t> group,
                                                           bool cursor,
                                                           const GroupImageLookup& image,
                                                           Error* error);

// A bitmap resource (type 2: a DIB, without file header) as a .bmp file: the
// 14-byte file header, whose bfOffBits points past the DIB header, the
// color masks of a BI_BITFIELDS or BI_ALPHABITFIELDS bitmap with a 40-byte
// header and the palette, then the resource unchanged. None, with error
// (MalformedImage): the DIB header is cut short or of an unknown size, or
// the masks and palette it declares run past the resource's end.
std::optional<std::vector<std::uint8_t>> BitmapFileFromResource(std::span<const std::uint8_t> dib,
                                                                Error* error);

// The name a resource is written under: TYPE-NAME-LANGUAGE.EXTENSION, the
// type as its usual name (GROUP_ICON) or its number, the name as its number
// or its text, the language in decimal: "GROUP_ICON-MAINICON-1033.ico",
// "RCDATA-101-1033.bin". A name's UTF-8 bytes that a file name cannot hold
// or that would make it ambiguous ('%', '-', '/', '\', ':', '*', '?', '"',
// '<', '>', '|', control characters) are written as %XX, and so is the
// first character of a name that would read as a number or a predefined
// type (the name "101" as %3101, "ICON" as %49CON), so that two resources
// never share a file name.
std::string ResourceFileName(std::uint32_t typeId, const std::u16string& typeName,
                             std::uint32_t nameId, const std::u16string& name,
                             std::uint32_t language, const std::string& extension);

// The extension of a resource of this type as extract writes it: "ico",
// "cur", "bmp", "json" (version information), "manifest", else "bin".
std::string ResourceFileExtension(std::uint32_t typeId, bool typeNamed);

}  // namespace marovi
