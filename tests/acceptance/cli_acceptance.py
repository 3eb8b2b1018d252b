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
import shutil
import subprocess
import sys

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

    def run(self, *args, cwd=None):
        result = subprocess.run(self.command + list(args), cwd=cwd, capture_output=True, timeout=120)
        return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")


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
    return ["%s %s %d %d" % (t, n, lang, len(data)) for t, n, lang, data in leaves]


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


def set_icon(cli, target, ico, *options, cwd=None, output=None):
    args = ["set-icon", cli.path(target), cli.path(ico)] + list(options)
    rc, out, err = cli.run(*args, cwd=cwd)
    check(rc == 0, "set-icon %s failed (%d): %s" % (target, rc, err.strip()))
    lines = out.strip().splitlines()
    expected = os.path.basename(output or target)
    check(len(lines) == 1 and expected in lines[0], "set-icon printed %r" % out)
    return out


def expect_failure(cli, args, words, cwd=None, code=1):
    rc, out, err = cli.run(*args, cwd=cwd)
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


def change_in_place(cli, target, ico, source, group="MAINICON", language=0):
    """set-icon without a backup into group, then the checks of expect_changed."""
    _, before = resources(target)
    options = ["--no-backup"]
    if group != "MAINICON":
        options += ["--group", str(group)]
    if language != 0:
        options += ["--lang", str(language)]
    set_icon(cli, target, ico, *options)
    expect_changed(cli, target, ico, before, source, group=group, language=language)


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
    expect_failure(cli, ["set-icon", cli.path(bare), cli.path(icons["first"]), "--no-backup"],
                   ["no resource section"])
    expect_failure(cli, ["list", cli.path(bare)], ["no resource section"])
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
