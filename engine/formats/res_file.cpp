// Reading compiled resource files: every field read after a bounds check in
// subtraction form, every name bounded by its header.
#include "engine/formats/res_file.h"

#include <set>
#include <string>
#include <tuple>

#include "engine/little_endian.h"

namespace marovi {
namespace {

// The fields of a header, from its start.
constexpr std::uint32_t kDataSize = 0;
constexpr std::uint32_t kHeaderSize = 4;
constexpr std::uint32_t kTypeField = 8;
// The fields behind the names (after their padding), from there.
constexpr std::uint32_t kDataVersion = 0;
constexpr std::uint32_t kMemoryFlags = 4;
constexpr std::uint32_t kLanguageId = 6;
constexpr std::uint32_t kVersion = 8;
constexpr std::uint32_t kCharacteristics = 12;
constexpr std::uint32_t kFixedFieldsSize = 16;
constexpr std::uint32_t kEmptyEntrySize = 32;
constexpr std::uint16_t kIdMark = 0xFFFF;

std::uint64_t AlignUp4(std::uint64_t value) { return (value + 3) & ~std::uint64_t{3}; }

std::string Hex(std::uint64_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), digits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return "0x" + text;
}

class Reader {
 public:
  Reader(std::span<const std::uint8_t> bytes, Error& error) : bytes_(bytes), error_(error) {}

  // False, with the error set, at offset.
  bool Fail(std::uint64_t offset, std::string detail) {
    error_ = MakeError(ErrorKind::Refused, "is not a compiled resource file: " + detail + " (at " +
                                               Hex(offset) + ")");
    error_.offset = offset;
    return false;
  }

  // A type or name at offset, which must end before limit; offset moves
  // past it.
  bool ReadKey(std::uint64_t& offset, std::uint64_t limit, const char* what, ResourceName& key) {
    const std::uint64_t start = offset;
    if (!InBounds(limit, offset, 2))
      return Fail(start, std::string("the ") + what + " runs past the end of its header");
    if (LoadU16(bytes_.data() + offset) == kIdMark) {
      if (!InBounds(limit, offset, 4))
        return Fail(start, std::string("the ") + what + " id runs past the end of its header");
      key = ResourceName(LoadU16(bytes_.data() + offset + 2));
      offset += 4;
      return true;
    }
    std::u16string text;
    for (;;) {
      if (!InBounds(limit, offset, 2))
        return Fail(start, std::string("the ") + what + " name has no terminator in its header");
      const char16_t unit = LoadU16(bytes_.data() + offset);
      offset += 2;
      if (unit == 0) break;
      text.push_back(unit);
    }
    if (text.empty()) return Fail(start, std::string("the ") + what + " name is empty");
    key = ResourceName(std::move(text));
    return true;
  }

  // The entry at offset; next is where the next one begins.
  bool ReadEntry(std::uint64_t offset, ResFileEntry& entry, std::uint64_t& next) {
    const std::uint64_t size = bytes_.size();
    if (!InBounds(size, offset, kTypeField))
      return Fail(offset, "an entry's header is cut short");
    const std::uint32_t dataSize = LoadU32(bytes_.data() + offset + kDataSize);
    const std::uint32_t headerSize = LoadU32(bytes_.data() + offset + kHeaderSize);
    if (headerSize % 4 != 0)
      return Fail(offset, "the header size " + std::to_string(headerSize) +
                              " is not a multiple of four");
    if (headerSize < kTypeField + 8 + kFixedFieldsSize)
      return Fail(offset, "the header size " + std::to_string(headerSize) + " is too small");
    if (!InBounds(size, offset, headerSize))
      return Fail(offset, "an entry's header is cut short");
    const std::uint64_t headerEnd = offset + headerSize;
    std::uint64_t at = offset + kTypeField;
    if (!ReadKey(at, headerEnd, "type", entry.type) || !ReadKey(at, headerEnd, "name", entry.name))
      return false;
    at = AlignUp4(at);
    if (at + kFixedFieldsSize != headerEnd)
      return Fail(offset, "the header size " + std::to_string(headerSize) +
                              " does not match its fields (" +
                              std::to_string(at + kFixedFieldsSize - offset) + " bytes)");
    const std::uint8_t* fixed = bytes_.data() + at;
    entry.dataVersion = LoadU32(fixed + kDataVersion);
    entry.memoryFlags = LoadU16(fixed + kMemoryFlags);
    entry.language = LoadU16(fixed + kLanguageId);
    entry.version = LoadU32(fixed + kVersion);
    entry.characteristics = LoadU32(fixed + kCharacteristics);
    entry.offset = offset;
    if (!InBounds(size, headerEnd, dataSize))
      return Fail(offset, "the data of " + std::to_string(dataSize) +
                              " bytes runs past the end of the file");
    entry.data = bytes_.subspan(static_cast<std::size_t>(headerEnd), dataSize);
    next = AlignUp4(headerEnd + dataSize);
    return true;
  }

  // The empty entry that opens every compiled resource file.
  bool ReadOpening() {
    ResFileEntry empty;
    std::uint64_t next = 0;
    if (bytes_.size() < kEmptyEntrySize || LoadU32(bytes_.data() + kDataSize) != 0 ||
        LoadU32(bytes_.data() + kHeaderSize) != kEmptyEntrySize)
      return Fail(0, "it does not begin with the empty entry of 32 bytes");
    if (!ReadEntry(0, empty, next)) return false;
    if (empty.type.named() || empty.type.id() != 0 || empty.name.named() || empty.name.id() != 0)
      return Fail(0, "it does not begin with the empty entry of 32 bytes");
    return true;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  Error& error_;
};

using EntryIdentity = std::tuple<bool, std::uint16_t, std::u16string, bool, std::uint16_t,
                                 std::u16string, std::uint16_t>;

EntryIdentity IdentityOf(const ResFileEntry& e) {
  return {e.type.named(), e.type.id(), e.type.name(), e.name.named(), e.name.id(), e.name.name(),
          e.language};
}

}  // namespace

std::optional<std::vector<ResFileEntry>> ParseResFile(std::span<const std::uint8_t> bytes,
                                                      Error* error) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  Reader reader(bytes, e);
  if (!reader.ReadOpening()) return std::nullopt;
  std::vector<ResFileEntry> entries;
  std::set<EntryIdentity> seen;
  // A last entry's padding may be left off: the file ends with its data.
  for (std::uint64_t offset = kEmptyEntrySize; offset < bytes.size();) {
    ResFileEntry entry;
    std::uint64_t next = 0;
    if (!reader.ReadEntry(offset, entry, next)) return std::nullopt;
    if (!entry.type.named() && entry.type.id() == 0) {
      reader.Fail(offset, "an entry has type 0");
      return std::nullopt;
    }
    if (!seen.insert(IdentityOf(entry)).second) {
      reader.Fail(offset, "a resource of the same type, name and language came before");
      return std::nullopt;
    }
    entries.push_back(std::move(entry));
    offset = next;
  }
  return entries;
}

}  // namespace marovi
