// Shortcut files (.lnk, .pif): the path stored in them.
#pragma once

#include <string>

namespace marovi::app {

// The target path stored in the shortcut file at path, as the shortcut holds
// it (not searched for when it moved), cut to 1023 characters; "" when the
// shortcut cannot be loaded. Failure to create the shell's link object or to
// get its interfaces is raised as AppError. Needs COM on the calling thread.
std::wstring ResolveShortcutTarget(const std::wstring& path);

}  // namespace marovi::app
