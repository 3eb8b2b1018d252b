#include "app/input_routing.h"

#include <vector>

namespace marovi::app {

std::size_t FindExtension(std::u16string_view path) {
  std::size_t dot = path.size();
  for (std::size_t i = 0; i < path.size(); ++i) {
    const char16_t c = path[i];
    if (c == u'\0') break;  // the name ends at its first NUL, as a C string would
    if (c == u'\\' || c == u' ') {
      dot = path.size();
    } else if (c == u'.') {
      dot = i;
    }
  }
  return dot;
}

InputKind ClassifyInput(std::u16string_view path) {
  std::u16string_view extension = path.substr(FindExtension(path));
  if (const std::size_t nul = extension.find(u'\0'); nul != std::u16string_view::npos) {
    extension = extension.substr(0, nul);
  }
  std::u16string upper(extension);
  for (char16_t& c : upper) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  if (upper == u".EXE") return InputKind::Executable;
  if (upper == u".LNK" || upper == u".PIF") return InputKind::Shortcut;
  if (upper == u".ICO") return InputKind::Icon;
  return InputKind::Ignored;
}

void RouteInputFile(const std::u16string& path, InputTarget& target) {
  switch (ClassifyInput(path)) {
    case InputKind::Executable: target.SetExecutable(path); break;
    case InputKind::Shortcut:
      // Whatever path the shortcut holds becomes the executable, even none.
      target.SetExecutable(target.ResolveShortcutTarget(path));
      break;
    case InputKind::Icon: target.SetIconFile(path); break;
    case InputKind::Ignored: break;
  }
}

void RouteDroppedFiles(unsigned count, const DroppedNameFetcher& fetch, InputTarget& target) {
  std::vector<char16_t> buffer(kDropNameBuffer);
  for (unsigned i = 0; i < count; ++i) {
    buffer.assign(kDropNameBuffer, u'\0');
    fetch(i, buffer.data(), buffer.size());
    buffer.back() = u'\0';  // a fetch that filled the whole buffer still ends here
    RouteInputFile(std::u16string(buffer.data()), target);
  }
}

namespace {

bool IsBlank(char16_t c) { return c != u'\0' && c <= u' '; }

// Reads one parameter from position pos of line; returns the position after it.
std::size_t ReadParameter(std::u16string_view line, std::size_t pos, std::u16string& parameter) {
  parameter.clear();
  // Blanks and empty pairs of quotes before a parameter are skipped.
  for (;;) {
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    if (pos + 1 < line.size() && line[pos] == u'"' && line[pos + 1] == u'"') {
      pos += 2;
    } else {
      break;
    }
  }
  while (pos < line.size() && line[pos] > u' ') {
    if (line[pos] == u'"') {
      ++pos;
      while (pos < line.size() && line[pos] != u'\0' && line[pos] != u'"') parameter += line[pos++];
      if (pos < line.size() && line[pos] == u'"') ++pos;
    } else {
      parameter += line[pos++];
    }
  }
  return pos;
}

}  // namespace

std::u16string FirstCommandLineParameter(std::u16string_view commandLine) {
  if (const std::size_t nul = commandLine.find(u'\0'); nul != std::u16string_view::npos) {
    commandLine = commandLine.substr(0, nul);
  }
  std::u16string parameter;
  const std::size_t afterProgram = ReadParameter(commandLine, 0, parameter);
  ReadParameter(commandLine, afterProgram, parameter);
  return parameter;
}

}  // namespace marovi::app
