// PNG images for the icon tests, made with stb_image_write, and the means to
// damage them the way a broken file would be.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace marovi::test {

struct Pixel {
  std::uint8_t r, g, b, a;
};

// A width x height RGBA image: the left half opaque, red above green; the
// right half fully transparent (blue).
std::vector<std::uint8_t> PngOfTestPattern(std::uint32_t width, std::uint32_t height);

// The offset of the first chunk of type (its length field), 0 when none.
std::size_t ChunkOffset(const std::vector<std::uint8_t>& png, std::string_view type);

void StoreBigU32(std::uint8_t* p, std::uint32_t value);

// Sets the CRC of the chunk at offset to match its type and data.
void FixChunkCrc(std::vector<std::uint8_t>& png, std::size_t offset);

}  // namespace marovi::test
