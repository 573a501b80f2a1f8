#!/usr/bin/env python3
"""Fails when a file includes one from a floor above its own, or a program reaches inside.

The library is built in floors, each using only those below it (and its own):
  0 types    value types and pure functions every floor shares
  1 below    public codecs and file helpers, images, the logger, and what is not installed
  2 http     the HTTP interface and the libcurl stack
  3 call     the host API above HTTP and the call machinery both clients run on
  4 clients  the two clients
  5 testkit  what tests and hosts use to script HTTP and capture records
Above them stand the programs (the CLI, the emulator, the Python module): each may use any
installed header of the library, never one that stays in the tree (internal/, host/call/), and
never another program's files. A folder's floor is its longest prefix in FLOORS, so a new folder
is placed on purpose."""
import pathlib
import re
import sys

FLOORS = [
    ("zantrel/version.h", 0),
    ("zantrel/host/base/", 0),
    ("zantrel/host/result/", 0),
    ("zantrel/host/models/", 0),
    ("zantrel/host/codec/", 1),
    ("zantrel/host/files/", 1),
    ("zantrel/host/images/", 1),
    ("zantrel/host/internal/", 1),
    ("zantrel/host/log/", 1),
    ("zantrel/host/http/", 2),
    ("zantrel/host/call/", 3),
    ("zantrel/host/batches/", 3),
    ("zantrel/host/jobs/", 3),
    ("zantrel/host/", 3),  # the host API: files at the root only (a new folder needs a row)
    ("zantrel/image/", 4),
    ("zantrel/testkit/", 5),
]
NAMES = ["types", "below", "http", "call", "clients", "testkit"]
# Each program is a room of its own; none includes another's files.
PROGRAMS = ["tools/cli/", "tools/emulator/", "bindings/python/"]
# What stays in the tree: a program reaching here depends on what a host cannot see.
NOT_INSTALLED = re.compile(r"(^|/)internal/|^zantrel/host/call/")


def floor_of(path):
    """The floor of a path relative to the repository, or None when no row holds it."""
    best = None
    for prefix, floor in FLOORS:
        if path.startswith(prefix) and (best is None or len(prefix) > len(best[0])):
            best = (prefix, floor)
    if best is None:
        return None
    if best[0] == "zantrel/host/" and "/" in path[len(best[0]):]:
        return None  # a folder under host/ with no row of its own
    return best[1]


def program_of(path):
    return next((program for program in PROGRAMS if path.startswith(program)), None)


def check_library(path, targets, root):
    own = floor_of(path)
    if own is None:
        return [f"{path}: belongs to no floor (place its folder in scripts/check_floors.py)"]
    faults = []
    for target in targets:
        used = floor_of(target)
        if used is None:
            if target.startswith("zantrel/") and not (root / target).exists() \
                    and target != "zantrel/version.h":
                faults.append(f"{path}: includes {target}, which is no file of the library")
            continue
        if used > own:
            faults.append(f"{path} ({NAMES[own]}) includes {target} ({NAMES[used]}): "
                          "a floor may only use those below it")
    return faults


def check_program(path, targets):
    own = program_of(path)
    faults = []
    for target in targets:
        if target.startswith("zantrel/") and NOT_INSTALLED.search(target):
            faults.append(f"{path} includes {target}: a program uses only installed headers")
        other = program_of(target)
        if other is not None and other != own:
            faults.append(f"{path} includes {target}: programs do not share files")
    return faults


def main():
    # The repository, or the tree given (the check's own test runs it on a small one).
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    root = root.resolve()
    include = re.compile(r'^\s*#\s*include\s+"((?:zantrel|tools|bindings)/[^"]+)"', re.M)
    faults = []
    for top in ("zantrel", "tools", "bindings"):
        for file in sorted((root / top).rglob("*")):
            if file.suffix not in (".h", ".cc"):
                continue
            path = file.relative_to(root).as_posix()
            targets = include.findall(file.read_text(encoding="utf-8"))
            if top == "zantrel":
                faults += check_library(path, targets, root)
            else:
                faults += check_program(path, targets)
    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        sys.exit(1)
    print("floors: every include runs down or stays on its floor")


if __name__ == "__main__":
    main()
