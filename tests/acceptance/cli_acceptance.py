#!/usr/bin/python3
"""End-to-end checks of marovi-cli against real executables and independent
readers (pefile, wrestool, icotool, wine64).

    cli_acceptance.py CASE --work DIR [--windows-paths] [--sample N]
                      [--wine-runner SCRIPT] -- CLI-COMMAND...

The CLI command is given whole (e.g. `marovi-cli`, or `wine-run.sh
marovi-cli.exe`), so that the native and the Windows builds share the checks.
With --windows-paths every path handed to the CLI is written as Z:\\...
"""
import argparse
import fcntl
import hashlib
import json
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
import zlib

import pefile

WINE_EXES = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
NSIS_STUBS = "/usr/share/nsis/Stubs"
RT_ICON, RT_GROUP_ICON = 3, 14


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


# ---------------------------------------------------------------- the CLI --

class Cli:
    def __init__(self, command, windows_paths):
        # Programs named relative to where the script starts still run from
        # other folders.
        self.command = [os.path.abspath(c) if os.path.exists(c) else c for c in command]
        self.windows_paths = windows_paths

    def path(self, host_path):
        if not self.windows_paths:
            return host_path
        return "Z:" + os.path.abspath(host_path).replace("/", "\\")

    def relative(self, relative_path):
        return relative_path.replace("/", "\\") if self.windows_paths else relative_path

    def run(self, *args, cwd=None, preexec_fn=None):
        result = subprocess.run(self.command + list(args), cwd=cwd, capture_output=True, timeout=120,
                                preexec_fn=preexec_fn)
        return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")

    def start(self, *args):
        """The CLI started, not waited for."""
        return subprocess.Popen(self.command + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)


# ------------------------------------------------------------ pefile view --

def quote_name(text):
    out = []
    for c in text:
        if c in '"\\':
            out.append("\\" + c)
        elif ord(c) < 0x20 or ord(c) == 0x7F:
            out.append("\\x%02x" % ord(c))
        else:
            out.append(c)
    return '"' + "".join(out) + '"'


def key_text(entry):
    return quote_name(str(entry.name)) if entry.name is not None else str(entry.id)


