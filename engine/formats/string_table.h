// String tables (type 6). Strings are kept in blocks of 16: the string with
// id N is entry N % 16 of the block named N / 16 + 1. A block is its 16
// entries in turn, each a 16-bit count of UTF-16 characters followed by
// them, without a terminator; an empty string is a count of 0.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/error.h"

namespace marovi {

inline constexpr std::uint16_t kRtString = 6;
inline constexpr std::uint16_t kStringsPerBlock = 16;

struct StringBlock {
  std::array<std::u16string, kStringsPerBlock> strings;
  bool operator==(const StringBlock&) const = default;
};

// The name of the block that holds string id, and the string's entry in it.
constexpr std::uint16_t StringBlockName(std::uint16_t id) {
  return static_cast<std::uint16_t>(id / kStringsPerBlock + 1);
}
constexpr std::size_t StringBlockIndex(std::uint16_t id) { return id % kStringsPerBlock; }

// Reads a block. Data that ends inside an entry is refused (MalformedImage,
// with the entry and its offset); data that ends between entries leaves the
// rest empty, and bytes behind the sixteenth entry are ignored.
std::optional<StringBlock> ParseStringBlock(std::span<const std::uint8_t> data, Error* error);

// The resource bytes of a block: always sixteen entries. None, with error
// (Refused), for a string longer than 65535 characters.
std::optional<std::vector<std::uint8_t>> WriteStringBlock(const StringBlock& block, Error* error);

}  // namespace marovi
