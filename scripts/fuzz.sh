#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and fuzzes each for SECONDS (default 600),
# two at a time, starting from the stored corpus. New inputs that add coverage are merged back
# into fuzz/corpus/<target>; crashes land in build/fuzz/findings/<target>/.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(gemini_response_fuzz images_response_fuzz error_body_fuzz base64_fuzz mime_fuzz
           multipart_fuzz image_header_fuzz)
fi
bash scripts/install-deps.sh
cmake --preset fuzz > /dev/null
cmake --build --preset fuzz
work=build/fuzz/work
mkdir -p "$work"

run_one() {
  local target=$1
  local corpus="$work/$target" findings="build/fuzz/findings/$target"
  rm -rf "$findings"
  mkdir -p "$corpus" "$findings"
  cp -n fuzz/corpus/"$target"/* "$corpus"/ 2> /dev/null || true
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    build/fuzz/fuzz/"$target" "$corpus" -dict=fuzz/json_fields.dict -max_total_time="$seconds" \
    -max_len=65536 -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$findings/" > "$work/$target.log" 2>&1 || true
  # Keep only what adds coverage to the stored corpus.
  build/fuzz/fuzz/"$target" -merge=1 fuzz/corpus/"$target" "$corpus" > /dev/null 2>&1 || true
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
  echo "$target: ${runs:-?} executions in ${seconds}s, findings: $(ls "$findings" | wc -l)"
}

for ((i = 0; i < ${#targets[@]}; i += 2)); do
  run_one "${targets[i]}" &
  if ((i + 1 < ${#targets[@]})); then run_one "${targets[i + 1]}" & fi
  wait
done
