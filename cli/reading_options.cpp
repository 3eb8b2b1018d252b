// The command lines of the commands that read resources out of a file
// (extract, show-strings) and change nothing: one table of their options,
// apart from those of the changes, which apply to a change's options.

#include "cli/commands.h"

namespace marovi::cli {
namespace {

struct ReadingOption {
  const char* name;
  const char* shortName;  // another spelling, or nullptr
  bool takesValue;
  const char* command;  // the command that takes it
  void (*apply)(Command& command, const std::string& value);
};

const ReadingOption kReadingOptions[] = {
    {"--output", "-o", true, "extract",
     [](Command& c, const std::string& v) { c.extract.output = v; }},
    {"--json", nullptr, false, "show-strings",
     [](Command& c, const std::string&) { c.showStrings.json = true; }},
};

// Reads the options of args (args[0] names the command) into command and
// the other arguments into positional; false with error on an unknown
// option or a missing value. An option's value may follow it or an '='.
bool ReadOptions(const std::vector<std::string>& args, Command& command,
                 std::vector<std::string>& positional, std::string& error) {
  const std::string& verb = args[0];
  bool optionsEnded = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    const ReadingOption* found = nullptr;
    std::optional<std::string> value;
    for (const ReadingOption& option : kReadingOptions) {
      if (verb != option.command) continue;
      const std::string name = option.name;
      if (arg == name || (option.shortName != nullptr && arg == option.shortName)) {
        found = &option;
      } else if (option.takesValue && arg.compare(0, name.size() + 1, name + "=") == 0) {
        found = &option;
        value = arg.substr(name.size() + 1);
      }
      if (found != nullptr) break;
    }
    if (found == nullptr) {
      error = verb + ": unknown option " + arg;
      return false;
    }
    if (found->takesValue && !value) {
      if (i + 1 >= args.size()) {
        error = verb + ": " + found->name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    found->apply(command, value.value_or(std::string()));
  }
  return true;
}

}  // namespace

std::optional<Command> ParseExtract(const std::vector<std::string>& args, std::string& error) {
  Command command;
  command.kind = CommandKind::Extract;
  ExtractOptions& o = command.extract;
  std::vector<std::string> positional;
  if (!ReadOptions(args, command, positional, error)) return std::nullopt;
  if (positional.empty() || positional.size() > 4) {
    error = "extract takes a FILE, then optionally a TYPE, a NAME and a LANG";
    return std::nullopt;
  }
  if (o.output.empty()) {
    error = "extract: --output DIR|FILE is needed";
    return std::nullopt;
  }
  o.file = positional[0];
  for (std::size_t i = 1; i < positional.size(); ++i)
    o.selection += (i > 1 ? " " : "") + positional[i];
  if (positional.size() > 1 && !(o.type = ParseResourceType(positional[1]))) {
    error = "extract: " + PrintableArgument(positional[1]) +
            " is not a resource type (a number from 0 to 65535, a name such as RCDATA, or a "
            "name of UTF-8 text)";
    return std::nullopt;
  }
  if (positional.size() > 2 && !(o.name = ParseResourceName(positional[2]))) {
    error = "extract: " + PrintableArgument(positional[2]) +
            " is not a resource name (a number from 0 to 65535, or a name of UTF-8 text)";
    return std::nullopt;
  }
  if (positional.size() > 3) {
    const std::optional<ResourceSpec> language = ParseResourceName(positional[3]);
    if (!language || !language->isId) {
      error = "extract: " + PrintableArgument(positional[3]) +
              " is not a language (a number from 0 to 65535)";
      return std::nullopt;
    }
    o.language = language->id;
  }
  return command;
}

std::optional<Command> ParseShowStrings(const std::vector<std::string>& args, std::string& error) {
  Command command;
  command.kind = CommandKind::ShowStrings;
  std::vector<std::string> positional;
  if (!ReadOptions(args, command, positional, error)) return std::nullopt;
  if (positional.size() != 1) {
    error = "show-strings takes one FILE";
    return std::nullopt;
  }
  command.showStrings.file = positional[0];
  return command;
}

std::string ReadingUsageText() {
  return "  marovi-cli extract FILE [TYPE [NAME [LANG]]] --output DIR|FILE\n"
         "      Writes the resources of FILE (all, those of TYPE, of NAME, of LANG) as\n"
         "      files, FILE left as it is: icon groups as .ico and cursor groups as .cur\n"
         "      files (their images inside them), bitmaps as .bmp files, version\n"
         "      information as JSON (as show-version --json), manifests as their XML,\n"
         "      anything else as its bytes (.bin). TYPE: a number, a name, or RCDATA,\n"
         "      GROUP_ICON, VERSION, MANIFEST, ... (RT_ may lead); NAME: a number or a\n"
         "      name. In the folder DIR (made when missing) each file is named\n"
         "      TYPE-NAME-LANG.EXT, e.g. GROUP_ICON-MAINICON-1033.ico, RCDATA-101-1033.bin\n"
         "      (characters a file name cannot hold as %XX). With a NAME, --output FILE\n"
         "      (not a folder) writes the one resource selected to FILE. A file is never\n"
         "      replaced: when any exists, nothing is written. Each file is written\n"
         "      under a temporary name (FILE.marovi-part) and named when whole. A group\n"
         "      that lists a missing image, or a resource that is damaged, is not\n"
         "      written (one line says why; exit status 1). The files written are\n"
         "      printed, one a line.\n"
         "  marovi-cli show-strings FILE [--json]\n"
         "      Every string of FILE's string tables, by id then language: ID LANG\n"
         "      \"TEXT\" (escaped as list shows names); --json: a JSON array of objects\n"
         "      with id, language and text.\n";
}

}  // namespace marovi::cli
