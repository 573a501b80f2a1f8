#!/usr/bin/env bash
# Builds release, runs the payload benchmarks and the Python baseline in one go, and prints the
# ratios (each measured in the same run as its baseline).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release > /dev/null
cmake --build --preset release --target payload_bench
out=build/release/bench
build/release/bench/payload_bench --benchmark_format=json --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_out="$out/payload.json" > /dev/null
python3 bench/python_baseline.py 8 20 > "$out/python.json"
python3 - "$out/payload.json" "$out/python.json" <<'PY'
import json, sys
runs = {b["run_name"]: b["real_time"] for b in json.load(open(sys.argv[1]))["benchmarks"]
        if b.get("aggregate_name") == "median"}
py = json.load(open(sys.argv[2]))
ms = lambda name: runs[name]
rows = [
    ("P1", "Gemini request body, 4 x 8 MiB / OpenSSL encode of 32 MiB",
     ms("BM_GeminiRequestBody/8") / ms("BM_OpenSslEncode/32"), "<= 1.3"),
    ("P2", "Gemini 200 body with 20 MiB image to result / OpenSSL decode of it",
     ms("BM_GeminiResponse/20") / ms("BM_OpenSslDecode/20"), "<= 1.3"),
    ("P3", "images b64_json 20 MiB to result / OpenSSL decode of it",
     ms("BM_ImagesResponse/20") / ms("BM_OpenSslDecode/20"), "<= 1.3"),
    ("P5a", "Python request building / ours (higher is better)",
     py["request_seconds"] * 1000 / ms("BM_GeminiRequestBody/8"), ">= 8"),
    ("P5b", "Python response reading / ours (higher is better)",
     py["response_seconds"] * 1000 / ms("BM_GeminiResponse/20"), ">= 2.5"),
]
print(f"{'row':5} {'measure':70} {'ratio':>7}  target")
for row, what, ratio, target in rows:
    print(f"{row:5} {what:70} {ratio:7.2f}  {target}")
PY
