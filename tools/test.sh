#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer (then the fuzz targets, the ThreadSanitizer tree
# and the package's Release tree that tests use), and runs every test. Exit
# status is CTest's.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTROW_TEST_BUILD:-$top/build-test}

bash "$top/tools/setup.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKESTROW_SANITIZE=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
cmake --build "$build" -j "$(nproc)" --target kestrow_side_builds

# Any sanitizer report fails the run; leaks are reported by ASan at exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build"
# Twice as many tests as cores: most of them stream in real time and wait
# more than they compute; a fuzzer, which keeps a core busy, takes two places.
ctest --output-on-failure --timeout 600 -j "$(( 2 * $(nproc) ))"
