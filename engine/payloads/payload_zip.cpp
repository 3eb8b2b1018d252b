// Zip archives appended to a program (self-extractors). A reader finds the
// end record at the end of the file, the central directory from it, and
// each entry's local header from the central directory. Those offsets count
// from the archive's first byte, or, in an archive adjusted for the program
// in front of it, from the file's: only the latter move with the tail.
// ZIP64 archives keep the same offsets, 64 bits wide, in a record of their
// own, a locator that points at it, and an extra field of each entry.
#include <algorithm>

#include "engine/payloads/payloads.h"
#include "engine/pe/bytes.h"

namespace marovi {

namespace {

constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint32_t kEnd64Signature = 0x06064B50;
constexpr std::uint32_t kLocatorSignature = 0x07064B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::uint64_t kEndSize = 22, kLocatorSize = 20, kEnd64Size = 56;
constexpr std::uint64_t kCentralSize = 46, kLocalSize = 30;
constexpr std::uint32_t kMax32 = 0xFFFFFFFF;
constexpr std::uint16_t kZip64Extra = 1;

// The archive's directory as its end records describe it.
struct Directory {
  std::uint64_t end = 0;    // the end record
  std::uint64_t end64 = 0;  // the ZIP64 end record, when there is one
  bool zip64 = false;
  std::uint64_t entries = 0;
  std::uint64_t size = 0;
  std::uint64_t offset = 0;  // as stored
  std::int64_t base = 0;     // what the stored offsets count from
};

bool Has(std::span<const std::uint8_t> f, std::uint64_t at, std::uint64_t n, std::uint32_t sig) {
  return InBounds(f.size(), at, n) && LoadU32(f.data() + at) == sig;
}

// The end record that ends the file (its comment included), found no
// earlier than from.
std::optional<std::uint64_t> FindEnd(std::span<const std::uint8_t> f, std::uint64_t from) {
  const std::uint64_t size = f.size();
  if (size < kEndSize) return std::nullopt;
  const std::uint64_t lowest =
      std::max(from, size >= kEndSize + 0xFFFF ? size - kEndSize - 0xFFFF : 0);
  for (std::uint64_t at = size - kEndSize + 1; at-- > lowest;) {
    if (Has(f, at, kEndSize, kEndSignature) && at + kEndSize + LoadU16(f.data() + at + 20) == size)
      return at;
  }
  return std::nullopt;
}

// Reads the end records; false when they contradict each other or the file.
bool ReadDirectory(std::span<const std::uint8_t> f, std::uint64_t end, Directory& d) {
  const std::uint8_t* e = f.data() + end;
  d.end = end;
  d.entries = LoadU16(e + 10);
  d.size = LoadU32(e + 12);
  d.offset = LoadU32(e + 16);
  std::uint64_t directoryEnd = end;
  if (end >= kLocatorSize && Has(f, end - kLocatorSize, kLocatorSize, kLocatorSignature)) {
    d.zip64 = true;
    const std::uint64_t stored = LoadU64(f.data() + end - kLocatorSize + 8);
    // The record lies where the locator says (adjusted archive), or right in
    // front of the locator (the locator then counts from the archive).
    d.end64 =
        Has(f, stored, kEnd64Size, kEnd64Signature) ? stored : end - kLocatorSize - kEnd64Size;
    if (end < kLocatorSize + kEnd64Size || !Has(f, d.end64, kEnd64Size, kEnd64Signature))
      return false;
    const std::uint8_t* r = f.data() + d.end64;
    d.entries = LoadU64(r + 32);
    d.size = LoadU64(r + 40);
    d.offset = LoadU64(r + 48);
    directoryEnd = d.end64;
  }
  if (d.size > directoryEnd || d.offset > directoryEnd - d.size) return false;
  d.base = static_cast<std::int64_t>(directoryEnd - d.size - d.offset);
  return true;
}

// The local header offset of the central entry at `at` (and where it is
// stored), or none when the entry cannot be read.
std::optional<OffsetField> LocalOffset(std::span<const std::uint8_t> f, std::uint64_t at) {
  const std::uint8_t* c = f.data() + at;
  OffsetField field{at + 42, 4, LoadU32(c + 42), kMax32};
  if (field.value != kMax32) return field;
  // The 64-bit value is in the ZIP64 extra field, behind the sizes that
  // overflowed their own fields.
  std::uint64_t extra = at + kCentralSize + LoadU16(c + 28);
  const std::uint64_t extraEnd = extra + LoadU16(c + 30);
  while (extra + 4 <= extraEnd && InBounds(f.size(), extra, 4)) {
    const std::uint16_t id = LoadU16(f.data() + extra), length = LoadU16(f.data() + extra + 2);
    if (id == kZip64Extra) {
      const std::uint64_t skip =
          (LoadU32(c + 24) == kMax32 ? 8u : 0u) + (LoadU32(c + 20) == kMax32 ? 8u : 0u);
      if (skip + 8 > length || !InBounds(f.size(), extra + 4 + skip, 8)) return std::nullopt;
      return OffsetField{extra + 4 + skip, 8, LoadU64(f.data() + extra + 4 + skip), std::nullopt};
    }
    extra += 4 + std::uint64_t{length};
  }
  return std::nullopt;
}

}  // namespace

std::optional<Payload> RecogniseZip(std::span<const std::uint8_t> image, std::uint64_t appended) {
  const auto end = FindEnd(image, appended);
  if (!end) return std::nullopt;
  Payload p;
  p.finding.kind = PayloadKind::Zip;
  p.finding.offset = appended;
  p.finding.size = image.size() - appended;
  Directory d;
  auto broken = [&](const char* why) {
    p.finding.intact = false;
    p.finding.detail = why;
    p.offsets.clear();
    return p;
  };
  if (!ReadDirectory(image, *end, d)) return broken("its end records do not match the file");
  p.finding.absoluteOffsets = d.base == 0;
  const std::uint64_t base = static_cast<std::uint64_t>(d.base);
  const std::uint64_t directoryEnd = d.zip64 ? d.end64 : d.end;
  std::uint64_t at = base + d.offset;
  std::uint64_t first = directoryEnd;
  for (std::uint64_t i = 0; i < d.entries; ++i) {
    if (at + kCentralSize > directoryEnd || !Has(image, at, kCentralSize, kCentralSignature))
      return broken("its central directory is damaged");
    const auto local = LocalOffset(image, at);
    if (!local || local->value > image.size() - base ||
        !Has(image, base + local->value, kLocalSize, kLocalSignature))
      return broken("an entry's local header is not where the central directory says");
    first = std::min(first, base + local->value);
    if (p.finding.absoluteOffsets) p.offsets.push_back(*local);
    const std::uint8_t* c = image.data() + at;
    at += kCentralSize + LoadU16(c + 28) + LoadU16(c + 30) + LoadU16(c + 32);
  }
  if (at != directoryEnd) return broken("its central directory is damaged");
  if (d.entries > 0) p.finding.offset = std::max(appended, first);
  p.finding.size = image.size() - p.finding.offset;
  p.finding.detail = p.finding.absoluteOffsets ? "offsets from the file's start"
                                               : "offsets from the archive's start";
  if (!p.finding.absoluteOffsets) return p;
  // The end records' own offsets move too.
  p.offsets.push_back(OffsetField{d.end + 16, 4, LoadU32(image.data() + d.end + 16), kMax32});
  if (d.zip64) {
    p.offsets.push_back(OffsetField{d.end64 + 48, 8, d.offset, std::nullopt});
    const std::uint64_t locator = d.end - kLocatorSize + 8;
    p.offsets.push_back(OffsetField{locator, 8, LoadU64(image.data() + locator), std::nullopt});
  }
  return p;
}

}  // namespace marovi
