// marovi-cli show-version: the version information of an image, each
// language in turn, as text or JSON.
#include <span>
#include <string>

#include "app/change_workflow.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/image_file.h"

namespace marovi::cli {
namespace {

struct VersionResource {
  std::u16string name;  // empty for an id
  std::uint32_t id = 0;
  std::uint16_t language = 0;
  VersionInfo info;
};

// The version resources of the image read in bytes; false with error when
// one cannot be read.
bool ReadVersions(const std::vector<ResourceEntry>& entries, const std::string& file,
                  std::vector<VersionResource>& out, Error& error) {
  for (const ResourceEntry& entry : entries) {
    if (entry.type.named() || entry.type.id != kRtVersion) continue;
    const auto language = static_cast<std::uint16_t>(entry.language);
    std::optional<VersionInfo> info = ParseVersionInfo(entry.data, &error);
    if (!info) {
      error = MakeError(ErrorKind::MalformedImage,
                        "the version information in language " + std::to_string(language) +
                            " cannot be read: " + error.detail,
                        0, file);
      return false;
    }
    out.push_back({entry.name.name, entry.name.id, language, std::move(*info)});
  }
  return true;
}

}  // namespace

int RunShowVersion(const ShowVersionOptions& options) {
  const std::optional<ImageResources> read = LoadImageResources(options.file, false);
  if (!read) return kExitFailed;
  std::vector<VersionResource> versions;
  Error error;
  if (!ReadVersions(read->entries, options.file, versions, error)) {
    PrintError(app::ErrorText(error));
    return kExitFailed;
  }
  if (versions.empty()) {
    PrintError(options.file + ": has no version information");
    return kExitFailed;
  }
  std::string out;
  if (options.json) {
    out = "[";
    for (const VersionResource& v : versions) {
      // The record's own object, with the resource's name and language first.
      const std::string record = FormatVersionInfoJson(v.info);
      out += (out.size() > 1 ? ",\n " : "\n ") + std::string("{\"name\":") +
             (v.name.empty() ? std::to_string(v.id) : JsonString(platform::ToUtf8(v.name))) +
             ",\"language\":" + std::to_string(v.language) + "," + record.substr(1);
    }
    out += "\n]";
  } else {
    for (const VersionResource& v : versions) {
      if (!out.empty()) out += "\n";
      out += "Version information " + ResourceKeyText(v.name, v.id) + ", language " +
             std::to_string(v.language) + ":\n" + FormatVersionInfoText(v.info);
    }
    if (!out.empty() && out.back() == '\n') out.pop_back();
  }
  PrintOut(out);
  return kExitOk;
}

}  // namespace marovi::cli
