#!/usr/bin/python3
"""Reads PE images with pefile, an independent reader, and fails when one of
them draws a warning, has a wrong checksum or an unreadable resource tree.

  pefile_check.py IMAGE...             check each image
  pefile_check.py --generate TOOL DIR  run TOOL DIR (which writes images into
                                       DIR) and check every image it wrote
"""
import os
import subprocess
import sys

import pefile


def resource_leaves(pe):
    leaves = []
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        return leaves
    for t in root.entries:
        for n in getattr(t, "directory", None).entries:
            for lang in n.directory.entries:
                leaves.append((t.name or t.id, n.name or n.id, lang.id, lang.data.struct.Size))
    return leaves


def check(path):
    problems = []
    pe = pefile.PE(path)
    # The byte-frequency heuristic flags every small image whose padding is
    # mostly zeros; it says nothing about the structure.
    warnings = [w for w in pe.get_warnings() if "makes up" not in w]
    problems += ["warning: " + w for w in warnings]
    if not pe.verify_checksum():
        problems.append("checksum 0x%08x, expected 0x%08x"
                        % (pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()))
    if pe.OPTIONAL_HEADER.SizeOfImage != max(
            (s.VirtualAddress + ((s.Misc_VirtualSize + pe.OPTIONAL_HEADER.SectionAlignment - 1)
                                 // pe.OPTIONAL_HEADER.SectionAlignment)
             * pe.OPTIONAL_HEADER.SectionAlignment for s in pe.sections), default=0):
        problems.append("SizeOfImage does not cover the last section")
    try:
        resource_leaves(pe)
    except Exception as e:  # a tree pefile could not follow
        problems.append("resource tree: %r" % e)
    pe.close()
    return problems


def main(argv):
    if len(argv) >= 3 and argv[0] == "--generate":
        tool, out = argv[1], argv[2]
        os.makedirs(out, exist_ok=True)
        subprocess.run([tool, out], check=True)
        paths = sorted(os.path.join(out, f) for f in os.listdir(out))
    else:
        paths = argv
    if not paths:
        print("no images")
        return 1
    failed = 0
    for path in paths:
        problems = check(path)
        for p in problems:
            print("%s: %s" % (path, p))
        failed += bool(problems)
    print("%d images, %d with problems" % (len(paths), failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
