// Icon group replacement: an .ico file becomes one icon group record (type 14)
// and one icon image resource (type 3) per image.
#include "icons/icon_group.h"

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "engine/engine.h"
#include "icons/png_icon.h"

namespace marovi {
namespace {

// ICONDIR, at the start of an icon file and of a group record.
constexpr std::uint32_t kDirHeaderSize = 6;
constexpr std::uint32_t kDirReserved = 0;  // idReserved, 0
constexpr std::uint32_t kDirType = 2;      // idType: 1 for icons, 2 for cursors
constexpr std::uint32_t kDirCount = 4;     // idCount
constexpr std::uint16_t kIconType = 1;
constexpr std::uint16_t kCursorType = 2;
// ICONDIRENTRY in the icon file.
constexpr std::uint32_t kFileEntrySize = 16;
constexpr std::uint32_t kFileEntryBytesInRes = 8;
constexpr std::uint32_t kFileEntryImageOffset = 12;
// GRPICONDIRENTRY in the group record: the first 12 bytes of ICONDIRENTRY,
// then the icon image's id.
constexpr std::uint32_t kGroupEntrySize = 14;
constexpr std::uint32_t kGroupEntrySharedBytes = 12;
constexpr std::uint32_t kGroupEntryId = 12;

// Where the search for free ids starts when there is no old group to reuse.
constexpr std::int32_t kFirstNewIconId = 50;
constexpr std::int32_t kLargestIconId = 0xFFFF;

// Ids of a group record. Only entries that lie wholly inside the record
// count, whatever its idCount claims.
void RecordIds(const std::vector<std::uint8_t>& record, std::vector<std::uint16_t>& ids) {
  if (record.size() < kDirHeaderSize) return;
  const std::size_t fitting = (record.size() - kDirHeaderSize) / kGroupEntrySize;
  const std::size_t count = std::min<std::size_t>(LoadU16(record.data() + kDirCount), fitting);
  for (std::size_t i = 0; i < count; ++i)
    ids.push_back(LoadU16(record.data() + kDirHeaderSize + kGroupEntrySize * i + kGroupEntryId));
}

// The icon image ids that the group of this language lists, or none when
// there is no such group.
std::optional<std::vector<std::uint16_t>> OldGroupIds(ResourceUpdate* update, ResKey group,
                                                      std::uint16_t language) {
  std::vector<std::uint8_t> record;
  Error error;
  // A record whose bytes cannot be read back counts as one of no entries.
  if (!ReadResource(update, MakeIntResource(kRtGroupIcon), group, language, record, &error) &&
      !error)
    return std::nullopt;
  std::vector<std::uint16_t> ids;
  RecordIds(record, ids);
  return ids;
}

// The old group's ids that no other icon group lists: only those images go
// with it, and only those ids are taken again. An image that another group
// shares stays as it is, or that group would lose it or show the new one.
std::vector<std::uint16_t> IdsOfThisGroupOnly(ResourceUpdate* update, ResKey group,
                                              std::uint16_t language,
                                              const std::vector<std::uint16_t>& oldIds) {
  if (oldIds.empty()) return oldIds;
  // Every group's record in the order of the directory; the first of this
  // name and language is the group itself (the one OldGroupIds read). A
  // record whose bytes cannot be read back lists nothing.
  std::vector<TypedResource> groups;
  ResourcesOfType(update, kRtGroupIcon, groups, nullptr);
  const ResourceName self =
      IsIntResource(group) ? ResourceName(ResourceId(group)) : ResourceName(std::u16string(group));
  bool selfSeen = false;
  std::vector<std::uint16_t> shared;
  for (const TypedResource& other : groups) {
    const bool isSelf =
        other.language == language && other.name.named() == self.named() &&
        (self.named() ? other.name.name() == self.name() : other.name.id() == self.id());
    if (isSelf && !selfSeen) {
      selfSeen = true;
      continue;
    }
    RecordIds(other.bytes, shared);
  }
  if (shared.empty()) return oldIds;
  std::sort(shared.begin(), shared.end());
  std::vector<std::uint16_t> own;
  own.reserve(oldIds.size());
  for (std::uint16_t id : oldIds)
    if (!std::binary_search(shared.begin(), shared.end(), id)) own.push_back(id);
  return own;
}

// The ids of the new images in the icon file's order, or none when the
// 16-bit ids run out. Image i takes the old group's id i unless an earlier
// image took it: an old record that lists an id twice would otherwise make
// two images share one resource. Every other image takes the smallest id
// from nextId up that no icon image left after the old group's removal uses,
// no earlier image took, and no later image will take as its old id.
// idsLeft is ascending.
std::optional<std::vector<std::uint16_t>> ChooseIconIds(const std::vector<std::uint16_t>& oldIds,
                                                        std::uint32_t count,
                                                        const std::vector<std::uint32_t>& idsLeft,
                                                        std::int32_t nextId) {
  std::vector<bool> taken(kLargestIconId + 1), given(kLargestIconId + 1);
  for (std::uint32_t id : idsLeft) {
    if (id > static_cast<std::uint32_t>(kLargestIconId)) break;
    taken[id] = true;
  }
  // The last place of each old id, by id.
  std::vector<std::pair<std::uint16_t, std::uint32_t>> lastPlace;
  lastPlace.reserve(oldIds.size());
  for (std::uint32_t i = 0; i < oldIds.size(); ++i) lastPlace.emplace_back(oldIds[i], i);
  std::sort(lastPlace.begin(), lastPlace.end());
  auto reusedAfter = [&](std::int32_t id, std::uint32_t i) {
    auto it =
        std::upper_bound(lastPlace.begin(), lastPlace.end(), id,
                         [](std::int32_t v, const std::pair<std::uint16_t, std::uint32_t>& p) {
                           return v < p.first;
                         });
    return it != lastPlace.begin() && (--it)->first == id && it->second > i;
  };

  std::vector<std::uint16_t> ids;
  ids.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::int32_t id = -1;
    if (i < oldIds.size() && !given[oldIds[i]]) {
      id = oldIds[i];
    } else {
      for (;;) {
        while (nextId <= kLargestIconId && taken[static_cast<std::size_t>(nextId)]) ++nextId;
        // Past the last 16-bit id no free id is left.
        if (nextId > kLargestIconId) return std::nullopt;
        if (!reusedAfter(nextId, i)) break;
        ++nextId;
      }
      id = nextId;
    }
    taken[static_cast<std::size_t>(id)] = given[static_cast<std::size_t>(id)] = true;
    ids.push_back(static_cast<std::uint16_t>(id));
  }
  return ids;
}

Error IconFileError(const std::vector<std::uint8_t>& bytes, IconFileStatus status) {
  Error error = MakeError(ErrorKind::BadIconFile, DescribeIconFileStatus(status));
  const std::uint16_t type = bytes.size() >= kDirHeaderSize ? LoadU16(bytes.data() + kDirType) : 0;
  switch (status) {
    case IconFileStatus::NotIconFile:
      if (LoadU16(bytes.data() + kDirReserved) != 0) {
        error.detail = "is not an icon file (its header begins with " +
                       HexOffset(LoadU16(bytes.data() + kDirReserved)) + ", not 0)";
        error.offset = kDirReserved;
      } else {
        error.detail = "is not an icon file (type " + std::to_string(type) + ", not 1)";
        error.offset = kDirType;
      }
      break;
    case IconFileStatus::Cursor: error.offset = kDirType; break;
    case IconFileStatus::NoImages: error.offset = kDirCount; break;
    case IconFileStatus::EntriesOutside:
      error.detail =
          "is not an icon file (its " + std::to_string(LoadU16(bytes.data() + kDirCount)) +
          "-image directory is longer than the " + std::to_string(bytes.size()) + "-byte file)";
      error.offset = kDirHeaderSize;
      break;
    default: break;
  }
  return error;
}

// LoadIconGroupResource on an icon file checked by CheckIconFile, but for
// exhausted memory, which is thrown.
bool LoadIconGroup(ResourceUpdate* update, ResKey group, std::uint16_t language,
                   const std::vector<std::uint8_t>& file, Error& error) {
  const std::uint16_t count = LoadU16(file.data() + kDirCount);

  // Everything that may fail comes before the first change: the ids, and the
  // new images with their data.
  const std::optional<std::vector<std::uint16_t>> old = OldGroupIds(update, group, language);
  const std::vector<std::uint16_t> oldIds =
      IdsOfThisGroupOnly(update, group, language, old.value_or(std::vector<std::uint16_t>{}));
  std::int32_t nextId = kFirstNewIconId;
  if (!oldIds.empty()) nextId = *std::min_element(oldIds.begin(), oldIds.end());
  NumberedResourceChange images(update, kRtIcon, language, oldIds);
  const std::optional<std::vector<std::uint16_t>> ids =
      ChooseIconIds(oldIds, count, images.IdsLeft(), nextId);
  if (!ids) {
    error = MakeError(
        ErrorKind::Refused,
        "no free icon image id is left for the icon file's " + std::to_string(count) + " images", 0,
        ImageFileName(update));
    return false;
  }

  const std::uint32_t recordSize = kDirHeaderSize + kGroupEntrySize * std::uint32_t{count};
  std::vector<std::uint8_t> record(recordSize);
  std::copy_n(file.begin(), kDirHeaderSize, record.begin());
  std::vector<NumberedData> newImages(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* entry = file.data() + kDirHeaderSize + kFileEntrySize * i;
    std::uint8_t* groupEntry = record.data() + kDirHeaderSize + kGroupEntrySize * i;
    std::copy_n(entry, kGroupEntrySharedBytes, groupEntry);
    StoreU16(groupEntry + kGroupEntryId, (*ids)[i]);
    newImages[i].id = (*ids)[i];
    newImages[i].data = file.data() + LoadU32(entry + kFileEntryImageOffset);
    newImages[i].size = LoadU32(entry + kFileEntryBytesInRes);
  }
  if (!images.PrepareAddition(newImages, &error)) {
    if (error.kind != ErrorKind::Internal)
      error.detail = "cannot keep an icon image in a scratch file in this folder";
    return false;
  }

  // The changes: the old group and its images go, the images come in the
  // icon file's order, then the group.
  if (old && UpdateResourceData(update, MakeIntResource(kRtGroupIcon), group, language, nullptr, 0))
    images.ApplyDeletion();
  if (!images.ApplyAddition()) {
    error = MakeError(ErrorKind::Internal, "an icon image of the ids chosen exists already", 0,
                      ImageFileName(update));
    return false;
  }
  if (!UpdateResourceData(update, MakeIntResource(kRtGroupIcon), group, language, record.data(),
                          recordSize, &error)) {
    if (error.file.empty()) error.file = ImageFileName(update);
    return false;
  }
  return true;
}

}  // namespace

