#!/usr/bin/python3
"""Independent readings of version information and manifests.

pefile reads the version information that the engine shows (wine64's own
programs, unchanged) and that it writes (edits of an existing resource, and a
new one for a program without one); Python's XML parser reads the manifests it
edits or makes. Usage: formats_vs_pefile.py TOOL WORKDIR
"""
import json
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

import pefile

WINE_DIR = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def run(tool, *args):
    result = subprocess.run([tool, *args], capture_output=True, text=True, encoding="utf-8")
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(args)}: exit {result.returncode}: {result.stderr.strip()}")
    return result.stdout


def load(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    return pe


def version_of(ms, ls):
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def pefile_version(pe):
    """The version information as pefile reads it, in the tool's JSON shape."""
    fixed = pe.VS_FIXEDFILEINFO[0]
    tables, translations = [], []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                tables.append((table.LangID.decode(), {k.decode(): v.decode("utf-8") for k, v in table.entries.items()}))
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                for pair in var.entry.get(b"Translation", "").split():
                    translations.append(int(pair, 16))
    return {
        "fileVersion": version_of(fixed.FileVersionMS, fixed.FileVersionLS),
        "productVersion": version_of(fixed.ProductVersionMS, fixed.ProductVersionLS),
        "fileFlags": fixed.FileFlags, "fileOS": fixed.FileOS, "fileType": fixed.FileType,
        "tables": tables, "translations": translations,
    }


def tool_version(tool, path):
    records = json.loads(run(tool, path, "show-version-json"))
    if not records:
        return None
    r = records[0]
    # pefile keeps one value per key; the last one stands, as in a dict.
    tables = [(t["key"], {s["key"]: s["value"] for s in t["strings"]}) for t in r["stringTables"]]
    translations = []
    for t in r["translations"]:
        translations += [t["language"], t["codePage"]]
    f = r["fixed"]
    return {"fileVersion": f["fileVersion"], "productVersion": f["productVersion"], "fileFlags": f["fileFlags"],
            "fileOS": f["fileOS"], "fileType": f["fileType"], "tables": tables, "translations": translations}


def manifest_of(pe):
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id == 24:
            leaf = entry.directory.entries[0].directory.entries[0]
            return pe.get_data(leaf.data.struct.OffsetToData, leaf.data.struct.Size)
    return None


def level_in(manifest_bytes):
    root = ET.fromstring(manifest_bytes.rstrip(b"\0"))
    found = root.findall(f".//{{{ASM_V3}}}requestedExecutionLevel")
    return [(e.get("level"), e.get("uiAccess")) for e in found]


def main():
    tool, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    # 1. What the engine reads from real programs is what pefile reads.
    compared = 0
    for name in sorted(os.listdir(WINE_DIR)):
        if not name.endswith(".exe"):
            continue
        copy = os.path.join(work, name)
        shutil.copyfile(os.path.join(WINE_DIR, name), copy)
        pe = load(copy)
        ours = tool_version(tool, copy)
        if hasattr(pe, "VS_FIXEDFILEINFO"):
            check(ours == pefile_version(pe), f"{name}: engine {ours} != pefile {pefile_version(pe)}")
            compared += 1
        else:
            check(ours is None, f"{name}: the engine finds version information that pefile does not")
        pe.close()
        os.remove(copy)
    check(compared >= 10, f"only {compared} programs with version information compared")

    # 2. Edits of an existing resource.
    edited = os.path.join(work, "winver.exe")
    shutil.copyfile(os.path.join(WINE_DIR, "winver.exe"), edited)
    run(tool, edited, "set-version", "1.2.3.4", "set-product-version", "5.6.7.8",
        "set-string", "companyname=Acme Ltd", "set-string", "LegalCopyright=",
        "set-string", "Comments=na\u00efve \u20ac 1")
    got = pefile_version(load(edited))
    check(got["fileVersion"] == "1.2.3.4" and got["productVersion"] == "5.6.7.8", f"winver: fixed part {got}")
    key, strings = got["tables"][0]
    check(key == "040904B0", f"winver: table key {key}")
    check(strings.get("FileVersion") == "1.2.3.4" and strings.get("ProductVersion") == "5.6.7.8",
          f"winver: version strings {strings}")
    check(strings.get("CompanyName") == "Acme Ltd", f"winver: CompanyName {strings}")
    check("LegalCopyright" not in strings, f"winver: LegalCopyright not removed {strings}")
    check(strings.get("Comments") == "na\u00efve \u20ac 1", f"winver: Comments {strings}")
    check(strings.get("OriginalFilename") == "winver.exe", f"winver: other strings lost {strings}")
    check(got["translations"] == [0x0409, 1200], f"winver: translations {got['translations']}")

    # 3. A new resource for a program without one.
    fresh = os.path.join(work, "hostname.exe")
    shutil.copyfile(os.path.join(WINE_DIR, "hostname.exe"), fresh)
    check(not hasattr(load(fresh), "VS_FIXEDFILEINFO"), "hostname.exe already has version information")
    run(tool, fresh, "set-version", "2.0.0.1", "set-string", "ProductName=Marovi")
    got = pefile_version(load(fresh))
    check(got["fileVersion"] == "2.0.0.1" and got["productVersion"] == "2.0.0.1", f"new: fixed part {got}")
    check(got["tables"] == [("040904b0", {"FileVersion": "2.0.0.1", "ProductVersion": "2.0.0.1",
                                          "ProductName": "Marovi"})], f"new: tables {got['tables']}")
    check(got["translations"] == [0x0409, 1200], f"new: translations {got['translations']}")

    # 4. Manifests: one edited (the rest of its text kept), one made.
    program = os.path.join(work, "notepad.exe")
    shutil.copyfile(os.path.join(WINE_DIR, "notepad.exe"), program)
    before = manifest_of(load(program))
    run(tool, program, "set-level", "requireAdministrator")
    after = manifest_of(load(program))
    check(level_in(after) == [("requireAdministrator", "false")], f"notepad: levels {level_in(after)}")
    chain = re.search(rb"\r?\n[ \t]*<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">.*?</trustInfo>",
                      after, re.S)
    check(chain is not None and after[:chain.start()] + after[chain.end():] == before,
          "notepad: the manifest changed elsewhere than in the added trustInfo")
    run(tool, program, "set-level", "asInvoker")
    check(level_in(manifest_of(load(program))) == [("asInvoker", "false")], "notepad: level not changed again")

    run(tool, fresh, "set-level", "highestAvailable")
    made = manifest_of(load(fresh))
    check(made is not None and level_in(made) == [("highestAvailable", "false")], f"hostname: new manifest {made}")
    check(ET.fromstring(made).tag == "{urn:schemas-microsoft-com:asm.v1}assembly", "hostname: manifest root")

    for failure in failures:
        print("FAIL:", failure)
    print(f"{compared} programs compared with pefile; {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
