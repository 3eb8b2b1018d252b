// What a change found behind the image, for the terminal and for scripts.
#include <string>

#include "cli/commands.h"
#include "cli/list_json.h"

namespace marovi::cli {

namespace {

const char* KindKey(PayloadKind kind) {
  switch (kind) {
    case PayloadKind::Nsis: return "nsis";
    case PayloadKind::Zip: return "zip";
    case PayloadKind::Inno: return "inno";
    case PayloadKind::DotNetBundle: return "dotnet-bundle";
    case PayloadKind::Unknown: break;
  }
  return "unknown";
}

std::string Hex(std::uint64_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), digits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return "0x" + out;
}

}  // namespace

std::string PayloadNote(const PayloadFinding& payload, const std::string& destination) {
  const std::string article =
      payload.kind == PayloadKind::Nsis || payload.kind == PayloadKind::Inno ? "an " : "a ";
  const std::string name = article + PayloadName(payload.kind);
  if (payload.kind == PayloadKind::Unknown)
    return "note: " + destination + " carries " + std::to_string(payload.size) +
           " bytes of data of unknown kind behind its image (at " + Hex(payload.offset) +
           "); they moved with it as they were";
  if (!payload.intact)
    return "note: " + destination + " carries " + name + " that was broken before this change (" +
           payload.detail + "); it was left as it was";
  std::string note = "note: " + destination + " is " + name + "; it was found (at " +
                     Hex(payload.offset) + ") and kept working";
  if (payload.kind == PayloadKind::Zip)
    note += payload.absoluteOffsets ? " (its offsets from the file's start moved with it)"
                                    : " (its offsets count from the archive: unchanged)";
  if (payload.kind == PayloadKind::Nsis) {
    if (payload.crcChecked) note += ", its CRC recomputed";
    note +=
        ". An uninstaller it writes will fail its integrity check unless run with /NCRC: "
        "set the icon in the installer's script for that";
  }
  return note;
}

std::string PayloadJson(const PayloadFinding& payload) {
  std::string out = std::string("{\"payload\": \"") + KindKey(payload.kind) +
                    "\", \"offset\": " + std::to_string(payload.offset) +
                    ", \"size\": " + std::to_string(payload.size) +
                    ", \"intact\": " + (payload.intact ? "true" : "false");
  if (payload.kind == PayloadKind::Zip)
    out += std::string(", \"absolute_offsets\": ") + (payload.absoluteOffsets ? "true" : "false");
  if (payload.kind == PayloadKind::Nsis)
    out += std::string(", \"crc\": ") + (payload.crcChecked ? "true" : "false");
  if (!payload.detail.empty()) out += ", \"detail\": " + JsonString(payload.detail);
  return out + "}";
}

}  // namespace marovi::cli
