#!/bin/bash
# Reruns the normal suite (build/) and the service's ASan + UBSan suite
# (build-asan/) N times each (default 5) while two CPU hogs run, stopping a
# suite at its first failure: a test that passes only on an idle machine is a
# defect. Needs the trees that scripts/test.sh builds. Usage:
#   scripts/test-load.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-5}
JOBS=$(nproc 2>/dev/null || echo 2)
for d in build build-asan; do
  [ -f "$d/CTestTestfile.cmake" ] || { echo "test-load: no $d/ tree; run scripts/test.sh first"; exit 2; }
done

yes >/dev/null & hog1=$!
yes >/dev/null & hog2=$!
trap 'kill $hog1 $hog2 2>/dev/null || true' EXIT

status=0
run() {
  local dir=$1; shift
  local t0=$SECONDS
  echo "=== $dir: every test up to $N times, two CPU hogs running"
  if (cd "$dir" && ctest --output-on-failure -j"$JOBS" --repeat until-fail:"$N" "$@"); then
    echo "=== $dir: passed $N times in $((SECONDS - t0)) s"
  else
    echo "=== $dir: FAILED after $((SECONDS - t0)) s"
    status=1
  fi
}
run build
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run build-asan -L service
exit $status
