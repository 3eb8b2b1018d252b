"""What the acceptance scripts share: the CLI run as a program, the
resources as pefile reads them, the icon files and copies the checks start
from, the checks of a change, and the run of one case with its report.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys

import pefile

WINE_EXES = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
NSIS_STUBS = "/usr/share/nsis/Stubs"
RT_ICON, RT_GROUP_ICON = 3, 14


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


# ---------------------------------------------------------------- the CLI --

class Cli:
    def __init__(self, command, windows_paths):
        # Programs named relative to where the script starts still run from
        # other folders.
        self.command = [os.path.abspath(c) if os.path.exists(c) else c for c in command]
        self.windows_paths = windows_paths

    def path(self, host_path):
        if not self.windows_paths:
            return host_path
        return "Z:" + os.path.abspath(host_path).replace("/", "\\")

    def relative(self, relative_path):
        return relative_path.replace("/", "\\") if self.windows_paths else relative_path

    def run(self, *args, cwd=None, preexec_fn=None):
        result = subprocess.run(self.command + list(args), cwd=cwd, capture_output=True, timeout=120,
                                preexec_fn=preexec_fn)
        return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")

    def start(self, *args):
        """The CLI started, not waited for."""
        return subprocess.Popen(self.command + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)


# ------------------------------------------------------------ pefile view --

def quote_name(text):
    out = []
    for c in text:
        if c in '"\\':
            out.append("\\" + c)
        elif ord(c) < 0x20 or ord(c) == 0x7F:
            out.append("\\x%02x" % ord(c))
        else:
            out.append(c)
    return '"' + "".join(out) + '"'


def key_text(entry):
    return quote_name(str(entry.name)) if entry.name is not None else str(entry.id)


def load_pe(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    return pe


def resources(path):
    """[(type, name, lang, bytes)] in directory order, as pefile reads them."""
    pe = load_pe(path)
    leaves = []
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return pe, None
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for leaf in n.directory.entries:
                data = pe.get_data(leaf.data.struct.OffsetToData, leaf.data.struct.Size)
                leaves.append((key_text(t), key_text(n), leaf.id, data))
    return pe, leaves


def listing(leaves):
    """list's lines: four columns, and "shell" as the fifth on the line of
    the group the shell shows: the first icon group leaf of the directory."""
    lines = ["%s %s %d %d" % (t, n, lang, len(data)) for t, n, lang, data in leaves]
    groups = [i for i, (t, _, _, _) in enumerate(leaves) if t == "14"]
    if groups:
        lines[groups[0]] += " shell"
    return lines


def group_ids(record):
    count = int.from_bytes(record[4:6], "little")
    return [int.from_bytes(record[6 + 14 * i + 12:6 + 14 * i + 14], "little") for i in range(count)]


def ico_images(ico):
    count = int.from_bytes(ico[4:6], "little")
    images = []
    for i in range(count):
        entry = ico[6 + 16 * i:6 + 16 * (i + 1)]
        size = int.from_bytes(entry[8:12], "little")
        offset = int.from_bytes(entry[12:16], "little")
        images.append((entry[:12], ico[offset:offset + size]))
    return images


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def read(path):
    with open(path, "rb") as f:
        return f.read()


# ------------------------------------------------------------- fixtures --

def make_icons(work):
    """Two .ico files with several sizes, the 256-pixel image PNG-compressed."""
    icons = {}
    for name, colours in (("first", "red-blue"), ("second", "yellow-green")):
        path = os.path.join(work, name + ".ico")
        if not os.path.exists(path):
            subprocess.run(["convert", "-size", "256x256", "gradient:" + colours, "-define",
                            "icon:auto-resize=256,48,32,16", path], check=True)
        icons[name] = path
    images = ico_images(read(icons["first"]))
    check(len(images) == 4 and images[0][1][:4] == b"\x89PNG",
          "convert did not make a 4-image icon with a PNG 256x256 image")
    return icons


def fresh_copy(source, work, name=None):
    target = os.path.join(work, name or os.path.basename(source))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    for stale in (target, target + ".bak"):
        if os.path.exists(stale):
            os.remove(stale)
    shutil.copyfile(source, target)
    return target


def stub_paths():
    return sorted(os.path.join(NSIS_STUBS, n) for n in os.listdir(NSIS_STUBS))


def wine_exe_paths():
    return sorted(os.path.join(WINE_EXES, n) for n in os.listdir(WINE_EXES) if n.endswith(".exe"))


# ----------------------------------------------------- the change checked --

def expect_changed(cli, target, ico_path, before, original, group="MAINICON", language=0):
    """target was changed from `before` (pefile leaves) by ico_path into group."""
    group_key = str(group) if isinstance(group, int) else quote_name(group)
    _, after = resources(target)
    check(after is not None, "%s: no resources after the change" % target)
    expect_sound_image(target, original)

    # The group and its images hold the icon file's directory and images.
    ico = read(ico_path)
    groups = [d for t, n, lang, d in after if t == "14" and n == group_key and lang == language]
    check(len(groups) == 1, "%s: group %s not found once" % (target, group_key))
    record = groups[0]
    check(record[:6] == ico[:6], "%s: group header differs from the icon file's" % target)
    ids = group_ids(record)
    images = ico_images(ico)
    check(len(ids) == len(images) and len(set(ids)) == len(ids), "%s: group lists %s" % (target, ids))
    icons = {(n, lang): d for t, n, lang, d in after if t == "3"}
    for i, (entry, image) in enumerate(images):
        check(record[6 + 14 * i:6 + 14 * i + 12] == entry, "%s: group entry %d differs" % (target, i))
        check(icons.get((str(ids[i]), language)) == image, "%s: image %d (id %d) differs" % (target, i, ids[i]))

    # wrestool puts the group back together into the same icon file.
    name = str(group)
    # (wrestool writes as many bytes behind the icon file as the group record
    # is long, whatever its buffer held; they are no part of the icon.)
    extracted = subprocess.run(["wrestool", "-x", "--type=14", "--name=" + name,
                                "--language=%d" % language, target],
                               capture_output=True, check=True).stdout
    check(extracted[:len(ico)] == ico and len(extracted) == len(ico) + len(record),
          "%s: wrestool -x --type=14 --name=%s does not give the icon file back (%d bytes for %d)"
          % (target, name, len(extracted), len(ico)))

    check(icotool_images(extracted[:len(ico)], target + ".extracted") == icotool_images(ico, target + ".given"),
          "%s: icotool -x gives other images than those of the icon file" % target)

    # Everything else is as it was: only the old group's images may go.
    old_records = [d for t, n, lang, d in before if t == "14" and n == group_key and lang == language]
    old_list = group_ids(old_records[0]) if old_records else []
    old_ids = set(old_list)
    check(ids[:len(old_list)] == old_list[:len(ids)], "%s: old ids %s not reused in %s" % (target, old_list, ids))
    replaced = {("14", group_key, language)} | {("3", str(i), language) for i in set(ids) | old_ids}
    kept_before = [(t, n, lang, d) for t, n, lang, d in before if (t, n, lang) not in replaced]
    kept_after = [(t, n, lang, d) for t, n, lang, d in after if (t, n, lang) not in replaced]
    check(sorted(kept_before) == sorted(kept_after),
          "%s: resources outside the group changed" % target)
    leftovers = {(t, n, lang) for t, n, lang, _ in after} & {("3", str(i), language) for i in old_ids - set(ids)}
    check(not leftovers, "%s: old images %s left behind" % (target, sorted(leftovers)))


def icotool_images(ico, folder):
    """The images icotool extracts from an icon file, as {name: bytes}."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    source = os.path.join(folder, "icon.ico")
    with open(source, "wb") as f:
        f.write(ico)
    subprocess.run(["icotool", "-x", "-o", folder, source], check=True, capture_output=True)
    images = {n: read(os.path.join(folder, n)) for n in sorted(os.listdir(folder)) if n != "icon.ico"}
    shutil.rmtree(folder)
    check(images, "icotool extracted no images")
    return {n.replace("icon_", ""): d for n, d in images.items()}


