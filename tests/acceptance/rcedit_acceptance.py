#!/usr/bin/python3
"""The form of marovi-cli that build tools call (`marovi-cli EXE --set-... ...`),
with the exact argument lists of three packagers, read back by pefile and by
Windows itself under wine64; string tables against windres; the Node package.

    rcedit_acceptance.py CASE --work DIR [--wine-runner SCRIPT] [--node-pack SCRIPT]
                         -- CLI-COMMAND...
"""
import json
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from acceptance_support import (WINE_EXES, Cli, case_options, check, fresh_copy, ico_images,  # noqa: E402
                                keep_wine_server, make_icons, pefile_versions, read, resources, run_reported,
                                shown_group, split_command, work_folder)

HERE = os.path.dirname(os.path.abspath(__file__))
RELEASE, PRERELEASES = "1.4.2", ["1.2.3-beta", "2.0.0-rc.1", "1.2.3+build.5", "1,2,3,4"]
COPYRIGHT = "Copyright \u00a9 2024 Example Ltd"


def leading(version):
    """The fixed part as build tools take it: up to four leading numbers,
    joined by dots or commas, the missing ones 0."""
    match = re.match(r"(\d+)(?:([.,])(\d+)(?:\2(\d+)(?:\2(\d+))?)?)?", version)
    numbers = [n for i, n in enumerate(match.groups()) if i != 1 and n is not None]
    return ".".join(str(int(n)) for n in numbers + ["0"] * (4 - len(numbers)))


def electron_builder(exe, version, ico):
    """signAndEditResources: the app's name, copyright, versions (the product
    version in its four-number form), internal name, an empty original file
    name, company and icon."""
    windows_form = leading(version)
    return [exe, "--set-version-string", "FileDescription", "Example App",
            "--set-version-string", "ProductName", "Example App",
            "--set-version-string", "LegalCopyright", COPYRIGHT,
            "--set-file-version", version, "--set-product-version", windows_form,
            "--set-version-string", "InternalName", "example-app",
            "--set-version-string", "OriginalFilename", "",
            "--set-version-string", "CompanyName", "Example Ltd", "--set-icon", ico]


def node_rcedit_arguments(exe, options):
    """The command line node-rcedit makes of its options (electron-packager's)."""
    args = [exe]
    for key, value in options.get("version-string", {}).items():
        args += ["--set-version-string", key, value]
    for name in ("file-version", "product-version", "icon", "requested-execution-level"):
        if options.get(name):
            args += ["--set-" + name, options[name]]
    if options.get("application-manifest"):
        args += ["--application-manifest", options["application-manifest"]]
    return args


def packager_options(version, ico):
    return {"version-string": {"CompanyName": "Example Ltd", "FileDescription": "example",
                               "OriginalFilename": "example.exe", "ProductName": "example",
                               "InternalName": "example", "LegalCopyright": COPYRIGHT},
            "file-version": version, "product-version": version, "icon": ico}


def squirrel(exe, version):
    """SetPEVersionBlockFromPackageInfo: authors, copyright, summary,
    description and the package version for both versions."""
    return [exe, "--set-version-string", "CompanyName", "Example Ltd",
            "--set-version-string", "LegalCopyright", COPYRIGHT,
            "--set-version-string", "FileDescription", "Example installer",
            "--set-version-string", "ProductName", "Example",
            "--set-file-version", version, "--set-product-version", version]


def expected_of(args):
    """What the documented behaviour gives: the last value of every string,
    verbatim, empty ones present; the fixed versions from the leading numbers."""
    strings, fixed, i = {}, {}, 1
    while i < len(args):
        if args[i] == "--set-version-string":
            strings[args[i + 1]] = args[i + 2]
            i += 3
            continue
        for option, key in (("--set-file-version", "FileVersion"), ("--set-product-version", "ProductVersion")):
            if args[i] == option:
                strings[key] = args[i + 1]
                fixed[key] = leading(args[i + 1])
        i += 2
    return strings, fixed


