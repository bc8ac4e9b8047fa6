#!/bin/bash
# Builds everything and runs every test: the normal build (service and tool),
# the service's tests under AddressSanitizer + UBSan, and its threaded tests
# under ThreadSanitizer. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=$(nproc 2>/dev/null || echo 2)

scripts/setup.sh

status=0
run_suite() {
  local dir=$1 label=$2; shift 2
  echo "=== configure + build: $dir ($*)"
  cmake -S "$ROOT" -B "$ROOT/$dir" "$@" >"$ROOT/$dir.configure.log" 2>&1 ||
    { cat "$ROOT/$dir.configure.log"; return 1; }
  cmake --build "$ROOT/$dir" -j"$JOBS"
  echo "=== tests: $dir ${label:+(label $label)}"
  (cd "$ROOT/$dir" && ctest --output-on-failure -j"$JOBS" ${label:+-L "$label"})
}

run_suite build "" -DSANITIZE= -DBUILD_MAPDESK=ON || status=1
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan service -DSANITIZE=address -DBUILD_MAPDESK=OFF || status=1
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite build-tsan threads -DSANITIZE=thread -DBUILD_MAPDESK=OFF || status=1

# --- fuzzing: every libFuzzer target for FUZZ_SECONDS (default 30) from the
# seed corpus; any crash fails the run. ARM tests: scripts/test-arm.sh (nightly).
fuzz/run.sh "${FUZZ_SECONDS:-30}" || status=1

if [ $status = 0 ]; then echo "ALL TEST SUITES PASSED"; else echo "SOME TEST SUITE FAILED"; fi
exit $status
