#!/usr/bin/env bash
# Formatting and static analysis of the project's own sources (needs a configured dev build):
# clang-format over every C++ file, clang-tidy over every translation unit (library, programs,
# examples, bindings and tests), flake8 over every Python file.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files '*.cc' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
mapfile -t python < <(git ls-files '*.py')
/usr/bin/python3 -m flake8 "${python[@]}"
mapfile -t units < <(git ls-files 'zantrel/*.cc' 'tools/*.cc' 'examples/*.cc' 'bindings/*.cc' \
  'tests/*.cc')
# The compile commands come from GCC; clang-tidy must not trip over its warning options. One
# clang-tidy per core, a few units each (xargs fails when any of them does).
printf '%s\0' "${units[@]}" |
  xargs -0 -n 4 -P "$(nproc)" clang-tidy -p build/dev --quiet --extra-arg=-Wno-unknown-warning-option
