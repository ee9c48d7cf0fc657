#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the core tests and
# the fuzz regressions under AddressSanitizer and UndefinedBehaviorSanitizer,
# the concurrency stress test under ThreadSanitizer, a short run of every
# fuzz target, then every test of the release build. Each stage says how long the
# run has taken so far.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
tl_install_packages

jobs=$(nproc)
# The sanitizer and release tests share the fixtures the tools make: made once a run.
export TL_FIXTURE_DIR="$PWD/build/fixtures"
# The real documents take a minute to make: made while the first build runs,
# so that no test waits for them (a test whose fixture failed makes it again
# and reports why).
bash tests/fixtures/fixture.sh make_documents.sh "$TL_FIXTURE_DIR/documents" >/dev/null 2>&1 &

echo "== sanitizer build (ASan + UBSan) of the core tests"
cmake --preset asan >/dev/null
cmake --build --preset asan --target tl_core_tests tl_fuzz_replays -j "$jobs"
# One slot more than cores: a test waiting for a fixture another one makes holds a slot idle.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan -L core --output-on-failure --no-tests=error -j "$((jobs + 1))"

echo "   ($SECONDS s so far)"
echo "== ThreadSanitizer build of the concurrency stress test"
cmake --preset tsan >/dev/null
cmake --build --preset tsan --target tl_stress_tests -j "$jobs"
# Any race or lock-order inversion ends the run with TSan's exit code.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan -L stress --output-on-failure --no-tests=error

echo "   ($SECONDS s so far)"
echo "== fuzz targets, 20 s each on their seeds and regressions"
scripts/fuzz.sh 20

echo "   ($SECONDS s so far)"
echo "== release build, every test"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
ctest --test-dir build/release --output-on-failure --no-tests=error -j "$((jobs + 1))"
echo "== every test passed in $SECONDS s"
