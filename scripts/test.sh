#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (packages, configure, build) and runs every test.
#   scripts/test.sh              Linux build in build/, Windows build in build-win/ under wine
#   scripts/test.sh --linux      only the Linux part
#   scripts/test.sh --windows    only the Windows part (it needs the Linux line tools: builds them)
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#                                (Linux only)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-all}
bash scripts/deps.sh

build=build
flags=()
if [ "$mode" = "--sanitize" ]; then
  build=build-asan
  flags=(-DRS232_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
fi

cmake -S . -B "$build" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
# Tests wait on the line far more than they compute: run more of them than there are cores.
jobs=$(( $(nproc) * 3 ))
case "$mode" in
  --sanitize|--linux) ctest --test-dir "$build" --output-on-failure -j "$jobs" -LE windows ;;
  --windows)
    bash scripts/build-windows.sh --test
    ctest --test-dir "$build" --output-on-failure -j "$jobs" -L windows ;;
  *)
    bash scripts/build-windows.sh
    ctest --test-dir build-win --output-on-failure -j "$jobs"
    ctest --test-dir "$build" --output-on-failure -j "$jobs" ;;
esac
