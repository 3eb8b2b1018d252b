// Paths given on the command line, taken against the current directory.
#pragma once

#include <string>

namespace marovi::cli {

// path unchanged when it is absolute or empty; otherwise the path taken
// against the current directory (on Windows the system's full path name,
// which also resolves "C:name" and "\name"). Empty when the current directory
// cannot be found.
std::u16string AbsolutePath(const std::u16string& path);

}  // namespace marovi::cli
