"""P14: wall time of `zantrel-image batch` for 1,000 small items at concurrency 64 against an
emulator answering after 100 ms, beside the start-up of a one-item batch, as JSON."""
import json
import subprocess
import sys
import tempfile
import time


def wall(cli, url, items, out_dir):
    jobs = f"{out_dir}/jobs.jsonl"
    with open(jobs, "w", encoding="utf-8") as f:
        for i in range(items):
            f.write(json.dumps({"service": "gemini", "prompt": f"item {i}"}) + "\n")
    start = time.monotonic()
    run = subprocess.run([cli, "batch", jobs, "--out-dir", f"{out_dir}/out", "--base-url", url,
                          "--api-key", "k", "--concurrency", "64"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    seconds = time.monotonic() - start
    if run.returncode != 0:
        sys.exit(f"batch of {items} failed ({run.returncode})")
    return seconds


def main():
    cli, url = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as one, tempfile.TemporaryDirectory() as many:
        startup = wall(cli, url, 1, one)
        seconds = wall(cli, url, 1000, many)
    print(json.dumps({"items": 1000, "concurrency": 64, "wall_seconds": round(seconds, 4),
                      "startup_seconds": round(startup, 4), "ideal_seconds": 1000 / 64 * 0.1}))


if __name__ == "__main__":
    main()
