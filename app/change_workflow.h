// The change-icon workflow shared by the window and the command line: the
// checks, the destination's folders, the backup or copy, then one update that
// replaces the icon group and makes the other edits asked for (version
// information, manifest), so that the file is rebuilt once.
//
// Nothing is lost on the way. The destination is held from before its backup
// to the end of the change (the source, shared, while it is copied), so a
// second run on the same file fails at once. Backups and copies are written
// under a temporary name and renamed into place when whole. A copy to a new
// destination is changed under its temporary name and put in place only once
// the change has succeeded, so a failed run leaves no destination behind.
//
// The one header of the application layer that the command line includes:
// the workflow, and what a front end needs around it (the texts of its
// errors, the check that a name is a regular file, a held file).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "icons/icons.h"

namespace marovi::app {

// An open file, closed when it goes out of scope.
using HeldFile = OwnedFile;

// None when path names a regular file (links followed). Otherwise why not,
// before anything is opened: "cannot be opened: no such executable", "is a
// FIFO (named pipe), not an icon file", or the system's reason that the name
// cannot be looked at. role names what the file should have been, with its
// article ("an executable").
Error CheckRegularFile(const std::u16string& path, const std::string& role);

// Texts for a terminal, made once from the one error type: what went wrong
// and with which file, and what a run put right before its own work. English,
// UTF-8, one line each; the window keeps its own texts.
//
// "FILE: WHAT[ (at offset 0x…)][: the system's reason]", e.g.
// "a.exe.bak: cannot be written: No space left on device (errno 28)".
std::string ErrorText(const Error& error);

// The line for an interrupted change put right (Undone or Removed), or for a
// journal that changes nothing left behind (LeftBehind); empty for the other
// results.
std::string RecoveryText(const std::string& file, Recovery recovery);

// The temporary name beside path under which its copy is written
// (NAME.marovi-part), renamed to path once whole.
std::u16string PartName(const std::u16string& path);

// What a run that was killed while it wrote a copy to target left: the
// temporary copy (PartName(target)) and the undo journal of its change.
enum class Leftover {
  None,     // nothing there
  Removed,  // they were removed
  InUse,    // another run is writing that copy now: left alone
  NotOurs,  // something that is no such copy, or no journal of ours: left alone
};
// Removes them, when they are what a run of this program left: a copy being
// made begins as an image does ("MZ"), or has not got that far; a journal
// is one of this program's. error says why for NotOurs, or why a removal
// failed.
Leftover RemoveLeftoverCopy(const std::u16string& target, Error* error);

// The edits of a change besides the icon group: the version information and
// the application manifest, made inside the same update as the icon, so that
// the file is rebuilt once for all of them.
struct VersionEdits {
  std::optional<VersionNumber> fileVersion;
  std::optional<VersionNumber> productVersion;
  // The FileVersion and ProductVersion strings as given ("1.2.3-beta"); the
  // number formatted ("1.2.3.0") when absent.
  std::optional<std::u16string> fileVersionText;
  std::optional<std::u16string> productVersionText;
  // Set in order, keys matched without regard to ASCII case; an empty value
  // removes the key, unless keepEmpty holds true at its index: it is then
  // set, present and empty.
  std::vector<VersionString> strings;
  std::vector<bool> keepEmpty;
  // Only the version information of this language; all of it without.
  std::optional<std::uint16_t> language;

  bool Any() const { return fileVersion || productVersion || !strings.empty(); }
};

// Single strings of the string tables (type 6), set by id in the language
// given, or else the lowest language that has a string table (US English in
// an image without any); and raw data resources (type 10) replaced by id in
// every language that has them (an id the image lacks is refused).
struct ResourceStringEdit {
  std::uint16_t id = 0;
  std::u16string value;
};
struct RcDataEdit {
  std::uint16_t id = 0;
  std::u16string file;  // its bytes, whole, become the resource
};
struct TableEdits {
  std::vector<ResourceStringEdit> strings;  // in order; a later one of an id wins
  std::optional<std::uint16_t> language;
  std::vector<RcDataEdit> rcdata;

  bool Any() const { return !strings.empty() || !rcdata.empty(); }
};

// Any resource by type and name: set to the bytes of a file, or deleted.
// Without a language, the one language the resource has (refused when it
// has several), or for a new one US English.
struct ResourceItemEdit {
  ResourceSpec type;
  ResourceSpec name;
  std::optional<std::uint16_t> language;
  std::optional<std::u16string> file;  // set from its bytes; deleted without
};
// Every resource of a compiled resource file (.res), or of another image
// (fromImage; only those of types when any are named), added or replaced.
struct ResourceImport {
  std::u16string file;
  bool fromImage = false;
  std::vector<ResourceSpec> types;
};
struct ResourceEdits {
  std::vector<ResourceImport> imports;  // first, in order
  std::vector<ResourceItemEdit> items;  // then these, in order

  bool Any() const { return !imports.empty() || !items.empty(); }
};

struct ManifestEdits {
  std::optional<std::u16string> file;            // a manifest file that replaces the manifest
  std::optional<ExecutionLevel> executionLevel;  // or the level set in the manifest there

  bool Any() const { return file || executionLevel; }
};

// An error raised by the application; its text (UTF-16) is shown to the user.
class AppError : public std::runtime_error {
 public:
  explicit AppError(std::u16string text);
  const std::u16string& text() const { return text_; }

