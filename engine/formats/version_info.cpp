// Version information: reading VS_VERSIONINFO into a record, editing the
// record, writing it back.
#include "engine/formats/version_info.h"

#include <algorithm>

#include "engine/engine.h"
#include "engine/pe/bytes.h"
#include "engine/platform/platform.h"

namespace marovi {
namespace {

constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

// Every block starts with wLength, wValueLength and wType.
constexpr std::uint64_t kBlockHeaderSize = 6;
constexpr std::uint32_t kBlockValueLength = 2;
constexpr std::uint32_t kBlockType = 4;
constexpr std::uint16_t kTypeBinary = 0;
constexpr std::uint16_t kTypeText = 1;
constexpr std::uint64_t kLargestBlock = 0xFFFF;

// VS_FIXEDFILEINFO, the root's value.
constexpr std::uint16_t kFixedInfoSize = 52;
constexpr std::uint32_t kFfiSignature = 0;
constexpr std::uint32_t kFfiStrucVersion = 4;
constexpr std::uint32_t kFfiFileVersionMS = 8;
constexpr std::uint32_t kFfiFileVersionLS = 12;
constexpr std::uint32_t kFfiProductVersionMS = 16;
constexpr std::uint32_t kFfiProductVersionLS = 20;
constexpr std::uint32_t kFfiFileFlagsMask = 24;
constexpr std::uint32_t kFfiFileFlags = 28;
constexpr std::uint32_t kFfiFileOS = 32;
constexpr std::uint32_t kFfiFileType = 36;
constexpr std::uint32_t kFfiFileSubtype = 40;
constexpr std::uint32_t kFfiFileDateMS = 44;
constexpr std::uint32_t kFfiFileDateLS = 48;

// A Translation entry: language, then code page.
constexpr std::uint64_t kTranslationSize = 4;

constexpr std::u16string_view kRootKey = u"VS_VERSION_INFO";
constexpr std::u16string_view kStringFileInfoKey = u"StringFileInfo";
constexpr std::u16string_view kVarFileInfoKey = u"VarFileInfo";
constexpr std::u16string_view kTranslationKey = u"Translation";
constexpr std::u16string_view kFileVersionKey = u"FileVersion";
constexpr std::u16string_view kProductVersionKey = u"ProductVersion";

std::uint64_t Align4(std::uint64_t value) { return (value + 3) & ~std::uint64_t{3}; }

std::string Quoted(std::u16string_view key) { return "\"" + platform::ToUtf8(key) + "\""; }

// The refusal of a malformed resource, caught by ParseVersionInfo.
struct VersionFormatError {
  std::string detail;
};

[[noreturn]] void Refuse(const std::string& what, std::uint64_t offset,
                         const std::string& problem) {
  throw VersionFormatError{"version information: " + what + " at " + HexOffset(offset) + ": " +
                           problem};
}

// One block as read: [offset, end) is what its wLength covers.
struct Block {
  std::uint64_t offset = 0;
  std::uint64_t end = 0;
  std::uint16_t valueLength = 0;
  std::uint16_t type = 0;
  std::u16string key;
  std::uint64_t valueOffset = 0;  // behind the key and its padding; may lie past end
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

  VersionInfo Read() {
    VersionInfo info;
    const Block root = ReadBlock(0, data_.size(), "VS_VERSION_INFO");
    if (root.key != kRootKey)
      Refuse("the root block", 0, "its key is " + Quoted(root.key) + ", not \"VS_VERSION_INFO\"");
    std::uint64_t children = root.valueOffset;
    if (root.valueLength != 0) {
      if (root.valueLength != kFixedInfoSize)
        Refuse("VS_FIXEDFILEINFO", root.valueOffset,
               "it is " + std::to_string(root.valueLength) + " bytes long, not " +
                   std::to_string(kFixedInfoSize));
      Need(root, root.valueOffset, kFixedInfoSize, "VS_FIXEDFILEINFO");
      info.fixed = ReadFixedInfo(root.valueOffset);
      children = root.valueOffset + kFixedInfoSize;
    }
    bool seenStrings = false, seenVars = false, typeTaken = false;
    for (const Block& child : Children(root, children, "a block of VS_VERSION_INFO")) {
      const bool strings = child.key == kStringFileInfoKey;
      if (!strings && child.key != kVarFileInfoKey)
        Refuse("a block of VS_VERSION_INFO", child.offset,
               "its key " + Quoted(child.key) + " is neither StringFileInfo nor VarFileInfo");
      if (strings ? seenStrings : seenVars)
        Refuse(platform::ToUtf8(child.key), child.offset, "a second block of this kind");
      if (!typeTaken) {
        info.layout.containerType = child.type;
        typeTaken = true;
      }
      if (strings) {
        seenStrings = true;
        info.layout.varFileInfoFirst = seenVars;
        ReadStringFileInfo(child, info);
      } else {
        seenVars = true;
        ReadVarFileInfo(child, info);
      }
    }
    info.layout.padContainerEnds = padEnds_.value_or(VersionLayout{}.padContainerEnds);
    return info;
  }