IconFileStatus CheckIconFile(const std::vector<std::uint8_t>& bytes, Error* error) {
  const IconFileStatus status = [&] {
    const std::uint64_t size = bytes.size();
    if (size < kDirHeaderSize) return IconFileStatus::TooShort;
    const std::uint8_t* header = bytes.data();
    if (header[0] == 'B' && header[1] == 'M') return IconFileStatus::BmpPicture;
    if (header[0] == 0x89 && header[1] == 'P' && header[2] == 'N' && header[3] == 'G')
      return IconFileStatus::PngPicture;
    const std::uint16_t type = LoadU16(header + kDirType);
    if (LoadU16(header + kDirReserved) != 0) return IconFileStatus::NotIconFile;
    if (type == kCursorType) return IconFileStatus::Cursor;
    if (type != kIconType) return IconFileStatus::NotIconFile;
    const std::uint32_t count = LoadU16(header + kDirCount);
    if (count == 0) return IconFileStatus::NoImages;
    if (!InBounds(size, kDirHeaderSize, std::uint64_t{kFileEntrySize} * count))
      return IconFileStatus::EntriesOutside;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* entry = header + kDirHeaderSize + kFileEntrySize * i;
      if (!InBounds(size, LoadU32(entry + kFileEntryImageOffset),
                    LoadU32(entry + kFileEntryBytesInRes))) {
        if (error != nullptr) {
          *error = MakeError(ErrorKind::BadIconFile,
                             "is not an icon file (image " + std::to_string(i + 1) + " of " +
                                 std::to_string(count) + " lies outside the file)");
          error->offset = kDirHeaderSize + kFileEntrySize * i;
        }
        return IconFileStatus::ImageOutside;
      }
    }
    // A PNG image is checked as a PNG file is: the shell draws nothing, or
    // worse, for one that is cut short, damaged, not square or huge.
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* entry = header + kDirHeaderSize + kFileEntrySize * i;
      const std::span<const std::uint8_t> image(header + LoadU32(entry + kFileEntryImageOffset),
                                                LoadU32(entry + kFileEntryBytesInRes));
      Error png;
      if (!IsPngData(image) || CheckPngImage(image, &png)) continue;
      if (error != nullptr) {
        *error = MakeError(ErrorKind::BadIconFile, "image " + std::to_string(i + 1) + " of " +
                                                       std::to_string(count) + ": " + png.detail);
        error->offset = LoadU32(entry + kFileEntryImageOffset);
      }
      return IconFileStatus::BadPngImage;
    }
    return IconFileStatus::Ok;
  }();
  if (error != nullptr && status != IconFileStatus::Ok && status != IconFileStatus::ImageOutside &&
      status != IconFileStatus::BadPngImage)
    *error = IconFileError(bytes, status);
  return status;
}

