"""marovi-cli's cases on what must never be lost: a file changed whole or
not at all, files held by other programs, and undo journals left behind.
"""
import fcntl
import os
import resource
import shutil
import signal
import socket
import time

from acceptance_support import (WINE_EXES, big_executable, check, expect_changed, expect_failure, fresh_copy,
                                icon_held, make_icons, parts_under, read, resources, set_icon, sha, write)


def case_whole_or_absent(cli, work, sample):
    icons = make_icons(work)
    source = os.path.join(WINE_EXES, "notepad.exe")
    ico = icons["first"]

    # Anything but a regular file is refused, named, before it is opened (a
    # FIFO used to hang the run, /dev/zero to write an endless backup).
    target = fresh_copy(source, work, "special/prog.exe")
    folder = os.path.join(work, "special", "dir.exe")
    os.makedirs(folder, exist_ok=True)
    cases = [([folder, ico], [folder, "is a directory"]),
             ([target, folder], [folder, "is a directory"]),
             ([target, ico, "--output", folder], [folder, "is a directory"])]
    if not cli.windows_paths:
        fifo = os.path.join(work, "special", "pipe.exe")
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
        sock_path = os.path.join(work, "special", "sock.ico")
        if os.path.exists(sock_path):
            os.remove(sock_path)
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(sock_path)
        cases += [([fifo, ico], [fifo, "FIFO"]),
                  ([target, fifo], [fifo, "FIFO"]),
                  ([target, ico, "--output", fifo], [fifo, "FIFO"]),
                  (["/dev/zero", ico], ["/dev/zero", "is a device"]),
                  ([target, "/dev/zero"], ["/dev/zero", "is a device"]),
                  ([target, sock_path], [sock_path, "is a socket"])]
    for args, words in cases:
        expect_failure(cli, ["set-icon"] + [cli.path(a) if a.startswith("/") else a for a in args],
                       [w if not w.startswith("/") else os.path.basename(w) for w in words])
    check(sha(target) == sha(source) and not os.path.exists(target + ".bak"),
          "a refused special file let the change go on")
    if not cli.windows_paths:
        sock.close()

    # A run with --output that fails leaves no destination behind.
    bad_ico = os.path.join(work, "truncated.ico")
    with open(bad_ico, "wb") as f:
        f.write(read(ico)[:-100])
    text = os.path.join(work, "outfail", "notes.exe")
    os.makedirs(os.path.dirname(text), exist_ok=True)
    with open(text, "w") as f:
        f.write("not an image\n")
    destination = os.path.join(work, "outfail", "new", "copy.exe")
    for exe, icon, words in ((source, bad_ico, ["truncated.ico", "icon file"]),
                             (text, ico, ["copy.exe", "not a PE image"])):
        expect_failure(cli, ["set-icon", cli.path(exe), cli.path(icon), "--output", cli.path(destination)],
                       words)
        check(not os.path.exists(destination), "a failed --output run left %s" % destination)
        check(not parts_under(os.path.join(work, "outfail")), "a failed --output run left its copy")

    # A read-only executable gives a copy that its owner can write, so that
    # the next run changes it in place.
    readonly = fresh_copy(source, work, "readonly/prog.exe")
    os.chmod(readonly, 0o444)
    destination = os.path.join(work, "readonly", "out", "new.exe")
    shutil.rmtree(os.path.dirname(destination), ignore_errors=True)
    try:
        set_icon(cli, readonly, ico, "--output", cli.path(destination), output=destination)
        check(os.stat(destination).st_mode & 0o200, "the copy of a read-only executable is read-only")
        set_icon(cli, readonly, icons["second"], "--output", cli.path(destination), output=destination)
    finally:
        os.chmod(readonly, 0o644)
    expect_changed(cli, destination, icons["second"], resources(source)[1], source)
    check(os.path.exists(destination + ".bak"), "the second run made no backup of the copy")

    # A backup that cannot be made stops the run before the file is touched.
    target = fresh_copy(source, work, "nobackup/prog.exe")
    blockers = [("a directory", lambda at: os.makedirs(at))]
    if not cli.windows_paths:
        blockers.append(("a link to a file that does not exist",
                         lambda at: os.symlink(os.path.join(work, "nowhere"), at)))
    for what, make in blockers:
        make(target + ".bak")
        expect_failure(cli, ["set-icon", cli.path(target), cli.path(ico)],
                       ["prog.exe.bak", "backup cannot be made", what])
        check(sha(target) == sha(source), "the file was changed without its backup (%s)" % what)
        if os.path.isdir(target + ".bak") and not os.path.islink(target + ".bak"):
            os.rmdir(target + ".bak")
        else:
            os.remove(target + ".bak")
    if not cli.windows_paths:
        # No room for the backup: no file may grow past half the executable.
        limit = os.path.getsize(source) // 2

        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        expect_failure(cli, ["set-icon", target, ico], ["prog.exe.bak", "File too large"],
                       preexec_fn=small_files)
        check(sha(target) == sha(source), "the file was changed without its backup")
        check(not os.path.exists(target + ".bak") and not parts_under(os.path.dirname(target)),
              "a backup that could not be written was left behind")
        # A backup left half-written by a run that was killed is written anew.
        with open(target + ".bak.marovi-part", "wb") as f:
            f.write(read(source)[:1000])
        set_icon(cli, target, ico)
        check(sha(target + ".bak") == sha(source) and not parts_under(os.path.dirname(target)),
              "the leftover of a killed run was kept")

    # Messages say what the system said, about the file it concerns.
    plain = os.path.join(work, "messages", "plain")
    os.makedirs(os.path.dirname(plain), exist_ok=True)
    with open(plain, "w") as f:
        f.write("a file, not a folder\n")
    target = fresh_copy(source, work, "messages/prog.exe")
    rc, _, err = cli.run("set-icon", cli.path(target), cli.path(ico), "--output",
                         cli.path(os.path.join(plain, "x.exe")))
    check(rc == 1 and "plain" in err and "no such" not in err.lower(), "a file as a folder: %r" % err)
    if not cli.windows_paths:
        check("Not a directory" in err, "a file as a folder: %r" % err)
        expect_failure(cli, ["set-icon", target, ico, "--output", os.path.join(work, "n" * 300 + ".exe")],
                       ["File name too long"])
        # A name that is not UTF-8 is refused as such, not as missing.
        odd = os.path.join(os.fsencode(work), b"messages", b"odd\xff.exe")
        shutil.copyfile(os.fsencode(source), odd)
        rc, _, err = cli.run("set-icon", odd, ico)
        check(rc == 1 and "odd\\xff.exe" in err and "not valid UTF-8" in err, "a non-UTF-8 name: %r" % err)
        os.remove(odd)

    # --no-sync and --no-journal change the file all the same.
    for option in ("--no-sync", "--no-journal"):
        target = fresh_copy(source, work, "options/prog.exe")
        set_icon(cli, target, ico, option)
        expect_changed(cli, target, ico, resources(source)[1], source)
        check(sha(target + ".bak") == sha(source), "%s: no backup" % option)
    rc, out, _ = cli.run("--help")
    check(rc == 0 and "fails at once" in out and "--no-sync" in out and "--no-journal" in out,
          "--help does not tell about locks and the new options")
    check('fifth column, "shell"' in out and "--group first" in out,
          "--help does not tell about the group the shell shows")