 private:
  // Refuses unless [offset, offset + length) lies inside the block.
  static void Need(const Block& block, std::uint64_t offset, std::uint64_t length,
                   const char* what) {
    if (!InBounds(block.end, offset, length))
      Refuse(what, offset,
             std::to_string(length) + " bytes do not fit in the block at " +
                 HexOffset(block.offset) + " that ends at " + HexOffset(block.end));
  }

  std::uint16_t U16(std::uint64_t offset) const { return LoadU16(data_.data() + offset); }
  std::uint32_t U32(std::uint64_t offset) const { return LoadU32(data_.data() + offset); }

  // The block at offset, which must end by limit.
  Block ReadBlock(std::uint64_t offset, std::uint64_t limit, const char* what) const {
    if (!InBounds(limit, offset, kBlockHeaderSize))
      Refuse(what, offset, "its header does not fit before " + HexOffset(limit));
    Block block;
    block.offset = offset;
    const std::uint16_t length = U16(offset);
    block.valueLength = U16(offset + kBlockValueLength);
    block.type = U16(offset + kBlockType);
    if (length < kBlockHeaderSize + 2)
      Refuse(what, offset,
             "wLength " + std::to_string(length) + " is shorter than a header and a key");
    if (!InBounds(limit, offset, length))
      Refuse(what, offset,
             "wLength " + std::to_string(length) + " runs past " + HexOffset(limit) +
                 ", the end of what holds it");
    block.end = offset + length;
    std::uint64_t at = offset + kBlockHeaderSize;
    for (;;) {
      if (!InBounds(block.end, at, 2))
        Refuse(what, offset,
               "its key has no terminator within its " + std::to_string(length) + " bytes");
      const std::uint16_t unit = U16(at);
      at += 2;
      if (unit == 0) break;
      block.key += static_cast<char16_t>(unit);
    }
    block.valueOffset = Align4(at);
    return block;
  }

  // The children of parent, the first at first (aligned), each aligned after
  // the one before, up to the parent's end.
  std::vector<Block> Children(const Block& parent, std::uint64_t first, const char* what) {
    std::vector<Block> children;
    std::uint64_t at = Align4(first);
    std::uint64_t lastEnd = first;
    while (at < parent.end) {
      children.push_back(ReadBlock(at, parent.end, what));
      lastEnd = children.back().end;
      at = Align4(lastEnd);
    }
    // Whether this writer counted the padding behind the last child shows
    // where a parent ends whose last child ends unaligned.
    if (!children.empty() && lastEnd % 4 != 0 && !padEnds_) padEnds_ = parent.end != lastEnd;
    return children;
  }

  FixedFileInfo ReadFixedInfo(std::uint64_t at) const {
    const std::uint32_t signature = U32(at + kFfiSignature);
    if (signature != kFixedFileInfoSignature)
      Refuse("VS_FIXEDFILEINFO", at,
             "its signature is " + HexOffset(signature) + ", not 0xfeef04bd");
    auto version = [&](std::uint32_t ms, std::uint32_t ls) {
      const std::uint32_t high = U32(at + ms), low = U32(at + ls);
      return VersionNumber{static_cast<std::uint16_t>(high >> 16), static_cast<std::uint16_t>(high),
                           static_cast<std::uint16_t>(low >> 16), static_cast<std::uint16_t>(low)};
    };
    FixedFileInfo fixed;
    fixed.structVersion = U32(at + kFfiStrucVersion);
    fixed.fileVersion = version(kFfiFileVersionMS, kFfiFileVersionLS);
    fixed.productVersion = version(kFfiProductVersionMS, kFfiProductVersionLS);
    fixed.fileFlagsMask = U32(at + kFfiFileFlagsMask);
    fixed.fileFlags = U32(at + kFfiFileFlags);
    fixed.fileOS = U32(at + kFfiFileOS);
    fixed.fileType = U32(at + kFfiFileType);
    fixed.fileSubtype = U32(at + kFfiFileSubtype);
    fixed.fileDateMS = U32(at + kFfiFileDateMS);
    fixed.fileDateLS = U32(at + kFfiFileDateLS);
    return fixed;
  }

