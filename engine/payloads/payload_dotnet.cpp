// .NET single-file bundles. The host program keeps, in its own data, the
// 8-byte file offset of the bundle's header right in front of a fixed 32-byte
// signature; the header (behind the bundled files) lists every file with its
// absolute offset:
//
//   u32 major version, u32 minor version, i32 number of files,
//   string bundle id,
//   (major >= 2) i64 deps.json offset, i64 its size,
//                i64 runtimeconfig.json offset, i64 its size, u64 flags,
//   per file: i64 offset, i64 size, (major >= 6) i64 compressed size,
//             u8 type, string relative path.
//
// Strings are prefixed by their length in 7-bit groups, low group first.
#include <algorithm>
#include <functional>

#include "engine/payloads/payloads.h"
#include "engine/pe/bytes.h"

namespace marovi {

namespace {

constexpr std::uint8_t kSignature[32] = {
    0x8b, 0x12, 0x02, 0xb9, 0x6a, 0x61, 0x20, 0x38, 0x72, 0x7b, 0x93, 0x02, 0x14, 0xd7, 0xa0, 0x32,
    0x13, 0xf5, 0xb9, 0xe6, 0xef, 0xae, 0x33, 0x18, 0xee, 0x3b, 0x2d, 0xce, 0x24, 0xb3, 0x6a, 0xae};

// A bounded reader over the file from a position.
struct Cursor {
  std::span<const std::uint8_t> f;
  std::uint64_t at = 0;
  bool ok = true;

  std::uint64_t Take(std::uint64_t n) {
    if (!ok || !InBounds(f.size(), at, n)) {
      ok = false;
      return 0;
    }
    std::uint64_t v = 0;
    for (std::uint64_t i = 0; i < n; ++i)
      v |= std::uint64_t{f[static_cast<std::size_t>(at + i)]} << (8 * i);
    at += n;
    return v;
  }
  void SkipString() {
    std::uint64_t length = 0;
    for (int shift = 0; ok; shift += 7) {
      const std::uint64_t b = Take(1);
      if (shift > 28) ok = false;
      length |= (b & 0x7F) << shift;
      if ((b & 0x80) == 0) break;
    }
    if (ok && !InBounds(f.size(), at, length)) ok = false;
    at += length;
  }
};

bool KnownMajor(std::uint32_t major) { return major == 1 || major == 2 || major == 6; }

// The offsets of the header's part 2 and of each file entry; false when the
// header cannot be read or a file lies outside the file.
bool ReadManifest(Cursor& c, std::uint32_t major, std::uint32_t count,
                  std::vector<OffsetField>& offsets) {
  auto part = [&](bool sized) {
    const std::uint64_t at = c.at;
    const std::uint64_t offset = c.Take(8), size = sized ? c.Take(8) : 0;
    if (c.ok && (offset > c.f.size() || size > c.f.size() - offset)) c.ok = false;
    offsets.push_back(OffsetField{at, 8, offset, std::uint64_t{0}});
    return size;
  };
  if (major >= 2) {
    part(true);  // deps.json
    part(true);  // runtimeconfig.json
    c.Take(8);   // flags
  }
  for (std::uint32_t i = 0; i < count && c.ok; ++i) {
    const std::uint64_t at = c.at;
    const std::uint64_t offset = c.Take(8), size = c.Take(8);
    const std::uint64_t compressed = major >= 6 ? c.Take(8) : 0;
    const std::uint64_t stored = compressed != 0 ? compressed : size;
    if (c.ok && (offset > c.f.size() || stored > c.f.size() - offset)) c.ok = false;
    // A file's offset is never "none": an empty file still has one.
    offsets.push_back(OffsetField{at, 8, offset, std::nullopt});
    c.Take(1);
    c.SkipString();
  }
  return c.ok;
}

// Where the signature first lies wholly inside [from, to).
std::optional<std::uint64_t> FindSignature(std::span<const std::uint8_t> image, std::uint64_t from,
                                           std::uint64_t to) {
  if (to <= from) return std::nullopt;
  const auto part = image.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from));
  const auto found =
      std::search(part.begin(), part.end(),
                  std::boyer_moore_horspool_searcher(std::begin(kSignature), std::end(kSignature)));
  if (found == part.end()) return std::nullopt;
  return from + static_cast<std::uint64_t>(found - part.begin());
}

}  // namespace

std::optional<Payload> RecogniseDotNetBundle(std::span<const std::uint8_t> image,
                                             std::uint64_t appended, std::uint64_t resourcesBegin,
                                             std::uint64_t resourcesEnd) {
  // The marker lies in the host's own data, in front of the appended data;
  // the resource data (which may be most of the image) is not looked at.
  const std::uint64_t end = std::min<std::uint64_t>(appended, image.size());
  resourcesEnd = std::min(resourcesEnd, end);
  resourcesBegin = std::min(resourcesBegin, resourcesEnd);
  auto signature = FindSignature(image, 0, resourcesBegin);
  if (!signature) signature = FindSignature(image, resourcesEnd, end);
  if (!signature || *signature < 8) return std::nullopt;
  const std::uint64_t field = *signature - 8;
  const std::uint64_t header = LoadU64(image.data() + field);
  if (header == 0) return std::nullopt;  // a host without a bundle
  Payload p;
  p.finding.kind = PayloadKind::DotNetBundle;
  p.finding.offset = std::min<std::uint64_t>(header, image.size());
  p.finding.size = image.size() - p.finding.offset;
  auto broken = [&](const char* why) {
    p.finding.intact = false;
    p.finding.detail = why;
    p.offsets.clear();
    return p;
  };
  Cursor c{image, header};
  if (header >= image.size()) return broken("its header offset lies outside the file");
  const auto major = static_cast<std::uint32_t>(c.Take(4));
  c.Take(4);
  const auto count = static_cast<std::uint32_t>(c.Take(4));
  c.SkipString();
  if (!c.ok) return broken("its header cannot be read");
  p.offsets.push_back(OffsetField{field, 8, header, std::nullopt});
  if (!KnownMajor(major)) {
    p.unfixable = "its header version " + std::to_string(major) + " is not one this program knows";
    p.finding.detail = "header version " + std::to_string(major);
    return p;
  }
  if (count > image.size() / 17 || !ReadManifest(c, major, count, p.offsets))
    return broken("its manifest does not match the file");
  std::uint64_t first = header;
  for (std::size_t i = 1; i < p.offsets.size(); ++i) {
    if (p.offsets[i].value != 0) first = std::min(first, p.offsets[i].value);
  }
  p.finding.offset = std::max(appended, std::min<std::uint64_t>(first, image.size()));
  p.finding.size = image.size() - p.finding.offset;
  p.finding.detail = std::to_string(count) + " files";
  return p;
}

}  // namespace marovi
