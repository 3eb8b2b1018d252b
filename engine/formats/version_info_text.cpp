// Version information as show-version prints it: a text of one line per
// field and string, and a JSON object of the same content.
#include <string>

#include "engine/engine.h"
#include "engine/pe/bytes.h"
#include "engine/platform/platform.h"

namespace marovi {
namespace {

std::string HexValue(std::uint64_t value) { return HexOffset(value); }

std::string FourHex(std::uint16_t value) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "0x";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
  return out;
}

// A value on one line of the text form.
std::string Printable(std::u16string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : platform::ToUtf8(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

std::string FlagNames(std::uint32_t flags) {
  static const std::pair<std::uint32_t, const char*> kFlags[] = {
      {0x01, "debug"},         {0x02, "prerelease"},    {0x04, "patched"},
      {0x08, "private build"}, {0x10, "info inferred"}, {0x20, "special build"}};
  std::string names;
  for (const auto& [bit, name] : kFlags) {
    if ((flags & bit) == 0) continue;
    names += names.empty() ? " (" : ", ";
    names += name;
  }
  return names.empty() ? names : names + ")";
}

std::string TypeName(std::uint32_t type) {
  switch (type) {
    case 1: return " (application)";
    case 2: return " (DLL)";
    case 3: return " (driver)";
    case 4: return " (font)";
    case 5: return " (virtual device)";
    case 7: return " (static library)";
    default: return "";
  }
}

std::string OsName(std::uint32_t os) {
  switch (os) {
    case 0x00000004: return " (32-bit Windows)";
    case 0x00040000: return " (Windows NT)";
    case 0x00040004: return " (Windows NT, 32-bit Windows)";
    case 0x00010001: return " (MS-DOS, 16-bit Windows)";
    case 0x00010004: return " (MS-DOS, 32-bit Windows)";
    default: return "";
  }
}

}  // namespace

std::string FormatVersionInfoText(const VersionInfo& info) {
  std::string out;
  if (info.fixed) {
    const FixedFileInfo& f = *info.fixed;
    out += "File version:    " + FormatVersionNumber(f.fileVersion) + "\n";
    out += "Product version: " + FormatVersionNumber(f.productVersion) + "\n";
    out += "File flags:      " + HexValue(f.fileFlags) + FlagNames(f.fileFlags & f.fileFlagsMask) +
           ", mask " + HexValue(f.fileFlagsMask) + "\n";
    out += "File OS:         " + HexValue(f.fileOS) + OsName(f.fileOS) + "\n";
    out += "File type:       " + HexValue(f.fileType) + TypeName(f.fileType) + "\n";
    out += "File subtype:    " + HexValue(f.fileSubtype) + "\n";
    out += "File date:       " + HexValue(std::uint64_t{f.fileDateMS} << 32 | f.fileDateLS) + "\n";
  } else {
    out += "No fixed file information\n";
  }
  for (const StringTable& table : info.tables) {
    out += "String table " + Printable(table.key);
    if (const auto t = TableTranslation(table.key))
      out +=
          " (language " + FourHex(t->language) + ", code page " + std::to_string(t->codePage) + ")";
    out += ":\n";
    for (const VersionString& s : table.strings)
      out += "  " + Printable(s.key) + ": " + Printable(s.value) + "\n";
  }
  if (!info.translations.empty()) {
    out += "Translations:   ";
    for (const Translation& t : info.translations)
      out += " " + FourHex(t.language) + "/" + std::to_string(t.codePage);
    out += "\n";
  }
  return out;
}

std::string FormatVersionInfoJson(const VersionInfo& info) {
  auto number = [](std::uint64_t v) { return std::to_string(v); };
  auto text = [](std::u16string_view s) { return JsonString(platform::ToUtf8(s)); };
  std::string out = "{\"fixed\":";
  if (info.fixed) {
    const FixedFileInfo& f = *info.fixed;
    out += "{\"fileVersion\":" + JsonString(FormatVersionNumber(f.fileVersion)) +
           ",\"productVersion\":" + JsonString(FormatVersionNumber(f.productVersion)) +
           ",\"structVersion\":" + number(f.structVersion) +
           ",\"fileFlagsMask\":" + number(f.fileFlagsMask) +
           ",\"fileFlags\":" + number(f.fileFlags) + ",\"fileOS\":" + number(f.fileOS) +
           ",\"fileType\":" + number(f.fileType) + ",\"fileSubtype\":" + number(f.fileSubtype) +
           ",\"fileDateMS\":" + number(f.fileDateMS) + ",\"fileDateLS\":" + number(f.fileDateLS) +
           "}";
  } else {
    out += "null";
  }
  out += ",\"stringTables\":[";
  for (std::size_t i = 0; i < info.tables.size(); ++i) {
    const StringTable& table = info.tables[i];
    if (i > 0) out += ",";
    out += "{\"key\":" + text(table.key);
    if (const auto t = TableTranslation(table.key))
      out += ",\"language\":" + number(t->language) + ",\"codePage\":" + number(t->codePage);
    out += ",\"strings\":[";
    for (std::size_t k = 0; k < table.strings.size(); ++k) {
      if (k > 0) out += ",";
      out += "{\"key\":" + text(table.strings[k].key) +
             ",\"value\":" + text(table.strings[k].value) + "}";
    }
    out += "]}";
  }
  out += "],\"translations\":[";
  for (std::size_t i = 0; i < info.translations.size(); ++i) {
    if (i > 0) out += ",";
    out += "{\"language\":" + number(info.translations[i].language) +
           ",\"codePage\":" + number(info.translations[i].codePage) + "}";
  }
  out += "]}";
  return out;
}

}  // namespace marovi
