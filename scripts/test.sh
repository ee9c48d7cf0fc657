#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the core tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, then every test of the
# release build (its ctest line closes the run).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
tl_install_packages

jobs=$(nproc)

echo "== sanitizer build (ASan + UBSan) of the core tests"
cmake --preset asan >/dev/null
cmake --build --preset asan --target tl_core_tests -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan -L core --output-on-failure --no-tests=error -j "$jobs"

echo "== release build, every test"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
ctest --test-dir build/release --output-on-failure --no-tests=error -j "$jobs"
