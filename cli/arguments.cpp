// The command line of marovi-cli: the command, and the arguments of those
// that read one file.
#include <charconv>
#include <cstdio>

#include "cli/commands.h"

namespace marovi::cli {

std::optional<std::uint16_t> ParseU16(const std::string& text) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
  if (text.empty() || ec != std::errc() || ptr != end || value > 0xFFFF) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

bool ParseFileAndJson(const std::vector<std::string>& args, const std::string& verb,
                      std::string& file, bool& json, std::string& error) {
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg == "--json") {
      json = true;
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      error = verb + ": unknown option " + arg;
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 1) {
    error = verb + " takes one FILE";
    return false;
  }
  file = positional[0];
  return true;
}

namespace {

std::optional<Command> ParseList(const std::vector<std::string>& args, std::string& error) {
  Command command;
  command.kind = CommandKind::List;
  if (!ParseFileAndJson(args, "list", command.list.file, command.list.json, error))
    return std::nullopt;
  return command;
}

std::optional<Command> ParseShowVersion(const std::vector<std::string>& args, std::string& error) {
  Command command;
  command.kind = CommandKind::ShowVersion;
  if (!ParseFileAndJson(args, "show-version", command.showVersion.file, command.showVersion.json,
                        error))
    return std::nullopt;
  return command;
}

}  // namespace

std::optional<std::u16string> FileArgument(const std::string& argument) {
  std::u16string name = platform::FromUtf8(argument);
  if (platform::ToUtf8(name) != argument) return std::nullopt;
  return name;
}

std::string PrintableArgument(const std::string& argument) {
  std::string text;
  for (std::size_t i = 0; i < argument.size();) {
    // The longest sequence from here, of one code point, that survives the
    // round trip is valid UTF-8.
    std::size_t taken = 0;
    for (std::size_t n = 4; n >= 1 && taken == 0; --n) {
      if (i + n > argument.size()) continue;
      const std::string piece = argument.substr(i, n);
      const std::u16string wide = platform::FromUtf8(piece);
      const bool onePoint =
          wide.size() == 1 || (wide.size() == 2 && wide[0] >= 0xD800 && wide[0] <= 0xDBFF);
      if (onePoint && platform::ToUtf8(wide) == piece) taken = n;
    }
    if (taken > 0 && static_cast<unsigned char>(argument[i]) >= 0x20) {
      text += argument.substr(i, taken);
      i += taken;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(argument[i]));
      text += escaped;
      ++i;
    }
  }
  return text;
}

std::string NotUtf8Text(const std::string& argument) {
  return PrintableArgument(argument) +
         ": the name is not valid UTF-8; marovi-cli takes file names in UTF-8 only";
}

std::optional<Command> ParseArguments(const std::vector<std::string>& args, UsageError& error) {
  if (args.empty()) {
    error.text = "a command is needed";
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
  if (name == "list") return ParseList(args, error.text);
  if (name == "show-version") return ParseShowVersion(args, error.text);
  if (name == "extract") return ParseExtract(args, error.text);
  if (name == "show-strings") return ParseShowStrings(args, error.text);
  if (IsChangeCommand(name)) return ParseChange(args, false, error);
  if (IsRceditForm(args)) return ParseChange(args, true, error);
  error.text = "unknown command " + name;
  return std::nullopt;
}

}  // namespace marovi::cli
