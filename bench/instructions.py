"""Counts the instructions per payload byte of the Gemini request and response steps.

Runs the instruction probe under callgrind and reads the two dumps it triggers. With --check
BASELINE it compares with the recorded figures and fails when one grew by more than 20%; it
exits 77 (skipped) on a processor without AVX2, whose scalar codec the figures don't describe.
"""
import argparse
import glob
import json
import os
import re
import subprocess
import sys
import tempfile

TOLERANCE = 1.20


def measure(probe):
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        run = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", probe],
            capture_output=True, text=True, check=False)
        if run.returncode != 0:
            sys.exit(f"probe failed under callgrind:\n{run.stderr}")
        sizes = json.loads(run.stdout.strip().splitlines()[-1])
        counts = {}
        for dump in glob.glob(out + ".*"):
            text = open(dump, encoding="utf-8").read()
            trigger = re.search(r"^desc: Trigger: Client Request: (\w+)", text, re.M)
            total = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
            if trigger and total:
                counts[trigger.group(1)] = int(total.group(1))
    return {step: counts[step] / sizes[f"{step}_bytes"] for step in ("request", "response")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--check", help="baseline JSON to compare with")
    args = parser.parse_args()
    if " avx2" not in open("/proc/cpuinfo", encoding="utf-8").read():
        print("no AVX2 on this processor: the recorded figures don't apply")
        return 77
    figures = measure(args.probe)
    print(json.dumps({k: round(v, 3) for k, v in figures.items()}))
    if not args.check:
        return 0
    baseline = json.load(open(args.check, encoding="utf-8"))
    failed = False
    for step, value in figures.items():
        limit = baseline[step] * TOLERANCE
        verdict = "ok" if value <= limit else "GREW"
        print(f"{step}: {value:.3f} instructions/byte (recorded {baseline[step]}, limit "
              f"{limit:.3f}) {verdict}")
        failed |= value > limit
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
