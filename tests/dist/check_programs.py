#!/usr/bin/python3
"""The Windows programs as they are shipped: Marovi.exe and marovi-cli.exe in
FOLDER (an unpacked zip, or a build with them in app/ and cli/) are images of the expected machine that import nothing but system
DLLs, carry version information of the project's version, and marovi-cli.exe
carries the icon of Marovi.exe. With --max-size, each is smaller than that;
with --wine-runner, marovi-cli.exe --version prints the version under wine64.

    check_programs.py FOLDER ARCH VERSION [--max-size BYTES] [--wine-runner RUNNER]

Prints each program's size and import list."""
import argparse
import os
import subprocess
import sys

import pefile

MACHINES = {"i686": 0x14C, "x86_64": 0x8664}
PROGRAMS = ("Marovi.exe", "marovi-cli.exe")
# DLLs of every Windows installation: the system's own and msvcrt.dll, the C
# runtime that mingw-w64 programs use. Anything else (libstdc++-6.dll,
# libgcc_s_*.dll, libwinpthread-1.dll) would have to be shipped alongside.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "comctl32.dll",
               "comdlg32.dll", "ole32.dll", "oleaut32.dll", "advapi32.dll", "shlwapi.dll",
               "uxtheme.dll", "msvcrt.dll", "ntdll.dll"}
RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24


def fail(message):
    print("check_programs: " + message, file=sys.stderr)
    sys.exit(1)


def resources(pe):
    found = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                key = (rtype.id if rtype.name is None else str(rtype.name),
                       name.id if name.name is None else str(name.name), lang.id)
                entry = lang.data.struct
                found[key] = pe.get_data(entry.OffsetToData, entry.Size)
    return found


def imports(pe):
    if not hasattr(pe, "DIRECTORY_ENTRY_IMPORT"):
        return []
    return [entry.dll.decode("ascii") for entry in pe.DIRECTORY_ENTRY_IMPORT]


def version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            if getattr(block, "Key", b"") == b"StringFileInfo":
                for table in block.StringTable:
                    strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return strings


def check_version(program, pe, version):
    numbers = [int(part) for part in version.split(".")] + [0]
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        fail(f"{program} has no version information")
    fixed = pe.VS_FIXEDFILEINFO[0]
    expected_ms = numbers[0] << 16 | numbers[1]
    expected_ls = numbers[2] << 16 | numbers[3]
    for field in ("FileVersion", "ProductVersion"):
        found = (getattr(fixed, field + "MS"), getattr(fixed, field + "LS"))
        if found != (expected_ms, expected_ls):
            fail(f"{program}: {field} {found[0] >> 16}.{found[0] & 0xFFFF}.{found[1] >> 16}."
                 f"{found[1] & 0xFFFF} in the fixed information, expected {version}.0")
    strings = version_strings(pe)
    for field in ("FileVersion", "ProductVersion"):
        if strings.get(field) != version:
            fail(f"{program}: {field} {strings.get(field)!r}, expected {version!r}")
    if strings.get("OriginalFilename") != program:
        fail(f"{program}: OriginalFilename {strings.get('OriginalFilename')!r}")


def icon_of(program, res):
    group = res.get((RT_GROUP_ICON, "MAINICON", 0))
    if group is None:
        fail(f"{program} has no language-neutral icon group MAINICON")
    count = int.from_bytes(group[4:6], "little")
    images = []
    for i in range(count):
        entry = group[6 + 14 * i:6 + 14 * (i + 1)]
        image = res.get((RT_ICON, int.from_bytes(entry[12:14], "little"), 0))
        if image is None:
            fail(f"{program}: MAINICON names an image it does not have")
        images.append((entry[:12], image))
    return images


def locate(folder, program):
    for path in (os.path.join(folder, program), os.path.join(folder, "app", program),
                 os.path.join(folder, "cli", program)):
        if os.path.isfile(path):
            return path
    fail(f"no {program} in {folder}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("arch", choices=sorted(MACHINES))
    parser.add_argument("version")
    parser.add_argument("--max-size", type=int)
    parser.add_argument("--wine-runner")
    args = parser.parse_args()

    icons = {}
    for program in PROGRAMS:
        path = locate(args.folder, program)
        size = os.path.getsize(path)
        pe = pefile.PE(path)
        if pe.FILE_HEADER.Machine != MACHINES[args.arch]:
            fail(f"{program}: machine {pe.FILE_HEADER.Machine:#x}, expected {args.arch}")
        dlls = imports(pe)
        foreign = [dll for dll in dlls if dll.lower() not in SYSTEM_DLLS]
        if foreign:
            fail(f"{program} imports DLLs that are not part of Windows: {', '.join(foreign)}")
        if args.max_size is not None and size >= args.max_size:
            fail(f"{program} has {size} bytes, the limit is {args.max_size}")
        check_version(program, pe, args.version)
        res = resources(pe)
        icons[program] = icon_of(program, res)
        if program == "Marovi.exe":
            manifest = [data for (rtype, _, _), data in res.items() if rtype == RT_MANIFEST]
            identity = f'name="Marovi" version="{args.version}.0"'.encode()
            if not manifest or identity not in manifest[0]:
                fail(f"Marovi.exe: the manifest's assemblyIdentity is not {identity.decode()}")
        print(f"{program} ({args.arch}): {size} bytes, imports {', '.join(dlls)}")

    if icons["marovi-cli.exe"] != icons["Marovi.exe"]:
        fail("marovi-cli.exe does not carry the icon of Marovi.exe")

    if args.wine_runner:
        cli = locate(args.folder, "marovi-cli.exe")
        result = subprocess.run([args.wine_runner, cli, "--version"], capture_output=True, text=True,
                                stdin=subprocess.DEVNULL)
        if result.returncode != 0 or result.stdout.strip() != f"marovi-cli {args.version}":
            fail(f"marovi-cli.exe --version printed {result.stdout!r} {result.stderr!r}")
        print(f"marovi-cli.exe --version under wine64: {result.stdout.strip()}")
    print(f"check_programs: {args.folder} ({args.arch}) holds sound programs of version {args.version}")


if __name__ == "__main__":
    main()
