// The version information and manifest edits of a change, inside its update.
#include "app/resource_edits.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <new>

#include "app/file_transfer.h"

namespace marovi::app {
namespace {

std::string LanguageText(std::uint16_t language) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "%04x", language);
  return std::to_string(language) + " (0x" + hex + ")";
}

// A version resource for an image without one, in language.
VersionInfo NewVersionResource(const VersionEdits& edits, std::uint16_t language, bool dll) {
  const VersionNumber file =
      edits.fileVersion.value_or(edits.productVersion.value_or(VersionNumber{}));
  const VersionNumber product = edits.productVersion.value_or(file);
  VersionInfo info = NewVersionInfo(file, product, dll ? kVftDll : kVftApp);
  char key[16];
  std::snprintf(key, sizeof key, "%04x%04x", language, kNewVersionCodePage);
  for (StringTable& table : info.tables) table.key = platform::FromUtf8(key);
  for (Translation& translation : info.translations) translation = {language, kNewVersionCodePage};
  return info;
}

Error ImageError(const ResourceUpdate* update, std::string detail,
                 ErrorKind kind = ErrorKind::Refused) {
  return MakeError(kind, std::move(detail), 0, ImageFileName(update));
}

bool Store(ResourceUpdate* update, std::uint16_t type, const ResourceName& name,
           std::uint16_t language, const std::vector<std::uint8_t>& bytes, Error& error) {
  if (UpdateResourceData(update, MakeIntResource(type), name.key(), language, bytes.data(),
                         static_cast<std::uint32_t>(bytes.size()), &error))
    return true;
  if (error.file.empty()) error.file = ImageFileName(update);
  return false;
}

bool EditVersions(ResourceUpdate* update, const VersionEdits& edits, Error& error) {
  std::vector<TypedResource> resources;
  if (!ResourcesOfType(update, kRtVersion, resources, &error)) return false;
  if (edits.language) {
    std::vector<TypedResource> chosen;
    std::string others;
    for (TypedResource& resource : resources) {
      if (resource.language == *edits.language) chosen.push_back(std::move(resource));
      else others += (others.empty() ? "" : ", ") + LanguageText(resource.language);
    }
    if (chosen.empty() && !others.empty()) {
      error = ImageError(update, "has no version information in language " +
                                     LanguageText(*edits.language) + "; it has it in " + others);
      return false;
    }
    resources = std::move(chosen);
  }
  if (resources.empty()) {
    const std::uint16_t language = edits.language.value_or(kNewVersionLanguage);
    const std::optional<std::vector<std::uint8_t>> bytes =
        WriteVersionInfo(NewVersionResource(edits, language, ImageIsDll(update)), &error);
    if (!bytes) {
      error.file = ImageFileName(update);
      return false;
    }
    resources.push_back({ResourceName(kVersionResourceName), language, *bytes});
  }
  for (const TypedResource& resource : resources) {
    const std::string which =
        "the version information in language " + LanguageText(resource.language);
    std::optional<VersionInfo> info = ParseVersionInfo(resource.bytes, &error);
    if (!info) {
      error =
          ImageError(update, which + " cannot be read: " + error.detail, ErrorKind::MalformedImage);
      return false;
    }
    if (edits.fileVersion) {
      if (edits.fileVersionText) SetFileVersion(*info, *edits.fileVersion, *edits.fileVersionText);
      else SetFileVersion(*info, *edits.fileVersion);
    }
    if (edits.productVersion) {
      if (edits.productVersionText)
        SetProductVersion(*info, *edits.productVersion, *edits.productVersionText);
      else SetProductVersion(*info, *edits.productVersion);
    }
    for (std::size_t i = 0; i < edits.strings.size(); ++i) {
      const bool keep = i < edits.keepEmpty.size() && edits.keepEmpty[i];
      SetVersionString(*info, edits.strings[i].key, edits.strings[i].value,
                       keep ? EmptyValue::Kept : EmptyValue::Removes);
    }
    const std::optional<std::vector<std::uint8_t>> bytes = WriteVersionInfo(*info, &error);
    if (!bytes) {
      error = ImageError(update, which + " cannot be written: " + error.detail);
      return false;
    }
    if (!Store(update, kRtVersion, resource.name, resource.language, *bytes, error)) return false;
  }
  return true;
}

bool EditManifests(ResourceUpdate* update, const ManifestEdits& edits,
                   const std::vector<std::uint8_t>& manifest, Error& error) {
  std::vector<TypedResource> resources;
  if (!ResourcesOfType(update, kRtManifest, resources, &error)) return false;
  std::erase_if(resources, [](const TypedResource& r) {
    return r.name.named() || r.name.id() != kProcessManifestName;
  });
  if (resources.empty()) {
    const std::vector<std::uint8_t> bytes =
        edits.file ? manifest : NewManifest(*edits.executionLevel);
    return Store(update, kRtManifest, ResourceName(kProcessManifestName), kManifestLanguageWhenNone,
                 bytes, error);
  }
  for (const TypedResource& resource : resources) {
    std::vector<std::uint8_t> bytes = manifest;
    if (!edits.file) {
      std::optional<std::vector<std::uint8_t>> set =
          SetRequestedExecutionLevel(resource.bytes, *edits.executionLevel, &error);
      if (!set) {
        error = ImageError(
            update,
            "the manifest in language " + LanguageText(resource.language) + ": " + error.detail,
            ErrorKind::MalformedImage);
        return false;
      }
      bytes = std::move(*set);
    }
    if (!Store(update, kRtManifest, resource.name, resource.language, bytes, error)) return false;
  }
  return true;
}

