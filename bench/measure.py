#!/usr/bin/env python3
"""Times marovi-cli set-icon against cp, cat and resedit-cli on the workloads
that make_workloads wrote, and prints one table (run by bench/run.sh).

Every timed command runs under /usr/bin/time -v, which also reports its peak
resident size; the wall time is taken around that call. Each tool gets one
warm-up run per workload, then the timed runs go round the tools in turn, so
that a change in the machine's load touches all of them alike. The page cache
stays warm: nothing is dropped, and every file has just been read or written.
marovi-cli changes its image in place, so each of its runs works on a fresh
copy of the workload; making that copy (and syncing it) is not timed.
"""

import argparse
import os
import resource
import re
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

TIME = "/usr/bin/time"
MiB = 1024 * 1024


class Result:
    def __init__(self):
        self.times = []
        self.rss = []          # KiB, per run
        self.failure = None    # text when the tool refused or failed

    @property
    def ok(self):
        return self.failure is None and self.times

    def median(self):
        return statistics.median(self.times)


def run_timed(argv, err_path, timeout=None):
    """Runs argv with stdout to /dev/null and stderr to err_path: (seconds,
    ru_maxrss in KiB, exit status, stderr text)."""
    actions = [(os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, err_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)]
    start = time.perf_counter()
    pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=actions)
    timer = None
    if timeout:
        timer = threading.Timer(timeout, os.kill, (pid, signal.SIGKILL))
        timer.start()
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    if timer:
        timer.cancel()
    with open(err_path, errors="replace") as f:
        err = f.read()
    if os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL and timeout:
        raise subprocess.TimeoutExpired(argv, timeout)
    rc = os.waitstatus_to_exitcode(status)
    return elapsed, usage.ru_maxrss, rc, err