  void ReadStringFileInfo(const Block& block, VersionInfo& info) {
    for (const Block& table : Children(block, block.valueOffset, "a StringTable")) {
      StringTable out;
      out.key = table.key;
      for (const Block& string : Children(table, table.valueOffset, "a String")) {
        // The value is the text up to its terminator within the block. Tools
        // disagree on whether wValueLength counts characters or bytes and
        // whether it counts the terminator, so the block's end is what
        // bounds it.
        std::u16string value;
        for (std::uint64_t at = string.valueOffset; InBounds(string.end, at, 2); at += 2) {
          const std::uint16_t unit = U16(at);
          if (unit == 0) break;
          value += static_cast<char16_t>(unit);
        }
        out.strings.push_back({string.key, std::move(value)});
      }
      info.tables.push_back(std::move(out));
    }
  }

  void ReadVarFileInfo(const Block& block, VersionInfo& info) {
    bool seen = false;
    for (const Block& var : Children(block, block.valueOffset, "a Var")) {
      if (var.key != kTranslationKey)
        Refuse("a Var", var.offset, "its key " + Quoted(var.key) + " is not \"Translation\"");
      if (seen) Refuse("Translation", var.offset, "a second Translation");
      seen = true;
      // wValueLength counts bytes here.
      Need(var, var.valueOffset, var.valueLength, "the Translation list");
      if (var.valueLength % kTranslationSize != 0)
        Refuse(
            "the Translation list", var.valueOffset,
            std::to_string(var.valueLength) + " bytes are not whole language and code page pairs");
      for (std::uint64_t at = var.valueOffset; at < var.valueOffset + var.valueLength;
           at += kTranslationSize)
        info.translations.push_back({U16(at), U16(at + 2)});
    }
  }

  std::span<const std::uint8_t> data_;
  std::optional<bool> padEnds_;
};

class Writer {
 public:
  explicit Writer(const VersionLayout& layout) : layout_(layout) {}

