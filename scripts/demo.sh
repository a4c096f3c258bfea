#!/usr/bin/env bash
# The main job: builds the project, brings up a vcan bus, starts the virtual
# arm on it and runs the demo host program against it. Results land in
# demo-out/: trajectory.csv and trajectory.png (joints), line.csv and line.png
# (the tool's path on the straight-line move) and the printed summary.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target qel-demo qel-virtual-arm

out="$root/demo-out"
mkdir -p "$out"
rm -f "$out/trajectory.csv" "$out/trajectory.png" "$out/line.csv" "$out/line.png"

# Inside the bus environment: the virtual arm in the background, the demo in
# the foreground; the arm is stopped whatever the demo's outcome.
set +e
"$root/scripts/with-vcan" bash -c '
    "$1/build/apps/qel-virtual-arm" --can vcan0 --quiet > "$2/virtual-arm.log" 2>&1 &
    arm=$!
    # The motors must be on the bus before the demo enables them.
    for _ in $(seq 100); do
        grep -q "running on" "$2/virtual-arm.log" && break
        sleep 0.1
    done
    "$1/build/apps/qel-demo" --can vcan0 --out "$2" 2> "$2/demo-stderr.log"
    rc=$?
    kill -INT $arm; wait $arm
    exit $rc' demo "$root" "$out"
rc=$?
set -e

if [ -s "$out/trajectory.csv" ]; then
    # The distribution's interpreter is the one that has matplotlib.
    python=/usr/bin/python3; [ -x "$python" ] || python=python3
    "$python" "$root/scripts/plot_trajectory.py" "$out/trajectory.csv" "$out/trajectory.png"
fi
exit $rc
