// The commands of marovi-cli. Arguments and texts are UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/change_workflow.h"
#include "marovi/version.h"

namespace marovi::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

inline constexpr char kProgram[] = "marovi-cli";
inline constexpr char kVersion[] = MAROVI_VERSION;  // from project() in CMakeLists.txt

struct ListOptions {
  std::string file;
  bool json = false;  // --json: a JSON array of one object per resource
};

// set-icon, edit, set-version and set-manifest, and the form `marovi-cli EXE
// --set-icon ICO ...` without a command: any of the edits, made in one
// change of the file. The options of all of them come from one table.
struct EditOptions {
  // "set-icon", "edit", "set-version" or "set-manifest", for messages; "edit"
  // in the form without a command, which rceditForm marks.
  std::string command;
  bool rceditForm = false;
  std::string executable;
  std::optional<std::string> iconFile;  // the icon group is replaced only with one
  std::string group = "MAINICON";       // a decimal id or a name
  bool shellGroup = false;              // --group first: the group the shell shows
  std::uint16_t language = 0;           // of the icon group
  std::optional<VersionNumber> fileVersion;
  std::optional<VersionNumber> productVersion;
  // The version strings as given, for --set-file-version and
  // --set-product-version; the numbers formatted without them.
  std::optional<std::string> fileVersionText;
  std::optional<std::string> productVersionText;
  std::vector<VersionString> strings;  // in the order given
  std::vector<bool> keepEmpty;         // of strings: an empty value is set, not removed
  std::optional<std::uint16_t> versionLanguage;
  std::optional<std::string> manifestFile;
  std::optional<ExecutionLevel> executionLevel;
  std::vector<app::ResourceStringEdit> resourceStrings;
  std::vector<std::pair<std::uint16_t, std::string>> rcdata;  // id and data file
  std::optional<std::uint16_t> stringLanguage;  // of resourceStrings
  // Any resource by type and name: set from a file, or deleted (no file).
  struct ResourceItem {
    ResourceSpec type;
    ResourceSpec name;
    std::optional<std::string> file;
  };
  std::vector<ResourceItem> resourceItems;
  std::optional<std::uint16_t> resourceLanguage;  // of resourceItems
  // Compiled resource files (false) and images (true) whose resources are
  // brought in, in order; of images only copyTypes when any are named.
  std::vector<std::pair<bool, std::string>> imports;
  std::vector<ResourceSpec> copyTypes;
  // The form without a command only: print one value and change nothing.
  std::optional<std::string> getVersionString;
  std::optional<std::uint16_t> getResourceString;
  bool stripSignature = false;  // --strip-signature: the certificate table goes
  std::optional<std::string> output;  // the destination; the executable when absent
  bool backup = true;
  bool sync = true;     // --no-sync: nothing is flushed (safe against a kill only)
  bool journal = true;  // --no-journal: the undo journal is kept in the temporary folder

  bool VersionEdits() const { return fileVersion || productVersion || !strings.empty(); }
  bool ManifestEdits() const { return manifestFile || executionLevel; }
  bool TableEdits() const { return !resourceStrings.empty() || !rcdata.empty(); }
  bool ResourceEdits() const { return !resourceItems.empty() || !imports.empty(); }
  bool AnyChange() const {
    return iconFile || VersionEdits() || ManifestEdits() || TableEdits() || ResourceEdits() ||
           stripSignature;
  }
};

struct ShowVersionOptions {
  std::string file;
  bool json = false;
};

// extract FILE [TYPE [NAME [LANG]]] --output DIR|FILE: the resources
// selected, each as the file it would come from.
struct ExtractOptions {
  std::string file;
  std::optional<ResourceSpec> type;  // every resource when absent
  std::optional<ResourceSpec> name;  // of type: every one when absent
  std::optional<std::uint16_t> language;
  std::string selection;  // TYPE NAME LANG as given, for messages
  std::string output;
};

// show-strings FILE [--json]: every string of the string tables.
struct ShowStringsOptions {
  std::string file;
  bool json = false;
};

enum class CommandKind { Help, Version, List, Edit, ShowVersion, Extract, ShowStrings };

struct Command {
  CommandKind kind = CommandKind::Help;
  ListOptions list;
  EditOptions edit;
  ShowVersionOptions showVersion;
  ExtractOptions extract;
  ShowStringsOptions showStrings;
};