def windows_readings(runner, probe, results):
    """Windows's reading of every result, by one run of the probe (each start
    of a program under Wine costs seconds): {path: [field, ...]}."""
    keys = sorted({k for _, strings, _, _ in results for k in strings})
    paths = ["Z:" + os.path.abspath(path).replace("/", "\\") for path, _, _, _ in results]
    result = subprocess.run([runner, probe, ",".join(keys)] + paths, capture_output=True, timeout=300)
    lines = result.stdout.decode("utf-8").replace("\r\n", "\n").splitlines()
    check(result.returncode == 0 and len(lines) == len(results),
          "the probe: exit %d, %d lines for %d files: %r" % (result.returncode, len(lines), len(results),
                                                               result.stderr.decode()[-300:]))
    fields = [line.split("\t") for line in lines]
    check([f[0] for f in fields] == paths, "the probe read other files: %s" % [f[0] for f in fields])
    return {path: f[1:] for (path, _, _, _), f in zip(results, fields)}


def expect_result(what, path, args):
    """pefile's reading of a result; returns what Windows must read of it."""
    strings, fixed = expected_of(args)
    records = pefile_versions(path)
    check(records, "%s: no version information" % what)
    for record in records:
        check(record["fileVersion"] == fixed["FileVersion"] and record["productVersion"] == fixed["ProductVersion"],
              "%s: fixed %s %s, wanted %s" % (what, record["fileVersion"], record["productVersion"], fixed))
        for table in record["tables"].values():
            check(all(table.get(k) == v for k, v in strings.items()),
                  "%s: strings %s, wanted %s" % (what, table, strings))
    return strings, fixed


def expect_windows(what, fields, strings, fixed, icon):
    """The probe's fields of one result: the strings set, verbatim and empty
    ones present; the fixed versions; the icon group's 32-pixel image, the
    new one if an icon was set, and LoadImageW loading that group."""
    values = dict(f.split("=", 1) for f in fields if "=" in f)
    for key, value in strings.items():
        check(values.get(key) == value, "%s: Windows reads %s as %r, wanted %r (%s)" %
              (what, key, values.get(key), value, [f for f in fields if f.startswith(key)]))
    wanted = "fixed %s %s" % (fixed["FileVersion"], fixed["ProductVersion"])
    check(wanted in fields, "%s: Windows reads %s, wanted %s" % (what, [f for f in fields if "=" not in f], wanted))
    if icon is None:
        return
    group, image = icon
    line = fields[-1].split(" ")
    check(len(line) == 5 and line[0] == "icon" and line[1] == group and line[3] == image.hex() and
          line[4] == "loads", "%s: the icon Windows loads of group %s is not the new one: %s" %
          (what, group, fields[-1][:80]))


def build_probe(work):
    probe = os.path.join(work, "version_probe.exe")
    subprocess.run(["x86_64-w64-mingw32-gcc", "-municode", "-O1", "-o", probe,
                    os.path.join(HERE, "version_probe.c"), "-lversion"], check=True)
    return probe


def packager_run(cli, work, source, packager, version, ico):
    """One packager's command line on a fresh copy of source: (copy, arguments)."""
    # Under a name of its own: Wine answers for its programs' names from its own copies.
    image = os.path.basename(source)
    target = fresh_copy(source, work, "%s/%s/example-%s" % (packager, version.replace(",", "_"), image))
    if packager == "electron-packager":
        args = node_rcedit_arguments(cli.path(target), packager_options(version, cli.path(ico)))
    elif packager == "electron-builder":
        args = electron_builder(cli.path(target), version, cli.path(ico))
    else:
        args = squirrel(cli.path(target), version)
    return target, args


