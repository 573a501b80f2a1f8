#!/usr/bin/env bash
# Formatting and static analysis of the project's own sources (needs a configured dev build).
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files '*.cc' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
mapfile -t units < <(git ls-files 'zantrel/*.cc' 'tools/*.cc')
clang-tidy -p build/dev --quiet "${units[@]}"
