// The change-icon workflow: the three checks, the destination's folders, the
// backup or the copy, then one update that replaces the icon group and makes
// the other edits.
#include "app/change_workflow.h"

#include <utility>

#include "app/file_transfer.h"
#include "app/messages.h"
#include "app/resource_edits.h"
#include "app/resource_import.h"

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
                      Error error = Error()) {
  ChangeOutcome outcome;
  outcome.status = status;
  outcome.step = step;
  outcome.error = std::move(error);
  return outcome;
}

Error SystemError(std::string detail, const std::u16string& file) {
  const std::uint32_t code = platform::LastError();
  return MakeError(platform::ClassifyError(code), std::move(detail), code, platform::ToUtf8(file));
}

// One change after the checks and the destination's folders: the backup or
// the copy, then the update.
class Change {
 public:
  Change(const ChangeRequest& request, FileSystem& fs)
      : request_(request), fs_(fs), destination_(request.destination) {}

  // The destination exists: it is held from here to the end of the change,
  // recovered, backed up and changed in place.
  ChangeOutcome InPlace() {
    HeldFile held(platform::OpenFileByName(destination_.c_str(), /*forWriting=*/true,
                                           /*create=*/false));
    if (!held.valid())
      return Fail(FailedStep::Begin, SystemError("cannot be opened for the change", destination_));
    if (!Recover(destination_, held.get(), FailedStep::Begin)) return outcome_;
    // What a killed run left of a copy to this name, or of its backup, is
    // of no use now; anything else there is left alone.
    RemoveLeftoverCopy(destination_, nullptr);
    RemoveLeftoverCopy(destination_ + u".bak", nullptr);
    // The update closes its own handle when it ends; held keeps the file
    // held for the backup. It is made once the edits are known to change
    // something, before the commit touches the file; a change that fails
    // before it gets one all the same, as a run always left one, and only a
    // change that changes nothing leaves none.
    HeldFile forUpdate(platform::DuplicateFile(held.get()));
    if (!forUpdate.valid())
      return Fail(FailedStep::Begin, SystemError("cannot be opened for the change", destination_));
    FailedStep step = FailedStep::None;
    bool backedUp = false;
    auto backup = [&] {
      backedUp = true;
      return request_.backup ? Backup(held.get()) : Error();
    };
    if (Error error = ChangeResources(forUpdate.release(), destination_, step, backup)) {
      if (Error backupError = backedUp ? Error() : backup())
        return Fail(FailedStep::Backup, std::move(backupError));
      return Fail(step, std::move(error));
    }
    return Done();
  }

  // The destination does not exist: the executable is copied to its
  // temporary name, held from before the copy; the copy is changed there and
  // put in place only when the change has succeeded.
  ChangeOutcome ToNewCopy() {
    const std::u16string& source = request_.executable;
    const std::u16string partName = PartName(destination_);
    // A run killed while it made or changed its copy may have left the copy
    // and its journal; they are taken over only when they are that.
    Error notOurs;
    if (RemoveLeftoverCopy(destination_, &notOurs) == Leftover::NotOurs)
      return Fail(FailedStep::Copy, std::move(notOurs));
    HeldFile part;
    if (Error error = OpenPart(destination_, part)) return Fail(FailedStep::Copy, std::move(error));
    if (!Recover(source, platform::kInvalidFile, FailedStep::Copy)) return Discard(part);
    RemoveLeftoverCopy(source, nullptr);  // of an earlier copy to the source's own name
    {
      HeldFile from(platform::OpenFileShared(source.c_str()));
      if (!from.valid())
        return Discard(part, FailedStep::Copy, SystemError("cannot be opened for copying", source));
      // Flushed once, after the change, before it gets its name.
      if (Error error = CopyInto(from.get(), source, part.get(), destination_, /*sync=*/false))
        return Discard(part, FailedStep::Copy, std::move(error));
    }
    // The update closes its handle when it ends; part keeps the copy held
    // until it has its name.
    HeldFile forUpdate(platform::DuplicateFile(part.get()));
    if (!forUpdate.valid())
      return Discard(part, FailedStep::Copy,
                     SystemError("cannot be opened for the change", destination_));
    FailedStep step = FailedStep::None;
    if (Error error =
            ChangeResources(forUpdate.release(), partName, step, [] { return Error(); })) {
      if (error.file == platform::ToUtf8(partName)) error.file = platform::ToUtf8(destination_);
      Discard(part, step, std::move(error));
      RemoveJournalOf(partName);
      return outcome_;
    }
    if (request_.options.sync && !platform::FlushFile(part.get()))
      return Discard(part, FailedStep::Commit,
                     SystemError("cannot be flushed to the disk", destination_));
    bool existed = false;
    if (Error error = PlacePart(part, destination_, request_.options.sync, &existed))
      return Fail(FailedStep::Commit, std::move(error));
    if (existed)
      return Fail(FailedStep::Commit,
                  MakeError(ErrorKind::Refused,
                            "was made by another program while the copy was changed; it was left "
                            "as it is",
                            0, platform::ToUtf8(destination_)));
    return Done(/*newFile=*/true);
  }

