#!/bin/bash
# Builds the libFuzzer targets (clang, ASan + UBSan) in build-fuzz/ and runs
# each for SECONDS (default 30), one after the other, starting from the seed
# corpus in fuzz/corpus/<target>. Prints executions and findings per target;
# exits 1 when any target found a crash, a leak or a timeout. Findings land in
# build-fuzz/findings/<target>/ (reproduce: build-fuzz/bin/<target> FILE).
# RUNS=N also stops each target after N executions (a long run's goal).
# Usage: [RUNS=N] fuzz/run.sh [SECONDS] [TARGET...]
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECS=${1:-30}
shift || true
B=$ROOT/build-fuzz
mkdir -p "$B"
JOBS=${JOBS:-2}

cmake -S "$ROOT" -B "$B" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DSANITIZE=address -DBUILD_FUZZERS=ON -DBUILD_TESTING=OFF -DBUILD_MAPDESK=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$B/fuzz-configure.log" 2>&1 ||
  { cat "$B/fuzz-configure.log"; exit 2; }
cmake --build "$B" -j"$JOBS" --target fuzzers >"$B/fuzz-build.log" 2>&1 ||
  { tail -40 "$B/fuzz-build.log"; exit 2; }

targets=("$@")
if [ ${#targets[@]} = 0 ]; then
  for t in fuzz_mb_tcp fuzz_gw7f fuzz_frame7f fuzz_desc fuzz_map fuzz_vrv fuzz_tftp; do
    [ -x "$B/bin/$t" ] && targets+=("$t")
  done
fi

# A 64 MB quarantine (default 256) keeps long runs fast: near 1 GB of RSS the
# allocator's page faults and TLB flushes cut the rate to a third. Most
# executions free far less than 64 MB, so a use after free within one is still caught.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:quarantine_size_mb=64}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
found=0
summary=()
for t in "${targets[@]}"; do
  corpus=$B/corpus/$t
  findings=$B/findings/$t
  mkdir -p "$corpus" "$findings"
  cp -n "$ROOT/fuzz/corpus/$t"/* "$corpus/" 2>/dev/null || true
  log=$B/$t.log
  # The server reads at most one 260-byte ADU per recv; four reads' worth
  # keeps frames running into each other without growing every input to
  # dozens of requests.
  maxlen=4096
  [ "$t" = fuzz_mb_tcp ] && maxlen=1024
  echo "=== $t: ${SECS}s"
  # close_fd_mask=3: the code under test logs every frame; libFuzzer keeps its own output.
  "$B/bin/$t" "$corpus" -max_total_time="$SECS" -timeout=10 -rss_limit_mb=2048 \
    -max_len=$maxlen -close_fd_mask=3 -print_final_stats=1 ${RUNS:+-runs="$RUNS"} \
    -artifact_prefix="$findings/" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  [ -n "$execs" ] || execs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -1)
  n=$(find "$findings" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  if [ "$rc" != 0 ] || [ "$n" != 0 ]; then
    found=1
    grep -E 'ERROR: |SUMMARY: |runtime error|Test unit written' "$log" | head -8
  fi
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1)
  summary+=("$(printf '%-12s executions %12s  findings %s  (%s, corpus %s files)' "$t" "${execs:-?}" "$n" "${cov:-cov: ?}" "$(ls "$corpus" | wc -l)")")
done
echo "=== fuzz summary (${SECS}s per target)"
printf '%s\n' "${summary[@]}"
exit $found
