// Absolute paths without std::filesystem, whose path conversions bring the
// whole of the C++ locale library into a statically linked program.
#include "cli/absolute_path.h"

#include <vector>

#include "engine/engine.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <cerrno>
#endif

namespace marovi::cli {
namespace {

#ifdef _WIN32
bool IsSlash(char16_t c) { return c == u'\\' || c == u'/'; }

// "X:\..." or a UNC name "\\server\share": nothing to take it against.
bool IsAbsolute(const std::u16string& path) {
  if (path.size() >= 2 && IsSlash(path[0]) && IsSlash(path[1])) return true;
  return path.size() >= 3 && path[1] == u':' && IsSlash(path[2]);
}
#endif

}  // namespace

std::u16string AbsolutePath(const std::u16string& path) {
  if (path.empty()) return path;
#ifdef _WIN32
  if (IsAbsolute(path)) return path;
  const auto* name = reinterpret_cast<const wchar_t*>(path.c_str());
  const DWORD needed = GetFullPathNameW(name, 0, nullptr, nullptr);
  if (needed == 0) return std::u16string();
  std::vector<wchar_t> full(needed);
  const DWORD length = GetFullPathNameW(name, needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return std::u16string();
  return std::u16string(reinterpret_cast<const char16_t*>(full.data()), length);
#else
  if (path[0] == u'/') return path;
  std::vector<char> folder(256);
  while (::getcwd(folder.data(), folder.size()) == nullptr) {
    if (errno != ERANGE) return std::u16string();
    folder.resize(folder.size() * 2);
  }
  std::u16string absolute = platform::FromUtf8(folder.data());
  if (absolute.empty() || absolute.back() != u'/') absolute += u'/';
  return absolute + path;
#endif
}

}  // namespace marovi::cli
