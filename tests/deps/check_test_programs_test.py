#!/usr/bin/python3
"""The programs check fails where a job's list lacks what its tests call.

    check_test_programs_test.py PROJECT_ROOT
"""
import os
import re
import subprocess
import sys
import tempfile

root = sys.argv[1]
check = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_test_programs.py")
failures = []


def run(**files):
    """Runs the check with some of the project's files replaced."""
    with tempfile.TemporaryDirectory() as work:
        args = []
        for option, text in files.items():
            path = os.path.join(work, option)
            with open(path, "w") as f:
                f.write(text)
            args += ["--" + option.replace("_", "-"), path]
        result = subprocess.run([sys.executable, check, "--root", root] + args, capture_output=True, text=True)
        return result.returncode, result.stdout


install_deps = open(os.path.join(root, "cmake/install-deps.sh")).read()
makefile = open(os.path.join(root, "Makefile")).read()
table = open(os.path.join(root, "tests/deps/programs.txt")).read()

# (what is changed, the project's file with it, a program the output must name)
cases = [
    ("the tests job without the 64-bit C compiler", {"install_deps": re.sub(r"\ngcc-mingw-w64-x86-64\n", "\n",
                                                                          install_deps)},
     "x86_64-w64-mingw32-gcc"),
    ("the tests job without icoutils", {"install_deps": re.sub(r"\nicoutils\n", "\n", install_deps)}, "wrestool"),
    ("the native target installing the build job only",
     {"makefile": re.sub(r"(\nnative:\n\t@\$\(DEPS\)) build tests", r"\1 build", makefile)}, "wine64"),
    ("xdotool moved to a package no job installs",
     {"table": re.sub(r"\nxdotool\s+xdotool\n", "\nxdotool no-such-package\n", table)}, "xdotool"),
]
for what, files, named in cases:
    code, out = run(**files)
    if code == 0 or named not in out:
        failures.append("%s: exit %d, output does not name %s:\n%s" % (what, code, named, out))
code, out = run()
if code != 0:
    failures.append("the project as it is: exit %d\n%s" % (code, out))
for failure in failures:
    print("FAIL", failure)
print("%d of %d cases right" % (len(cases) + 1 - len(failures), len(cases) + 1))
sys.exit(1 if failures else 0)
