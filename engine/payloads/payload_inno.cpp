// Inno Setup installers. The loader finds its data through the offset table
// in its resource RCDATA 11111:
//
//   12  ID, beginning "rDlPtS"
//   4   version (1: the offsets below are 32 bits wide; 2: 64 bits)
//   4|8 TotalSize      the least size of the file
//   4|8 OffsetEXE      the compressed setup program
//   4   UncompressedSizeEXE
//   4   CRCEXE
//   4|8 Offset0        the setup data
//   4|8 Offset1        the files, or 0 when they lie in files of their own
//   4   TableCRC       CRC-32 of every field in front of it
//
// The offsets count from the file's start: they move with the tail, and the
// table's CRC with them. The table itself is a resource, rewritten with the
// resource section.
#include <cstring>

#include "engine/payloads/payloads.h"
#include "engine/pe/bytes.h"

namespace marovi {

namespace {

constexpr std::uint8_t kId[6] = {'r', 'D', 'l', 'P', 't', 'S'};
constexpr std::size_t kIdSize = 12;

// Where the fields of one version lie in the table.
struct InnoLayout {
  std::uint8_t width = 4;
  std::size_t totalSize = 0, offsetExe = 0, offset0 = 0, offset1 = 0, tableCrc = 0;
};

std::optional<InnoLayout> LayoutOf(std::uint32_t version) {
  if (version == 1) return InnoLayout{4, 16, 20, 32, 36, 40};
  if (version == 2) return InnoLayout{8, 16, 24, 40, 48, 56};
  return std::nullopt;
}

std::uint64_t Load(const std::vector<std::uint8_t>& t, std::size_t at, std::uint8_t width) {
  return width == 4 ? LoadU32(t.data() + at) : LoadU64(t.data() + at);
}

}  // namespace

std::optional<Payload> RecogniseInno(std::span<const std::uint8_t> image,
                                     const std::vector<std::uint8_t>& table) {
  if (table.size() < kIdSize + 4 || std::memcmp(table.data(), kId, sizeof kId) != 0)
    return std::nullopt;
  Payload p;
  p.finding.kind = PayloadKind::Inno;
  p.innoTable = table;
  const std::uint32_t version = LoadU32(table.data() + kIdSize);
  const auto layout = LayoutOf(version);
  if (!layout) {
    p.unfixable =
        "its offset table's version " + std::to_string(version) + " is not one this program knows";
    p.finding.detail = "offset table version " + std::to_string(version);
    return p;
  }
  const InnoLayout& l = *layout;
  if (table.size() < l.tableCrc + 4) {
    p.finding.intact = false;
    p.finding.detail = "its offset table is cut short";
    return p;
  }
  const std::size_t fields[] = {l.totalSize, l.offsetExe, l.offset0, l.offset1};
  for (const std::size_t at : fields) {
    p.offsets.push_back(OffsetField{at, l.width, Load(table, at, l.width), std::nullopt});
  }
  p.offsets.back().none = 0;  // no Offset1: the files lie beside the installer
  p.finding.offset = p.offsets[1].value;
  p.finding.size = image.size() > p.finding.offset ? image.size() - p.finding.offset : 0;
  if (Crc32(0, table.data(), l.tableCrc) != LoadU32(table.data() + l.tableCrc)) {
    p.finding.intact = false;
    p.finding.detail = "its offset table's CRC does not match";
  } else if (p.offsets[0].value > image.size()) {
    p.finding.intact = false;
    p.finding.detail = "the file is shorter than its offset table says";
  } else {
    for (std::size_t i = 1; i < p.offsets.size(); ++i) {
      if (p.offsets[i].value >= image.size() && p.offsets[i].value != 0) {
        p.finding.intact = false;
        p.finding.detail = "an offset of its table lies outside the file";
      }
    }
  }
  return p;
}

Error ShiftInnoTable(const Payload& inno, const TailShift& shift,
                     std::vector<std::uint8_t>& table) {
  const auto layout = LayoutOf(LoadU32(table.data() + kIdSize));
  if (!layout) return RefusedAt("the Inno Setup offset table is not understood", 0);
  for (const OffsetField& field : inno.offsets) {
    if (field.none && field.value == *field.none) continue;
    const auto value = FinalOffset(field.value, shift);
    if (!value || (field.width == 4 && *value > 0xFFFFFFFFu))
      return RefusedAt("the Inno Setup installer would stop working: its offset 0x" +
                           HexDigits(field.value) + " cannot follow the change",
                       0);
    if (field.width == 4) StoreU32(table.data() + field.at, static_cast<std::uint32_t>(*value));
    else StoreU64(table.data() + field.at, *value);
  }
  StoreU32(table.data() + layout->tableCrc, Crc32(0, table.data(), layout->tableCrc));
  return Error();
}

}  // namespace marovi
