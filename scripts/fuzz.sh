#!/bin/bash
# Builds the libFuzzer targets with clang (address, undefined-behaviour and
# float-cast-overflow checks) in build-fuzz/ and runs each for a bounded time
# on a copy of its corpus in tests/fuzz/corpus/.
#
#   QEL_FUZZ_SECONDS  seconds per target (default 20)
#   QEL_FUZZ_TARGETS  space-separated subset of the targets
#   QEL_JOBS          build parallelism (default: number of CPUs)
#
# Prints executions per second per target, keeps every finding (the input
# that crashed, leaked or failed a check) under build-fuzz/findings/, and
# ends with a ctest-style "N% tests passed, N tests failed out of N" line,
# which scripts/test.sh adds to its totals. Exit status 1 on any finding.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
seconds=${QEL_FUZZ_SECONDS:-20}
jobs=${QEL_JOBS:-$(nproc)}
targets=${QEL_FUZZ_TARGETS:-"feedback_decoder_fuzz command_packer_fuzz pose_conversion_fuzz robot_description_fuzz interfaces_py_fuzz bridge_command_fuzz push_option_fuzz candump_line_fuzz"}

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
echo "== fuzz: building in $build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQEL_BUILD_FUZZ=ON -DQEL_SANITIZE=address,undefined -DQEL_BUILD_TESTS=OFF \
    -DQEL_BUILD_BENCH=OFF -DQEL_BUILD_PYTHON=OFF "${launcher[@]}" >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j "$jobs" --target $targets >/dev/null

findings=$build/findings
mkdir -p "$findings"
work=$(mktemp -d /tmp/qel-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tests/fuzz/lsan.supp:print_suppressions=0}

passed=0
failed=0
for target in $targets; do
    exe=$build/tests/fuzz/$target
    corpus=$work/$target
    mkdir -p "$corpus"
    cp "$root/tests/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
    if [ "$target" = robot_description_fuzz ]; then
        cp "$root/urdf/Zq4mina00.urdf" "$corpus/"  # the arm's own description
    fi
    log=$work/$target.log
    set +e
    # Standard output is closed in the target: the guards print operator
    # warnings for most inputs. Reports go to standard error, into the log.
    "$exe" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=4096 -close_fd_mask=1 \
        -print_final_stats=1 -artifact_prefix="$findings/$target-" "$corpus" >"$log" 2>&1
    rc=$?
    set -e
    runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
    rate=$(grep -oE 'stat::average_exec_per_sec: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
    units=$(find "$corpus" -type f | wc -l)
    if [ "$rc" -eq 0 ]; then
        passed=$((passed + 1))
        printf '%-24s %9s runs %7s exec/s  corpus %5s  no findings\n' "$target" "$runs" "$rate" "$units"
    else
        failed=$((failed + 1))
        printf '%-24s %9s runs %7s exec/s  FINDING (exit %s)\n' "$target" "$runs" "$rate" "$rc"
        grep -E 'ERROR|SUMMARY|check failed|runtime error|Test unit written' "$log" | head -n 20 || true
        cp "$log" "$findings/$target.log"
    fi
done

total=$((passed + failed))
echo "$((total ? 100 * passed / total : 100))% tests passed, $failed tests failed out of $total"
[ "$failed" -eq 0 ]
