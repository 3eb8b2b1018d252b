// The file services of the operating system that the front ends use beside
// the engine: opening, reading and writing files, the locks of one change,
// copies written whole, and the last-error value with its text. The engine's
// own services (mappings, scratch and journal files) are not here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "engine/error.h"

namespace marovi::platform {

// A file: a descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kInvalidFile = -1;

// Opens a file named in UTF-16. forWriting: read and write access and an
// exclusive lock against every other opener (share mode 0 on Windows,
// flock(LOCK_EX|LOCK_NB) on POSIX); otherwise read access, shared.
// create: create or truncate. Returns kInvalidFile with LastError() set.
FileHandle OpenFileByName(const char16_t* name, bool forWriting, bool create);

// Flushes what was written to the file to the disk.
bool FlushFile(FileHandle file);

void CloseFile(FileHandle file);
bool DeleteFileByName(const std::string& name);  // best effort

// Length of an open file. False when it cannot be read or is 4 GiB or more.
bool GetFileLength(FileHandle file, std::uint64_t& length);

// Reads or writes exactly count bytes at offset; false on a short transfer.
bool ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count);
bool WriteAt(FileHandle file, std::uint64_t offset, const void* buffer, std::size_t count);

// The platform's last-error value: GetLastError on Windows, errno on POSIX.
std::uint32_t LastError();
void SetLastError(std::uint32_t code);

// The kind of failure a last-error value stands for (Io for any other).
ErrorKind ClassifyError(std::uint32_t code);

// Files written whole, and the locks of one change.
// What a name refers to, links followed.
enum class FileKind { Missing, Regular, Directory, Fifo, Socket, Device, DanglingLink, Other };
// False, with LastError() set, when that cannot be told: a folder on the
// path cannot be searched, a part of the path is not a folder, the name is
// too long. Nothing is opened for reading data.
bool GetFileKind(const char16_t* name, FileKind& kind);

// Opens an existing regular file for reading and holds it shared: while it is
// open, no one can hold it for writing (OpenFileByName with forWriting), and
// while someone does, this fails at once with ErrorSharingViolation().
FileHandle OpenFileShared(const char16_t* name);

// Opens the name under which a new file is written before it is renamed into
// place, for reading and writing, held exclusively and readable by its owner
// only (0600 on POSIX; no sharing on Windows). It is created, or, when a run
// that was killed left it behind and no one holds it, taken over and emptied.
// One that another run holds fails at once (ErrorSharingViolation()); on
// POSIX a link, a file of another user or one with other names is refused.
// The handle may be renamed (RenameNoReplace) and deleted (DeleteHeldFile)
// while it is open.
FileHandle OpenTemporaryFile(const char16_t* name);

// A second handle of an open file, holding the same lock: the file stays held
// until both are closed.
FileHandle DuplicateFile(FileHandle file);

// Gives a copy the permission bits of its source, with write permission for
// its owner added, so that the copy can be changed whatever the source's mode.
// (On Windows a new file carries no read-only attribute; nothing is done.)
bool CopyPermissions(FileHandle from, FileHandle to);

// Renames from, open as held (a handle of OpenTemporaryFile), to `to`, never
// replacing a file there (LastError() is then ErrorAlreadyExists()). With
// sync, the new name is flushed to the disk as well, as far as the system
// allows (the folder on POSIX, the file on Windows).
bool RenameNoReplace(FileHandle held, const char16_t* from, const char16_t* to, bool sync);

// Removes name, open as held (a handle of OpenTemporaryFile); on Windows it
// goes when the last handle is closed. Best effort.
void DeleteHeldFile(FileHandle held, const char16_t* name);

std::uint32_t ErrorAlreadyExists();  // ERROR_ALREADY_EXISTS / EEXIST

// The system's text for a last-error value, with the value: "Permission
// denied (errno 13)", "Access is denied. (error 5)".
std::string SystemErrorText(std::uint32_t code);

// UTF-16 <-> UTF-8, for messages and for names of the platform's own form.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

}  // namespace marovi::platform

namespace marovi {

// An open file, closed with its owner.
class OwnedFile {
 public:
  OwnedFile() noexcept = default;
  explicit OwnedFile(platform::FileHandle handle) noexcept : handle_(handle) {}
  OwnedFile(OwnedFile&& other) noexcept : handle_(other.release()) {}
  OwnedFile& operator=(OwnedFile&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.release();
    }
    return *this;
  }
  OwnedFile(const OwnedFile&) = delete;
  OwnedFile& operator=(const OwnedFile&) = delete;
  ~OwnedFile() { Close(); }

  platform::FileHandle get() const noexcept { return handle_; }
  bool valid() const noexcept { return handle_ != platform::kInvalidFile; }
  explicit operator bool() const noexcept { return valid(); }
  // Gives the handle up without closing it.
  platform::FileHandle release() noexcept { return std::exchange(handle_, platform::kInvalidFile); }
  void Close() noexcept {
    if (valid()) platform::CloseFile(release());
  }

 private:
  platform::FileHandle handle_ = platform::kInvalidFile;
};

}  // namespace marovi
