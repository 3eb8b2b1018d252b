// marovi-cli set-icon, edit, set-version and set-manifest: the change workflow
// with any of the edits, the file rebuilt once.
#include <string>

#include "app/change_workflow.h"
#include "cli/commands.h"
#include "cli/console.h"

namespace marovi::cli {

app::ChangeRequest RequestFor(const EditOptions& options) {
  app::ChangeRequest request;
  request.executable = platform::FromUtf8(options.executable);
  request.destination = AbsoluteDestination(options.output ? platform::FromUtf8(*options.output)
                                                           : request.executable);
  request.backup = options.backup;
  // --group first falls back to the request's MAINICON, language 0, when
  // the image has no icon group; --set-icon to the group it names.
  if (!options.shellGroup || options.group != kFirstGroup) request.group = GroupName(options.group);
  request.language = options.language;
  request.shellGroup = options.shellGroup;
  request.options.sync = options.sync;
  request.options.journal = options.journal;
  request.options.stripSignature = options.stripSignature;
  request.replaceIcon = options.iconFile.has_value();
  if (options.iconFile) {
    request.iconFile = platform::FromUtf8(*options.iconFile);
    request.iconPreviewSet = true;  // an icon file named on the command line counts as chosen
  }
  app::VersionEdits& version = request.version;
  version.fileVersion = options.fileVersion;
  version.productVersion = options.productVersion;
  if (options.fileVersionText) version.fileVersionText = platform::FromUtf8(*options.fileVersionText);
  if (options.productVersionText)
    version.productVersionText = platform::FromUtf8(*options.productVersionText);
  version.strings = options.strings;
  version.keepEmpty = options.keepEmpty;
  version.language = options.versionLanguage;
  if (options.manifestFile) request.manifest.file = platform::FromUtf8(*options.manifestFile);
  request.manifest.executionLevel = options.executionLevel;
  request.tables.strings = options.resourceStrings;
  for (const auto& [id, file] : options.rcdata)
    request.tables.rcdata.push_back({id, platform::FromUtf8(file)});
  request.tables.language = options.stringLanguage;
  for (const auto& [fromImage, file] : options.imports)
    request.resources.imports.push_back(
        {platform::FromUtf8(file), fromImage, fromImage ? options.copyTypes : std::vector<ResourceSpec>{}});
  for (const EditOptions::ResourceItem& item : options.resourceItems) {
    std::optional<std::u16string> file;
    if (item.file) file = platform::FromUtf8(*item.file);
    request.resources.items.push_back({item.type, item.name, options.resourceLanguage, file});
  }
  return request;
}

namespace {

// "changed: DEST (icon, version information, manifest, signature removed)",
// or for set-version and set-manifest the one thing they change.
std::string DoneText(const EditOptions& options, const std::string& destination, bool wasSigned) {
  const bool stripped = options.stripSignature && wasSigned;
  const std::string& c = options.command;
  if (c == "set-icon")
    return "icon changed: " + destination + (stripped ? " (signature removed)" : "");
  const char* doneText = c == "set-resource"      ? "resource set: "
                     : c == "delete-resource" ? "resource deleted: "
                     : c == "set-string"      ? "string set: "
                     : c == "import-res"      ? "resources imported: "
                     : c == "copy-resources"  ? "resources copied: "
                                              : nullptr;
  if (doneText != nullptr) return doneText + destination + (stripped ? " (signature removed)" : "");
  if (options.command != "edit") {
    return (options.command == "set-version" ? "version information changed: "
                                             : "manifest changed: ") +
           destination + (stripped ? " (signature removed)" : "");
  }
  std::string what;
  auto add = [&](bool done, const char* name) {
    if (done) what += (what.empty() ? "" : ", ") + std::string(name);
  };
  add(options.iconFile.has_value(), "icon");
  add(options.VersionEdits(), "version information");
  add(options.ManifestEdits(), "manifest");
  add(!options.resourceStrings.empty(), "string table");
  add(!options.rcdata.empty(), "raw data");
  add(!options.imports.empty(), "resources brought in");
  add(!options.resourceItems.empty(), "resources by type");
  add(stripped, "signature removed");
  if (what.empty()) what = "it had no signature to remove";
  return "changed: " + destination + " (" + what + ")";
}

}  // namespace

int RunEdit(const EditOptions& options) {
  for (const std::optional<std::string>& name :
       {std::optional<std::string>(options.executable), options.iconFile, options.manifestFile,
        options.output}) {
    if (name && !FileArgument(*name)) {
      PrintError(NotUtf8Text(*name));
      return kExitFailed;
    }
  }
  std::vector<std::string> files;
  for (const auto& data : options.rcdata) files.push_back(data.second);
  for (const auto& import : options.imports) files.push_back(import.second);
  for (const EditOptions::ResourceItem& item : options.resourceItems)
    if (item.file) files.push_back(*item.file);
  for (const std::string& file : files) {
    if (!FileArgument(file)) {
      PrintError(NotUtf8Text(file));
      return kExitFailed;
    }
  }
  const app::ChangeRequest request = RequestFor(options);
  const std::string destination = platform::ToUtf8(request.destination);

  const std::optional<app::ChangeOutcome> outcome = RunChange(request, destination);
  if (!outcome) return kExitFailed;
  return ReportOutcome(*outcome, request, DoneText(options, destination, outcome->wasSigned));
}

}  // namespace marovi::cli
