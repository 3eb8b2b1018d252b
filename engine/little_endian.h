// Little-endian fields read and written in place, and the bounds test that
// comes before them, in subtraction form so that it cannot wrap around: the
// engine reads images this way, and the icon formats are read the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace marovi {

// zlib's CRC-32 of bytes, continued from crc (0 to start): installers and
// PNG chunks check their bytes with it.
std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* bytes, std::size_t count);

inline bool InBounds(std::uint64_t size, std::uint64_t offset, std::uint64_t length) {
  return offset <= size && length <= size - offset;
}

inline std::uint16_t LoadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t LoadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t LoadU64(const std::uint8_t* p) {
  return LoadU32(p) | (std::uint64_t{LoadU32(p + 4)} << 32);
}
inline void StoreU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void StoreU32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline void StoreU64(std::uint8_t* p, std::uint64_t v) {
  StoreU32(p, static_cast<std::uint32_t>(v));
  StoreU32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

std::string HexOffset(std::uint64_t value);  // "0x1f0": lowercase, no leading zeros

}  // namespace marovi
