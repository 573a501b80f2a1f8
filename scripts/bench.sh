#!/usr/bin/env bash
# Builds release and runs every performance measure in one go: the payload and upload
# benchmarks, whole calls against the emulator (memory, concurrency), callgrind instruction
# counts and the Python baseline. Prints one table of ratios (each taken in the same run as its
# baseline) and draws bench-results/throughput.png.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release > /dev/null
cmake --build --preset release --target payload_bench upload_bench call_bench stream_bench \
  conversation_bench results_file_bench \
  instruction_probe \
  zantrel-image zantrel_python \
  zantrel-emulator
bin=build/release/bench

out=bench-results
mkdir -p "$out"

echo "payload benchmarks..." >&2
"$bin/payload_bench" --benchmark_format=json --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_out="$out/payload.json" > /dev/null
echo "upload benchmarks..." >&2
"$bin/upload_bench" --benchmark_format=json --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_out="$out/upload.json" > /dev/null

# An emulator in another process, so that only the client's memory is measured. Prints its URL.
start_emulator() {
  local log
  log=$(mktemp)
  build/release/tools/emulator/zantrel-emulator --scenario "$1" --threads 128 > "$log" 2>&1 &
  echo $! >> "$servers"
  for _ in $(seq 50); do grep -q listening "$log" && break; sleep 0.1; done
  sed -n 's/^listening on //p' "$log"
  rm -f "$log"
}
# The servers' ids go to a file: they are started inside command substitutions, whose
# variables die with them, so an array there would leave the exit trap nothing to stop.
servers=$(mktemp)
trap 'xargs -r kill < "$servers" 2> /dev/null || true; rm -f "$servers"' EXIT

echo "one call with 4 x 8 MiB references and a 20 MiB answer (Gemini, edit)..." >&2
large=$(start_emulator large:20)
"$bin/call_bench" memory gemini "$large" > "$out/memory-gemini.json"
"$bin/call_bench" memory edit "$large" > "$out/memory-edit.json"
echo "one streamed call whose final event is 40 MiB (images, Gemini)..." >&2
streamed=$(start_emulator large:30)
"$bin/stream_bench" memory images "$streamed" > "$out/stream-memory-images.json"
"$bin/stream_bench" memory gemini "$streamed" > "$out/stream-memory-gemini.json"
echo "from a partial image's first byte to the observer..." >&2
"$bin/stream_bench" preview-latency > "$out/preview-latency.json"
echo "a 10-turn conversation with 4 x 8 MiB references uploaded once..." >&2
"$bin/conversation_bench" "$(start_emulator normal)" > "$out/conversation.json"
echo "a provider batch's results file, 1,000 lines of a 1 MiB image, into image files..." >&2
"$bin/results_file_bench" > "$out/results-file.json"
echo "64 Gemini calls in flight, answered after 2 s..." >&2
slow=$(start_emulator small-delay:2000)
"$bin/call_bench" in-flight "$slow" > "$out/in-flight.json"
echo "the CLI's peak for the same calls..." >&2
python3 bench/cli_peak.py build/release/tools/cli/zantrel-image "$large" > "$out/cli-peak.json"
echo "32 threads x 8 calls..." >&2
"$bin/call_bench" concurrency > "$out/concurrency.json"
# The event-driven loopback server (another process): a thread per connection would not carry a
# thousand calls. Prints its URL.
start_event_server() {
  local log
  log=$(mktemp)
  "$bin/call_bench" serve "$1" > "$log" 2>&1 &
  echo $! >> "$servers"
  for _ in $(seq 50); do grep -q listening "$log" && break; sleep 0.1; done
  sed -n 's/^listening on //p' "$log"
  rm -f "$log"
}
echo "1,000 calls in flight through the event engine, answered after 2 s..." >&2
"$bin/call_bench" engine-flight "$(start_event_server 2000)" > "$out/engine-flight.json"
echo "1,000 background jobs in flight through the event engine, each done after 2 s..." >&2
"$bin/call_bench" engine-jobs "$(start_event_server 2000)" 2 > "$out/engine-jobs.json"
echo "100 calls in flight cancelled at once..." >&2
"$bin/call_bench" engine-cancel "$(start_event_server 10000)" > "$out/engine-cancel.json"
echo "32 calls x 8 rounds through the event engine..." >&2
"$bin/call_bench" engine-rounds "$(start_event_server 200)" > "$out/engine-rounds.json"
echo "256 calls in one burst against a plain threaded server (listen queue of 5)..." >&2
threaded_log=$(mktemp)
python3 tests/support/threaded_server.py --delay 2 > "$threaded_log" &
echo $! >> "$servers"
for _ in $(seq 50); do grep -q PORT "$threaded_log" && break; sleep 0.1; done
"$bin/call_bench" burst "http://127.0.0.1:$(sed -n 's/^PORT //p' "$threaded_log")" 2 \
  > "$out/burst.json"
rm -f "$threaded_log"
echo "a batch of 1,000 small items at concurrency 64, answers after 100 ms..." >&2
python3 bench/batch_bench.py build/release/tools/cli/zantrel-image \
  "$(start_emulator small-delay:100)" > "$out/batch.json"
echo "the Python module's overhead on one Gemini call with 4 x 8 MiB references..." >&2
PYTHONPATH=build/release/python /usr/bin/python3 bench/python_overhead.py "$bin/call_bench" \
  "$large" > "$out/python-overhead.json"
echo "callgrind..." >&2
python3 bench/instructions.py --probe "$bin/instruction_probe" > "$out/instructions.json"
echo "Python baseline..." >&2
python3 bench/python_baseline.py 8 20 > "$out/python.json"

python3 bench/report.py "$out"
if command -v gnuplot > /dev/null; then
  gnuplot -e "dir='$out'" bench/throughput.gp
  echo "chart: $out/throughput.png"
fi