IconFileStatus ReadIconFile(const char16_t* iconFile, std::vector<std::uint8_t>& bytes) {
  return ReadIconFile(iconFile, bytes, nullptr);
}

IconFileStatus ReadIconFile(const char16_t* iconFile, std::vector<std::uint8_t>& bytes,
                            Error* error) {
  bytes.clear();
  auto fail = [&](IconFileStatus status, std::uint32_t code, const char* what) {
    if (error != nullptr)
      *error = MakeError(platform::ClassifyError(code), what, code, platform::ToUtf8(iconFile));
    platform::SetLastError(code);
    return status;
  };
  const platform::FileHandle file =
      platform::OpenFileByName(iconFile, /*forWriting=*/false, /*create=*/false);
  if (file == platform::kInvalidFile)
    return fail(IconFileStatus::CannotOpen, platform::LastError(), "cannot open the icon file");
  const OwnedFile closer(file);
  std::uint64_t length = 0;
  if (!platform::GetFileLength(file, length))
    return fail(IconFileStatus::CannotRead, platform::LastError(),
                "cannot read the icon file's length");
  bytes.resize(static_cast<std::size_t>(length));
  if (length > 0 && !platform::ReadAt(file, 0, bytes.data(), bytes.size())) {
    bytes.clear();
    return fail(IconFileStatus::CannotRead, platform::LastError(), "cannot read the icon file");
  }
  const IconFileStatus status = CheckIconFile(bytes, error);
  if (error != nullptr && status != IconFileStatus::Ok) error->file = platform::ToUtf8(iconFile);
  return status;
}

