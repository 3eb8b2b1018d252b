#!/usr/bin/python3
"""marovi-cli set-icon killed (SIGKILL) at random moments, then run once more.

For each workload (a sample image with a large appended tail, and one with
large other resources) a clean run gives the expected result. Then, again and
again, a fresh copy is changed by a run that is killed after a random delay
within the clean run's duration, and one more run with the same icon follows.
Whatever moment the kill hit, the file must end byte for byte equal to the
clean result, with no undo journal beside it and no scratch file left in the
temporary folder. Last, a change is killed and a new build copied over the
file (`cp`: the same inode) before the next run: that run must leave the new
build byte for byte, keep the journal aside and say so, and the run after it
must change the new build.

  kill_test.py --cli CLI --sample MAROVI_SAMPLE --work DIR
               [--runs N] [--appended-mib N] [--resources-mib N] [--seed S]
"""
import argparse
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import time


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def run(cli, exe, ico, env):
    return subprocess.run([cli, "set-icon", exe, ico, "--no-backup"], env=env,
                          capture_output=True, text=True)


def kill_after(cli, exe, ico, env, delay):
    process = subprocess.Popen([cli, "set-icon", exe, ico, "--no-backup"], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(delay)
    process.send_signal(signal.SIGKILL)
    process.wait()


def sealed(journal):
    try:
        with open(journal, "rb") as f:
            return f.read(20)[16:20] == b"SEAL"
    except FileNotFoundError:
        return False


def stale_journal(args, name, folder, base, ico, env, duration, rng):
    """The number of problems of a run after a killed change whose file was
    replaced by a new build."""
    target = os.path.join(folder, "stale.exe")
    journal = target + ".marovi-undo"
    new_build = os.path.join(folder, "new-build.exe")
    subprocess.run([args.sample, new_build, os.path.join(folder, "new.ico"), "--appended-mib", "1"],
                   check=True, capture_output=True)
    for _ in range(60):
        shutil.copyfile(base, target)
        kill_after(args.cli, target, ico, env, rng.uniform(duration * 0.1, duration * 0.9))
        if sealed(journal):
            break
        if os.path.exists(journal):
            os.remove(journal)
    else:
        print(f"{name}: no kill left a sealed journal")
        return 1
    shutil.copyfile(new_build, target)  # as cp does: written over, the same inode
    result = run(args.cli, target, ico, env)
    problems = []
    if result.returncode == 0:
        problems.append("the run on the new build succeeded")
    if digest(target) != digest(new_build):
        problems.append("the new build was changed")
    if os.path.exists(journal) or not os.path.exists(journal + ".stale-1"):
        problems.append("the journal was not kept aside")
    if "was not applied" not in result.stderr or ".stale-1" not in result.stderr:
        problems.append(f"the message does not say so: {result.stderr.strip()!r}")
    again = run(args.cli, target, ico, env)
    if again.returncode != 0:
        problems.append(f"the run after it failed: {again.stderr.strip()}")
    for problem in problems:
        print(f"{name}, a new build over a killed change: {problem}")
    print(f"{name}: a new build copied over a killed change: "
          f"{'kept as it was' if not problems else 'FAILED'}")
    return 1 if problems else 0


def workload(args, name, option, mib, rng):
    folder = os.path.join(args.work, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    tmp = os.path.join(folder, "tmp")
    os.makedirs(tmp)
    env = dict(os.environ, TMPDIR=tmp)
    base, ico = os.path.join(folder, "base.exe"), os.path.join(folder, "icon.ico")
    subprocess.run([args.sample, base, ico, option, str(mib)], check=True, capture_output=True)

    clean = os.path.join(folder, "clean.exe")
    shutil.copyfile(base, clean)
    started = time.monotonic()
    result = run(args.cli, clean, ico, env)
    duration = time.monotonic() - started
    if result.returncode != 0:
        sys.exit(f"{name}: the clean run failed: {result.stderr.strip()}")
    expected = digest(clean)

    target = os.path.join(folder, "t.exe")
    journal = target + ".marovi-undo"
    failures = 0
    interrupted = 0
    for i in range(args.runs):
        shutil.copyfile(base, target)
        delay = rng.uniform(0, duration * 1.2)
        kill_after(args.cli, target, ico, env, delay)
        if os.path.exists(journal):
            interrupted += 1
        again = run(args.cli, target, ico, env)
        problems = []
        if again.returncode != 0:
            problems.append(f"the run after the kill failed: {again.stderr.strip()}")
        elif digest(target) != expected:
            problems.append("the file differs from the clean run's result")
        if os.path.exists(journal):
            problems.append("the undo journal is still there")
        leftovers = sorted(os.listdir(tmp)) + sorted(set(os.listdir(folder)) - {
            "base.exe", "icon.ico", "clean.exe", "t.exe", "tmp"})
        if leftovers:
            problems.append(f"files left behind: {leftovers}")
        if problems:
            failures += 1
            print(f"{name} run {i} (killed after {delay * 1000:.1f} ms): " + "; ".join(problems))
    print(f"{name}: {args.runs} runs killed at random within {duration * 1000:.0f} ms "
          f"(clean run), {interrupted} left a journal to undo, {failures} failed")
    failures += stale_journal(args, name, folder, base, ico, env, duration, rng)
    shutil.rmtree(folder, ignore_errors=True)
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--sample", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--runs", type=int, default=8)
    parser.add_argument("--appended-mib", type=int, default=64)
    parser.add_argument("--resources-mib", type=int, default=16)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    print(f"seed {seed}")
    rng = random.Random(seed)
    failures = workload(args, "appended", "--appended-mib", args.appended_mib, rng)
    failures += workload(args, "resources", "--resources-mib", args.resources_mib, rng)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
