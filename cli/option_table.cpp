// The options of the commands that change a file (set-icon, edit,
// set-version, set-manifest) and of the form `marovi-cli EXE --set-icon ICO
// ...` without a command, in one table: each option says which of them take
// it. The form without a command reads its options as build tools pass
// them, and refuses a command line with the texts their callers look for.

#include "cli/commands.h"

namespace marovi::cli {
namespace {

enum Scope : unsigned {
  kSetIcon = 1,
  kEdit = 2,
  kSetVersion = 4,
  kSetManifest = 8,
  kRcedit = 16,  // the form without a command
  kSetResource = 32,
  kDeleteResource = 64,
  kSetString = 128,
  kImportRes = 256,
  kCopyResources = 512,
  kAnyChange = 1023,
};

struct Option {
  const char* name;
  const char* shortName;  // another spelling, or nullptr
  int values;             // how many values follow it: 0 to 3
  unsigned commands;      // which commands take it (Scope bits)
  const char* needs;      // what its values are, for a command's usage error
  // The form without a command: the text when its values are missing, and
  // when a value is refused.
  const char* missing;
  const char* refused;
  // Applies the option; false when a value is not what it needs.
  bool (*apply)(EditOptions& options, const std::string* values);
};

bool SetLevel(EditOptions& o, const std::string& text) {
  o.executionLevel = ParseExecutionLevel(text);
  return o.executionLevel.has_value();
}

bool AddString(EditOptions& o, const std::string& key, const std::string& value, bool keepEmpty) {
  // Keys and values are stored in UTF-16: bytes that are not UTF-8 would
  // become U+FFFD and the file would not hold what was given.
  if (key.empty() || !FileArgument(key) || !FileArgument(value)) return false;
  o.strings.push_back({platform::FromUtf8(key), platform::FromUtf8(value)});
  o.keepEmpty.push_back(keepEmpty);
  return true;
}

// A version as build tools give it: the fixed part from its leading numbers,
// the string kept as it is.
bool SetVersionAsGiven(std::optional<VersionNumber>& number, std::optional<std::string>& text,
                       const std::string& given) {
  number = ParseLeadingVersion(given);
  text = given;
  return number.has_value();
}

constexpr char kVersionNeeds[] = "a version A.B.C.D of up to four numbers from 0 to 65535";
constexpr char kGivenVersionNeeds[] = "a version that starts with up to four numbers from 0 to "
                                      "65535, joined by dots or commas (1.2.3-beta)";
constexpr char kLevelNeeds[] = "asInvoker, highestAvailable or requireAdministrator";
constexpr char kLanguageNeeds[] = "a language number from 0 to 65535";
constexpr char kOutputNeeds[] = "a destination";
constexpr char kResourceNeeds[] =
    "a TYPE, a NAME (numbers from 0 to 65535 or names) and a data FILE";

// A type and a name, and for a resource to set its data file.
bool AddResourceItem(EditOptions& o, const std::string* v, bool withFile) {
  const std::optional<ResourceSpec> type = ParseResourceType(v[0]);
  const std::optional<ResourceSpec> name = ParseResourceName(v[1]);
  if (!type || !name) return false;
  o.resourceItems.push_back({*type, *name, withFile ? std::optional<std::string>(v[2]) : std::nullopt});
  return true;
}

bool SetOutput(EditOptions& o, const std::string* v) {
  o.output = v[0];
  return true;
}

const Option kOptions[] = {
    {"--icon", nullptr, 1, kEdit, "an icon file", "", "",
     [](EditOptions& o, const std::string* v) {
       o.iconFile = v[0];
       return true;
     }},
    // The group the shell shows, as --group first, unless --group or --lang
    // says otherwise (see ParseChange).
    {"--set-icon", "-si", 1, kEdit | kRcedit, "an icon file", "--set-icon requires path to the icon",
     "", [](EditOptions& o, const std::string* v) {
       o.iconFile = v[0];
       return true;
     }},
    {"--group", nullptr, 1, kSetIcon | kEdit, "a name or an id", "", "",
     [](EditOptions& o, const std::string* v) {
       o.group = v[0];
       o.shellGroup = v[0] == kFirstGroup;
       return !v[0].empty();
     }},
    {"--lang", nullptr, 1, kSetIcon | kEdit, kLanguageNeeds, "", "",
     [](EditOptions& o, const std::string* v) {
       const auto language = ParseU16(v[0]);
       o.language = language.value_or(0);
       return language.has_value();
     }},
    {"--lang", nullptr, 1, kSetVersion, kLanguageNeeds, "", "",
     [](EditOptions& o, const std::string* v) {
       return (o.versionLanguage = ParseU16(v[0])).has_value();
     }},
    {"--version-lang", nullptr, 1, kEdit, kLanguageNeeds, "", "",
     [](EditOptions& o, const std::string* v) {
       return (o.versionLanguage = ParseU16(v[0])).has_value();
     }},
    {"--file-version", nullptr, 1, kEdit | kSetVersion, kVersionNeeds, "", "",
     [](EditOptions& o, const std::string* v) {
       o.fileVersion = ParseVersionNumber(v[0]);
       return o.fileVersion.has_value();
     }},
    {"--set-file-version", "-sfv", 1, kEdit | kSetVersion | kRcedit, kGivenVersionNeeds,
     "--set-file-version requires a version string",
     "Unable to parse version string for FileVersion",
     [](EditOptions& o, const std::string* v) {
       return SetVersionAsGiven(o.fileVersion, o.fileVersionText, v[0]);
     }},
    {"--product-version", nullptr, 1, kEdit | kSetVersion, kVersionNeeds, "", "",
     [](EditOptions& o, const std::string* v) {
       o.productVersion = ParseVersionNumber(v[0]);
       return o.productVersion.has_value();
     }},
    {"--set-product-version", "-spv", 1, kEdit | kSetVersion | kRcedit, kGivenVersionNeeds,
     "--set-product-version requires a version string",
     "Unable to parse version string for ProductVersion",
     [](EditOptions& o, const std::string* v) {
       return SetVersionAsGiven(o.productVersion, o.productVersionText, v[0]);
     }},
    {"--string", nullptr, 1, kEdit | kSetVersion, "KEY=VALUE with a key", "", "",
     [](EditOptions& o, const std::string* v) {
       const std::size_t equals = v[0].find('=');
       return equals != std::string::npos &&
              AddString(o, v[0].substr(0, equals), v[0].substr(equals + 1), false);
     }},
    {"--set-version-string", "-svs", 2, kEdit | kSetVersion | kRcedit, "a KEY and a VALUE",
     "--set-version-string requires 'Key' and 'Value'", "Unable to change version string",
     [](EditOptions& o, const std::string* v) { return AddString(o, v[0], v[1], true); }},
    {"--get-version-string", "-gvs", 1, kRcedit, "", "--get-version-string requires 'Key'",
     "Unable to get version string",
     [](EditOptions& o, const std::string* v) {
       o.getVersionString = v[0];
       return !v[0].empty();
     }},
    {"--manifest", nullptr, 1, kEdit, "a manifest file", "", "",
     [](EditOptions& o, const std::string* v) {
       o.manifestFile = v[0];
       return true;
     }},
    {"--application-manifest", "-am", 1, kEdit | kRcedit, "a manifest file",
     "--application-manifest requires local path", "",
     [](EditOptions& o, const std::string* v) {
       o.manifestFile = v[0];
       return true;
     }},
    {"--execution-level", nullptr, 1, kEdit | kSetManifest, kLevelNeeds, "", "",
     [](EditOptions& o, const std::string* v) { return SetLevel(o, v[0]); }},
    {"--set-requested-execution-level", "-srel", 1, kEdit | kSetManifest | kRcedit, kLevelNeeds,
     "--set-requested-execution-level requires asInvoker, highestAvailable or "
     "requireAdministrator",
     "Unable to set execution level",
     [](EditOptions& o, const std::string* v) { return SetLevel(o, v[0]); }},
    {"--set-resource-string", "-srs", 2, kEdit | kRcedit, "an id from 0 to 65535 and a VALUE",
     "--set-resource-string requires int 'Key' and string 'Value'", "Unable to parse id",
     [](EditOptions& o, const std::string* v) {
       const auto id = ParseU16(v[0]);
       if (id) o.resourceStrings.push_back({*id, platform::FromUtf8(v[1])});
       return id.has_value();
     }},
    {"--get-resource-string", "-grs", 1, kRcedit, "", "--get-resource-string requires int 'Key'",
     "Unable to parse id",
     [](EditOptions& o, const std::string* v) {
       return (o.getResourceString = ParseU16(v[0])).has_value();
     }},
    {"--set-rcdata", nullptr, 2, kEdit | kRcedit, "an id from 0 to 65535 and a data file",
     "--set-rcdata requires int 'Key' and path to the resource 'Value'", "Unable to parse id",
     [](EditOptions& o, const std::string* v) {
       const auto id = ParseU16(v[0]);
       if (id) o.rcdata.emplace_back(*id, v[1]);
       return id.has_value();
     }},
    {"--lang", nullptr, 1, kSetResource | kDeleteResource, kLanguageNeeds, "", "",
     [](EditOptions& o, const std::string* v) {
       return (o.resourceLanguage = ParseU16(v[0])).has_value();
     }},
    {"--resource-lang", nullptr, 1, kEdit, kLanguageNeeds, "", "",
     [](EditOptions& o, const std::string* v) {
       return (o.resourceLanguage = ParseU16(v[0])).has_value();
     }},
    {"--lang", nullptr, 1, kSetString, kLanguageNeeds, "", "",
     [](EditOptions& o, const std::string* v) {
       return (o.stringLanguage = ParseU16(v[0])).has_value();
     }},
    {"--string-lang", nullptr, 1, kEdit, kLanguageNeeds, "", "",
     [](EditOptions& o, const std::string* v) {
       return (o.stringLanguage = ParseU16(v[0])).has_value();
     }},
    {"--set-string", nullptr, 2, kEdit, "an id from 0 to 65535 and a TEXT in UTF-8", "", "",
     [](EditOptions& o, const std::string* v) {
       const auto id = ParseU16(v[0]);
       if (!id || !FileArgument(v[1])) return false;
       o.resourceStrings.push_back({*id, platform::FromUtf8(v[1])});
       return true;
     }},
    {"--set-resource", nullptr, 3, kEdit, kResourceNeeds, "", "",
     [](EditOptions& o, const std::string* v) { return AddResourceItem(o, v, true); }},
    {"--delete-resource", nullptr, 2, kEdit, "a TYPE and a NAME (numbers from 0 to 65535 or names)",
     "", "", [](EditOptions& o, const std::string* v) { return AddResourceItem(o, v, false); }},
    {"--import-res", nullptr, 1, kEdit, "a compiled resource file (.res)", "", "",
     [](EditOptions& o, const std::string* v) {
       o.imports.emplace_back(false, v[0]);
       return true;
     }},
    {"--copy-resources", nullptr, 1, kEdit, "an image to copy resources from", "", "",
     [](EditOptions& o, const std::string* v) {
       o.imports.emplace_back(true, v[0]);
       return true;
     }},
    {"--copy-type", nullptr, 1, kEdit, "a TYPE (a number from 0 to 65535 or a name)", "", "",
     [](EditOptions& o, const std::string* v) {
       const std::optional<ResourceSpec> type = ParseResourceType(v[0]);
       if (type) o.copyTypes.push_back(*type);
       return type.has_value();
     }},
    {"--strip-signature", nullptr, 0, kAnyChange, "", "", "",
     [](EditOptions& o, const std::string*) {
       o.stripSignature = true;
       return true;
     }},
    {"--output", "-o", 1, kAnyChange, kOutputNeeds, "--output requires a destination", "",
     SetOutput},
    {"--no-backup", nullptr, 0, kAnyChange, "", "", "",
     [](EditOptions& o, const std::string*) {
       o.backup = false;
       return true;
     }},
    {"--no-sync", nullptr, 0, kAnyChange, "", "", "",
     [](EditOptions& o, const std::string*) {
       o.sync = false;
       return true;
     }},
    {"--no-journal", nullptr, 0, kAnyChange, "", "", "",
     [](EditOptions& o, const std::string*) {
       o.journal = false;
       return true;
     }},
};

unsigned ScopeOf(const std::string& command, bool rceditForm) {
  if (rceditForm) return kRcedit;
  if (command == "set-icon") return kSetIcon;
  if (command == "set-version") return kSetVersion;
  if (command == "set-manifest") return kSetManifest;
  if (command == "set-resource") return kSetResource;
  if (command == "delete-resource") return kDeleteResource;
  if (command == "set-string") return kSetString;
  if (command == "import-res") return kImportRes;
  if (command == "copy-resources") return kCopyResources;
  return kEdit;
}

// The option arg names in this scope; with "--name=value" (not in the form
// without a command, whose values may hold anything), value is set.
const Option* FindOption(const std::string& arg, unsigned scope,
                         std::optional<std::string>& inlineValue) {
  for (const Option& option : kOptions) {
    if ((option.commands & scope) == 0) continue;
    const std::string name = option.name;
    if (arg == name || (option.shortName != nullptr && arg == option.shortName)) return &option;
    if (scope != kRcedit && option.values == 1 && arg.size() > name.size() &&
        arg.compare(0, name.size(), name) == 0 && arg[name.size()] == '=') {
      inlineValue = arg.substr(name.size() + 1);
      return &option;
    }
  }
  return nullptr;
}

// The rules between options of the commands, after all of them are read;
// empty when kept.
std::string CheckCombination(const EditOptions& o, bool languageGiven, bool groupGiven) {
  const std::string& c = o.command;
  if (o.manifestFile && o.executionLevel)
    return c + ": a manifest file and an execution level cannot both be given";
  if (c == "set-version" && !o.VersionEdits())
    return "set-version: nothing to set (give --file-version, --product-version or --string)";
  if (c == "set-manifest" && !o.ManifestEdits())
    return "set-manifest takes a manifest FILE or --execution-level";
  if (o.shellGroup && languageGiven)
    return c + ": --group first keeps the language of the group it replaces; --lang cannot be "
               "given with it";
  if (c != "edit") return std::string();
  if (!o.AnyChange())
    return "edit: nothing to change (give --icon, a version, a string, a manifest, an execution "
           "level, a resource string, raw data, a resource, a resource file, an image to copy "
           "from or --strip-signature)";
  if (o.resourceLanguage && o.resourceItems.empty())
    return "edit: --resource-lang applies to --set-resource and --delete-resource";
  if (o.stringLanguage && o.resourceStrings.empty())
    return "edit: --string-lang applies to --set-string and --set-resource-string";
  bool copies = false;
  for (const auto& import : o.imports) copies = copies || import.first;
  if (!o.copyTypes.empty() && !copies) return "edit: --copy-type applies to --copy-resources";
  if (!o.iconFile && (languageGiven || groupGiven))
    return "edit: --group and --lang apply to --icon";
  if (o.versionLanguage && !o.VersionEdits())
    return "edit: --version-lang applies to a version or a string";
  return std::string();
}

// The rules of the form without a command, in the texts build tools know.
std::string CheckRceditForm(const EditOptions& o, bool executableGiven) {
  if (!executableGiven) return "Fatal error: You should specify a exe/dll file";
  if (o.manifestFile && o.executionLevel)
    return "Fatal error: --set-requested-execution-level is ignored if --application-manifest is "
           "set";
  const bool changes = o.iconFile || o.VersionEdits() || o.ManifestEdits() || o.TableEdits();
  if (o.getVersionString && o.getResourceString)
    return "Fatal error: --get-version-string and --get-resource-string cannot both be given";
  if ((o.getVersionString || o.getResourceString) && changes)
    return "Fatal error: a --get-... option prints from the file as it is and cannot be given "
           "with changes; nothing was changed";
  return std::string();
}

// Reads the values of option at args[i] into values (i moves past them);
// false with error set when they are missing or refused.
bool TakeOption(const Option& option, const std::vector<std::string>& args, std::size_t& i,
                const std::optional<std::string>& inlineValue, EditOptions& options,
                UsageError& error) {
  const bool rcedit = options.rceditForm;
  std::string values[3];
  auto refuse = [&](const char* rceditText) {
    error.text = rcedit && *rceditText != '\0'
                     ? std::string("Fatal error: ") + rceditText
                     : options.command + ": " + option.name + " needs " + option.needs;
    for (int k = 0; k < option.values && !rcedit; ++k)
      if (!FileArgument(values[k]))
        error.text = options.command + ": " + option.name + ": " + PrintableArgument(values[k]) +
                     " is not valid UTF-8; version strings are taken in UTF-8 only";
    return false;
  };
  if (inlineValue) {
    values[0] = *inlineValue;
  } else {
    if (i + static_cast<std::size_t>(option.values) >= args.size()) return refuse(option.missing);
    for (int k = 0; k < option.values; ++k) values[k] = args[++i];
  }
  return option.apply(options, values) || refuse(option.refused);
}

}  // namespace

bool IsRceditForm(const std::vector<std::string>& args) {
  if (args.empty() || args[0].empty() || args[0][0] == '-') return false;
  bool commandOption = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::optional<std::string> inlineValue;
    const Option* option = FindOption(args[i], kRcedit, inlineValue);
    if (option != nullptr && option->commands != kAnyChange) return true;
    commandOption = commandOption || FindOption(args[i], kAnyChange & ~kRcedit, inlineValue) != nullptr;
  }
  // A file name alone, or with options none of which is known, gets build
  // tools' texts. A word without a dot or a folder, or a file with options
  // of the commands only, is a mistyped or forgotten command.
  return !commandOption && args[0].find_first_of("./\\") != std::string::npos;
}

