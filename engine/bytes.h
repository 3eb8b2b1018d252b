// Bounded little-endian access to image bytes. Every read and write of the
// mapped image goes through these helpers, with the bounds test in
// subtraction form before any pointer is formed.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace marovi {

// An image that cannot be read safely: names the structure and the offset.
class ImageFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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

std::string HexDigits(std::uint64_t value);  // "1f0": lowercase, no leading zeros
std::string HexOffset(std::uint64_t value);  // "0x1f0"
// Appends the UTF-8 form of one code point (up to 0x10FFFF).
void AppendUtf8(std::string& out, std::uint32_t c);

// A window onto mapped bytes whose accessors refuse to leave it.
struct ByteSpan {
  std::uint8_t* data = nullptr;
  std::uint64_t size = 0;

  bool Has(std::uint64_t offset, std::uint64_t length) const {
    return InBounds(size, offset, length);
  }
};

}  // namespace marovi