def warnings_of(pe):
    # The share of zero bytes that pefile warns about moves with any change.
    return {"".join("#" if c.isdigit() else c for c in w) for w in pe.get_warnings()}


def expect_sound_image(path, original=None):
    """pefile reads path without warnings of its own (beyond those the
    original file already gave) and its checksum is right."""
    pe = pefile.PE(path)
    allowed = warnings_of(pefile.PE(original)) if original else set()
    check(warnings_of(pe) <= allowed, "%s: pefile warnings %s" % (path, pe.get_warnings()))
    check(pe.verify_checksum(), "%s: the image checksum is wrong" % path)


def set_icon(cli, target, ico, *options, cwd=None, output=None, note=None):
    """note: None leaves stderr unchecked; [] wants it empty; words want one
    line that holds each of them."""
    args = ["set-icon", cli.path(target), cli.path(ico)] + list(options)
    rc, out, err = cli.run(*args, cwd=cwd)
    check(rc == 0, "set-icon %s failed (%d): %s" % (target, rc, err.strip()))
    lines = out.strip().splitlines()
    expected = os.path.basename(output or target)
    check(len(lines) == 1 and expected in lines[0], "set-icon printed %r" % out)
    if note is not None:
        # The size of data of unknown kind behind an image (wine's programs
        # carry some) is reported on a line of its own, checked elsewhere.
        notes = [n for n in err.strip().splitlines() if "behind its image" not in n]
        check(len(notes) == (1 if note else 0) and all(w in "\n".join(notes) for w in note),
              "set-icon %s: stderr %r, expected a note with %s" % (options, err, note))
    return out


