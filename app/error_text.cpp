#include <cstdio>

#include "app/change_workflow.h"

namespace marovi::app {
namespace {

const char* KindText(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::None: return "no error";
    case ErrorKind::Io: return "an input or output operation failed";
    case ErrorKind::DiskFull: return "the disk is full";
    case ErrorKind::NotFound: return "no such file";
    case ErrorKind::AccessDenied: return "access is denied";
    case ErrorKind::Busy: return "cannot be opened";
    case ErrorKind::NotRegularFile: return "is not a regular file";
    case ErrorKind::NotAnImage: return "not a PE image";
    case ErrorKind::MalformedImage: return "malformed image";
    case ErrorKind::Refused: return "cannot be changed safely";
    case ErrorKind::NoResources: return "has no resource section";
    case ErrorKind::BadIconFile: return "not an icon file";
    case ErrorKind::Journal: return "the undo journal beside it cannot be made or read";
    case ErrorKind::OutOfMemory: return "out of memory";
    case ErrorKind::Internal: return "a check of the result failed; the file was put back";
  }
  return "failed";
}

// Kinds whose text says it all: a code they carry is no more than a marker.
bool SaysItAll(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::NotAnImage:
    case ErrorKind::MalformedImage:
    case ErrorKind::Refused:
    case ErrorKind::NoResources:
    case ErrorKind::BadIconFile:
    case ErrorKind::Internal:
    case ErrorKind::Busy:
    case ErrorKind::None: return true;
    default: return false;
  }
}

}  // namespace

std::string ErrorText(const Error& error) {
  std::string text = error.file.empty() ? std::string() : error.file + ": ";
  text += error.detail.empty() ? KindText(error.kind) : error.detail;
  if (error.offset) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(*error.offset));
    text += std::string(" (at offset 0x") + hex + ")";
  }
  if (error.kind == ErrorKind::Busy)
    text +=
        ": held open by another program (another change of it may be running); try again "
        "when it has finished";
  else if (error.osCode != 0 && !SaysItAll(error.kind))
    text += ": " + platform::SystemErrorText(error.osCode);
  // A folder that takes no journal: the way to change the file anyway.
  if (error.kind == ErrorKind::Journal && error.detail == "cannot create the undo journal")
    text += " (--no-journal changes the file without one, unprotected against a kill)";
  return text;
}

std::string RecoveryText(const std::string& file, Recovery recovery) {
  switch (recovery) {
    case Recovery::Undone:
      return file + ": an interrupted change was undone; the file is as it was before it";
    case Recovery::Removed:
      return file +
             ": the journal of an interrupted change was removed; that change had not "
             "touched the file";
    case Recovery::LeftBehind:
      return file + ": an undo journal that changes nothing is left beside it (" + file +
             ".marovi-undo): its folder does not let it be removed; it may be deleted";
    default: return std::string();
  }
}

}  // namespace marovi::app