def time_v_rss(argv):
    """Peak RSS in KiB of one run under /usr/bin/time -v, or 0."""
    proc = subprocess.run([TIME, "-v"] + argv, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    m = re.search(r"Maximum resident set size \(kbytes\): (\d+)",
                  proc.stderr.decode("utf-8", "replace"))
    return int(m.group(1)) if m else 0


def first_error_line(text):
    for line in text.splitlines():
        if "Error" in line or "error" in line:
            return line.strip()[:90]
    lines = [l for l in text.splitlines() if l.strip()]
    return lines[0].strip()[:90] if lines else "no message"


def fmt_time(s):
    if s < 1:
        return f"{s * 1000:.3g} ms" if s * 1000 >= 1 else f"{s * 1000:.2f} ms"
    return f"{s:.3g} s"


def fmt_size(n):
    if n >= 1024 * MiB:
        return f"{n / (1024 * MiB):.2f} GiB"
    if n >= MiB:
        return f"{n / MiB:.1f} MiB"
    return f"{n / 1024:.1f} KiB"


class Bench:
    def __init__(self, args):
        self.a = args
        self.work = args.work
        self.cli = args.cli
        self.peer = args.peer if args.peer and os.access(args.peer, os.X_OK) else None
        self.children_cpu = 0.0  # CPU seconds of the children waited for so far

    def path(self, name):
        return os.path.join(self.work, name)

    # One run of each tool; prepare steps are not timed. Workload (1) also
    # times the one-run edit of a build pipeline (EDIT_ROW).
    def tools(self, exe, ico, key=""):
        runexe = self.path("run.exe")
        peerout = self.path("peer-out.exe")
        cpout = self.path("cp-out.exe")

        def prep_marovi():
            shutil.copyfile(exe, runexe)
            os.sync()

        def prep_rm(name):
            def prep():
                if os.path.exists(name):
                    os.remove(name)
                os.sync()
            return prep

        tools = [
            ("cp", prep_rm(cpout), ["cp", exe, cpout], None),
            # The floor of a durable change: the copy written to disk.
            ("cp+sync", prep_rm(cpout), ["sh", "-c", 'cp "$0" "$1" && sync "$1"', exe, cpout], None),
            ("cat", lambda: None, ["cat", exe], None),
            ("marovi-cli", prep_marovi, [self.cli, "set-icon", runexe, ico, "--no-backup"], None),
            ("--no-sync", prep_marovi, [self.cli, "set-icon", runexe, ico, "--no-backup", "--no-sync"], None),
        ]
        if key in EDIT_WORKLOADS:
            tools.append(("edit", prep_marovi, [self.cli, "edit", runexe, "--icon", ico] + EDIT_OPTIONS, None))
        if self.peer:
            tools.append(("resedit-cli", prep_rm(peerout),
                          [self.peer, "--in", exe, "--out", peerout, "--icon",
                           f"MAINICON,{ico}", "--lang", "0"], self.a.peer_timeout))
        return tools

    def measure(self, exe, ico, key=""):
        results = {}
        tools = self.tools(exe, ico, key)
        for name, _, _, _ in tools:
            results[name] = Result()
        if not self.peer:
            results["resedit-cli"] = Result()
            results["resedit-cli"].failure = "not installed"
        for round_ in range(self.a.runs + 1):  # round 0 is the warm-up
            for name, prep, argv, timeout in tools:
                r = results[name]
                if r.failure:
                    continue
                prep()
                if round_ == 0:
                    # The warm-up runs under /usr/bin/time -v for its peak RSS.
                    r.rss.append(time_v_rss(argv))
                    prep()
                try:
                    elapsed, rss, rc, err = run_timed(argv, self.path("stderr.txt"), timeout)
                except subprocess.TimeoutExpired:
                    r.failure = f"gave up after {timeout} s"
                    continue
                if rc != 0:
                    r.failure = f"failed (exit {rc}): {first_error_line(err)}"
                    continue
                if round_ > 0:
                    r.times.append(elapsed)
                    # wait4's figure would count this Python process, which the
                    # child is until it execs: the RSS comes from time -v runs,
                    # one untimed beside each timed run (the peer: its warm-up).
                    if name != "resedit-cli":
                        prep()
                        r.rss.append(time_v_rss(argv))
        return results

    def time_marovi(self, exe, ico, timeout):
        """marovi-cli alone on a fresh copy of exe: one warm-up, then the timed runs."""
        r = Result()
        runexe = self.path("run.exe")
        argv = [self.cli, "set-icon", runexe, ico, "--no-backup"]
        for round_ in range(self.a.runs + 1):
            shutil.copyfile(exe, runexe)
            os.sync()
            try:
                elapsed, _, rc, err = run_timed(argv, self.path("stderr.txt"), timeout)
            except subprocess.TimeoutExpired:
                r.failure = f"gave up after {timeout} s"
                break
            if rc != 0:
                r.failure = f"failed (exit {rc}): {first_error_line(err)}"
                break
            if round_ > 0:
                r.times.append(elapsed)
        if os.path.exists(runexe):
            os.remove(runexe)
        return r

    def time_set_manifest(self, exe, arguments):
        """marovi-cli set-manifest on a fresh copy of exe, nothing flushed: one
        warm-up, then the timed runs; a refusal counts as an answer. Returns
        the result, the CPU seconds (user and system) of each timed run and
        what the last run said."""
        r = Result()
        cpu = []
        runexe = self.path("run.exe")
        argv = [self.cli, "set-manifest", runexe] + [
            self.path(a) if a.endswith(".manifest") else a for a in arguments] + ["--no-backup", "--no-sync"]
        said = ""
        for round_ in range(self.a.runs + 1):
            shutil.copyfile(exe, runexe)
            os.sync()
            elapsed, _, rc, err = run_timed(argv, self.path("stderr.txt"))
            usage = resource.getrusage(resource.RUSAGE_CHILDREN)
            said = f"exit {rc}: " + first_error_line(err) if rc else "exit 0: done"
            if rc not in (0, 1):
                r.failure = said
                break
            if round_ > 0:
                r.times.append(elapsed)
                cpu.append(usage.ru_utime + usage.ru_stime - self.children_cpu)
            self.children_cpu = usage.ru_utime + usage.ru_stime
        if os.path.exists(runexe):
            os.remove(runexe)
        return r, cpu, said

    def peak_heap(self, exe, ico):
        """Peak heap of one marovi-cli run under valgrind's massif, in bytes."""
        runexe = self.path("run.exe")
        out = self.path("massif.out")
        shutil.copyfile(exe, runexe)
        os.sync()
        proc = subprocess.run(["valgrind", "--tool=massif", "--massif-out-file=" + out,
                               self.cli, "set-icon", runexe, ico, "--no-backup"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if proc.returncode != 0 or not os.path.exists(out):
            return None
        peak = 0
        heap = extra = 0
        with open(out) as f:
            for line in f:
                if line.startswith("mem_heap_B="):
                    heap = int(line.split("=")[1])
                elif line.startswith("mem_heap_extra_B="):
                    extra = int(line.split("=")[1])
                    peak = max(peak, heap + extra)
        os.remove(out)
        return peak


WORKLOADS = [
    # key, title, exe, icon
    ("1", "small real exe, 6-image icon", "small.exe", "icon6.ico"),
    ("2", "same + 300 MiB appended", "tail300.exe", "icon6.ico"),
    ("3", "50 MiB of other resources", "res50.exe", "icon6.ico"),
    ("4", "1 GiB, same file-aligned section size", "big1g.exe", "icon6.ico"),
    ("5", "20,000 resources", "many20k.exe", "icon6.ico"),
    ("6", "small exe, 256 px uncompressed icon", "small.exe", "raw256.ico"),
]

# The icon replacement's own work, which must grow as n log n in the number of
# images and resources: timed for marovi-cli alone (key, title, exe, icon).
SCALING = [
    ("7", "icon file of 65,535 images", "group1.exe", "ico65535.ico"),
    ("8", "65,000 icon images in descending id order", "desc65k.exe", "icon6.ico"),
]
SCALING_TARGET = 1.0  # seconds

# The manifest reader, which must answer in time that does not grow faster
# than the manifest, whatever its depth: marovi-cli set-manifest alone on a
# fresh copy of the image, refused or done (key, title, exe, arguments).
# The target applies to the rows that carry it; the others show how the time
# grows with the manifest (the last rebuilds the image with 3 MiB of it).
MANIFESTS = [
    ("9", "manifest 100,000 levels deep", "small.exe", ["deep100k.manifest"], True),
    ("9", "image's manifest 60,000 levels deep, level set", "deep60k.exe",
     ["--execution-level", "asInvoker"], True),
    ("9", "manifest 10,000 levels deep (the limit)", "small.exe", ["deep10k.manifest"], False),
    ("9", "manifest of 100,000 elements side by side", "small.exe", ["wide100k.manifest"], False),
]
MANIFEST_TARGET = 0.1  # seconds

# The commands that only look read what they need of the file, not all of it:
# their peak RSS (/usr/bin/time -v) on an image with 300 MiB appended.
READING = [
    ("10", "list", "version300.exe"),
    ("10", "show-version", "version300.exe"),
]
READING_TARGET = 16 * MiB

# A build pipeline's one run: icon, version information and execution level,
# the file rebuilt once, timed beside set-icon alone on these workloads.
EDIT_WORKLOADS = ("1",)
EDIT_OPTIONS = ["--file-version", "1.2.3.4", "--product-version", "1.2", "--string", "ProductName=Bench",
                "--execution-level", "asInvoker", "--no-backup"]
EDIT_TARGET = 1.2  # x set-icon alone


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--cli", required=True)
    ap.add_argument("--peer")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--peer-timeout", type=int, default=600)
    ap.add_argument("--only", default="")
    ap.add_argument("--no-heap", action="store_true")
    a = ap.parse_args()
    a.runs = max(a.runs, 5)
    bench = Bench(a)

    rows = []
    marovi_median = {}
    verdicts = []
    for key, title, exe_name, ico_name in WORKLOADS:
        if a.only and key not in a.only.split(","):
            continue
        exe, ico = bench.path(exe_name), bench.path(ico_name)
        size, ico_size = os.path.getsize(exe), os.path.getsize(ico)
        print(f"measuring ({key}) {title} ...", file=sys.stderr, flush=True)
        res = bench.measure(exe, ico, key)
        heap = None if a.no_heap else bench.peak_heap(exe, ico)
        # What one change did to the file's length.
        shutil.copyfile(exe, bench.path("run.exe"))
        subprocess.run([a.cli, "set-icon", bench.path("run.exe"), ico, "--no-backup"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        grown = os.path.getsize(bench.path("run.exe")) - size
        for leftover in ("run.exe", "cp-out.exe", "peer-out.exe"):
            if os.path.exists(bench.path(leftover)):
                os.remove(bench.path(leftover))
        rows.append((key, title, size, ico_size, res, heap, grown))
        for tool in ("marovi-cli", "--no-sync"):
            if res[tool].ok:
                marovi_median[(tool, key)] = res[tool].median()

    if rows:
        print()
        print(f"marovi-cli set-icon EXE ICO --no-backup (in place, on a fresh copy per run; durable: journal")
        print(f"and file flushed to disk) and the same with --no-sync (journal written, nothing flushed) against")
        print(f"cp EXE NEW, cp EXE NEW && sync NEW, cat EXE >/dev/null and")
        print(f"resedit-cli --in EXE --out NEW --icon MAINICON,ICO --lang 0.")
        print(f"Median of {a.runs} runs after one warm-up, min and max; page cache warm (nothing dropped);")
        print(f"Timed runs are spawned directly (no wrapper). Peak RSS: /usr/bin/time -v, the largest over the")
        print(f"warm-up and one untimed run beside each timed run (resedit-cli: its warm-up run).")
        print(f"Ratios: this row's median / the median of its floor (durable: cp+sync; --no-sync and the")
        print(f"peer: cp), of cat and of resedit-cli in the same run.")
        print(f"edit (workload 1): marovi-cli edit EXE --icon ICO {' '.join(EDIT_OPTIONS)}, durable,")
        print(f"its ratio to set-icon alone below the rows.")
        print()
        header = f"{'workload':<44} {'tool':<12} {'median':>9} {'min':>9} {'max':>9} {'x floor':>7} {'x cat':>7} {'x peer':>7} {'peak RSS':>10}"
        print(header)
        print("-" * len(header))
    for key, title, size, ico_size, res, heap, grown in rows:
        base = {n: (res[n].median() if res[n].ok else None) for n in ("cp", "cp+sync", "cat", "resedit-cli")}
        # Each change against the copy that does as much for the file: a
        # durable change against cp then sync, --no-sync against plain cp.
        floor = {"marovi-cli": "cp+sync", "--no-sync": "cp", "resedit-cli": "cp", "edit": "cp+sync"}
        first = True
        names = ("marovi-cli", "--no-sync", "edit", "resedit-cli", "cp", "cp+sync", "cat")
        for name in (n for n in names if n in res):
            r = res[name]
            label = f"({key}) {title}" if first else ("    image " + fmt_size(size) if name == "resedit-cli" else "")
            first = False
            if not r.ok:
                print(f"{label:<44} {name:<12} {r.failure or 'no runs'}")
                continue
            med = r.median()
            def ratio(other):
                if other == name or base[other] is None:
                    return "-"
                return f"{med / base[other]:.3g}"
            print(f"{label:<44} {name:<12} {fmt_time(med):>9} {fmt_time(min(r.times)):>9} "
                  f"{fmt_time(max(r.times)):>9} {ratio(floor.get(name, 'cp')):>7} {ratio('cat'):>7} "
                  f"{ratio('resedit-cli'):>7} {fmt_size(max(r.rss) * 1024):>10}")
        if "edit" in res and res["edit"].ok and res["marovi-cli"].ok:
            ratio = res["edit"].median() / res["marovi-cli"].median()
            print(f"{'':<44} edit (icon, version, execution level) x set-icon alone: {ratio:.3g}")
            verdicts.append((key, f"edit x set-icon: {ratio:.3g} (target {EDIT_TARGET:g})", ratio <= EDIT_TARGET))
        elif "edit" in res:
            verdicts.append((key, "edit failed: " + (res["edit"].failure or "no runs"), False))
        limit = 4 * MiB + ico_size
        if heap is not None:
            print(f"{'':<44} marovi-cli peak heap {fmt_size(heap)} (massif, with allocator overhead) "
                  f"beside image {fmt_size(size)}; limit 4 MiB + icon {fmt_size(ico_size)}")
        print(f"{'':<44} one change made the file {'grow by ' + str(grown) + ' bytes' if grown else 'keep its length' if grown == 0 else 'shrink by ' + str(-grown) + ' bytes'}")
        print()

        def check(text, value, bound, fmt="{:.3g}"):
            verdicts.append((key, f"{text}: {fmt.format(value)} (target {fmt.format(bound)})", value <= bound))
        for tool, cp in (("marovi-cli", "cp+sync"), ("--no-sync", "cp")):
            m = res[tool]
            if not m.ok:
                verdicts.append((key, f"{tool} failed", False))
                continue
            med = m.median()
            mode = "durable" if tool == "marovi-cli" else "no-sync"
            if key == "1" and base[cp]:
                check(f"{mode} x {cp}", med / base[cp], 3.0)
            if key == "2":
                # The tail moves by whole blocks where the file system can.
                if base[cp]:
                    check(f"{mode} x {cp}", med / base[cp], 0.1)
                if base["resedit-cli"]:
                    check(f"{mode} x peer", med / base["resedit-cli"], 1 / 20)
                else:
                    verdicts.append((key, "x peer: peer " + (res["resedit-cli"].failure or "missing"), False))
            if key == "3" and base[cp]:
                check(f"{mode} x {cp}", med / base[cp], 2.0)
            if key == "4" and base["cat"]:
                check(f"{mode} x cat", med / base["cat"], 1.2)
            if key == "5":
                check(f"{mode} seconds", med, 0.5)
            if key == "6" and (tool, "1") in marovi_median:
                check(f"{mode} x workload (1)", med / marovi_median[(tool, "1")], 2.0)
        if heap is not None:
            check("peak heap MiB", heap / MiB, limit / MiB, "{:.2f}")

    scaling = [w for w in SCALING if not a.only or w[0] in a.only.split(",")]
    if scaling:
        print(f"The icon replacement's own work: marovi-cli set-icon EXE ICO --no-backup alone, median,")
        print(f"min and max of {a.runs} runs after one warm-up (target under {SCALING_TARGET:g} s each).")
        print()
        print(f"{'workload':<60} {'median':>9} {'min':>9} {'max':>9}")
        print("-" * 90)
    for key, title, exe_name, ico_name in scaling:
        print(f"measuring ({key}) {title} ...", file=sys.stderr, flush=True)
        r = bench.time_marovi(bench.path(exe_name), bench.path(ico_name), a.peer_timeout)
        label = f"({key}) {title}"
        if not r.ok:
            print(f"{label:<60} {r.failure or 'no runs'}")
            verdicts.append((key, "marovi-cli failed", False))
            continue
        med = r.median()
        print(f"{label:<60} {fmt_time(med):>9} {fmt_time(min(r.times)):>9} {fmt_time(max(r.times)):>9}")
        verdicts.append((key, f"seconds: {med:.3g} (target {SCALING_TARGET:g})", med <= SCALING_TARGET))
    if scaling:
        print()

    manifests = [w for w in MANIFESTS if not a.only or w[0] in a.only.split(",")]
    if manifests:
        print(f"The manifest reader: marovi-cli set-manifest EXE ARGS --no-backup --no-sync alone, median,")
        print(f"min and max of {a.runs} runs after one warm-up (target under {MANIFEST_TARGET:g} s where marked), the median")
        print(f"CPU time (user and system), and what it said.")
        print()
        print(f"{'workload':<56} {'median':>9} {'min':>9} {'max':>9} {'CPU':>9}")
        print("-" * 96)
    for key, title, exe_name, arguments, targeted in manifests:
        print(f"measuring ({key}) {title} ...", file=sys.stderr, flush=True)
        r, cpu, said = bench.time_set_manifest(bench.path(exe_name), arguments)
        label = f"({key}) {title}"
        if not r.ok:
            print(f"{label:<56} {r.failure or 'no runs'}")
            verdicts.append((key, f"{title}: failed", False))
            continue
        med = r.median()
        print(f"{label:<56} {fmt_time(med):>9} {fmt_time(min(r.times)):>9} {fmt_time(max(r.times)):>9} "
              f"{fmt_time(statistics.median(cpu)):>9}")
        print(f"{'':<8}{said}")
        if targeted:
            verdicts.append((key, f"{title[:30]}: {med:.3g} s (target {MANIFEST_TARGET:g})",
                             med <= MANIFEST_TARGET))
    if manifests:
        print()

    reading = [w for w in READING if not a.only or w[0] in a.only.split(",")]
    if reading:
        print(f"The commands that only look: peak RSS of marovi-cli COMMAND EXE (/usr/bin/time -v, the")
        print(f"largest of {a.runs} runs; target under {fmt_size(READING_TARGET)}).")
        print()
    for key, command, exe_name in reading:
        exe = bench.path(exe_name)
        print(f"measuring ({key}) {command} ...", file=sys.stderr, flush=True)
        rc = subprocess.run([a.cli, command, exe], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        peak = max(time_v_rss([a.cli, command, exe]) for _ in range(a.runs)) * 1024
        label = f"({key}) {command} on image {fmt_size(os.path.getsize(exe))}"
        print(f"{label:<60} {fmt_size(peak):>10} (exit {rc})")
        verdicts.append((key, f"{command} peak RSS MiB: {peak / MiB:.2f} (target {READING_TARGET / MiB:g})",
                         rc == 0 and peak <= READING_TARGET))
    if reading:
        print()

    print("Targets")
    for key, text, met in verdicts:
        print(f"  ({key}) {text:<52} {'met' if met else 'MISSED'}")


if __name__ == "__main__":
    main()
