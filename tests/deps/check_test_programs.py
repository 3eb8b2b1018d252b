#!/usr/bin/python3
"""Checks that every program the tests call comes from a package their jobs install.

    check_test_programs.py [--root DIR] [--install-deps FILE] [--makefile FILE] [--table FILE]

The table (tests/deps/programs.txt) names each program the tests call and its
Debian package, and which suite runs which files. A suite installs the jobs
its Makefile target passes to cmake/install-deps.sh; the check fails when a
file of a suite calls a program whose package is in none of those jobs'
lists. It also fails when a test calls a program the table does not know:
any quoted word or shell command of the suite's files that names an
executable on this machine from a package that is not Essential. Where dpkg
knows the program, the table's package must be the one that installs it, or
a package that depends on that one.
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys

WORD = re.compile(r"^[A-Za-z0-9/][A-Za-z0-9_./+-]*$")
QUOTED = re.compile(r"\"([^\"\n]{1,80})\"|'([^'\n]{1,80})'")
# In Python, the program of a call is the first word of a list or tuple
# (subprocess.run(["wrestool", ...]), for name in (("gcc", ...), ...)) or
# the argument of shutil.which.
PY_PROGRAM = re.compile(r"(?:[\[(]|shutil\.which\()\s*[\"']([^\"'\n]{1,80})[\"']")
# A word at a shell command's position: start of a line, after a pipe, a
# list operator, `$(`, `exec` or `then`/`do`.
SHELL_COMMAND = re.compile(r"(?:^|[|;&]\s*|\$\(\s*|\bexec\s+|\b(?:then|do|else)\s+)([A-Za-z0-9/][A-Za-z0-9_./+-]*)(?![\w./+=-])",
                           re.M)
CMAKE_COMMAND = re.compile(r"\b(?:COMMAND|find_program\(\s*\w+)\s+([A-Za-z0-9/][A-Za-z0-9_./+-]*)")


def read_table(path):
    programs, suites, ignored = {}, {}, set()
    with open(path) as f:
        for line in f:
            fields = line.split("#", 1)[0].split()
            if not fields:
                continue
            if fields[0] == "suite":
                suites.setdefault(fields[1], []).extend(fields[2:])
            elif fields[0] == "not-a-program":
                ignored.update(fields[1:])
            elif len(fields) == 2:
                programs[fields[0]] = fields[1]
            else:
                raise SystemExit("%s: cannot read the line %r" % (path, line.rstrip()))
    return programs, suites, ignored


def read_job_lists(path):
    """The packages of each job of install-deps.sh (its `job="..."` lists)."""
    text = open(path).read()
    return {name: body.split() for name, body in re.findall(r"^(\w+)=\"([^\"]*)\"", text, re.M)}


def read_suite_jobs(path):
    """The jobs each Makefile target installs, following its prerequisites."""
    targets, recipe_jobs = {}, {}
    current = None
    for line in open(path):
        m = re.match(r"^([\w-]+):(?!=)\s*(.*)$", line)
        if m:
            current = m.group(1)
            targets[current] = m.group(2).split()
            continue
        m = re.match(r"^\t@?\$\(DEPS\)\s+(.*)$", line)
        if m and current:
            recipe_jobs.setdefault(current, []).extend(m.group(1).split())

    def jobs_of(target, seen=()):
        if target in seen:
            return set()
        jobs = set(recipe_jobs.get(target, []))
        for prerequisite in targets.get(target, []):
            jobs |= jobs_of(prerequisite, seen + (target,))
        return jobs

    return {target: jobs_of(target) for target in targets}


def words_called(path):
    text = open(path, errors="replace").read()
    words = set()
    if path.endswith(".py"):
        words.update(w for w in PY_PROGRAM.findall(text) if WORD.match(w))
    if path.endswith(".sh"):
        words.update(SHELL_COMMAND.findall(text))
        words.update(w for m in QUOTED.finditer(text) for w in (m.group(1) or m.group(2)).split()[:1]
                     if WORD.match(w))
    if os.path.basename(path) == "CMakeLists.txt":
        words.update(CMAKE_COMMAND.findall(text))
    return words


class Packages:
    """What dpkg says of this machine's programs and packages, asked in batches."""

    def __init__(self):
        self.available = shutil.which("dpkg-query") is not None
        self.status = {}
        if self.available:
            out = subprocess.run(["dpkg-query", "-W", "-f=${Package}\t${Status}\t${Essential}\t${Priority}\t"
                                  "${Depends}\n"], capture_output=True, text=True).stdout
            for line in out.splitlines():
                name, status, essential, priority, depends = (line.split("\t") + [""] * 5)[:5]
                if status.endswith("installed") and "not-installed" not in status:
                    names = {n.strip().split(" ")[0].split(":")[0] for a in depends.split(",") for n in a.split("|")}
                    self.status[name] = (essential == "yes" or priority == "required", names - {""})

    def owners(self, programs):
        """{program: (path, package or None)} for the programs found here."""
        paths = {}
        for program in programs:
            path = program if program.startswith("/") else shutil.which(program)
            if path and os.path.isfile(path):
                paths[program] = os.path.realpath(path)
        owners = {}
        if self.available and paths:
            out = subprocess.run(["dpkg-query", "-S"] + sorted(set(paths.values())), capture_output=True,
                                 text=True).stdout
            for line in out.splitlines():
                package, _, path = line.partition(": ")
                owners[path.strip()] = package.split(":")[0].split(",")[0].strip()
        return {program: (path, owners.get(path)) for program, path in paths.items()}

    def base(self, package):
        """Whether every Debian system has the package (Essential or required)."""
        return self.status.get(package, (False, set()))[0]

    def installed(self, package):
        return package in self.status

    def pulls_in(self, package, wanted, depth=4):
        """Whether package is wanted or depends on it within a few levels."""
        frontier, seen = {package}, set()
        for _ in range(depth + 1):
            if wanted in frontier:
                return True
            seen |= frontier
            frontier = {d for p in frontier for d in self.status.get(p, (False, set()))[1]} - seen
        return False


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=os.path.dirname(os.path.dirname(here)))
    parser.add_argument("--install-deps")
    parser.add_argument("--makefile")
    parser.add_argument("--table", default=os.path.join(here, "programs.txt"))
    args = parser.parse_args()
    root = args.root
    programs, suites, ignored = read_table(args.table)
    job_lists = read_job_lists(args.install_deps or os.path.join(root, "cmake/install-deps.sh"))
    suite_jobs = read_suite_jobs(args.makefile or os.path.join(root, "Makefile"))

    faults = []
    packages = Packages()
    calls = []
    for suite, patterns in sorted(suites.items()):
        if suite not in suite_jobs:
            faults.append("suite %s: no Makefile target of that name" % suite)
            continue
        jobs = suite_jobs[suite]
        installed = set()
        for job in jobs:
            if job not in job_lists:
                faults.append("suite %s: the Makefile installs job %r, which install-deps.sh lacks" % (suite, job))
            installed.update(job_lists.get(job, []))
        files = sorted({f for p in patterns for f in glob.glob(os.path.join(root, p))})
        for path in files:
            for word in sorted(words_called(path) - ignored):
                calls.append((suite, jobs, installed, os.path.relpath(path, root), word))
    owners = packages.owners({word for *_, word in calls} | set(programs))
    for suite, jobs, installed, relative, word in calls:
        if word in programs:
            if programs[word] not in installed:
                faults.append("%s (suite %s, jobs %s) calls %s, but its package %s is in none of those jobs' "
                              "lists" % (relative, suite, " ".join(sorted(jobs)), word, programs[word]))
            continue
        where, owner = owners.get(word, (None, None))
        if owner and not packages.base(owner):
            faults.append("%s (suite %s) calls %s (%s, from the package %s), which %s does not list"
                          % (relative, suite, word, where, owner, os.path.relpath(args.table, root)))
    # The table's packages install its programs, where this machine has both.
    for program, package in sorted(programs.items()):
        where, owner = owners.get(program, (None, None))
        if owner and packages.installed(package) and not packages.pulls_in(package, owner):
            faults.append("%s: %s (%s) comes from %s, not from %s" % (os.path.basename(args.table), program,
                                                                     where, owner, package))
    for fault in faults:
        print(fault)
    if faults:
        print("%d program(s) the tests call are not installed by their jobs" % len(faults))
        return 1
    print("every program the tests call is installed by their jobs (%d programs, %d suites)"
          % (len(programs), len(suites)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
