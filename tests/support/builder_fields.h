// Byte fields of the images and records the test generator builds: little-
// endian values put at an offset (growing the buffer) and read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "tests/support/pe_builder.h"

namespace marovi::test::fields {

inline void Put16(Bytes& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i)
    b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Put64(Bytes& b, std::size_t at, std::uint64_t v) {
  Put32(b, at, static_cast<std::uint32_t>(v));
  Put32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}
inline std::uint32_t Get16(const Bytes& b, std::size_t at) {
  if (at + 2 > b.size()) throw std::out_of_range("image too short");
  return static_cast<std::uint32_t>(b[at] | (b[at + 1] << 8));
}
inline std::uint32_t Get32(const Bytes& b, std::size_t at) {
  if (at + 4 > b.size()) throw std::out_of_range("image too short");
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
inline std::uint32_t Align(std::uint32_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}
inline std::uint32_t Size32(std::size_t n) { return static_cast<std::uint32_t>(n); }

}  // namespace marovi::test::fields
