// Block-range calls on POSIX systems: the file system's block size, holes
// (SEEK_HOLE/SEEK_DATA) and, on Linux, ranges inserted into or removed from
// the middle of a file (fallocate INSERT_RANGE/COLLAPSE_RANGE).
#include <fcntl.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <linux/falloc.h>
#include <sys/vfs.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "engine/platform/platform.h"
#include "engine/platform/platform_hooks.h"

namespace marovi::platform {
namespace {

int Fd(FileHandle file) { return static_cast<int>(file); }

bool InjectedFailure(int code) {
  if (!HooksFailThisCall()) return false;
  errno = code;
  return true;
}

}  // namespace

std::uint32_t RangeBlockSize(FileHandle file) {
#if defined(__linux__)
  // The file system's block size, which both calls report; where they
  // differ (a larger preferred I/O size), the larger, a multiple of the other.
  struct stat st {};
  struct statfs fs {};
  if (fstat(Fd(file), &st) != 0 || fstatfs(Fd(file), &fs) != 0) return 0;
  // The file systems whose states after a crash inside a shift were looked
  // at; others copy the tail.
  constexpr unsigned long kExt4 = 0xEF53, kXfs = 0x58465342;
  const auto type = static_cast<unsigned long>(fs.f_type);
  if (type != kExt4 && type != kXfs) return 0;
  const auto a = static_cast<std::uint64_t>(st.st_blksize);
  const auto b = static_cast<std::uint64_t>(fs.f_bsize);
  auto powerOfTwo = [](std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; };
  if (!powerOfTwo(a) || !powerOfTwo(b) || std::max(a, b) > (1u << 20)) return 0;
  return static_cast<std::uint32_t>(std::max(a, b));
#else
  (void)file;
  return 0;
#endif
}

bool NextHole(FileHandle file, std::uint64_t from, std::uint64_t& begin, std::uint64_t& end) {
  if (InjectedFailure(EIO)) return false;
  struct stat st {};
  if (fstat(Fd(file), &st) != 0) return false;
  const auto length = static_cast<std::uint64_t>(st.st_size);
  begin = end = length;
  if (from >= length) return true;
#if defined(SEEK_HOLE) && defined(SEEK_DATA)
  const off_t hole = lseek(Fd(file), static_cast<off_t>(from), SEEK_HOLE);
  if (hole < 0) return errno == ENXIO;
  if (static_cast<std::uint64_t>(hole) >= length) return true;
  begin = static_cast<std::uint64_t>(hole);
  const off_t data = lseek(Fd(file), hole, SEEK_DATA);
  if (data < 0 && errno != ENXIO) return false;
  end = data < 0 ? length : std::min(length, static_cast<std::uint64_t>(data));
#endif
  return true;
}

RangeResult ShiftFileRange(FileHandle file, std::uint64_t offset, std::int64_t count) {
  if (HooksRefuseRangeShifts()) {
    errno = EOPNOTSUPP;
    return RangeResult::Unsupported;
  }
  if (InjectedFailure(EIO)) return RangeResult::Failed;
#if defined(__linux__)
  const bool insert = count > 0;
  const auto length = static_cast<off_t>(insert ? count : -count);
  if (fallocate(Fd(file), insert ? FALLOC_FL_INSERT_RANGE : FALLOC_FL_COLLAPSE_RANGE,
                static_cast<off_t>(offset), length) != 0) {
    // Refused by this file system (or for this file: ext4 needs extents and
    // its cluster size, which may exceed the block size): nothing changed.
    if (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS) return RangeResult::Unsupported;
    return RangeResult::Failed;
  }
  // The inserted blocks are a hole: their space is reserved now, so that a
  // full disk is a failed call and never a fault in a mapping later.
  if (insert) {
    const int rc = posix_fallocate(Fd(file), static_cast<off_t>(offset), length);
    if (rc != 0) {
      errno = rc;
      return RangeResult::Failed;
    }
  }
  return RangeResult::Done;
#else
  (void)file;
  (void)offset;
  (void)count;
  errno = EOPNOTSUPP;
  return RangeResult::Unsupported;
#endif
}

}  // namespace marovi::platform
