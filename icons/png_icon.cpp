// An icon file made from a PNG: the PNG's chunks are checked here, stb decodes,
// scales and encodes.
#include "icons/png_icon.h"

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <string>

#include "icons/stb.h"

namespace marovi {
namespace {

constexpr std::uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint64_t kSignatureSize = sizeof(kPngSignature);

// A chunk: length (big-endian, counting the data only), type, data, CRC of
// type and data.
constexpr std::uint64_t kChunkLength = 0;
constexpr std::uint64_t kChunkType = 4;
constexpr std::uint64_t kChunkData = 8;
constexpr std::uint64_t kChunkOverhead = 12;
constexpr std::uint32_t kLargestChunk = 0x7FFFFFFF;
// IHDR: width, height (big-endian), then five one-byte fields.
constexpr std::uint32_t kIhdrSize = 13;
constexpr std::uint64_t kIhdrWidth = 0;
constexpr std::uint64_t kIhdrHeight = 4;

// Icon file: ICONDIR, then one ICONDIRENTRY per image, then the images.
constexpr std::uint32_t kIconDirSize = 6;
constexpr std::uint32_t kIconEntrySize = 16;
// BITMAPINFOHEADER.
constexpr std::uint32_t kBitmapHeaderSize = 40;

constexpr std::uint32_t kChannels = 4;

std::uint32_t LoadBigU32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}


struct PngRefusal {
  std::string detail;
};

[[noreturn]] void Refuse(const std::string& detail) { throw PngRefusal{"the PNG image " + detail}; }

// Walks the chunks from the signature to IEND, checking each one's bounds
// and CRC, and returns the side of the square image IHDR describes.
std::uint32_t CheckChunks(std::span<const std::uint8_t> png) {
  const std::uint64_t size = png.size();
  const std::uint8_t* bytes = png.data();
  std::uint64_t at = kSignatureSize;
  bool first = true;
  std::uint32_t width = 0, height = 0;
  for (;;) {
    if (!InBounds(size, at, kChunkOverhead))
      Refuse("is cut short: it ends at " + HexOffset(size) + " without an IEND chunk");
    const std::uint32_t length = LoadBigU32(bytes + at + kChunkLength);
    if (length > kLargestChunk || !InBounds(size - at - kChunkOverhead, 0, length))
      Refuse("is cut short: the chunk at " + HexOffset(at) + " of " + std::to_string(length) +
             " bytes runs past its end");
    const std::string type(reinterpret_cast<const char*>(bytes + at + kChunkType), 4);
    const std::uint32_t stored = LoadBigU32(bytes + at + kChunkData + length);
    if (Crc32(0, bytes + at + kChunkType, 4 + std::size_t{length}) != stored)
      Refuse("is damaged: the checksum of its " + type + " chunk at " + HexOffset(at) +
             " does not match");
    if (first) {
      if (type != "IHDR" || length != kIhdrSize)
        Refuse("does not start with its IHDR header chunk");
      width = LoadBigU32(bytes + at + kChunkData + kIhdrWidth);
      height = LoadBigU32(bytes + at + kChunkData + kIhdrHeight);
      first = false;
    }
    at += kChunkOverhead + length;
    if (type == "IEND") break;
  }
  if (width == 0 || height == 0) Refuse("has no pixels");
  if (width != height)
    Refuse("is not square (" + std::to_string(width) + " x " + std::to_string(height) + " pixels)");
  if (width > kPngIconLargestInput)
    Refuse("is " + std::to_string(width) + " pixels wide; at most " +
           std::to_string(kPngIconLargestInput) + " are taken");
  return width;
}

struct StbFree {
  void operator()(unsigned char* p) const { stbi_image_free(p); }
};

// RGBA pixels of the image scaled to side x side.
std::vector<std::uint8_t> Scaled(const std::uint8_t* rgba, std::uint32_t from, std::uint32_t side) {
  std::vector<std::uint8_t> out(std::size_t{side} * side * kChannels);
  if (from == side) {
    std::copy_n(rgba, out.size(), out.begin());
    return out;
  }
  const int ok = stbir_resize_uint8_srgb(rgba, static_cast<int>(from), static_cast<int>(from), 0,
                                         out.data(), static_cast<int>(side), static_cast<int>(side),
                                         0, static_cast<int>(kChannels), 3, 0);
  if (ok == 0) Refuse("could not be scaled to " + std::to_string(side) + " pixels");
  return out;
}

void AppendPng(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(context);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

std::vector<std::uint8_t> EncodePng(const std::vector<std::uint8_t>& rgba, std::uint32_t side) {
  std::vector<std::uint8_t> png;
  const int s = static_cast<int>(side);
  if (stbi_write_png_to_func(AppendPng, &png, s, s, static_cast<int>(kChannels), rgba.data(),
                             s * static_cast<int>(kChannels)) == 0)
    Refuse("could not be encoded again at " + std::to_string(side) + " pixels");
  return png;
}

void PutU16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  PutU16(out, v & 0xFFFF);
  PutU16(out, v >> 16);
}

// A 32-bit icon bitmap: BITMAPINFOHEADER with the height of colour and mask
// together, BGRA rows bottom-up, then the AND mask (1 bit a pixel, rows
// padded to 32 bits, bottom-up), set where a pixel is fully transparent.
std::vector<std::uint8_t> IconBitmap(const std::vector<std::uint8_t>& rgba, std::uint32_t side) {
  const std::uint32_t maskRow = (side + 31) / 32 * 4;
  const std::uint32_t colourBytes = side * side * kChannels;
  std::vector<std::uint8_t> out;
  out.reserve(kBitmapHeaderSize + colourBytes + maskRow * side);
  for (std::uint32_t v : {kBitmapHeaderSize, side, 2 * side}) PutU32(out, v);
  PutU16(out, 1);   // biPlanes
  PutU16(out, 32);  // biBitCount
  for (std::uint32_t v : {0u, colourBytes + maskRow * side, 0u, 0u, 0u, 0u}) PutU32(out, v);
  for (std::uint32_t y = side; y-- > 0;) {
    const std::uint8_t* row = rgba.data() + std::size_t{y} * side * kChannels;
    for (std::uint32_t x = 0; x < side; ++x) {
      const std::uint8_t* p = row + std::size_t{x} * kChannels;
      out.insert(out.end(), {p[2], p[1], p[0], p[3]});
    }
  }
  for (std::uint32_t y = side; y-- > 0;) {
    std::vector<std::uint8_t> mask(maskRow, 0);
    for (std::uint32_t x = 0; x < side; ++x)
      if (rgba[(std::size_t{y} * side + x) * kChannels + 3] == 0)
        mask[x / 8] = static_cast<std::uint8_t>(mask[x / 8] | (0x80u >> (x % 8)));
    out.insert(out.end(), mask.begin(), mask.end());
  }
  return out;
}

// The RGBA pixels of a PNG that CheckChunks accepts, with the side of the
// square they make.
struct DecodedPng {
  std::unique_ptr<unsigned char, StbFree> pixels;
  std::uint32_t side = 0;
};

DecodedPng Decode(std::span<const std::uint8_t> png) {
  DecodedPng decoded;
  decoded.side = CheckChunks(png);
  if (png.size() > static_cast<std::size_t>(INT_MAX)) Refuse("is too large to decode");
  int width = 0, height = 0, channels = 0;
  ForgetStbFailureReason();
  decoded.pixels.reset(stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &width,
                                             &height, &channels, static_cast<int>(kChannels)));
  if (!decoded.pixels) {
    const char* reason = stbi_failure_reason();
    Refuse(std::string("cannot be decoded (") +
           (reason != nullptr ? reason : "its compressed image data is damaged") + ")");
  }
  if (static_cast<std::uint32_t>(width) != decoded.side ||
      static_cast<std::uint32_t>(height) != decoded.side)
    Refuse("decodes to another size than its header gives");
  return decoded;
}

