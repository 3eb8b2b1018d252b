#include "tests/support/test_files.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>

#include "engine/platform/platform.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace marovi::test {
namespace fs = std::filesystem;

namespace {
std::string Hex8(std::uint32_t value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) s[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
  return s;
}
}  // namespace

TempFolder::TempFolder() {
  static std::atomic<unsigned> counter{0};
  const auto now =
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = base / ("marovi-test-" + Hex8(platform::CurrentProcessId()) + "-" +
                                 std::to_string(counter++) + "-" + std::to_string(now % 1000000));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder under " + base.string());
}

TempFolder::~TempFolder() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::vector<std::uint8_t> ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

void WriteWholeFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path.string());
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("short write to " + path.string());
}

std::u16string Utf16Path(const fs::path& path) { return path.u16string(); }

std::vector<std::string> LeftoverScratchFiles() {
  const std::string prefix = "$qor$res$" + Hex8(platform::CurrentProcessId()) + "$";
  std::vector<std::string> found;
  const std::string dir = platform::TempDirectory();
  std::error_code ec;
  for (fs::directory_iterator it(dir.empty() ? fs::path(".") : fs::path(dir), ec), end;
       !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) == 0) found.push_back(name);
  }
  return found;
}

namespace {
// Files this process holds open whose full names begin with prefix.
std::vector<std::string> OpenFilesNamed(const std::string& prefix) {
  std::vector<std::string> found;
#ifdef _WIN32
  // Files deleted on close stay listed until then.
  const fs::path whole(platform::FromUtf8(prefix));
  std::error_code ec;
  for (fs::directory_iterator it(whole.parent_path(), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = platform::ToUtf8(it->path().u16string());
    if (name.compare(0, prefix.size(), prefix) == 0) found.push_back(name);
  }
#else
  // Their names are gone at once; the descriptors still name them.
  std::error_code ec;
  for (fs::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
    char target[4096];
    const ssize_t n = ::readlink(it->path().c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    std::string name(target, static_cast<std::size_t>(n));
    const std::string deleted = " (deleted)";
    if (name.size() > deleted.size() &&
        name.compare(name.size() - deleted.size(), deleted.size(), deleted) == 0)
      name.resize(name.size() - deleted.size());
    if (name.compare(0, prefix.size(), prefix) == 0) found.push_back(name);
  }
#endif
  return found;
}
}  // namespace

std::vector<std::string> OpenScratchFiles() {
  return OpenFilesNamed(platform::TempDirectory() + "$qor$res$" +
                        Hex8(platform::CurrentProcessId()) + "$");
}

bool IsOpenFile(const std::string& name) {
  for (const std::string& open : OpenFilesNamed(name))
    if (open == name) return true;
  return false;
}

}  // namespace marovi::test
