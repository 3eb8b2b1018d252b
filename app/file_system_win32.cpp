// The change workflow's file services on Windows (kernel32, wide-character
// functions), and the shell told of a changed file (shell32). A "/" is taken
// as a separator as well as "\".
#include <windows.h>
#include <shlobj.h>

#include <string>

#include "app/change_workflow.h"
#include "app/file_transfer.h"

namespace marovi::app {
namespace {

const wchar_t* Wide(const std::u16string& path) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  return reinterpret_cast<const wchar_t*>(path.c_str());
}

class Win32FileSystem final : public FileSystem {
 public:
  bool FileExists(const std::u16string& path) override {
    const DWORD attributes = GetFileAttributesW(Wide(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  bool FolderExists(const std::u16string& path) override {
    const DWORD attributes = GetFileAttributesW(Wide(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  bool CreateFolder(const std::u16string& path) override {
    return CreateDirectoryW(Wide(path), nullptr) != 0;
  }

  // Whole or not at all: written under a temporary name, flushed, renamed.
  // The copy never carries the source's read-only attribute.
  bool CopyFileNoOverwrite(const std::u16string& from, const std::u16string& to) override {
    return !CopyFileWhole(from, to, /*sync=*/true);
  }

  bool IsSeparator(char16_t c) const override { return c == u'\\' || c == u'/'; }
  bool IsDriveSeparator(char16_t c) const override { return c == u':'; }
};

}  // namespace

void NotifyShellOfChange(const std::u16string& path) {
  SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHW, Wide(path), nullptr);
}

FileSystem& NativeFileSystem() {
  static Win32FileSystem fileSystem;
  return fileSystem;
}

}  // namespace marovi::app