 private:
  std::u16string text_;
};

// What the workflow needs of the file system. Paths are UTF-16.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual bool FileExists(const std::u16string& path) = 0;  // a regular file only
  virtual bool FolderExists(const std::u16string& path) = 0;
  virtual bool CreateFolder(const std::u16string& path) = 0;  // one level
  // Copies whole or not at all, refusing to overwrite an existing destination.
  virtual bool CopyFileNoOverwrite(const std::u16string& from, const std::u16string& to) = 0;
  virtual bool IsSeparator(char16_t c) const = 0;
  virtual bool IsDriveSeparator(char16_t c) const = 0;  // ':' on Windows, none on POSIX
  // Puts back what a change of path that was cut short left (the engine's
  // RecoverInterruptedChange); held is path open for writing and locked, or
  // kInvalidFile to have it opened when there is something to undo.
  virtual Recovery RecoverInterruptedChange(const std::u16string& path, platform::FileHandle held,
                                            Error* error);
  // A change of path is done: the shell is told (NotifyShellOfChange), so
  // that it draws the file's icon anew.
  virtual void FileChanged(const std::u16string& path);
};

// Tells the shell that the file at path changed, so that it shows the file's
// new icon (SHChangeNotify on Windows). Nothing on other systems.
void NotifyShellOfChange(const std::u16string& path);

// The file system of the platform the program runs on.
FileSystem& NativeFileSystem();

struct ChangeRequest {
  std::u16string executable;    // the executable field
  std::u16string iconFile;      // the icon file chosen last
  bool iconPreviewSet = false;  // the icon file's large preview holds a picture
  std::u16string destination;   // the destination field, used unchanged
  bool backup = true;           // the backup box
  ResourceName group = ResourceName(std::u16string(u"MAINICON"));
  std::uint16_t language = 0;
  // Replace the group the shell shows (ShellIconGroup), keeping its name and
  // language; group and language then apply only to an image without any
  // icon group.
  bool shellGroup = false;
  // Whether the icon group is replaced. Without it no icon file is needed:
  // the change makes only the edits below.
  bool replaceIcon = true;
  VersionEdits version;
  ManifestEdits manifest;
  TableEdits tables;
  // Made before all of the above, so that they win over what an import
  // brings.
  ResourceEdits resources;
  // The undo journal and flushing (sync also flushes backups and copies),
  // and whether the signature goes.
  CommitOptions options;
};

enum class ChangeStatus {
  NoExecutable,       // check 1
  ExecutableMissing,  // check 2
  NoIcon,             // check 3
  Failed,             // an editor call failed or raised an error
  Done,
};

// Which step of a failed change failed.
enum class FailedStep {
  None,
  Begin,     // the destination could not be held, recovered or opened for the change
  Backup,    // its backup could not be made; the destination was not touched
  Copy,      // the executable could not be copied; no destination was made
  LoadIcon,  // the icon file was refused or its images could not be stored
  Edit,      // the version information or the manifest was refused or could not be stored
  Commit,    // the new resources could not be written (or the copy put in place)
};

// A change of a file that was cut short before, put right by this run.
struct RecoveryNotice {
  std::u16string file;
  Recovery recovery = Recovery::NothingToDo;  // Undone, Removed or LeftBehind
};

// Which of the edits of FailedStep::Edit failed.
enum class FailedEdit { None, Version, Manifest, Strings, RcData, Resources };

struct ChangeOutcome {
  ChangeStatus status = ChangeStatus::Failed;
  FailedStep step = FailedStep::None;
  FailedEdit edit = FailedEdit::None;
  Error error;  // why, for every status but Done (none for NoExecutable and NoIcon)
  std::vector<RecoveryNotice> recovered;  // in the order they happened, before the change
  // Once the icon file's images are in the update: the group replaced or
  // added, and the group the shell shows before and after the change (none
  // when the image has no icon group).
  std::optional<IconGroupKey> changedGroup;
  std::optional<IconGroupKey> shownBefore;
  std::optional<IconGroupKey> shownAfter;
  // The destination carried a signature (a certificate table) when the
  // update began. Unless options.stripSignature removed it, it is still
  // there and no longer matches the changed file.
  bool wasSigned = false;
  // Done, but the change would have written back what the file holds
  // already: the file was left as it was (not rewritten, no backup made, the
  // shell not told). A new destination is still the executable's copy.
  bool unchanged = false;
  // What the commit found behind the image (installers, archives, data of
  // unknown kind) and kept working, or left alone when it was broken.
  std::vector<PayloadFinding> payloads;
};

// The window's status text for a change that is done: kChangeDone, then for
// each payload found behind the image what it was and that it was kept
// working (for NSIS also that an uninstaller it writes needs /NCRC, and that
// the icon belongs in the installer's script), left alone, or moved.
std::u16string DoneStatusText(const ChangeOutcome& outcome);

// The destination's folder part: the text up to and including its last
// separator or drive separator, with a final separator dropped unless it is
// the first character or follows a separator or a drive separator. Empty when
// the path has neither.
std::u16string FolderPart(const std::u16string& path, const FileSystem& fs);

// Creates the folder chain ending in folder, outermost folder first. A folder
// shorter than three characters, an existing one and one that is its own
// parent count as present. Throws AppError(kCannotCreateFolder) when it comes
// to an empty name (an empty or bare relative folder). False when a creation
// failed.
bool CreateFolderChain(const std::u16string& folder, FileSystem& fs);

// Runs the checks and the change. Throws AppError(kCannotCreateFolder) when the
// destination's folder part is empty or cannot be reached (before any copy).
// The executable, the icon file, the manifest file and an existing
// destination must be regular files; the others are refused before anything
// is opened. The icon file may be a square PNG image (ReadIconOrPngFile). A change that is
// done is announced with fs.FileChanged(destination).
ChangeOutcome RunChangeWorkflow(const ChangeRequest& request, FileSystem& fs);

}  // namespace marovi::app
