"""marovi-cli's cases on version information and manifests (against pefile
and wrestool), and edit, which changes icon, version and manifest at once.
"""
import json
import os
import struct
import re
import shutil
import subprocess
import xml.etree.ElementTree as ET

from acceptance_support import (WINE_EXES, bare_copy, change, check, expect_failure, expect_sound_image,
                                fresh_copy, icon_held, make_icons, parts_under, pefile_versions, png_image,
                                quote_name, read, resources, set_icon, sha, wine_exe_paths)


ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
MANIFEST = b"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="Marovi.Test" version="1.0.0.0"/>
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security><requestedPrivileges><requestedExecutionLevel level="highestAvailable" uiAccess="false"/></requestedPrivileges></security>
  </trustInfo>
</assembly>
"""


def shown_versions(cli, path):
    """show-version --json in pefile_versions' shape; [] when the image has none."""
    rc, out, err = cli.run("show-version", "--json", cli.path(path))
    if rc == 1 and "has no version information" in err:
        return []
    check(rc == 0, "show-version %s failed: %s" % (path, err.strip()))
    records = []
    for r in json.loads(out):
        translations = []
        for t in r["translations"]:
            translations += [t["language"], t["codePage"]]
        records.append({"language": r["language"], "fileVersion": r["fixed"]["fileVersion"],
                        "productVersion": r["fixed"]["productVersion"], "fileType": r["fixed"]["fileType"],
                        "tables": {t["key"].lower(): {s["key"]: s["value"] for s in t["strings"]}
                                   for t in r["stringTables"]},
                        "translations": translations})
    return records


def manifests_of(path):
    """{(name, language): bytes} of the image's manifests (type 24)."""
    _, leaves = resources(path)
    return {(n, lang): d for t, n, lang, d in leaves or [] if t == "24"}


def levels_in(manifest):
    root = ET.fromstring(manifest.rstrip(b"\0"))
    check(root.tag == "{urn:schemas-microsoft-com:asm.v1}assembly", "manifest root %s" % root.tag)
    return [(e.get("level"), e.get("uiAccess")) for e in root.iter("{%s}requestedExecutionLevel" % ASM_V3)]


def expect_only_changed(before, after, types, what):
    """The resources of types other than `types` are as they were."""
    kept = lambda leaves: sorted((t, n, lang, d) for t, n, lang, d in leaves if t not in types)
    check(kept(before) == kept(after), "%s: resources other than %s changed" % (what, types))


def wrestool_entries(path, type_id):
    """(name, language, size) of each resource of type_id as wrestool lists it."""
    out = subprocess.run(["wrestool", "-l", "--type=%d" % type_id, path], capture_output=True, check=True,
                         text=True).stdout
    entries = []
    for line in out.splitlines():
        fields = dict(f.split("=", 1) for f in line.replace("[", " ").replace("]", " ").split() if "=" in f)
        entries.append((fields["--name"].strip("'"), int(fields["--language"]), int(fields["size"])))
    return entries


