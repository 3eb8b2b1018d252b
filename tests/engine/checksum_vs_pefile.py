#!/usr/bin/python3
"""Compares the engine's image checksum (printed by TOOL) with pefile's
generate_checksum for real Windows executables that nobody here wrote.

  checksum_vs_pefile.py [--max-bytes N] TOOL FILE_OR_DIR...

pefile sums in Python at about 150 KB a second; --max-bytes leaves out the
larger files so that the test stays short.
"""
import os
import subprocess
import sys

import pefile


def main(argv):
    max_bytes = None
    if argv[:1] == ["--max-bytes"]:
        max_bytes, argv = int(argv[1]), argv[2:]
    tool, roots = argv[0], argv[1:]
    files = []
    for root in roots:
        if os.path.isdir(root):
            files += sorted(os.path.join(root, f) for f in os.listdir(root)
                            if os.path.isfile(os.path.join(root, f)))
        elif os.path.isfile(root):
            files.append(root)
    if max_bytes is not None:
        files = [f for f in files if os.path.getsize(f) <= max_bytes]
    expected = {}
    for path in files:
        try:
            pe = pefile.PE(path, fast_load=True)
        except pefile.PEFormatError:
            continue
        expected[path] = pe.generate_checksum()
        pe.close()
    if not expected:
        print("no PE files found under", roots)
        return 1
    out = subprocess.run([tool] + sorted(expected), check=True, capture_output=True, text=True).stdout
    got = dict(line.rsplit(" ", 1) for line in out.splitlines())
    bad = [p for p in expected if got.get(p) != "%08x" % expected[p]]
    for p in bad:
        print("%s: engine %s, pefile %08x" % (p, got.get(p), expected[p]))
    print("%d files compared, %d differ" % (len(expected), len(bad)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
