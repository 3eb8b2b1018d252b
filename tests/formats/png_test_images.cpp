#include "tests/formats/png_test_images.h"

#include <string>

#include "icons/stb.h"

namespace marovi::test {
namespace {

std::uint32_t LoadBigU32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// CRC-32 as PNG uses it (ISO 3309), bit by bit.
std::uint32_t Crc(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) != 0 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return crc ^ 0xFFFFFFFFu;
}

void Append(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(context);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

}  // namespace

std::vector<std::uint8_t> PngOfTestPattern(std::uint32_t width, std::uint32_t height) {
  std::vector<std::uint8_t> rgba;
  for (std::uint32_t y = 0; y < height; ++y)
    for (std::uint32_t x = 0; x < width; ++x) {
      const bool left = x < width / 2, top = y < height / 2;
      const Pixel p = !left ? Pixel{0, 0, 255, 0}
                      : top ? Pixel{255, 0, 0, 255}
                            : Pixel{0, 255, 0, 255};
      rgba.insert(rgba.end(), {p.r, p.g, p.b, p.a});
    }
  std::vector<std::uint8_t> png;
  const int w = static_cast<int>(width), h = static_cast<int>(height);
  stbi_write_png_to_func(Append, &png, w, h, 4, rgba.data(), w * 4);
  return png;
}

std::size_t ChunkOffset(const std::vector<std::uint8_t>& png, std::string_view type) {
  for (std::size_t at = 8; at + 12 <= png.size(); at += 12 + LoadBigU32(png.data() + at))
    if (std::string_view(reinterpret_cast<const char*>(png.data() + at + 4), 4) == type) return at;
  return 0;
}

void StoreBigU32(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

void FixChunkCrc(std::vector<std::uint8_t>& png, std::size_t offset) {
  const std::uint32_t length = LoadBigU32(png.data() + offset);
  StoreBigU32(png.data() + offset + 8 + length,
              Crc(png.data() + offset + 4, 4 + std::size_t{length}));
}

}  // namespace marovi::test
