// Icon and cursor groups seen from outside the icon layer: a group record
// lists its images by id, and a change that adds, replaces or deletes a group
// has to keep those ids right.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace marovi::app {

inline constexpr std::uint16_t kRtCursor = 1;
inline constexpr std::uint16_t kRtGroupCursor = 12;

// The image type (3 or 1) of a group type (14 or 12); none for other types.
std::optional<std::uint16_t> ImageTypeOfGroup(const ResourceName& type);

// The image ids a group record lists (a 6-byte header whose third field
// counts 14-byte entries, each ending in an id). None when the record is
// shorter than its count says.
std::optional<std::vector<std::uint16_t>> GroupRecordIds(std::span<const std::uint8_t> record);
// Sets the id of the record's entry index (which GroupRecordIds found there).
void SetGroupRecordId(std::vector<std::uint8_t>& record, std::size_t index, std::uint16_t id);

// Removes the group of groupType (14 or 12), name and language, when there
// is one, with the images of its language that it lists and no other group
// of that type and language lists. A record cut short takes none of them.
// False with error when a record cannot be read back or a deletion fails.
bool DeleteGroupWithImages(ResourceUpdate* update, std::uint16_t groupType,
                           const ResourceName& name, std::uint16_t language, Error& error);

// Adds or replaces one resource; false with error naming the image.
bool StoreResource(ResourceUpdate* update, const ResourceName& type, const ResourceName& name,
                   std::uint16_t language, std::span<const std::uint8_t> data, Error& error);

// A type or a name as list prints it: a decimal id or the name in quotes.
std::string KeyText(const ResourceName& key);

}  // namespace marovi::app
