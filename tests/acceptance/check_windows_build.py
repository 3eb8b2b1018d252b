#!/usr/bin/python3
"""Static checks of a Windows build that cannot be run here (the 32-bit one):
the programs are images of the expected machine, pefile reads them without
warnings and with a valid layout, and Marovi.exe carries its icon group
MAINICON (a 32 x 32 and a 16 x 16 image of 16 colours) and a manifest that
asks for the common controls 6.0.0.0 and declares per-monitor DPI
awareness."""
import struct
import sys

import pefile

MACHINES = {"i686": 0x14C, "x86_64": 0x8664}


def fail(message):
    print("check_windows_build: " + message, file=sys.stderr)
    sys.exit(1)


def resources(pe):
    found = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                key = (rtype.id if rtype.name is None else str(rtype.name),
                       name.id if name.name is None else str(name.name), lang.id)
                entry = lang.data.struct
                found[key] = pe.get_data(entry.OffsetToData, entry.Size)
    return found


def main():
    build, machine = sys.argv[1], MACHINES[sys.argv[2]]
    for program in ("app/Marovi.exe", "cli/marovi-cli.exe"):
        pe = pefile.PE(f"{build}/{program}")
        if pe.FILE_HEADER.Machine != machine:
            fail(f"{program}: machine {pe.FILE_HEADER.Machine:#x}, expected {machine:#x}")
        if pe.OPTIONAL_HEADER.Magic != (0x10B if machine == 0x14C else 0x20B):
            fail(f"{program}: optional header magic {pe.OPTIONAL_HEADER.Magic:#x}")
        warnings = [w for w in pe.get_warnings() if "makes up" not in w]
        if warnings:
            fail(f"{program}: pefile warns: {warnings}")

    pe = pefile.PE(f"{build}/app/Marovi.exe")
    if pe.OPTIONAL_HEADER.Subsystem != 2:
        fail("Marovi.exe is not a windowed program")
    res = resources(pe)
    group = res.get((14, "MAINICON", 0))
    if group is None:
        fail(f"Marovi.exe has no language-neutral MAINICON group: {sorted(res)}")
    reserved, kind, count = struct.unpack_from("<HHH", group)
    if (reserved, kind, count) != (0, 1, 2):
        fail(f"MAINICON header {(reserved, kind, count)}")
    sizes = set()
    for i in range(count):
        w, h, colours, _, planes, bits, size, nid = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        image = res.get((3, nid, 0))
        if image is None or len(image) != size:
            fail(f"MAINICON image {nid} missing or of the wrong size")
        header_bits = struct.unpack_from("<H", image, 14)[0]
        if header_bits != 4:
            fail(f"MAINICON image {nid} has {header_bits} bits per pixel, expected 16 colours")
        sizes.add((w, h))
    if sizes != {(32, 32), (16, 16)}:
        fail(f"MAINICON sizes {sizes}")
    manifest = [data for (rtype, _, _), data in res.items() if rtype == 24]
    if not manifest or b"Microsoft.Windows.Common-Controls" not in manifest[0] \
            or b'version="6.0.0.0"' not in manifest[0]:
        fail("no manifest asking for Common Controls 6.0.0.0")
    # Per-monitor DPI awareness, version 2 where the system has it, with the
    # older forms as fallbacks, each in its own namespace.
    for namespace, element, value in (
            (b"http://schemas.microsoft.com/SMI/2005/WindowsSettings", b"dpiAware", b"true/pm"),
            (b"http://schemas.microsoft.com/SMI/2016/WindowsSettings", b"dpiAwareness",
             b"PerMonitorV2, PerMonitor")):
        declared = b'<%s xmlns="%s">%s</%s>' % (element, namespace, value, element)
        if declared not in manifest[0]:
            fail(f"the manifest does not declare {declared.decode()}")
    print(f"check_windows_build: {build} ({sys.argv[2]}) is sound")


if __name__ == "__main__":
    main()
