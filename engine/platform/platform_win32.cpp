// File services on Windows: kernel32 handles, file mappings, overlapped reads.
#include <windows.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "engine/platform/platform.h"
#include "engine/platform/platform_hooks.h"

namespace marovi::platform {
namespace {

constexpr std::uint64_t kMaxLength = 0xFFFFFFFFu;

HANDLE H(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

bool InjectedFailure(DWORD code = ERROR_WRITE_FAULT) {
  if (!HooksFailThisCall()) return false;
  ::SetLastError(code);
  return true;
}

std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return ov;
}

bool SetLengthRaw(HANDLE h, std::uint64_t length) {
  LARGE_INTEGER pos;
  pos.QuadPart = static_cast<LONGLONG>(length);
  return SetFilePointerEx(h, pos, nullptr, FILE_BEGIN) && SetEndOfFile(h);
}

// The handle of an open, as a file, when it is a disk file. A failed open
// stays kInvalidFile with its own error; a pipe, console or other device
// (which could block or could not be mapped) is closed and refused with
// ERROR_INVALID_PARAMETER.
FileHandle DiskFileOnly(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE) return kInvalidFile;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return kInvalidFile;
  }
  return reinterpret_cast<FileHandle>(h);
}

}  // namespace

FileHandle OpenFileByName(const char16_t* name, bool forWriting, bool create) {
  if (InjectedFailure()) return kInvalidFile;
  const DWORD access = forWriting ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
  const DWORD share = forWriting ? 0 : (FILE_SHARE_READ | FILE_SHARE_WRITE);
  const DWORD disposition = create ? CREATE_ALWAYS : OPEN_EXISTING;
  HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(name), access, share, nullptr,
                         disposition, 0, nullptr);
  return DiskFileOnly(h);
}

FileHandle CreateScratchFile(const std::string& name) {
  if (InjectedFailure()) return kInvalidFile;
  // Deleted when its handle closes, even when the process is ended.
  HANDLE h =
      CreateFileW(Wide(FromUtf8(name)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                  CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  return h == INVALID_HANDLE_VALUE ? kInvalidFile : reinterpret_cast<FileHandle>(h);
}

FileHandle CreateJournalFile(const char16_t* name) {
  if (InjectedFailure()) return kInvalidFile;
  // Others may read it (a test reads it as a killed process leaves it), and
  // it may be removed while open; no one else may write it.
  HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(name), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return h == INVALID_HANDLE_VALUE ? kInvalidFile : reinterpret_cast<FileHandle>(h);
}

FileHandle OpenJournalFile(const char16_t* name) {
  if (InjectedFailure()) return kInvalidFile;
  HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(name), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidFile;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      info.nNumberOfLinks != 1) {
    CloseHandle(h);
    ::SetLastError(ERROR_ACCESS_DENIED);
    return kInvalidFile;
  }
  return reinterpret_cast<FileHandle>(h);
}

bool DeleteFileByName(const char16_t* name) {
  if (InjectedFailure()) return false;
  return DeleteFileW(reinterpret_cast<const wchar_t*>(name)) != 0;
}

bool RenameFileByName(const char16_t* from, const char16_t* to) {
  if (InjectedFailure()) return false;
  // Without MOVEFILE_REPLACE_EXISTING an existing target fails the move.
  return MoveFileExW(reinterpret_cast<const wchar_t*>(from), reinterpret_cast<const wchar_t*>(to),
                     0) != 0;
}

bool GetFileIdentity(FileHandle file, FileIdentity& identity) {
  if (InjectedFailure()) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(H(file), &info)) return false;
  identity.device = info.dwVolumeSerialNumber;
  identity.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

bool FlushFile(FileHandle file) {
  if (InjectedFailure()) return false;
  return FlushFileBuffers(H(file)) != 0;
}

// NTFS keeps its folders in its own log: a file's creation or removal needs
// no flush of the folder.
bool FlushFolderOf(const char16_t*) { return !InjectedFailure(); }

void CloseFile(FileHandle file) {
  if (file != kInvalidFile && file != 0) CloseHandle(H(file));
}

bool DeleteFileByName(const std::string& name) {
  return DeleteFileW(Wide(FromUtf8(name)).c_str()) != 0;
}

bool GetFileLength(FileHandle file, std::uint64_t& length) {
  if (InjectedFailure()) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(H(file), &size)) return false;
  if (size.QuadPart < 0 || static_cast<std::uint64_t>(size.QuadPart) > kMaxLength) {
    ::SetLastError(ERROR_FILE_TOO_LARGE);
    return false;
  }
  length = static_cast<std::uint64_t>(size.QuadPart);
  return true;
}

