#!/usr/bin/env bash
# Runs a host program next to qel-virtual-arm on vcan0 and returns the host's
# status: with_virtual_arm.sh <qel-virtual-arm> <host command...>
set -u
sim=$1; shift
log=$(mktemp)
"$sim" --can vcan0 --quiet 2>"$log" &
arm=$!
# The motors must be on the bus before the host enables them.
for _ in $(seq 100); do
    grep -q "running on" "$log" && break
    sleep 0.1
done
"$@"
rc=$?
kill -TERM $arm
wait $arm
rm -f "$log"
exit $rc
