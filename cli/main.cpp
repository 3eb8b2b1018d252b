// marovi-cli: lists the resources of an image and changes them.
#include <exception>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/console.h"

namespace marovi::cli {

int Main(const std::vector<std::string>& args) {
  try {
    UsageError error;
    const std::optional<Command> command = ParseArguments(args, error);
    if (!command && error.rceditForm) return RefuseRceditForm(error);
    if (!command) {
      PrintError(error.text + " (see marovi-cli --help)");
      return kExitUsage;
    }
    switch (command->kind) {
      case CommandKind::Help: PrintOut(UsageText()); return kExitOk;
      case CommandKind::Version: PrintOut(std::string(kProgram) + " " + kVersion); return kExitOk;
      case CommandKind::List: return RunList(command->list);
      case CommandKind::Edit:
        return command->edit.rceditForm ? RunRceditForm(command->edit) : RunEdit(command->edit);
      case CommandKind::ShowVersion: return RunShowVersion(command->showVersion);
      case CommandKind::Extract: return RunExtract(command->extract);
      case CommandKind::ShowStrings: return RunShowStrings(command->showStrings);
    }
  } catch (const std::exception& error) {
    PrintError(std::string("internal error: ") + error.what());
  }
  return kExitFailed;
}

}  // namespace marovi::cli

#ifdef _WIN32
// Wide arguments, so that any path reaches the program unchanged.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i)
    args.push_back(marovi::platform::ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  return marovi::cli::Main(args);
}
#else
int main(int argc, char** argv) {
  return marovi::cli::Main(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
