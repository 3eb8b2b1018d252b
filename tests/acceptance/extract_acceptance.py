#!/usr/bin/python3
"""marovi-cli extract and show-strings against independent tools: a program
whose resources windres compiled from files made here (icons by ImageMagick,
a cursor, bitmaps, a string table, version information, a manifest, raw
data) and real executables (wine's, NSIS's stubs), read back with wrestool,
icotool and pefile.

    extract_acceptance.py --work DIR -- CLI-COMMAND...
"""
import argparse
import json
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from acceptance_support import (WINE_EXES, Cli, check, make_icons, pefile_versions, read, resources,  # noqa: E402
                                run_reported, sha, split_command, stub_paths, wine_exe_paths, work_folder)

STRINGS = {  # (id, language): text
    (1, 1033): "first", (2, 1033): "second", (17, 1033): "seventeen",
    (101, 1033): "Gr\u00fc\u00dfe \U0001F600", (4000, 1033): 'with "quotes"\nand a line',
    (65535, 1033): "last", (1, 1031): "erste", (101, 1031): "hundertundeins",
}

RC_TEXT = """LANGUAGE 9, 1
MAINICON ICON "first.ico"
2 ICON "second.ico"
ARROW CURSOR "arrow.cur"
7 BITMAP "palette.bmp"
8 BITMAP "true.bmp"
9 BITMAP "alpha.bmp"
1 24 "app.manifest"
101 RCDATA "data.bin"
CONFIG RCDATA "config.bin"
1 VERSIONINFO
FILEVERSION 1,2,3,4
PRODUCTVERSION 5,6,7,8
FILETYPE 1
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904b0"
    BEGIN
      VALUE "CompanyName", "Example Ltd"
      VALUE "FileDescription", "Extraction sample"
      VALUE "FileVersion", "1.2.3.4"
      VALUE "ProductName", "Caf\\x00e9"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
"""


def string_tables():
    out = []
    for language in (1033, 1031):
        out.append("LANGUAGE %d, %d\nSTRINGTABLE\nBEGIN" % (language & 0x3FF, language >> 10))
        for (sid, lang), text in sorted(STRINGS.items()):
            if lang == language:
                units = text.encode("utf-16-le")
                escaped = "".join("\\x%04x" % int.from_bytes(units[i:i + 2], "little")
                                  if units[i + 1] or units[i] >= 0x80 else
                                  '""' if units[i] == ord('"') else "\\n" if units[i] == 10 else chr(units[i])
                                  for i in range(0, len(units), 2))
                out.append('  %d L"%s"' % (sid, escaped))
        out.append("END")
    return "\n".join(out) + "\n"


def cursor_dib(size, bits):
    """A cursor's bitmap: header (height doubled), palette, pixels, AND mask."""
    colors = 1 << bits if bits <= 8 else 0
    row, mask_row = (size * bits + 31) // 32 * 4, (size + 31) // 32 * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0, row * size, 0, 0, 0, 0)
    palette = b"".join(struct.pack("<I", 0xFFFFFF * (i & 1)) for i in range(colors))
    return header + palette + bytes((i * 37) & 0xFF for i in range(row * size)) + bytes(mask_row * size)


def cursor_file(images):
    """A .cur file of (size, bits, hotspot) images."""
    out = struct.pack("<HHH", 0, 2, len(images))
    offset, data = 6 + 16 * len(images), b""
    for size, bits, (x, y) in images:
        dib = cursor_dib(size, bits)
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 1 << bits if bits < 8 else 0, 0, x, y,
                           len(dib), offset + len(data))
        data += dib
    return out + data


