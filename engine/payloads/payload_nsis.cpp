// NSIS installers. The installer finds its data by reading its own file in
// 512-byte steps until one begins with its first header:
//
//   0  u32  flags (4: no CRC, 8: CRC check forced)
//   4  u32  0xDEADBEEF
//   8  12   "NullsoftInst"
//   20 u32  length of the header
//   24 u32  length of all the data from the first header on, CRC included
//
// Offsets inside that data count from the first header, so the data survives
// a move as long as it stays at a multiple of 512 bytes. Unless flag 4 is
// set, the last 4 bytes of the data hold the CRC-32 of the file from byte 512
// up to them: every change of the image's bytes behind the first 512 needs
// it recomputed.
#include <algorithm>
#include <cstring>

#include "engine/payloads/payloads.h"
#include "engine/pe/bytes.h"

namespace marovi {

namespace {

constexpr std::uint64_t kStep = 512;
constexpr std::uint32_t kFirstHeaderSize = 28;
constexpr std::uint32_t kNoCrc = 4;
constexpr std::uint8_t kSignature[16] = {0xEF, 0xBE, 0xAD, 0xDE, 'N', 'u', 'l', 'l',
                                         's',  'o',  'f',  't',  'I', 'n', 's', 't'};
// How far into the appended data the first header is looked for: makensis
// writes it right behind the image.
constexpr std::uint64_t kScanLimit = 1u << 20;

// The file offset of the image's CheckSum field, or none.
std::optional<std::uint64_t> ChecksumField(std::span<const std::uint8_t> image) {
  if (!InBounds(image.size(), 0x3C, 4)) return std::nullopt;
  const std::uint64_t at = std::uint64_t{LoadU32(image.data() + 0x3C)} + 88;
  if (!InBounds(image.size(), at, 4)) return std::nullopt;
  return at;
}

}  // namespace

std::optional<Payload> RecogniseNsis(std::span<const std::uint8_t> image, std::uint64_t appended) {
  const std::uint64_t size = image.size();
  const std::uint64_t first = (appended + kStep - 1) / kStep * kStep;
  const std::uint64_t last = std::min(size, first + kScanLimit);
  for (std::uint64_t at = first; at < last; at += kStep) {
    if (!InBounds(size, at, kFirstHeaderSize) ||
        std::memcmp(image.data() + at + 4, kSignature, sizeof kSignature) != 0)
      continue;
    const std::uint8_t* h = image.data() + at;
    Payload p;
    p.finding.kind = PayloadKind::Nsis;
    p.finding.offset = at;
    p.header = at;
    const std::uint32_t flags = LoadU32(h);
    const std::uint64_t length = LoadU32(h + 24);
    p.finding.size = length;
    p.crcOn = (flags & kNoCrc) == 0;
    p.finding.crcChecked = p.crcOn;
    if (length < kFirstHeaderSize + (p.crcOn ? 4 : 0) || !InBounds(size, at, length)) {
      p.finding.intact = false;
      p.finding.detail = "its data runs past the end of the file";
      return p;
    }
    if (!p.crcOn) return p;
    p.crcAt = at + length - 4;
    // The CRC of the file as it is decides whether it is intact.
    const std::uint32_t crc =
        Crc32(0, image.data() + kStep, static_cast<std::size_t>(p.crcAt - kStep));
    if (crc != LoadU32(image.data() + p.crcAt)) {
      p.finding.intact = false;
      p.finding.detail = "its CRC does not match its bytes";
      return p;
    }
    // The CRC covers the image from byte 512 on, and the image's checksum
    // covers the CRC: both can hold only while the checksum lies in front.
    const auto checksum = ChecksumField(image);
    if (!checksum || *checksum + 4 > kStep)
      p.unfixable = "the image's checksum lies inside the bytes its CRC covers";
    return p;
  }
  return std::nullopt;
}

}  // namespace marovi
