// The usage text of marovi-cli.
#include <string>

#include "cli/commands.h"

namespace marovi::cli {

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
         "                    \"shown\": true on the icon group the shell shows\n" +
         ReadingUsageText() +
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
         ChangeUsageText() + RceditUsageText() +
         "  Before its work, every command puts right what a run on the same file that was\n"
         "  cut short left behind, and says so in one line.\n"
         "  marovi-cli --help | -h | --version\n"
         "Exit status: 0 done, 1 failed, 2 usage error (1 in the form without a command).";
}

std::string ChangeUsageText() {
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
         "      Any of the above in one run, the file rebuilt once. Also taken, with the\n"
         "      meaning they have in the form without a command (below): --set-icon ICO,\n"
         "      --set-version-string KEY VALUE, --set-file-version V, --set-product-version V,\n"
         "      --set-requested-execution-level LEVEL, --application-manifest FILE,\n"
         "      --set-resource-string ID VALUE, --set-rcdata ID FILE.\n"
         "      An icon file may also be a square PNG image.\n"
         "  CHANGE OPTIONS of set-version, set-manifest and edit, as for set-icon:\n"
         "      [--output DEST] [--no-backup] [--no-sync] [--no-journal] [--strip-signature]\n";
}

std::string RceditUsageText() {
  return "  marovi-cli EXE [OPTION...]\n"
         "      The form build tools call, without a command, its options with their\n"
         "      meaning there (it differs from the commands above where said):\n"
         "      -h, --help                                 show this text\n"
         "      --set-version-string, -svs KEY VALUE      set a version string; an empty\n"
         "                                 VALUE is kept, present and empty (--string KEY=\n"
         "                                 removes it)\n"
         "      --get-version-string, -gvs KEY            print its value, no line end\n"
         "      --set-file-version, -sfv V                the fixed part from the leading\n"
         "      --set-product-version, -spv V             numbers of V (1.2.3-beta, 1,2,3,4:\n"
         "                                 missing parts 0), the string V exactly as given\n"
         "                                 (--file-version writes A.B.C.D)\n"
         "      --set-icon, -si ICO                        replace the icon group the shell\n"
         "                                 shows, as --group first (group 1, US English\n"
         "                                 when there is none; --icon: MAINICON)\n"
         "      --set-requested-execution-level, -srel LEVEL\n"
         "      --application-manifest, -am FILE           replace the manifest\n"
         "      --set-resource-string, -srs ID VALUE       set string ID of the string table\n"
         "                                 (the lowest language that has one)\n"
         "      --get-resource-string, -grs ID             print it, no line end\n"
         "      --set-rcdata ID FILE                       replace the raw data resource ID\n"
         "      No backup is made (give --output DEST to keep EXE); CHANGE OPTIONS apply.\n"
         "      Nothing is printed on success; a failure prints the texts build tools\n"
         "      know (\"Fatal error: Unable to parse version string for FileVersion\",\n"
         "      \"Unable to load file: ...\") and exits with 1. EXE alone (a name with a\n"
         "      dot or a folder) is only read; an unknown option is refused\n"
         "      (\"Unrecognized argument: ...\").\n";
}

}  // namespace marovi::cli
