#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the core tests and
# the fuzz regressions under AddressSanitizer and UndefinedBehaviorSanitizer,
# the concurrency stress test under ThreadSanitizer, a short run of every
# fuzz target, then every test of the release build (its ctest line closes
# the run).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
tl_install_packages

jobs=$(nproc)

echo "== sanitizer build (ASan + UBSan) of the core tests"
cmake --preset asan >/dev/null
cmake --build --preset asan --target tl_core_tests tl_fuzz_replays -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan -L core --output-on-failure --no-tests=error -j "$jobs"

echo "== ThreadSanitizer build of the concurrency stress test"
cmake --preset tsan >/dev/null
cmake --build --preset tsan --target tl_stress_tests -j "$jobs"
# Any race or lock-order inversion ends the run with TSan's exit code.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan -L stress --output-on-failure --no-tests=error

echo "== fuzz targets, 30 s each on their seeds and regressions"
scripts/fuzz.sh 30

echo "== release build, every test"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
ctest --test-dir build/release --output-on-failure --no-tests=error -j "$jobs"
