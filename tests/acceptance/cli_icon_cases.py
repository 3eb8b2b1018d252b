"""marovi-cli's cases on icons: list against pefile, set-icon on wine's
programs and NSIS's stubs, the group the shell shows, changed programs
under wine64, backups, and the failures that leave the file as it was.
"""
import fcntl
import os
import shutil
import subprocess

import pefile

from acceptance_support import (NSIS_STUBS, WINE_EXES, bare_copy, change, check, expect_changed,
                                expect_failure, fresh_copy, group_ids, ico_images, listing, load_pe,
                                make_icons, pefile_versions, quote_name, read, resources, set_icon, sha,
                                shown_group, signed_copy, stub_paths, wine_exe_paths)


def case_list(cli, work, sample):
    files = wine_exe_paths()[::sample] + stub_paths()
    checked = 0
    for path in files:
        rc, out, err = cli.run("list", cli.path(path))
        try:
            _, leaves = resources(path)
        except pefile.PEFormatError:
            check(rc == 1 and "not a PE image" in err, "%s: no image, but list said %d %r" % (path, rc, err))
            continue
        if leaves is None:
            check(rc == 1 and "resource" in err, "%s: no resources, but list said %d %r" % (path, rc, err))
            continue
        check(rc == 0, "%s: list failed: %s" % (path, err.strip()))
        check(out.splitlines() == listing(leaves), "%s: list disagrees with pefile" % path)
        checked += 1
    check(checked >= 20, "only %d files with resources were compared" % checked)
    print("list agrees with pefile on %d files" % checked)


def change_in_place(cli, target, ico, source, group="MAINICON", language=0, first=False, note=None):
    """set-icon without a backup into group (with first, --group first, which
    must find group and language), then the checks of expect_changed."""
    _, before = resources(target)
    options = ["--no-backup"]
    if first:
        options += ["--group", "first"]
    elif group != "MAINICON":
        options += ["--group", str(group)]
    if language != 0 and not first:
        options += ["--lang", str(language)]
    set_icon(cli, target, ico, *options, note=note)
    expect_changed(cli, target, ico, before, source, group=group, language=language)


def case_shell_group(cli, work, sample):
    """--group first replaces the group the shell shows, whatever it is
    called; without it, set-icon says so when it changes another group; list
    marks the group shown."""
    icons = make_icons(work)
    stub = os.path.join(NSIS_STUBS, "lzma-x86-unicode")
    cases = [  # source, the group it shows (name, language) or None
        (stub, (103, 1033)),
        (os.path.join(WINE_EXES, "regedit.exe"), (100, 0)),  # the lowest of six ids
        (os.path.join(WINE_EXES, "hostname.exe"), None),    # none: MAINICON is added
    ]
    for source, shown in cases:
        target = fresh_copy(source, work, "first-" + os.path.basename(source))
        group, language = shown or ("MAINICON", 0)
        change_in_place(cli, target, icons["first"], source, group=group, language=language, first=True, note=[])
        key = str(group) if isinstance(group, int) else quote_name(group)
        check(shown_group(target) == (key, language), "%s: the shell now shows %s" % (target, shown_group(target)))

    # MAINICON added before the stub's numbered group: the shell now shows it.
    target = fresh_copy(stub, work, "note-stub.exe")
    change_in_place(cli, target, icons["first"], stub,
                    note=["showed icon group 103 (language 1033)", '"MAINICON" (language 0) now', "--group first"])
    # The numbered group changed again: the shell shows MAINICON instead.
    change_in_place(cli, target, icons["second"], stub, group=103, language=1033,
                    note=['shows icon group "MAINICON" (language 0), not 103 (language 1033)', "--group first"])
    # MAINICON changed again, and shown: nothing to say.
    change_in_place(cli, target, icons["second"], stub, note=[])
    # edit says the same of the group it changes.
    edited = fresh_copy(target, work, "note-edit.exe")
    rc, _, err = cli.run("edit", cli.path(edited), "--icon", cli.path(icons["first"]), "--group", "103", "--lang",
                         "1033", "--file-version", "1.0", "--no-backup")
    check(rc == 0 and len(err.strip().splitlines()) == 1 and
          all(w in err for w in ('shows icon group "MAINICON" (language 0), not 103', "--group first")),
          "edit of a group the shell does not show: %d %r" % (rc, err))
    rc, out, _ = cli.run("list", cli.path(target))
    marked = [line for line in out.splitlines() if len(line.split(" ")) != 4]
    check(rc == 0 and marked == ['14 "MAINICON" 0 %d shell' % (6 + 14 * 4)],
          "list marks %r, not the MAINICON group" % marked)
    check(out.splitlines() == listing(resources(target)[1]), "list disagrees with pefile")
    expect_failure(cli, ["set-icon", cli.path(target), cli.path(icons["first"]), "--group", "first",
                         "--lang", "0"], ["--lang", "--group first"], code=2)


