// Block-range calls on Windows.
#include <windows.h>

#include "engine/platform/platform.h"

namespace marovi::platform {

// NTFS cannot insert or remove ranges in the middle of a file: the tail is
// always copied.
std::uint32_t RangeBlockSize(FileHandle /*file*/) { return 0; }

// No shift is made here, so none is looked for.
bool NextHole(FileHandle file, std::uint64_t /*from*/, std::uint64_t& begin,
              std::uint64_t& end) {
  if (!GetFileLength(file, begin)) return false;
  end = begin;
  return true;
}

RangeResult ShiftFileRange(FileHandle /*file*/, std::uint64_t /*offset*/, std::int64_t /*count*/) {
  ::SetLastError(ERROR_NOT_SUPPORTED);
  return RangeResult::Unsupported;
}

}  // namespace marovi::platform
