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
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import time

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
        notes = err.strip().splitlines()
        check(len(notes) == (1 if note else 0) and all(w in err for w in note),
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
        running = cli.start(*args)
        check(wait_for(written, running), "%s: the first run never held its file" % name)
        rc, _, err = cli.run(*(args[:2] + [cli.path(second)] + args[3:]))
        check(rc == 1 and held in err, "%s: a second run while the first held the file: %d %r" % (name, rc, err))
        out, err = running.communicate(timeout=120)
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


def keep_wine_server():
    """A wineserver that outlives each program by 30 seconds: a cold start
    costs seconds per program. Its streams are closed, so that nothing waits
    for it; it ends by itself. One already running is left as it is."""
    if "WINEPREFIX" in os.environ and os.path.exists("/usr/lib/wine/wineserver"):
        subprocess.run(["/usr/lib/wine/wineserver", "-p30"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


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