def case_set_icon_wine64(cli, work, sample):
    icons = make_icons(work)
    for name in ("hostname.exe", "cmd.exe", "notepad.exe", "regedit.exe"):
        source = os.path.join(WINE_EXES, name)
        target = fresh_copy(source, work)
        change_in_place(cli, target, icons["first"], source)
        # Changing it again replaces the group in place, reusing its ids.
        change_in_place(cli, target, icons["second"], source)
    # The existing numbered group of cmd.exe.
    source = os.path.join(WINE_EXES, "cmd.exe")
    target = fresh_copy(source, work, "cmd-group1.exe")
    change_in_place(cli, target, icons["first"], source, group=1)


def case_set_icon_nsis(cli, work, sample):
    icons = make_icons(work)
    # The stubs' own uninstaller icon: one 32x32 image of 16 colours.
    icons["uninst"] = os.path.join(NSIS_STUBS, "uninst")
    for stub in ("zlib-x86-unicode", "lzma_solid-x86-ansi", "bzip2-amd64-unicode", "lzma-x86-unicode"):
        source = os.path.join(NSIS_STUBS, stub)
        target = fresh_copy(source, work, stub + ".exe")
        change_in_place(cli, target, icons["first"], source)
        change_in_place(cli, target, icons["uninst"], source)
        # The stub's own numbered icon group (103, US English) replaced, its
        # image id reused.
        change_in_place(cli, target, icons["second"], source, group=103, language=1033)


def run_windows_program(runner, program, *args):
    result = subprocess.run([runner, program] + list(args), capture_output=True, timeout=120)
    return result.returncode, result.stdout


def case_runs_under_wine(cli, work, sample, runner):
    check(runner is not None, "--wine-runner is needed")
    icons = make_icons(work)
    for name, args in (("hostname.exe", []), ("cmd.exe", ["/c", "echo", "ok"])):
        original = fresh_copy(os.path.join(WINE_EXES, name), work, "orig-" + name)
        source = os.path.join(WINE_EXES, name)
        target = fresh_copy(source, work, "changed-" + name)
        change_in_place(cli, target, icons["first"], source)
        expected = run_windows_program(runner, original, *args)
        got = run_windows_program(runner, target, *args)
        check(expected[0] == 0 and expected[1].strip(), "%s does not run under wine64: %r" % (name, expected))
        check(got == expected, "changed %s: %r, original: %r" % (name, got, expected))
        # Icon, version information and execution level in one run; and a
        # signed copy changed with its signature stripped.
        edited = fresh_copy(source, work, "edited-" + name)
        variants = [(edited, [])]
        if shutil.which("osslsigncode"):
            variants.append((signed_copy(source, work, "stripped-" + name), ["--strip-signature"]))
        for target, extra in variants:
            change(cli, "edit", cli.path(target), "--icon", cli.path(icons["second"]), "--file-version", "7.1.2.3",
                   "--string", "ProductName=Marovi Test", "--execution-level", "highestAvailable", "--no-backup",
                   *extra)
            check(pefile_versions(target)[0]["fileVersion"] == "7.1.2.3", "%s: not edited" % target)
            got = run_windows_program(runner, target, *args)
            check(got == expected, "edited %s: %r, original: %r" % (os.path.basename(target), got, expected))

    # A C program built without any resources gains an icon and still runs;
    # its 32-bit build is checked by reading it.
    source_c = os.path.join(work, "plain.c")
    with open(source_c, "w") as f:
        f.write('#include <stdio.h>\nint main(void) { puts("plain program, no resources"); return 3; }\n')
    for compiler, runs in (("x86_64-w64-mingw32-gcc", True), ("i686-w64-mingw32-gcc", False)):
        if shutil.which(compiler) is None:
            check(not runs, "%s is missing" % compiler)
            continue
        program = os.path.join(work, "plain-%s.exe" % compiler.split("-")[0])
        subprocess.run([compiler, "-O2", "-o", program, source_c], check=True)
        check(not hasattr(load_pe(program), "DIRECTORY_ENTRY_RESOURCE"), "the plain program has resources")
        expected = run_windows_program(runner, program) if runs else None
        rc, _, err = cli.run("set-icon", cli.path(program), cli.path(icons["first"]), "--no-backup")
        check(rc == 0, "%s: a program without resources was refused: %s" % (compiler, err.strip()))
        _, leaves = resources(program)
        groups = [group_ids(d) for t, n, lang, d in (leaves or []) if t == "14" and n == '"MAINICON"']
        check(len(groups) == 1 and len(groups[0]) == len(ico_images(read(icons["first"]))),
              "%s: no icon group after the change: %r" % (compiler, listing(leaves or [])))
        pe = load_pe(program)
        check(pe.sections[-1].Name.rstrip(b"\0") == b".rsrc", "the new section is not the last one")
        check(pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum(), "%s: wrong checksum" % compiler)
        if runs:
            got = run_windows_program(runner, program)
            check(expected[0] == 3 and got == expected, "plain program: %r, before: %r" % (got, expected))