// A command line refused. In the form without a command, text is the line
// build tools expect ("Fatal error: ...", "Unrecognized argument: ...") and
// the exit status 1; otherwise a one-line description, and 2.
struct UsageError {
  std::string text;
  bool rceditForm = false;
  std::string executable;  // the form without a command: the file named first
};

// Parses the arguments after the program name; none on a usage error.
std::optional<Command> ParseArguments(const std::vector<std::string>& args, UsageError& error);
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

// --group first: the group the shell shows, whatever its name.
inline constexpr char kFirstGroup[] = "first";

// The fifth column of list on the line of the group the shell shows.
inline constexpr char kShellMark[] = "shell";

// The commands that change a file (args[0] names the command), and the form
// without a command (args[0] is the executable): their options from one
// table. Whether args are that form: the first is no command and no option,
// and an option of the form follows.
std::optional<Command> ParseChange(const std::vector<std::string>& args, bool rceditForm,
                                   UsageError& error);
bool IsRceditForm(const std::vector<std::string>& args);
// Whether name is a command that changes a file.
bool IsChangeCommand(const std::string& name);
// The positional arguments of set-resource, delete-resource, set-string,
// import-res and copy-resources into options; false with error set when
// they are not what the command takes. Other commands: nothing, true.
bool TakeResourcePositionals(const std::vector<std::string>& positional, EditOptions& options,
                             std::string& error);
// The arguments of a command that reads one FILE and takes --json: false,
// with error set, on anything else.
bool ParseFileAndJson(const std::vector<std::string>& args, const std::string& verb,
                      std::string& file, bool& json, std::string& error);
std::string ChangeUsageText();  // set-icon, set-version, show-version, set-manifest, edit
std::string RceditUsageText();  // the form without a command
std::string ReadingUsageText();  // extract, show-strings

// Shared by the commands that change a file: the group named by --group (an
// id when decimal), a destination rooted in the current directory, the note
// when the group changed is not the one the shell shows (empty otherwise),
// and the note for a signature that the change left behind.
ResourceName GroupName(const std::string& text);
std::u16string AbsoluteDestination(const std::u16string& destination);
std::string ShellGroupNote(const app::ChangeOutcome& outcome);
std::string SignatureNote(const std::string& destination);
// The line for one payload a change found behind the image: what it is and
// that it was kept working (for NSIS also what that cannot cover), that a
// broken one was left alone, or the size of data of unknown kind.
std::string PayloadNote(const PayloadFinding& payload, const std::string& destination);
// Runs the change, printing what it recovered first; none (after printing
// why) when the destination's folder cannot be made.
std::optional<app::ChangeOutcome> RunChange(const app::ChangeRequest& request,
                                            const std::string& destination);
// Prints what the change came to and returns the exit status. Made: `done` on
// stdout, then on stderr the note on the group the shell shows (unless the
// request leaves the icon alone or asks for that group) and the one on a
// signature left behind, then one line per payload found behind the image; 0. Not made: why, in one
// line on stderr; 1.
int ReportOutcome(const app::ChangeOutcome& outcome, const app::ChangeRequest& request,
                  const std::string& done);
// What a change is asked to make: the executable, the destination, the
// backup, the icon group, the edits and how the change is protected.
app::ChangeRequest RequestFor(const EditOptions& options);
// A decimal number from 0 to 65535 (an id or a language).
std::optional<std::uint16_t> ParseU16(const std::string& text);

int RunList(const ListOptions& options);
int RunEdit(const EditOptions& options);
// The form without a command: its change, or its one --get-... value.
int RunRceditForm(const EditOptions& options);
// A command line of that form refused: the line build tools print, exit 1.
int RefuseRceditForm(const UsageError& error);
int RunShowVersion(const ShowVersionOptions& options);
// The commands that read resources out of a file: their command lines, and
// the commands.
std::optional<Command> ParseExtract(const std::vector<std::string>& args, std::string& error);
std::optional<Command> ParseShowStrings(const std::vector<std::string>& args, std::string& error);
int RunExtract(const ExtractOptions& options);
int RunShowStrings(const ShowStringsOptions& options);

// Runs the command line (arguments after the program name); the exit code.
int Main(const std::vector<std::string>& args);

}  // namespace marovi::cli
