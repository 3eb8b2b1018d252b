// The command line of marovi-cli.
#include <charconv>
#include <cstdio>

#include "cli/commands.h"

namespace marovi::cli {
namespace {

// --group first: the group the shell shows, whatever its name.
constexpr char kFirstGroup[] = "first";

// "--name=value" or "--name value"; false when the value is missing.
bool TakeValue(const std::vector<std::string>& args, std::size_t& i, const std::string& name,
               std::string& value) {
  const std::string& arg = args[i];
  if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
      arg[name.size()] == '=') {
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

}  // namespace

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

std::optional<Command> ParseSetIcon(const std::vector<std::string>& args, std::string& error) {
  Command command;
  command.kind = CommandKind::SetIcon;
  SetIconOptions& options = command.setIcon;
  std::vector<std::string> positional;
  bool optionsEnded = false;
  bool languageGiven = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string value;
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--no-backup") {
      options.backup = false;
    } else if (arg == "--no-sync") {
      options.sync = false;
    } else if (arg == "--no-journal") {
      options.journal = false;
    } else if (arg == "--strip-signature") {
      options.stripSignature = true;
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
      options.shellGroup = value == kFirstGroup;
    } else if (Matches(arg, "--lang")) {
      std::optional<std::uint16_t> language;
      if (TakeValue(args, i, "--lang", value)) language = ParseU16(value);
      if (!language) {
        error = "set-icon: --lang needs a language number from 0 to 65535";
        return std::nullopt;
      }
      options.language = *language;
      languageGiven = true;
    } else {
      error = "set-icon: unknown option " + arg;
      return std::nullopt;
    }
  }
  if (positional.size() != 2) {
    error = "set-icon takes an executable and an icon file";
    return std::nullopt;
  }
  if (options.shellGroup && languageGiven) {
    error =
        "set-icon: --group first keeps the language of the group it replaces; --lang cannot "
        "be given with it";
    return std::nullopt;
  }
  options.executable = positional[0];
  options.iconFile = positional[1];
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

std::string UsageText() {
  return std::string("Usage:\n") +
         "  marovi-cli list FILE [--json]\n"
         "      One line per resource of the image FILE, in directory order:\n"
         "      TYPE NAME LANG SIZE (ids in decimal, names in double quotes). The line of\n"
         "      the icon group the shell shows (the first of the directory, its first\n"
         "      language) ends in a fifth column, \"shell\"; every other line has four, and\n"
         "      the first four columns of every line are as they always were.\n"
         "      --json        a JSON array instead, one object per resource: type, name\n"
         "                    (numbers for ids, strings for names), language, size, and\n"
         "                    \"shown\": true on the icon group the shell shows\n"
         "  marovi-cli set-icon EXE ICO [--output DEST] [--no-backup] [--group NAME|ID|first]\n"
         "                     [--lang N] [--no-sync] [--no-journal] [--strip-signature]\n"
         "      Replaces the icon group (MAINICON, language 0 unless given) of DEST with the\n"
         "      images of the icon file ICO. DEST defaults to EXE and is changed in place;\n"
         "      an existing DEST is copied to DEST.bak first unless --no-backup is given or\n"
         "      DEST.bak exists (a backup that cannot be made stops the run before DEST is\n"
         "      touched). When DEST does not exist, EXE is copied and the copy changed under\n"
         "      a temporary name beside DEST, which gets its name only when the change has\n"
         "      succeeded (missing folders are created). EXE, ICO and DEST must be regular\n"
         "      files. DEST is locked for the whole run and EXE while it is copied: a run on\n"
         "      a file that another run holds fails at once, without waiting.\n"
         "      --group first replace the icon group the shell shows instead, keeping its\n"
         "                    name and language (MAINICON, language 0 when DEST has no\n"
         "                    icon group); not with --lang. Without it, when the group\n"
         "                    changed or added is not the one the shell shows, before or\n"
         "                    after the change, one line on stderr says so\n"
         "      --no-sync     write the undo journal but flush nothing: safe against the\n"
         "                    program being killed, not against a power cut\n"
         "      --no-journal  keep the undo journal in the temporary folder instead of\n"
         "                    beside DEST: a failed change is still undone, but a killed\n"
         "                    run or a power cut can then leave DEST damaged\n"
         "      --strip-signature remove DEST's signature (its certificate table): a\n"
         "                    signature no longer matches a changed file. Without it the\n"
         "                    table is kept and one line on stderr says it must be renewed\n" +
         EditUsageText() +
         "  Before its work, every command puts right what a run on the same file that was\n"
         "  cut short left behind, and says so in one line.\n"
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
  if (name == "edit" || name == "set-version" || name == "set-manifest")
    return ParseEdit(args, error);
  if (name == "show-version") return ParseShowVersion(args, error);
  if (IsEditWithoutCommand(args)) {
    std::vector<std::string> edit = {"edit"};
    edit.insert(edit.end(), args.begin(), args.end());
    return ParseEdit(edit, error);
  }
  error = "unknown command " + name;
  return std::nullopt;
}

}  // namespace marovi::cli
