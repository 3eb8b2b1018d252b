// The icon group the shell shows: the first of the resource directory.
#include "icons/icons.h"

namespace marovi {

bool operator==(const IconGroupKey& a, const IconGroupKey& b) {
  if (a.language != b.language || a.name.named() != b.name.named()) return false;
  return a.name.named() ? a.name.name() == b.name.name() : a.name.id() == b.name.id();
}

std::optional<std::size_t> ShellIconGroupEntry(std::span<const ResourceEntry> entries) {
  // A type named "14" is another type.
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (!entries[i].type.named() && entries[i].type.id == kRtGroupIcon) return i;
  return std::nullopt;
}

std::optional<IconGroupKey> ShellIconGroup(std::span<const ResourceEntry> entries) {
  const std::optional<std::size_t> index = ShellIconGroupEntry(entries);
  if (!index) return std::nullopt;
  const ResourceEntry& entry = entries[*index];
  return IconGroupKey{entry.name.named() ? ResourceName(entry.name.name)
                                         : ResourceName(static_cast<std::uint16_t>(entry.name.id)),
                      static_cast<std::uint16_t>(entry.language)};
}

std::optional<IconGroupKey> ShellIconGroup(const ResourceUpdate* update) {
  // Only the groups are listed: an image may hold many thousands of others.
  return ShellIconGroup(ListResources(update, kRtGroupIcon));
}

}  // namespace marovi
