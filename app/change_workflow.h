// The change-icon workflow shared by the window and the command line: the
// checks, the destination's folders, the backup or copy, then one update that
// replaces the icon group.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "engine/update.h"

namespace marovi::app {

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
  virtual bool FileExists(const std::u16string& path) = 0;    // a folder does not count
  virtual bool FolderExists(const std::u16string& path) = 0;
  virtual bool CreateFolder(const std::u16string& path) = 0;  // one level
  // Copies, refusing to overwrite an existing destination.
  virtual bool CopyFileNoOverwrite(const std::u16string& from, const std::u16string& to) = 0;
  virtual bool IsSeparator(char16_t c) const = 0;
  virtual bool IsDriveSeparator(char16_t c) const = 0;  // ':' on Windows, none on POSIX
};

// The file system of the platform the program runs on.
FileSystem& NativeFileSystem();

struct ChangeRequest {
  std::u16string executable;   // the executable field
  std::u16string iconFile;     // the icon file chosen last
  bool iconPreviewSet = false; // the icon file's large preview holds a picture
  std::u16string destination;  // the destination field, used unchanged
  bool backup = true;          // the backup box
  ResourceName group = ResourceName(std::u16string(u"MAINICON"));
  std::uint16_t language = 0;
};

enum class ChangeStatus {
  NoExecutable,       // check 1
  ExecutableMissing,  // check 2
  NoIcon,             // check 3
  Failed,             // an editor call failed or raised an error
  Done,
};

// Which step of a failed change failed, and why, for a terminal user.
enum class FailedStep { None, Begin, LoadIcon, Commit };

struct ChangeOutcome {
  ChangeStatus status = ChangeStatus::Failed;
  FailedStep step = FailedStep::None;
  std::uint32_t lastError = 0;  // the platform's last-error value after a failed step
  std::string detail;           // UTF-8 text of a raised error, if any
};

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
ChangeOutcome RunChangeWorkflow(const ChangeRequest& request, FileSystem& fs);

}  // namespace marovi::app
