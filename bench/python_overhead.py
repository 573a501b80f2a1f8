"""P15: the Python module's cost over the C++ call for one Gemini call with four 8 MiB
references in memory and a 20 MiB image back, as JSON: median seconds of each, taken in turns
against the same emulator."""
import json
import random
import statistics
import subprocess
import sys
import time

import zantrel


def python_median(url, references, count):
    client = zantrel.TavelinaClient(url, "bench-key")
    seconds = []
    for _ in range(count):
        start = time.monotonic()
        result = client.start("a valley at dawn", "16:9", "4K", files=references)
        seconds.append(time.monotonic() - start)
        if not result.ok:
            sys.exit(f"python call failed: {result.code}")
    return statistics.median(seconds)


def cpp_median(call_bench, url, count):
    run = subprocess.run([call_bench, "timed-gemini", url, str(count)], capture_output=True,
                         text=True, check=True)
    return json.loads(run.stdout)["median_seconds"]


def main():
    call_bench, url = sys.argv[1], sys.argv[2]
    rng = random.Random(1)
    references = [b"\x89PNG\r\n\x1a\n" + rng.randbytes(8 * 2**20 - 8) for _ in range(4)]
    python_runs, cpp_runs = [], []
    for _ in range(3):  # in turns, so that drift on a shared machine hits both alike
        cpp_runs.append(cpp_median(call_bench, url, 5))
        python_runs.append(python_median(url, references, 5))
    py, cpp = statistics.median(python_runs), statistics.median(cpp_runs)
    print(json.dumps({"python_seconds": round(py, 5), "cpp_seconds": round(cpp, 5),
                      "ratio": round(py / cpp, 4)}))


if __name__ == "__main__":
    main()
