#!/usr/bin/python3
"""Any resource from the command line, against independent tools: a compiled
resource file that windres made, imported, gives what linking it gives
(pefile); strings set are read back by LoadStringW under wine64; malformed
resource files are refused with the executable untouched; resources set,
deleted and copied by type and name.

    resources_acceptance.py CASE --work DIR [--wine-runner SCRIPT] -- CLI-COMMAND...
"""
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from acceptance_support import (Cli, case_options, check, group_ids, keep_wine_server, resources,  # noqa: E402
                                run_reported, sha, split_command, work_folder, write)

HERE = os.path.dirname(os.path.abspath(__file__))
MANIFEST = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">'
            '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>'
            '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>'
            '</requestedPrivileges></security></trustInfo></assembly>\n')
RC = r'''#include <windows.h>
LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US
MAINICON ICON "first.ico"
2 ICON "second.ico"
STRINGTABLE
BEGIN
  1 "first string"
  17 "seventeen"
END
1 VERSIONINFO
FILEVERSION 1,2,3,4
PRODUCTVERSION 1,2,0,0
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904B0"
    BEGIN
      VALUE "FileDescription", "Resources test"
      VALUE "ProductName", "Example"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
1 RT_MANIFEST "app.manifest"
7 RCDATA "data.bin"
MYDATA MYTYPE "data.bin"
'''