def case_version_manifest(cli, work, sample):
    # show-version reads what pefile reads, on wine64's programs.
    compared = 0
    for path in wine_exe_paths()[::sample]:
        ours = shown_versions(cli, path)
        check(ours == pefile_versions(path), "%s: show-version %s, pefile %s" % (path, ours, pefile_versions(path)))
        compared += 1 if ours else 0
    check(compared >= (10 // sample + 1), "only %d programs with version information compared" % compared)

    # Table of set-version runs: (program, options, expected per language, or the failure's words).
    winver = os.path.join(WINE_EXES, "winver.exe")
    hostname = os.path.join(WINE_EXES, "hostname.exe")
    cases = [
        ("an existing resource", winver,
         ["--file-version", "1.2.3.4", "--product-version", "5.6", "--string", "companyname=Acme Ltd",
          "--string", "LegalCopyright=", "--string", "Comments=na\u00efve \u20ac 1"],
         {0: ("1.2.3.4", "5.6.0.0", {"CompanyName": "Acme Ltd", "Comments": "na\u00efve \u20ac 1",
                                      "OriginalFilename": "winver.exe", "LegalCopyright": None})}),
        ("a new resource", hostname, ["--file-version", "2.0.0.1", "--string", "ProductName=Marovi"],
         {1033: ("2.0.0.1", "2.0.0.1", {"FileVersion": "2.0.0.1", "ProductVersion": "2.0.0.1",
                                        "ProductName": "Marovi"})}),
        ("a new resource in the language asked", hostname, ["--product-version", "3.1", "--lang", "1031"],
         {1031: ("3.1.0.0", "3.1.0.0", {"ProductVersion": "3.1.0.0"})}),
        ("a language it lacks", winver, ["--file-version", "1.0", "--lang", "1031"],
         ["has no version information in language 1031", "it has it in 0"]),
        ("a value holding \"=\"", hostname, ["--file-version", "2.0.0.1", "--string", "A=b=c"],
         {1033: ("2.0.0.1", "2.0.0.1", {"A": "b=c"})}),
    ]
    for what, source, options, expected in cases:
        target = fresh_copy(source, work, "version/" + os.path.basename(source))
        _, before = resources(target)
        if isinstance(expected, list):
            expect_failure(cli, ["set-version", cli.path(target)] + options, expected)
            check(sha(target) == sha(source), "%s: a refused change changed the file" % what)
            continue
        line, _ = change(cli, "set-version", cli.path(target), *options)
        check(line.startswith("version information changed: "), "%s: printed %r" % (what, line))
        check(sha(target + ".bak") == sha(source), "%s: no backup of the file as it was" % what)
        expect_sound_image(target, source)
        _, after = resources(target)
        expect_only_changed(before, after, {"16"}, what)
        records = pefile_versions(target)
        check(shown_versions(cli, target) == records, "%s: show-version disagrees with pefile" % what)
        check(sorted(r["language"] for r in records) == sorted(expected), "%s: languages %s" % (what, records))
        for record in records:
            file_version, product_version, strings = expected[record["language"]]
            check((record["fileVersion"], record["productVersion"]) == (file_version, product_version),
                  "%s: versions %s" % (what, record))
            table = list(record["tables"].values())[0]
            for key, value in strings.items():
                check(table.get(key) == value, "%s: %s is %r, not %r" % (what, key, table.get(key), value))
            if source == hostname:
                # Made: the table and the translation of its language, in UTF-16.
                check(list(record["tables"]) == ["%04x04b0" % record["language"]] and
                      record["translations"] == [record["language"], 1200],
                      "%s: a new resource's table or translation %s" % (what, record))
        # wrestool finds the same resources, of the same sizes.
        check(wrestool_entries(target, 16) == [(n, lang, len(d)) for t, n, lang, d in after if t == "16"],
              "%s: wrestool lists other version resources" % what)

    # A string is KEY=VALUE with a key: anything else is refused as a usage
    # error, the file untouched.
    target = fresh_copy(winver, work, "version/keyless.exe")
    for given in ("=x", "NoEquals"):
        expect_failure(cli, ["set-version", cli.path(target), "--string", given],
                       ["--string needs KEY=VALUE with a key"], code=2)
    check(sha(target) == sha(winver) and not os.path.exists(target + ".bak"),
          "a string without a key changed the file")

    # A key outside ASCII is stored as UTF-16 like any other. (pefile finds
    # such a value by the key's length in UTF-8 bytes and misreads it, so the
    # String record is read here by its own fields.)
    target = fresh_copy(winver, work, "version/unicode-key.exe")
    change(cli, "set-version", cli.path(target), "--string", "\u00dcn\u00efc\u00f8d\u00e9=v\u00e4lue",
           "--no-backup")
    with open(target, "rb") as f:
        data = f.read()
    key = "\u00dcn\u00efc\u00f8d\u00e9".encode("utf-16-le") + b"\0\0"
    at = data.find(key)
    record = at - 6
    length, value_length, kind = struct.unpack_from("<HHH", data, record)
    value_at = record + ((6 + len(key) + 3) & ~3)
    value = data[value_at:value_at + 2 * value_length].decode("utf-16-le")
    check(at > 0 and kind == 1 and value == "v\u00e4lue\0" and length == value_at + 2 * value_length - record,
          "a key outside ASCII: record %r" % ((length, value_length, kind, value),))
    _, shown, _ = cli.run("show-version", cli.path(target))
    check("\u00dcn\u00efc\u00f8d\u00e9: v\u00e4lue" in shown, "a key outside ASCII: show-version printed %r" % shown)

    # An image without any resources gains a section for them.
    bare = bare_copy(hostname, work, "version/bare.exe")
    expect_failure(cli, ["show-version", cli.path(bare)], ["bare.exe", "has no version information"])
    change(cli, "set-version", cli.path(bare), "--file-version", "9.8.7.6", "--no-backup")
    change(cli, "set-manifest", cli.path(bare), "--execution-level", "asInvoker", "--no-backup")
    records = pefile_versions(bare)
    check([(r["language"], r["fileVersion"]) for r in records] == [(1033, "9.8.7.6")],
          "an image without resources: %s" % records)
    check(levels_in(manifests_of(bare)[("1", 0)]) == [("asInvoker", "false")], "an image without resources: manifest")
    expect_sound_image(bare, hostname)

    # Table of set-manifest runs: (program, arguments, expected {(name, language): levels or bytes}).
    manifest_file = os.path.join(work, "app.manifest")
    with open(manifest_file, "wb") as f:
        f.write(MANIFEST)
    notepad = os.path.join(WINE_EXES, "notepad.exe")
    notepad_manifests = manifests_of(notepad)
    check(list(notepad_manifests) == [("1", 0)] or len(notepad_manifests) == 1,
          "notepad.exe has manifests %s" % list(notepad_manifests))
    ((notepad_key, _),) = notepad_manifests.items()
    cases = [
        ("replaced, in its language", notepad, [cli.path(manifest_file)], {notepad_key: MANIFEST}),
        ("added in language 0", hostname, [cli.path(manifest_file)], {("1", 0): MANIFEST}),
        ("its level set", notepad, ["--execution-level", "requireAdministrator"],
         {notepad_key: [("requireAdministrator", "false")]}),
        ("made for the level", hostname, ["--execution-level", "asInvoker"], {("1", 0): [("asInvoker", "false")]}),
    ]
    for what, source, arguments, expected in cases:
        target = fresh_copy(source, work, "manifest/" + os.path.basename(source))
        _, before = resources(target)
        line, _ = change(cli, "set-manifest", cli.path(target), *arguments)
        check(line.startswith("manifest changed: "), "%s: printed %r" % (what, line))
        expect_sound_image(target, source)
        _, after = resources(target)
        expect_only_changed(before, after, {"24"}, what)
        got = manifests_of(target)
        check(list(got) == list(expected), "%s: manifests %s" % (what, list(got)))
        for key, want in expected.items():
            check(got[key] == want if isinstance(want, bytes) else levels_in(got[key]) == want,
                  "%s: manifest %s is %r" % (what, key, got[key][:200]))
        check(wrestool_entries(target, 24) == [(n, lang, len(d)) for t, n, lang, d in after if t == "24"],
              "%s: wrestool lists other manifests" % what)
    # The level set keeps the rest of the manifest's text.
    target = os.path.join(work, "manifest", "notepad.exe")
    fresh_copy(notepad, work, "manifest/notepad.exe")
    change(cli, "set-manifest", cli.path(target), "--execution-level", "highestAvailable", "--no-backup")
    edited = manifests_of(target)[notepad_key]
    chain = re.search(rb"\r?\n[ \t]*<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">.*?</trustInfo>",
                      edited, re.S)
    check(chain is not None and edited[:chain.start()] + edited[chain.end():] == notepad_manifests[notepad_key],
          "the manifest changed elsewhere than in the added trustInfo")

    # A file that is no manifest is refused, and nothing of the change is written.
    for name, content, words in (("broken.manifest", MANIFEST[:-20], ["broken.manifest", "not well-formed XML"]),
                                 ("page.manifest", b"<html/>", ["page.manifest", "is not an assembly"])):
        bad = os.path.join(work, name)
        with open(bad, "wb") as f:
            f.write(content)
        target = fresh_copy(notepad, work, "manifest/refused.exe")
        expect_failure(cli, ["set-manifest", cli.path(target), cli.path(bad), "--no-backup"], words)
        expect_failure(cli, ["edit", cli.path(target), "--icon", cli.path(make_icons(work)["first"]),
                             "--manifest", cli.path(bad), "--no-backup"], words)
        check(sha(target) == sha(notepad), "a refused manifest file changed the program")


def expect_icon_from_png(target):
    """The MAINICON group of target is one made from a PNG: a 256-pixel PNG
    image and 48, 32, 24 and 16-pixel 32-bit bitmaps, which icotool reads."""
    extracted = subprocess.run(["wrestool", "-x", "--type=14", "--name=MAINICON", "--language=0", target],
                               capture_output=True, check=True).stdout
    count = int.from_bytes(extracted[4:6], "little")
    ico = os.path.join(os.path.dirname(target), "extracted.ico")
    with open(ico, "wb") as f:
        f.write(extracted)
    listed = subprocess.run(["icotool", "-l", ico], capture_output=True, check=True, text=True).stdout.split("\n")
    sizes = [int(re.search(r"--width=(\d+)", line).group(1)) for line in listed if "--width" in line]
    check(count == 5 and sizes == [256, 48, 32, 24, 16], "%s: the icon's images are %s" % (target, sizes))
    check(all("--bit-depth=32" in line for line in listed if "--width" in line), "%s: %s" % (target, listed))


def case_edit(cli, work, sample):
    icons = make_icons(work)
    manifest_file = os.path.join(work, "app.manifest")
    with open(manifest_file, "wb") as f:
        f.write(MANIFEST)
    square = png_image(work, "square.png", 300, 300)
    version = ["--file-version", "4.3.2.1", "--product-version", "4.3", "--string", "ProductName=Marovi Test",
               "--string", "CompanyName=Acme"]

    # One run of edit gives, resource for resource, what the changes one
    # after the other give; so do the spellings of build tools.
    for name in ("winver.exe", "notepad.exe", "cmd.exe", "hostname.exe"):
        source = os.path.join(WINE_EXES, name)
        for icon, manifest in ((icons["first"], ["--execution-level", "requireAdministrator"]),
                               (square, ["--manifest", cli.path(manifest_file)])):
            what = "%s with %s and %s" % (name, os.path.basename(icon), manifest[0])
            once = fresh_copy(source, work, "edit/once-" + name)
            line, _ = change(cli, "edit", cli.path(once), "--icon", cli.path(icon), *version, *manifest)
            check(line.startswith("changed: ") and "(icon, version information, manifest)" in line,
                  "%s: printed %r" % (what, line))
            check(sha(once + ".bak") == sha(source), "%s: the backup is not the file as it was" % what)
            expect_sound_image(once, source)
            steps = fresh_copy(source, work, "edit/steps-" + name)
            change(cli, "set-icon", cli.path(steps), cli.path(icon), "--no-backup")
            change(cli, "set-version", cli.path(steps), *version, "--no-backup")
            if manifest[0] == "--manifest":
                change(cli, "set-manifest", cli.path(steps), manifest[1], "--no-backup")
            else:
                change(cli, "set-manifest", cli.path(steps), *manifest, "--no-backup")
            check(resources(once)[1] == resources(steps)[1], "%s: one run differs from the steps" % what)
            if manifest[0] == "--execution-level":
                # The build tools' form: their meaning (the group the shell
                # shows, the version strings as given), nothing printed, and
                # the same as their spellings in edit.
                tools = fresh_copy(source, work, "edit/tools-" + name)
                spelled = fresh_copy(source, work, "edit/spelled-" + name)
                tool_args = ["--set-icon", cli.path(icon), "--set-file-version", "4.3.2.1",
                             "--set-product-version", "4.3", "--set-version-string", "ProductName", "Marovi Test",
                             "--set-version-string", "CompanyName", "Acme", "--set-requested-execution-level",
                             "requireAdministrator"]
                rc, out, err = cli.run(cli.path(tools), *tool_args)
                check(rc == 0 and out == "", "%s: the build tools' form: %d %r %r" % (what, rc, out, err))
                change(cli, "edit", cli.path(spelled), *tool_args, "--no-backup")
                check(resources(tools)[1] == resources(spelled)[1], "%s: the build tools' spellings differ" % what)
                check(not os.path.exists(tools + ".bak"), "%s: the build tools' form made a backup" % what)
                check([t.get("ProductVersion") for r in pefile_versions(tools) for t in r["tables"].values()] ==
                      ["4.3"] * sum(len(r["tables"]) for r in pefile_versions(tools)),
                      "%s: ProductVersion not kept as given" % what)
                icon_held(once, [icon])
            else:
                expect_icon_from_png(once)
            records = pefile_versions(once)
            check(records and all(r["fileVersion"] == "4.3.2.1" and r["productVersion"] == "4.3.0.0"
                                  for r in records), "%s: versions %s" % (what, records))
            for record in records:
                for table in record["tables"].values():
                    check(table.get("ProductName") == "Marovi Test" and table.get("CompanyName") == "Acme" and
                          table.get("FileVersion") == "4.3.2.1", "%s: strings %s" % (what, table))
            level = [levels_in(m) for (n, lang), m in manifests_of(once).items() if n == "1"]
            check(level == [[("requireAdministrator", "false")]] if manifest[0] == "--execution-level" else
                  list(manifests_of(once).values()) == [MANIFEST], "%s: manifests %s" % (what, level))

    # A square PNG wherever an icon file is expected; others refused, saying why.
    source = os.path.join(WINE_EXES, "hostname.exe")
    target = fresh_copy(source, work, "png/prog.exe")
    set_icon(cli, target, square, "--no-backup")
    expect_icon_from_png(target)
    expect_sound_image(target, source)
    wide = png_image(work, "wide.png", 128, 64)
    cut = os.path.join(work, "cut.png")
    with open(cut, "wb") as f:
        f.write(read(square)[:-30])
    for png, words in ((wide, ["wide.png", "the PNG image is not square (128 x 64 pixels)"]),
                       (cut, ["cut.png", "the PNG image is cut short"])):
        target = fresh_copy(source, work, "png/refused.exe")
        expect_failure(cli, ["set-icon", cli.path(target), cli.path(png), "--no-backup"], words)
        expect_failure(cli, ["edit", cli.path(target), "--icon", cli.path(png), "--file-version", "1.0",
                             "--no-backup"], words)
        check(sha(target) == sha(source), "a refused PNG changed the program")

    # --output: the source stays, the destination is made whole.
    target = fresh_copy(source, work, "out/prog.exe")
    destination = os.path.join(work, "out", "new", "changed.exe")
    shutil.rmtree(os.path.dirname(destination), ignore_errors=True)
    change(cli, "edit", cli.path(target), "--icon", cli.path(icons["second"]), "--execution-level", "asInvoker",
           "--output", cli.path(destination))
    check(sha(target) == sha(source) and os.path.exists(destination) and not parts_under(work),
          "edit --output changed the source or left its copy")
    check(levels_in(manifests_of(destination)[("1", 0)]) == [("asInvoker", "false")], "edit --output: manifest")

    # list --json: what list prints, as JSON, the group the shell shows marked.
    for path in (destination, os.path.join(WINE_EXES, "cmd.exe")):
        rc, out, err = cli.run("list", "--json", cli.path(path))
        check(rc == 0, "list --json %s: %s" % (path, err))
        entries = json.loads(out)
        rc, plain, _ = cli.run("list", cli.path(path))
        lines = plain.splitlines()
        check(len(entries) == len(lines) == len(resources(path)[1]), "list --json: %d entries" % len(entries))
        for entry, line in zip(entries, lines):
            fields = line.split(" ")
            as_text = lambda v: str(v) if isinstance(v, int) else quote_name(v)
            check([as_text(entry["type"]), as_text(entry["name"]), str(entry["language"]), str(entry["size"])] ==
                  fields[:4], "list --json %r, list %r" % (entry, line))
            check(entry.get("shown", False) == (fields[4:] == ["shell"]), "the shown mark of %r" % entry)

    # Usage errors: nothing is run.
    target = fresh_copy(source, work, "usage/prog.exe")
    for args, words in (
            (["edit", target], ["nothing to change"]),
            (["edit", target, "--manifest", manifest_file, "--execution-level", "asInvoker"], ["cannot both"]),
            (["edit", target, "--file-version", "1.2.3.4.5"], ["--file-version", "A.B.C.D"]),
            (["edit", target, "--execution-level", "admin"], ["requireAdministrator"]),
            (["edit", target, "--string", "=x"], ["--string", "KEY=VALUE"]),
            (["edit", target, "--set-version-string", "OnlyKey"], ["--set-version-string", "KEY and a VALUE"]),
            (["edit", target, "--lang", "1033", "--file-version", "1.0"], ["--lang apply to --icon"]),
            (["edit", target, "--icon", icons["first"], "--group", "first", "--lang", "9"], ["--group first"]),
            (["set-version", target], ["nothing to set"]),
            (["set-version", target, "--icon", icons["first"]], ["unknown option --icon"]),
            (["set-manifest", target], ["manifest file", "--execution-level"]),
            (["show-version"], ["one FILE"]),
            ([target, "--icon", icons["first"]], ["unknown command"])):
        expect_failure(cli, [cli.path(a) if a.startswith("/") else a for a in args], words, code=2)
    check(sha(target) == sha(source) and not os.path.exists(target + ".bak"), "a usage error changed the file")
    rc, out, _ = cli.run("--help")
    check(rc == 0 and all(w in out for w in ("set-version", "show-version", "set-manifest", "edit", "--json",
                                             "--strip-signature", "--set-version-string")),
          "--help does not tell about the new commands")
