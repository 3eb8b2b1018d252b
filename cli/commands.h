// The commands of marovi-cli. Arguments and texts are UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace marovi::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

inline constexpr char kProgram[] = "marovi-cli";
inline constexpr char kVersion[] = "1.0.0";

struct ListOptions {
  std::string file;
};

struct SetIconOptions {
  std::string executable;
  std::string iconFile;
  std::optional<std::string> output;  // the destination; the executable when absent
  bool backup = true;
  std::string group = "MAINICON";     // a decimal id or a name
  std::uint16_t language = 0;
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

int RunList(const ListOptions& options);
int RunSetIcon(const SetIconOptions& options);

// Runs the command line (arguments after the program name); the exit code.
int Main(const std::vector<std::string>& args);

}  // namespace marovi::cli
