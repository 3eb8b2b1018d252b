// Icon and cursor group records, and groups deleted with their images.
#include "app/resource_groups.h"

#include <set>

#include "app/change_workflow.h"

namespace marovi::app {
namespace {

// The record's header (reserved, type, count), then its entries.
constexpr std::size_t kRecordHeaderSize = 6;
constexpr std::size_t kRecordCount = 4;
constexpr std::size_t kRecordEntrySize = 14;
constexpr std::size_t kRecordEntryId = 12;

bool SameKey(const EntryKey& entry, const ResourceName& key) {
  return key.named() ? entry.name == key.name() : !entry.named() && entry.id == key.id();
}

ResKey KeyOf(const EntryKey& key) {
  return key.named() ? key.name.c_str() : MakeIntResource(static_cast<std::uint16_t>(key.id));
}

}  // namespace

std::optional<std::uint16_t> ImageTypeOfGroup(const ResourceName& type) {
  if (type.named()) return std::nullopt;
  if (type.id() == kRtGroupIcon) return kRtIcon;
  if (type.id() == kRtGroupCursor) return kRtCursor;
  return std::nullopt;
}

std::optional<std::vector<std::uint16_t>> GroupRecordIds(std::span<const std::uint8_t> record) {
  if (record.size() < kRecordHeaderSize) return std::nullopt;
  const std::size_t count = LoadU16(record.data() + kRecordCount);
  if ((record.size() - kRecordHeaderSize) / kRecordEntrySize < count) return std::nullopt;
  std::vector<std::uint16_t> ids;
  for (std::size_t i = 0; i < count; ++i)
    ids.push_back(
        LoadU16(record.data() + kRecordHeaderSize + kRecordEntrySize * i + kRecordEntryId));
  return ids;
}

void SetGroupRecordId(std::vector<std::uint8_t>& record, std::size_t index, std::uint16_t id) {
  StoreU16(record.data() + kRecordHeaderSize + kRecordEntrySize * index + kRecordEntryId, id);
}

bool DeleteGroupWithImages(ResourceUpdate* update, std::uint16_t groupType,
                           const ResourceName& name, std::uint16_t language, Error& error) {
  std::vector<std::uint8_t> record;
  error = Error();
  if (!ReadResource(update, MakeIntResource(groupType), name.key(), language, record, &error))
    return !error;  // no such group
  const std::vector<std::uint16_t> ids = GroupRecordIds(record).value_or(std::vector<std::uint16_t>{});
  std::set<std::uint16_t> listedElsewhere;
  for (const ResourceEntry& entry : ListResources(update, groupType)) {
    if (entry.language != language || SameKey(entry.name, name)) continue;
    std::vector<std::uint8_t> other;
    if (!ReadResource(update, MakeIntResource(groupType), KeyOf(entry.name), language, other,
                      &error))
      return false;
    for (std::uint16_t id : GroupRecordIds(other).value_or(std::vector<std::uint16_t>{}))
      listedElsewhere.insert(id);
  }
  const std::uint16_t imageType = *ImageTypeOfGroup(ResourceName(groupType));
  std::set<std::uint16_t> present;
  for (const ResourceEntry& entry : ListResources(update, imageType))
    if (!entry.name.named() && entry.language == language && entry.name.id <= 0xFFFF)
      present.insert(static_cast<std::uint16_t>(entry.name.id));
  // Only leaves that exist are deleted: a deletion that finds no leaf of
  // language 0 would take every language of the name.
  if (!UpdateResourceData(update, MakeIntResource(groupType), name.key(), language, nullptr, 0,
                          &error))
    return false;
  for (std::uint16_t id : ids) {
    if (listedElsewhere.count(id) != 0 || present.erase(id) == 0) continue;
    if (!UpdateResourceData(update, MakeIntResource(imageType), MakeIntResource(id), language,
                            nullptr, 0, &error))
      return false;
  }
  return true;
}

bool StoreResource(ResourceUpdate* update, const ResourceName& type, const ResourceName& name,
                   std::uint16_t language, std::span<const std::uint8_t> data, Error& error) {
  if (data.size() > 0xFFFFFFFFu) {
    error = MakeError(ErrorKind::Refused, "a resource of 4 GiB or more cannot be stored", 0,
                      ImageFileName(update));
    return false;
  }
  // Data of no bytes still has to be told from a deletion.
  static const std::uint8_t kNone = 0;
  const void* bytes = data.empty() ? &kNone : data.data();
  if (UpdateResourceData(update, type.key(), name.key(), language, bytes,
                         static_cast<std::uint32_t>(data.size()), &error))
    return true;
  if (error.file.empty()) error.file = ImageFileName(update);
  return false;
}

std::string KeyText(const ResourceName& key) {
  if (!key.named()) return std::to_string(key.id());
  return "\"" + platform::ToUtf8(key.name()) + "\"";
}

}  // namespace marovi::app
