#!/usr/bin/python3
"""Installers and self-extracting archives keep working after marovi-cli
changes their icon.

    payload_test.py --cli MAROVI-CLI --work DIR [--wine-prefix PREFIX]

NSIS installers are built here by makensis (x86 and amd64, zlib and LZMA,
solid and not, CRC on, off and forced, a few MiB of random payload) and each
gets a growing, a shrinking and a same-size icon. Every result must pass the
CRC check of its first header (read here, as the installer reads itself) and
keep its data byte for byte; the amd64 ones must install the payload under
wine64. Zip self-extractors (offsets made absolute by `zip -A`, or left
relative) must pass `unzip -t`, and a relative archive must come out
unchanged.
"""
import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import zlib

import pefile

NSIS_ICONS = "/usr/share/nsis/Contrib/Graphics/Icons"
NSIS_STUBS = "/usr/share/nsis/Stubs"
SIGNATURE = b"\xef\xbe\xad\xdeNullsoftInst"
PAYLOAD_MIB = 3

# target, compressor, solid, CRCCheck (None: the default, which is on)
INSTALLERS = [
    ("amd64-unicode", "lzma", True, None),
    ("amd64-unicode", "zlib", False, "force"),
    ("amd64-unicode", "lzma", False, "off"),
    ("x86-unicode", "zlib", True, None),
    ("x86-unicode", "lzma", True, "force"),
    ("x86-unicode", "zlib", False, "off"),
]


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def ico(images):
    """An .ico file of (size, image bytes) pairs, each a 32-bit bitmap."""
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, data = b"", b""
    for size, body in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(body), offset)
        offset += len(body)
        data += body
    return head + entries + data