def wait_for(path, process, seconds=60):
    """True once path exists, False when process ended first."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return True
        if process.poll() is not None:
            return False
        time.sleep(0.001)
    return False


def case_locks(cli, work, sample):
    icons = make_icons(work)
    first, second = icons["first"], icons["second"]
    folder = os.path.join(work, "locks")
    shutil.rmtree(folder, ignore_errors=True)
    source = big_executable(os.path.join(WINE_EXES, "notepad.exe"), os.path.join(folder, "big.exe"), 64)
    held = "held open by another program"

    # Another program holds the file first: the run fails at once.
    if not cli.windows_paths:
        target = fresh_copy(source, folder, "held/prog.exe")
        destination = os.path.join(folder, "held", "new.exe")
        for lock, args in ((fcntl.LOCK_EX, [target, first]),
                           (fcntl.LOCK_SH, [target, first]),
                           (fcntl.LOCK_EX, [target, first, "--output", destination])):
            with open(target, "rb") as f:
                fcntl.flock(f, lock | fcntl.LOCK_NB)
                expect_failure(cli, ["set-icon"] + args, ["prog.exe", held])
            check(sha(target) == sha(source) and not os.path.exists(target + ".bak")
                  and not os.path.exists(destination) and not parts_under(folder),
                  "a run on a held file left something behind")

    # A run holds the file while another starts: the second fails at once and
    # the first completes (in place, and to a new destination).
    for name, output in (("inplace", None), ("copy", "new.exe")):
        target = fresh_copy(source, folder, name + "/prog.exe")
        args = ["set-icon", cli.path(target), cli.path(first)]
        written = target + ".bak.marovi-part"
        destination = target
        if output:
            destination = os.path.join(folder, name, output)
            args += ["--output", cli.path(destination)]
            written = destination + ".marovi-part"
        # The second run races the first: one that came after the first had
        # finished (its icon is the one left, a program starts slowly under
        # Wine, and Wine's processes end late) proves nothing and is tried
        # again.
        for attempt in range(3):
            if attempt:
                shutil.rmtree(os.path.dirname(target))
                fresh_copy(source, folder, name + "/prog.exe")
            running = cli.start(*args)
            check(wait_for(written, running), "%s: the first run never held its file" % name)
            rc, _, err = cli.run(*(args[:2] + [cli.path(second)] + args[3:]))
            first_output = running.communicate(timeout=120)
            if rc == 0 and running.returncode == 0 and \
                    icon_held(destination, (first, second)) == second:
                continue
            break
        check(rc == 1 and held in err, "%s: a second run while the first held the file: %d %r" % (name, rc, err))
        out, err = first_output
        check(running.returncode == 0, "%s: the first run failed: %r" % (name, err))
        check(icon_held(destination, (first, second)) == first, "%s: not changed by the first run" % name)
        if not output:
            check(sha(target + ".bak") == sha(source), "%s: the backup is not the unchanged file" % name)
        check(not parts_under(folder), "%s: a temporary copy was left" % name)

    # Two runs started together: each succeeds or is refused, and nothing is torn.
    for round in range(2):
        for name, output in (("race-inplace", None), ("race-copy", "new.exe")):
            target = fresh_copy(source, folder, "%s%d/prog.exe" % (name, round))
            destination = os.path.join(folder, "%s%d" % (name, round), output) if output else target
            runs = []
            for ico in (first, second):
                args = ["set-icon", cli.path(target), cli.path(ico)]
                if output:
                    args += ["--output", cli.path(destination)]
                runs.append(cli.start(*args))
            results = [(r.wait(timeout=120), r.communicate()[1].decode("utf-8")) for r in runs]
            for rc, err in results:
                check(rc == 0 or (rc == 1 and (held in err or "was made by another program" in err)),
                      "%s: a run at the same time: %d %r" % (name, rc, err))
            check(any(rc == 0 for rc, _ in results), "%s: neither run succeeded: %r" % (name, results))
            icon_held(destination, (first, second))
            if not output:
                check(sha(target + ".bak") == sha(source), "%s: the backup is torn" % name)
            elif os.path.exists(destination + ".bak"):
                icon_held(destination + ".bak", (first, second))
            check(sha(target) == sha(source) or not output, "%s: --output changed the source" % name)
            check(not parts_under(folder), "%s: a temporary copy was left" % name)
    shutil.rmtree(folder, ignore_errors=True)


# ---------------------------------------------- undo journals, leftovers --

# The first bytes of an undo journal that was cut short while its header was
# written: one of this program's, which any run may remove.
CUT_SHORT_JOURNAL = b"MAROVI-UNDO\n\x02\x00\x00\x00" + bytes(48)


def case_journal(cli, work, sample):
    icons = make_icons(work)
    first = icons["first"]
    folder = os.path.join(work, "journal")
    shutil.rmtree(folder, ignore_errors=True)
    source = os.path.join(WINE_EXES, "notepad.exe")

    # A file of the user's at the journal's name, short or long, is never
    # removed, and the run changes nothing.
    for name, notes in (("short", b"my notes"), ("long", bytes(range(256)) * 4)):
        target = fresh_copy(source, folder, name + "/prog.exe")
        write(target + ".marovi-undo", notes)
        expect_failure(cli, ["set-icon", cli.path(target), cli.path(first)],
                       ["not an undo journal of this program", "left as it is"])
        check(read(target + ".marovi-undo") == notes, "%s: the user's file was changed" % name)
        check(sha(target) == sha(source) and not os.path.exists(target + ".bak"),
              "%s: the image was changed" % name)

    # --output: a file of the user's at the name of the copy's journal is
    # kept, and no copy is made.
    target = fresh_copy(source, folder, "output/prog.exe")
    destination = os.path.join(folder, "output", "new.exe")
    notes = destination + ".marovi-part.marovi-undo"
    write(notes, b"my notes")
    expect_failure(cli, ["set-icon", cli.path(target), cli.path(first), "--output",
                         cli.path(destination)], ["not an undo journal of this program"])
    check(read(notes) == b"my notes", "--output removed a file of the user's")
    check(not os.path.exists(destination), "--output made a copy all the same")
    os.remove(notes)

    # The leftovers of a copy killed midway: the next run on the copy's name
    # removes them, and says so.
    part = destination + ".marovi-part"
    write(part, read(source)[:4096])
    write(part + ".marovi-undo", CUT_SHORT_JOURNAL)
    rc, out, err = cli.run("list", cli.path(destination))
    check(rc == 1 and "cut short were removed" in err and "no such image" in err,
          "list on the leftovers of a copy: %d %r" % (rc, err))
    check(not os.path.exists(part) and not os.path.exists(part + ".marovi-undo"),
          "list left the leftovers of a copy")

    if not cli.windows_paths:
        # A copy another run is making (it holds the file): list says so, and
        # leaves it alone.
        write(part, read(source)[:4096])
        with open(part, "rb") as f:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            expect_failure(cli, ["list", destination], ["another run is making it"])
        check(os.path.exists(part), "list removed a copy that another run was making")
        os.remove(part)
        # A change under way (the file held, its journal beside it): list says
        # that another run holds the file, not that a change cannot be undone.
        write(target + ".marovi-undo", CUT_SHORT_JOURNAL)
        with open(target, "rb") as f:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            expect_failure(cli, ["list", target], ["being changed by another run"])
        check(os.path.exists(target + ".marovi-undo"), "list removed the journal of a running change")
    shutil.rmtree(folder, ignore_errors=True)
