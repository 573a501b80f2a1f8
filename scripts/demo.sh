#!/usr/bin/env bash
# The main job: install what is missing, build the release preset and generate images.
# With ZANTREL_GEMINI_API_KEY set, one image comes from the real Gemini service; without it,
# `zantrel-image demo` runs both clients against the built-in emulator.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release
cmake --build --preset release
cli=build/release/tools/cli/zantrel-image
mkdir -p demo-output
if [ -n "${ZANTREL_GEMINI_API_KEY:-}" ]; then
  "$cli" gemini --prompt "${ZANTREL_DEMO_PROMPT:-a quiet valley at dawn}" --aspect-ratio 16:9 \
    --out demo-output/zantrel-gemini.png
else
  "$cli" demo --out-dir demo-output
fi
