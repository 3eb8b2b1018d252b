#!/usr/bin/python3
"""After `set-icon EXE ICO`: the icon group MAINICON (language 0) of EXE, as
pefile reads it, holds the images of ICO, byte for byte, in their order.

    icon_matches.py EXE ICO"""
import struct
import sys

import pefile


def fail(message):
    print("icon_matches: " + message, file=sys.stderr)
    sys.exit(1)


def main():
    exe, ico = sys.argv[1], sys.argv[2]
    pe = pefile.PE(exe)
    warnings = [w for w in pe.get_warnings() if "makes up" not in w]  # byte statistics
    if warnings:
        fail(f"pefile warns about {exe}: {warnings}")
    res = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                key = (rtype.id, name.id if name.name is None else str(name.name), lang.id)
                entry = lang.data.struct
                res[key] = pe.get_data(entry.OffsetToData, entry.Size)
    group = res.get((14, "MAINICON", 0))
    if group is None:
        fail(f"{exe} has no icon group MAINICON of language 0")

    data = open(ico, "rb").read()
    _, kind, count = struct.unpack_from("<HHH", data)
    if kind != 1 or struct.unpack_from("<H", group, 4)[0] != count:
        fail(f"MAINICON lists {struct.unpack_from('<H', group, 4)[0]} images, {ico} has {count}")
    for i in range(count):
        header = data[6 + 16 * i:6 + 16 * i + 12]
        size, offset = struct.unpack_from("<II", data, 6 + 16 * i + 8)
        entry = group[6 + 14 * i:6 + 14 * (i + 1)]
        image = res.get((3, struct.unpack_from("<H", entry, 12)[0], 0))
        if entry[:12] != header or image != data[offset:offset + size]:
            fail(f"image {i} of MAINICON is not image {i} of {ico}")
    print(f"icon_matches: MAINICON of {exe} holds the {count} images of {ico}")


if __name__ == "__main__":
    main()
