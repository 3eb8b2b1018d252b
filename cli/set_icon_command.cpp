// marovi-cli set-icon: the change workflow with the terminal as its window.
#include <filesystem>
#include <string>
#include <vector>

#include "app/change_workflow.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/image_file.h"
#include "engine/platform.h"
#include "icons/icon_group.h"

namespace marovi::cli {
namespace {

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
  if (destination.empty()) return destination;
  const std::filesystem::path path(destination);
  if (!path.is_relative()) return destination;
  return std::filesystem::absolute(path).u16string();
}

// Why BeginResourceUpdate refused the destination.
std::string DescribeBeginFailure(const std::string& destination, const std::u16string& path,
                                 std::uint32_t code) {
  if (!app::NativeFileSystem().FileExists(path))
    return destination + ": no such file (the executable could not be copied there)";
  if (code == platform::ErrorSharingViolation())
    return destination + ": the file is held open by another program";
  const ImageInspection image = InspectImage(path);
  if (image.problem != ImageProblem::None && image.problem != ImageProblem::CannotOpen)
    return destination + ": " + DescribeImageProblem(image);
  if (code == 0) return destination + ": cannot be opened for the change";
  return destination + ": cannot be opened for writing: " + SystemErrorText(code);
}

// Why LoadIconGroupResource refused: the icon file, or the update itself.
std::string DescribeLoadFailure(const SetIconOptions& options, const std::string& destination,
                                std::uint32_t code) {
  std::vector<std::uint8_t> bytes;
  const IconFileStatus status = ReadIconFile(platform::FromUtf8(options.iconFile).c_str(), bytes);
  if (status == IconFileStatus::CannotOpen)
    return options.iconFile + ": the icon file cannot be opened: " +
           SystemErrorText(platform::LastError());
  if (status != IconFileStatus::Ok)
    return options.iconFile + ": the icon file " + DescribeIconFileStatus(status);
  std::string text = destination + ": the icon group could not be replaced";
  if (code != 0) text += ": " + SystemErrorText(code);
  return text;
}

std::string DescribeCommitFailure(const std::string& destination, std::uint32_t code) {
  if (code == platform::ErrorDiskFull())
    return destination + ": the disk is full; the new resources could not be written";
  std::string text = destination + ": the new resources could not be written";
  if (code != 0) text += ": " + SystemErrorText(code);
  return text;
}

}  // namespace

int RunSetIcon(const SetIconOptions& options) {
  app::ChangeRequest request;
  request.executable = platform::FromUtf8(options.executable);
  request.iconFile = platform::FromUtf8(options.iconFile);
  request.iconPreviewSet = true;  // an icon file named on the command line counts as chosen
  request.destination = AbsoluteDestination(
      options.output ? platform::FromUtf8(*options.output) : request.executable);
  request.backup = options.backup;
  request.group = GroupName(options.group);
  request.language = options.language;
  const std::string destination = platform::ToUtf8(request.destination);

  app::ChangeOutcome outcome;
  try {
    outcome = app::RunChangeWorkflow(request, app::NativeFileSystem());
  } catch (const app::AppError&) {
    PrintError((destination.empty() ? std::string("the destination") : destination) +
               ": cannot create the destination's folder (an empty or relative folder name)");
    return kExitFailed;
  }

  switch (outcome.status) {
    case app::ChangeStatus::Done: PrintOut("icon changed: " + destination); return kExitOk;
    case app::ChangeStatus::NoExecutable: PrintError("no executable given"); return kExitFailed;
    case app::ChangeStatus::ExecutableMissing:
      PrintError(options.executable + ": no such executable");
      return kExitFailed;
    case app::ChangeStatus::NoIcon: PrintError("no icon file given"); return kExitFailed;
    case app::ChangeStatus::Failed: break;
  }

  if (!outcome.detail.empty()) {
    const char* what = outcome.step == app::FailedStep::Begin ? ": malformed image: " : ": ";
    PrintError(destination + what + outcome.detail);
  } else if (outcome.step == app::FailedStep::Begin) {
    PrintError(DescribeBeginFailure(destination, request.destination, outcome.lastError));
  } else if (outcome.step == app::FailedStep::LoadIcon) {
    PrintError(DescribeLoadFailure(options, destination, outcome.lastError));
  } else {
    PrintError(DescribeCommitFailure(destination, outcome.lastError));
  }
  return kExitFailed;
}

}  // namespace marovi::cli
