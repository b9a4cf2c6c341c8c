#!/usr/bin/env bash
# Builds the Windows programs on Debian 12 with mingw-w64 into build-win/ and makes
# build-win/rs232-server-<version>-win64.zip; installs the missing Debian packages when run as
# root (as scripts/deps.sh does).
#   scripts/build-windows.sh          build and zip
#   scripts/build-windows.sh --test   also run the Windows tests under wine
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh --windows

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
      -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" >/dev/null
cmake --build build-win -j "$(nproc)"
ls -l build-win/rs232-server-*-win64.zip

if [ "${1:-}" = "--test" ]; then
  ctest --test-dir build-win --output-on-failure -j "$(nproc)"
fi
