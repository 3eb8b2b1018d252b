// Icon group replacement: an .ico file becomes one icon group record (type 14)
// and one icon image resource (type 3) per image.
#include "icons/icon_group.h"

#include <algorithm>
#include <limits>
#include <new>
#include <optional>

#include "engine/bytes.h"
#include "engine/image.h"
#include "engine/platform.h"
#include "engine/restree.h"

namespace marovi {
namespace {

// ICONDIR, at the start of an icon file and of a group record.
constexpr std::uint32_t kDirHeaderSize = 6;
constexpr std::uint32_t kDirCount = 4;  // idCount
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

class FileCloser {
 public:
  explicit FileCloser(platform::FileHandle file) : file_(file) {}
  ~FileCloser() { platform::CloseFile(file_); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  platform::FileHandle file_;
};

TResItem* Child(TResItem* parent, ResKey key) {
  if (parent == nullptr) return nullptr;
  LinkSlot slot = FindNamedChild(parent, key);
  return slot != nullptr ? *slot : nullptr;
}

TResItem* GroupLeaf(ResourceUpdate* update, ResKey group, std::uint16_t language) {
  TResItem* name = Child(Child(update->root, MakeIntResource(kRtGroupIcon)), group);
  if (name == nullptr) return nullptr;
  LinkSlot slot = FindLanguageChild(name, language);
  return slot != nullptr ? *slot : nullptr;
}

// The bytes of a leaf, wherever the update keeps them: in the image, in memory
// (a group stored earlier in this update) or in its scratch file.
std::vector<std::uint8_t> LeafBytes(const TResItem& leaf) {
  if (leaf.dataPointer != nullptr)
    return std::vector<std::uint8_t>(leaf.dataPointer, leaf.dataPointer + leaf.dataSize);
  if (!leaf.data.empty()) return std::vector<std::uint8_t>(leaf.data.begin(), leaf.data.end());
  std::vector<std::uint8_t> bytes;
  if (leaf.tempFile != 0 && leaf.tempFile != platform::kInvalidFile && leaf.dataSize > 0) {
    bytes.resize(leaf.dataSize);
    if (!platform::ReadAt(leaf.tempFile, 0, bytes.data(), bytes.size())) bytes.clear();
  }
  return bytes;
}

// The icon image ids that the group of this language lists, or none when
// there is no such group. Only entries that lie wholly inside the record
// count, whatever its idCount claims.
std::optional<std::vector<std::uint16_t>> OldGroupIds(ResourceUpdate* update, ResKey group,
                                                      std::uint16_t language) {
  const TResItem* leaf = GroupLeaf(update, group, language);
  if (leaf == nullptr || leaf->isDirectory) return std::nullopt;
  const std::vector<std::uint8_t> record = LeafBytes(*leaf);
  std::vector<std::uint16_t> ids;
  if (record.size() < kDirHeaderSize) return ids;
  const std::size_t fitting = (record.size() - kDirHeaderSize) / kGroupEntrySize;
  const std::size_t count = std::min<std::size_t>(LoadU16(record.data() + kDirCount), fitting);
  for (std::size_t i = 0; i < count; ++i)
    ids.push_back(LoadU16(record.data() + kDirHeaderSize + kGroupEntrySize * i + kGroupEntryId));
  return ids;
}

}  // namespace

IconFileStatus CheckIconFile(const std::vector<std::uint8_t>& bytes) {
  const std::uint64_t size = bytes.size();
  if (size < kDirHeaderSize) return IconFileStatus::TooShort;
  const std::uint32_t count = LoadU16(bytes.data() + kDirCount);
  if (!InBounds(size, kDirHeaderSize, std::uint64_t{kFileEntrySize} * count))
    return IconFileStatus::EntriesOutside;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* entry = bytes.data() + kDirHeaderSize + kFileEntrySize * i;
    if (!InBounds(size, LoadU32(entry + kFileEntryImageOffset), LoadU32(entry + kFileEntryBytesInRes)))
      return IconFileStatus::ImageOutside;
  }
  return IconFileStatus::Ok;
}

IconFileStatus ReadIconFile(const char16_t* iconFile, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  const platform::FileHandle file = OpenFileByName(iconFile, /*forWriting=*/false, /*create=*/false);
  if (file == platform::kInvalidFile) return IconFileStatus::CannotOpen;
  FileCloser closer(file);
  std::uint64_t length = 0;
  if (!platform::GetFileLength(file, length)) return IconFileStatus::CannotRead;
  bytes.resize(static_cast<std::size_t>(length));
  if (length > 0 && !platform::ReadAt(file, 0, bytes.data(), bytes.size())) {
    bytes.clear();
    return IconFileStatus::CannotRead;
  }
  return CheckIconFile(bytes);
}

const char* DescribeIconFileStatus(IconFileStatus status) {
  switch (status) {
    case IconFileStatus::Ok: return "a well-formed icon file";
    case IconFileStatus::CannotOpen: return "cannot be opened";
    case IconFileStatus::CannotRead: return "cannot be read in full";
    case IconFileStatus::TooShort: return "is not an icon file (shorter than an icon file header)";
    case IconFileStatus::EntriesOutside:
      return "is not an icon file (its image directory is longer than the file)";
    case IconFileStatus::ImageOutside: return "is not an icon file (an image lies outside the file)";
  }
  return "is not an icon file";
}

std::int32_t NextFreeIconId(ResourceUpdate* update, std::int32_t& nextId) {
  TResItem* icons = Child(update->root, MakeIntResource(kRtIcon));
  if (icons == nullptr) return nextId;
  // One ascending pass finds the free id in a sorted list, which is how the
  // update keeps the entries it inserts. An image read from a file may list
  // its ids out of order; passing again until nothing moves keeps the result
  // free of ids in use there too.
  for (bool moved = true; moved;) {
    moved = false;
    for (const TResItem* child = icons->firstChild; child != nullptr; child = child->nextSibling) {
      if (!child->name.empty()) continue;
      if (static_cast<std::int64_t>(child->id) == nextId) {
        ++nextId;
        moved = true;
      }
    }
  }
  return nextId;
}

bool DeleteIconGroupResource(ResourceUpdate* update, ResKey group, std::uint16_t language) {
  // The ids are taken before the group's leaf goes: a record stored during
  // this update lives in the leaf itself.
  const std::optional<std::vector<std::uint16_t>> ids = OldGroupIds(update, group, language);
  if (!ids) return true;
  bool removed = UpdateResourceData(update, MakeIntResource(kRtGroupIcon), group, language, nullptr, 0);
  if (!removed) return false;
  for (std::uint16_t id : *ids)
    removed = UpdateResourceData(update, MakeIntResource(kRtIcon), MakeIntResource(id), language,
                                 nullptr, 0) && removed;
  return removed;
}

namespace {

// Why storing one new entry of size bytes failed: large ones go to a scratch
// file in the temporary folder, small ones to memory.
Error StoreFailure(std::uint32_t size) {
  if (size <= kInMemoryLimit)
    return MakeError(ErrorKind::OutOfMemory, "out of memory storing the new icon images");
  const std::uint32_t code = platform::LastError();
  return MakeError(platform::ClassifyError(code),
                   "the new icon images could not be stored in a scratch file there", code,
                   platform::TempDirectory());
}

// Replaces the group with the images of an icon file already read and checked.
bool ReplaceGroup(ResourceUpdate* update, ResKey group, std::uint16_t language,
                  const std::vector<std::uint8_t>& file, Error& error) {
  const std::vector<std::uint16_t> oldIds =
      OldGroupIds(update, group, language).value_or(std::vector<std::uint16_t>{});
  std::int32_t nextId = kFirstNewIconId;
  if (!oldIds.empty()) nextId = *std::min_element(oldIds.begin(), oldIds.end());

  DeleteIconGroupResource(update, group, language);

  const std::uint16_t count = LoadU16(file.data() + kDirCount);
  const std::uint32_t recordSize = kDirHeaderSize + kGroupEntrySize * std::uint32_t{count};
  std::vector<std::uint8_t> record(recordSize);
  std::copy_n(file.begin(), kDirHeaderSize, record.begin());

  std::vector<std::uint16_t> given;  // ids handed to the images so far
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* entry = file.data() + kDirHeaderSize + kFileEntrySize * i;
    std::uint8_t* groupEntry = record.data() + kDirHeaderSize + kGroupEntrySize * i;
    std::copy_n(entry, kGroupEntrySharedBytes, groupEntry);

    // Image i takes the old group's id i. An old record that lists an id
    // twice would make two images share one resource, so a repeated id is
    // treated like a missing one: a free id, never one that a later image
    // will reuse.
    std::int32_t id = -1;
    if (i < oldIds.size() && std::find(given.begin(), given.end(), oldIds[i]) == given.end()) {
      id = oldIds[i];
    } else {
      for (;;) {
        id = NextFreeIconId(update, nextId);
        const bool reserved = i < oldIds.size() &&
            std::find(oldIds.begin() + static_cast<std::ptrdiff_t>(i) + 1, oldIds.end(), id) !=
                oldIds.end();
        if (!reserved) break;
        ++nextId;
      }
    }
    // Past the last 16-bit id no free id is left.
    if (id > kLargestIconId) {
      error = MakeError(ErrorKind::Refused, "no free icon id is left for the icon's images");
      return false;
    }
    const auto nid = static_cast<std::uint16_t>(id);
    given.push_back(nid);
    StoreU16(groupEntry + kGroupEntryId, nid);

    const std::uint32_t offset = LoadU32(entry + kFileEntryImageOffset);
    const std::uint32_t size = LoadU32(entry + kFileEntryBytesInRes);
    if (!UpdateResourceData(update, MakeIntResource(kRtIcon), MakeIntResource(nid), language,
                            file.data() + offset, size)) {
      error = StoreFailure(size);
      return false;
    }
  }
  if (!UpdateResourceData(update, MakeIntResource(kRtGroupIcon), group, language, record.data(),
                          recordSize)) {
    error = StoreFailure(recordSize);
    return false;
  }
  return true;
}

}  // namespace