def case_backup_rules(cli, work, sample):
    icons = make_icons(work)
    source = os.path.join(WINE_EXES, "notepad.exe")

    # In place with a backup; a second change keeps the first backup.
    target = fresh_copy(source, work, "inplace/prog.exe")
    _, original = resources(target)
    set_icon(cli, target, icons["first"])
    check(sha(target + ".bak") == sha(source), "the backup is not the unchanged file")
    set_icon(cli, target, icons["second"])
    check(sha(target + ".bak") == sha(source), "the second change overwrote the first backup")
    expect_changed(cli, target, icons["second"], original, source)

    # No backup when asked not to.
    target = fresh_copy(source, work, "nobackup/prog.exe")
    set_icon(cli, target, icons["first"], "--no-backup")
    check(not os.path.exists(target + ".bak"), "--no-backup made a backup")

    # --output into folders that do not exist, given relative to the current
    # directory: the chain is made, the source is left alone.
    target = fresh_copy(source, work, "copy/prog.exe")
    shutil.rmtree(os.path.join(work, "out"), ignore_errors=True)
    relative = "out/deep/er/new.exe"
    set_icon(cli, target, icons["first"], "--output", cli.relative(relative), cwd=work,
             output=os.path.join(work, relative))
    destination = os.path.join(work, relative)
    check(sha(target) == sha(source), "--output changed the source")
    check(not os.path.exists(target + ".bak") and not os.path.exists(destination + ".bak"),
          "a copy to a new destination made a backup")
    expect_changed(cli, destination, icons["first"], original, source)

    # Paths outside ASCII reach the program unchanged, and its messages name
    # them in UTF-8.
    target = fresh_copy(source, work, "アイコン/変更前.exe")
    destination = os.path.join(work, "アイコン", "出力", "変更後.exe")
    shutil.rmtree(os.path.dirname(destination), ignore_errors=True)
    set_icon(cli, target, icons["first"], "--output", cli.path(destination), output=destination)
    expect_changed(cli, destination, icons["first"], original, source)
    rc, out, _ = cli.run("list", cli.path(destination))
    check(rc == 0 and out.splitlines() == listing(resources(destination)[1]), "list of a non-ASCII path")
    expect_failure(cli, ["set-icon", cli.path(os.path.join(work, "アイコン", "無い.exe")), cli.path(icons["first"])],
                   ["無い.exe", "no such executable"])

    # An existing --output destination gets the backup, not the source.
    target = fresh_copy(source, work, "copy/prog.exe")
    destination = os.path.join(work, relative)
    set_icon(cli, target, icons["second"], "--output", cli.path(destination), output=destination)
    check(os.path.exists(destination + ".bak") and not os.path.exists(target + ".bak"),
          "the backup of an existing destination is misplaced")
    expect_changed(cli, destination, icons["second"], original, source)


