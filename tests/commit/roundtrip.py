#!/usr/bin/python3
"""Round trips on real images nobody here wrote: resources of many sizes are
replaced, added and deleted in copies of the machine's Wine programs (64-bit)
and NSIS stubs (32-bit), and a grown copy is changed once more; then pefile,
objdump and Wine judge the result.

  roundtrip.py --tool ROUNDTRIP_TOOL --work DIR

For every changed copy: pefile reads it without new warnings and with a right
checksum; unchanged resources keep their bytes, changed ones have the new
bytes, deleted ones are gone; every other section keeps its data (apart from
the debug directory, whose entries move) and the data behind the last
section is the same; objdump shows the same sections and symbols;
hostname.exe and cmd.exe still run under wine64 with the same output.

hostname.exe and cmd.exe also go through the round trips with their raw data
in another order than their addresses, as no linker lays it out: .reloc data
in front of the resource data, and .text data behind it.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

import pefile

WINE_DIR = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
NSIS_DIR = "/usr/share/nsis/Stubs"
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
OBJDUMP = {0x20B: "x86_64-w64-mingw32-objdump", 0x10B: "i686-w64-mingw32-objdump"}

# Program, arguments: run before and after the change, output compared.
RUNS = {"hostname.exe": [], "cmd.exe": ["/c", "echo", "ok"]}

failures = []


def fail(image, what):
    failures.append(f"{image}: {what}")
    print(f"FAIL {image}: {what}", flush=True)


def key_text(entry):
    return str(entry.name) if entry.name is not None else entry.id


def resources(pe):
    """(type, name, language) -> bytes of every resource."""
    out = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        return out
    for t in root.entries:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                entry = lang.data.struct
                out[(key_text(t), key_text(n), lang.id)] = pe.get_data(entry.OffsetToData, entry.Size)
    return out


def warnings(pe):
    # The share of zero bytes in the file changes with its contents.
    return {w for w in pe.get_warnings() if not re.match(r"Byte 0x[0-9a-f]{2} makes up", w)}


def overlay(path):
    pe = pefile.PE(path, fast_load=True)
    data = pe.get_overlay()
    pe.close()
    return data


def section_data(pe):
    """Name and index -> raw data of every section but the resource section,
    with the bytes of the debug directory cleared: its entries hold file
    offsets and addresses that move."""
    resource_rva = pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress
    debug = pe.OPTIONAL_HEADER.DATA_DIRECTORY[6]
    out = {}
    for index, section in enumerate(pe.sections):
        if section.VirtualAddress == resource_rva:
            continue
        data = bytearray(section.get_data()) if section.SizeOfRawData else bytearray()
        if debug.Size and section.VirtualAddress <= debug.VirtualAddress < section.VirtualAddress + len(data):
            start = debug.VirtualAddress - section.VirtualAddress
            data[start:start + debug.Size] = bytes(len(data[start:start + debug.Size]))
        out[(index, section.Name.rstrip(b"\0"))] = bytes(data)
    return out


def reordered(source, target, order):
    """A copy of source whose raw data holds the sections of order, a run of
    sections that lie one behind another in the file, in that order; their
    addresses stay. Returns target."""
    pe = pefile.PE(source)
    by_name = {s.Name.rstrip(b"\0").decode(): s for s in pe.sections}
    run = sorted((by_name[n] for n in order), key=lambda s: s.PointerToRawData)
    start = run[0].PointerToRawData
    position = start
    for s in run:
        if s.PointerToRawData != position:
            raise RuntimeError(f"{source}: {order} do not lie one behind another in the file")
        position += s.SizeOfRawData
    data = bytearray(pe.__data__)
    pieces = {n: bytes(data[by_name[n].PointerToRawData:by_name[n].PointerToRawData + by_name[n].SizeOfRawData])
              for n in order}
    position = start
    for n in order:
        data[position:position + len(pieces[n])] = pieces[n]
        by_name[n].PointerToRawData = position
        position += len(pieces[n])
    for s in run:
        data[s.get_file_offset():s.get_file_offset() + s.sizeof()] = s.__pack__()
    pe.close()
    with open(target, "wb") as f:
        f.write(data)
    pe = pefile.PE(target)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    pe.write(target + ".tmp")
    pe.close()
    os.replace(target + ".tmp", target)
    return target


def reordered_copies(work):
    """hostname.exe and cmd.exe with .reloc data in front of the resource data,
    and with .text data behind it: (program, copy) pairs."""
    copies = []
    for program in RUNS:
        source = os.path.join(WINE_DIR, program)
        pe = pefile.PE(source, fast_load=True)
        names = [s.Name.rstrip(b"\0").decode() for s in sorted(pe.sections, key=lambda s: s.PointerToRawData)
                 if s.SizeOfRawData]
        pe.close()
        rsrc = names.index(".rsrc")
        reloc_first = reordered(source, os.path.join(work, f"reloc-first-{program}"), [".reloc", ".rsrc"])
        text_run = names[names.index(".text"):rsrc + 1]
        text_last = reordered(source, os.path.join(work, f"text-last-{program}"), text_run[1:] + [".text"])
        copies += [(program, reloc_first), (program, text_last)]
    return copies


def objdump(path, magic):
    """Section names of -h and symbol names of -t."""
    out = subprocess.run([OBJDUMP[magic], "-h", "-t", path], check=True, capture_output=True, text=True).stdout
    sections = re.findall(r"^\s*\d+\s+(\S+)\s+[0-9a-f]{8}\s", out, re.M)
    symbols = [line.split()[-1] for line in out.splitlines() if re.match(r"^\[\s*\d+\]", line)]
    return sections, symbols


def pattern(size, seed):
    return bytes(((i * 131 + seed * 7 + (i >> 8)) & 0xFF) for i in range(size))


def wine_env(work):
    env = dict(os.environ)
    env["WINEPREFIX"] = os.path.join(work, "wineprefix")
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
    return env


def run_wine(work, program, args):
    result = subprocess.run([WINE64, program] + args, env=wine_env(work), capture_output=True, timeout=60,
                            stdin=subprocess.DEVNULL)
    return result.returncode, result.stdout


def plan(image, leaves, kind, work):
    """The operations of one round and the resources expected afterwards."""
    ops, expected = [], dict(leaves)

    def put(key, data):
        name = f"{len(ops)}.bin"
        with open(os.path.join(work, name), "wb") as f:
            f.write(data)
        ops.append(f"put:{key[0]}:{key[1]}:{key[2]}:{os.path.join(work, name)}")
        expected[key] = data

    def delete(key):
        ops.append(f"del:{key[0]}:{key[1]}:{key[2]}")
        del expected[key]

    # Version blocks and manifests are read by the loader and by pefile: they
    # keep their bytes, everything else may become any pattern.
    by_size = sorted((k for k in leaves if k[0] not in ("16", "24")), key=lambda k: (len(leaves[k]), str(k)))
    if kind == "grow":
        # Replace the smallest ones with data of many sizes, through memory
        # and through scratch files; add new types, named and numbered.
        for seed, (key, size) in enumerate(zip(by_size, [0, 1, 7, 1000, 32768, 32769])):
            put(key, pattern(size, seed))
        put(("MAROVIRT", "DATA", 1033), pattern(70000, 11))
        put(("300", "1", 0), pattern(3, 12))
        put(("MAROVIRT", "7", 0), pattern(40001, 13))
    elif kind == "again":
        # A second round on a grown copy: its large unchanged resource (the
        # 70000 bytes added before) moves inside the file this time.
        for seed, (key, size) in enumerate(zip(by_size, [2000, 33000, 9])):
            put(key, pattern(size, seed + 30))
        put(("MAROVIRT", "8", 0), pattern(100000, 14))
    elif kind == "shrink" and not by_size:
        # Only a version block or a manifest: the largest goes.
        delete(max(leaves, key=lambda k: len(leaves[k])))
    elif kind == "shrink":
        # The largest becomes tiny, the second largest goes.
        put(by_size[-1], pattern(16, 21))
        if len(by_size) > 1:
            delete(by_size[-2])
    return ops, expected


def round_trip(tool, source, kind, work):
    image = f"{os.path.basename(source)} ({kind})"
    failed_before = len(failures)
    target = os.path.join(work, f"{kind}-{os.path.basename(source)}")
    shutil.copyfile(source, target)
    before = pefile.PE(source)
    magic = before.OPTIONAL_HEADER.Magic
    leaves = {(str(t), str(n), l): d for (t, n, l), d in resources(before).items()}
    ops, expected = plan(image, leaves, kind, work)
    result = subprocess.run([tool, target] + ops, capture_output=True, text=True)
    if result.returncode != 0:
        fail(image, f"the tool failed: {result.stderr.strip()}")
        return None
    after = pefile.PE(target)
    new = warnings(after) - warnings(before)
    if new:
        fail(image, f"new pefile warnings: {sorted(new)}")
    if not after.verify_checksum():
        fail(image, "wrong checksum")
    got = {(str(t), str(n), l): d for (t, n, l), d in resources(after).items()}
    if set(got) != set(expected):
        fail(image, f"resources differ: missing {sorted(set(expected) - set(got))}, extra {sorted(set(got) - set(expected))}")
    for key in sorted(set(got) & set(expected)):
        if got[key] != expected[key]:
            fail(image, f"resource {key} has other bytes ({len(got[key])} instead of {len(expected[key])})")
    old_size, new_size = os.path.getsize(source), os.path.getsize(target)
    # The largest resource of a small section may not fill a whole file
    # alignment unit: such a section keeps its length.
    if kind == "shrink" and new_size > old_size:
        fail(image, f"grew ({old_size} -> {new_size})")
    if kind in ("grow", "again") and new_size <= old_size:
        fail(image, f"did not grow ({old_size} -> {new_size})")
    if overlay(source) != overlay(target):
        fail(image, "the data behind the last section changed")
    moved = sorted(k for k, v in section_data(before).items() if section_data(after).get(k) != v)
    if moved:
        fail(image, f"other sections' data changed: {moved}")
    if objdump(source, magic) != objdump(target, magic):
        fail(image, "objdump shows other sections or symbols")
    before.close()
    after.close()
    if len(failures) == failed_before:
        print(f"ok   {image}: {len(ops)} changes, {old_size} -> {new_size} bytes", flush=True)
    return target


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)

    wine_images = [os.path.join(WINE_DIR, n) for n in ("hostname.exe", "cmd.exe", "notepad.exe", "winver.exe")]
    nsis_images = [os.path.join(NSIS_DIR, n) for n in ("zlib-x86-ansi", "lzma-x86-unicode", "bzip2_solid-x86-ansi")]
    changed = {}
    for source in wine_images + nsis_images:
        if not os.path.exists(source):
            fail(source, "missing")
            continue
        for kind in ("none", "grow", "shrink"):
            target = round_trip(args.tool, source, kind, work)
            if target is not None:
                changed.setdefault(os.path.basename(source), []).append(target)
            if target is not None and kind == "grow":
                again = round_trip(args.tool, target, "again", work)
                if again is not None:
                    changed[os.path.basename(source)].append(again)

    # Real programs with raw data in another order than their addresses.
    reordered_programs = reordered_copies(work)
    for program, copy in reordered_programs:
        for kind in ("grow", "shrink"):
            target = round_trip(args.tool, copy, kind, work)
            if target is not None:
                changed.setdefault(program, []).append(target)

    # Generated images with layouts the machine's executables lack.
    generated = os.path.join(work, "generated")
    subprocess.run([args.tool, "--make-images", generated], check=True)
    for name in sorted(os.listdir(generated)):
        for kind in ("none", "grow", "shrink"):
            round_trip(args.tool, os.path.join(generated, name), kind, work)

    # The changed Wine programs still run, with the output of the originals.
    prefix = os.path.join(work, "wineprefix")
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        subprocess.run([WINE64, "wineboot", "-u"], env=wine_env(work), capture_output=True, timeout=300)
        subprocess.run([WINESERVER, "-w"], env=wine_env(work), timeout=300)
    try:
        for program, program_args in RUNS.items():
            original = run_wine(work, os.path.join(WINE_DIR, program), program_args)
            if original[0] != 0 or not original[1].strip():
                fail(program, f"the original does not run here: {original}")
                continue
            # The reordered copies run as the original does before any change.
            for copy in (c for p, c in reordered_programs if p == program):
                if run_wine(work, copy, program_args) != original:
                    fail(os.path.basename(copy), "the reordered copy does not run as the original does")
            for target in changed.get(program, []):
                got = run_wine(work, target, program_args)
                if got != original:
                    fail(os.path.basename(target), f"runs differently: {got} instead of {original}")
                else:
                    print(f"ok   {os.path.basename(target)} runs: {got[1].strip()!r}", flush=True)
    finally:
        subprocess.run([WINESERVER, "-k"], env=wine_env(work), capture_output=True)

    shrunk = [n for n in changed if any(os.path.basename(t).startswith("shrink-") and
                                        os.path.getsize(t) < os.path.getsize(os.path.join(WINE_DIR if n.endswith(".exe") else NSIS_DIR, n))
                                        for t in changed[n])]
    if len(shrunk) < 3:
        fail("all images", f"too few sections shrank: {shrunk}")
    if failures:
        print(f"{len(failures)} failures")
        return 1
    print("all round trips passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