def load_pe(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    return pe


def resources(path):
    """[(type, name, lang, bytes)] in directory order, as pefile reads them."""
    pe = load_pe(path)
    leaves = []
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return pe, None
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for leaf in n.directory.entries:
                data = pe.get_data(leaf.data.struct.OffsetToData, leaf.data.struct.Size)
                leaves.append((key_text(t), key_text(n), leaf.id, data))
    return pe, leaves


def listing(leaves):
    """list's lines: four columns, and "shell" as the fifth on the line of
    the group the shell shows: the first icon group leaf of the directory."""
    lines = ["%s %s %d %d" % (t, n, lang, len(data)) for t, n, lang, data in leaves]
    groups = [i for i, (t, _, _, _) in enumerate(leaves) if t == "14"]
    if groups:
        lines[groups[0]] += " shell"
    return lines


def group_ids(record):
    count = int.from_bytes(record[4:6], "little")
    return [int.from_bytes(record[6 + 14 * i + 12:6 + 14 * i + 14], "little") for i in range(count)]


def ico_images(ico):
    count = int.from_bytes(ico[4:6], "little")
    images = []
    for i in range(count):
        entry = ico[6 + 16 * i:6 + 16 * (i + 1)]
        size = int.from_bytes(entry[8:12], "little")
        offset = int.from_bytes(entry[12:16], "little")
        images.append((entry[:12], ico[offset:offset + size]))
    return images


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def read(path):
    with open(path, "rb") as f:
        return f.read()


# ------------------------------------------------------------- fixtures --

def make_icons(work):
    """Two .ico files with several sizes, the 256-pixel image PNG-compressed."""
    icons = {}
    for name, colours in (("first", "red-blue"), ("second", "yellow-green")):
        path = os.path.join(work, name + ".ico")
        if not os.path.exists(path):
            subprocess.run(["convert", "-size", "256x256", "gradient:" + colours, "-define",
                            "icon:auto-resize=256,48,32,16", path], check=True)
        icons[name] = path
    images = ico_images(read(icons["first"]))
    check(len(images) == 4 and images[0][1][:4] == b"\x89PNG",
          "convert did not make a 4-image icon with a PNG 256x256 image")
    return icons


def fresh_copy(source, work, name=None):
    target = os.path.join(work, name or os.path.basename(source))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    for stale in (target, target + ".bak"):
        if os.path.exists(stale):
            os.remove(stale)
    shutil.copyfile(source, target)
    return target


def stub_paths():
    return sorted(os.path.join(NSIS_STUBS, n) for n in os.listdir(NSIS_STUBS))


def wine_exe_paths():
    return sorted(os.path.join(WINE_EXES, n) for n in os.listdir(WINE_EXES) if n.endswith(".exe"))


# ----------------------------------------------------- the change checked --

def expect_changed(cli, target, ico_path, before, original, group="MAINICON", language=0):
    """target was changed from `before` (pefile leaves) by ico_path into group."""
    group_key = str(group) if isinstance(group, int) else quote_name(group)
    _, after = resources(target)
    check(after is not None, "%s: no resources after the change" % target)
    expect_sound_image(target, original)

    # The group and its images hold the icon file's directory and images.
    ico = read(ico_path)
    groups = [d for t, n, lang, d in after if t == "14" and n == group_key and lang == language]
    check(len(groups) == 1, "%s: group %s not found once" % (target, group_key))
    record = groups[0]
    check(record[:6] == ico[:6], "%s: group header differs from the icon file's" % target)
    ids = group_ids(record)
    images = ico_images(ico)
    check(len(ids) == len(images) and len(set(ids)) == len(ids), "%s: group lists %s" % (target, ids))
    icons = {(n, lang): d for t, n, lang, d in after if t == "3"}
    for i, (entry, image) in enumerate(images):
        check(record[6 + 14 * i:6 + 14 * i + 12] == entry, "%s: group entry %d differs" % (target, i))
        check(icons.get((str(ids[i]), language)) == image, "%s: image %d (id %d) differs" % (target, i, ids[i]))

    # wrestool puts the group back together into the same icon file.
    name = str(group)
    # (wrestool writes as many bytes behind the icon file as the group record
    # is long, whatever its buffer held; they are no part of the icon.)
    extracted = subprocess.run(["wrestool", "-x", "--type=14", "--name=" + name,
                                "--language=%d" % language, target],
                               capture_output=True, check=True).stdout
    check(extracted[:len(ico)] == ico and len(extracted) == len(ico) + len(record),
          "%s: wrestool -x --type=14 --name=%s does not give the icon file back (%d bytes for %d)"
          % (target, name, len(extracted), len(ico)))

    check(icotool_images(extracted[:len(ico)], target + ".extracted") == icotool_images(ico, target + ".given"),
          "%s: icotool -x gives other images than those of the icon file" % target)

    # Everything else is as it was: only the old group's images may go.
    old_records = [d for t, n, lang, d in before if t == "14" and n == group_key and lang == language]
    old_list = group_ids(old_records[0]) if old_records else []
    old_ids = set(old_list)
    check(ids[:len(old_list)] == old_list[:len(ids)], "%s: old ids %s not reused in %s" % (target, old_list, ids))
    replaced = {("14", group_key, language)} | {("3", str(i), language) for i in set(ids) | old_ids}
    kept_before = [(t, n, lang, d) for t, n, lang, d in before if (t, n, lang) not in replaced]
    kept_after = [(t, n, lang, d) for t, n, lang, d in after if (t, n, lang) not in replaced]
    check(sorted(kept_before) == sorted(kept_after),
          "%s: resources outside the group changed" % target)
    leftovers = {(t, n, lang) for t, n, lang, _ in after} & {("3", str(i), language) for i in old_ids - set(ids)}
    check(not leftovers, "%s: old images %s left behind" % (target, sorted(leftovers)))


def icotool_images(ico, folder):
    """The images icotool extracts from an icon file, as {name: bytes}."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    source = os.path.join(folder, "icon.ico")
    with open(source, "wb") as f:
        f.write(ico)
    subprocess.run(["icotool", "-x", "-o", folder, source], check=True, capture_output=True)
    images = {n: read(os.path.join(folder, n)) for n in sorted(os.listdir(folder)) if n != "icon.ico"}
    shutil.rmtree(folder)
    check(images, "icotool extracted no images")
    return {n.replace("icon_", ""): d for n, d in images.items()}


def warnings_of(pe):
    # The share of zero bytes that pefile warns about moves with any change.
    return {"".join("#" if c.isdigit() else c for c in w) for w in pe.get_warnings()}


def expect_sound_image(path, original=None):
    """pefile reads path without warnings of its own (beyond those the
    original file already gave) and its checksum is right."""
    pe = pefile.PE(path)
    allowed = warnings_of(pefile.PE(original)) if original else set()
    check(warnings_of(pe) <= allowed, "%s: pefile warnings %s" % (path, pe.get_warnings()))
    check(pe.verify_checksum(), "%s: the image checksum is wrong" % path)


def set_icon(cli, target, ico, *options, cwd=None, output=None, note=None):
    """note: None leaves stderr unchecked; [] wants it empty; words want one
    line that holds each of them."""
    args = ["set-icon", cli.path(target), cli.path(ico)] + list(options)
    rc, out, err = cli.run(*args, cwd=cwd)
    check(rc == 0, "set-icon %s failed (%d): %s" % (target, rc, err.strip()))
    lines = out.strip().splitlines()
    expected = os.path.basename(output or target)
    check(len(lines) == 1 and expected in lines[0], "set-icon printed %r" % out)
    if note is not None:
        # The size of data of unknown kind behind an image (wine's programs
        # carry some) is reported on a line of its own, checked elsewhere.
        notes = [n for n in err.strip().splitlines() if "behind its image" not in n]
        check(len(notes) == (1 if note else 0) and all(w in "\n".join(notes) for w in note),
              "set-icon %s: stderr %r, expected a note with %s" % (options, err, note))
    return out


def expect_failure(cli, args, words, cwd=None, code=1, preexec_fn=None):
    rc, out, err = cli.run(*args, cwd=cwd, preexec_fn=preexec_fn)
    lines = err.strip().splitlines()
    check(rc == code, "%s: exit %d, expected %d (%s)" % (args, rc, code, err.strip()))
    check(len(lines) == 1, "%s: stderr is not one line: %r" % (args, err))
    for word in words:
        check(word in lines[0], "%s: %r does not say %r" % (args, lines[0], word))


# ------------------------------------------------------------------ cases --

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


def shown_group(path):
    """The group the shell shows, as (name, language), by pefile: the first
    icon group leaf of the directory."""
    _, leaves = resources(path)
    return next(((n, lang) for t, n, lang, _ in leaves or [] if t == "14"), None)


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
    bare = fresh_copy(source, work, "fail/bare.exe")
    pe = pefile.PE(bare)
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress = 0
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].Size = 0
    data = pe.write()
    pe.close()
    with open(bare, "wb") as f:
        f.write(data)
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


# ------------------------------------------------------- nothing lost --

def parts_under(folder):
    """Temporary copies left anywhere under folder."""
    return [os.path.join(d, n) for d, _, names in os.walk(folder) for n in names if n.endswith(".marovi-part")]


def icon_held(target, icons):
    """Which of the icon files the MAINICON group of target gives back
    (wrestool reads it); a cheap check for large files."""
    extracted = subprocess.run(["wrestool", "-x", "--type=14", "--name=MAINICON", "--language=0", target],
                               capture_output=True).stdout
    for ico in icons:
        data = read(ico)
        if extracted[:len(data)] == data:
            return ico
    raise Failure("%s holds none of the icons %s" % (target, icons))


def case_whole_or_absent(cli, work, sample):
    icons = make_icons(work)
    source = os.path.join(WINE_EXES, "notepad.exe")
    ico = icons["first"]

    # Anything but a regular file is refused, named, before it is opened (a
    # FIFO used to hang the run, /dev/zero to write an endless backup).
    target = fresh_copy(source, work, "special/prog.exe")
    folder = os.path.join(work, "special", "dir.exe")
    os.makedirs(folder, exist_ok=True)
    cases = [([folder, ico], [folder, "is a directory"]),
             ([target, folder], [folder, "is a directory"]),
             ([target, ico, "--output", folder], [folder, "is a directory"])]
    if not cli.windows_paths:
        fifo = os.path.join(work, "special", "pipe.exe")
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
        sock_path = os.path.join(work, "special", "sock.ico")
        if os.path.exists(sock_path):
            os.remove(sock_path)
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(sock_path)
        cases += [([fifo, ico], [fifo, "FIFO"]),
                  ([target, fifo], [fifo, "FIFO"]),
                  ([target, ico, "--output", fifo], [fifo, "FIFO"]),
                  (["/dev/zero", ico], ["/dev/zero", "is a device"]),
                  ([target, "/dev/zero"], ["/dev/zero", "is a device"]),
                  ([target, sock_path], [sock_path, "is a socket"])]
    for args, words in cases:
        expect_failure(cli, ["set-icon"] + [cli.path(a) if a.startswith("/") else a for a in args],
                       [w if not w.startswith("/") else os.path.basename(w) for w in words])
    check(sha(target) == sha(source) and not os.path.exists(target + ".bak"),
          "a refused special file let the change go on")
    if not cli.windows_paths:
        sock.close()

    # A run with --output that fails leaves no destination behind.
    bad_ico = os.path.join(work, "truncated.ico")
    with open(bad_ico, "wb") as f:
        f.write(read(ico)[:-100])
    text = os.path.join(work, "outfail", "notes.exe")
    os.makedirs(os.path.dirname(text), exist_ok=True)
    with open(text, "w") as f:
        f.write("not an image\n")
    destination = os.path.join(work, "outfail", "new", "copy.exe")
    for exe, icon, words in ((source, bad_ico, ["truncated.ico", "icon file"]),
                             (text, ico, ["copy.exe", "not a PE image"])):
        expect_failure(cli, ["set-icon", cli.path(exe), cli.path(icon), "--output", cli.path(destination)],
                       words)
        check(not os.path.exists(destination), "a failed --output run left %s" % destination)
        check(not parts_under(os.path.join(work, "outfail")), "a failed --output run left its copy")

    # A read-only executable gives a copy that its owner can write, so that
    # the next run changes it in place.
    readonly = fresh_copy(source, work, "readonly/prog.exe")
    os.chmod(readonly, 0o444)
    destination = os.path.join(work, "readonly", "out", "new.exe")
    shutil.rmtree(os.path.dirname(destination), ignore_errors=True)
    try:
        set_icon(cli, readonly, ico, "--output", cli.path(destination), output=destination)
        check(os.stat(destination).st_mode & 0o200, "the copy of a read-only executable is read-only")
        set_icon(cli, readonly, icons["second"], "--output", cli.path(destination), output=destination)
    finally:
        os.chmod(readonly, 0o644)
    expect_changed(cli, destination, icons["second"], resources(source)[1], source)
    check(os.path.exists(destination + ".bak"), "the second run made no backup of the copy")

    # A backup that cannot be made stops the run before the file is touched.
    target = fresh_copy(source, work, "nobackup/prog.exe")
    blockers = [("a directory", lambda at: os.makedirs(at))]
    if not cli.windows_paths:
        blockers.append(("a link to a file that does not exist",
                         lambda at: os.symlink(os.path.join(work, "nowhere"), at)))
    for what, make in blockers:
        make(target + ".bak")
        expect_failure(cli, ["set-icon", cli.path(target), cli.path(ico)],
                       ["prog.exe.bak", "backup cannot be made", what])
        check(sha(target) == sha(source), "the file was changed without its backup (%s)" % what)
        if os.path.isdir(target + ".bak") and not os.path.islink(target + ".bak"):
            os.rmdir(target + ".bak")
        else:
            os.remove(target + ".bak")
    if not cli.windows_paths:
        # No room for the backup: no file may grow past half the executable.
        limit = os.path.getsize(source) // 2

        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        expect_failure(cli, ["set-icon", target, ico], ["prog.exe.bak", "File too large"],
                       preexec_fn=small_files)
        check(sha(target) == sha(source), "the file was changed without its backup")
        check(not os.path.exists(target + ".bak") and not parts_under(os.path.dirname(target)),
              "a backup that could not be written was left behind")
        # A backup left half-written by a run that was killed is written anew.
        with open(target + ".bak.marovi-part", "wb") as f:
            f.write(read(source)[:1000])
        set_icon(cli, target, ico)
        check(sha(target + ".bak") == sha(source) and not parts_under(os.path.dirname(target)),
              "the leftover of a killed run was kept")

    # Messages say what the system said, about the file it concerns.
    plain = os.path.join(work, "messages", "plain")
    os.makedirs(os.path.dirname(plain), exist_ok=True)
    with open(plain, "w") as f:
        f.write("a file, not a folder\n")
    target = fresh_copy(source, work, "messages/prog.exe")
    rc, _, err = cli.run("set-icon", cli.path(target), cli.path(ico), "--output",
                         cli.path(os.path.join(plain, "x.exe")))
    check(rc == 1 and "plain" in err and "no such" not in err.lower(), "a file as a folder: %r" % err)
    if not cli.windows_paths:
        check("Not a directory" in err, "a file as a folder: %r" % err)
        expect_failure(cli, ["set-icon", target, ico, "--output", os.path.join(work, "n" * 300 + ".exe")],
                       ["File name too long"])
        # A name that is not UTF-8 is refused as such, not as missing.
        odd = os.path.join(os.fsencode(work), b"messages", b"odd\xff.exe")
        shutil.copyfile(os.fsencode(source), odd)
        rc, _, err = cli.run("set-icon", odd, ico)
        check(rc == 1 and "odd\\xff.exe" in err and "not valid UTF-8" in err, "a non-UTF-8 name: %r" % err)
        os.remove(odd)

    # --no-sync and --no-journal change the file all the same.
    for option in ("--no-sync", "--no-journal"):
        target = fresh_copy(source, work, "options/prog.exe")
        set_icon(cli, target, ico, option)
        expect_changed(cli, target, ico, resources(source)[1], source)
        check(sha(target + ".bak") == sha(source), "%s: no backup" % option)
    rc, out, _ = cli.run("--help")
    check(rc == 0 and "fails at once" in out and "--no-sync" in out and "--no-journal" in out,
          "--help does not tell about locks and the new options")
    check('fifth column, "shell"' in out and "--group first" in out,
          "--help does not tell about the group the shell shows")


def big_executable(source, path, megabytes):
    """source with megabytes of data appended, so that copying it takes a while."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(read(source))
        block = bytes(range(256)) * 4096
        for _ in range(megabytes):
            f.write(block)
    return path


def wait_for(path, process, seconds=60):
    """True once path exists, False when process ended first."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return True
        if process.poll() is not None:
            return False
        time.sleep(0.001)
    return False


def case_locks(cli, work, sample):
    icons = make_icons(work)
    first, second = icons["first"], icons["second"]
    folder = os.path.join(work, "locks")
    shutil.rmtree(folder, ignore_errors=True)
    source = big_executable(os.path.join(WINE_EXES, "notepad.exe"), os.path.join(folder, "big.exe"), 64)
    held = "held open by another program"

    # Another program holds the file first: the run fails at once.
    if not cli.windows_paths:
        target = fresh_copy(source, folder, "held/prog.exe")
        destination = os.path.join(folder, "held", "new.exe")
        for lock, args in ((fcntl.LOCK_EX, [target, first]),
                           (fcntl.LOCK_SH, [target, first]),
                           (fcntl.LOCK_EX, [target, first, "--output", destination])):
            with open(target, "rb") as f:
                fcntl.flock(f, lock | fcntl.LOCK_NB)
                expect_failure(cli, ["set-icon"] + args, ["prog.exe", held])
            check(sha(target) == sha(source) and not os.path.exists(target + ".bak")
                  and not os.path.exists(destination) and not parts_under(folder),
                  "a run on a held file left something behind")

    # A run holds the file while another starts: the second fails at once and
    # the first completes (in place, and to a new destination).
    for name, output in (("inplace", None), ("copy", "new.exe")):
        target = fresh_copy(source, folder, name + "/prog.exe")
        args = ["set-icon", cli.path(target), cli.path(first)]
        written = target + ".bak.marovi-part"
        destination = target
        if output:
            destination = os.path.join(folder, name, output)
            args += ["--output", cli.path(destination)]
            written = destination + ".marovi-part"
        # The second run races the first: one that came after the first had
        # finished (its icon is the one left, a program starts slowly under
        # Wine, and Wine's processes end late) proves nothing and is tried
        # again.
        for attempt in range(3):
            if attempt:
                shutil.rmtree(os.path.dirname(target))
                fresh_copy(source, folder, name + "/prog.exe")
            running = cli.start(*args)
            check(wait_for(written, running), "%s: the first run never held its file" % name)
            rc, _, err = cli.run(*(args[:2] + [cli.path(second)] + args[3:]))
            first_output = running.communicate(timeout=120)
            if rc == 0 and running.returncode == 0 and \
                    icon_held(destination, (first, second)) == second:
                continue
            break
        check(rc == 1 and held in err, "%s: a second run while the first held the file: %d %r" % (name, rc, err))
        out, err = first_output
        check(running.returncode == 0, "%s: the first run failed: %r" % (name, err))
        check(icon_held(destination, (first, second)) == first, "%s: not changed by the first run" % name)
        if not output:
            check(sha(target + ".bak") == sha(source), "%s: the backup is not the unchanged file" % name)
        check(not parts_under(folder), "%s: a temporary copy was left" % name)

    # Two runs started together: each succeeds or is refused, and nothing is torn.
    for round in range(2):
        for name, output in (("race-inplace", None), ("race-copy", "new.exe")):
            target = fresh_copy(source, folder, "%s%d/prog.exe" % (name, round))
            destination = os.path.join(folder, "%s%d" % (name, round), output) if output else target
            runs = []
            for ico in (first, second):
                args = ["set-icon", cli.path(target), cli.path(ico)]
                if output:
                    args += ["--output", cli.path(destination)]
                runs.append(cli.start(*args))
            results = [(r.wait(timeout=120), r.communicate()[1].decode("utf-8")) for r in runs]
            for rc, err in results:
                check(rc == 0 or (rc == 1 and (held in err or "was made by another program" in err)),
                      "%s: a run at the same time: %d %r" % (name, rc, err))
            check(any(rc == 0 for rc, _ in results), "%s: neither run succeeded: %r" % (name, results))
            icon_held(destination, (first, second))
            if not output:
                check(sha(target + ".bak") == sha(source), "%s: the backup is torn" % name)
            elif os.path.exists(destination + ".bak"):
                icon_held(destination + ".bak", (first, second))
            check(sha(target) == sha(source) or not output, "%s: --output changed the source" % name)
            check(not parts_under(folder), "%s: a temporary copy was left" % name)
    shutil.rmtree(folder, ignore_errors=True)


# ---------------------------------------------- undo journals, leftovers --

# The first bytes of an undo journal that was cut short while its header was
# written: one of this program's, which any run may remove.
CUT_SHORT_JOURNAL = b"MAROVI-UNDO\n\x02\x00\x00\x00" + bytes(48)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def case_journal(cli, work, sample):
    icons = make_icons(work)
    first = icons["first"]
    folder = os.path.join(work, "journal")
    shutil.rmtree(folder, ignore_errors=True)
    source = os.path.join(WINE_EXES, "notepad.exe")

    # A file of the user's at the journal's name, short or long, is never
    # removed, and the run changes nothing.
    for name, notes in (("short", b"my notes"), ("long", bytes(range(256)) * 4)):
        target = fresh_copy(source, folder, name + "/prog.exe")
        write(target + ".marovi-undo", notes)
        expect_failure(cli, ["set-icon", cli.path(target), cli.path(first)],
                       ["not an undo journal of this program", "left as it is"])
        check(read(target + ".marovi-undo") == notes, "%s: the user's file was changed" % name)
        check(sha(target) == sha(source) and not os.path.exists(target + ".bak"),
              "%s: the image was changed" % name)

    # --output: a file of the user's at the name of the copy's journal is
    # kept, and no copy is made.
    target = fresh_copy(source, folder, "output/prog.exe")
    destination = os.path.join(folder, "output", "new.exe")
    notes = destination + ".marovi-part.marovi-undo"
    write(notes, b"my notes")
    expect_failure(cli, ["set-icon", cli.path(target), cli.path(first), "--output",
                         cli.path(destination)], ["not an undo journal of this program"])
    check(read(notes) == b"my notes", "--output removed a file of the user's")
    check(not os.path.exists(destination), "--output made a copy all the same")
    os.remove(notes)

    # The leftovers of a copy killed midway: the next run on the copy's name
    # removes them, and says so.
    part = destination + ".marovi-part"
    write(part, read(source)[:4096])
    write(part + ".marovi-undo", CUT_SHORT_JOURNAL)
    rc, out, err = cli.run("list", cli.path(destination))
    check(rc == 1 and "cut short were removed" in err and "no such image" in err,
          "list on the leftovers of a copy: %d %r" % (rc, err))
    check(not os.path.exists(part) and not os.path.exists(part + ".marovi-undo"),
          "list left the leftovers of a copy")

    if not cli.windows_paths:
        # A copy another run is making (it holds the file): list says so, and
        # leaves it alone.
        write(part, read(source)[:4096])
        with open(part, "rb") as f:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            expect_failure(cli, ["list", destination], ["another run is making it"])
        check(os.path.exists(part), "list removed a copy that another run was making")
        os.remove(part)
        # A change under way (the file held, its journal beside it): list says
        # that another run holds the file, not that a change cannot be undone.
        write(target + ".marovi-undo", CUT_SHORT_JOURNAL)
        with open(target, "rb") as f:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            expect_failure(cli, ["list", target], ["being changed by another run"])
        check(os.path.exists(target + ".marovi-undo"), "list removed the journal of a running change")
    shutil.rmtree(folder, ignore_errors=True)


# ------------------------------------------- version information, manifest --

ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
MANIFEST = b"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="Marovi.Test" version="1.0.0.0"/>
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security><requestedPrivileges><requestedExecutionLevel level="highestAvailable" uiAccess="false"/></requestedPrivileges></security>
  </trustInfo>
</assembly>
"""


def version_of(ms, ls):
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def pefile_versions(path):
    """Each version resource as pefile's own parser reads it: language,
    versions, file type, {table key: {key: value}} and translations."""
    pe = load_pe(path)
    _, leaves = resources(path)
    languages = [lang for t, n, lang, d in leaves or [] if t == "16"]
    records = []
    for i, fixed in enumerate(getattr(pe, "VS_FIXEDFILEINFO", [])):
        tables, translations = {}, []
        for info in pe.FileInfo[i]:
            if info.Key == b"StringFileInfo":
                for table in info.StringTable:
                    tables[table.LangID.decode().lower()] = {k.decode(): v.decode("utf-8")
                                                             for k, v in table.entries.items()}
            elif info.Key == b"VarFileInfo":
                for var in info.Var:
                    translations += [int(pair, 16) for pair in var.entry.get(b"Translation", "").split()]
        records.append({"language": languages[i],
                        "fileVersion": version_of(fixed.FileVersionMS, fixed.FileVersionLS),
                        "productVersion": version_of(fixed.ProductVersionMS, fixed.ProductVersionLS),
                        "fileType": fixed.FileType, "tables": tables, "translations": translations})
    pe.close()
    return records


def shown_versions(cli, path):
    """show-version --json in pefile_versions' shape; [] when the image has none."""
    rc, out, err = cli.run("show-version", "--json", cli.path(path))
    if rc == 1 and "has no version information" in err:
        return []
    check(rc == 0, "show-version %s failed: %s" % (path, err.strip()))
    records = []
    for r in json.loads(out):
        translations = []
        for t in r["translations"]:
            translations += [t["language"], t["codePage"]]
        records.append({"language": r["language"], "fileVersion": r["fixed"]["fileVersion"],
                        "productVersion": r["fixed"]["productVersion"], "fileType": r["fixed"]["fileType"],
                        "tables": {t["key"].lower(): {s["key"]: s["value"] for s in t["strings"]}
                                   for t in r["stringTables"]},
                        "translations": translations})
    return records


def manifests_of(path):
    """{(name, language): bytes} of the image's manifests (type 24)."""
    _, leaves = resources(path)
    return {(n, lang): d for t, n, lang, d in leaves or [] if t == "24"}


def levels_in(manifest):
    root = ET.fromstring(manifest.rstrip(b"\0"))
    check(root.tag == "{urn:schemas-microsoft-com:asm.v1}assembly", "manifest root %s" % root.tag)
    return [(e.get("level"), e.get("uiAccess")) for e in root.iter("{%s}requestedExecutionLevel" % ASM_V3)]


def change(cli, *args):
    """A command that changes a file; its one line on stdout."""
    rc, out, err = cli.run(*args)
    check(rc == 0, "%s failed (%d): %s" % (" ".join(args), rc, err.strip()))
    lines = out.strip().splitlines()
    check(len(lines) == 1, "%s printed %r" % (args[0], out))
    return lines[0], err


def expect_only_changed(before, after, types, what):
    """The resources of types other than `types` are as they were."""
    kept = lambda leaves: sorted((t, n, lang, d) for t, n, lang, d in leaves if t not in types)
    check(kept(before) == kept(after), "%s: resources other than %s changed" % (what, types))


def wrestool_entries(path, type_id):
    """(name, language, size) of each resource of type_id as wrestool lists it."""
    out = subprocess.run(["wrestool", "-l", "--type=%d" % type_id, path], capture_output=True, check=True,
                         text=True).stdout
    entries = []
    for line in out.splitlines():
        fields = dict(f.split("=", 1) for f in line.replace("[", " ").replace("]", " ").split() if "=" in f)
        entries.append((fields["--name"].strip("'"), int(fields["--language"]), int(fields["size"])))
    return entries


def case_version_manifest(cli, work, sample):
    # show-version reads what pefile reads, on wine64's programs.
    compared = 0
    for path in wine_exe_paths()[::sample]:
        ours = shown_versions(cli, path)
        check(ours == pefile_versions(path), "%s: show-version %s, pefile %s" % (path, ours, pefile_versions(path)))
        compared += 1 if ours else 0
    check(compared >= (10 // sample + 1), "only %d programs with version information compared" % compared)

    # Table of set-version runs: (program, options, expected per language, or the failure's words).
    winver = os.path.join(WINE_EXES, "winver.exe")
    hostname = os.path.join(WINE_EXES, "hostname.exe")
    cases = [
        ("an existing resource", winver,
         ["--file-version", "1.2.3.4", "--product-version", "5.6", "--string", "companyname=Acme Ltd",
          "--string", "LegalCopyright=", "--string", "Comments=na\u00efve \u20ac 1"],
         {0: ("1.2.3.4", "5.6.0.0", {"CompanyName": "Acme Ltd", "Comments": "na\u00efve \u20ac 1",
                                      "OriginalFilename": "winver.exe", "LegalCopyright": None})}),
        ("a new resource", hostname, ["--file-version", "2.0.0.1", "--string", "ProductName=Marovi"],
         {1033: ("2.0.0.1", "2.0.0.1", {"FileVersion": "2.0.0.1", "ProductVersion": "2.0.0.1",
                                        "ProductName": "Marovi"})}),
        ("a new resource in the language asked", hostname, ["--product-version", "3.1", "--lang", "1031"],
         {1031: ("3.1.0.0", "3.1.0.0", {"ProductVersion": "3.1.0.0"})}),
        ("a language it lacks", winver, ["--file-version", "1.0", "--lang", "1031"],
         ["has no version information in language 1031", "it has it in 0"]),
    ]
    for what, source, options, expected in cases:
        target = fresh_copy(source, work, "version/" + os.path.basename(source))
        _, before = resources(target)
        if isinstance(expected, list):
            expect_failure(cli, ["set-version", cli.path(target)] + options, expected)
            check(sha(target) == sha(source), "%s: a refused change changed the file" % what)
            continue
        line, _ = change(cli, "set-version", cli.path(target), *options)
        check(line.startswith("version information changed: "), "%s: printed %r" % (what, line))
        check(sha(target + ".bak") == sha(source), "%s: no backup of the file as it was" % what)
        expect_sound_image(target, source)
        _, after = resources(target)
        expect_only_changed(before, after, {"16"}, what)
        records = pefile_versions(target)
        check(shown_versions(cli, target) == records, "%s: show-version disagrees with pefile" % what)
        check(sorted(r["language"] for r in records) == sorted(expected), "%s: languages %s" % (what, records))
        for record in records:
            file_version, product_version, strings = expected[record["language"]]
            check((record["fileVersion"], record["productVersion"]) == (file_version, product_version),
                  "%s: versions %s" % (what, record))
            table = list(record["tables"].values())[0]
            for key, value in strings.items():
                check(table.get(key) == value, "%s: %s is %r, not %r" % (what, key, table.get(key), value))
            if source == hostname:
                # Made: the table and the translation of its language, in UTF-16.
                check(list(record["tables"]) == ["%04x04b0" % record["language"]] and
                      record["translations"] == [record["language"], 1200],
                      "%s: a new resource's table or translation %s" % (what, record))
        # wrestool finds the same resources, of the same sizes.
        check(wrestool_entries(target, 16) == [(n, lang, len(d)) for t, n, lang, d in after if t == "16"],
              "%s: wrestool lists other version resources" % what)

    # An image without any resources gains a section for them.
    bare = fresh_copy(hostname, work, "version/bare.exe")
    pe = pefile.PE(bare)
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress = 0
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].Size = 0
    data = pe.write()
    pe.close()
    with open(bare, "wb") as f:
        f.write(data)
    expect_failure(cli, ["show-version", cli.path(bare)], ["bare.exe", "has no version information"])
    change(cli, "set-version", cli.path(bare), "--file-version", "9.8.7.6", "--no-backup")
    change(cli, "set-manifest", cli.path(bare), "--execution-level", "asInvoker", "--no-backup")
    records = pefile_versions(bare)
    check([(r["language"], r["fileVersion"]) for r in records] == [(1033, "9.8.7.6")],
          "an image without resources: %s" % records)
    check(levels_in(manifests_of(bare)[("1", 0)]) == [("asInvoker", "false")], "an image without resources: manifest")
    expect_sound_image(bare, hostname)

    # Table of set-manifest runs: (program, arguments, expected {(name, language): levels or bytes}).
    manifest_file = os.path.join(work, "app.manifest")
    with open(manifest_file, "wb") as f:
        f.write(MANIFEST)
    notepad = os.path.join(WINE_EXES, "notepad.exe")
    notepad_manifests = manifests_of(notepad)
    check(list(notepad_manifests) == [("1", 0)] or len(notepad_manifests) == 1,
          "notepad.exe has manifests %s" % list(notepad_manifests))
    ((notepad_key, _),) = notepad_manifests.items()
    cases = [
        ("replaced, in its language", notepad, [cli.path(manifest_file)], {notepad_key: MANIFEST}),
        ("added in language 0", hostname, [cli.path(manifest_file)], {("1", 0): MANIFEST}),
        ("its level set", notepad, ["--execution-level", "requireAdministrator"],
         {notepad_key: [("requireAdministrator", "false")]}),
        ("made for the level", hostname, ["--execution-level", "asInvoker"], {("1", 0): [("asInvoker", "false")]}),
    ]
    for what, source, arguments, expected in cases:
        target = fresh_copy(source, work, "manifest/" + os.path.basename(source))
        _, before = resources(target)
        line, _ = change(cli, "set-manifest", cli.path(target), *arguments)
        check(line.startswith("manifest changed: "), "%s: printed %r" % (what, line))
        expect_sound_image(target, source)
        _, after = resources(target)
        expect_only_changed(before, after, {"24"}, what)
        got = manifests_of(target)
        check(list(got) == list(expected), "%s: manifests %s" % (what, list(got)))
        for key, want in expected.items():
            check(got[key] == want if isinstance(want, bytes) else levels_in(got[key]) == want,
                  "%s: manifest %s is %r" % (what, key, got[key][:200]))
        check(wrestool_entries(target, 24) == [(n, lang, len(d)) for t, n, lang, d in after if t == "24"],
              "%s: wrestool lists other manifests" % what)
    # The level set keeps the rest of the manifest's text.
    target = os.path.join(work, "manifest", "notepad.exe")
    fresh_copy(notepad, work, "manifest/notepad.exe")
    change(cli, "set-manifest", cli.path(target), "--execution-level", "highestAvailable", "--no-backup")
    edited = manifests_of(target)[notepad_key]
    chain = re.search(rb"\r?\n[ \t]*<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">.*?</trustInfo>",
                      edited, re.S)
    check(chain is not None and edited[:chain.start()] + edited[chain.end():] == notepad_manifests[notepad_key],
          "the manifest changed elsewhere than in the added trustInfo")

    # A file that is no manifest is refused, and nothing of the change is written.
    for name, content, words in (("broken.manifest", MANIFEST[:-20], ["broken.manifest", "not well-formed XML"]),
                                 ("page.manifest", b"<html/>", ["page.manifest", "is not an assembly"])):
        bad = os.path.join(work, name)
        with open(bad, "wb") as f:
            f.write(content)
        target = fresh_copy(notepad, work, "manifest/refused.exe")
        expect_failure(cli, ["set-manifest", cli.path(target), cli.path(bad), "--no-backup"], words)
        expect_failure(cli, ["edit", cli.path(target), "--icon", cli.path(make_icons(work)["first"]),
                             "--manifest", cli.path(bad), "--no-backup"], words)
        check(sha(target) == sha(notepad), "a refused manifest file changed the program")


def png_image(work, name, width, height, colours="yellow-green"):
    path = os.path.join(work, name)
    if not os.path.exists(path):
        subprocess.run(["convert", "-size", "%dx%d" % (width, height), "gradient:" + colours, path], check=True)
    return path


def expect_icon_from_png(target):
    """The MAINICON group of target is one made from a PNG: a 256-pixel PNG
    image and 48, 32, 24 and 16-pixel 32-bit bitmaps, which icotool reads."""
    extracted = subprocess.run(["wrestool", "-x", "--type=14", "--name=MAINICON", "--language=0", target],
                               capture_output=True, check=True).stdout
    count = int.from_bytes(extracted[4:6], "little")
    ico = os.path.join(os.path.dirname(target), "extracted.ico")
    with open(ico, "wb") as f:
        f.write(extracted)
    listed = subprocess.run(["icotool", "-l", ico], capture_output=True, check=True, text=True).stdout.split("\n")
    sizes = [int(re.search(r"--width=(\d+)", line).group(1)) for line in listed if "--width" in line]
    check(count == 5 and sizes == [256, 48, 32, 24, 16], "%s: the icon's images are %s" % (target, sizes))
    check(all("--bit-depth=32" in line for line in listed if "--width" in line), "%s: %s" % (target, listed))


def case_edit(cli, work, sample):
    icons = make_icons(work)
    manifest_file = os.path.join(work, "app.manifest")
    with open(manifest_file, "wb") as f:
        f.write(MANIFEST)
    square = png_image(work, "square.png", 300, 300)
    version = ["--file-version", "4.3.2.1", "--product-version", "4.3", "--string", "ProductName=Marovi Test",
               "--string", "CompanyName=Acme"]

    # One run of edit gives, resource for resource, what the changes one
    # after the other give; so do the spellings of build tools.
    for name in ("winver.exe", "notepad.exe", "cmd.exe", "hostname.exe"):
        source = os.path.join(WINE_EXES, name)
        for icon, manifest in ((icons["first"], ["--execution-level", "requireAdministrator"]),
                               (square, ["--manifest", cli.path(manifest_file)])):
            what = "%s with %s and %s" % (name, os.path.basename(icon), manifest[0])
            once = fresh_copy(source, work, "edit/once-" + name)
            line, _ = change(cli, "edit", cli.path(once), "--icon", cli.path(icon), *version, *manifest)
            check(line.startswith("changed: ") and "(icon, version information, manifest)" in line,
                  "%s: printed %r" % (what, line))
            check(sha(once + ".bak") == sha(source), "%s: the backup is not the file as it was" % what)
            expect_sound_image(once, source)
            steps = fresh_copy(source, work, "edit/steps-" + name)
            change(cli, "set-icon", cli.path(steps), cli.path(icon), "--no-backup")
            change(cli, "set-version", cli.path(steps), *version, "--no-backup")
            if manifest[0] == "--manifest":
                change(cli, "set-manifest", cli.path(steps), manifest[1], "--no-backup")
            else:
                change(cli, "set-manifest", cli.path(steps), *manifest, "--no-backup")
            check(resources(once)[1] == resources(steps)[1], "%s: one run differs from the steps" % what)
            if manifest[0] == "--execution-level":
                # The build tools' form: their meaning (the group the shell
                # shows, the version strings as given), nothing printed, and
                # the same as their spellings in edit.
                tools = fresh_copy(source, work, "edit/tools-" + name)
                spelled = fresh_copy(source, work, "edit/spelled-" + name)
                tool_args = ["--set-icon", cli.path(icon), "--set-file-version", "4.3.2.1",
                             "--set-product-version", "4.3", "--set-version-string", "ProductName", "Marovi Test",
                             "--set-version-string", "CompanyName", "Acme", "--set-requested-execution-level",
                             "requireAdministrator"]
                rc, out, err = cli.run(cli.path(tools), *tool_args)
                check(rc == 0 and out == "", "%s: the build tools' form: %d %r %r" % (what, rc, out, err))
                change(cli, "edit", cli.path(spelled), *tool_args, "--no-backup")
                check(resources(tools)[1] == resources(spelled)[1], "%s: the build tools' spellings differ" % what)
                check(not os.path.exists(tools + ".bak"), "%s: the build tools' form made a backup" % what)
                check([t.get("ProductVersion") for r in pefile_versions(tools) for t in r["tables"].values()] ==
                      ["4.3"] * sum(len(r["tables"]) for r in pefile_versions(tools)),
                      "%s: ProductVersion not kept as given" % what)
                icon_held(once, [icon])
            else:
                expect_icon_from_png(once)
            records = pefile_versions(once)
            check(records and all(r["fileVersion"] == "4.3.2.1" and r["productVersion"] == "4.3.0.0"
                                  for r in records), "%s: versions %s" % (what, records))
            for record in records:
                for table in record["tables"].values():
                    check(table.get("ProductName") == "Marovi Test" and table.get("CompanyName") == "Acme" and
                          table.get("FileVersion") == "4.3.2.1", "%s: strings %s" % (what, table))
            level = [levels_in(m) for (n, lang), m in manifests_of(once).items() if n == "1"]
            check(level == [[("requireAdministrator", "false")]] if manifest[0] == "--execution-level" else
                  list(manifests_of(once).values()) == [MANIFEST], "%s: manifests %s" % (what, level))

    # A square PNG wherever an icon file is expected; others refused, saying why.
    source = os.path.join(WINE_EXES, "hostname.exe")
    target = fresh_copy(source, work, "png/prog.exe")
    set_icon(cli, target, square, "--no-backup")
    expect_icon_from_png(target)
    expect_sound_image(target, source)
    wide = png_image(work, "wide.png", 128, 64)
    cut = os.path.join(work, "cut.png")
    with open(cut, "wb") as f:
        f.write(read(square)[:-30])
    for png, words in ((wide, ["wide.png", "the PNG image is not square (128 x 64 pixels)"]),
                       (cut, ["cut.png", "the PNG image is cut short"])):
        target = fresh_copy(source, work, "png/refused.exe")
        expect_failure(cli, ["set-icon", cli.path(target), cli.path(png), "--no-backup"], words)
        expect_failure(cli, ["edit", cli.path(target), "--icon", cli.path(png), "--file-version", "1.0",
                             "--no-backup"], words)
        check(sha(target) == sha(source), "a refused PNG changed the program")

    # --output: the source stays, the destination is made whole.
    target = fresh_copy(source, work, "out/prog.exe")
    destination = os.path.join(work, "out", "new", "changed.exe")
    shutil.rmtree(os.path.dirname(destination), ignore_errors=True)
    change(cli, "edit", cli.path(target), "--icon", cli.path(icons["second"]), "--execution-level", "asInvoker",
           "--output", cli.path(destination))
    check(sha(target) == sha(source) and os.path.exists(destination) and not parts_under(work),
          "edit --output changed the source or left its copy")
    check(levels_in(manifests_of(destination)[("1", 0)]) == [("asInvoker", "false")], "edit --output: manifest")

    # list --json: what list prints, as JSON, the group the shell shows marked.
    for path in (destination, os.path.join(WINE_EXES, "cmd.exe")):
        rc, out, err = cli.run("list", "--json", cli.path(path))
        check(rc == 0, "list --json %s: %s" % (path, err))
        entries = json.loads(out)
        rc, plain, _ = cli.run("list", cli.path(path))
        lines = plain.splitlines()
        check(len(entries) == len(lines) == len(resources(path)[1]), "list --json: %d entries" % len(entries))
        for entry, line in zip(entries, lines):
            fields = line.split(" ")
            as_text = lambda v: str(v) if isinstance(v, int) else quote_name(v)
            check([as_text(entry["type"]), as_text(entry["name"]), str(entry["language"]), str(entry["size"])] ==
                  fields[:4], "list --json %r, list %r" % (entry, line))
            check(entry.get("shown", False) == (fields[4:] == ["shell"]), "the shown mark of %r" % entry)

    # Usage errors: nothing is run.
    target = fresh_copy(source, work, "usage/prog.exe")
    for args, words in (
            (["edit", target], ["nothing to change"]),
            (["edit", target, "--manifest", manifest_file, "--execution-level", "asInvoker"], ["cannot both"]),
            (["edit", target, "--file-version", "1.2.3.4.5"], ["--file-version", "A.B.C.D"]),
            (["edit", target, "--execution-level", "admin"], ["requireAdministrator"]),
            (["edit", target, "--string", "=x"], ["--string", "KEY=VALUE"]),
            (["edit", target, "--set-version-string", "OnlyKey"], ["--set-version-string", "KEY and a VALUE"]),
            (["edit", target, "--lang", "1033", "--file-version", "1.0"], ["--lang apply to --icon"]),
            (["edit", target, "--icon", icons["first"], "--group", "first", "--lang", "9"], ["--group first"]),
            (["set-version", target], ["nothing to set"]),
            (["set-version", target, "--icon", icons["first"]], ["unknown option --icon"]),
            (["set-manifest", target], ["manifest file", "--execution-level"]),
            (["show-version"], ["one FILE"]),
            ([target, "--icon", icons["first"]], ["unknown command"])):
        expect_failure(cli, [cli.path(a) if a.startswith("/") else a for a in args], words, code=2)
    check(sha(target) == sha(source) and not os.path.exists(target + ".bak"), "a usage error changed the file")
    rc, out, _ = cli.run("--help")
    check(rc == 0 and all(w in out for w in ("set-version", "show-version", "set-manifest", "edit", "--json",
                                             "--strip-signature", "--set-version-string")),
          "--help does not tell about the new commands")


# ------------------------------------------------------------- signatures --

def osslsigncode_verify(path, certificate):
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", path], capture_output=True,
                            text=True)
    return result.returncode, result.stdout + result.stderr


def signing_key(work):
    key, certificate = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
    if not os.path.exists(certificate):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                        certificate, "-days", "30", "-subj", "/CN=Marovi test signer"], check=True,
                       capture_output=True)
    return key, certificate