def case_failures(cli, work, sample):
    icons = make_icons(work)
    source = os.path.join(WINE_EXES, "hostname.exe")

    # A truncated icon file: the change fails after the backup, and the
    # executable is left exactly as it was.
    bad_ico = os.path.join(work, "truncated.ico")
    with open(bad_ico, "wb") as f:
        f.write(read(icons["first"])[:-100])
    target = fresh_copy(source, work, "fail/prog.exe")
    _, before = resources(target)
    expect_failure(cli, ["set-icon", cli.path(target), cli.path(bad_ico)], ["truncated.ico", "icon file"])
    check(sha(target + ".bak") == sha(source), "no backup before the failed change")
    _, after = resources(target)
    check(after == before, "a refused icon file changed the resources")
    check(sha(target) == sha(source), "a refused icon file changed the executable")

    empty_ico = os.path.join(work, "empty.ico")
    open(empty_ico, "wb").close()
    expect_failure(cli, ["set-icon", cli.path(target), cli.path(empty_ico), "--no-backup"], ["empty.ico"])
    expect_failure(cli, ["set-icon", cli.path(target), cli.path(os.path.join(work, "none.ico")),
                         "--no-backup"], ["none.ico", "cannot be opened"])

    # Not an executable, no executable, no resource section.
    text = os.path.join(work, "fail/notes.exe")
    with open(text, "w") as f:
        f.write("not an image\n")
    expect_failure(cli, ["set-icon", cli.path(text), cli.path(icons["first"])], ["not a PE image"])
    expect_failure(cli, ["set-icon", cli.path(os.path.join(work, "fail/none.exe")), cli.path(icons["first"])],
                   ["no such executable"])
    # Each command that changes a file says the same of a change not made.
    missing = cli.path(os.path.join(work, "fail/none.exe"))
    for args, words in ((["set-icon", "", cli.path(icons["first"])], ["no executable given"]),
                        (["set-icon", cli.path(target), ""], ["no icon file given"]),
                        (["edit", "", "--file-version", "1.0"], ["no executable given"]),
                        (["edit", cli.path(target), "--icon", "", "--file-version", "1.0"], ["no icon file given"]),
                        (["edit", missing, "--icon", cli.path(icons["first"])], ["none.exe", "no such executable"]),
                        (["set-version", missing, "--file-version", "1.0"], ["none.exe", "no such executable"]),
                        (["set-manifest", missing, "--execution-level", "asInvoker"],
                         ["none.exe", "no such executable"])):
        expect_failure(cli, args, words)
    check(sha(target) == sha(source), "a change not made changed the executable")
    bare = bare_copy(source, work, "fail/bare.exe")
    expect_failure(cli, ["list", cli.path(bare)], ["no resource section"])
    # An image without a resource table gains a section for the icon; the
    # old resource section, which nothing names now, stays as it was.
    old_rsrc = [s.get_data() for s in pefile.PE(bare).sections if s.Name.rstrip(b"\0") == b".rsrc"]
    rc, _, err = cli.run("set-icon", cli.path(bare), cli.path(icons["first"]), "--no-backup")
    check(rc == 0, "an image without resources was refused: %s" % err.strip())
    pe = pefile.PE(bare)
    names = [s.Name.rstrip(b"\0") for s in pe.sections]
    check(names[-1] == b".rsrc2", "the resources did not go into a new last section: %r" % names)
    check([s.get_data() for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc"] == old_rsrc,
          "the old resource section changed")
    check(pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum(), "wrong checksum after adding a section")
    pe.close()
    _, leaves = resources(bare)
    groups = [group_ids(data) for t, n, lang, data in (leaves or []) if t == "14" and n == "\"MAINICON\""]
    check(len(groups) == 1 and len(groups[0]) == len(ico_images(read(icons["first"]))),
          "the new section does not hold the icon: %r" % listing(leaves or []))
    expect_failure(cli, ["list", cli.path(text)], ["not a PE image"])

    # Usage errors.
    expect_failure(cli, [], ["command"], code=2)
    expect_failure(cli, ["set-icon", cli.path(target)], ["set-icon"], code=2)
    expect_failure(cli, ["set-icon", cli.path(target), cli.path(icons["first"]), "--lang", "70000"],
                   ["--lang"], code=2)
    rc, out, _ = cli.run("--version")
    check(rc == 0 and out.startswith("marovi-cli "), "--version printed %r" % out)

    # A file held by another program (a POSIX lock; Wine keeps its own).
    if not cli.windows_paths:
        held = fresh_copy(source, work, "fail/held.exe")
        with open(held, "rb+") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            expect_failure(cli, ["set-icon", held, icons["first"], "--no-backup"], ["held open"])
        check(sha(held) == sha(source), "a held file was changed")
