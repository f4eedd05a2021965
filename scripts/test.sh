#!/usr/bin/env bash
# Installs everything the tests need and runs every test: the C++ core tests
# (plain, plain with the baseline kernels and, where the processor has
# AVX-512, with the AVX2 ones, AddressSanitizer +
# UndefinedBehaviorSanitizer, ThreadSanitizer) and the Python tests against
# the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
missing=()
for pkg in libgtest-dev cmake ninja-build; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PY=${PYTHON:-python3}
$PY -m pip install -q --disable-pip-version-check ".[test,demo]"

JOBS=${JOBS:-2}
run_core_tests() {  # build dir, sanitizer list, extra CMake arguments
  cmake -S . -B "$1" -G Ninja -DTARVEX_BUILD_TESTS=ON -DTARVEX_SANITIZE="$2" "${@:3}" \
        -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
  cmake --build "$1" -j "$JOBS"
  ctest --test-dir "$1" --output-on-failure -j "$JOBS"
}

echo "== C++ core tests"
run_core_tests build/tests ""
echo "== C++ core tests with every kernel family forced to the baseline build"
TARVEX_FORCE_BUILD=baseline ctest --test-dir build/tests --output-on-failure -j "$JOBS"
if grep -qw avx512f /proc/cpuinfo 2>/dev/null; then
  # The 256-bit builds that a processor without AVX-512 runs.
  echo "== C++ core tests with every kernel family forced to the AVX2 build"
  TARVEX_FORCE_BUILD=avx2 ctest --test-dir build/tests --output-on-failure -j "$JOBS"
fi
echo "== C++ core tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# Beyond the defaults: stack use after return and static initialisation order.
# -O1, as the sanitizers advise, builds in about half the time of -O3.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  run_core_tests build/asan "address,undefined" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
                 "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g -DNDEBUG"
echo "== C++ core tests under ThreadSanitizer"
run_core_tests build/tsan "thread"

echo "== Python tests"
$PY -m pytest -q tests/python
echo "== Python tests with every kernel family forced to the baseline build"
# The same pipeline a processor without AVX2 runs; the soak is shortened.
TARVEX_FORCE_BUILD=baseline TARVEX_SOAK_SECONDS=${TARVEX_SOAK_SECONDS:-10} $PY -m pytest -q tests/python

echo "== Fuzzing (30 s per harness; scripts/fuzz.sh SECONDS for longer runs)"
bash scripts/fuzz.sh 30
