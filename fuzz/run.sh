#!/usr/bin/env bash
# Builds the libFuzzer harnesses and runs each for FUZZ_SECONDS (default 60).
# Any finding (crash, sanitizer report, uncaught exception, leak, timeout,
# more than 2 GB of memory) fails the run; the input that caused it is left in
# <build>/artifacts/<target>/ and the log in <build>/logs/<target>.log.
#
#   fuzz/run.sh [build-dir]            default build dir: build/fuzz
#   FUZZ_SECONDS=600 fuzz/run.sh       longer runs
#   FUZZ_TARGETS="nifti fsl" fuzz/run.sh   a subset
#   FUZZ_RUNS=2000000 fuzz/run.sh      also stop each harness after that many inputs
#
# The committed seeds (fuzz/corpus/<target>) and regression inputs
# (fuzz/regressions/<target>) are read but never written: new inputs the
# fuzzer finds go to <build>/corpus/<target>, which later runs start from.
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(dirname "$here")"
build="${1:-$repo/build/fuzz}"
seconds="${FUZZ_SECONDS:-60}"
targets="${FUZZ_TARGETS:-nifti fsl mrtrix table sidecar nifti_base bids_names}"
cmake="${CMAKE:-$repo/.venv/bin/cmake}"
ninja="${NINJA:-$repo/.venv/bin/ninja}"

if [ ! -f "$build/CMakeCache.txt" ]; then
  "$cmake" -S "$here" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ || exit 1
fi
"$cmake" --build "$build" -j "${JOBS:-$(nproc)}" || exit 1

max_len() {
  case "$1" in
    nifti) echo 4096 ;;
    nifti_base | bids_names) echo 512 ;;
    table) echo 4096 ;;
    *) echo 2048 ;;
  esac
}

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TARVIX_FUZZ_TMP="${TARVIX_FUZZ_TMP:-/dev/shm}"
[ -d "$TARVIX_FUZZ_TMP" ] && [ -w "$TARVIX_FUZZ_TMP" ] || export TARVIX_FUZZ_TMP="${TMPDIR:-/tmp}"

failed=()
summary=()
for t in $targets; do
  bin="$build/fuzz_$t"
  work="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  log="$build/logs/$t.log"
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  dirs=("$work" "$here/corpus/$t")
  [ -d "$here/regressions/$t" ] && dirs+=("$here/regressions/$t")
  echo "fuzz_$t: ${seconds}s"
  "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$(max_len "$t")" \
    ${FUZZ_RUNS:+-runs="$FUZZ_RUNS"} -print_final_stats=1 -artifact_prefix="$artifacts/" "${dirs[@]}" >"$log" 2>&1
  rc=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  took="$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\2/p' "$log" | tail -1)"
  summary+=("fuzz_$t: ${runs:-?} executions in ${took:-?} s, exit $rc")
  if [ "$rc" -ne 0 ]; then
    failed+=("$t")
    echo "fuzz_$t FOUND A PROBLEM (exit $rc); log: $log" >&2
    grep -E 'ERROR|runtime error|FUZZ_CHECK|uncaught|deadly|leak|Test unit written' "$log" | head -20 >&2
  fi
done

printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -ne 0 ]; then
  echo "findings in: ${failed[*]}" >&2
  exit 1
fi