def signed_copy(source, work, name):
    key, certificate = signing_key(work)
    target = os.path.join(work, name)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    for stale in (target, target + ".bak"):
        if os.path.exists(stale):
            os.remove(stale)
    subprocess.run(["osslsigncode", "sign", "-certs", certificate, "-key", key, "-in", source, "-out", target],
                   check=True, capture_output=True)
    return target


def certificate_entry(path):
    pe = pefile.PE(path, fast_load=True)
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
    at, size, field = entry.VirtualAddress, entry.Size, entry.get_file_offset()
    checksum_field = pe.OPTIONAL_HEADER.get_file_offset() + 64
    pe.close()
    return at, size, field, checksum_field


def case_signature(cli, work, sample):
    icons = make_icons(work)
    _, certificate = signing_key(work)
    source = os.path.join(WINE_EXES, "hostname.exe")
    signed = signed_copy(source, work, "signed/original.exe")
    rc, report = osslsigncode_verify(signed, certificate)
    check(rc == 0 and "Signature verification: ok" in report, "osslsigncode cannot verify its own signature: %s"
          % report)
    print("signed by osslsigncode:", " | ".join(l for l in report.splitlines() if "verification" in l or
                                                 l.startswith("Succeeded") or l.startswith("Failed")))
    signature_size = certificate_entry(signed)[1]

    # Changed without --strip-signature: the table stays, whole and moved with
    # the tail; one line says the signature no longer matches.
    for args in (["set-icon", "{target}", cli.path(icons["first"])],
                 ["edit", "{target}", "--icon", cli.path(icons["first"]), "--file-version", "1.0"],
                 ["set-version", "{target}", "--file-version", "1.0"]):
        target = fresh_copy(signed, work, "signed/kept.exe")
        rc, out, err = cli.run(*[cli.path(target) if a == "{target}" else a for a in args])
        check(rc == 0, "%s on a signed image: %s" % (args[0], err))
        notes = err.strip().splitlines()
        check(len(notes) == 1 and "was signed" in notes[0] and "no longer matches" in notes[0] and
              "renewed" in notes[0], "%s: %r" % (args[0], err))
        check(sha(target + ".bak") == sha(signed), "%s: the backup is not the signed file" % args[0])
        at, size, _, _ = certificate_entry(target)
        check(size == signature_size and at + size == os.path.getsize(target) and
              read(target)[at:] == read(signed)[-size:], "%s: the certificate table was not kept" % args[0])
        expect_sound_image(target, signed)
        rc, report = osslsigncode_verify(target, certificate)
        check(rc != 0 and "MISMATCH" in report, "%s: osslsigncode still verifies: %s" % (args[0], report))
    print("changed, signature kept:", " | ".join(l.strip() for l in report.splitlines() if "MISMATCH" in l or
                                                 l.startswith("Failed")))
    kept = read(target)

    # --strip-signature: the entry cleared, the table cut off the end, the
    # checksum right; nothing else differs from the change that kept it.
    for args in (["edit", "{target}", "--icon", cli.path(icons["first"]), "--file-version", "1.0",
                  "--strip-signature"],
                 ["set-version", "{target}", "--file-version", "1.0", "--strip-signature"]):
        target = fresh_copy(signed, work, "signed/stripped.exe")
        rc, out, err = cli.run(*[cli.path(target) if a == "{target}" else a for a in args])
        check(rc == 0 and not err.strip(), "%s --strip-signature: %d %r" % (args[0], rc, err))
        check("(signature removed)" in out or "signature removed)" in out,
              "%s --strip-signature printed %r" % (args[0], out))
        expect_sound_image(target, signed)
        at, size, field, checksum_field = certificate_entry(target)
        check((at, size) == (0, 0), "%s: the certificate entry is %#x, %d" % (args[0], at, size))
        rc, report = osslsigncode_verify(target, certificate)
        check(rc != 0 and "No signature found" in report, "%s: osslsigncode finds a signature: %s"
              % (args[0], report))
    kept_at, kept_size, field, checksum_field = certificate_entry(fresh_copy(signed, work, "signed/entry.exe"))
    stripped = bytearray(read(target))
    # The kept change of the same edits, its table cut off and entry cleared.
    target = fresh_copy(signed, work, "signed/kept.exe")
    change(cli, "set-version", cli.path(target), "--file-version", "1.0", "--no-backup")
    kept = read(target)
    kept_at = certificate_entry(target)[0]
    expected = bytearray(kept[:kept_at])
    expected[field:field + 8] = bytes(8)
    for data in (expected, stripped):
        data[checksum_field:checksum_field + 4] = bytes(4)
    check(bytes(expected) == bytes(stripped), "the stripped image is not the kept one without its table")
    print("changed with --strip-signature:", " | ".join(l for l in report.splitlines()
                                                        if "No signature" in l or l.startswith("Failed")))

    # Nothing to strip: said so, and the file is otherwise rebuilt as it was.
    target = fresh_copy(source, work, "signed/unsigned.exe")
    line, err = change(cli, "edit", cli.path(target), "--strip-signature", "--no-backup")
    check(line.endswith("(it had no signature to remove)") and not err.strip(), "an unsigned image: %r" % line)
    check(resources(target)[1] == resources(source)[1], "stripping an unsigned image changed its resources")

    # The stripped image signs again as any unsigned one does.
    key, certificate = signing_key(work)
    resigned = os.path.join(work, "signed", "resigned.exe")
    if os.path.exists(resigned):
        os.remove(resigned)
    subprocess.run(["osslsigncode", "sign", "-certs", certificate, "-key", key, "-in",
                    os.path.join(work, "signed", "stripped.exe"), "-out", resigned], check=True, capture_output=True)
    rc, report = osslsigncode_verify(resigned, certificate)
    check(rc == 0 and "Signature verification: ok" in report, "the stripped image cannot be signed again: %s"
          % report)
    print("stripped, then signed again:", " | ".join(l for l in report.splitlines() if "verification" in l))