def build_program(work):
    """The reference program: the resources of RC_TEXT, linked by ld."""
    make_icons(work)  # first.ico, second.ico (replaced below)
    subprocess.run(["convert", "-size", "48x48", "gradient:yellow-green", "-define",
                    "icon:auto-resize=48,32,16", os.path.join(work, "second.ico")], check=True)
    with open(os.path.join(work, "arrow.cur"), "wb") as f:
        f.write(cursor_file([(32, 1, (5, 9)), (48, 32, (47, 0))]))
    for name, options in (("palette", ["-colors", "16", "-type", "Palette", "BMP3:"]),
                          ("true", ["-type", "TrueColor", "BMP3:"]),
                          ("alpha", ["-alpha", "set", "-channel", "A", "-evaluate", "set", "50%", "BMP:"])):
        subprocess.run(["convert", "-size", "5x3", "gradient:red-blue"] + options[:-1] +
                       [options[-1] + os.path.join(work, name + ".bmp")], check=True)
    with open(os.path.join(work, "app.manifest"), "wb") as f:
        f.write(b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                b'<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"/>\n')
    with open(os.path.join(work, "data.bin"), "wb") as f:
        f.write(bytes(range(256)) * 3)
    with open(os.path.join(work, "config.bin"), "wb") as f:
        f.write(b"key=value\n")
    rc = os.path.join(work, "program.rc")
    with open(rc, "w") as f:
        f.write(RC_TEXT + string_tables())
    subprocess.run(["x86_64-w64-mingw32-windres", "-O", "coff", "program.rc", "program.o"], check=True, cwd=work)
    exe = os.path.join(work, "program.exe")
    subprocess.run(["x86_64-w64-mingw32-ld", "-e", "0", "--subsystem", "windows", "-o", exe,
                    os.path.join(work, "program.o")], check=True)
    return exe


# ----------------------------------------------------------- the readers --

class WrestoolFile(bytes):
    """A file's bytes, and where it lies."""
    def __new__(cls, data, path):
        self = super().__new__(cls, data)
        self.path = path
        return self


