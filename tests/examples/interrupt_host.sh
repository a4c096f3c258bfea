#!/usr/bin/env bash
# Interrupts a host program during its start-up (homing takes at least 3.55 s;
# run next to the virtual arm by with_virtual_arm.sh): the host must end with
# status 130, report the interruption and never report a completed start-up.
#   interrupt_host.sh <host command...>
set -u
out=$(mktemp)
# Job control: a background job of a script would otherwise start with
# SIGINT ignored, and Python keeps it ignored.
set -m
"$@" >"$out" 2>&1 &
host=$!
# Into the start-up, however long the host takes to load: the library writes
# this line as construction begins, and homing takes seconds after it.
for _ in $(seq 600); do
    grep -q "SocketCAN adapter created." "$out" && break
    kill -0 $host 2>/dev/null || break
    sleep 0.1
done
kill -INT $host
wait $host
rc=$?
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
rm -f "$out"
exit $status
