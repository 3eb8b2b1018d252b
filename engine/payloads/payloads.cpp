// Payloads behind an image: what is common to every kind (where the appended
// data begins, how a byte of the file moves, the plan of fixes and its
// application). The kinds themselves are in payload_*.cpp.
#include "engine/payloads/payloads.h"

#include <algorithm>
#include <array>

#include "engine/pe/bytes.h"

namespace marovi {

namespace {

// The DOS header's pointer to the NT headers, and the fields read from them.
constexpr std::uint32_t kLfanew = 0x3C;
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kMagic32 = 0x10B, kMagic64 = 0x20B;

// The bytes of Inno's offset table are RCDATA 11111.
constexpr std::uint16_t kRcData = 10;
constexpr std::uint16_t kInnoTableId = 11111;

struct ImageExtent {
  std::uint64_t appended = 0;  // the end of the last section's raw data
  // The certificate table, when it lies behind the sections: not part of
  // the appended data, and fixed by the headers' own fixes.
  std::uint64_t certificate = 0;
  // The raw data of the section that holds the resource directory (empty
  // when there is none): resources, never the host's own data.
  std::uint64_t resourcesBegin = 0;
  std::uint64_t resourcesEnd = 0;
};

std::optional<ImageExtent> ReadExtent(std::span<const std::uint8_t> image) {
  const std::uint64_t size = image.size();
  if (!InBounds(size, 0, 0x40) || image[0] != 'M' || image[1] != 'Z') return std::nullopt;
  const std::uint32_t nt = LoadU32(image.data() + kLfanew);
  if (!InBounds(size, nt, 24 + 2) || LoadU32(image.data() + nt) != 0x4550) return std::nullopt;
  const std::uint16_t count = LoadU16(image.data() + nt + 6);
  const std::uint16_t optional = LoadU16(image.data() + nt + 20);
  const std::uint64_t table = std::uint64_t{nt} + 24 + optional;
  if (!InBounds(size, table, std::uint64_t{count} * kSectionHeaderSize)) return std::nullopt;
  ImageExtent extent;
  extent.appended = table + std::uint64_t{count} * kSectionHeaderSize;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* h = image.data() + table + i * kSectionHeaderSize;
    const std::uint64_t pointer = LoadU32(h + 20), raw = LoadU32(h + 16);
    if (pointer != 0 && raw != 0) extent.appended = std::max(extent.appended, pointer + raw);
  }
  // A COFF symbol table and its string table behind the sections are the
  // image's own (the headers point at them), not appended data.
  const std::uint64_t symbols = LoadU32(image.data() + nt + 12);
  const std::uint64_t strings = symbols + 18 * std::uint64_t{LoadU32(image.data() + nt + 16)};
  if (symbols >= extent.appended && InBounds(size, strings, 4))
    extent.appended = strings + LoadU32(image.data() + strings);
  extent.appended = std::min(extent.appended, size);
  extent.certificate = size;
  const std::uint16_t magic = LoadU16(image.data() + nt + 24);
  const std::uint32_t directory = magic == kMagic64 ? 24 + 112 : 24 + 96;
  const std::uint32_t rvaCount = magic == kMagic64 ? 24 + 108 : 24 + 92;
  const bool known = magic == kMagic32 || magic == kMagic64;
  const std::uint32_t entries = known && optional >= rvaCount - 24 + 4
                                    ? LoadU32(image.data() + nt + rvaCount)
                                    : 0;
  if (optional >= directory - 24 + 3 * 8 && entries > 2) {
    const std::uint64_t rva = LoadU32(image.data() + nt + directory + 2 * 8);
    for (std::uint32_t i = 0; i < count && rva != 0; ++i) {
      const std::uint8_t* h = image.data() + table + i * kSectionHeaderSize;
      const std::uint64_t address = LoadU32(h + 12), virtualSize = LoadU32(h + 8);
      const std::uint64_t pointer = LoadU32(h + 20), raw = LoadU32(h + 16);
      if (rva < address || rva - address >= std::max(virtualSize, raw)) continue;
      extent.resourcesBegin = std::min(pointer, size);
      extent.resourcesEnd = std::min(pointer + raw, size);
      break;
    }
  }
  if (optional >= directory - 24 + 5 * 8 && entries > 4) {
    const std::uint8_t* entry = image.data() + nt + directory + 4 * 8;
    const std::uint64_t at = LoadU32(entry), length = LoadU32(entry + 4);
    // The table and anything a signing tool padded behind it.
    if (at >= extent.appended && at != 0 && at < size && length != 0) extent.certificate = at;
  }
  return extent;
}

// One table for the CRC-32 of zlib (reflected polynomial 0xEDB88320).
const std::array<std::uint32_t, 256>& CrcTable() {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

// Merges ranges that touch or lie close together, so that a zip archive of
// many entries keeps a few ranges in the journal rather than one per field.
std::vector<ByteRange> Merged(std::vector<ByteRange> ranges) {
  std::sort(ranges.begin(), ranges.end(),
            [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
  std::vector<ByteRange> out;
  for (const ByteRange& r : ranges) {
    if (!out.empty() && r.offset <= out.back().end() + 4096) {
      out.back().size = std::max(out.back().size, r.end() - out.back().offset);
    } else {
      out.push_back(r);
    }
  }
  return out;
}

Error Unfixable(const Payload& p, const std::string& why) {
  return RefusedAt(std::string("the ") + PayloadName(p.finding.kind) + " behind the image would " +
                       "stop working: " + why,
                   p.finding.offset);
}

// The offset fields of one payload, shifted where what they point at moves.
Error PlanOffsets(const Payload& p, const TailShift& shift, PayloadFixes& fixes) {
  for (const OffsetField& field : p.offsets) {
    if (p.finding.kind == PayloadKind::Inno) break;  // its table is a resource
    const auto at = FinalOffset(field.at, shift);
    if (!at) return Unfixable(p, "an offset field lies in the resource data");
    if (field.none && field.value == *field.none) continue;
    const auto value = FinalOffset(field.value, shift);
    if (!value) return Unfixable(p, "it points into the resource data");
    if (*value == field.value && *at == field.at) continue;
    const std::uint64_t limit = field.width == 4 ? 0xFFFFFFFFu : ~std::uint64_t{0};
    if (*value > limit || (field.none && *value == *field.none))
      return Unfixable(p, "offset 0x" + HexDigits(*value) + " does not fit its field");
    PayloadWrite write{*at, std::vector<std::uint8_t>(field.width)};
    if (field.width == 4) StoreU32(write.bytes.data(), static_cast<std::uint32_t>(*value));
    else StoreU64(write.bytes.data(), *value);
    if (*value != field.value) {
      fixes.writes.push_back(std::move(write));
      fixes.kept.push_back({field.at, field.width});
    }
  }
  return Error();
}

}  // namespace

std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* bytes, std::size_t count) {
  const std::array<std::uint32_t, 256>& table = CrcTable();
  crc = ~crc;
  for (std::size_t i = 0; i < count; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::optional<std::uint64_t> AppendedDataStart(std::span<const std::uint8_t> image) {
  const auto extent = ReadExtent(image);
  if (!extent) return std::nullopt;
  return extent->appended;
}

std::optional<std::uint64_t> FinalOffset(std::uint64_t original, const TailShift& shift) {
  if (original >= shift.tailStart) return original + static_cast<std::uint64_t>(shift.delta);
  if (original >= shift.removedBegin) return std::nullopt;
  return original;
}

std::vector<Payload> RecognisePayloads(std::span<const std::uint8_t> image,
                                       const std::vector<std::uint8_t>* innoTable,
                                       std::uint16_t innoLanguage) {
  std::vector<Payload> found;
  const auto extent = ReadExtent(image);
  if (!extent) return found;
  // The certificate table of a signed file is no payload: it is cut off
  // from what the recognisers see.
  const auto seen = image.first(static_cast<std::size_t>(extent->certificate));
  std::optional<Payload> appended = RecogniseNsis(seen, extent->appended);
  if (!appended) appended = RecogniseZip(seen, extent->appended);
  if (!appended)
    appended = RecogniseDotNetBundle(seen, extent->appended, extent->resourcesBegin,
                                     extent->resourcesEnd);
  // A few zero bytes in front of a signature are its alignment, not data.
  const auto gap = seen.subspan(static_cast<std::size_t>(extent->appended));
  const bool padding = gap.size() < 512 &&
                       std::all_of(gap.begin(), gap.end(), [](std::uint8_t b) { return b == 0; });
  if (!appended && !gap.empty() && !padding) {
    Payload unknown;
    unknown.finding.offset = extent->appended;
    unknown.finding.size = extent->certificate - extent->appended;
    appended = std::move(unknown);
  }
  if (appended) found.push_back(std::move(*appended));
  if (innoTable) {
    if (auto inno = RecogniseInno(seen, *innoTable)) {
      inno->innoLanguage = innoLanguage;
      found.push_back(std::move(*inno));
    }
  }
  return found;
}

Error PlanPayloadFixes(std::span<const Payload> payloads, const TailShift& shift,
                       PayloadFixes& fixes) {
  for (const Payload& p : payloads) {
    if (!p.finding.intact || p.finding.kind == PayloadKind::Unknown) continue;
    if (!p.unfixable.empty()) return Unfixable(p, p.unfixable);
    if (auto refusal = PlanOffsets(p, shift, fixes)) return refusal;
    if (p.finding.kind == PayloadKind::Nsis) {
      const auto header = FinalOffset(p.header, shift);
      if (!header) return Unfixable(p, "its header lies in the resource data");
      if (*header % 512 != 0)
        return Unfixable(p, "its header would move to 0x" + HexDigits(*header) +
                                ", which is not a multiple of 512 bytes");
      if (p.crcOn) {
        const auto at = FinalOffset(p.crcAt, shift);
        // The sum covers the bytes from 512 up to the field.
        if (!at || *at < 512 || *at + 4 > shift.finalLength)
          return Unfixable(p, "its CRC would be lost");
        fixes.crcs.push_back({ByteRange::Between(512, *at), *at});
        fixes.kept.push_back({p.crcAt, 4});
      }
    } else if (p.finding.kind == PayloadKind::Inno) {
      std::vector<std::uint8_t> table = p.innoTable;
      if (auto refusal = ShiftInnoTable(p, shift, table)) return refusal;
      if (table != p.innoTable) {
        fixes.innoTable = std::move(table);
        fixes.innoLanguage = p.innoLanguage;
      }
    }
  }
  fixes.kept = Merged(std::move(fixes.kept));
  return Error();
}

const char* PayloadName(PayloadKind kind) {
  switch (kind) {
    case PayloadKind::Nsis: return "NSIS installer";
    case PayloadKind::Zip: return "zip archive";
    case PayloadKind::Inno: return "Inno Setup installer";
    case PayloadKind::DotNetBundle: return ".NET single-file bundle";
    case PayloadKind::Unknown: break;
  }
  return "appended data";
}

std::vector<PayloadFinding> FindPayloads(std::span<const std::uint8_t> image) {
  std::vector<ResourceEntry> entries;
  Error error;
  const std::vector<std::uint8_t>* table = nullptr;
  std::vector<std::uint8_t> innoBytes;
  std::uint16_t language = 0;
  if (ReadImageResources(image, entries, &error)) {
    for (const ResourceEntry& e : entries) {
      if (!e.type.named() && e.type.id == kRcData && !e.name.named() && e.name.id == kInnoTableId) {
        innoBytes.assign(e.data.begin(), e.data.end());
        language = static_cast<std::uint16_t>(e.language);
        table = &innoBytes;
        break;
      }
    }
  }
  std::vector<PayloadFinding> out;
  for (Payload& p : RecognisePayloads(image, table, language)) out.push_back(p.finding);
  return out;
}

}  // namespace marovi