def expect_failure(cli, args, words, cwd=None, code=1, preexec_fn=None):
    rc, out, err = cli.run(*args, cwd=cwd, preexec_fn=preexec_fn)
    lines = err.strip().splitlines()
    check(rc == code, "%s: exit %d, expected %d (%s)" % (args, rc, code, err.strip()))
    check(len(lines) == 1, "%s: stderr is not one line: %r" % (args, err))
    for word in words:
        check(word in lines[0], "%s: %r does not say %r" % (args, lines[0], word))


# ------------------------------------------------- shared by the cases --

def shown_group(path):
    """The group the shell shows, as (name, language), by pefile: the first
    icon group leaf of the directory."""
    _, leaves = resources(path)
    return next(((n, lang) for t, n, lang, _ in leaves or [] if t == "14"), None)


def write(path, data):
    """data (bytes, or text written as UTF-8) into path, its folders made."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def version_of(ms, ls):
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def pefile_versions(path):
    """Each version resource as pefile's own parser reads it: language,
    versions, file type, {table key: {key: value}} and translations."""
    pe = load_pe(path)
    _, leaves = resources(path)
    languages = [lang for t, n, lang, d in leaves or [] if t == "16"]
    records = []
    for i, fixed in enumerate(getattr(pe, "VS_FIXEDFILEINFO", [])):
        tables, translations = {}, []
        for info in pe.FileInfo[i]:
            if info.Key == b"StringFileInfo":
                for table in info.StringTable:
                    tables[table.LangID.decode().lower()] = {k.decode(): v.decode("utf-8")
                                                             for k, v in table.entries.items()}
            elif info.Key == b"VarFileInfo":
                for var in info.Var:
                    translations += [int(pair, 16) for pair in var.entry.get(b"Translation", "").split()]
        records.append({"language": languages[i],
                        "fileVersion": version_of(fixed.FileVersionMS, fixed.FileVersionLS),
                        "productVersion": version_of(fixed.ProductVersionMS, fixed.ProductVersionLS),
                        "fileType": fixed.FileType, "tables": tables, "translations": translations})
    pe.close()
    return records


def parts_under(folder):
    """Temporary copies left anywhere under folder."""
    return [os.path.join(d, n) for d, _, names in os.walk(folder) for n in names if n.endswith(".marovi-part")]


def icon_held(target, icons):
    """Which of the icon files the MAINICON group of target gives back
    (wrestool reads it); a cheap check for large files."""
    extracted = subprocess.run(["wrestool", "-x", "--type=14", "--name=MAINICON", "--language=0", target],
                               capture_output=True).stdout
    for ico in icons:
        data = read(ico)
        if extracted[:len(data)] == data:
            return ico
    raise Failure("%s holds none of the icons %s" % (target, icons))


def big_executable(source, path, megabytes):
    """source with megabytes of data appended, so that copying it takes a while."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(read(source))
        block = bytes(range(256)) * 4096
        for _ in range(megabytes):
            f.write(block)
    return path


