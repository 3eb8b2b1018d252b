// File services of the operating system, the only place where the engine
// reaches the system. Two implementations: platform_posix.cpp (file
// descriptors, flock, mmap, pread/pwrite) and platform_win32.cpp (kernel32).
// Those the front ends use too are declared in file_services.h; these are
// the engine's own.
#pragma once

#include <cstdint>
#include <string>

#include "engine/file_services.h"

namespace marovi::platform {

// A file mapping: the mapping object on Windows; on POSIX nothing needs to
// be held beside the view, and the handle is 1 while a mapping exists.
using MappingHandle = std::intptr_t;

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
// Gives a closed file a new name in the same folder, never replacing a file
// there (LastError() is then ErrorFileExists() or ErrorAlreadyExists()).
bool RenameFileByName(const char16_t* from, const char16_t* to);

// What tells one file from every other while it exists: the device and the
// inode on POSIX, the volume's serial number and the file index on Windows.
// A file written anew under the same name may keep it (an overwrite) or not.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};
bool GetFileIdentity(FileHandle file, FileIdentity& identity);

// Makes a file's creation or removal in the folder that holds name durable
// (the folder itself is flushed where the system needs that).
bool FlushFolderOf(const char16_t* name);

// Sets the length of an open file. Growing reserves the disk space first, so
// that a full disk is a reported failure and never a fault in a mapping.
bool SetFileLength(FileHandle file, std::uint64_t length);

// The block size of the file system that holds file, when it can insert
// and remove ranges of whole blocks in the middle of a file and a crash in
// the middle of one leaves a state that an undo journal can tell (ext4 and
// XFS, see Journal::UndoShift); 0 otherwise, or when the size cannot be
// learnt (Windows, systems other than Linux, other file systems).
std::uint32_t RangeBlockSize(FileHandle file);

// The first hole of file at or after from: [begin, end), or begin == end ==
// the file's length when there is none. False when the system cannot tell.
// A system without holes reports none.
bool NextHole(FileHandle file, std::uint64_t from, std::uint64_t& begin, std::uint64_t& end);

// Inserts count bytes (count > 0) at offset, moving everything from offset
// on up by count without copying it, or removes -count bytes there (count <
// 0), moving what lies behind them down. Offset and count are multiples of
// RangeBlockSize, and offset (plus the bytes removed) lies before the end of
// the file. Inserted bytes read as zeros and have their disk space reserved.
// Unsupported, with the file unchanged, where the file system or the system
// refuses the operation; the tail must then be copied.
enum class RangeResult { Done, Unsupported, Failed };
RangeResult ShiftFileRange(FileHandle file, std::uint64_t offset, std::int64_t count);

// Copies count bytes from one file to another (or to a range of the same file
// that does not overlap the source) without passing them through the caller's
// memory where the system allows: copy_file_range on POSIX, a bounded buffer
// on Windows. False on a short copy, which may have written part of the
// target range.
bool CopyFileRange(FileHandle from, std::uint64_t fromOffset, FileHandle to, std::uint64_t toOffset,
                   std::uint64_t count);

// Maps the whole file for reading and writing. Fails for an empty file.
bool MapWholeFile(FileHandle file, MappingHandle& mapping, std::uint8_t*& view,
                  std::uint32_t& viewSize);
// Maps the whole file for reading only (the file may be open for reading
// only); the view must not be written. Fails for an empty file.
bool MapWholeFileForReading(FileHandle file, MappingHandle& mapping, std::uint8_t*& view,
                            std::uint32_t& viewSize);
namespace detail {
// The platform's own mapping of the whole file, which both of the above use;
// it sets the outputs only when it succeeds.
bool MapFile(FileHandle file, bool writable, MappingHandle& mapping, std::uint8_t*& view,
             std::uint32_t& viewSize);
}  // namespace detail
// Drops a view (writes reach the file) and the mapping. Either may be empty.
void UnmapView(std::uint8_t* view, std::uint32_t viewSize);
void CloseMapping(MappingHandle mapping);

// The temporary directory, ending in the platform's separator; empty when
// there is none (names are then relative to the current directory).
std::string TempDirectory();
std::uint32_t CurrentProcessId();

// The failure of the platform call that has just failed, as the engine
// reports it: LastError() read once, here, and classified, with what failed
// and the file it concerns.
Error LastCallError(std::string detail, std::string file = std::string());

// Well-known last-error values of this platform.
std::uint32_t ErrorFileNotFound();      // 2 on both
std::uint32_t ErrorSharingViolation();  // ERROR_SHARING_VIOLATION / EWOULDBLOCK
std::uint32_t ErrorBadFormat();         // ERROR_BAD_EXE_FORMAT / ENOEXEC
std::uint32_t ErrorDiskFull();          // ERROR_DISK_FULL / ENOSPC
std::uint32_t ErrorFileExists();        // ERROR_FILE_EXISTS / EEXIST

// The 8-bit form of a name by which named resource entries are ordered: the
// system code page on Windows, UTF-8 elsewhere.
std::string NarrowForOrdering(const std::u16string& name);

}  // namespace marovi::platform
