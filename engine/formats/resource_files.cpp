#include "engine/formats/resource_files.h"

#include <algorithm>
#include <cstdio>

#include "engine/file_services.h"
#include "engine/formats/resource_types.h"
#include "engine/little_endian.h"

namespace marovi {
namespace {

// ICONDIR, at the start of a group record and of an .ico or .cur file.
constexpr std::size_t kDirSize = 6;
constexpr std::size_t kDirReserved = 0;
constexpr std::size_t kDirType = 2;
constexpr std::size_t kDirCount = 4;
// GRPICONDIRENTRY (and its cursor form) in the record; ICONDIRENTRY in the file.
constexpr std::size_t kGroupEntrySize = 14;
constexpr std::size_t kGroupEntryShared = 12;  // what an icon's two entries share
constexpr std::size_t kGroupEntryId = 12;
constexpr std::size_t kFileEntrySize = 16;
constexpr std::size_t kFileEntryBytesInRes = 8;
constexpr std::size_t kFileEntryOffset = 12;
// A cursor image begins with its hotspot, two 16-bit coordinates.
constexpr std::size_t kHotspotSize = 4;

constexpr std::size_t kFileHeaderSize = 14;    // BITMAPFILEHEADER
constexpr std::uint32_t kCoreHeaderSize = 12;  // BITMAPCOREHEADER
constexpr std::uint32_t kInfoHeaderSize = 40;  // BITMAPINFOHEADER
constexpr std::uint32_t kLargestInfoHeaderSize = 124;  // BITMAPV5HEADER
constexpr std::uint32_t kBiBitfields = 3;
constexpr std::uint32_t kBiAlphaBitfields = 6;

constexpr std::uint64_t kLargestFile = 0xFFFFFFFFu;

Error Malformed(const std::string& detail, std::uint64_t offset) {
  Error error = MakeError(ErrorKind::MalformedImage, detail);
  error.offset = offset;
  return error;
}

// The .cur entry of a cursor group entry; the image begins with the
// hotspot. Its colors follow the bit count of the image's own header where
// it has one: compilers write the group's bit count as 1 for any cursor.
void WriteCursorEntry(const std::uint8_t* groupEntry, std::span<const std::uint8_t> image,
                      std::uint8_t* entry) {
  const std::uint16_t width = LoadU16(groupEntry);
  const std::uint16_t height = static_cast<std::uint16_t>(LoadU16(groupEntry + 2) / 2);
  std::uint16_t bitCount = LoadU16(groupEntry + 6);
  if (image.size() >= kHotspotSize + kInfoHeaderSize &&
      LoadU32(image.data() + kHotspotSize) >= kInfoHeaderSize &&
      LoadU32(image.data() + kHotspotSize) <= kLargestInfoHeaderSize)
    bitCount = LoadU16(image.data() + kHotspotSize + 14);
  entry[0] = static_cast<std::uint8_t>(width >= 256 ? 0 : width);
  entry[1] = static_cast<std::uint8_t>(height >= 256 ? 0 : height);
  entry[2] = static_cast<std::uint8_t>(bitCount >= 1 && bitCount < 8 ? 1u << bitCount : 0);
  entry[3] = 0;
  std::copy_n(image.data(), kHotspotSize, entry + 4);
  StoreU32(entry + kFileEntryBytesInRes, static_cast<std::uint32_t>(image.size() - kHotspotSize));
}

}  // namespace

std::vector<std::uint16_t> GroupImageIds(std::span<const std::uint8_t> group) {
  std::vector<std::uint16_t> ids;
  if (group.size() < kDirSize) return ids;
  const std::size_t fitting = (group.size() - kDirSize) / kGroupEntrySize;
  const std::size_t count = std::min<std::size_t>(LoadU16(group.data() + kDirCount), fitting);
  for (std::size_t i = 0; i < count; ++i)
    ids.push_back(LoadU16(group.data() + kDirSize + kGroupEntrySize * i + kGroupEntryId));
  return ids;
}

std::optional<std::vector<std::uint8_t>> IconFileFromGroup(std::span<const std::uint8_t> group,
                                                           bool cursor,
                                                           const GroupImageLookup& image,
                                                           Error* error) {
  const char* kind = cursor ? "cursor" : "icon";
  auto refuse = [&](const std::string& detail, std::uint64_t offset) {
    if (error) *error = Malformed(std::string("the ") + kind + " group " + detail, offset);
    return std::nullopt;
  };
  if (group.size() < kDirSize)
    return refuse("is cut short: " + std::to_string(group.size()) + " bytes", 0);
  const std::uint16_t type = LoadU16(group.data() + kDirType);
  if (LoadU16(group.data() + kDirReserved) != 0 || type != (cursor ? 2 : 1))
    return refuse("is not one: idReserved " + std::to_string(LoadU16(group.data())) +
                      ", idType " + std::to_string(type),
                  0);
  const std::size_t count = LoadU16(group.data() + kDirCount);
  if (count == 0) return refuse("lists no images", kDirCount);
  if ((group.size() - kDirSize) / kGroupEntrySize < count)
    return refuse("lists " + std::to_string(count) + " images but holds the entries of " +
                      std::to_string((group.size() - kDirSize) / kGroupEntrySize),
                  kDirSize);
  std::vector<std::span<const std::uint8_t>> images;
  std::uint64_t total = kDirSize + kFileEntrySize * count;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = kDirSize + kGroupEntrySize * i;
    const std::uint16_t id = LoadU16(group.data() + at + kGroupEntryId);
    const std::optional<std::span<const std::uint8_t>> bytes = image(id);
    if (!bytes)
      return refuse("lists " + std::string(kind) + " image " + std::to_string(id) +
                        " (entry " + std::to_string(i) + "), which the image does not hold",
                    at);
    if (cursor && bytes->size() < kHotspotSize)
      return refuse("lists cursor image " + std::to_string(id) + " of " +
                        std::to_string(bytes->size()) + " bytes, shorter than its hotspot",
                    at);
    images.push_back(*bytes);
    total += bytes->size() - (cursor ? kHotspotSize : 0);
  }
  if (total > kLargestFile) return refuse("would make a file of 4 GiB or more", 0);

