// Files that reach the application from the command line or from a drop are
// sorted by their extension into the executable field or the icon field; a
// shortcut stands for the file that it points to.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace marovi::app {

// A dropped file's name is fetched into this many characters (NUL included),
// so at most its first 254 characters survive.
inline constexpr std::size_t kDropNameBuffer = 255;
// A shortcut's stored target is fetched into this many characters.
inline constexpr std::size_t kShortcutTargetBuffer = 1024;

enum class InputKind {
  Ignored,
  Executable,  // .EXE
  Shortcut,    // .LNK or .PIF: its target goes to the executable field
  Icon,        // .ICO
};

// Position of the extension: the last "." that follows the last "\" and the
// last blank, or path.size() when there is none.
std::size_t FindExtension(std::u16string_view path);

// The extension class of a path, compared after upper-casing ASCII letters.
InputKind ClassifyInput(std::u16string_view path);

// Where routed files go: the window's fields and previews, or a test's record.
class InputTarget {
 public:
  virtual ~InputTarget() = default;
  virtual void SetExecutable(const std::u16string& path) = 0;
  virtual void SetIconFile(const std::u16string& path) = 0;
  // The path stored in a shortcut file, or "" when it cannot be loaded.
  virtual std::u16string ResolveShortcutTarget(const std::u16string& shortcut) = 0;
};

// Routes one path by its extension; other extensions are ignored silently.
void RouteInputFile(const std::u16string& path, InputTarget& target);

// Fills buffer (kDropNameBuffer characters) with the index-th dropped name,
// cut to fit and ended by NUL, as the platform's drop query does.
using DroppedNameFetcher = std::function<void(unsigned index, char16_t* buffer, std::size_t size)>;

// Routes count dropped files in the order of the drop: each name passes
// through the fixed buffer, so a later file of a class overwrites an earlier one.
void RouteDroppedFiles(unsigned count, const DroppedNameFetcher& fetch, InputTarget& target);

// The first parameter of a command line whose first element is the program:
// parameters are separated by blanks (any character up to and including the
// space), double quotes group blanks into a parameter and are removed.
std::u16string FirstCommandLineParameter(std::u16string_view commandLine);

}  // namespace marovi::app