bool SetFileLength(FileHandle file, std::uint64_t length) {
  if (InjectedFailure(ERROR_DISK_FULL)) return false;
  if (length > kMaxLength) {
    ::SetLastError(ERROR_FILE_TOO_LARGE);
    return false;
  }
  // SetEndOfFile allocates the blocks of a longer file at once, so a full
  // disk is reported here and never while the mapping is written.
  LARGE_INTEGER size;
  if (!GetFileSizeEx(H(file), &size)) return false;
  if (SetLengthRaw(H(file), length)) return true;
  const DWORD err = GetLastError();
  SetLengthRaw(H(file), static_cast<std::uint64_t>(size.QuadPart));
  ::SetLastError(err);
  return false;
}

namespace {

bool ReadRaw(HANDLE h, std::uint64_t offset, void* buffer, std::size_t count) {
  auto* out = static_cast<char*>(buffer);
  while (count > 0) {
    const DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    OVERLAPPED ov = At(offset);
    DWORD got = 0;
    if (!ReadFile(h, out, chunk, &got, &ov)) return false;
    if (got == 0) {
      ::SetLastError(ERROR_HANDLE_EOF);
      return false;
    }
    out += got;
    offset += got;
    count -= got;
  }
  return true;
}

bool WriteRaw(HANDLE h, std::uint64_t offset, const void* buffer, std::size_t count) {
  const auto* in = static_cast<const char*>(buffer);
  while (count > 0) {
    const DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    OVERLAPPED ov = At(offset);
    DWORD put = 0;
    if (!WriteFile(h, in, chunk, &put, &ov)) return false;
    if (put == 0) {
      ::SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    in += put;
    offset += put;
    count -= put;
  }
  return true;
}

}  // namespace

bool ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count) {
  if (InjectedFailure()) return false;
  return ReadRaw(H(file), offset, buffer, count);
}

bool WriteAt(FileHandle file, std::uint64_t offset, const void* buffer, std::size_t count) {
  if (InjectedFailure()) return false;
  return WriteRaw(H(file), offset, buffer, count);
}

bool CopyFileRange(FileHandle from, std::uint64_t fromOffset, FileHandle to, std::uint64_t toOffset,
                   std::uint64_t count) {
  if (InjectedFailure()) return false;
  std::vector<char> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(count < (1u << 20) ? count : (1u << 20)));
  } catch (const std::bad_alloc&) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  while (count > 0) {
    const std::size_t chunk =
        count < buffer.size() ? static_cast<std::size_t>(count) : buffer.size();
    if (!ReadRaw(H(from), fromOffset, buffer.data(), chunk) ||
        !WriteRaw(H(to), toOffset, buffer.data(), chunk))
      return false;
    fromOffset += chunk;
    toOffset += chunk;
    count -= chunk;
  }
  return true;
}

namespace detail {

bool MapFile(FileHandle file, bool writable, MappingHandle& mapping, std::uint8_t*& view,
             std::uint32_t& viewSize) {
  if (InjectedFailure(ERROR_NOT_ENOUGH_MEMORY)) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(H(file), &size)) return false;
  if (size.QuadPart <= 0 || static_cast<std::uint64_t>(size.QuadPart) > kMaxLength) {
    ::SetLastError(size.QuadPart <= 0 ? ERROR_FILE_INVALID : ERROR_FILE_TOO_LARGE);
    return false;
  }
  HANDLE m = CreateFileMappingW(H(file), nullptr, writable ? PAGE_READWRITE : PAGE_READONLY, 0, 0,
                                nullptr);
  if (m == nullptr) return false;
  void* p = MapViewOfFile(m, writable ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ, 0, 0, 0);
  if (p == nullptr) {
    const DWORD err = GetLastError();
    CloseHandle(m);
    ::SetLastError(err);
    return false;
  }
  mapping = reinterpret_cast<MappingHandle>(m);
  view = static_cast<std::uint8_t*>(p);
  viewSize = static_cast<std::uint32_t>(size.QuadPart);
  return true;
}

}  // namespace detail

void UnmapView(std::uint8_t* view, std::uint32_t) {
  if (view != nullptr) UnmapViewOfFile(view);
}

void CloseMapping(MappingHandle mapping) {
  if (mapping != 0) CloseHandle(reinterpret_cast<HANDLE>(mapping));
}

std::string TempDirectory() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH) return std::string();
  std::string dir = ToUtf8(std::u16string(buffer, buffer + n));
  if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
  return dir;
}

std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

std::uint32_t LastError() { return GetLastError(); }
void SetLastError(std::uint32_t code) { ::SetLastError(code); }

std::uint32_t ErrorFileNotFound() { return ERROR_FILE_NOT_FOUND; }
std::uint32_t ErrorSharingViolation() { return ERROR_SHARING_VIOLATION; }
std::uint32_t ErrorBadFormat() { return ERROR_BAD_EXE_FORMAT; }
std::uint32_t ErrorDiskFull() { return ERROR_DISK_FULL; }
std::uint32_t ErrorFileExists() { return ERROR_FILE_EXISTS; }

