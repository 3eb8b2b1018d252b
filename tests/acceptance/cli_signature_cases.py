"""marovi-cli's cases on signed programs, and on changes that change
nothing or are refused (with the memory a refusal takes).
"""
import os
import subprocess
import zlib

import pefile

from acceptance_support import (WINE_EXES, big_executable, change, check, expect_failure, expect_sound_image,
                                fresh_copy, ico_images, make_icons, png_image, read, resources, sha,
                                signed_copy, signing_key)
from cli_version_cases import MANIFEST


def osslsigncode_verify(path, certificate):
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", path], capture_output=True,
                            text=True)
    return result.returncode, result.stdout + result.stderr


def certificate_entry(path):
    pe = pefile.PE(path, fast_load=True)
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
    at, size, field = entry.VirtualAddress, entry.Size, entry.get_file_offset()
    checksum_field = pe.OPTIONAL_HEADER.get_file_offset() + 64
    pe.close()
    return at, size, field, checksum_field


def case_signature(cli, work, sample):
    icons = make_icons(work)
    _, certificate = signing_key(work)
    source = os.path.join(WINE_EXES, "hostname.exe")
    signed = signed_copy(source, work, "signed/original.exe")
    rc, report = osslsigncode_verify(signed, certificate)
    check(rc == 0 and "Signature verification: ok" in report, "osslsigncode cannot verify its own signature: %s"
          % report)
    print("signed by osslsigncode:", " | ".join(l for l in report.splitlines() if "verification" in l or
                                                 l.startswith("Succeeded") or l.startswith("Failed")))
    signature_size = certificate_entry(signed)[1]

    # Changed without --strip-signature: the table stays, whole and moved with
    # the tail; one line says the signature no longer matches.
    for args in (["set-icon", "{target}", cli.path(icons["first"])],
                 ["edit", "{target}", "--icon", cli.path(icons["first"]), "--file-version", "1.0"],
                 ["set-version", "{target}", "--file-version", "1.0"]):
        target = fresh_copy(signed, work, "signed/kept.exe")
        rc, out, err = cli.run(*[cli.path(target) if a == "{target}" else a for a in args])
        check(rc == 0, "%s on a signed image: %s" % (args[0], err))
        notes = err.strip().splitlines()
        check(len(notes) == 1 and "was signed" in notes[0] and "no longer matches" in notes[0] and
              "renewed" in notes[0], "%s: %r" % (args[0], err))
        check(sha(target + ".bak") == sha(signed), "%s: the backup is not the signed file" % args[0])
        at, size, _, _ = certificate_entry(target)
        check(size == signature_size and at + size == os.path.getsize(target) and
              read(target)[at:] == read(signed)[-size:], "%s: the certificate table was not kept" % args[0])
        expect_sound_image(target, signed)
        rc, report = osslsigncode_verify(target, certificate)
        check(rc != 0 and "MISMATCH" in report, "%s: osslsigncode still verifies: %s" % (args[0], report))
    print("changed, signature kept:", " | ".join(l.strip() for l in report.splitlines() if "MISMATCH" in l or
                                                 l.startswith("Failed")))
    kept = read(target)

    # --strip-signature: the entry cleared, the table cut off the end, the
    # checksum right; nothing else differs from the change that kept it.
    for args in (["edit", "{target}", "--icon", cli.path(icons["first"]), "--file-version", "1.0",
                  "--strip-signature"],
                 ["set-version", "{target}", "--file-version", "1.0", "--strip-signature"]):
        target = fresh_copy(signed, work, "signed/stripped.exe")
        rc, out, err = cli.run(*[cli.path(target) if a == "{target}" else a for a in args])
        check(rc == 0 and not err.strip(), "%s --strip-signature: %d %r" % (args[0], rc, err))
        check("(signature removed)" in out or "signature removed)" in out,
              "%s --strip-signature printed %r" % (args[0], out))
        expect_sound_image(target, signed)
        at, size, field, checksum_field = certificate_entry(target)
        check((at, size) == (0, 0), "%s: the certificate entry is %#x, %d" % (args[0], at, size))
        rc, report = osslsigncode_verify(target, certificate)
        check(rc != 0 and "No signature found" in report, "%s: osslsigncode finds a signature: %s"
              % (args[0], report))
    kept_at, kept_size, field, checksum_field = certificate_entry(fresh_copy(signed, work, "signed/entry.exe"))
    stripped = bytearray(read(target))
    # The kept change of the same edits, its table cut off and entry cleared.
    target = fresh_copy(signed, work, "signed/kept.exe")
    change(cli, "set-version", cli.path(target), "--file-version", "1.0", "--no-backup")
    kept = read(target)
    kept_at = certificate_entry(target)[0]
    expected = bytearray(kept[:kept_at])
    expected[field:field + 8] = bytes(8)
    for data in (expected, stripped):
        data[checksum_field:checksum_field + 4] = bytes(4)
    check(bytes(expected) == bytes(stripped), "the stripped image is not the kept one without its table")
    print("changed with --strip-signature:", " | ".join(l for l in report.splitlines()
                                                        if "No signature" in l or l.startswith("Failed")))

    # Nothing to strip: said so, and the file is otherwise rebuilt as it was.
    target = fresh_copy(source, work, "signed/unsigned.exe")
    line, err = change(cli, "edit", cli.path(target), "--strip-signature", "--no-backup")
    check(line.endswith("(it had no signature to remove)") and not err.strip(), "an unsigned image: %r" % line)
    check(resources(target)[1] == resources(source)[1], "stripping an unsigned image changed its resources")

    # The stripped image signs again as any unsigned one does.
    key, certificate = signing_key(work)
    resigned = os.path.join(work, "signed", "resigned.exe")
    if os.path.exists(resigned):
        os.remove(resigned)
    subprocess.run(["osslsigncode", "sign", "-certs", certificate, "-key", key, "-in",
                    os.path.join(work, "signed", "stripped.exe"), "-out", resigned], check=True, capture_output=True)
    rc, report = osslsigncode_verify(resigned, certificate)
    check(rc == 0 and "Signature verification: ok" in report, "the stripped image cannot be signed again: %s"
          % report)
    print("stripped, then signed again:", " | ".join(l for l in report.splitlines() if "verification" in l))


