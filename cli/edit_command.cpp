// marovi-cli edit, set-version and set-manifest: the change workflow with any
// of the edits, the file rebuilt once.
#include <string>

#include "app/change_workflow.h"
#include "cli/commands.h"
#include "cli/console.h"

namespace marovi::cli {
namespace {

app::ChangeRequest RequestOf(const EditOptions& options) {
  app::ChangeRequest request = RequestFor(options);
  request.replaceIcon = options.iconFile.has_value();
  if (options.iconFile) {
    request.iconFile = platform::FromUtf8(*options.iconFile);
    request.iconPreviewSet = true;  // an icon file named on the command line counts as chosen
  }
  request.version.fileVersion = options.fileVersion;
  request.version.productVersion = options.productVersion;
  request.version.strings = options.strings;
  request.version.language = options.versionLanguage;
  if (options.manifestFile) request.manifest.file = platform::FromUtf8(*options.manifestFile);
  request.manifest.executionLevel = options.executionLevel;
  return request;
}

// "changed: DEST (icon, version information, manifest, signature removed)",
// or for set-version and set-manifest the one thing they change.
std::string DoneText(const EditOptions& options, const std::string& destination, bool wasSigned) {
  const bool stripped = options.stripSignature && wasSigned;
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
  add(options.fileVersion || options.productVersion || !options.strings.empty(),
      "version information");
  add(options.manifestFile || options.executionLevel, "manifest");
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
  const app::ChangeRequest request = RequestOf(options);
  const std::string destination = platform::ToUtf8(request.destination);

  const std::optional<app::ChangeOutcome> outcome = RunChange(request, destination);
  if (!outcome) return kExitFailed;
  return ReportOutcome(*outcome, request, DoneText(options, destination, outcome->wasSigned));
}

}  // namespace marovi::cli