const char* DescribeIconFileStatus(IconFileStatus status) {
  switch (status) {
    case IconFileStatus::Ok: return "a well-formed icon file";
    case IconFileStatus::CannotOpen: return "cannot be opened";
    case IconFileStatus::CannotRead: return "cannot be read in full";
    case IconFileStatus::TooShort: return "is not an icon file (shorter than an icon file header)";
    case IconFileStatus::BmpPicture: return "is a BMP picture, not an icon file";
    case IconFileStatus::PngPicture: return "is a PNG picture, not an icon file";
    case IconFileStatus::NotIconFile:
      return "is not an icon file (its header is not an icon file's)";
    case IconFileStatus::Cursor: return "is not an icon file (type 2 is a cursor)";
    case IconFileStatus::NoImages: return "has no images";
    case IconFileStatus::EntriesOutside:
      return "is not an icon file (its image directory is longer than the file)";
    case IconFileStatus::ImageOutside:
      return "is not an icon file (an image lies outside the file)";
    case IconFileStatus::BadPngImage:
      return "has a PNG image that is damaged, cut short, not square or too large";
  }
  return "is not an icon file";
}

std::int32_t NextFreeIconId(ResourceUpdate* update, std::int32_t& nextId) {
  // The ids in ascending order whatever order the directory lists them in
  // (a file may list them out of order).
  const std::vector<std::uint32_t> ids = NumberedResourceChange(update, kRtIcon, 0, {}).IdsLeft();
  for (std::uint32_t id : ids) {
    if (static_cast<std::int64_t>(id) < nextId) continue;
    if (static_cast<std::int64_t>(id) > nextId) break;
    if (static_cast<std::int64_t>(id) == nextId) ++nextId;
  }
  return nextId;
}

