// The command line of marovi-cli.
#include <charconv>

#include "cli/commands.h"

namespace marovi::cli {
namespace {

std::optional<std::uint16_t> ParseU16(const std::string& text) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
  if (text.empty() || ec != std::errc() || ptr != end || value > 0xFFFF) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

// "--name=value" or "--name value"; false when the value is missing.
bool TakeValue(const std::vector<std::string>& args, std::size_t& i, const std::string& name,
               std::string& value) {
  const std::string& arg = args[i];
  if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 && arg[name.size()] == '=') {
    value = arg.substr(name.size() + 1);
    return true;
  }
  if (i + 1 >= args.size()) return false;
  value = args[++i];
  return true;
}

bool Matches(const std::string& arg, const std::string& name) {
  return arg == name || (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
                         arg[name.size()] == '=');
}

std::optional<Command> ParseList(const std::vector<std::string>& args, std::string& error) {
  Command command;
  command.kind = CommandKind::List;
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      error = "list: unknown option " + arg;
      return std::nullopt;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 1) {
    error = "list takes one FILE";
    return std::nullopt;
  }
  command.list.file = positional[0];
  return command;
}

std::optional<Command> ParseSetIcon(const std::vector<std::string>& args, std::string& error) {
  Command command;
  command.kind = CommandKind::SetIcon;
  SetIconOptions& options = command.setIcon;
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string value;
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--no-backup") {
      options.backup = false;
    } else if (Matches(arg, "--output") || arg == "-o") {
      if (!TakeValue(args, i, arg == "-o" ? "-o" : "--output", value)) {
        error = "set-icon: --output needs a destination";
        return std::nullopt;
      }
      options.output = value;
    } else if (Matches(arg, "--group")) {
      if (!TakeValue(args, i, "--group", value) || value.empty()) {
        error = "set-icon: --group needs a name or an id";
        return std::nullopt;
      }
      options.group = value;
    } else if (Matches(arg, "--lang")) {
      std::optional<std::uint16_t> language;
      if (TakeValue(args, i, "--lang", value)) language = ParseU16(value);
      if (!language) {
        error = "set-icon: --lang needs a language number from 0 to 65535";
        return std::nullopt;
      }
      options.language = *language;
    } else {
      error = "set-icon: unknown option " + arg;
      return std::nullopt;
    }
  }
  if (positional.size() != 2) {
    error = "set-icon takes an executable and an icon file";
    return std::nullopt;
  }
  options.executable = positional[0];
  options.iconFile = positional[1];
  return command;
}

}  // namespace

std::string UsageText() {
  return std::string("Usage:\n") +
         "  marovi-cli list FILE\n"
         "      One line per resource of the image FILE, in directory order:\n"
         "      TYPE NAME LANG SIZE (ids in decimal, names in double quotes).\n"
         "  marovi-cli set-icon EXE ICO [--output DEST] [--no-backup] [--group NAME|ID] [--lang N]\n"
         "      Replaces the icon group (MAINICON, language 0 unless given) of DEST with the\n"
         "      images of the icon file ICO. DEST defaults to EXE; when DEST does not exist,\n"
         "      EXE is copied there first (missing folders are created). An existing DEST is\n"
         "      copied to DEST.bak first unless --no-backup is given or DEST.bak exists.\n"
         "  marovi-cli --help | --version\n"
         "Exit status: 0 done, 1 failed, 2 usage error.";
}

std::optional<Command> ParseArguments(const std::vector<std::string>& args, std::string& error) {
  if (args.empty()) {
    error = "a command is needed";
    return std::nullopt;
  }
  const std::string& name = args[0];
  Command command;
  if (name == "--help" || name == "-h" || name == "help") {
    command.kind = CommandKind::Help;
    return command;
  }
  if (name == "--version" || name == "-V") {
    command.kind = CommandKind::Version;
    return command;
  }
  if (name == "list") return ParseList(args, error);
  if (name == "set-icon") return ParseSetIcon(args, error);
  error = "unknown command " + name;
  return std::nullopt;
}

}  // namespace marovi::cli
