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
  return request;
}

namespace {

// "changed: DEST (icon, version information, manifest, signature removed)",
// or for set-version and set-manifest the one thing they change.
std::string DoneText(const EditOptions& options, const std::string& destination, bool wasSigned) {
  const bool stripped = options.stripSignature && wasSigned;
  if (options.command == "set-icon")
    return "icon changed: " + destination + (stripped ? " (signature removed)" : "");
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
  for (const auto& data : options.rcdata) {
    if (!FileArgument(data.second)) {
      PrintError(NotUtf8Text(data.second));
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