 private:
  ChangeOutcome Fail(FailedStep step, Error error) {
    outcome_.status = ChangeStatus::Failed;
    outcome_.step = step;
    outcome_.error = std::move(error);
    return outcome_;
  }

  // The shell hears of a changed file and of a new one, not of a file left
  // as it was.
  ChangeOutcome Done(bool newFile = false) {
    outcome_.status = ChangeStatus::Done;
    if (!outcome_.unchanged || newFile) fs_.FileChanged(destination_);
    return outcome_;
  }

  // Drops the destination's temporary copy after a failure (or a refused
  // recovery, whose outcome is already set).
  ChangeOutcome Discard(HeldFile& part) {
    DiscardPart(part, destination_);
    return outcome_;
  }
  ChangeOutcome Discard(HeldFile& part, FailedStep step, Error error) {
    DiscardPart(part, destination_);
    return Fail(step, std::move(error));
  }

  // The journal of this run's own copy, left when its change failed.
  static void RemoveJournalOf(const std::u16string& file) {
    RemoveJournalOfDiscardedFile(file.c_str(), nullptr);
  }

  // False, with the outcome set, when what an interrupted change left
  // cannot be put right.
  bool Recover(const std::u16string& path, platform::FileHandle held, FailedStep step) {
    Error error;
    const Recovery recovery = fs_.RecoverInterruptedChange(path, held, &error);
    if (recovery == Recovery::Failed) {
      if (!error)
        error = MakeError(ErrorKind::Journal, "an interrupted change of it could not be undone");
      if (error.file.empty()) error.file = platform::ToUtf8(path);
      Fail(step, std::move(error));
      return false;
    }
    if (recovery == Recovery::Undone || recovery == Recovery::Removed ||
        recovery == Recovery::LeftBehind)
      outcome_.recovered.push_back(RecoveryNotice{path, recovery});
    return true;
  }

  // Copies the held destination to its name with ".bak" appended, unless a
  // file is there already (the first backup survives later changes). Whatever
  // else is there, or a copy that cannot be made whole, fails the change
  // before the destination is touched.
  Error Backup(platform::FileHandle held) {
    const std::u16string backup = destination_ + u".bak";
    platform::FileKind kind = platform::FileKind::Missing;
    if (!platform::GetFileKind(backup.c_str(), kind))
      return SystemError("the backup cannot be made: the name cannot be examined", backup);
    if (kind == platform::FileKind::Regular) return Error();
    if (kind != platform::FileKind::Missing) {
      Error error = CheckRegularFile(backup, "backup");
      error.kind = ErrorKind::NotRegularFile;
      error.detail = "the backup cannot be made there: it " + error.detail;
      return error;
    }
    bool existed = false;
    return MakeWholeCopy(held, destination_, backup, request_.options.sync, &existed);
  }

  // BeginResourceUpdateOnFile on file (which it takes over), then
  // LoadIconGroupResource, the other edits, and EndResourceUpdate (commit),
  // with beforeCommit (the backup) run just before it. Edits that leave the
  // resources as they are end the update without a commit and without
  // beforeCommit: the file is not touched.
  template <typename BeforeCommit>
  Error ChangeResources(platform::FileHandle file, const std::u16string& name, FailedStep& step,
                        BeforeCommit beforeCommit) {
    Error error;
    step = FailedStep::Begin;
    ResourceUpdate* update =
        BeginResourceUpdateOnFile(file, name.c_str(), false, request_.options, &error);
    if (update == nullptr) return error;
    outcome_.wasSigned = ImageIsSigned(update);
    // An edit that failed may have made part of its changes: nothing of them
    // is written, and the destination stays as it was.
    auto failed = [&] {
      EndResourceUpdate(update, /*discard=*/true, nullptr);
      return error;
    };
    // Resources brought in or set by type come first: the icon and the
    // edits below win over what they brought.
    step = FailedStep::Edit;
    outcome_.edit = FailedEdit::Resources;
    if (!ApplyResourceEdits(update, request_.resources, &error)) return failed();
    outcome_.edit = FailedEdit::None;
    if (request_.replaceIcon) {
      step = FailedStep::LoadIcon;
      outcome_.shownBefore = ShellIconGroup(update);
      IconGroupKey group{request_.group, request_.language};
      if (request_.shellGroup && outcome_.shownBefore) group = *outcome_.shownBefore;
      std::vector<std::uint8_t> icon;
      if (!ReadIconOrPngFile(request_.iconFile.c_str(), icon, &error) ||
          !LoadIconGroupResource(update, group.name.key(), group.language, icon,
                                 platform::ToUtf8(request_.iconFile), &error))
        return failed();
      outcome_.changedGroup = group;
      outcome_.shownAfter = ShellIconGroup(update);
    }
    step = FailedStep::Edit;
    if (!MakeEdits(update, error)) return failed();
    if (ResourcesUnchanged(update) && !(request_.options.stripSignature && outcome_.wasSigned)) {
      outcome_.unchanged = true;
      EndResourceUpdate(update, /*discard=*/true, nullptr);
      return Error();
    }
    step = FailedStep::Backup;
    if ((error = beforeCommit())) return failed();
    step = FailedStep::Commit;
    CommitReport report;
    EndResourceUpdate(update, /*discard=*/false, &error, &report);
    outcome_.payloads = std::move(report.payloads);
    return error;
  }

