#!/usr/bin/env bash
# Runs a host program next to qel-virtual-arm on vcan0 and returns the host's
# status: with_virtual_arm.sh <qel-virtual-arm> <host command...>
set -u
sim=$1; shift
"$sim" --can vcan0 --quiet &
arm=$!
sleep 0.3
"$@"
rc=$?
kill -TERM $arm
wait $arm
exit $rc