def change(cli, *args):
    """A command that changes a file; its one line on stdout."""
    rc, out, err = cli.run(*args)
    check(rc == 0, "%s failed (%d): %s" % (" ".join(args), rc, err.strip()))
    lines = out.strip().splitlines()
    check(len(lines) == 1, "%s printed %r" % (args[0], out))
    return lines[0], err


def png_image(work, name, width, height, colours="yellow-green"):
    path = os.path.join(work, name)
    if not os.path.exists(path):
        subprocess.run(["convert", "-size", "%dx%d" % (width, height), "gradient:" + colours, path], check=True)
    return path


def signing_key(work):
    key, certificate = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
    if not os.path.exists(certificate):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                        certificate, "-days", "30", "-subj", "/CN=Marovi test signer"], check=True,
                       capture_output=True)
    return key, certificate


def signed_copy(source, work, name):
    key, certificate = signing_key(work)
    target = os.path.join(work, name)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    for stale in (target, target + ".bak"):
        if os.path.exists(stale):
            os.remove(stale)
    subprocess.run(["osslsigncode", "sign", "-certs", certificate, "-key", key, "-in", source, "-out", target],
                   check=True, capture_output=True)
    return target


def keep_wine_server():
    """A wineserver that outlives each program by 30 seconds: a cold start
    costs seconds per program. Its streams are closed, so that nothing waits
    for it; it ends by itself. One already running is left as it is."""
    if "WINEPREFIX" in os.environ and os.path.exists("/usr/lib/wine/wineserver"):
        subprocess.run(["/usr/lib/wine/wineserver", "-p30"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def bare_copy(source, work, name):
    """A copy of source whose resource table entry is empty: an image without
    resources, as far as a reader can tell."""
    bare = fresh_copy(source, work, name)
    pe = pefile.PE(bare)
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress = 0
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].Size = 0
    data = pe.write()
    pe.close()
    with open(bare, "wb") as f:
        f.write(data)
    return bare


# ------------------------------------------------------- running a script --

def split_command(argv, usage):
    """The script's own arguments, and the CLI command behind "--"."""
    if "--" not in argv:
        sys.exit("usage: " + usage)
    split = argv.index("--")
    return argv[:split], argv[split + 1:]


def case_options(cases):
    """A parser of the options every script of cases takes: the case, the
    work folder and the script that runs Windows programs under wine64."""
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(cases))
    parser.add_argument("--work", required=True)
    parser.add_argument("--wine-runner")
    return parser


def work_folder(root, name="", fresh=False):
    """The folder a case works in, made (emptied first when fresh)."""
    work = os.path.join(os.path.abspath(root), name) if name else os.path.abspath(root)
    if fresh:
        shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work, exist_ok=True)
    return work


def run_reported(checks):
    """Runs checks(), which returns what passed; a Failure is printed and
    ends the script with status 1."""
    try:
        passed = checks()
    except Failure as failure:
        print("FAILED: %s" % failure)
        sys.exit(1)
    print("passed: %s" % passed)