def wrestool_files(exe, type_id, folder):
    """{(name, language): bytes} of what wrestool -x writes for type_id."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    subprocess.run(["wrestool", "-x", "-t%d" % type_id, "-o", folder + "/", exe], check=True,
                   capture_output=True)
    files = {}
    for name in os.listdir(folder):
        # EXE_TYPE_NAME.EXT, with _LANGUAGE before the extension where the
        # name has more than one language.
        parts = name[len(os.path.basename(exe)) + 1:].rsplit(".", 1)[0].split("_")
        check(parts[0] == str(type_id), "wrestool file %s" % name)
        language = int(parts[-1]) if len(parts) > 2 and parts[-1].isdigit() else None
        res_name = "_".join(parts[1:-1] if language is not None else parts[1:])
        files[(res_name, language)] = WrestoolFile(read(os.path.join(folder, name)), os.path.join(folder, name))
    return files


def our_file(folder, prefix, name, language, ext):
    """Our file of the resource wrestool named (any language when it gave none)."""
    if language is not None:
        return os.path.join(folder, "%s-%s-%d.%s" % (prefix, name, language, ext))
    found = [f for f in os.listdir(folder) if f.startswith("%s-%s-" % (prefix, name)) and f.endswith("." + ext)]
    check(len(found) == 1, "wrestool named %s %s without a language; we wrote %s" % (prefix, name, found))
    return os.path.join(folder, found[0])


def icotool_listing(path):
    return subprocess.run(["icotool", "-l", path], capture_output=True, check=True, text=True).stdout


def same_as_wrestool(ours, theirs, what, group=True):
    """Byte for byte, but that wrestool's icon and cursor files run on past
    their last image by as many bytes as the group record has (whatever
    followed in its memory): the header, directory and images must match."""
    extra = 6 + 14 * int.from_bytes(ours[4:6], "little") if group else 0
    check(theirs[:len(ours)] == ours and len(theirs) == len(ours) + extra,
          "%s: differs from wrestool's file (%d and %d bytes)" % (what, len(ours), len(theirs)))


def same_cursors_as_wrestool(ours, theirs, what):
    """wrestool's .cur entries count the hotspot in the image's size (which
    icotool refuses) and no colors: the sizes, hotspots and images must
    match all the same."""
    count = int.from_bytes(ours[4:6], "little")
    check(ours[:6] == theirs[:6], "%s: header %s, wrestool's %s" % (what, ours[:6].hex(), theirs[:6].hex()))
    for i in range(count):
        mine = struct.unpack_from("<BBBBHHII", ours, 6 + 16 * i)
        other = struct.unpack_from("<BBBBHHII", theirs, 6 + 16 * i)
        check(mine[:2] + mine[4:6] == other[:2] + other[4:6] and other[6] == mine[6] + 4,
              "%s: entry %d %s, wrestool's %s" % (what, i, mine, other))
        check(ours[mine[7]:mine[7] + mine[6]] == theirs[other[7]:other[7] + mine[6]],
              "%s: image %d differs from wrestool's" % (what, i))


def extract(cli, *args, code=0):
    rc, out, err = cli.run("extract", *args)
    check(rc == code, "extract %s: exit %d, wanted %d: %s" % (" ".join(args), rc, code, err.strip()))
    return out.splitlines(), err


def version_json_record(data):
    """extract's version JSON in pefile_versions' shape (without language)."""
    r = json.loads(data)
    translations = []
    for t in r["translations"]:
        translations += [t["language"], t["codePage"]]
    return {"fileVersion": r["fixed"]["fileVersion"], "productVersion": r["fixed"]["productVersion"],
            "fileType": r["fixed"]["fileType"],
            "tables": {t["key"].lower(): {s["key"]: s["value"] for s in t["strings"]} for t in r["stringTables"]},
            "translations": translations}


# ------------------------------------------------------------- the cases --

def check_every_kind(cli, work, exe):
    out_dir = os.path.join(work, "all")
    shutil.rmtree(out_dir, ignore_errors=True)
    before = sha(exe)
    written, _ = extract(cli, exe, "--output", out_dir)
    names = sorted(os.listdir(out_dir))
    check(sorted(os.path.basename(w) for w in written) == names, "printed %s, wrote %s" % (written, names))
    wanted = ["BITMAP-7-1033.bmp", "BITMAP-8-1033.bmp", "BITMAP-9-1033.bmp", "GROUP_CURSOR-ARROW-1033.cur",
              "GROUP_ICON-2-1033.ico", "GROUP_ICON-MAINICON-1033.ico", "MANIFEST-1-1033.manifest",
              "RCDATA-101-1033.bin", "RCDATA-CONFIG-1033.bin", "VERSION-1-1033.json"]
    for name in wanted:
        check(name in names, "extract wrote no %s: %s" % (name, names))
    # Icon and cursor images are in their groups' files, not beside them.
    check(not any(n.startswith(("ICON-", "CURSOR-")) for n in names), "images written apart: %s" % names)
    got = lambda name: read(os.path.join(out_dir, name))

    # The files windres was given come back as they were.
    for name, source in (("GROUP_ICON-MAINICON-1033.ico", "first.ico"), ("GROUP_ICON-2-1033.ico", "second.ico"),
                         ("BITMAP-7-1033.bmp", "palette.bmp"), ("BITMAP-8-1033.bmp", "true.bmp"),
                         ("BITMAP-9-1033.bmp", "alpha.bmp"), ("MANIFEST-1-1033.manifest", "app.manifest"),
                         ("RCDATA-101-1033.bin", "data.bin"), ("RCDATA-CONFIG-1033.bin", "config.bin")):
        check(got(name) == read(os.path.join(work, source)), "%s is not %s" % (name, source))
    # wrestool's own extraction, type by type; icotool lists the same images.
    scratch = os.path.join(work, "wrestool")
    for type_id, prefix, ext in ((14, "GROUP_ICON", "ico"), (12, "GROUP_CURSOR", "cur"), (2, "BITMAP", "bmp")):
        theirs = wrestool_files(exe, type_id, scratch)
        check(len(theirs) == len([n for n in names if n.startswith(prefix + "-")]),
              "wrestool -t%d wrote %s" % (type_id, sorted(theirs)))
        for (name, language), data in theirs.items():
            ours = our_file(out_dir, prefix, name, language, ext)
            if ext == "cur":
                same_cursors_as_wrestool(read(ours), data, ours)
                continue
            same_as_wrestool(read(ours), data, ours, ext == "ico")
            if ext == "ico":
                check(icotool_listing(ours) == icotool_listing(data.path),
                      "%s: icotool lists other images than in wrestool's file" % ours)
    # The cursor's hotspots and sizes, as the .cur file had them, and as
    # icotool reads them.
    cursor = os.path.join(out_dir, "GROUP_CURSOR-ARROW-1033.cur")
    check(read(cursor) == read(os.path.join(work, "arrow.cur")), "the cursor file differs from arrow.cur")
    check(icotool_listing(cursor) == icotool_listing(os.path.join(work, "arrow.cur")) and
          "--hotspot-x=47 --hotspot-y=0" in icotool_listing(cursor), "icotool: %s" % icotool_listing(cursor))
    # Version information as pefile reads it.
    record = pefile_versions(exe)[0]
    del record["language"]
    check(version_json_record(got("VERSION-1-1033.json")) == record,
          "version JSON %s, pefile %s" % (version_json_record(got("VERSION-1-1033.json")), record))
    check(sha(exe) == before, "extract changed %s" % exe)


def check_strings(cli, exe):
    rc, out, err = cli.run("show-strings", "--json", exe)
    check(rc == 0, "show-strings --json: %s" % err)
    shown = {(s["id"], s["language"]): s["text"] for s in json.loads(out)}
    check(shown == STRINGS, "show-strings --json %s, windres's table %s" % (shown, STRINGS))
    order = [(s["id"], s["language"]) for s in json.loads(out)]
    check(order == sorted(order), "strings out of order: %s" % order)
    rc, out, err = cli.run("show-strings", exe)
    check(rc == 0 and out.splitlines()[0] == '1 1031 "erste"' and
          '4000 1033 "with \\"quotes\\"\\x0aand a line"' in out.splitlines(), "show-strings: %r %s" % (out, err))


def check_round_trip(cli, work, exe):
    """extract then set-icon: the same resources, byte for byte (pefile)."""
    _, original = resources(exe)
    target = os.path.join(work, "round-trip.exe")
    shutil.copyfile(exe, target)
    for group in ("MAINICON", "2"):
        ico = os.path.join(work, "group-%s.ico" % group)
        if os.path.exists(ico):
            os.remove(ico)
        written, _ = extract(cli, exe, "GROUP_ICON", group, "1033", "--output", ico)
        check(written == [ico], "extract of one group printed %s" % written)
        rc, _, err = cli.run("set-icon", target, ico, "--group", group, "--lang", "1033", "--no-backup")
        check(rc == 0, "set-icon %s: %s" % (group, err))
    _, after = resources(target)
    check(after == original, "extract then set-icon changed the resources")


def check_refusals(cli, work, exe):
    before = sha(exe)
    out_dir = os.path.join(work, "all")
    listing = sorted(os.listdir(out_dir))
    stamp = {n: os.stat(os.path.join(out_dir, n)).st_mtime_ns for n in listing}
    _, err = extract(cli, exe, "--output", out_dir, code=1)
    check("exists" in err and "nothing was extracted" in err, "a second extract: %s" % err)
    check(sorted(os.listdir(out_dir)) == listing and
          all(os.stat(os.path.join(out_dir, n)).st_mtime_ns == stamp[n] for n in listing),
          "a refused extract touched the folder")
    one = os.path.join(work, "one.bin")
    with open(one, "wb") as f:
        f.write(b"mine")
    for args, words in ((["RCDATA", "101", "--output", one], "exists"),
                        (["RCDATA", "999", "--output", os.path.join(work, "none")], "holds no resource RCDATA 999"),
                        (["GROUP_ICON", "MAINICON", "--output", os.path.join(work, "x.ico"), "--bogus"], "unknown"),
                        (["STRING", "--output", one], "not a folder")):
        rc, _, err = cli.run("extract", exe, *args)
        check(rc in (1, 2) and words in err, "extract %s: %d %s" % (args, rc, err))
    check(read(one) == b"mine", "an existing file was overwritten")
    rc, _, err = cli.run("extract", exe, "RCDATA", "--output")
    check(rc == 2 and "needs a value" in err, "extract without --output's value: %s" % err)
    check(not [n for n in os.listdir(work) if n.endswith(".marovi-part")], "temporary files left behind")
    check(sha(exe) == before, "refused extractions changed the image")

    # A group that lists an image the file does not hold is refused with the
    # reason; the rest is written, and the exit status says it was not all.
    broken = os.path.join(work, "broken.exe")
    shutil.copyfile(exe, broken)
    pe, leaves = resources(broken)
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if t.id == 14:
            for n in t.directory.entries:
                if n.id == 2:
                    offset = pe.get_offset_from_rva(n.directory.entries[0].data.struct.OffsetToData)
    pe.close()
    data = bytearray(read(broken))
    data[offset + 6 + 12:offset + 6 + 14] = struct.pack("<H", 999)
    with open(broken, "wb") as f:
        f.write(data)
    out_dir = os.path.join(work, "broken")
    shutil.rmtree(out_dir, ignore_errors=True)
    _, err = extract(cli, broken, "--output", out_dir, code=1)
    # The entry is named by the offset of the group record's entry in the file.
    check("resource 14 2 (language 1033)" in err and "icon image 999" in err and
          "(at offset %s)" % hex(offset + 6) in err and "GROUP_ICON-2-1033.ico not written" in err,
          "broken group: %s" % err)
    names = os.listdir(out_dir)
    check("GROUP_ICON-2-1033.ico" not in names and "GROUP_ICON-MAINICON-1033.ico" in names,
          "broken group: wrote %s" % names)


def check_real_images(cli, work, sample):
    """Every icon group of real executables, against wrestool's files."""
    images = [p for p in stub_paths() + wine_exe_paths()[::sample] if read(p)[:2] == b"MZ"]
    compared = 0
    for exe in images:
        theirs = wrestool_files(exe, 14, os.path.join(work, "real-wrestool"))
        out_dir = os.path.join(work, "real", os.path.basename(exe))
        shutil.rmtree(out_dir, ignore_errors=True)
        before = sha(exe)
        rc, _, err = cli.run("extract", exe, "GROUP_ICON", "--output", out_dir)
        if not theirs:
            check(rc == 1 and ("holds no resource GROUP_ICON" in err or "has no resource section" in err),
                  "%s: %d %s" % (exe, rc, err))
            continue
        check(rc == 0, "extract %s: %s" % (exe, err))
        for (name, language), data in theirs.items():
            ours = our_file(out_dir, "GROUP_ICON", name, language, "ico")
            same_as_wrestool(read(ours), data, ours)
            compared += 1
        check(sha(exe) == before, "extract changed %s" % exe)
    check(compared >= 10, "only %d icon groups compared" % compared)
    # Cursors and bitmaps of wine's own libraries.
    for library in ("user32.dll", "comctl32.dll", "shell32.dll", "winemine.exe"):
        exe = os.path.join(WINE_EXES, library)
        out_dir = os.path.join(work, "real", library)
        shutil.rmtree(out_dir, ignore_errors=True)
        for type_id, prefix, ext in ((12, "GROUP_CURSOR", "cur"), (2, "BITMAP", "bmp")):
            theirs = wrestool_files(exe, type_id, os.path.join(work, "real-wrestool"))
            if not theirs:
                continue
            rc, _, err = cli.run("extract", exe, prefix, "--output", out_dir)
            check(rc == 0, "extract %s %s: %s" % (library, prefix, err))
            for (name, language), data in theirs.items():
                ours = our_file(out_dir, prefix, name, language, ext)
                if ext == "cur":
                    same_cursors_as_wrestool(read(ours), data, ours)
                    check(icotool_listing(ours).count("--cursor") == int.from_bytes(data[4:6], "little"),
                          "icotool cannot read %s" % ours)
                else:
                    same_as_wrestool(read(ours), data, ours, False)
                compared += 1
    return compared


def main():
    own, command = split_command(sys.argv[1:], "extract_acceptance.py --work DIR [--sample N] -- CLI...")
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--sample", type=int, default=4, help="every N-th wine executable")
    options = parser.parse_args(own)
    cli = Cli(command, False)
    work = work_folder(options.work, fresh=True)

    def checks():
        exe = build_program(work)
        check_every_kind(cli, work, exe)
        check_strings(cli, exe)
        check_round_trip(cli, work, exe)
        check_refusals(cli, work, exe)
        compared = check_real_images(cli, work, options.sample)
        return "extract (%d real icon groups, cursors and bitmaps compared with wrestool)" % compared
    run_reported(checks)


if __name__ == "__main__":
    main()
