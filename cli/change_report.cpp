// What the commands that change a file share: the group named, the
// destination, running the change and printing what it came to.
#include <string>

#include "app/change_workflow.h"
#include "cli/absolute_path.h"
#include "cli/commands.h"
#include "cli/console.h"

namespace marovi::cli {

ResourceName GroupName(const std::string& text) {
  bool digits = !text.empty() && text.size() <= 5;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') digits = false;
    if (digits) value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (digits && value <= 0xFFFF) return ResourceName(static_cast<std::uint16_t>(value));
  return ResourceName(platform::FromUtf8(text));
}

// A relative destination is taken against the current directory, so that its
// folder chain is rooted.
std::u16string AbsoluteDestination(const std::u16string& destination) {
  const std::u16string absolute = AbsolutePath(destination);
  return absolute.empty() ? destination : absolute;
}

namespace {

std::string GroupText(const IconGroupKey& group) {
  const std::string name = group.name.named() ? ResourceKeyText(group.name.name(), 0)
                                              : ResourceKeyText(std::u16string(), group.name.id());
  return name + " (language " + std::to_string(group.language) + ")";
}

}  // namespace

// One line when the group changed is not the one the shell shows after the
// change, or was not the one it showed before; empty otherwise.
std::string ShellGroupNote(const app::ChangeOutcome& outcome) {
  if (!outcome.changedGroup) return std::string();
  const IconGroupKey& changed = *outcome.changedGroup;
  const std::string hint = "; --group first replaces the group the shell shows";
  if (outcome.shownAfter && !(*outcome.shownAfter == changed))
    return "note: the shell shows icon group " + GroupText(*outcome.shownAfter) + ", not " +
           GroupText(changed) + hint;
  if (outcome.shownBefore && !(*outcome.shownBefore == changed))
    return "note: the shell showed icon group " + GroupText(*outcome.shownBefore) +
           " before this change and shows " + GroupText(changed) + " now" + hint;
  return std::string();
}

std::string SignatureNote(const std::string& destination) {
  return "note: " + destination +
         " was signed; the signature no longer matches the changed file and "
         "must be renewed (--strip-signature removes it)";
}

std::optional<app::ChangeOutcome> RunChange(const app::ChangeRequest& request,
                                            const std::string& destination) {
  app::ChangeOutcome outcome;
  try {
    outcome = app::RunChangeWorkflow(request, app::NativeFileSystem());
  } catch (const app::AppError&) {
    PrintError((destination.empty() ? std::string("the destination") : destination) +
               ": cannot create the destination's folder (an empty or relative folder name)");
    return std::nullopt;
  }
  for (const app::RecoveryNotice& notice : outcome.recovered)
    PrintError(app::RecoveryText(platform::ToUtf8(notice.file), notice.recovery));
  return outcome;
}

int ReportOutcome(const app::ChangeOutcome& outcome, const app::ChangeRequest& request,
                  const std::string& done) {
  const std::string destination = platform::ToUtf8(request.destination);
  switch (outcome.status) {
    case app::ChangeStatus::Done:
      if (outcome.unchanged) {
        // --strip-signature on an unsigned image says so, as it always did.
        const bool nothingToStrip = request.options.stripSignature && !outcome.wasSigned;
        const bool onlyStrip =
            !request.replaceIcon && !request.version.Any() && !request.manifest.Any();
        std::string why = "it holds what was asked already";
        if (nothingToStrip)
          why =
              onlyStrip ? "it had no signature to remove" : why + "; it had no signature to remove";
        PrintOut("unchanged: " + destination + " (" + why + ")");
        return kExitOk;
      }
      PrintOut(done);
      if (request.replaceIcon && !request.shellGroup) {
        if (const std::string note = ShellGroupNote(outcome); !note.empty()) PrintError(note);
      }
      if (outcome.wasSigned && !request.options.stripSignature)
        PrintError(SignatureNote(destination));
      for (const PayloadFinding& payload : outcome.payloads)
        PrintError(PayloadNote(payload, destination));
      return kExitOk;
    case app::ChangeStatus::NoExecutable: PrintError("no executable given"); return kExitFailed;
    case app::ChangeStatus::NoIcon: PrintError("no icon file given"); return kExitFailed;
    case app::ChangeStatus::ExecutableMissing:
    case app::ChangeStatus::Failed: PrintError(app::ErrorText(outcome.error)); return kExitFailed;
  }
  return kExitFailed;
}

}  // namespace marovi::cli
