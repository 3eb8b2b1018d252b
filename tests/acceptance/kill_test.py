#!/usr/bin/python3
"""marovi-cli set-icon killed (SIGKILL) at random moments, then run once more.

For each workload (a sample image with a large appended tail, and one with
large other resources) a clean run gives the expected result. Then, again and
again, a fresh copy is changed by a run that is killed after a random delay
within the clean run's duration, and one more run with the same icon follows.
Whatever moment the kill hit, the file must end byte for byte equal to the
clean result, with no undo journal beside it and no scratch file left in the
temporary folder.

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
        process = subprocess.Popen([args.cli, "set-icon", target, ico, "--no-backup"], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(delay)
        process.send_signal(signal.SIGKILL)
        process.wait()
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