std::vector<std::uint8_t> BuildIcon(std::span<const std::uint8_t> png) {
  const DecodedPng decoded = Decode(png);
  const std::uint32_t side = decoded.side;
  const unsigned char* pixels = decoded.pixels.get();

  std::vector<std::vector<std::uint8_t>> images;
  for (std::uint32_t size : kPngIconSizes) {
    const std::vector<std::uint8_t> rgba = Scaled(pixels, side, size);
    images.push_back(size == kPngIconSizes[0] ? EncodePng(rgba, size) : IconBitmap(rgba, size));
  }

  std::vector<std::uint8_t> icon;
  PutU16(icon, 0);  // idReserved
  PutU16(icon, 1);  // idType: icon
  PutU16(icon, static_cast<std::uint32_t>(images.size()));
  std::uint32_t offset = kIconDirSize + kIconEntrySize * static_cast<std::uint32_t>(images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    const std::uint32_t size = kPngIconSizes[i];
    const auto byte = static_cast<std::uint8_t>(size >= 256 ? 0 : size);  // 0 stands for 256
    icon.insert(icon.end(), {byte, byte, 0, 0});  // width, height, colour count, reserved
    PutU16(icon, 1);                              // planes
    PutU16(icon, 32);                             // bits per pixel
    PutU32(icon, static_cast<std::uint32_t>(images[i].size()));
    PutU32(icon, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const auto& image : images) icon.insert(icon.end(), image.begin(), image.end());
  return icon;
}

}  // namespace

bool IsPngData(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= kSignatureSize &&
         std::equal(std::begin(kPngSignature), std::end(kPngSignature), bytes.begin());
}

bool CheckPngImage(std::span<const std::uint8_t> png, Error* error) {
  try {
    if (!IsPngData(png)) Refuse("does not start with the PNG signature");
    Decode(png);
    return true;
  } catch (const PngRefusal& refusal) {
    if (error != nullptr) *error = MakeError(ErrorKind::BadIconFile, refusal.detail);
    return false;
  }
}

std::optional<std::vector<std::uint8_t>> IconFileFromPng(std::span<const std::uint8_t> png,
                                                         Error* error) {
  try {
    if (!IsPngData(png)) Refuse("does not start with the PNG signature");
    return BuildIcon(png);
  } catch (const PngRefusal& refusal) {
    if (error != nullptr) *error = MakeError(ErrorKind::BadIconFile, refusal.detail);
    return std::nullopt;
  }
}

}  // namespace marovi