def ico(sizes, seed):
    """An icon file of 32-bit bitmaps of the sizes, pixels from seed."""
    images = []
    for n, size in enumerate(sizes):
        header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
        pixels = bytes((seed * 31 + n * 7 + i) % 256 for i in range(size * size * 4))
        images.append(header + pixels + bytes(((size + 31) // 32) * 4 * size))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


def run(*args, cwd=None):
    result = subprocess.run(list(args), cwd=cwd, capture_output=True)
    check(result.returncode == 0, "%s: %s" % (" ".join(args), result.stderr.decode()[-400:]))


def build(work):
    """app.res and two programs from the same source: one linked with the
    resources (the reference), one without any."""
    write(os.path.join(work, "first.ico"), ico([16, 32], 1))
    write(os.path.join(work, "second.ico"), ico([16], 2))
    write(os.path.join(work, "other.ico"), ico([16, 24], 3))
    write(os.path.join(work, "app.manifest"), MANIFEST)
    write(os.path.join(work, "data.bin"), bytes(range(37)))
    write(os.path.join(work, "app.rc"), RC)
    write(os.path.join(work, "other.rc"), '#include <windows.h>\nLANGUAGE 9, 1\nOTHER ICON "other.ico"\n')
    write(os.path.join(work, "main.c"), "int main(void) { return 0; }\n")
    windres = "x86_64-w64-mingw32-windres"
    run(windres, "-O", "res", "-i", "app.rc", "-o", "app.res", cwd=work)
    run(windres, "-O", "coff", "-i", "app.rc", "-o", "app.o", cwd=work)
    run(windres, "-O", "coff", "-i", "other.rc", "-o", "other.o", cwd=work)
    gcc = "x86_64-w64-mingw32-gcc"
    run(gcc, "main.c", "app.o", "-o", "reference.exe", cwd=work)
    run(gcc, "main.c", "-o", "plain.exe", cwd=work)
    run(gcc, "main.c", "other.o", "-o", "other.exe", cwd=work)
    return {name: os.path.join(work, name) for name in
            ("app.res", "reference.exe", "plain.exe", "other.exe", "data.bin")}


def copy(source, work, name):
    target = os.path.join(work, name)
    shutil.copyfile(source, target)
    return target


def comparable(path):
    """The resources as pefile reads them, icon groups by their images: each
    group's entries (without the image ids) with each image's bytes; the
    image ids themselves left out."""
    leaves = resources(path)[1] or []
    by_key = {(t, n, lang): data for t, n, lang, data in leaves}
    out = set()
    for t, n, lang, data in leaves:
        if t == "3":
            continue
        if t == "14":
            entries = tuple((data[6 + 14 * i:6 + 14 * i + 12], by_key.get(("3", str(image), lang)))
                            for i, image in enumerate(group_ids(data)))
            out.add((t, n, lang, entries))
        else:
            out.add((t, n, lang, data))
    return out


def change(cli, *args):
    rc, out, err = cli.run(*args)
    check(rc == 0, "%s: exit %d, %r" % (" ".join(args), rc, err))
    return out


def case_import(cli, work, _runner):
    files = build(work)
    reference = comparable(files["reference.exe"])
    check(len(reference) == 8, "the reference: %s" % sorted(x[:3] for x in reference))
    # Into a program without resources: what linking gives, ids and all.
    target = copy(files["plain.exe"], work, "imported.exe")
    change(cli, "import-res", target, files["app.res"], "--no-backup")
    check(comparable(target) == reference, "import-res: %s" % sorted(comparable(target) ^ reference))
    check([x[:3] for x in resources(target)[1]] == [x[:3] for x in resources(files["reference.exe"])[1]],
          "import-res: other resources than the linked ones")
    # Into the reference itself: nothing changes.
    again = copy(files["reference.exe"], work, "again.exe")
    out = change(cli, "import-res", again, files["app.res"], "--no-backup")
    check("unchanged" in out and sha(again) == sha(files["reference.exe"]), "again: %r" % out)
    # Into a program whose own group has icon images 1 and 2: the groups of
    # the resource file get other ids, and every group shows its own images.
    other = copy(files["other.exe"], work, "other-imported.exe")
    own = comparable(files["other.exe"])
    change(cli, "import-res", other, files["app.res"], "--no-backup")
    check(comparable(other) == reference | own, "into other.exe: %s" % sorted(comparable(other) ^ (reference | own)))


def case_malformed(cli, work, _runner):
    files = build(work)
    with open(files["app.res"], "rb") as f:
        good = f.read()
    target = copy(files["plain.exe"], work, "target.exe")
    before = sha(target)
    header_size = struct.unpack_from("<I", good, 36)[0]
    cases = {
        "truncated header": (good[:40], "header is cut short"),
        "truncated data": (good[:len(good) - 40], "runs past the end"),
        "odd header size": (good[:36] + struct.pack("<I", header_size + 2) + good[40:], "multiple of four"),
        "data past the end": (good[:32] + struct.pack("<I", 1 << 20) + good[36:], "runs past the end"),
        "no opening entry": (good[32:], "empty entry"),
        "not a resource file": (b"MZ" + bytes(100), "empty entry"),
    }
    for name, (data, words) in sorted(cases.items()):
        bad = os.path.join(work, name.replace(" ", "-") + ".res")
        write(bad, data)
        rc, out, err = cli.run("import-res", target, bad, "--no-backup")
        check(rc == 1 and "is not a compiled resource file" in err and words in err,
              "%s: exit %d %r %r" % (name, rc, out, err))
        check(sha(target) == before and not os.path.exists(target + ".marovi-undo"),
              "%s: the executable changed" % name)


def case_strings(cli, work, runner):
    files = build(work)
    target = copy(files["reference.exe"], work, "strings.exe")
    texts = {1: "changed first", 17: "seventeen", 40: "caf\u00e9 \u65e5\u672c", 4095: "last of its block"}
    change(cli, "set-string", target, "1", texts[1], "--no-backup")
    change(cli, "set-string", target, "40", texts[40], "--no-backup", "--no-sync")
    change(cli, "edit", target, "--set-string", "4095", texts[4095], "--string-lang", "1033", "--no-backup")
    probe = os.path.join(work, "string_probe.exe")
    run("x86_64-w64-mingw32-gcc", "-municode", "-O1", "-o", probe, os.path.join(HERE, "string_probe.c"))
    keep_wine_server()
    ids = sorted(texts) + [2]
    result = subprocess.run([runner, probe, "Z:" + os.path.abspath(target).replace("/", "\\")] +
                            [str(i) for i in ids], capture_output=True, timeout=120)
    lines = result.stdout.decode("utf-8").replace("\r\n", "\n").splitlines()
    wanted = ["%d\t%s" % (i, texts[i]) for i in sorted(texts)] + ["2 missing"]
    check(result.returncode == 0 and lines == wanted, "LoadStringW: %r %r" % (lines, result.stderr.decode()[-300:]))


def case_by_type(cli, work, _runner):
    files = build(work)
    target = copy(files["reference.exe"], work, "by-type.exe")
    payload = os.path.join(work, "payload.bin")
    write(payload, b"new data")
    change(cli, "set-resource", target, "RCDATA", "7", payload, "--no-backup")
    change(cli, "set-resource", target, "RCDATA", "7", payload, "--lang", "1031", "--no-backup")
    rc, _, err = cli.run("set-resource", target, "10", "7", payload, "--no-backup")
    check(rc == 1 and "1031, 1033" in err and "--lang" in err, "two languages: %d %r" % (rc, err))
    change(cli, "set-resource", target, "HTML", "page", payload, "--no-backup")
    leaves = {(t, n, lang): data for t, n, lang, data in resources(target)[1]}
    check(leaves[("10", "7", 1033)] == b"new data" and leaves[("10", "7", 1031)] == b"new data" and
          leaves[("23", '"PAGE"', 1033)] == b"new data", "set-resource: %s" % sorted(leaves))
    before = sha(target)
    rc, _, err = cli.run("delete-resource", target, "RCDATA", "7", "--lang", "0", "--no-backup")
    check(rc == 1 and "has no resource RCDATA 7 in language 0" in err and sha(target) == before,
          "a language it lacks: %d %r" % (rc, err))
    change(cli, "edit", target, "--delete-resource", "MYTYPE", "MYDATA", "--delete-resource", "GROUP_ICON", "2",
           "--no-backup")
    change(cli, "delete-resource", target, "10", "7", "--lang", "1031", "--no-backup")
    keys = [(t, n, lang) for t, n, lang, _ in resources(target)[1]]
    check(not any(t == '"MYTYPE"' for t, _, _ in keys) and ("14", "2", 1033) not in keys and
          ("10", "7", 1031) not in keys and ("10", "7", 1033) in keys, "delete-resource: %s" % keys)
    check(len([k for k in keys if k[0] == "3"]) == 2, "the deleted group's image stayed: %s" % keys)
    # Copied: the icon groups of one program into another, with their images.
    copied = copy(files["plain.exe"], work, "copied.exe")
    change(cli, "copy-resources", files["reference.exe"], copied, "GROUP_ICON", "24", "--no-backup")
    reference = comparable(files["reference.exe"])
    check(comparable(copied) == {x for x in reference if x[0] in ("14", "24")},
          "copy-resources: %s" % sorted(x[:3] for x in comparable(copied)))


CASES = {"import": case_import, "malformed": case_malformed, "strings": case_strings, "by-type": case_by_type}


def main():
    own, command = split_command(sys.argv[1:], "resources_acceptance.py CASE --work DIR [options] -- CLI...")
    parser = case_options(CASES)
    options = parser.parse_args(own)
    cli = Cli(command, False)
    work = work_folder(options.work, "resources-" + options.case, fresh=True)

    def checks():
        CASES[options.case](cli, work, options.wine_runner)
        return options.case
    run_reported(checks)


if __name__ == "__main__":
    main()
