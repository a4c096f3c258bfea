#!/usr/bin/env bash
# Installs the built project into a scratch prefix and builds a small host
# against it twice: through the CMake package and through pkg-config. Both
# builds must run.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
scratch=$(mktemp -d /tmp/qel-consumer.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
export LD_LIBRARY_PATH=$prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

echo "-- through find_package(qel_m4)"
cmake -S "$source_dir/consumer" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake-build" -j 2 >/dev/null
"$scratch/cmake-build/consumer_main"
"$scratch/cmake-build/consumer_vanteq"
"$scratch/cmake-build/consumer_both" 2>/dev/null | tail -n 1

echo "-- through pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
urdf=$(pkg-config --variable=urdf qel_m4)
g++ -o "$scratch/pc_main" "$source_dir/consumer/main.cpp" -DQEL_URDF="\"$urdf\"" \
    $(pkg-config --cflags --libs qel_m4)
g++ -o "$scratch/pc_vanteq" "$source_dir/consumer/vanteq_main.cpp" \
    $(pkg-config --cflags --libs vanteq)
"$scratch/pc_main"
"$scratch/pc_vanteq"
# Neither library may pull in the other.
if ldd "$scratch/pc_vanteq" | grep -q qel_m4_src; then
    echo "the standalone solver host links the controller library" >&2
    exit 1
fi

# The simulator and the Python module run from the prefix as installed.
env -u LD_LIBRARY_PATH PYTHONPATH="$(echo "$prefix"/lib/python3*/dist-packages)" /usr/bin/python3 -c \
    'import qel_m4; print("python module: l5_fk at zero", qel_m4.l5_fk([0.0] * 6)[:3])'
# The recording reader is installed beside the module, which finds it.
env -u LD_LIBRARY_PATH PYTHONPATH="$(echo "$prefix"/lib/python3*/dist-packages)" /usr/bin/python3 -c \
    'import qel_m4, qel_m4_recording; assert qel_m4_recording.Recording'
env -u LD_LIBRARY_PATH "$prefix/bin/qel-teach" --version >/dev/null
env -u LD_LIBRARY_PATH "$prefix/bin/qel-virtual-arm" --help >/dev/null
env -u LD_LIBRARY_PATH "$prefix/bin/qel-decode" --version >/dev/null
# The installed demo finds the description installed next to it.
env -u LD_LIBRARY_PATH "$prefix/bin/qel-demo" --help | grep -qF "$prefix/bin/../share/qel_m4/urdf/Zq4mina00.urdf"
