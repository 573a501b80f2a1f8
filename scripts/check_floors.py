#!/usr/bin/env python3
"""Fails when a file of the library includes one from a floor above its own.

The library is built in floors, each using only those below it (and its own):
  0 types    value types and pure functions every floor shares (host/*.h: bytes, errors, ...)
  1 below    codecs (host/internal/codec, and host/image_metadata, which writes metadata into
             image files with them), small utilities (host/internal), the logger (host/log)
  2 http     the HTTP interface and the libcurl stack (host/http, host/http/internal)
  3 call     the host API above HTTP (config, call options, references, image tool) and the
             call machinery both clients run on (host/call)
  4 clients  the two clients (image/tavelin, image/corvane)
  5 testkit  what tests and hosts use to script HTTP and capture records (testkit)
Every file under zantrel/ must belong to a floor, so a new one is placed on purpose."""
import pathlib
import re
import sys

HOST_TYPES = {"bytes", "errors", "error_code", "service_result", "call_report", "dialect",
              "timeout", "retry_policy", "image_header", "image_mime", "size_calculator",
              "model_catalogue", "call_limits", "transfer_facts", "prepared_request",
              "model_prices", "cost_estimate"}
HOST_CODECS = {"image_metadata"}
HOST_API = {"config", "call_options", "references", "image_tool", "service_client", "progress",
           "conversation", "catalogue_refresh"}
NAMES = ["types", "below", "http", "call", "clients", "testkit"]


def floor_of(path):
    """The floor of a path relative to the repository, or None when it is not the library's."""
    parts = pathlib.PurePosixPath(path).parts
    if parts[0] != "zantrel":
        return None
    if parts[1:] == ("version.h",):
        return 0
    if parts[1] == "testkit":
        return 5
    if parts[1] == "image":
        return 4
    if parts[1] != "host":
        return None
    if len(parts) == 3:
        stem = pathlib.PurePosixPath(parts[2]).stem
        if stem in HOST_TYPES:
            return 0
        if stem in HOST_CODECS:
            return 1
        if stem in HOST_API:
            return 3
        return None
    return {"internal": 1, "log": 1, "http": 2, "call": 3}.get(parts[2])


def main():
    # The repository, or the tree given (the check's own test runs it on a small one).
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    root = root.resolve()
    include = re.compile(r'^\s*#\s*include\s+"(zantrel/[^"]+)"', re.M)
    faults = []
    for file in sorted((root / "zantrel").rglob("*")):
        if file.suffix not in (".h", ".cc"):
            continue
        path = file.relative_to(root).as_posix()
        own = floor_of(path)
        if own is None:
            faults.append(f"{path}: belongs to no floor (place it in scripts/check_floors.py)")
            continue
        for target in include.findall(file.read_text(encoding="utf-8")):
            used = floor_of(target)
            if used is None:
                if not (root / target).exists() and target != "zantrel/version.h":
                    faults.append(f"{path}: includes {target}, which is no file of the library")
                continue
            if used > own:
                faults.append(f"{path} ({NAMES[own]}) includes {target} ({NAMES[used]}): "
                              "a floor may only use those below it")
    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        sys.exit(1)
    print("floors: every include runs down or stays on its floor")


if __name__ == "__main__":
    main()