  // The edits besides the icon group, each kind in turn; on failure
  // outcome_.edit says which.
  bool MakeEdits(ResourceUpdate* update, Error& error) {
    outcome_.edit = FailedEdit::Version;
    if (!ApplyVersionEdits(update, request_.version, &error)) return false;
    outcome_.edit = FailedEdit::Manifest;
    std::vector<std::uint8_t> manifest;
    if (request_.manifest.file && !ReadManifestFile(*request_.manifest.file, manifest, &error))
      return false;
    if (!ApplyManifestEdits(update, request_.manifest, manifest, &error)) return false;
    outcome_.edit = FailedEdit::Strings;
    TableEdits strings = request_.tables;
    strings.rcdata.clear();
    if (!ApplyTableEdits(update, strings, {}, &error)) return false;
    outcome_.edit = FailedEdit::RcData;
    TableEdits data;
    data.rcdata = request_.tables.rcdata;
    std::vector<std::vector<std::uint8_t>> rcdata(data.rcdata.size());
    for (std::size_t i = 0; i < rcdata.size(); ++i)
      if (!ReadWholeFile(data.rcdata[i].file, "data file", rcdata[i], &error)) return false;
    if (!ApplyTableEdits(update, data, rcdata, &error)) return false;
    outcome_.edit = FailedEdit::None;
    return true;
  }

  const ChangeRequest& request_;
  FileSystem& fs_;
  const std::u16string& destination_;
  ChangeOutcome outcome_;
};

}  // namespace

std::u16string FolderPart(const std::u16string& path, const FileSystem& fs) {
  std::u16string folder = PathUpToLastMark(path, fs);
  const std::size_t n = folder.size();
  if (n > 1 && fs.IsSeparator(folder[n - 1]) && !IsFolderMark(fs, folder[n - 2])) folder.pop_back();
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

void FileSystem::FileChanged(const std::u16string& path) { NotifyShellOfChange(path); }

Recovery FileSystem::RecoverInterruptedChange(const std::u16string& path, platform::FileHandle held,
                                              Error* error) {
  if (held == platform::kInvalidFile)
    return ::marovi::RecoverInterruptedChange(path.c_str(), error);
  return ::marovi::RecoverInterruptedChange(held, path.c_str(), error);
}

ChangeOutcome RunChangeWorkflow(const ChangeRequest& request, FileSystem& fs) {
  if (request.executable.empty()) return Outcome(ChangeStatus::NoExecutable);
  // Only a regular file counts: a folder, a FIFO or a device is refused
  // before it is opened.
  Error notAFile = CheckRegularFile(request.executable, "executable");
  if (!notAFile && !fs.FileExists(request.executable))
    notAFile = MakeError(ErrorKind::NotFound, "cannot be opened: no such executable", 0,
                         platform::ToUtf8(request.executable));
  if (notAFile) return Outcome(ChangeStatus::ExecutableMissing, FailedStep::None, notAFile);
  if (request.replaceIcon) {
    if (request.iconFile.empty() || !request.iconPreviewSet) return Outcome(ChangeStatus::NoIcon);
    if (Error error = CheckRegularFile(request.iconFile, "icon file"))
      return Outcome(ChangeStatus::Failed, FailedStep::LoadIcon, std::move(error));
  }
  if (request.manifest.file) {
    if (Error error = CheckRegularFile(*request.manifest.file, "manifest file"))
      return Outcome(ChangeStatus::Failed, FailedStep::Edit, std::move(error));
  }

  const std::u16string& destination = request.destination;
  const std::u16string folder = FolderPart(destination, fs);
  bool folderMade = true;
  std::uint32_t folderError = 0;
  if (folder.empty() || !fs.FolderExists(folder)) {
    platform::SetLastError(0);
    folderMade = CreateFolderChain(folder, fs);
    folderError = platform::LastError();  // of the creation that failed, the last call made
  }

  platform::FileKind kind = platform::FileKind::Missing;
  if (!platform::GetFileKind(destination.c_str(), kind))
    return Outcome(ChangeStatus::Failed, FailedStep::Begin,
                   SystemError("cannot be examined", destination));
  Change change(request, fs);
  if (kind == platform::FileKind::Regular) return change.InPlace();
  if (kind == platform::FileKind::Missing) {
    if (!folderMade && !fs.FolderExists(folder)) {
      platform::SetLastError(folderError);
      return Outcome(ChangeStatus::Failed, FailedStep::Begin,
                     SystemError("cannot be made as the destination's folder", folder));
    }
    return change.ToNewCopy();
  }
  Error error = CheckRegularFile(destination, "file to change");
  error.kind = ErrorKind::NotRegularFile;
  return Outcome(ChangeStatus::Failed, FailedStep::Begin, std::move(error));
}

}  // namespace marovi::app