def keep_wine_server():
    """A wineserver that outlives each program by 30 seconds: a cold start
    costs seconds per program. Its streams are closed, so that nothing waits
    for it; it ends by itself. One already running is left as it is."""
    if "WINEPREFIX" in os.environ and os.path.exists("/usr/lib/wine/wineserver"):
        subprocess.run(["/usr/lib/wine/wineserver", "-p30"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def png_chunks(png):
    """[(offset, type, data)] of a PNG's chunks."""
    chunks, at = [], 8
    while at + 12 <= len(png):
        length = int.from_bytes(png[at:at + 4], "big")
        chunks.append((at, png[at + 4:at + 8], png[at + 8:at + 8 + length]))
        at += 12 + length
    return chunks


def with_chunk_data(png, offset, data):
    """png with the data of the chunk at offset replaced (same length), its CRC fixed."""
    kind = png[offset + 4:offset + 8]
    crc = zlib.crc32(kind + data).to_bytes(4, "big")
    return png[:offset + 8] + data + crc + png[offset + 8 + len(data) + 4:]


def peak_kib(cli, *args):
    """The CLI's exit status and peak resident size in KiB."""
    process = subprocess.Popen(cli.command + list(args), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return process.returncode, usage.ru_maxrss


def case_unchanged_and_refused(cli, work, sample):
    winver = os.path.join(WINE_EXES, "winver.exe")
    notepad = os.path.join(WINE_EXES, "notepad.exe")
    icons = make_icons(work)

    # A change that changes nothing says so and leaves the file as it is: not
    # rewritten, no backup made.
    repeated = [
        ("set-version", winver, ["--file-version", "1.2.3.4", "--string", "Comments=caf\u00e9"]),
        ("set-manifest", notepad, ["--execution-level", "requireAdministrator"]),
        ("set-icon", winver, [cli.path(icons["first"])]),
        ("edit", notepad, ["--icon", cli.path(icons["second"]), "--product-version", "2.5",
                           "--execution-level", "asInvoker"]),
    ]
    for command, source, options in repeated:
        target = fresh_copy(source, work, "unchanged/" + command + ".exe")
        change(cli, command, cli.path(target), *options, "--no-backup")
        made = sha(target)
        os.utime(target, (1000000000, 1000000000))
        line, err = change(cli, command, cli.path(target), *options)
        check(line == "unchanged: %s (it holds what was asked already)" % cli.path(target),
              "%s again printed %r" % (command, line))
        check(sha(target) == made and os.stat(target).st_mtime == 1000000000,
              "%s again rewrote the file" % command)
        check(not os.path.exists(target + ".bak"), "%s again made a backup" % command)
        if command == "edit":
            line, _ = change(cli, command, cli.path(target), *options, "--strip-signature")
            check(line == "unchanged: %s (it holds what was asked already; it had no signature to remove)" %
                  cli.path(target), "edit: an unsigned file's signature stripped: %r" % line)

    # Version strings that are not UTF-8 are refused, not stored as U+FFFD.
    if not cli.windows_paths:
        target = fresh_copy(winver, work, "refused/strings.exe")
        for option in ([b"--string", b"Comments=caf\xe9"], [b"--string", b"Caf\xe9=x"]):
            expect_failure(cli, [b"set-version", target.encode()] + option,
                           ["--string", "af\\xe9", "is not valid UTF-8"], code=2)
        check(sha(target) == sha(winver) and not os.path.exists(target + ".bak"),
              "a refused string changed the file")

    # Manifests that are not what they claim to be, and PNG images that are
    # damaged (in a PNG file and inside an icon file), are refused with the
    # reason; the program stays as it was.
    manifests = [
        ("latin1.manifest", MANIFEST.replace(b"Marovi.Test", b"Marovi.T\xe9st"),
         ["latin1.manifest", "0xE9 does not begin a UTF-8 character", "declared encoding is UTF-8"]),
        ("utf16.manifest", MANIFEST.replace(b'encoding="UTF-8"', b'encoding="UTF-16"'),
         ["utf16.manifest", "declares the encoding UTF-16, but its bytes are not in it"]),
    ]
    png = read(png_image(work, "plain.png", 64, 64))
    offset, _, data = next(c for c in png_chunks(png) if c[1] == b"IDAT")
    reserved = with_chunk_data(png, offset, data[:2] + bytes([data[2] | 7]) + data[3:])
    wide = read(png_image(work, "wide.png", 64, 32))
    ico = read(icons["first"])
    first_png = next(i for i, (_, image) in enumerate(ico_images(ico)) if image[:4] == b"\x89PNG")
    entry = 6 + 16 * first_png
    size, at = struct_u32(ico, entry + 8), struct_u32(ico, entry + 12)
    check(len(wide) <= size, "the wide PNG does not fit in place of the icon's PNG image")
    wide_inside = ico[:at] + wide + ico[at + len(wide):]  # what follows its IEND is not read
    images = [
        ("reserved.png", reserved, ["reserved.png", "cannot be decoded (its compressed image data is damaged)"]),
        ("wide-inside.ico", wide_inside, ["wide-inside.ico", "image %d of 4: the PNG image is not square" %
                                          (first_png + 1)]),
    ]
    os.makedirs(os.path.join(work, "refused"), exist_ok=True)
    for name, content, words in manifests + images:
        path = os.path.join(work, "refused", name)
        with open(path, "wb") as f:
            f.write(content)
        target = fresh_copy(notepad, work, "refused/notepad.exe")
        if name.endswith(".manifest"):
            expect_failure(cli, ["set-manifest", cli.path(target), cli.path(path)], words)
        else:
            expect_failure(cli, ["set-icon", cli.path(target), cli.path(path)], words)
            expect_failure(cli, ["edit", cli.path(target), "--icon", cli.path(path)], words)
        check(sha(target) == sha(notepad), "%s: a refused change touched the program" % name)

    # list and show-version read the pages they need, not the whole file:
    # 64 MiB appended to a program cost them next to nothing more.
    if not cli.windows_paths:
        small = fresh_copy(winver, work, "memory/small.exe")
        big = big_executable(winver, os.path.join(work, "memory", "big.exe"), 64)
        for command in ("list", "show-version"):
            rc_small, small_kib = peak_kib(cli, command, small)
            rc_big, big_kib = peak_kib(cli, command, big)
            check(rc_small == 0 and rc_big == 0, "%s failed" % command)
            check(big_kib - small_kib < 16 * 1024, "%s: %d KiB for the program, %d KiB with 64 MiB appended" %
                  (command, small_kib, big_kib))
        os.remove(big)


def struct_u32(data, offset):
    return int.from_bytes(data[offset:offset + 4], "little")


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
    argv = sys.argv[1:]
    if "--" not in argv:
        sys.exit("usage: cli_acceptance.py CASE --work DIR [options] -- CLI...")
    split = argv.index("--")
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--work", required=True)
    parser.add_argument("--windows-paths", action="store_true")
    parser.add_argument("--sample", type=int, default=1, help="list every N-th wine executable")
    parser.add_argument("--wine-runner")
    options = parser.parse_args(argv[:split])
    cli = Cli(argv[split + 1:], options.windows_paths)
    if options.windows_paths or options.case == "runs-under-wine":
        keep_wine_server()
    work = os.path.join(os.path.abspath(options.work), options.case)
    os.makedirs(work, exist_ok=True)
    try:
        if options.case == "runs-under-wine":
            case_runs_under_wine(cli, work, options.sample, options.wine_runner)
        else:
            CASES[options.case](cli, work, options.sample)
    except Failure as failure:
        print("FAILED: %s" % failure)
        sys.exit(1)
    print("passed: %s" % options.case)


if __name__ == "__main__":
    main()
