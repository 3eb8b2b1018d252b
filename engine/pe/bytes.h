// Bounded little-endian access to image bytes. Every read and write of the
// mapped image goes through these helpers, with the bounds test in
// subtraction form before any pointer is formed.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "engine/failure.h"  // ImageFormatError: an image that cannot be read safely
#include "engine/little_endian.h"

namespace marovi {

std::string HexDigits(std::uint64_t value);  // "1f0": lowercase, no leading zeros
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