  std::vector<std::uint8_t> file(static_cast<std::size_t>(total));
  std::copy_n(group.data(), kDirSize, file.data());
  std::size_t offset = kDirSize + kFileEntrySize * count;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* groupEntry = group.data() + kDirSize + kGroupEntrySize * i;
    std::uint8_t* entry = file.data() + kDirSize + kFileEntrySize * i;
    std::span<const std::uint8_t> data = images[i];
    if (cursor) {
      WriteCursorEntry(groupEntry, data, entry);
      data = data.subspan(kHotspotSize);
    } else {
      std::copy_n(groupEntry, kGroupEntryShared, entry);
      StoreU32(entry + kFileEntryBytesInRes, static_cast<std::uint32_t>(data.size()));
    }
    StoreU32(entry + kFileEntryOffset, static_cast<std::uint32_t>(offset));
    std::copy(data.begin(), data.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
    offset += data.size();
  }
  return file;
}

std::optional<std::vector<std::uint8_t>> BitmapFileFromResource(std::span<const std::uint8_t> dib,
                                                                Error* error) {
  auto refuse = [&](const std::string& detail, std::uint64_t offset) {
    if (error) *error = Malformed("the bitmap " + detail, offset);
    return std::nullopt;
  };
  if (dib.size() < 4) return refuse("is cut short: " + std::to_string(dib.size()) + " bytes", 0);
  const std::uint32_t headerSize = LoadU32(dib.data());
  if (headerSize != kCoreHeaderSize && headerSize < kInfoHeaderSize)
    return refuse("has a header of an unknown size (" + std::to_string(headerSize) + " bytes)", 0);
  if (headerSize > dib.size())
    return refuse("header of " + std::to_string(headerSize) + " bytes runs past its end (" +
                      std::to_string(dib.size()) + " bytes)",
                  0);
  std::uint64_t colors = 0, entrySize = 4, masks = 0;
  if (headerSize == kCoreHeaderSize) {
    const std::uint16_t bitCount = LoadU16(dib.data() + 10);
    colors = bitCount <= 8 ? std::uint64_t{1} << bitCount : 0;
    entrySize = 3;  // RGBTRIPLE
  } else {
    const std::uint16_t bitCount = LoadU16(dib.data() + 14);
    const std::uint32_t compression = LoadU32(dib.data() + 16);
    const std::uint32_t used = LoadU32(dib.data() + 32);
    colors = used != 0 ? used : bitCount <= 8 ? std::uint64_t{1} << bitCount : 0;
    // Later headers hold the masks themselves.
    if (headerSize == kInfoHeaderSize && compression == kBiBitfields) masks = 12;
    if (headerSize == kInfoHeaderSize && compression == kBiAlphaBitfields) masks = 16;
  }
  const std::uint64_t bits = headerSize + masks + colors * entrySize;
  if (bits > dib.size())
    return refuse("declares " + std::to_string(masks) + " bytes of color masks and " +
                      std::to_string(colors) + " palette entries, which run past its end (" +
                      std::to_string(dib.size()) + " bytes)",
                  headerSize);
  if (kFileHeaderSize + dib.size() > kLargestFile)
    return refuse("would make a file of 4 GiB or more", 0);
  std::vector<std::uint8_t> file(kFileHeaderSize + dib.size());
  file[0] = 'B';
  file[1] = 'M';
  StoreU32(file.data() + 2, static_cast<std::uint32_t>(file.size()));
  StoreU32(file.data() + 10, static_cast<std::uint32_t>(kFileHeaderSize + bits));
  std::copy(dib.begin(), dib.end(), file.begin() + kFileHeaderSize);
  return file;
}

