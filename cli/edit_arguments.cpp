// The command lines of edit, set-version, set-manifest and show-version. The
// options of the three commands that change a file come from one table; each
// says which commands take it. The spellings build tools pass (--set-icon,
// --set-version-string KEY VALUE, ...) are options of edit like the others.
#include <charconv>
#include <iterator>

#include "cli/commands.h"

namespace marovi::cli {
namespace {

enum Scope : unsigned { kEdit = 1, kSetVersion = 2, kSetManifest = 4, kAny = 7 };

struct Option {
  const char* name;
  int values;         // how many values follow it: 0, 1, or 2
  unsigned commands;  // which commands take it (Scope bits)
  const char* needs;  // what its values are, for the usage error
  // Applies the option; false when a value is not what it needs.
  bool (*apply)(EditOptions& options, const std::string* values);
};

bool SetVersion(std::optional<VersionNumber>& field, const std::string& text) {
  field = ParseVersionNumber(text);
  return field.has_value();
}

bool SetLevel(EditOptions& o, const std::string& text) {
  o.executionLevel = ParseExecutionLevel(text);
  return o.executionLevel.has_value();
}

bool AddString(EditOptions& o, const std::string& key, const std::string& value) {
  // Keys and values are stored in UTF-16: bytes that are not UTF-8 would
  // become U+FFFD and the file would not hold what was given.
  if (key.empty() || !FileArgument(key) || !FileArgument(value)) return false;
  o.strings.push_back({platform::FromUtf8(key), platform::FromUtf8(value)});
  return true;
}

constexpr char kVersionNeeds[] = "a version A.B.C.D of up to four numbers from 0 to 65535";
constexpr char kLevelNeeds[] = "asInvoker, highestAvailable or requireAdministrator";
constexpr char kLanguageNeeds[] = "a language number from 0 to 65535";

const Option kOptions[] = {
    {"--icon", 1, kEdit, "an icon file",
     [](EditOptions& o, const std::string* v) {
       o.iconFile = v[0];
       return true;
     }},
    {"--set-icon", 1, kEdit, "an icon file",
     [](EditOptions& o, const std::string* v) {
       o.iconFile = v[0];
       return true;
     }},
    {"--group", 1, kEdit, "a name or an id",
     [](EditOptions& o, const std::string* v) {
       o.group = v[0];
       o.shellGroup = v[0] == "first";
       return !v[0].empty();
     }},
    {"--lang", 1, kEdit, kLanguageNeeds,
     [](EditOptions& o, const std::string* v) {
       const auto language = ParseU16(v[0]);
       o.language = language.value_or(0);
       return language.has_value();
     }},
    {"--lang", 1, kSetVersion, kLanguageNeeds,
     [](EditOptions& o, const std::string* v) {
       return (o.versionLanguage = ParseU16(v[0])).has_value();
     }},
    {"--version-lang", 1, kEdit, kLanguageNeeds,
     [](EditOptions& o, const std::string* v) {
       return (o.versionLanguage = ParseU16(v[0])).has_value();
     }},
    {"--file-version", 1, kEdit | kSetVersion, kVersionNeeds,
     [](EditOptions& o, const std::string* v) { return SetVersion(o.fileVersion, v[0]); }},
    {"--set-file-version", 1, kEdit | kSetVersion, kVersionNeeds,
     [](EditOptions& o, const std::string* v) { return SetVersion(o.fileVersion, v[0]); }},
    {"--product-version", 1, kEdit | kSetVersion, kVersionNeeds,
     [](EditOptions& o, const std::string* v) { return SetVersion(o.productVersion, v[0]); }},
    {"--set-product-version", 1, kEdit | kSetVersion, kVersionNeeds,
     [](EditOptions& o, const std::string* v) { return SetVersion(o.productVersion, v[0]); }},
    {"--string", 1, kEdit | kSetVersion, "KEY=VALUE with a key",
     [](EditOptions& o, const std::string* v) {
       const std::size_t equals = v[0].find('=');
       return equals != std::string::npos &&
              AddString(o, v[0].substr(0, equals), v[0].substr(equals + 1));
     }},
    {"--set-version-string", 2, kEdit | kSetVersion, "a KEY and a VALUE",
     [](EditOptions& o, const std::string* v) { return AddString(o, v[0], v[1]); }},
    {"--manifest", 1, kEdit, "a manifest file",
     [](EditOptions& o, const std::string* v) {
       o.manifestFile = v[0];
       return true;
     }},
    {"--execution-level", 1, kEdit | kSetManifest, kLevelNeeds,
     [](EditOptions& o, const std::string* v) { return SetLevel(o, v[0]); }},
    {"--set-requested-execution-level", 1, kEdit | kSetManifest, kLevelNeeds,
     [](EditOptions& o, const std::string* v) { return SetLevel(o, v[0]); }},
    {"--strip-signature", 0, kAny, "",
     [](EditOptions& o, const std::string*) {
       o.stripSignature = true;
       return true;
     }},
    {"--output", 1, kAny, "a destination",
     [](EditOptions& o, const std::string* v) {
       o.output = v[0];
       return true;
     }},
    {"-o", 1, kAny, "a destination",
     [](EditOptions& o, const std::string* v) {
       o.output = v[0];
       return true;
     }},
    {"--no-backup", 0, kAny, "",
     [](EditOptions& o, const std::string*) {
       o.backup = false;
       return true;
     }},
    {"--no-sync", 0, kAny, "",
     [](EditOptions& o, const std::string*) {
       o.sync = false;
       return true;
     }},
    {"--no-journal", 0, kAny, "",
     [](EditOptions& o, const std::string*) {
       o.journal = false;
       return true;
     }},
};

unsigned ScopeOf(const std::string& command) {
  if (command == "set-version") return kSetVersion;
  if (command == "set-manifest") return kSetManifest;
  return kEdit;
}

// The option arg names for this command; with "--name=value", value is set.
const Option* FindOption(const std::string& arg, unsigned scope,
                         std::optional<std::string>& inlineValue) {
  for (const Option& option : kOptions) {
    if ((option.commands & scope) == 0) continue;
    const std::string name = option.name;
    if (arg == name) return &option;
    if (option.values == 1 && arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
        arg[name.size()] == '=') {
      inlineValue = arg.substr(name.size() + 1);
      return &option;
    }
  }
  return nullptr;
}

// The rules between options, after all of them are read; empty when kept.
std::string CheckCombination(const EditOptions& o, bool languageGiven, bool groupGiven) {
  const std::string& c = o.command;
  const bool version = o.fileVersion || o.productVersion || !o.strings.empty();
  const bool manifest = o.manifestFile || o.executionLevel;
  if (o.manifestFile && o.executionLevel)
    return c + ": a manifest file and an execution level cannot both be given";
  if (c == "set-version" && !version)
    return "set-version: nothing to set (give --file-version, --product-version or --string)";
  if (c == "set-manifest" && !manifest)
    return "set-manifest takes a manifest FILE or --execution-level";
  if (c != "edit") return std::string();
  if (!o.iconFile && !version && !manifest && !o.stripSignature)
    return "edit: nothing to change (give --icon, a version, a string, a manifest, an execution "
           "level or "
           "--strip-signature)";
  if (!o.iconFile && (languageGiven || groupGiven))
    return "edit: --group and --lang apply to --icon";
  if (o.versionLanguage && !version) return "edit: --version-lang applies to a version or a string";
  if (o.shellGroup && languageGiven)
    return "edit: --group first keeps the language of the group it replaces; --lang cannot be "
           "given with it";
  return std::string();
}

}  // namespace

bool IsEditWithoutCommand(const std::vector<std::string>& args) {
  if (args.size() < 2 || args[0].empty() || args[0][0] == '-') return false;
  for (std::size_t i = 1; i < args.size(); ++i)
    if (args[i].rfind("--set-", 0) == 0) return true;
  return false;
}

std::optional<Command> ParseEdit(const std::vector<std::string>& args, std::string& error) {
  Command command;
  command.kind = CommandKind::Edit;
  EditOptions& options = command.edit;
  options.command = args[0];
  const unsigned scope = ScopeOf(options.command);
  std::vector<std::string> positional;
  bool optionsEnded = false, languageGiven = false, groupGiven = false;
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
    std::optional<std::string> inlineValue;
    const Option* option = FindOption(arg, scope, inlineValue);
    if (option == nullptr) {
      error = options.command + ": unknown option " + arg;
      return std::nullopt;
    }
    std::string values[2];
    const int count = option->values;
    if (inlineValue) {
      values[0] = *inlineValue;
    } else {
      if (i + static_cast<std::size_t>(count) >= args.size()) {
        error = options.command + ": " + option->name + " needs " + option->needs;
        return std::nullopt;
      }
      for (int k = 0; k < count; ++k) values[k] = args[++i];
    }
    if (!option->apply(options, values)) {
      error = options.command + ": " + option->name + " needs " + option->needs;
      for (int k = 0; k < count; ++k)
        if (!FileArgument(values[k]))
          error = options.command + ": " + option->name + ": " + PrintableArgument(values[k]) +
                  " is not valid UTF-8; version strings are taken in UTF-8 only";
      return std::nullopt;
    }
    const std::string name = option->name;
    if (name == "--lang" && scope == kEdit) languageGiven = true;
    if (name == "--group") groupGiven = true;
  }
  const std::size_t wanted = options.command == "set-manifest" && !options.executionLevel ? 2 : 1;
  if (positional.size() != wanted) {
    error = options.command == "set-manifest" ? "set-manifest takes an executable and a manifest "
                                                "file, or an executable and --execution-level"
                                              : options.command + " takes one executable";
    return std::nullopt;
  }
  options.executable = positional[0];
  if (wanted == 2) options.manifestFile = positional[1];
  error = CheckCombination(options, languageGiven, groupGiven);
  if (!error.empty()) return std::nullopt;
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

std::string EditUsageText() {
  return "  marovi-cli set-version EXE [--file-version A.B.C.D] [--product-version A.B.C.D]\n"
         "                     [--string KEY=VALUE]... [--lang N] [CHANGE OPTIONS]\n"
         "      Sets the versions (in the fixed part and the FileVersion and ProductVersion\n"
         "      strings) and strings (KEY matched without regard to case; an empty VALUE\n"
         "      removes it) in the version information of every language of DEST, or of\n"
         "      language N only. An image without version information gains it (language\n"
         "      N or 1033, a version not given taking the other one).\n"
         "  marovi-cli show-version FILE [--json]\n"
         "      The version information of FILE, each language in turn; --json: a JSON\n"
         "      array of one object per language.\n"
         "  marovi-cli set-manifest EXE FILE [CHANGE OPTIONS]\n"
         "  marovi-cli set-manifest EXE --execution-level LEVEL [CHANGE OPTIONS]\n"
         "      Replaces the manifest (type 24, id 1, in the language it has, or 0) with\n"
         "      the manifest file FILE (well-formed XML, an assembly), or sets its\n"
         "      requestedExecutionLevel to asInvoker, highestAvailable or\n"
         "      requireAdministrator, the rest of its text kept (a minimal manifest is\n"
         "      added when there is none).\n"
         "  marovi-cli edit EXE [--icon ICO [--group NAME|ID|first] [--lang N]]\n"
         "                     [--file-version V] [--product-version V] [--string K=V]...\n"
         "                     [--version-lang N] [--manifest FILE | --execution-level LEVEL]\n"
         "                     [CHANGE OPTIONS]\n"
         "      Any of the above in one run, the file rebuilt once. Also taken, as build\n"
         "      tools pass them: --set-icon ICO, --set-version-string KEY VALUE,\n"
         "      --set-file-version V, --set-product-version V,\n"
         "      --set-requested-execution-level LEVEL; and, with any of these, the form\n"
         "      marovi-cli EXE --set-icon ICO ... without a command.\n"
         "      An icon file may also be a square PNG image.\n"
         "  CHANGE OPTIONS of set-version, set-manifest and edit, as for set-icon:\n"
         "      [--output DEST] [--no-backup] [--no-sync] [--no-journal] [--strip-signature]\n";
}

}  // namespace marovi::cli
