// File services on POSIX systems: descriptors, flock, mmap, pread/pwrite.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "engine/platform/platform.h"
#include "engine/platform/platform_hooks.h"

namespace marovi::platform {
namespace {

constexpr std::uint64_t kMaxLength = 0xFFFFFFFFu;

int Fd(FileHandle file) { return static_cast<int>(file); }

bool InjectedFailure(int code = EIO) {
  if (!HooksFailThisCall()) return false;
  errno = code;
  return true;
}

// Refuses anything but a regular file: a FIFO or device must not block or be mapped.
bool IsRegular(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  return true;
}

void CloseKeepingErrno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

}  // namespace

FileHandle OpenFileByName(const char16_t* name, bool forWriting, bool create) {
  if (InjectedFailure()) return kInvalidFile;
  const std::string path = ToUtf8(name);
  int flags = (forWriting ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (create) flags |= O_CREAT;
  const int fd = open(path.c_str(), flags, 0666);
  if (fd < 0) return kInvalidFile;
  if (!IsRegular(fd)) {
    CloseKeepingErrno(fd);
    return kInvalidFile;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // An image opened for writing is held against every other writer; the
  // refusal leaves EWOULDBLOCK as the reason.
  if (forWriting && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    CloseKeepingErrno(fd);
    return kInvalidFile;
  }
  // Truncate only once the lock is held, never a file someone else holds.
  if (create && ftruncate(fd, 0) != 0) {
    CloseKeepingErrno(fd);
    return kInvalidFile;
  }
  return fd;
}

FileHandle CreateScratchFile(const std::string& name) {
  if (InjectedFailure()) return kInvalidFile;
  // The temporary directory is shared with other users and the name is
  // predictable: create it privately, never through a link, and take an
  // existing file only when it is an ordinary file of ours with one name.
  int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) {
    fd = open(name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return kInvalidFile;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
      close(fd);
      errno = EPERM;
      return kInvalidFile;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (ftruncate(fd, 0) != 0) {
      CloseKeepingErrno(fd);
      return kInvalidFile;
    }
  }
  if (fd < 0) return kInvalidFile;
  // Nothing may outlive the process, not even a process that is killed.
  unlink(name.c_str());
  return fd;
}

FileHandle CreateJournalFile(const char16_t* name) {
  if (InjectedFailure()) return kInvalidFile;
  const int fd =
      open(ToUtf8(name).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  return fd < 0 ? kInvalidFile : fd;
}

FileHandle OpenJournalFile(const char16_t* name) {
  if (InjectedFailure()) return kInvalidFile;
  const int fd = open(ToUtf8(name).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ELOOP ? (errno = EPERM, kInvalidFile) : kInvalidFile;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
    close(fd);
    errno = EPERM;
    return kInvalidFile;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool DeleteFileByName(const char16_t* name) {
  if (InjectedFailure()) return false;
  return unlink(ToUtf8(name).c_str()) == 0;
}

bool RenameFileByName(const char16_t* from, const char16_t* to) {
  if (InjectedFailure()) return false;
  const std::string source = ToUtf8(from);
  const std::string target = ToUtf8(to);
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
  // A file system without that flag: a second name fails where one exists.
  if (link(source.c_str(), target.c_str()) != 0) return false;
  unlink(source.c_str());
  return true;
}

bool GetFileIdentity(FileHandle file, FileIdentity& identity) {
  if (InjectedFailure()) return false;
  struct stat st {};
  if (fstat(Fd(file), &st) != 0) return false;
  identity.device = static_cast<std::uint64_t>(st.st_dev);
  identity.index = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

bool FlushFile(FileHandle file) {
  if (InjectedFailure(EIO)) return false;
  return fsync(Fd(file)) == 0;
}

bool FlushFolderOf(const char16_t* name) {
  if (InjectedFailure(EIO)) return false;
  std::string folder = ToUtf8(name);
  const std::size_t slash = folder.rfind('/');
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  CloseKeepingErrno(fd);
  return ok;
}

void CloseFile(FileHandle file) {
  if (file != kInvalidFile && file != 0) close(Fd(file));
}

bool DeleteFileByName(const std::string& name) { return unlink(name.c_str()) == 0; }

bool GetFileLength(FileHandle file, std::uint64_t& length) {
  if (InjectedFailure()) return false;
  struct stat st {};
  if (fstat(Fd(file), &st) != 0) return false;
  if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > kMaxLength) {
    errno = EFBIG;
    return false;
  }
  length = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool SetFileLength(FileHandle file, std::uint64_t length) {
  if (InjectedFailure(ENOSPC)) return false;
  if (length > kMaxLength) {
    errno = EFBIG;
    return false;
  }
  struct stat st {};
  if (fstat(Fd(file), &st) != 0) return false;
  const auto current = static_cast<std::uint64_t>(st.st_size);
  if (length > current) {
    // Reserve the blocks first: a full disk must be an error here, not a
    // SIGBUS when the mapping is written later.
    const int rc = posix_fallocate(Fd(file), static_cast<off_t>(current),
                                   static_cast<off_t>(length - current));
    if (rc != 0) {
      ftruncate(Fd(file), static_cast<off_t>(current));
      errno = rc;
      return false;
    }
  }
  return ftruncate(Fd(file), static_cast<off_t>(length)) == 0;
}

namespace {

bool ReadRaw(int fd, std::uint64_t offset, void* buffer, std::size_t count) {
  auto* out = static_cast<char*>(buffer);
  while (count > 0) {
    const ssize_t n = pread(fd, out, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    out += n;
    offset += static_cast<std::uint64_t>(n);
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteRaw(int fd, std::uint64_t offset, const void* buffer, std::size_t count) {
  const auto* in = static_cast<const char*>(buffer);
  while (count > 0) {
    const ssize_t n = pwrite(fd, in, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    in += n;
    offset += static_cast<std::uint64_t>(n);
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count) {
  if (InjectedFailure()) return false;
  return ReadRaw(Fd(file), offset, buffer, count);
}

bool WriteAt(FileHandle file, std::uint64_t offset, const void* buffer, std::size_t count) {
  if (InjectedFailure()) return false;
  return WriteRaw(Fd(file), offset, buffer, count);
}

bool CopyFileRange(FileHandle from, std::uint64_t fromOffset, FileHandle to, std::uint64_t toOffset,
                   std::uint64_t count) {
  if (InjectedFailure()) return false;
  // The kernel copies between page caches; where it cannot (another file
  // system, an old kernel), a bounded buffer does.
  while (count > 0) {
    auto in = static_cast<off_t>(fromOffset);
    auto out = static_cast<off_t>(toOffset);
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(count, 1u << 30));
    const ssize_t n = copy_file_range(Fd(from), &in, Fd(to), &out, chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                  errno == EBADF))
      break;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    fromOffset += static_cast<std::uint64_t>(n);
    toOffset += static_cast<std::uint64_t>(n);
    count -= static_cast<std::uint64_t>(n);
  }
  if (count == 0) return true;
  std::vector<char> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(count, 1u << 20)));
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return false;
  }
  while (count > 0) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(count, buffer.size()));
    if (!ReadRaw(Fd(from), fromOffset, buffer.data(), chunk) ||
        !WriteRaw(Fd(to), toOffset, buffer.data(), chunk))
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
  if (InjectedFailure(ENOMEM)) return false;
  struct stat st {};
  if (fstat(Fd(file), &st) != 0) return false;
  if (st.st_size <= 0 || static_cast<std::uint64_t>(st.st_size) > kMaxLength) {
    errno = st.st_size <= 0 ? EINVAL : EFBIG;  // an empty file cannot be mapped
    return false;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  void* p =
      mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, Fd(file), 0);
  if (p == MAP_FAILED) return false;
  view = static_cast<std::uint8_t*>(p);
  viewSize = static_cast<std::uint32_t>(size);
  mapping = 1;
  return true;
}

}  // namespace detail

void UnmapView(std::uint8_t* view, std::uint32_t viewSize) {
  if (view != nullptr && viewSize != 0) munmap(view, viewSize);
}

void CloseMapping(MappingHandle) {}

std::string TempDirectory() {
  std::string dir;
  if (const char* env = std::getenv("TMPDIR"); env != nullptr && *env != '\0') dir = env;
  else dir = "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(getpid()); }

std::uint32_t LastError() { return static_cast<std::uint32_t>(errno); }
void SetLastError(std::uint32_t code) { errno = static_cast<int>(code); }

std::uint32_t ErrorFileNotFound() { return ENOENT; }
std::uint32_t ErrorSharingViolation() { return EWOULDBLOCK; }
std::uint32_t ErrorBadFormat() { return ENOEXEC; }
std::uint32_t ErrorDiskFull() { return ENOSPC; }
std::uint32_t ErrorFileExists() { return EEXIST; }

ErrorKind ClassifyError(std::uint32_t code) {
  switch (code) {
    case ENOSPC:
    case EDQUOT: return ErrorKind::DiskFull;
    case ENOENT: return ErrorKind::NotFound;
    case EACCES:
    case EPERM:
    case EROFS: return ErrorKind::AccessDenied;
    case EWOULDBLOCK: return ErrorKind::Busy;
    case EISDIR:
    case ENXIO: return ErrorKind::NotRegularFile;
    case ENOMEM: return ErrorKind::OutOfMemory;
    case ENOEXEC: return ErrorKind::NotAnImage;
    default: return ErrorKind::Io;
  }
}

std::string NarrowForOrdering(const std::u16string& name) { return ToUtf8(name); }

// --- Files written whole, and the locks of one change --------------------------

namespace {

// Drops O_NONBLOCK, which the opens below use so that a FIFO never blocks.
void Block(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK); }

// The folder part of a name, for flushing a rename.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void FlushFolderOf(const std::string& path) {
  const int dir = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  fsync(dir);  // the data is on the disk already; only the name can be lost here
  close(dir);
}

}  // namespace

bool GetFileKind(const char16_t* name, FileKind& kind) {
  const std::string path = ToUtf8(name);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return false;
    struct stat link {};
    kind = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) ? FileKind::DanglingLink
                                                                    : FileKind::Missing;
    errno = ENOENT;
    return true;
  }
  if (S_ISREG(st.st_mode)) kind = FileKind::Regular;
  else if (S_ISDIR(st.st_mode)) kind = FileKind::Directory;
  else if (S_ISFIFO(st.st_mode)) kind = FileKind::Fifo;
  else if (S_ISSOCK(st.st_mode)) kind = FileKind::Socket;
  else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) kind = FileKind::Device;
  else kind = FileKind::Other;
  return true;
}

FileHandle OpenFileShared(const char16_t* name) {
  if (InjectedFailure()) return kInvalidFile;
  const std::string path = ToUtf8(name);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return kInvalidFile;
  if (!IsRegular(fd) || flock(fd, LOCK_SH | LOCK_NB) != 0) {
    CloseKeepingErrno(fd);
    return kInvalidFile;
  }
  Block(fd);
  return fd;
}

FileHandle OpenTemporaryFile(const char16_t* name) {
  if (InjectedFailure()) return kInvalidFile;
  const std::string path = ToUtf8(name);
  // A holder renames or removes the name only while it holds the file, so a
  // file that is still under this name once it is held is no one else's.
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd =
        open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    const bool created = fd >= 0;
    if (fd < 0 && errno == EEXIST)
      fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      if (errno == ENOENT) continue;  // renamed away between the two opens
      return kInvalidFile;
    }
    struct stat held {};
    if (fstat(fd, &held) != 0) {
      CloseKeepingErrno(fd);
      return kInvalidFile;
    }
    if (!S_ISREG(held.st_mode) || held.st_uid != geteuid() || held.st_nlink != 1) {
      close(fd);
      errno = S_ISREG(held.st_mode) ? EPERM : EEXIST;
      return kInvalidFile;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      CloseKeepingErrno(fd);
      return kInvalidFile;
    }
    struct stat named {};
    if (stat(path.c_str(), &named) != 0 || named.st_dev != held.st_dev ||
        named.st_ino != held.st_ino) {
      close(fd);  // the previous holder renamed it into place meanwhile
      continue;
    }
    Block(fd);
    if (!created && (fchmod(fd, 0600) != 0 || ftruncate(fd, 0) != 0)) {
      CloseKeepingErrno(fd);
      return kInvalidFile;
    }
    return fd;
  }
  errno = EAGAIN;
  return kInvalidFile;
}

