#!/usr/bin/env bash
# Proves that a host can adopt the installed library: installs the given build tree (shared
# libraries), then builds the libraries again as static ones and installs those too; against
# each install it builds the consumer with find_package and with pkg-config and runs it.
set -euo pipefail
build_dir=$1
consumer_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$consumer_dir/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

libdir_of() { find "$1" -name 'libzantrel_host.*' -printf '%h\n' | head -n 1; }

check_install() {
  local kind=$1 prefix=$2
  local libdir
  libdir=$(libdir_of "$prefix")
  cmake -S "$consumer_dir" -B "$scratch/$kind-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    > /dev/null
  cmake --build "$scratch/$kind-cmake" > /dev/null
  LD_LIBRARY_PATH="$libdir" "$scratch/$kind-cmake/consumer"
  # pkg-config users name the language standard themselves, as is usual for them.
  # shellcheck disable=SC2046
  c++ -std=c++20 "$consumer_dir/consumer.cc" -o "$scratch/$kind-pkg-config" \
    $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs zantrel)
  LD_LIBRARY_PATH="$libdir" "$scratch/$kind-pkg-config"
  echo "$kind: find_package and pkg-config consumers ran"
}

cmake --install "$build_dir" --prefix "$scratch/shared" > /dev/null
check_install shared "$scratch/shared"

# Only the libraries, unoptimised: this build proves linking, not speed.
cmake -S "$source_dir" -B "$scratch/static-build" -G Ninja -DBUILD_SHARED_LIBS=OFF \
  -DZANTREL_TESTS=OFF -DZANTREL_TOOLS=OFF -DZANTREL_BENCH=OFF -DZANTREL_EXAMPLES=OFF > /dev/null
cmake --build "$scratch/static-build" -j 2 > /dev/null
cmake --install "$scratch/static-build" --prefix "$scratch/static" > /dev/null
if find "$scratch/static" -name 'libzantrel_*.so*' | grep -q .; then
  echo "static install holds shared objects" >&2
  exit 1
fi
check_install static "$scratch/static"