bool DeleteIconGroupResource(ResourceUpdate* update, ResKey group, std::uint16_t language) {
  // The ids are taken before the group's leaf goes: a record stored during
  // this update lives in the leaf itself.
  const std::optional<std::vector<std::uint16_t>> ids = OldGroupIds(update, group, language);
  if (!ids) return true;
  try {
    NumberedResourceChange images(update, kRtIcon, language,
                                  IdsOfThisGroupOnly(update, group, language, *ids));
    if (!UpdateResourceData(update, MakeIntResource(kRtGroupIcon), group, language, nullptr, 0))
      return false;
    images.ApplyDeletion();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool LoadIconGroupResource(ResourceUpdate* update, ResKey group, std::uint16_t language,
                           const char16_t* iconFile) {
  return LoadIconGroupResource(update, group, language, iconFile, nullptr);
}

bool LoadIconGroupResource(ResourceUpdate* update, ResKey group, std::uint16_t language,
                           const char16_t* iconFile, Error* error) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  try {
    std::vector<std::uint8_t> file;
    if (ReadIconFile(iconFile, file, &e) != IconFileStatus::Ok) return false;
    return LoadIconGroup(update, group, language, file, e);
  } catch (const std::bad_alloc&) {
    e = MakeError(ErrorKind::OutOfMemory, "out of memory replacing the icon group", 0,
                  ImageFileName(update));
    return false;
  }
}

bool LoadIconGroupResource(ResourceUpdate* update, ResKey group, std::uint16_t language,
                           const std::vector<std::uint8_t>& iconFile,
                           const std::string& iconFileName, Error* error) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  if (CheckIconFile(iconFile, &e) != IconFileStatus::Ok) {
    e.file = iconFileName;
    return false;
  }
  try {
    return LoadIconGroup(update, group, language, iconFile, e);
  } catch (const std::bad_alloc&) {
    e = MakeError(ErrorKind::OutOfMemory, "out of memory replacing the icon group", 0,
                  ImageFileName(update));
    return false;
  }
}

bool ReadIconOrPngFile(const char16_t* file, std::vector<std::uint8_t>& iconFile, Error* error) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  const IconFileStatus status = ReadIconFile(file, iconFile, &e);
  if (status == IconFileStatus::Ok) return true;
  if (status != IconFileStatus::PngPicture || !IsPngData(iconFile)) return false;
  std::optional<std::vector<std::uint8_t>> made = IconFileFromPng(iconFile, &e);
  if (!made) {
    e.file = platform::ToUtf8(file);
    iconFile.clear();
    return false;
  }
  iconFile = std::move(*made);
  e = Error();
  return true;
}

}  // namespace marovi