std::optional<Command> ParseChange(const std::vector<std::string>& args, bool rceditForm,
                                   UsageError& error) {
  Command command;
  command.kind = CommandKind::Edit;
  EditOptions& options = command.edit;
  options.rceditForm = error.rceditForm = rceditForm;
  if (rceditForm) error.executable = args[0];
  options.command = rceditForm ? "edit" : args[0];
  options.backup = !rceditForm;  // build tools make no backups
  const unsigned scope = ScopeOf(options.command, rceditForm);
  std::vector<std::string> positional;
  bool optionsEnded = false, languageGiven = false, groupGiven = false, shownIcon = false;
  for (std::size_t i = rceditForm ? 0 : 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      if (rceditForm && !positional.empty()) {
        error.text = "Unrecognized argument: \"" + arg + "\"";
        return std::nullopt;
      }
      positional.push_back(arg);
      continue;
    }
    if (arg == "--" && !rceditForm) {
      optionsEnded = true;
      continue;
    }
    std::optional<std::string> inlineValue;
    const Option* option = FindOption(arg, scope, inlineValue);
    if (option == nullptr) {
      error.text = rceditForm ? "Unrecognized argument: \"" + arg + "\""
                              : options.command + ": unknown option " + arg;
      return std::nullopt;
    }
    if (!TakeOption(*option, args, i, inlineValue, options, error)) return std::nullopt;
    const std::string name = option->name;
    if (name == "--lang" && (scope & (kEdit | kSetIcon)) != 0) languageGiven = true;
    if (name == "--group") groupGiven = true;
    if (name == "--set-icon" || name == "--icon") shownIcon = name == "--set-icon";
  }
  // --set-icon replaces the group the shell shows; an image without one
  // gets group 1 in US English.
  if (shownIcon && !groupGiven && !languageGiven) {
    options.shellGroup = true;
    options.group.assign(1, '1');  // not = "1": GCC 12 warns of a false overlap there
    options.language = 0x0409;
  }
  if (rceditForm) {
    error.text = CheckRceditForm(options, !positional.empty());
    if (!error.text.empty()) return std::nullopt;
    options.executable = positional[0];
    return command;
  }
  if (ScopeOf(options.command, false) & (kSetResource | kDeleteResource | kSetString | kImportRes |
                                         kCopyResources)) {
    if (!TakeResourcePositionals(positional, options, error.text)) return std::nullopt;
    return command;
  }
  std::size_t wanted = options.command == "set-manifest" && !options.executionLevel ? 2 : 1;
  if (options.command == "set-icon") wanted = 2;
  if (positional.size() != wanted) {
    error.text = options.command == "set-manifest"
                     ? "set-manifest takes an executable and a manifest file, or an executable "
                       "and --execution-level"
                 : options.command == "set-icon" ? "set-icon takes an executable and an icon file"
                                                 : options.command + " takes one executable";
    return std::nullopt;
  }
  options.executable = positional[0];
  if (options.command == "set-manifest" && wanted == 2) options.manifestFile = positional[1];
  if (options.command == "set-icon") options.iconFile = positional[1];
  error.text = CheckCombination(options, languageGiven, groupGiven);
  if (!error.text.empty()) return std::nullopt;
  return command;
}

}  // namespace marovi::cli
