#include "tests/support/payload_builder.h"

#include <algorithm>
#include <cstring>

namespace marovi::test {

namespace {

void Put(Bytes& b, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) b.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
std::uint64_t Get(const Bytes& b, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i)
    v |= std::uint64_t{b[at + static_cast<std::size_t>(i)]} << (8 * i);
  return v;
}

constexpr std::uint8_t kNsisSignature[16] = {0xEF, 0xBE, 0xAD, 0xDE, 'N', 'u', 'l', 'l',
                                             's',  'o',  'f',  't',  'I', 'n', 's', 't'};
constexpr std::uint8_t kBundleSignature[32] = {
    0x8b, 0x12, 0x02, 0xb9, 0x6a, 0x61, 0x20, 0x38, 0x72, 0x7b, 0x93, 0x02, 0x14, 0xd7, 0xa0, 0x32,
    0x13, 0xf5, 0xb9, 0xe6, 0xef, 0xae, 0x33, 0x18, 0xee, 0x3b, 0x2d, 0xce, 0x24, 0xb3, 0x6a, 0xae};
const char kInnoId[] = "rDlPtS\xCD\xE6\xD7\x7B\x0B\x2A";

void PutString(Bytes& b, const std::string& s) {
  std::size_t n = s.size();
  do {
    b.push_back(static_cast<std::uint8_t>((n & 0x7F) | (n > 0x7F ? 0x80 : 0)));
    n >>= 7;
  } while (n != 0);
  b.insert(b.end(), s.begin(), s.end());
}

}  // namespace

std::uint32_t BitwiseCrc32(const std::uint8_t* bytes, std::size_t count) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

void AppendNsisData(Bytes& image, const Bytes& data, bool crc) {
  image.resize((image.size() + 511) / 512 * 512, 0);
  Put(image, crc ? 0 : 4, 4);
  image.insert(image.end(), std::begin(kNsisSignature), std::end(kNsisSignature));
  Put(image, data.size() / 2, 4);  // the header's length: any part of the data
  Put(image, 28 + data.size() + (crc ? 4 : 0), 4);
  image.insert(image.end(), data.begin(), data.end());
  if (crc) Put(image, BitwiseCrc32(image.data() + 512, image.size() - 512), 4);
}

std::optional<Bytes> ReadNsisData(const Bytes& file, std::string* why) {
  std::string ignored;
  std::string& reason = why != nullptr ? *why : ignored;
  for (std::size_t at = 0; at + 28 <= file.size(); at += 512) {
    if (!std::equal(std::begin(kNsisSignature), std::end(kNsisSignature),
                    file.begin() + static_cast<std::ptrdiff_t>(at) + 4))
      continue;
    const auto flags = Get(file, at, 4);
    const auto length = Get(file, at + 24, 4);
    if (at + length > file.size()) return reason = "data cut short", std::nullopt;
    const bool crc = (flags & 4) == 0;
    const auto end = static_cast<std::size_t>(at + length - (crc ? 4 : 0));
    if (crc && BitwiseCrc32(file.data() + 512, end - 512) != Get(file, end, 4))
      return reason = "CRC mismatch", std::nullopt;
    return Bytes(file.begin() + static_cast<std::ptrdiff_t>(at) + 28,
                 file.begin() + static_cast<std::ptrdiff_t>(end));
  }
  reason = "no first header at a multiple of 512";
  return std::nullopt;
}

Bytes DotNetBundleMarker() {
  Bytes b(8, 0);
  b.insert(b.end(), std::begin(kBundleSignature), std::end(kBundleSignature));
  return b;
}

void AppendDotNetBundle(Bytes& image, std::uint32_t major, const std::vector<Bytes>& files) {
  std::vector<std::uint64_t> offsets;
  for (const Bytes& f : files) {
    offsets.push_back(image.size());
    image.insert(image.end(), f.begin(), f.end());
  }
  const std::uint64_t header = image.size();
  Bytes h;
  Put(h, major, 4);
  Put(h, 0, 4);
  Put(h, files.size(), 4);
  PutString(h, "bundle-id");
  if (major >= 2) {
    // deps.json is the first file, runtimeconfig.json absent.
    Put(h, files.empty() ? 0 : offsets[0], 8);
    Put(h, files.empty() ? 0 : files[0].size(), 8);
    Put(h, 0, 8);
    Put(h, 0, 8);
    Put(h, 0, 8);
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    Put(h, offsets[i], 8);
    Put(h, files[i].size(), 8);
    if (major >= 6) Put(h, 0, 8);
    h.push_back(1);
    PutString(h, "file" + std::to_string(i) + ".dll");
  }
  image.insert(image.end(), h.begin(), h.end());
  const auto marker = std::search(image.begin(), image.end(), std::begin(kBundleSignature),
                                  std::end(kBundleSignature));
  for (int i = 0; i < 8; ++i) *(marker - 8 + i) = static_cast<std::uint8_t>(header >> (8 * i));
}

std::optional<std::vector<Bytes>> ReadDotNetBundle(const Bytes& file) {
  const auto marker = std::search(file.begin(), file.end(), std::begin(kBundleSignature),
                                  std::end(kBundleSignature));
  if (marker == file.end() || marker - file.begin() < 8) return std::nullopt;
  const std::uint64_t header = Get(file, static_cast<std::size_t>(marker - file.begin()) - 8, 8);
  if (header == 0 || header + 12 > file.size()) return std::nullopt;
  std::size_t at = static_cast<std::size_t>(header);
  const std::uint64_t major = Get(file, at, 4), count = Get(file, at + 8, 4);
  at += 12;
  auto skipString = [&] { at += 1u + std::size_t{file[at]}; };  // names here are short
  skipString();
  if (major >= 2) at += 40;
  std::vector<Bytes> files;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (at + 17 > file.size()) return std::nullopt;
    const std::uint64_t offset = Get(file, at, 8), size = Get(file, at + 8, 8);
    at += major >= 6 ? 25 : 17;
    skipString();
    if (offset + size > file.size()) return std::nullopt;
    files.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(offset),
                       file.begin() + static_cast<std::ptrdiff_t>(offset + size));
  }
  return files;
}

Bytes InnoOffsetTable(std::uint32_t version, const InnoOffsets& o) {
  const int w = version == 1 ? 4 : 8;
  Bytes t(kInnoId, kInnoId + 12);
  Put(t, version, 4);
  Put(t, o.totalSize, w);
  Put(t, o.offsetExe, w);
  Put(t, 0x1234, 4);      // UncompressedSizeEXE
  Put(t, 0x55AA55AA, 4);  // CRCEXE
  Put(t, o.offset0, w);
  Put(t, o.offset1, w);
  Put(t, BitwiseCrc32(t.data(), t.size()), 4);
  return t;
}

std::optional<InnoOffsets> ReadInnoOffsetTable(const Bytes& t) {
  if (t.size() < 16) return std::nullopt;
  const auto version = Get(t, 12, 4);
  const std::size_t w = version == 1 ? 4 : 8;
  const std::size_t crcAt = 16 + 4 * w + 8;
  if (t.size() < crcAt + 4 || BitwiseCrc32(t.data(), crcAt) != Get(t, crcAt, 4))
    return std::nullopt;
  const int wi = static_cast<int>(w);
  return InnoOffsets{Get(t, 16, wi), Get(t, 16 + w, wi), Get(t, 24 + 2 * w, wi),
                     Get(t, 24 + 3 * w, wi)};
}

}  // namespace marovi::test