// The language of the string tables to change: the one asked for, else the
// lowest that has a block, else that of a new table.
std::uint16_t StringLanguage(const std::vector<TypedResource>& blocks,
                             std::optional<std::uint16_t> asked) {
  if (asked) return *asked;
  std::optional<std::uint16_t> lowest;
  for (const TypedResource& block : blocks)
    if (!lowest || block.language < *lowest) lowest = block.language;
  return lowest.value_or(kStringLanguageWhenNone);
}

bool EditStrings(ResourceUpdate* update, const TableEdits& edits, Error& error) {
  std::vector<TypedResource> blocks;
  if (!ResourcesOfType(update, kRtString, blocks, &error)) return false;
  const std::uint16_t language = StringLanguage(blocks, edits.language);
  std::map<std::uint16_t, StringBlock> changed;  // by block name
  for (const ResourceStringEdit& edit : edits.strings) {
    const std::uint16_t name = StringBlockName(edit.id);
    if (changed.find(name) == changed.end()) {
      StringBlock block;
      for (const TypedResource& resource : blocks) {
        if (resource.name.named() || resource.name.id() != name || resource.language != language)
          continue;
        std::optional<StringBlock> read = ParseStringBlock(resource.bytes, &error);
        if (!read) {
          error = ImageError(update,
                             "the string table block " + std::to_string(name) + " in language " +
                                 LanguageText(language) + " cannot be read: " + error.detail,
                             ErrorKind::MalformedImage);
          return false;
        }
        block = std::move(*read);
      }
      changed[name] = std::move(block);
    }
    changed[name].strings[StringBlockIndex(edit.id)] = edit.value;
  }
  for (const auto& [name, block] : changed) {
    const std::optional<std::vector<std::uint8_t>> bytes = WriteStringBlock(block, &error);
    if (!bytes) {
      error = ImageError(update, "the string table block " + std::to_string(name) +
                                     " cannot be written: " + error.detail);
      return false;
    }
    if (!Store(update, kRtString, ResourceName(name), language, *bytes, error)) return false;
  }
  return true;
}

bool ReplaceRcData(ResourceUpdate* update, const RcDataEdit& edit,
                   const std::vector<std::uint8_t>& bytes, Error& error) {
  std::vector<TypedResource> resources;
  if (!ResourcesOfType(update, kRtRcData, resources, &error)) return false;
  bool found = false;
  for (const TypedResource& resource : resources) {
    if (resource.name.named() || resource.name.id() != edit.id) continue;
    found = true;
    if (!Store(update, kRtRcData, resource.name, resource.language, bytes, error)) return false;
  }
  if (!found)
    error = ImageError(update, "has no raw data resource (RCDATA) with id " +
                                   std::to_string(edit.id));
  return found;
}

// Runs an edit, turning exhausted memory into an error.
template <typename Edit>
bool Guarded(ResourceUpdate* update, Error* error, Edit edit) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  try {
    return edit(e);
  } catch (const std::bad_alloc&) {
    e = ImageError(update, "out of memory while editing the resources", ErrorKind::OutOfMemory);
    return false;
  }
}

}  // namespace

bool ApplyVersionEdits(ResourceUpdate* update, const VersionEdits& edits, Error* error) {
  return Guarded(update, error,
                 [&](Error& e) { return !edits.Any() || EditVersions(update, edits, e); });
}

bool ApplyManifestEdits(ResourceUpdate* update, const ManifestEdits& edits,
                        const std::vector<std::uint8_t>& manifest, Error* error) {
  return Guarded(update, error, [&](Error& e) {
    return !edits.Any() || EditManifests(update, edits, manifest, e);
  });
}

bool ApplyTableEdits(ResourceUpdate* update, const TableEdits& edits,
                     const std::vector<std::vector<std::uint8_t>>& rcdataBytes, Error* error) {
  return Guarded(update, error, [&](Error& e) {
    if (!edits.strings.empty() && !EditStrings(update, edits, e)) return false;
    for (std::size_t i = 0; i < edits.rcdata.size() && i < rcdataBytes.size(); ++i)
      if (!ReplaceRcData(update, edits.rcdata[i], rcdataBytes[i], e)) return false;
    return true;
  });
}

bool ReadWholeFile(const std::u16string& file, const std::string& role,
                   std::vector<std::uint8_t>& bytes, Error* error) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  bytes.clear();
  const std::string name = platform::ToUtf8(file);
  if ((e = CheckRegularFile(file, role))) return false;
  const HeldFile held(
      platform::OpenFileByName(file.c_str(), /*forWriting=*/false, /*create=*/false));
  auto failed = [&](const char* what) {
    const std::uint32_t code = platform::LastError();
    e = MakeError(platform::ClassifyError(code), what, code, name);
    return false;
  };
  if (!held.valid()) return failed(("cannot open the " + role).c_str());
  std::uint64_t length = 0;
  if (!platform::GetFileLength(held.get(), length))
    return failed(("cannot read the " + role + "'s length").c_str());
  bytes.resize(static_cast<std::size_t>(length));
  if (length > 0 && !platform::ReadAt(held.get(), 0, bytes.data(), bytes.size())) {
    bytes.clear();
    return failed(("cannot read the " + role).c_str());
  }
  return true;
}

bool ReadManifestFile(const std::u16string& file, std::vector<std::uint8_t>& bytes, Error* error) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  if (!ReadWholeFile(file, "manifest file", bytes, &e)) return false;
  const std::string name = platform::ToUtf8(file);
  if (!RequestedExecutionLevel(bytes, &e)) {
    e.kind = ErrorKind::Refused;
    e.file = name;
    e.detail = "is not a manifest: " + e.detail;
    bytes.clear();
    return false;
  }
  return true;
}

}  // namespace marovi::app
