// The change workflow's file services on POSIX systems. Paths arrive as
// UTF-16 and are used in their UTF-8 form.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "app/change_workflow.h"
#include "engine/platform.h"

namespace marovi::app {
namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const char* data, std::size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(fd, data, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

bool CopyContents(int from, int to) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    if (!WriteAll(to, buffer, static_cast<std::size_t>(got))) return false;
  }
}

class PosixFileSystem final : public FileSystem {
 public:
  bool FileExists(const std::u16string& path) override {
    struct stat info {};
    return ::stat(platform::ToUtf8(path).c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
  }

  bool FolderExists(const std::u16string& path) override {
    struct stat info {};
    return ::stat(platform::ToUtf8(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }

  bool CreateFolder(const std::u16string& path) override {
    return ::mkdir(platform::ToUtf8(path).c_str(), 0777) == 0;
  }

  // The copy is created with O_EXCL, so an existing file (or a link in its
  // place) is never overwritten; it takes the source's permission bits. A
  // copy that fails half-way is removed, so that no truncated executable is
  // left behind to be changed later.
  bool CopyFileNoOverwrite(const std::u16string& from, const std::u16string& to) override {
    const std::string source = platform::ToUtf8(from);
    const std::string target = platform::ToUtf8(to);
    Descriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return false;
    struct stat info {};
    if (::fstat(in.get(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
    const mode_t mode = info.st_mode & 07777;
    Descriptor out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (out.get() < 0) return false;
    const bool copied = CopyContents(in.get(), out.get()) && ::fchmod(out.get(), mode) == 0;
    if (!out.Close() || !copied) {
      const int saved = errno;
      ::unlink(target.c_str());
      errno = saved;
      return false;
    }
    return true;
  }

  bool IsSeparator(char16_t c) const override { return c == u'/'; }
  bool IsDriveSeparator(char16_t) const override { return false; }
};

}  // namespace

FileSystem& NativeFileSystem() {
  static PosixFileSystem fileSystem;
  return fileSystem;
}

}  // namespace marovi::app
