#!/usr/bin/env bash
# Installs the build tree and compiles every installed header on its own against the installed
# tree only. Fails when a header does not compile alone or pulls in a header of curl, simdjson,
# spdlog or OpenSSL: those stay behind the library's own types.
set -euo pipefail
build_dir=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build_dir" --prefix "$scratch/prefix" > /dev/null
include_dir="$scratch/prefix/include"
mapfile -t headers < <(cd "$include_dir" && find zantrel -name '*.h' | sort)
if [ "${#headers[@]}" -eq 0 ]; then
  echo "no headers installed" >&2
  exit 1
fi
failed=0
for header in "${headers[@]}"; do
  printf '#include <%s>\n' "$header" > "$scratch/one.cc"
  if ! deps=$(c++ -std=c++20 -fsyntax-only -I"$include_dir" -M "$scratch/one.cc" 2>&1); then
    echo "$header does not compile on its own:" >&2
    echo "$deps" >&2
    failed=1
    continue
  fi
  if banned=$(tr ' \\' '\n\n' <<< "$deps" | grep -E '/(curl|simdjson|spdlog|openssl)/|simdjson\.h' ); then
    echo "$header pulls in:" >&2
    echo "$banned" >&2
    failed=1
  fi
done
if grep -rl --include='*.h' -E 'zantrel/host/internal/|/internal/' "$include_dir"; then
  echo "an installed header names an internal one" >&2
  failed=1
fi
echo "${#headers[@]} installed headers checked"
exit "$failed"
