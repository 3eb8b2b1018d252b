// The change-icon workflow: the three checks, the destination's folders, the
// backup or the copy, then one update that replaces the icon group.
#include "app/change_workflow.h"

#include <exception>

#include "app/messages.h"
#include "engine/commit.h"
#include "engine/platform.h"
#include "icons/icon_group.h"

namespace marovi::app {

AppError::AppError(std::u16string text)
    : std::runtime_error(platform::ToUtf8(text)), text_(std::move(text)) {}

namespace {

bool IsFolderMark(const FileSystem& fs, char16_t c) {
  return fs.IsSeparator(c) || fs.IsDriveSeparator(c);
}

// The path up to and including its last separator or drive separator.
std::u16string PathUpToLastMark(const std::u16string& path, const FileSystem& fs) {
  for (std::size_t i = path.size(); i > 0; --i)
    if (IsFolderMark(fs, path[i - 1])) return path.substr(0, i);
  return std::u16string();
}

ChangeOutcome Outcome(ChangeStatus status, FailedStep step = FailedStep::None,
                      std::uint32_t lastError = 0, std::string detail = std::string()) {
  ChangeOutcome outcome;
  outcome.status = status;
  outcome.step = step;
  outcome.lastError = lastError;
  outcome.detail = std::move(detail);
  return outcome;
}

// Closes an update whose icon replacement raised an error. The tree is in an
// unknown state then, so nothing of it is written; the file is released so
// that the program does not hold it locked after the change has failed.
void DiscardAfterError(ResourceUpdate* update) noexcept {
  try {
    EndResourceUpdate(update, /*discard=*/true);
  } catch (...) {
  }
}

// BeginResourceUpdate, LoadIconGroupResource, EndResourceUpdate(commit).
ChangeOutcome ChangeIcon(const ChangeRequest& request) {
  FailedStep step = FailedStep::Begin;
  try {
    platform::SetLastError(0);
    ResourceUpdate* update = BeginResourceUpdate(request.destination.c_str(), false);
    if (update == nullptr) return Outcome(ChangeStatus::Failed, step, platform::LastError());

    step = FailedStep::LoadIcon;
    bool loaded = false;
    std::uint32_t loadError = 0;
    try {
      platform::SetLastError(0);
      loaded = LoadIconGroupResource(update, request.group.key(), request.language,
                                     request.iconFile.c_str());
      loadError = platform::LastError();
    } catch (...) {
      DiscardAfterError(update);
      throw;
    }

    // A replacement that failed may have removed the old group and added
    // only some of the new images: nothing of it is written, and the
    // destination keeps the icon it had.
    if (!loaded) {
      EndResourceUpdate(update, /*discard=*/true);
      return Outcome(ChangeStatus::Failed, FailedStep::LoadIcon, loadError);
    }
    step = FailedStep::Commit;
    platform::SetLastError(0);
    const bool committed = EndResourceUpdate(update, /*discard=*/false);
    const std::uint32_t commitError = platform::LastError();
    if (!committed) return Outcome(ChangeStatus::Failed, FailedStep::Commit, commitError);
    return Outcome(ChangeStatus::Done);
  } catch (const std::exception& error) {
    return Outcome(ChangeStatus::Failed, step, platform::LastError(), error.what());
  } catch (...) {
    return Outcome(ChangeStatus::Failed, step, platform::LastError(), "unknown error");
  }
}

}  // namespace

std::u16string FolderPart(const std::u16string& path, const FileSystem& fs) {
  std::u16string folder = PathUpToLastMark(path, fs);
  const std::size_t n = folder.size();
  if (n > 1 && fs.IsSeparator(folder[n - 1]) && !IsFolderMark(fs, folder[n - 2]))
    folder.pop_back();
  return folder;
}

bool CreateFolderChain(const std::u16string& folder, FileSystem& fs) {
  if (folder.empty()) throw AppError(kCannotCreateFolder);
  std::u16string f = folder;
  if (fs.IsSeparator(f.back())) f.pop_back();
  const std::u16string parent = PathUpToLastMark(f, fs);
  if (f.size() < 3 || fs.FolderExists(f) || parent == f) return true;
  return CreateFolderChain(parent, fs) && fs.CreateFolder(f);
}

ChangeOutcome RunChangeWorkflow(const ChangeRequest& request, FileSystem& fs) {
  if (request.executable.empty()) return Outcome(ChangeStatus::NoExecutable);
  if (!fs.FileExists(request.executable)) return Outcome(ChangeStatus::ExecutableMissing);
  if (request.iconFile.empty() || !request.iconPreviewSet) return Outcome(ChangeStatus::NoIcon);

  const std::u16string& destination = request.destination;
  const std::u16string folder = FolderPart(destination, fs);
  if (folder.empty() || !fs.FolderExists(folder)) CreateFolderChain(folder, fs);

  // Neither copy overwrites: the first backup of a destination survives later
  // changes, and a failed copy shows up as a failed change below.
  if (fs.FileExists(destination)) {
    if (request.backup) fs.CopyFileNoOverwrite(destination, destination + u".bak");
  } else {
    fs.CopyFileNoOverwrite(request.executable, destination);
  }
  return ChangeIcon(request);
}

}  // namespace marovi::app
