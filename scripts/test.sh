#!/usr/bin/env bash
# Builds the project and runs every test: the tests that need no bus natively,
# the bus tests on a vcan bus through scripts/with-vcan, and the bus-free tests
# once more under AddressSanitizer + UndefinedBehaviorSanitizer and the
# threaded ones under ThreadSanitizer. Exits non-zero on any failure.
#
#   scripts/test.sh            everything
#   QEL_SKIP_SANITIZERS=1 ...  skip the two sanitizer builds (quicker local runs)
#   QEL_TEST_STRESS=1 ...      only the bus tests, each beside two busy loops at
#                              nice 10: the kernel-bus ones inside the user-mode
#                              kernel with the loops in the guest, the in-process
#                              ones natively with the loops on the host. Shows that
#                              no test leans on spare CPU; CI runs the normal mode.
#                              (Loops at the tests' own priority would starve the
#                              guest's single CPU past the motors' 200 ms feedback
#                              deadline, which no controller survives.)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh"

jobs=${QEL_JOBS:-$(nproc)}
logdir=$(mktemp -d /tmp/qel-test.XXXXXX)
trap 'rm -rf "$logdir"' EXIT
passed=0
failed=0
status=0

# Runs one ctest invocation (optionally wrapped, e.g. by with-vcan), adds its
# counts to the totals and remembers a failure without stopping the others.
run_ctest() {
    local title=$1; shift
    local log="$logdir/$title.log"
    echo "== $title"
    set +e
    "$@" 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    set -e
    local line
    line=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -n 1 || true)
    if [ -n "$line" ]; then
        local total bad
        total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
        bad=$(sed -E 's/.*tests passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
        passed=$((passed + total - bad))
        failed=$((failed + bad))
    elif [ "$rc" -ne 0 ]; then
        failed=$((failed + 1))
    fi
    if [ "$rc" -ne 0 ]; then
        echo "!! $title failed (exit $rc)"
        status=1
        failure_digest "$title" "$log" >>"$logdir/failures"
    fi
}

# What went wrong in a failed run, without the tests' chatter: the failed
# tests and each assertion's message. Printed again at the very end, where a
# long log's tail still shows it.
failure_digest() {
    echo "-- $1"
    grep -v -E "Qelmark|\[ WARN\]" "$2" |
        grep -E -A7 ": Failure$|\*\*\*(Failed|Timeout|Exception)|Subprocess aborted|terminate called|runtime error:|WARNING: ThreadSanitizer|ERROR: AddressSanitizer" |
        head -n 200 || true
}

print_failures() {
    if [ -s "$logdir/failures" ]; then
        echo
        echo "== what failed"
        cat "$logdir/failures"
    fi
}

build() {
    local dir=$1; shift
    cmake -S "$root" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

# Runs a command beside `n` busy loops at nice 10 (a loaded machine on which
# the command still gets its share) and returns its status.
beside_busy_loops() {
    local n=$1; shift
    local pids=() rc
    for _ in $(seq "$n"); do nice -n 10 bash -c 'while :; do :; done' & pids+=($!); done
    set +e
    "$@"
    rc=$?
    set -e
    kill "${pids[@]}" 2>/dev/null || true
    return $rc
}

build "$root/build" -DCMAKE_BUILD_TYPE=Release
if [ "${QEL_TEST_STRESS:-0}" = 1 ]; then
    run_ctest bus-stress env QEL_VCAN_BUSY_LOOPS=2 "$root/scripts/with-vcan" \
        ctest --test-dir "$root/build" -L bus --output-on-failure --no-tests=error --timeout 900
    run_ctest inprocess-stress beside_busy_loops 2 \
        ctest --test-dir "$root/build" -L inprocess --output-on-failure --no-tests=error --timeout 900
    print_failures
    echo
    echo "total: $passed passed, $failed failed"
    exit $status
fi
# The in-process bus tests run natively under both sanitizers below (and
# their kernel-bus twins inside the user-mode kernel); running them a third
# time here would only lengthen the run. Without the sanitizers they run here.
native_skip=bus
[ "${QEL_SKIP_SANITIZERS:-0}" = 1 ] || native_skip="bus|inprocess"
run_ctest native ctest --test-dir "$root/build" -LE "$native_skip" --output-on-failure --timeout 600
run_ctest bus "$root/scripts/with-vcan" ctest --test-dir "$root/build" -L bus \
    --output-on-failure --no-tests=error --timeout 600

# Configures `dir` and builds only what the tests selected by the ctest
# arguments run: each test executable is the target of the test's own name
# (targets it runs, such as the tools, are its dependencies); the two
# libraries cover the tests that are commands on them.
build_tests() {
    local dir=$1; shift
    local configure=()
    while [ "$1" != -- ]; do configure+=("$1"); shift; done
    shift
    cmake -S "$root" -B "$dir" "${configure[@]}" >/dev/null
    local targets
    mapfile -t targets < <(
        ctest --test-dir "$dir" "$@" -N | sed -nE 's/^ *Test +#[0-9]+: +([A-Za-z0-9_]+)$/\1/p' |
            grep -Fx -f <(cmake --build "$dir" --target help | sed -nE 's/^\.\.\. ([A-Za-z0-9_.+-]+).*/\1/p'))
    cmake --build "$dir" -j "$jobs" --target qel_m4_src vanteq "${targets[@]}"
}

if [ "${QEL_SKIP_SANITIZERS:-0}" != 1 ]; then
    # Sanitizer runtimes cannot start inside user-mode Linux (its address space
    # ends below their shadow memory), so these runs cover the bus-free tests.
    build_tests "$root/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQEL_SANITIZE=address,undefined -DQEL_BUILD_BENCH=OFF -- -LE bus
    run_ctest asan-ubsan ctest --test-dir "$root/build-asan" -LE bus --output-on-failure --timeout 900
    # Only the threaded tests run under ThreadSanitizer.
    build_tests "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQEL_SANITIZE=thread -DQEL_BUILD_BENCH=OFF -- -L threads -LE bus
    run_ctest tsan ctest --test-dir "$root/build-tsan" -L threads -LE bus --output-on-failure \
        --no-tests=ignore --timeout 900
fi
[ "${QEL_SKIP_FUZZ:-0}" = 1 ] || run_ctest fuzz "$root/scripts/fuzz.sh"

print_failures
echo
echo "total: $passed passed, $failed failed"
exit $status
