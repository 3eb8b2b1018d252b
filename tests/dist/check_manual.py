#!/usr/bin/python3
"""marovi-cli as its package shows it: --version prints the project's
version; the manual page renders without a warning from man, carries that
version, and documents every command and option that --help lists.

    check_manual.py CLI MANUAL VERSION [CLI-PREFIX...]

MANUAL is the page's source (.1) or its compressed form (.1.gz)."""
import os
import re
import subprocess
import sys


def fail(message):
    print("check_manual: " + message, file=sys.stderr)
    sys.exit(1)


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def main():
    cli, manual, version = sys.argv[1], sys.argv[2], sys.argv[3]
    command = sys.argv[4:] + [cli]

    result = run(command + ["--version"])
    if result.returncode != 0 or result.stdout.strip() != f"marovi-cli {version}":
        fail(f"--version printed {result.stdout!r} (exit {result.returncode}), "
             f"expected 'marovi-cli {version}'")

    env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80", MAN_KEEP_FORMATTING="")
    rendered = run(["man", "--warnings", "-E", "UTF-8", "-l", manual], env=env)
    if rendered.returncode != 0 or rendered.stderr.strip():
        fail(f"man warns about {manual}: {rendered.stderr.strip()}")
    # Plain text: no overstriking, hyphens as hyphens.
    text = re.sub(r".\x08", "", rendered.stdout).replace("\u2010", "-").replace("\u2212", "-")
    flat = " ".join(text.split())
    if f"Marovi {version}" not in flat:
        fail(f"the manual page does not carry the version {version}")

    usage = run(command + ["--help"]).stdout
    wanted = set(re.findall(r"(?<![\w-])--?[A-Za-z][\w-]*", usage))
    wanted |= {word for word in ("list", "set-icon") if word in usage}
    missing = sorted(word for word in wanted
                     if not re.search(r"(?<![\w-])" + re.escape(word) + r"(?![\w-])", flat))
    if missing:
        fail(f"the manual page does not document {', '.join(missing)}")
    print(f"check_manual: marovi-cli {version}; the manual documents {len(wanted)} "
          "commands and options of --help")


if __name__ == "__main__":
    main()