  // Starts a block: header (wLength filled in by End), key, padding.
  std::size_t Begin(std::u16string_view key, std::uint16_t valueLength, std::uint16_t type) {
    Pad();
    const std::size_t start = out_.size();
    out_.resize(start + kBlockHeaderSize);
    StoreU16(out_.data() + start + kBlockValueLength, valueLength);
    StoreU16(out_.data() + start + kBlockType, type);
    Text(key, "a key");
    Pad();
    return start;
  }
  // Ends the block begun at start; a container ends behind its last child's
  // padding when the layout says so (a container without children ends
  // aligned anyway, behind its key's padding).
  void End(std::size_t start, bool container) {
    if (container && layout_.padContainerEnds) Pad();
    const std::size_t length = out_.size() - start;
    if (length > kLargestBlock && problem_.empty())
      problem_ = "a block would be longer than 65535 bytes";
    StoreU16(out_.data() + start, static_cast<std::uint16_t>(length));
  }
  // UTF-16 text and its terminator.
  void Text(std::u16string_view text, const char* what) {
    if (text.find(u'\0') != std::u16string_view::npos && problem_.empty())
      problem_ = std::string(what) + " holds a zero character";
    for (char16_t unit : text) U16(unit);
    U16(0);
  }
  void U16(std::uint16_t v) {
    out_.push_back(static_cast<std::uint8_t>(v));
    out_.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  void U32(std::uint32_t v) {
    U16(static_cast<std::uint16_t>(v));
    U16(static_cast<std::uint16_t>(v >> 16));
  }
  void Pad() {
    while (out_.size() % 4 != 0) out_.push_back(0);
  }

  std::vector<std::uint8_t>& bytes() { return out_; }
  // What makes the bytes unusable, or empty.
  const std::string& problem() const { return problem_; }

 private:
  const VersionLayout& layout_;
  std::vector<std::uint8_t> out_;
  std::string problem_;
};

std::uint32_t High(const VersionNumber& v) { return std::uint32_t{v.major} << 16 | v.minor; }
std::uint32_t Low(const VersionNumber& v) { return std::uint32_t{v.build} << 16 | v.revision; }

void WriteFixedInfo(Writer& w, const FixedFileInfo& f) {
  for (std::uint32_t v :
       {kFixedFileInfoSignature, f.structVersion, High(f.fileVersion), Low(f.fileVersion),
        High(f.productVersion), Low(f.productVersion), f.fileFlagsMask, f.fileFlags, f.fileOS,
        f.fileType, f.fileSubtype, f.fileDateMS, f.fileDateLS})
    w.U32(v);
}

void WriteStringFileInfo(Writer& w, const VersionInfo& info) {
  const std::size_t block = w.Begin(kStringFileInfoKey, 0, info.layout.containerType);
  for (const StringTable& table : info.tables) {
    const std::size_t tableStart = w.Begin(table.key, 0, info.layout.containerType);
    for (const VersionString& string : table.strings) {
      // wValueLength of a string counts UTF-16 units with the terminator.
      const std::size_t units = std::min<std::size_t>(string.value.size() + 1, kLargestBlock);
      const std::size_t start = w.Begin(string.key, static_cast<std::uint16_t>(units), kTypeText);
      w.Text(string.value, "a value");
      w.End(start, false);
    }
    w.End(tableStart, true);
  }
  w.End(block, true);
}

void WriteVarFileInfo(Writer& w, const VersionInfo& info) {
  const std::size_t block = w.Begin(kVarFileInfoKey, 0, info.layout.containerType);
  const std::size_t bytes =
      std::min<std::size_t>(info.translations.size() * kTranslationSize, kLargestBlock);
  const std::size_t var = w.Begin(kTranslationKey, static_cast<std::uint16_t>(bytes), kTypeBinary);
  for (const Translation& t : info.translations) {
    w.U16(t.language);
    w.U16(t.codePage);
  }
  w.End(var, false);
  w.End(block, true);
}

bool SameKey(std::u16string_view a, std::u16string_view b) {
  auto fold = [](char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
  };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [&](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

std::u16string Ascii(std::string_view text) { return std::u16string(text.begin(), text.end()); }

std::u16string NewTableKey() {
  static const char kHex[] = "0123456789abcdef";
  std::u16string key;
  for (std::uint32_t v = std::uint32_t{kNewVersionLanguage} << 16 | kNewVersionCodePage, shift = 32;
       shift > 0;) {
    shift -= 4;
    key += static_cast<char16_t>(kHex[(v >> shift) & 0xF]);
  }
  return key;
}

// In every table: the first string with this key takes value, later ones go,
// a table without one gets it at its end; an empty value removes every one
// unless keepEmpty, when it is set like any other.
std::size_t SetInTables(VersionInfo& info, std::u16string_view key, std::u16string_view value,
                        bool keepEmpty = false) {
  const bool remove = value.empty() && !keepEmpty;
  std::size_t changed = 0;
  for (StringTable& table : info.tables) {
    bool found = false;
    for (auto it = table.strings.begin(); it != table.strings.end();) {
      if (!SameKey(it->key, key)) {
        ++it;
      } else if (found || remove) {
        it = table.strings.erase(it);
        if (remove) ++changed;
      } else {
        it->value = value;
        found = true;
        ++changed;
        ++it;
      }
    }
    if (!found && !remove) {
      table.strings.push_back({std::u16string(key), std::u16string(value)});
      ++changed;
    }
  }
  return changed;
}

}  // namespace

std::optional<VersionInfo> ParseVersionInfo(std::span<const std::uint8_t> data, Error* error) {
  try {
    return Reader(data).Read();
  } catch (const VersionFormatError& e) {
    if (error != nullptr) *error = MakeError(ErrorKind::MalformedImage, e.detail);
    return std::nullopt;
  }
}

std::optional<std::vector<std::uint8_t>> WriteVersionInfo(const VersionInfo& info, Error* error) {
  Writer w(info.layout);
  const std::size_t root = w.Begin(kRootKey, info.fixed ? kFixedInfoSize : 0, kTypeBinary);
  if (info.fixed) WriteFixedInfo(w, *info.fixed);
  const bool strings = !info.tables.empty(), vars = !info.translations.empty();
  if (vars && info.layout.varFileInfoFirst) WriteVarFileInfo(w, info);
  if (strings) WriteStringFileInfo(w, info);
  if (vars && !info.layout.varFileInfoFirst) WriteVarFileInfo(w, info);
  w.End(root, true);
  if (!w.problem().empty()) {
    if (error != nullptr)
      *error = MakeError(ErrorKind::Refused, "version information: " + w.problem());
    return std::nullopt;
  }
  return std::move(w.bytes());
}

VersionInfo NewVersionInfo(const VersionNumber& fileVersion, const VersionNumber& productVersion,
                           std::uint32_t fileType) {
  VersionInfo info;
  info.fixed = FixedFileInfo{};
  info.fixed->fileVersion = fileVersion;
  info.fixed->productVersion = productVersion;
  info.fixed->fileType = fileType;
  info.tables.push_back(
      {NewTableKey(),
       {{std::u16string(kFileVersionKey), Ascii(FormatVersionNumber(fileVersion))},
        {std::u16string(kProductVersionKey), Ascii(FormatVersionNumber(productVersion))}}});
  info.translations.push_back({kNewVersionLanguage, kNewVersionCodePage});
  return info;
}

void SetFileVersion(VersionInfo& info, const VersionNumber& version) {
  SetFileVersion(info, version, Ascii(FormatVersionNumber(version)));
}

void SetProductVersion(VersionInfo& info, const VersionNumber& version) {
  SetProductVersion(info, version, Ascii(FormatVersionNumber(version)));
}

void SetFileVersion(VersionInfo& info, const VersionNumber& version, std::u16string_view text) {
  if (!info.fixed) info.fixed = FixedFileInfo{};
  info.fixed->fileVersion = version;
  SetVersionString(info, kFileVersionKey, text, EmptyValue::Kept);
}

void SetProductVersion(VersionInfo& info, const VersionNumber& version, std::u16string_view text) {
  if (!info.fixed) info.fixed = FixedFileInfo{};
  info.fixed->productVersion = version;
  SetVersionString(info, kProductVersionKey, text, EmptyValue::Kept);
}

std::size_t SetVersionString(VersionInfo& info, std::u16string_view key, std::u16string_view value,
                             EmptyValue empty) {
  const bool keepEmpty = empty == EmptyValue::Kept;
  if (info.tables.empty() && (!value.empty() || keepEmpty)) {
    info.tables.push_back({NewTableKey(), {}});
    const Translation usual{kNewVersionLanguage, kNewVersionCodePage};
    if (std::find(info.translations.begin(), info.translations.end(), usual) ==
        info.translations.end())
      info.translations.push_back(usual);
  }
  return SetInTables(info, key, value, keepEmpty);
}

std::optional<std::u16string> FindVersionString(const VersionInfo& info, std::u16string_view key) {
  for (const StringTable& table : info.tables)
    for (const VersionString& string : table.strings)
      if (SameKey(string.key, key)) return string.value;
  return std::nullopt;
}

std::optional<VersionNumber> ParseVersionNumber(std::string_view text) {
  std::uint16_t parts[4] = {};
  std::size_t count = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = std::min(text.find('.', start), text.size());
    const std::string_view part = text.substr(start, dot - start);
    if (count == 4 || part.empty() || part.size() > 5) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > 0xFFFF) return std::nullopt;
    parts[count++] = static_cast<std::uint16_t>(value);
    if (dot == text.size()) break;
    start = dot + 1;
  }
  return VersionNumber{parts[0], parts[1], parts[2], parts[3]};
}

std::optional<VersionNumber> ParseLeadingVersion(std::string_view text) {
  std::uint16_t parts[4] = {};
  std::size_t count = 0, at = 0;
  char separator = 0;
  while (count < 4 && at < text.size() && text[at] >= '0' && text[at] <= '9') {
    std::uint32_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
      value = value * 10 + static_cast<std::uint32_t>(text[at] - '0');
      if (value > 0xFFFF) return std::nullopt;
    }
    parts[count++] = static_cast<std::uint16_t>(value);
    // The next number follows the separator of the first: "1.2.3" or "1,2,3".
    if (at + 1 >= text.size() || (text[at] != '.' && text[at] != ',')) break;
    if (separator == 0) separator = text[at];
    if (text[at] != separator) break;
    ++at;
  }
  if (count == 0) return std::nullopt;
  return VersionNumber{parts[0], parts[1], parts[2], parts[3]};
}

std::string FormatVersionNumber(const VersionNumber& v) {
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build) +
         "." + std::to_string(v.revision);
}

std::optional<Translation> TableTranslation(std::u16string_view key) {
  if (key.size() != 8) return std::nullopt;
  std::uint32_t value = 0;
  for (char16_t c : key) {
    std::uint32_t digit = 0;
    if (c >= u'0' && c <= u'9') digit = static_cast<std::uint32_t>(c - u'0');
    else if (c >= u'a' && c <= u'f') digit = static_cast<std::uint32_t>(c - u'a' + 10);
    else if (c >= u'A' && c <= u'F') digit = static_cast<std::uint32_t>(c - u'A' + 10);
    else return std::nullopt;
    value = value << 4 | digit;
  }
  return Translation{static_cast<std::uint16_t>(value >> 16), static_cast<std::uint16_t>(value)};
}

}  // namespace marovi
