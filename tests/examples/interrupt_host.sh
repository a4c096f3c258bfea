#!/usr/bin/env bash
# Interrupts a host program during its start-up (homing takes at least 3.55 s)
# next to qel-virtual-arm on vcan0: the host must end with status 130 and
# report the cancelled start-up.
#   interrupt_host.sh <qel-virtual-arm> <host command...>
set -u
sim=$1; shift
log=$(mktemp)
out=$(mktemp)
"$sim" --can vcan0 --quiet 2>"$log" &
arm=$!
for _ in $(seq 100); do
    grep -q "running on" "$log" && break
    sleep 0.1
done
"$@" >"$out" 2>&1 &
host=$!
sleep 1
kill -INT $host
wait $host
rc=$?
kill -TERM $arm
wait $arm
status=0
if [ $rc -ne 130 ]; then
    echo "host ended with status $rc, expected 130" >&2
    status=1
fi
if grep -q "Init completed" "$out"; then
    echo "the start-up was not cut short" >&2
    status=1
fi
if ! grep -q -e "cancelled" -e "interrupted" "$out"; then
    echo "the host did not report the interruption" >&2
    status=1
fi
[ $status -eq 0 ] || tail -n 20 "$out" >&2
rm -f "$log" "$out"
exit $status
