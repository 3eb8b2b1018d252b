// String tables: one block of sixteen counted UTF-16 strings, read and written.
#include "engine/formats/string_table.h"

#include "engine/engine.h"

namespace marovi {

std::optional<StringBlock> ParseStringBlock(std::span<const std::uint8_t> data, Error* error) {
  StringBlock block;
  std::uint64_t at = 0;
  for (std::size_t i = 0; i < kStringsPerBlock && at < data.size(); ++i) {
    const std::uint64_t remaining = data.size() - at;
    std::uint64_t count = 0;
    if (remaining >= 2) count = LoadU16(data.data() + at);
    if (remaining < 2 || count * 2 > remaining - 2) {
      if (error != nullptr)
        *error = MakeError(ErrorKind::MalformedImage,
                           "string table entry " + std::to_string(i) + " at offset " +
                               HexOffset(at) + " runs past the end of its block");
      return std::nullopt;
    }
    at += 2;
    std::u16string& text = block.strings[i];
    text.resize(static_cast<std::size_t>(count));
    for (std::size_t k = 0; k < text.size(); ++k, at += 2)
      text[k] = static_cast<char16_t>(LoadU16(data.data() + at));
  }
  return block;
}

std::optional<std::vector<std::uint8_t>> WriteStringBlock(const StringBlock& block, Error* error) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < kStringsPerBlock; ++i) {
    const std::u16string& text = block.strings[i];
    if (text.size() > 0xFFFF) {
      if (error != nullptr)
        *error = MakeError(ErrorKind::Refused, "string table entry " + std::to_string(i) +
                                                   " is longer than 65535 characters");
      return std::nullopt;
    }
    auto put = [&bytes](std::uint32_t value) {
      bytes.push_back(static_cast<std::uint8_t>(value));
      bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    };
    put(static_cast<std::uint32_t>(text.size()));
    for (char16_t c : text) put(c);
  }
  return bytes;
}

}  // namespace marovi
