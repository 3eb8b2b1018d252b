// The commands of marovi-cli. Arguments and texts are UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "marovi/version.h"

namespace marovi::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

inline constexpr char kProgram[] = "marovi-cli";
inline constexpr char kVersion[] = MAROVI_VERSION;  // from project() in CMakeLists.txt

struct ListOptions {
  std::string file;
};

struct SetIconOptions {
  std::string executable;
  std::string iconFile;
  std::optional<std::string> output;  // the destination; the executable when absent
  bool backup = true;
  std::string group = "MAINICON";     // a decimal id or a name
  bool shellGroup = false;            // --group first: the group the shell shows
  std::uint16_t language = 0;
  bool sync = true;     // --no-sync: nothing is flushed (safe against a kill only)
  bool journal = true;  // --no-journal: the undo journal is kept in the temporary folder
};

enum class CommandKind { Help, Version, List, SetIcon };

struct Command {
  CommandKind kind = CommandKind::Help;
  ListOptions list;
  SetIconOptions setIcon;
};

// Parses the arguments after the program name. On a usage error returns none
// and sets error to a one-line description.
std::optional<Command> ParseArguments(const std::vector<std::string>& args, std::string& error);
std::string UsageText();

// The UTF-16 form of a file named on the command line; none when the name is
// not valid UTF-8, so that it could not reach the system unchanged.
std::optional<std::u16string> FileArgument(const std::string& argument);
// The argument for a message, each byte outside valid UTF-8 shown as \xNN.
std::string PrintableArgument(const std::string& argument);
// The one line for a name that FileArgument refused.
std::string NotUtf8Text(const std::string& argument);

// A resource type or name as list prints it: a decimal id, or the name in
// double quotes with '"', '\' and control characters escaped.
std::string ResourceKeyText(const std::u16string& name, std::uint32_t id);

// The fifth column of list on the line of the group the shell shows.
inline constexpr char kShellMark[] = "shell";

int RunList(const ListOptions& options);
int RunSetIcon(const SetIconOptions& options);

// Runs the command line (arguments after the program name); the exit code.
int Main(const std::vector<std::string>& args);

}  // namespace marovi::cli
