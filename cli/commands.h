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

struct SetIconOptions {
  std::string executable;
  std::string iconFile;
  std::optional<std::string> output;  // the destination; the executable when absent
  bool backup = true;
  std::string group = "MAINICON";  // a decimal id or a name
  bool shellGroup = false;         // --group first: the group the shell shows
  std::uint16_t language = 0;
  bool sync = true;             // --no-sync: nothing is flushed (safe against a kill only)
  bool journal = true;          // --no-journal: the undo journal is kept in the temporary folder
  bool stripSignature = false;  // --strip-signature: the certificate table goes
};

// edit, set-version and set-manifest (and the form `marovi-cli EXE
// --set-icon ICO ...`): any of the edits, made in one change of the file.
struct EditOptions {
  std::string command;  // "edit", "set-version" or "set-manifest", for messages
  std::string executable;
  std::optional<std::string> iconFile;  // the icon group is replaced only with one
  std::string group = "MAINICON";
  bool shellGroup = false;
  std::uint16_t language = 0;  // of the icon group
  std::optional<VersionNumber> fileVersion;
  std::optional<VersionNumber> productVersion;
  std::vector<VersionString> strings;  // in the order given
  std::optional<std::uint16_t> versionLanguage;
  std::optional<std::string> manifestFile;
  std::optional<ExecutionLevel> executionLevel;
  bool stripSignature = false;
  std::optional<std::string> output;
  bool backup = true;
  bool sync = true;
  bool journal = true;
};

struct ShowVersionOptions {
  std::string file;
  bool json = false;
};

enum class CommandKind { Help, Version, List, SetIcon, Edit, ShowVersion };

struct Command {
  CommandKind kind = CommandKind::Help;
  ListOptions list;
  SetIconOptions setIcon;
  EditOptions edit;
  ShowVersionOptions showVersion;
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

// The commands of edit: "edit", "set-version", "set-manifest"; and whether
// the arguments are the form `EXE --set-icon ICO ...` without a command.
std::optional<Command> ParseEdit(const std::vector<std::string>& args, std::string& error);
bool IsEditWithoutCommand(const std::vector<std::string>& args);
std::optional<Command> ParseShowVersion(const std::vector<std::string>& args, std::string& error);
// The arguments of a command that reads one FILE and takes --json: false,
// with error set, on anything else.
bool ParseFileAndJson(const std::vector<std::string>& args, const std::string& verb,
                      std::string& file, bool& json, std::string& error);
std::string EditUsageText();

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
// What set-icon and edit ask of a change alike (their options share these
// fields): the executable, the destination, the backup, the icon group and
// how the change is protected.
template <class Options>
app::ChangeRequest RequestFor(const Options& options) {
  app::ChangeRequest request;
  request.executable = platform::FromUtf8(options.executable);
  request.destination = AbsoluteDestination(options.output ? platform::FromUtf8(*options.output)
                                                           : request.executable);
  request.backup = options.backup;
  // --group first falls back to the request's MAINICON, language 0, when
  // the image has no icon group.
  if (!options.shellGroup) request.group = GroupName(options.group);
  request.language = options.language;
  request.shellGroup = options.shellGroup;
  request.options.sync = options.sync;
  request.options.journal = options.journal;
  request.options.stripSignature = options.stripSignature;
  return request;
}
// A decimal number from 0 to 65535 (an id or a language).
std::optional<std::uint16_t> ParseU16(const std::string& text);

int RunList(const ListOptions& options);
int RunSetIcon(const SetIconOptions& options);
int RunEdit(const EditOptions& options);
int RunShowVersion(const ShowVersionOptions& options);

// Runs the command line (arguments after the program name); the exit code.
int Main(const std::vector<std::string>& args);

}  // namespace marovi::cli
