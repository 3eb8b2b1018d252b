// What went wrong, carried from where it happened to the front end, which
// alone turns it into text: the kind of failure, the operating system's code,
// the file it concerns and, where it applies, the offset in that file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace marovi {

enum class ErrorKind {
  None,
  Io,              // a read, write, flush, resize or mapping failed (osCode says why)
  DiskFull,        // no room on the disk that holds file
  NotFound,        // file does not exist
  AccessDenied,    // file cannot be opened or created with the rights needed
  Busy,            // another program holds file (a change of it is running)
  NotRegularFile,  // file is a folder, device, FIFO or socket (detail names which)
  NotAnImage,      // file is not a PE image
  MalformedImage,  // the image's headers or resources are inconsistent (detail says how)
  Refused,         // the image is sound but cannot be changed safely (detail says why)
  NoResources,     // the image has no resource section
  BadIconFile,     // the icon file is not one (detail says why)
  Journal,         // the undo journal next to file cannot be made or read (osCode says why)
  OutOfMemory,
  Internal,  // a check of the result failed; the file was put back
};

struct Error {
  ErrorKind kind = ErrorKind::None;
  std::uint32_t osCode = 0;             // errno or GetLastError; 0 when none applies
  std::string file;                     // UTF-8; the file the failure concerns
  std::optional<std::uint64_t> offset;  // in file, where it applies
  std::string detail;                   // what failed, in a few words

  explicit operator bool() const { return kind != ErrorKind::None; }
};

inline Error MakeError(ErrorKind kind, std::string detail, std::uint32_t osCode = 0,
                       std::string file = std::string()) {
  Error error;
  error.kind = kind;
  error.osCode = osCode;
  error.file = std::move(file);
  error.detail = std::move(detail);
  return error;
}

}  // namespace marovi
