// The version information and manifest edits of a change, inside its update.
#include "app/resource_edits.h"

#include <algorithm>
#include <cstdio>
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
    if (edits.fileVersion) SetFileVersion(*info, *edits.fileVersion);
    if (edits.productVersion) SetProductVersion(*info, *edits.productVersion);
    for (const VersionString& string : edits.strings)
      SetVersionString(*info, string.key, string.value);
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

bool ReadManifestFile(const std::u16string& file, std::vector<std::uint8_t>& bytes, Error* error) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  bytes.clear();
  const std::string name = platform::ToUtf8(file);
  if ((e = CheckRegularFile(file, "manifest file"))) return false;
  const HeldFile held(
      platform::OpenFileByName(file.c_str(), /*forWriting=*/false, /*create=*/false));
  auto failed = [&](const char* what) {
    const std::uint32_t code = platform::LastError();
    e = MakeError(platform::ClassifyError(code), what, code, name);
    return false;
  };
  if (!held.valid()) return failed("cannot open the manifest file");
  std::uint64_t length = 0;
  if (!platform::GetFileLength(held.get(), length))
    return failed("cannot read the manifest file's length");
  bytes.resize(static_cast<std::size_t>(length));
  if (length > 0 && !platform::ReadAt(held.get(), 0, bytes.data(), bytes.size())) {
    bytes.clear();
    return failed("cannot read the manifest file");
  }
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