def case_packagers(cli, work, runner, _):
    """Every packager's command line with every version on both images,
    changed by marovi-cli and read by pefile one by one, then read by
    Windows all at once."""
    icons = make_icons(work)
    keep_wine_server()
    probe = build_probe(work)
    ico = icons["first"]
    new_image = [data for entry, data in ico_images(read(ico)) if entry[0] == 32][0]
    results = []
    # winver.exe has version information and no icon; notepad.exe icons and none.
    for image in ("winver.exe", "notepad.exe"):
        source = os.path.join(WINE_EXES, image)
        shown_before = shown_group(source)
        for version in [RELEASE] + PRERELEASES:
            for packager in ("electron-builder", "electron-packager", "squirrel"):
                what = "%s %s on %s" % (packager, version, image)
                target, args = packager_run(cli, work, source, packager, version, ico)
                rc, out, err = cli.run(*args)
                check(rc == 0 and out == "", "%s: %d %r %r" % (what, rc, out, err))
                check(not os.path.exists(target + ".bak"), "%s: a backup was made" % what)
                strings, fixed = expect_result(what, target, args)
                icon = None
                if packager != "squirrel":
                    wanted = shown_before or ("1", 1033)
                    check(shown_group(target) == wanted,
                          "%s: the shell shows %s, not the group replaced %s" % (what, shown_group(target), wanted))
                    groups = [n for t, n, _, _ in resources(target)[1] if t == "14"]
                    check("MAINICON" not in groups or shown_before == ("MAINICON", 0),
                          "%s: a MAINICON group was added beside the shown one" % what)
                    icon = (wanted[0], new_image)
                results.append((target, strings, fixed, (what, icon)))
    started = time.monotonic()
    readings = windows_readings(runner, probe, results)
    print("Windows read %d results in %.1f s" % (len(results), time.monotonic() - started))
    for target, strings, fixed, (what, icon) in results:
        expect_windows(what, readings[target], strings, fixed, icon)
    # The texts and exit codes callers match; the file stays as it was.
    target = fresh_copy(os.path.join(WINE_EXES, "winver.exe"), work, "failures/winver.exe")
    before = read(target)
    for args, line in (([target, "--set-file-version", "beta"], "Fatal error: Unable to parse version string for "
                        "FileVersion"),
                       ([target, "--set-product-version", "x1"], "Fatal error: Unable to parse version string for "
                        "ProductVersion"),
                       ([target, "--set-icon", os.path.join(work, "none.ico")], "Cannot open icon file '"),
                       ([os.path.join(work, "none.exe"), "--set-file-version", "1"], "Unable to load file: \""),
                       ([target, "--set-version-string", "OnlyKey"], "Fatal error: --set-version-string requires "
                        "'Key' and 'Value'"),
                       ([target, "-sfv", "1", "--bogus"], "Unrecognized argument: \"--bogus\""),
                       ([target, "--bogus"], "Unrecognized argument: \"--bogus\""),
                       # The file is read first: a missing one is the fault named, not the options.
                       ([os.path.join(work, "none.exe"), "--bogus"], "Unable to load file: \""),
                       ([os.path.join(work, "none.exe")], "Unable to load file: \""),
                       ([os.path.join(work, "first.ico")], "Unable to load file: \""),
                       ([target, "-gvs", "Comments"], "Fatal error: Unable to get version string"),
                       ([target, "--set-rcdata", "7", target], "Fatal error: Unable to change RCDATA")):
        rc, out, err = cli.run(*[cli.path(a) if a.startswith("/") else a for a in args])
        check(rc == 1 and any(l.startswith(line) for l in err.splitlines()),
              "%s: exit %d, stderr %r" % (args, rc, err))
        check(read(target) == before, "%s changed the file" % args[1:])
    # The file alone is read and left as it was; a word that names no file
    # stays a mistyped command.
    rc, out, err = cli.run(cli.path(target))
    check(rc == 0 and out == "" and read(target) == before, "the file alone: %d %r %r" % (rc, out, err))
    rc, _, err = cli.run("lst", cli.path(target))
    check(rc == 2 and "unknown command lst" in err, "a mistyped command: %d %r" % (rc, err))
    rc, out, _ = cli.run(cli.path(target), "--get-version-string", "fileversion")
    shipped = pefile_versions(target)[0]["tables"]
    check(rc == 0 and out == list(shipped.values())[0]["FileVersion"], "--get-version-string printed %r" % out)


RC_TEXT = """LANGUAGE 9, 1
STRINGTABLE
BEGIN
  1 "one"
  17 "%s"
  100 "hundred"
  4095 "last of its block"
END
"""


def windres_image(work, name, seventeen):
    """An image whose one resource section is a string table windres made."""
    rc = os.path.join(work, name + ".rc")
    with open(rc, "w") as f:
        f.write(RC_TEXT % seventeen)
    subprocess.run(["x86_64-w64-mingw32-windres", "-O", "coff", rc, rc + ".o"], check=True)
    exe = os.path.join(work, name + ".exe")
    subprocess.run(["x86_64-w64-mingw32-ld", "-e", "0", "--subsystem", "windows", "-o", exe, rc + ".o"], check=True)
    return exe


def blocks(path):
    return {(n, lang): data for t, n, lang, data in resources(path)[1] if t == "6"}


