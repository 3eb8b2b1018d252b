// File services of the operating system, the only place where the engine
// reaches the system. Two implementations: platform_posix.cpp (file
// descriptors, flock, mmap, pread/pwrite) and platform_win32.cpp (kernel32).
#pragma once

#include <cstdint>
#include <string>

#include "engine/error.h"

namespace marovi::platform {

// A file: a descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kInvalidFile = -1;

// A file mapping: the mapping object on Windows; on POSIX nothing needs to
// be held beside the view, and the handle is 1 while a mapping exists.
using MappingHandle = std::intptr_t;

// Opens a file named in UTF-16. forWriting: read and write access and an
// exclusive lock against every other opener (share mode 0 on Windows,
// flock(LOCK_EX|LOCK_NB) on POSIX); otherwise read access, shared.
// create: create or truncate. Returns kInvalidFile with LastError() set.
FileHandle OpenFileByName(const char16_t* name, bool forWriting, bool create);

// Creates (or truncates) a private scratch file for reading and writing.
// On POSIX it is created with mode 0600 and never through a symbolic link; a
// name that exists as a link or belongs to another user is refused. The file
// goes away with its handle, even when the process is killed: on POSIX its
// name is removed at once, on Windows it is deleted on close.
FileHandle CreateScratchFile(const std::string& name);

// Undo journals beside an image, named in UTF-16 like the image. Create makes
// a new file for reading and writing that only its owner can read, and fails
// when the name exists (never following a link). Open takes an existing one
// for reading and writing; kInvalidFile with ErrorFileNotFound() when there
// is none, and a refusal for anything but an ordinary file of this user with
// one name.
FileHandle CreateJournalFile(const char16_t* name);
FileHandle OpenJournalFile(const char16_t* name);
bool DeleteFileByName(const char16_t* name);

// Flushes what was written to the file to the disk.
bool FlushFile(FileHandle file);
// Makes a file's creation or removal in the folder that holds name durable
// (the folder itself is flushed where the system needs that).
bool FlushFolderOf(const char16_t* name);

void CloseFile(FileHandle file);
bool DeleteFileByName(const std::string& name);  // best effort

// Length of an open file. False when it cannot be read or is 4 GiB or more.
bool GetFileLength(FileHandle file, std::uint64_t& length);

// Sets the length of an open file. Growing reserves the disk space first, so
// that a full disk is a reported failure and never a fault in a mapping.
bool SetFileLength(FileHandle file, std::uint64_t length);

// Reads or writes exactly count bytes at offset; false on a short transfer.
bool ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count);
bool WriteAt(FileHandle file, std::uint64_t offset, const void* buffer, std::size_t count);

// Copies count bytes from one file to another (or to a range of the same file
// that does not overlap the source) without passing them through the caller's
// memory where the system allows: copy_file_range on POSIX, a bounded buffer
// on Windows. False on a short copy, which may have written part of the
// target range.
bool CopyFileRange(FileHandle from, std::uint64_t fromOffset, FileHandle to,
                   std::uint64_t toOffset, std::uint64_t count);

// Maps the whole file for reading and writing. Fails for an empty file.
bool MapWholeFile(FileHandle file, MappingHandle& mapping, std::uint8_t*& view,
                  std::uint32_t& viewSize);
// Drops a view (writes reach the file) and the mapping. Either may be empty.
void UnmapView(std::uint8_t* view, std::uint32_t viewSize);
void CloseMapping(MappingHandle mapping);

// The temporary directory, ending in the platform's separator; empty when
// there is none (names are then relative to the current directory).
std::string TempDirectory();
std::uint32_t CurrentProcessId();

// The platform's last-error value: GetLastError on Windows, errno on POSIX.
std::uint32_t LastError();
void SetLastError(std::uint32_t code);

// Well-known last-error values of this platform.
std::uint32_t ErrorFileNotFound();     // 2 on both
std::uint32_t ErrorSharingViolation(); // ERROR_SHARING_VIOLATION / EWOULDBLOCK
std::uint32_t ErrorBadFormat();        // ERROR_BAD_EXE_FORMAT / ENOEXEC
std::uint32_t ErrorDiskFull();         // ERROR_DISK_FULL / ENOSPC
std::uint32_t ErrorFileExists();       // ERROR_FILE_EXISTS / EEXIST
// The kind of failure a last-error value stands for (Io for any other).
ErrorKind ClassifyError(std::uint32_t code);

// --- Files written whole, and the locks of one change --------------------------
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
// --- end of files written whole ------------------------------------------------

// The 8-bit form of a name by which named resource entries are ordered: the
// system code page on Windows, UTF-8 elsewhere.
std::string NarrowForOrdering(const std::u16string& name);

// UTF-16 <-> UTF-8, for messages and for names of the platform's own form.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

}  // namespace marovi::platform
