#!/usr/bin/env bash
# Installs what is missing, builds the dev preset and runs every test, then checks the
# instruction counts of the payload paths in a release build (the counts only mean something
# optimised).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset dev
cmake --build --preset dev
ctest --preset dev
cmake --preset release > /dev/null
cmake --build --preset release --target instruction_probe
ctest --preset release -L perf