def case_strings(cli, work, _runner, _probe):
    built = windres_image(work, "strings", "seventeen")
    for sid, text in ((1, "one"), (17, "seventeen"), (100, "hundred"), (4095, "last of its block"), (2, "")):
        rc, out, err = cli.run(cli.path(built), "--get-resource-string", str(sid))
        check(rc == 0 and out == text, "--get-resource-string %d: %d %r %r" % (sid, rc, out, err))
    rc, _, err = cli.run(cli.path(built), "-grs", "300")
    check(rc == 1 and "Fatal error: Unable to get resource string" in err, "a missing block: %r" % err)
    rc, out, err = cli.run(cli.path(built), "--set-resource-string", "17", "changed")
    check(rc == 0 and out == "", "--set-resource-string: %d %r" % (rc, err))
    rc, out, _ = cli.run(cli.path(built), "-grs", "17")
    check(out == "changed", "after the change string 17 reads %r" % out)
    # Byte for byte what windres writes for the table with the new string.
    wanted = blocks(windres_image(work, "wanted", "changed"))
    check(blocks(built) == wanted, "the blocks differ from windres's: %s" % sorted(blocks(built)))
    # A string in a block the table lacks: the block is made, in the table's language.
    rc, _, err = cli.run(cli.path(built), "-srs", "40", "caf\u00e9 forty")
    check(rc == 0 and ("3", 1033) in blocks(built), "a new block: %r %s" % (err, sorted(blocks(built))))
    rc, out, _ = cli.run(cli.path(built), "-grs", "40")
    check(out == "caf\u00e9 forty", "string 40 reads %r" % out)


def case_node(cli, work, _runner, node_pack):
    """The package packed with the CLI of this build, installed from its
    tarball into an empty folder and driven with node-rcedit's options."""
    tarball = subprocess.run(["sh", node_pack, os.path.join(work, "pack"), cli.command[0]], check=True,
                             capture_output=True).stdout.decode().split()[-1]
    project = os.path.join(work, "project")
    subprocess.run(["rm", "-rf", project], check=True)
    os.makedirs(project)
    subprocess.run(["npm", "install", "--offline", "--no-audit", "--no-fund", "--cache",
                    os.path.join(work, "npm-cache"), tarball], cwd=project, check=True, capture_output=True)
    icons = make_icons(work)
    target = fresh_copy(os.path.join(WINE_EXES, "notepad.exe"), work, "node/app.exe")
    options = packager_options("2.0.0-rc.1", icons["first"])
    options["requested-execution-level"] = "requireAdministrator"
    options["resource-string"] = {"1": "from node"}
    script = ("const rcedit = require('marovi-rcedit');\n"
              "rcedit(process.argv[1], JSON.parse(process.argv[2]))"
              ".then(() => rcedit(process.argv[1], {'file-version': 'not a version'}))"
              ".then(() => { console.log('resolved'); process.exit(3) },"
              " (e) => { console.log(e.message); })\n")
    result = subprocess.run(["node", "-e", script, target, json.dumps(options)], cwd=project,
                            capture_output=True, timeout=120)
    out = result.stdout.decode()
    check(result.returncode == 0 and "failed with exit code 1. Fatal error: Unable to parse version string for "
          "FileVersion" in out, "node: %d %r %r" % (result.returncode, out, result.stderr.decode()))
    strings, _ = expected_of(node_rcedit_arguments(target, options))
    for record in pefile_versions(target):
        check(record["fileVersion"] == "2.0.0.0" and all(t == strings for t in record["tables"].values()),
              "node: the version information %s" % record)
    rc, out, _ = cli.run(target, "-grs", "1")
    check(out == "from node", "node: string 1 reads %r" % out)
    check(shown_group(target) == shown_group(os.path.join(WINE_EXES, "notepad.exe")), "node: the shown group")


CASES = {"packagers": case_packagers, "strings": case_strings, "node": case_node}


def main():
    own, command = split_command(sys.argv[1:], "rcedit_acceptance.py CASE --work DIR [options] -- CLI...")
    parser = case_options(CASES)
    parser.add_argument("--node-pack")
    options = parser.parse_args(own)
    cli = Cli(command, False)
    work = work_folder(options.work, "rcedit-" + options.case)

    def checks():
        CASES[options.case](cli, work, options.wine_runner, options.node_pack)
        return options.case
    run_reported(checks)


if __name__ == "__main__":
    main()