ErrorKind ClassifyError(std::uint32_t code) {
  switch (code) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ErrorKind::DiskFull;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ErrorKind::NotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: return ErrorKind::AccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return ErrorKind::Busy;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ErrorKind::OutOfMemory;
    case ERROR_BAD_EXE_FORMAT: return ErrorKind::NotAnImage;
    default: return ErrorKind::Io;
  }
}

std::string NarrowForOrdering(const std::u16string& name) {
  const auto* wide = reinterpret_cast<const wchar_t*>(name.c_str());
  const int n = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(name.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(name.size()), out.data(), n, nullptr,
                        nullptr);
  return out;
}

// --- Files written whole, and the locks of one change --------------------------

namespace {

const wchar_t* W(const char16_t* name) { return reinterpret_cast<const wchar_t*>(name); }

}  // namespace

bool GetFileKind(const char16_t* name, FileKind& kind) {
  const DWORD attributes = GetFileAttributesW(W(name));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD err = GetLastError();
    if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND) return false;
    kind = FileKind::Missing;
    return true;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    kind = FileKind::Directory;
    return true;
  }
  // A handle without access to the data tells a disk file from a device or a
  // pipe, and follows a link to its end.
  HANDLE h = CreateFileW(W(name), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND)) {
      kind = FileKind::DanglingLink;
      return true;
    }
    return false;
  }
  switch (GetFileType(h)) {
    case FILE_TYPE_DISK: {
      BY_HANDLE_FILE_INFORMATION info{};
      kind = GetFileInformationByHandle(h, &info) &&
                     (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                 ? FileKind::Directory
                 : FileKind::Regular;
      break;
    }
    case FILE_TYPE_CHAR: kind = FileKind::Device; break;
    case FILE_TYPE_PIPE: kind = FileKind::Fifo; break;
    default: kind = FileKind::Other; break;
  }
  CloseHandle(h);
  return true;
}

FileHandle OpenFileShared(const char16_t* name) {
  if (InjectedFailure()) return kInvalidFile;
  // Readers share; a writer (share mode 0) and this exclude each other.
  HANDLE h =
      CreateFileW(W(name), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  return DiskFileOnly(h);
}

FileHandle OpenTemporaryFile(const char16_t* name) {
  if (InjectedFailure()) return kInvalidFile;
  // No sharing: a second run fails to open it while this one holds it. DELETE
  // access lets the holder rename or remove it without letting go of it.
  HANDLE h = CreateFileW(W(name), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidFile;
  const bool disk = GetFileType(h) == FILE_TYPE_DISK;
  if (!disk || !SetLengthRaw(h, 0)) {
    const DWORD err = disk ? GetLastError() : ERROR_INVALID_PARAMETER;
    CloseHandle(h);
    ::SetLastError(err);
    return kInvalidFile;
  }
  return reinterpret_cast<FileHandle>(h);
}

FileHandle DuplicateFile(FileHandle file) {
  if (InjectedFailure(ERROR_TOO_MANY_OPEN_FILES)) return kInvalidFile;
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), H(file), GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    return kInvalidFile;
  return reinterpret_cast<FileHandle>(copy);
}

bool CopyPermissions(FileHandle, FileHandle) {
  if (InjectedFailure(ERROR_ACCESS_DENIED)) return false;
  return true;
}

bool RenameNoReplace(FileHandle held, const char16_t*, const char16_t* to, bool sync) {
  if (InjectedFailure()) return false;
  // The rename goes through the handle, so that the file is never let go of
  // between its last write and its new name.
  const DWORD n = GetFullPathNameW(W(to), 0, nullptr, nullptr);
  if (n == 0) return false;
  std::vector<wchar_t> full(n);
  const DWORD length = GetFullPathNameW(W(to), n, full.data(), nullptr);
  if (length == 0 || length >= n) return false;
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = length * sizeof(wchar_t);
  std::copy_n(full.data(), length, info->FileName);
  if (!SetFileInformationByHandle(H(held), FileRenameInfo, info, static_cast<DWORD>(buffer.size())))
    return false;
  if (sync) FlushFileBuffers(H(held));  // renamed already; the data was flushed before
  return true;
}

void DeleteHeldFile(FileHandle held, const char16_t*) {
  const DWORD saved = GetLastError();
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = TRUE;
  SetFileInformationByHandle(H(held), FileDispositionInfo, &info, sizeof info);
  ::SetLastError(saved);
}

std::uint32_t ErrorAlreadyExists() { return ERROR_ALREADY_EXISTS; }

std::string SystemErrorText(std::uint32_t code) {
  wchar_t buffer[512] = {};
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     buffer, static_cast<DWORD>(sizeof buffer / sizeof buffer[0]), nullptr);
  std::string text = ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer),
                                                static_cast<std::size_t>(length)));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  if (text.empty()) text = "system error";
  return text + " (error " + std::to_string(code) + ")";
}
// --- end of files written whole ------------------------------------------------

}  // namespace marovi::platform
