"""Peak resident size of one zantrel-image call per service with four 8 MiB reference files
against an emulator answering a 20 MiB image, as JSON (MiB)."""
import json
import os
import sys
import tempfile


def peak_mib(argv):
    """Runs one command alone and returns its peak RSS in MiB (ru_maxrss of that child)."""
    pid = os.fork()
    if pid == 0:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)  # its summary line is not this script's output
        os.execv(argv[0], argv)
    _, status, usage = os.wait4(pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{' '.join(argv[:2])} failed")
    return usage.ru_maxrss / 1024


def main():
    cli, url = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as scratch:
        refs = []
        for i in range(4):
            path = os.path.join(scratch, f"ref-{i}.png")
            with open(path, "wb") as f:
                f.write(b"\x89PNG\r\n\x1a\n" + os.urandom(8 * 2**20 - 8))
            refs += ["--ref", path]
        common = ["--base-url", url, "--api-key", "k", "--prompt", "a valley",
                  "--allow-private-links"]
        gemini = peak_mib([cli, "gemini", *common, "--aspect-ratio", "16:9", "--image-size", "4K",
                           *refs, "--out", os.path.join(scratch, "g.png")])
        edit = peak_mib([cli, "images", *common, "--aspect-ratio", "3:2", *refs,
                         "--out", os.path.join(scratch, "e.png")])
    print(json.dumps({"gemini_mib": round(gemini, 1), "edit_mib": round(edit, 1),
                      "references_mib": 32}))


if __name__ == "__main__":
    main()
