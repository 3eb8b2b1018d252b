// Version information resources (type 16): a VS_VERSIONINFO block read into a
// plain record, edited by free functions and written back in the same format.
//
// The resource is a tree of blocks. Each block is wLength, wValueLength,
// wType (16 bits each), its key (UTF-16, zero-terminated), padding to 32
// bits, its value, padding to 32 bits, and its children. The root
// "VS_VERSION_INFO" holds VS_FIXEDFILEINFO as its value and the children
// "StringFileInfo" (string tables keyed by language and code page, such as
// "040904b0", of key/value strings) and "VarFileInfo" (the "Translation"
// list of language and code page pairs).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.h"

namespace marovi {

inline constexpr std::uint16_t kRtVersion = 16;
// Where a new version resource goes: name 1, US English, and its one string
// table for that language in UTF-16 (code page 1200).
inline constexpr std::uint16_t kVersionResourceName = 1;
inline constexpr std::uint16_t kNewVersionLanguage = 0x0409;
inline constexpr std::uint16_t kNewVersionCodePage = 1200;

inline constexpr std::uint32_t kVftApp = 1;  // dwFileType of an application
inline constexpr std::uint32_t kVftDll = 2;  // and of a DLL

// A.B.C.D, as VS_FIXEDFILEINFO keeps it in two 32-bit halves.
struct VersionNumber {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t build = 0;
  std::uint16_t revision = 0;
  bool operator==(const VersionNumber&) const = default;
};

// VS_FIXEDFILEINFO without its signature.
struct FixedFileInfo {
  std::uint32_t structVersion = 0x00010000;
  VersionNumber fileVersion;
  VersionNumber productVersion;
  std::uint32_t fileFlagsMask = 0x3F;
  std::uint32_t fileFlags = 0;
  std::uint32_t fileOS = 0x00040004;  // VOS_NT_WINDOWS32
  std::uint32_t fileType = kVftApp;
  std::uint32_t fileSubtype = 0;
  std::uint32_t fileDateMS = 0;
  std::uint32_t fileDateLS = 0;
  bool operator==(const FixedFileInfo&) const = default;
};

struct VersionString {
  std::u16string key;
  std::u16string value;
  bool operator==(const VersionString&) const = default;
};

// One StringTable: its key ("040904b0": language then code page, in hex) and
// its strings in the order of the resource.
struct StringTable {
  std::u16string key;
  std::vector<VersionString> strings;
  bool operator==(const StringTable&) const = default;
};

struct Translation {
  std::uint16_t language = 0;
  std::uint16_t codePage = 0;
  bool operator==(const Translation&) const = default;
};

// What the format leaves to the tool that wrote a resource, taken from the
// resource read so that an unchanged record is written back as it was.
struct VersionLayout {
  // wType of StringFileInfo, StringTable and VarFileInfo: 1 ("text") from
  // some resource compilers, 0 from others.
  std::uint16_t containerType = 1;
  // Whether a block's wLength covers the padding behind its last child.
  bool padContainerEnds = false;
  // Whether VarFileInfo comes before StringFileInfo.
  bool varFileInfoFirst = false;
  bool operator==(const VersionLayout&) const = default;
};

struct VersionInfo {
  std::optional<FixedFileInfo> fixed;     // none when the root has no value
  std::vector<StringTable> tables;        // StringFileInfo is written when there is a table
  std::vector<Translation> translations;  // VarFileInfo is written when there is a pair
  VersionLayout layout;
  bool operator==(const VersionInfo&) const = default;
};

// Reads a VS_VERSIONINFO resource. A block that runs past its parent or the
// data, a key without its terminator, a fixed part of the wrong size or
// signature, a Translation that is not whole pairs or a block this record
// cannot hold is refused: none is returned and error (MalformedImage) names
// the block and its offset in the resource.
std::optional<VersionInfo> ParseVersionInfo(std::span<const std::uint8_t> data, Error* error);

// The resource bytes of a record. None, with error (Refused), when a block
// would be longer than its 16-bit wLength can say, or a key or value holds a
// zero character (it would end the string early).
std::optional<std::vector<std::uint8_t>> WriteVersionInfo(const VersionInfo& info, Error* error);

// A new resource for an image without one: the fixed part with both
// versions, one table "040904b0" with FileVersion and ProductVersion, and a
// Translation 0x0409/1200.
VersionInfo NewVersionInfo(const VersionNumber& fileVersion, const VersionNumber& productVersion,
                           std::uint32_t fileType = kVftApp);

// Set the version in the fixed part (made when missing) and the string
// "FileVersion" or "ProductVersion" of every table (added where missing).
void SetFileVersion(VersionInfo& info, const VersionNumber& version);
void SetProductVersion(VersionInfo& info, const VersionNumber& version);

// The same with the string written as given ("1.2.3-beta" for 1.2.3.0),
// kept even when empty.
void SetFileVersion(VersionInfo& info, const VersionNumber& version, std::u16string_view text);
void SetProductVersion(VersionInfo& info, const VersionNumber& version, std::u16string_view text);

// What an empty value of SetVersionString does: remove the key, or set it,
// present and empty, like any other value.
enum class EmptyValue { Removes, Kept };

// Sets a string in every table, matching keys without regard to ASCII case:
// the first match takes the value (keeping its spelling of the key), later
// matches go, a table without one gets it at its end. With no table at all,
// a table "040904b0" (and its Translation when missing) is made first. An
// empty value removes the key from every table instead, unless empty is
// Kept. Returns how many strings were set or removed.
std::size_t SetVersionString(VersionInfo& info, std::u16string_view key, std::u16string_view value,
                             EmptyValue empty = EmptyValue::Removes);

// The value of the first string with this key (ASCII case ignored), tables
// in order; none when no table has it.
std::optional<std::u16string> FindVersionString(const VersionInfo& info, std::u16string_view key);

// "1.2.3.4"; missing parts are 0 ("1.2" is 1.2.0.0). None for anything but
// one to four decimal numbers of at most 65535 joined by dots.
std::optional<VersionNumber> ParseVersionNumber(std::string_view text);
// The fixed part of a version string as build tools write it: its leading
// numbers, up to four, joined by dots or by commas, the parts missing 0;
// whatever follows is left out ("1.2.3-beta" and "1.2.3+build.5" are
// 1.2.3.0, "1,2,3,4" is 1.2.3.4). None when the text does not start with a
// digit or a number exceeds 65535.
std::optional<VersionNumber> ParseLeadingVersion(std::string_view text);
std::string FormatVersionNumber(const VersionNumber& version);

// The language and code page of a table key of eight hex digits.
std::optional<Translation> TableTranslation(std::u16string_view key);

// For show-version: a text of one "name: value" line per field and string
// (control characters in values shown as \n, \r, \t, \xNN), and a JSON
// object of the same content (UTF-8 throughout).
std::string FormatVersionInfoText(const VersionInfo& info);
std::string FormatVersionInfoJson(const VersionInfo& info);

}  // namespace marovi
