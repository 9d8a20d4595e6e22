#!/usr/bin/env bash
# Installs the Debian 12 packages korvo needs that are missing, as root or
# through sudo. With everything present it leaves apt alone, so it needs no
# network and can run before every build.
set -euo pipefail

packages=(
  cmake                # build
  g++                  # build
  make                 # build: CMake's default generator
  libgtest-dev         # tests
  libbenchmark-dev     # bench/ (built when found)
  gnuplot-nox          # korvo-plot and its test
  libcli11-dev         # companion commands: command lines
  libtomlplusplus-dev  # companion commands: TOML settings
  libfftw3-dev         # FFTW transforms
  libeigen3-dev        # the nonlinear column's modes (frequency-independent damping)
  pybind11-dev         # Python package: the binding
  python3-dev          # Python package: the binding
  python3-pybind11     # Python package: the binding
  python3-numpy        # Python package
  python3-pandas       # Python package
  python3-matplotlib   # Python package: figures
  python3-dask         # Python package: distributed runs
  python3-distributed  # Python package: distributed runs
  python3-pytest       # Python package: tests
  python3-nbclient     # examples/notebooks, run by ctest
  python3-ipykernel    # examples/notebooks: the kernel they run in
  python3-pip          # Python package: installing it
  python3-setuptools   # Python package: building it
  python3-wheel        # Python package: building it (pip)
  python3-venv         # Python package: the install test's venv
)

if ! command -v dpkg-query >/dev/null; then
  echo "setup.sh: dpkg-query not found; on a system without dpkg install the packages listed in setup.sh by hand" >&2
  exit 1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup.sh: all ${#packages[@]} packages korvo needs are installed"
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  echo "setup.sh: missing ${missing[*]}; run setup.sh as root (sudo is not installed)" >&2
  exit 1
fi

echo "setup.sh: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
