// The change workflow's file services on POSIX systems. Paths arrive as
// UTF-16 and are used in their UTF-8 form. No shell keeps icons to redraw.
#include <sys/stat.h>

#include <string>

#include "app/change_workflow.h"
#include "app/file_transfer.h"

namespace marovi::app {
namespace {

class PosixFileSystem final : public FileSystem {
 public:
  bool FileExists(const std::u16string& path) override {
    struct stat info {};
    return ::stat(platform::ToUtf8(path).c_str(), &info) == 0 && S_ISREG(info.st_mode);
  }

  bool FolderExists(const std::u16string& path) override {
    struct stat info {};
    return ::stat(platform::ToUtf8(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }

  bool CreateFolder(const std::u16string& path) override {
    return ::mkdir(platform::ToUtf8(path).c_str(), 0777) == 0;
  }

  // Whole or not at all: written under a temporary name, flushed, renamed.
  // The copy takes the source's permission bits, writable by its owner.
  bool CopyFileNoOverwrite(const std::u16string& from, const std::u16string& to) override {
    return !CopyFileWhole(from, to, /*sync=*/true);
  }

  bool IsSeparator(char16_t c) const override { return c == u'/'; }
  bool IsDriveSeparator(char16_t) const override { return false; }
};

}  // namespace

void NotifyShellOfChange(const std::u16string&) {}

FileSystem& NativeFileSystem() {
  static PosixFileSystem fileSystem;
  return fileSystem;
}

}  // namespace marovi::app
