#include "engine/formats/resource_types.h"

#include <array>
#include <charconv>

namespace marovi {
namespace {

struct TypeName {
  std::uint16_t id;
  std::string_view name;
};

constexpr std::array<TypeName, 21> kTypeNames = {{
    {1, "CURSOR"},        {2, "BITMAP"},      {3, "ICON"},         {4, "MENU"},
    {5, "DIALOG"},        {6, "STRING"},      {7, "FONTDIR"},      {8, "FONT"},
    {9, "ACCELERATOR"},   {10, "RCDATA"},     {11, "MESSAGETABLE"}, {12, "GROUP_CURSOR"},
    {14, "GROUP_ICON"},   {16, "VERSION"},    {17, "DLGINCLUDE"},  {19, "PLUGPLAY"},
    {20, "VXD"},          {21, "ANICURSOR"},  {22, "ANIICON"},     {23, "HTML"},
    {24, "MANIFEST"},
}};

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

std::optional<std::uint16_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size() || value > 0xFFFF) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

bool AllDigits(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return true;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// UTF-8 to upper-case UTF-16; none for malformed UTF-8 or a NUL.
std::optional<std::u16string> UpperName(std::string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    unsigned length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3
                      : (lead >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return std::nullopt;
    char32_t c = length == 1 ? lead : (lead & (0x7Fu >> length));
    for (unsigned k = 1; k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (next & 0x3F);
    }
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || c == 0) {
      return std::nullopt;
    }
    if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += length;
  }
  return out;
}

}  // namespace

std::optional<std::uint16_t> PredefinedResourceType(std::string_view name) {
  if (name.size() > 3 && SameIgnoringCase(name.substr(0, 3), "RT_")) name.remove_prefix(3);
  for (const TypeName& type : kTypeNames) {
    if (SameIgnoringCase(type.name, name)) return type.id;
  }
  return std::nullopt;
}

std::string_view PredefinedResourceTypeName(std::uint16_t id) {
  for (const TypeName& type : kTypeNames) {
    if (type.id == id) return type.name;
  }
  return {};
}

std::optional<ResourceSpec> ParseResourceName(std::string_view text) {
  if (text.empty()) return std::nullopt;
  if (AllDigits(text)) {
    std::optional<std::uint16_t> id = ParseNumber(text);
    if (!id) return std::nullopt;
    return ResourceSpec{true, *id, {}};
  }
  std::optional<std::u16string> name = UpperName(text);
  if (!name) return std::nullopt;
  return ResourceSpec{false, 0, std::move(*name)};
}

std::optional<ResourceSpec> ParseResourceType(std::string_view text) {
  if (std::optional<std::uint16_t> id = PredefinedResourceType(text)) {
    return ResourceSpec{true, *id, {}};
  }
  return ParseResourceName(text);
}

}  // namespace marovi
