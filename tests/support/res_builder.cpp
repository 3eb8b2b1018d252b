// Compiled resource files for tests, from the same resource specs as images.
#include "tests/support/pe_builder.h"

namespace marovi::test {
namespace {

void Append16(Bytes& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Append32(Bytes& b, std::uint32_t v) {
  Append16(b, v & 0xFFFF);
  Append16(b, v >> 16);
}
void AppendKey(Bytes& b, const Key& key) {
  if (!key.named()) {
    Append16(b, 0xFFFF);
    Append16(b, std::get<std::uint16_t>(key.value));
    return;
  }
  for (char16_t c : std::get<std::u16string>(key.value)) Append16(b, c);
  Append16(b, 0);
}
void PadTo4(Bytes& b) {
  while (b.size() % 4 != 0) b.push_back(0);
}

// One entry: its header and data, padded.
void AppendEntry(Bytes& b, const Key& type, const Key& name, std::uint16_t language,
                 const Bytes& data) {
  Bytes header;
  AppendKey(header, type);
  AppendKey(header, name);
  PadTo4(header);
  Append32(header, 0);        // DataVersion
  Append16(header, 0x1030);   // MemoryFlags: moveable, pure, discardable
  Append16(header, language);
  Append32(header, 0);        // Version
  Append32(header, 0);        // Characteristics
  Append32(b, static_cast<std::uint32_t>(data.size()));
  Append32(b, static_cast<std::uint32_t>(header.size() + 8));
  b.insert(b.end(), header.begin(), header.end());
  b.insert(b.end(), data.begin(), data.end());
  PadTo4(b);
}

}  // namespace

Bytes BuildResFile(const std::vector<ResourceSpec>& resources) {
  Bytes b;
  AppendEntry(b, Key(0), Key(0), 0, {});
  // The empty entry carries no memory flags.
  b[0x14] = b[0x15] = 0;
  for (const ResourceSpec& r : resources) AppendEntry(b, r.type, r.name, r.language, r.data);
  return b;
}

}  // namespace marovi::test