def png_chunks(png):
    """[(offset, type, data)] of a PNG's chunks."""
    chunks, at = [], 8
    while at + 12 <= len(png):
        length = int.from_bytes(png[at:at + 4], "big")
        chunks.append((at, png[at + 4:at + 8], png[at + 8:at + 8 + length]))
        at += 12 + length
    return chunks


def with_chunk_data(png, offset, data):
    """png with the data of the chunk at offset replaced (same length), its CRC fixed."""
    kind = png[offset + 4:offset + 8]
    crc = zlib.crc32(kind + data).to_bytes(4, "big")
    return png[:offset + 8] + data + crc + png[offset + 8 + len(data) + 4:]


def peak_kib(cli, *args):
    """The CLI's exit status and peak resident size in KiB."""
    process = subprocess.Popen(cli.command + list(args), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return process.returncode, usage.ru_maxrss


def case_unchanged_and_refused(cli, work, sample):
    winver = os.path.join(WINE_EXES, "winver.exe")
    notepad = os.path.join(WINE_EXES, "notepad.exe")
    icons = make_icons(work)

    # A change that changes nothing says so and leaves the file as it is: not
    # rewritten, no backup made.
    repeated = [
        ("set-version", winver, ["--file-version", "1.2.3.4", "--string", "Comments=caf\u00e9"]),
        ("set-manifest", notepad, ["--execution-level", "requireAdministrator"]),
        ("set-icon", winver, [cli.path(icons["first"])]),
        ("edit", notepad, ["--icon", cli.path(icons["second"]), "--product-version", "2.5",
                           "--execution-level", "asInvoker"]),
    ]
    for command, source, options in repeated:
        target = fresh_copy(source, work, "unchanged/" + command + ".exe")
        change(cli, command, cli.path(target), *options, "--no-backup")
        made = sha(target)
        os.utime(target, (1000000000, 1000000000))
        line, err = change(cli, command, cli.path(target), *options)
        check(line == "unchanged: %s (it holds what was asked already)" % cli.path(target),
              "%s again printed %r" % (command, line))
        check(sha(target) == made and os.stat(target).st_mtime == 1000000000,
              "%s again rewrote the file" % command)
        check(not os.path.exists(target + ".bak"), "%s again made a backup" % command)
        if command == "edit":
            line, _ = change(cli, command, cli.path(target), *options, "--strip-signature")
            check(line == "unchanged: %s (it holds what was asked already; it had no signature to remove)" %
                  cli.path(target), "edit: an unsigned file's signature stripped: %r" % line)

    # Version strings that are not UTF-8 are refused, not stored as U+FFFD.
    if not cli.windows_paths:
        target = fresh_copy(winver, work, "refused/strings.exe")
        for option in ([b"--string", b"Comments=caf\xe9"], [b"--string", b"Caf\xe9=x"]):
            expect_failure(cli, [b"set-version", target.encode()] + option,
                           ["--string", "af\\xe9", "is not valid UTF-8"], code=2)
        check(sha(target) == sha(winver) and not os.path.exists(target + ".bak"),
              "a refused string changed the file")

    # Manifests that are not what they claim to be, and PNG images that are
    # damaged (in a PNG file and inside an icon file), are refused with the
    # reason; the program stays as it was.
    manifests = [
        ("latin1.manifest", MANIFEST.replace(b"Marovi.Test", b"Marovi.T\xe9st"),
         ["latin1.manifest", "0xE9 does not begin a UTF-8 character", "declared encoding is UTF-8"]),
        ("utf16.manifest", MANIFEST.replace(b'encoding="UTF-8"', b'encoding="UTF-16"'),
         ["utf16.manifest", "declares the encoding UTF-16, but its bytes are not in it"]),
    ]
    png = read(png_image(work, "plain.png", 64, 64))
    offset, _, data = next(c for c in png_chunks(png) if c[1] == b"IDAT")
    reserved = with_chunk_data(png, offset, data[:2] + bytes([data[2] | 7]) + data[3:])
    wide = read(png_image(work, "wide.png", 64, 32))
    ico = read(icons["first"])
    first_png = next(i for i, (_, image) in enumerate(ico_images(ico)) if image[:4] == b"\x89PNG")
    entry = 6 + 16 * first_png
    size, at = struct_u32(ico, entry + 8), struct_u32(ico, entry + 12)
    check(len(wide) <= size, "the wide PNG does not fit in place of the icon's PNG image")
    wide_inside = ico[:at] + wide + ico[at + len(wide):]  # what follows its IEND is not read
    images = [
        ("reserved.png", reserved, ["reserved.png", "cannot be decoded (its compressed image data is damaged)"]),
        ("wide-inside.ico", wide_inside, ["wide-inside.ico", "image %d of 4: the PNG image is not square" %
                                          (first_png + 1)]),
    ]
    os.makedirs(os.path.join(work, "refused"), exist_ok=True)
    for name, content, words in manifests + images:
        path = os.path.join(work, "refused", name)
        with open(path, "wb") as f:
            f.write(content)
        target = fresh_copy(notepad, work, "refused/notepad.exe")
        if name.endswith(".manifest"):
            expect_failure(cli, ["set-manifest", cli.path(target), cli.path(path)], words)
        else:
            expect_failure(cli, ["set-icon", cli.path(target), cli.path(path)], words)
            expect_failure(cli, ["edit", cli.path(target), "--icon", cli.path(path)], words)
        check(sha(target) == sha(notepad), "%s: a refused change touched the program" % name)

    # list and show-version read the pages they need, not the whole file:
    # 64 MiB appended to a program cost them next to nothing more.
    if not cli.windows_paths:
        small = fresh_copy(winver, work, "memory/small.exe")
        big = big_executable(winver, os.path.join(work, "memory", "big.exe"), 64)
        for command in ("list", "show-version"):
            rc_small, small_kib = peak_kib(cli, command, small)
            rc_big, big_kib = peak_kib(cli, command, big)
            check(rc_small == 0 and rc_big == 0, "%s failed" % command)
            check(big_kib - small_kib < 16 * 1024, "%s: %d KiB for the program, %d KiB with 64 MiB appended" %
                  (command, small_kib, big_kib))
        os.remove(big)


def struct_u32(data, offset):
    return int.from_bytes(data[offset:offset + 4], "little")
