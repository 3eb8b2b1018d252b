#!/usr/bin/python3
"""End-to-end checks of marovi-cli against real executables and independent
readers (pefile, wrestool, icotool, wine64).

    cli_acceptance.py CASE --work DIR [--windows-paths] [--sample N]
                      [--wine-runner SCRIPT] -- CLI-COMMAND...

The CLI command is given whole (e.g. `marovi-cli`, or `wine-run.sh
marovi-cli.exe`), so that the native and the Windows builds share the checks.
With --windows-paths every path handed to the CLI is written as Z:\\...
"""
import sys

from acceptance_support import (Cli, case_options, keep_wine_server, run_reported, split_command,
                                work_folder)
from cli_file_safety_cases import case_journal, case_locks, case_whole_or_absent
from cli_icon_cases import (case_backup_rules, case_failures, case_list, case_runs_under_wine, case_set_icon_nsis,
                            case_set_icon_wine64, case_shell_group)
from cli_signature_cases import case_signature, case_unchanged_and_refused
from cli_version_cases import case_edit, case_version_manifest

CASES = {
    "list": case_list,
    "set-icon-wine64": case_set_icon_wine64,
    "set-icon-nsis": case_set_icon_nsis,
    "runs-under-wine": case_runs_under_wine,
    "backup-rules": case_backup_rules,
    "failures": case_failures,
    "whole-or-absent": case_whole_or_absent,
    "locks": case_locks,
    "shell-group": case_shell_group,
    "version-manifest": case_version_manifest,
    "edit": case_edit,
    "signature": case_signature,
    "journal": case_journal,
    "unchanged-and-refused": case_unchanged_and_refused,
}



def main():
    own, command = split_command(sys.argv[1:], "cli_acceptance.py CASE --work DIR [options] -- CLI...")
    parser = case_options(CASES)
    parser.add_argument("--windows-paths", action="store_true")
    parser.add_argument("--sample", type=int, default=1, help="list every N-th wine executable")
    options = parser.parse_args(own)
    cli = Cli(command, options.windows_paths)
    if options.windows_paths or options.case == "runs-under-wine":
        keep_wine_server()
    work = work_folder(options.work, options.case)

    def checks():
        if options.case == "runs-under-wine":
            case_runs_under_wine(cli, work, options.sample, options.wine_runner)
        else:
            CASES[options.case](cli, work, options.sample)
        return options.case
    run_reported(checks)


if __name__ == "__main__":
    main()
