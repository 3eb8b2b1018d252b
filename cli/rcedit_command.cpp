// The form `marovi-cli EXE --set-icon ICO ...` without a command, as build
// tools call it: its change made by the change workflow, or the one value a
// --get-... option asks for. It prints nothing on success and, on failure,
// the lines those tools' callers look for, then the reason.
#include <algorithm>
#include <string>

#include "app/change_workflow.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/image_file.h"

namespace marovi::cli {
namespace {

void Fatal(const std::string& what) { PrintErrorLine("Fatal error: " + what); }

void UnableToLoad(const std::string& file) {
  PrintErrorLine("Unable to load file: \"" + file + "\"");
}

// The resources of one numbered type in the lowest language that has any,
// as build tools read them.
std::vector<const ResourceEntry*> FirstLanguageOf(const std::vector<ResourceEntry>& entries,
                                                  std::uint16_t type) {
  std::vector<const ResourceEntry*> found;
  std::optional<std::uint32_t> lowest;
  for (const ResourceEntry& entry : entries) {
    if (entry.type.named() || entry.type.id != type) continue;
    if (!lowest || entry.language < *lowest) {
      lowest = entry.language;
      found.clear();
    }
    if (entry.language == *lowest) found.push_back(&entry);
  }
  return found;
}

std::optional<std::u16string> VersionString(const std::vector<ResourceEntry>& entries,
                                            const std::string& key) {
  for (const ResourceEntry* entry : FirstLanguageOf(entries, kRtVersion)) {
    const std::optional<VersionInfo> info = ParseVersionInfo(entry->data, nullptr);
    if (!info) continue;
    if (auto value = FindVersionString(*info, platform::FromUtf8(key))) return value;
  }
  return std::nullopt;
}

std::optional<std::u16string> ResourceString(const std::vector<ResourceEntry>& entries,
                                             std::uint16_t id) {
  for (const ResourceEntry* entry : FirstLanguageOf(entries, kRtString)) {
    if (entry->name.named() || entry->name.id != StringBlockName(id)) continue;
    const std::optional<StringBlock> block = ParseStringBlock(entry->data, nullptr);
    if (block) return block->strings[StringBlockIndex(id)];
  }
  return std::nullopt;
}

int PrintValue(const EditOptions& options) {
  const std::optional<ImageResources> read = LoadImageResources(options.executable, false);
  if (!read) {
    UnableToLoad(options.executable);
    return kExitFailed;
  }
  const std::optional<std::u16string> value =
      options.getVersionString ? VersionString(read->entries, *options.getVersionString)
                               : ResourceString(read->entries, *options.getResourceString);
  if (!value) {
    Fatal(options.getVersionString ? "Unable to get version string"
                                   : "Unable to get resource string");
    return kExitFailed;
  }
  PrintOutText(platform::ToUtf8(*value));
  return kExitOk;
}

// The line build tools print for the step or edit that failed.
void PrintFailure(const app::ChangeOutcome& outcome, const app::ChangeRequest& request,
                  const EditOptions& options) {
  switch (outcome.step) {
    case app::FailedStep::None:
    case app::FailedStep::Begin: UnableToLoad(options.executable); break;
    case app::FailedStep::LoadIcon:
      if (outcome.error.kind == ErrorKind::NotFound ||
          outcome.error.kind == ErrorKind::NotRegularFile ||
          outcome.error.file == platform::ToUtf8(request.iconFile))
        PrintErrorLine("Cannot open icon file '" + options.iconFile.value_or("") + "'");
      Fatal("Unable to set icon");
      break;
    case app::FailedStep::Edit:
      switch (outcome.edit) {
        case app::FailedEdit::Version: Fatal("Unable to change version string"); break;
        case app::FailedEdit::Manifest:
          Fatal(request.manifest.file ? "Unable to set application manifest"
                                      : "Unable to set execution level");
          break;
        case app::FailedEdit::Strings: Fatal("Unable to change string"); break;
        case app::FailedEdit::RcData: Fatal("Unable to change RCDATA"); break;
        case app::FailedEdit::Resources: Fatal("Unable to change resources"); break;
        case app::FailedEdit::None: Fatal("Unable to commit changes"); break;
      }
      break;
    case app::FailedStep::Backup:
    case app::FailedStep::Copy:
    case app::FailedStep::Commit: Fatal("Unable to commit changes"); break;
  }
  if (outcome.status == app::ChangeStatus::ExecutableMissing ||
      outcome.status == app::ChangeStatus::Failed)
    PrintError(app::ErrorText(outcome.error));
}

}  // namespace

// The file is read where it stands on the command line, before the options
// behind it: one that cannot be read is what a refused command line reports.
int RefuseRceditForm(const UsageError& error) {
  if (!error.executable.empty() && !LoadImageResources(error.executable, false))
    UnableToLoad(PrintableArgument(error.executable));
  else
    PrintErrorLine(error.text);
  return kExitFailed;
}

int RunRceditForm(const EditOptions& options) {
  if (options.getVersionString || options.getResourceString) return PrintValue(options);
  // Nothing to change: the file is only read, and left as it is.
  if (!options.AnyChange()) {
    if (LoadImageResources(options.executable, false)) return kExitOk;
    UnableToLoad(PrintableArgument(options.executable));
    return kExitFailed;
  }
  if (!FileArgument(options.executable)) {
    UnableToLoad(PrintableArgument(options.executable));
    PrintError(NotUtf8Text(options.executable));
    return kExitFailed;
  }
  const app::ChangeRequest request = RequestFor(options);
  const std::string destination = platform::ToUtf8(request.destination);
  const std::optional<app::ChangeOutcome> outcome = RunChange(request, destination);
  if (!outcome) {
    Fatal("Unable to commit changes");
    return kExitFailed;
  }
  if (outcome->status != app::ChangeStatus::Done) {
    PrintFailure(*outcome, request, options);
    return kExitFailed;
  }
  if (outcome->wasSigned && !request.options.stripSignature) PrintError(SignatureNote(destination));
  return kExitOk;
}

}  // namespace marovi::cli