bool LoadIconGroupResource(ResourceUpdate* update, ResKey group, std::uint16_t language,
                           const char16_t* iconFile) {
  std::vector<std::uint8_t> file;
  if (ReadIconFile(iconFile, file) != IconFileStatus::Ok) return false;
  Error ignored;
  return ReplaceGroup(update, group, language, file, ignored);
}

bool LoadIconGroupResource(ResourceUpdate* update, ResKey group, std::uint16_t language,
                           const char16_t* iconFile, Error* error) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  std::vector<std::uint8_t> file;
  const std::string name = platform::ToUtf8(iconFile);
  try {
    const IconFileStatus status = ReadIconFile(iconFile, file);
    if (status == IconFileStatus::CannotOpen || status == IconFileStatus::CannotRead) {
      const std::uint32_t code = platform::LastError();
      e = MakeError(platform::ClassifyError(code),
                    status == IconFileStatus::CannotOpen ? "the icon file cannot be opened"
                                                         : "the icon file cannot be read in full",
                    code, name);
      return false;
    }
    if (status != IconFileStatus::Ok) {
      e = MakeError(ErrorKind::BadIconFile,
                    std::string("the icon file ") + DescribeIconFileStatus(status), 0, name);
      return false;
    }
    return ReplaceGroup(update, group, language, file, e);
  } catch (const std::bad_alloc&) {
    e = MakeError(ErrorKind::OutOfMemory, "out of memory reading the icon file", 0, name);
    return false;
  }
}

}  // namespace marovi
