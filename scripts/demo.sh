#!/usr/bin/env bash
# The main job: install what is missing, build the release preset and generate images.
# With ZANTREL_GEMINI_API_KEY (or ZANTREL_IMAGES_API_KEY) set, images come from the public
# endpoints, spoken to in their own (direct) dialect; without a key, `zantrel-image demo` runs
# both clients against the built-in emulator.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release
# Only what the demo runs: the tests, benches and fuzzers are the test command's to build.
cmake --build --preset release --target zantrel-image zantrel-emulator
cli=build/release/tools/cli/zantrel-image
mkdir -p demo-output
prompt=${ZANTREL_DEMO_PROMPT:-a quiet valley at dawn}
if [ -n "${ZANTREL_GEMINI_API_KEY:-}" ] || [ -n "${ZANTREL_IMAGES_API_KEY:-}" ]; then
  if [ -n "${ZANTREL_GEMINI_API_KEY:-}" ]; then
    "$cli" gemini --prompt "$prompt" --aspect-ratio 16:9 --out demo-output/zantrel-gemini.png
  fi
  if [ -n "${ZANTREL_IMAGES_API_KEY:-}" ]; then
    "$cli" images --prompt "$prompt" --aspect-ratio 3:2 --out demo-output/zantrel-images.png
  fi
else
  "$cli" demo --out-dir demo-output
fi
