#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, run the demo
# and install. Idempotent: does nothing when all are present.
set -euo pipefail

PACKAGES=(
    # toolchain
    build-essential cmake pkg-config
    # libraries the code builds on
    libeigen3-dev liborocos-kdl-dev libkdl-parser-dev libconsole-bridge-dev librosconsole-dev
    # recordings (the C library; h5py reads them back in Python)
    libhdf5-dev python3-h5py
    # tests and benchmarks
    libgtest-dev libgmock-dev libbenchmark-dev
    # a real kernel CAN stack for the bus tests, and independent CAN peers
    user-mode-linux kmod iproute2 can-utils
    # Python bindings and the demo's plot
    pybind11-dev python3-dev python3-matplotlib python3-numpy
    # DDS for the ROS 2 bridge: the library and the IDL compiler (idlc)
    cyclonedds-dev cyclonedds-tools
    # coverage-guided fuzzing (libFuzzer)
    clang libclang-rt-14-dev
)

missing=()
for pkg in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
SUDO=()
[ "$(id -u)" -eq 0 ] || SUDO=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
