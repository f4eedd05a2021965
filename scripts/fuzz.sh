#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz (ASan + UBSan) and runs each for
# SECONDS seconds on a corpus kept in build/fuzz-corpus/, seeded from
# tests/fuzz/corpus/. Afterwards the gist corpus is replayed with a worker pool
# of 1 and of 2 and the two sets of results must be identical.
#
#   bash scripts/fuzz.sh [SECONDS] [HARNESS...]     e.g. bash scripts/fuzz.sh 600 fuzz_gist
#
# A finding stops the script with the harness's report; the input is saved
# as build/fuzz/artifacts/<harness>-crash-* (replay: build/fuzz/<harness> FILE).
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-30}
shift || true
BUILD=${FUZZ_BUILD:-build/fuzz}
CORPUS=${FUZZ_CORPUS:-build/fuzz-corpus}
JOBS=${JOBS:-2}
PY=${PYTHON:-python3}

# Debian's default clang 14 cannot use libstdc++ 12's <expected> (it lacks
# conditionally trivial special members), so the core needs clang 19, which
# the same Debian release ships.
CLANG=${CLANG:-clang++-19}
if ! command -v "$CLANG" >/dev/null || [ ! -e /usr/lib/llvm-19/lib/clang/19/lib/linux/libclang_rt.fuzzer-x86_64.a ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang-19 libclang-rt-19-dev >/dev/null
fi

# Runs a command into a log; on failure prints the log's tail and stops.
run_logged() {  # log file, command...
  local log=$1
  shift
  if ! "$@" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "FAILED: $* (full log: $log)"
    exit 1
  fi
}

# The core and the harnesses are both instrumented for coverage; only the
# harnesses link libFuzzer's main.
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_BUILD_FUZZ=ON \
      -DCMAKE_CXX_COMPILER="$CLANG" -DTARVEX_SANITIZE="address,undefined" \
      -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link -Wno-unknown-pragmas -Wno-unknown-warning-option" \
      -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
mkdir -p "$BUILD/artifacts"
run_logged "$BUILD/build.log" cmake --build "$BUILD" -j "$JOBS"

if [ $# -gt 0 ]; then
  harnesses=("$@")
else
  harnesses=()
  for src in tests/fuzz/fuzz_*.cpp; do harnesses+=("$(basename "$src" .cpp)"); done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

for h in "${harnesses[@]}"; do
  mkdir -p "$CORPUS/$h"
  seeds=()
  [ -d "tests/fuzz/corpus/$h" ] && seeds=("tests/fuzz/corpus/$h")
  run_logged "$BUILD/$h.log" "$BUILD/$h" -max_total_time="$SECONDS_EACH" -timeout=30 \
      -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$h-" \
      "$CORPUS/$h" "${seeds[@]}"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$BUILD/$h.log")
  echo "$h: ${runs:-?} inputs in ${SECONDS_EACH}s, $(find "$CORPUS/$h" -type f | wc -l) kept in $CORPUS/$h, no findings"
done

# The pool's size is fixed per process: replay every gist input once with one
# worker and once with two, and compare the result digests.
if [[ " ${harnesses[*]} " == *" fuzz_gist "* ]]; then
  inputs=("$CORPUS/fuzz_gist")
  [ -d tests/fuzz/corpus/fuzz_gist ] && inputs+=(tests/fuzz/corpus/fuzz_gist)
  for workers in 1 2; do
    digest="$BUILD/gist-digest-$workers.txt"
    rm -f "$digest"
    find "${inputs[@]}" -type f -print0 |
      RAYON_NUM_THREADS=$workers TARVEX_FUZZ_DIGEST="$digest" \
      xargs -0 -r -n 256 "$BUILD/fuzz_gist" >"$BUILD/gist-replay-$workers.log" 2>&1 || {
        tail -n 60 "$BUILD/gist-replay-$workers.log"
        echo "FAILED: replaying the gist corpus with $workers worker(s)"
        exit 1
      }
    sort -u -o "$digest" "$digest"
  done
  if ! cmp -s "$BUILD/gist-digest-1.txt" "$BUILD/gist-digest-2.txt"; then
    diff "$BUILD/gist-digest-1.txt" "$BUILD/gist-digest-2.txt" | head -20
    echo "FAILED: gist results differ between a pool of 1 and of 2 workers (input hash, result hash)"
    exit 1
  fi
  echo "fuzz_gist replay: $(wc -l <"$BUILD/gist-digest-1.txt") inputs give the same results with 1 and 2 workers"
fi
