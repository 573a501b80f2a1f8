#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need.
# Idempotent: packages already present are skipped, so it is cheap to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config git
  clang clang-tidy clang-format libclang-rt-14-dev
  libcurl4-openssl-dev libssl-dev
  nlohmann-json3-dev libsimdjson-dev libspdlog-dev libfmt-dev
  libcpp-httplib-dev libcli11-dev libpng-dev libjpeg-dev libwebp-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-dev python3-pybind11 pybind11-dev python3-pytest python3-pil
  python3-pip python3-venv python3-setuptools python3-wheel python3-flake8
  valgrind gnuplot-nox openssl chromium fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