def bitmap(size, seed):
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytes((seed + i) % 251 for i in range(size * size * 4))
    mask = bytes(((size + 31) // 32 * 4) * size)
    return header + pixels + mask


def same_size_icon(exe):
    """The images of the installer's icon group, a few bytes changed each."""
    pe = pefile.PE(exe, fast_load=True)
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    icons, group = {}, None
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            entry = n.directory.entries[0].data.struct
            data = pe.get_data(entry.OffsetToData, entry.Size)
            if t.id == 3:
                icons[n.id] = data
            elif t.id == 14 and group is None:
                group = data
    count = struct.unpack_from("<H", group, 4)[0]
    images = []
    for i in range(count):
        width, _, _, _, _, _, _, ident = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        body = bytearray(icons[ident])
        body[len(body) // 2] ^= 0x55
        images.append((width, bytes(body)))
    return ico(images)


def run_cli(cli, *args):
    r = subprocess.run([cli] + list(args), capture_output=True, timeout=120)
    return r.returncode, r.stdout.decode(), r.stderr.decode()


def nsis_data(data):
    """What the installer reads on start: its first header, found in 512-byte
    steps, and its CRC when its flags ask for one. Returns (header offset,
    data from the header on without the CRC, flags)."""
    for at in range(0, len(data) - 28, 512):
        if data[at + 4:at + 20] != SIGNATURE:
            continue
        flags, length = struct.unpack_from("<I", data, at)[0], struct.unpack_from("<I", data, at + 24)[0]
        check(at + length <= len(data), "the installer's data is cut short")
        if flags & 4:
            return at, data[at:at + length], flags
        stored = struct.unpack_from("<I", data, at + length - 4)[0]
        check(zlib.crc32(data[512:at + length - 4]) == stored, "the installer's CRC does not match")
        return at, data[at:at + length - 4], flags
    raise Failure("no first header at a multiple of 512 bytes")


def build_installers(work, payload):
    made = []
    for target, compressor, solid, crc in INSTALLERS:
        name = "%s-%s-%s-crc-%s" % (target, compressor, "solid" if solid else "plain", crc or "on")
        script = os.path.join(work, name + ".nsi")
        with open(script, "w") as f:
            f.write("Unicode true\nTarget %s\nSetCompressor %s%s\n" %
                    (target, "/SOLID " if solid else "", compressor))
            if crc:
                f.write("CRCCheck %s\n" % crc)
            f.write('OutFile "%s.exe"\nName "t"\nIcon "%s/orange-install.ico"\n' % (name, NSIS_ICONS))
            f.write('InstallDir "$TEMP\\t"\nRequestExecutionLevel user\nSilentInstall silent\n')
            f.write('Section\nSetOutPath "$INSTDIR"\nFile "%s"\nSectionEnd\n' % payload)
        subprocess.run(["makensis", "-V1", script], cwd=work, check=True, timeout=120)
        made.append((name, os.path.join(work, name + ".exe"), target.startswith("amd64")))
    return made


def wine_env(prefix):
    return dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")


def install_under_wine(exe, folder, prefix, payload):
    shutil.rmtree(folder, ignore_errors=True)
    r = subprocess.run(["/usr/lib/wine/wine64", exe, "/S", "/D=Z:" + folder.replace("/", "\\")],
                       env=wine_env(prefix), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)
    check(r.returncode == 0, "%s exits %d under wine64" % (exe, r.returncode))
    installed = os.path.join(folder, os.path.basename(payload))
    check(os.path.exists(installed), "%s installed nothing" % exe)
    with open(installed, "rb") as a, open(payload, "rb") as b:
        check(a.read() == b.read(), "%s installed other bytes than its payload" % exe)


def nsis_cases(cli, work, prefix):
    payload = os.path.join(work, "payload.bin")
    with open(payload, "wb") as f:
        f.write(os.urandom(PAYLOAD_MIB << 20))
    icons = {"growing": ico([(128, bitmap(128, 1))]), "shrinking": ico([(16, bitmap(16, 2))])}
    for name, exe, runs in build_installers(work, payload):
        with open(exe, "rb") as f:
            original = f.read()
        at, data, flags = nsis_data(original)
        icons["same-size"] = same_size_icon(exe)
        for change, icon in icons.items():
            label = "%s, %s icon" % (name, change)
            ico_path = os.path.join(work, "icon.ico")
            with open(ico_path, "wb") as f:
                f.write(icon)
            changed = os.path.join(work, "changed.exe")
            shutil.copyfile(exe, changed)
            code, _, err = run_cli(cli, "set-icon", changed, ico_path, "--group", "first", "--no-backup")
            check(code == 0, "%s: set-icon failed: %s" % (label, err))
            check("NSIS installer" in err and "/NCRC" in err, "%s: no note on the installer: %r" % (label, err))
            with open(changed, "rb") as f:
                result = f.read()
            moved = len(result) - len(original)
            check((change == "growing") == (moved > 0) and (change == "shrinking") == (moved < 0),
                  "%s: the file moved by %d bytes" % (label, moved))
            new_at, new_data, _ = nsis_data(result)
            check(new_at == at + moved and new_data == data, "%s: the installer's data changed" % label)
            if runs and prefix:
                install_under_wine(changed, os.path.join(work, "installed"), prefix, payload)
            print("ok: %s (moved %d bytes, flags %d)" % (label, moved, flags))
        code, out, _ = run_cli(cli, "list", exe, "--json")
        found = [e for e in json.loads(out) if "payload" in e]
        check(code == 0 and found and found[0]["payload"] == "nsis" and found[0]["intact"],
              "%s: list --json reports no installer: %s" % (name, out))


def zip_cases(cli, work):
    folder = os.path.join(work, "files")
    os.makedirs(folder, exist_ok=True)
    for i in range(3):
        with open(os.path.join(folder, "f%d.bin" % i), "wb") as f:
            f.write(os.urandom(200000 + i))
    stub = os.path.join(NSIS_STUBS, "zlib-amd64-unicode")
    small, big = ico([(16, bitmap(16, 3))]), ico([(128, bitmap(128, 4))])
    # Of small's size but other pixels: the same icon again would change
    # nothing, and a change that changes nothing leaves the file alone.
    other = ico([(16, bitmap(16, 5))])
    for kind in ("absolute", "relative"):
        archive = os.path.join(work, kind + ".zip")
        if os.path.exists(archive):
            os.remove(archive)
        subprocess.run(["zip", "-q", "-r", archive, "files"], cwd=work, check=True)
        exe = os.path.join(work, kind + ".exe")
        with open(exe, "wb") as f, open(stub, "rb") as s, open(archive, "rb") as a:
            f.write(s.read() + a.read())
        if kind == "absolute":
            subprocess.run(["zip", "-q", "-A", exe], check=True)
        with open(archive, "rb") as a:
            archive_bytes = a.read()
        # unzip warns (status 1) of the program in front of a relative
        # archive, before the change as after it.
        expected = subprocess.run(["unzip", "-t", exe], capture_output=True).returncode
        check(expected == (0 if kind == "absolute" else 1), "%s zip: unzip -t says %d" % (kind, expected))
        for change, icon in (("growing", big), ("shrinking", small), ("same-size", other)):
            ico_path = os.path.join(work, "icon.ico")
            with open(ico_path, "wb") as f:
                f.write(icon)
            code, _, err = run_cli(cli, "set-icon", exe, ico_path, "--group", "first", "--no-backup")
            check(code == 0 and "zip archive" in err, "%s zip, %s: %r" % (kind, change, err))
            r = subprocess.run(["unzip", "-t", exe], capture_output=True)
            check(r.returncode == expected and b"No errors detected" in r.stdout, "%s zip, %s: unzip -t fails: %s" % (kind, change, r.stdout.decode()[-400:]))
            if kind == "relative":
                with open(exe, "rb") as f:
                    check(f.read().endswith(archive_bytes), "a relative archive was changed")
            print("ok: %s zip, %s icon" % (kind, change))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--wine-prefix")
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    # One Wine server for every installer run: starting one per run costs
    # seconds each.
    if args.wine_prefix:
        subprocess.run(["/usr/lib/wine/wineserver", "-p", "30"], env=wine_env(args.wine_prefix))
    try:
        nsis_cases(os.path.abspath(args.cli), args.work, args.wine_prefix)
        zip_cases(os.path.abspath(args.cli), args.work)
    except Failure as e:
        print("FAILED: %s" % e)
        return 1
    finally:
        if args.wine_prefix:
            subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=wine_env(args.wine_prefix))
    return 0


if __name__ == "__main__":
    sys.exit(main())