namespace {

// A name as a part of a file name: see ResourceFileName.
std::string NamePart(const std::u16string& name, bool isType) {
  const std::string utf8 = platform::ToUtf8(name);
  // A name that reads as an id or a predefined type gets its first
  // character escaped, so that it cannot be taken for one.
  const std::optional<ResourceSpec> read =
      isType ? ParseResourceType(utf8) : ParseResourceName(utf8);
  bool escapeFirst = !read || read->isId;
  std::string out;
  for (char ch : utf8) {
    const auto byte = static_cast<unsigned char>(ch);
    if (escapeFirst || byte < 0x20 || byte == 0x7F || std::string_view("%-/\\:*?\"<>|").find(ch) !=
                                                          std::string_view::npos) {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      out += escaped;
    } else {
      out += ch;
    }
    escapeFirst = false;
  }
  return out;
}

}  // namespace

std::string ResourceFileName(std::uint32_t typeId, const std::u16string& typeName,
                             std::uint32_t nameId, const std::u16string& name,
                             std::uint32_t language, const std::string& extension) {
  std::string type;
  if (!typeName.empty()) {
    type = NamePart(typeName, true);
  } else if (typeId <= 0xFFFF && !PredefinedResourceTypeName(static_cast<std::uint16_t>(typeId)).empty()) {
    type = PredefinedResourceTypeName(static_cast<std::uint16_t>(typeId));
  } else {
    type = std::to_string(typeId);
  }
  const std::string namePart = name.empty() ? std::to_string(nameId) : NamePart(name, false);
  return type + "-" + namePart + "-" + std::to_string(language) + "." + extension;
}

std::string ResourceFileExtension(std::uint32_t typeId, bool typeNamed) {
  if (typeNamed) return "bin";
  switch (typeId) {
    case kRtGroupIconRecord: return "ico";
    case kRtGroupCursorRecord: return "cur";
    case kRtBitmap: return "bmp";
    case 16: return "json";
    case kRtManifestData: return "manifest";
    default: return "bin";
  }
}

}  // namespace marovi