FileHandle DuplicateFile(FileHandle file) {
  if (InjectedFailure(EMFILE)) return kInvalidFile;
  const int fd = fcntl(Fd(file), F_DUPFD_CLOEXEC, 0);
  return fd < 0 ? kInvalidFile : fd;
}

bool CopyPermissions(FileHandle from, FileHandle to) {
  if (InjectedFailure(EPERM)) return false;
  struct stat st {};
  if (fstat(Fd(from), &st) != 0) return false;
  // The set-id and sticky bits do not carry over to a copy of another owner.
  return fchmod(Fd(to), (st.st_mode & 0777) | S_IWUSR) == 0;
}

bool RenameNoReplace(FileHandle, const char16_t* from, const char16_t* to, bool sync) {
  if (InjectedFailure()) return false;
  const std::string source = ToUtf8(from);
  const std::string target = ToUtf8(to);
  bool renamed =
      renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
  if (!renamed && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
    // A file system without that flag: a second name fails where one exists.
    if (link(source.c_str(), target.c_str()) == 0) {
      unlink(source.c_str());
      renamed = true;
    } else if (errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK) {
      // Nor hard links (FAT and the like): the target is tested first. Only
      // a program that creates the very same name in between can be lost.
      struct stat st {};
      if (lstat(target.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
      }
      renamed = rename(source.c_str(), target.c_str()) == 0;
    }
  }
  if (!renamed) return false;
  if (sync) FlushFolderOf(target);
  return true;
}

void DeleteHeldFile(FileHandle, const char16_t* name) {
  const int saved = errno;
  unlink(ToUtf8(name).c_str());
  errno = saved;
}

std::uint32_t ErrorAlreadyExists() { return EEXIST; }

std::string SystemErrorText(std::uint32_t code) {
  char buffer[256] = {};
  // The GNU strerror_r returns its text, which need not be in buffer.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  return std::string(text) + " (errno " + std::to_string(code) + ")";
}
// --- end of files written whole ------------------------------------------------

}  // namespace marovi::platform
