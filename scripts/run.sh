#!/usr/bin/env bash
# Builds rs232-server and starts it with the given arguments:
#   scripts/run.sh <port 1..99> [<base path>]
# Missing Debian packages are installed first when run as root. The settings file is
# build/src/app/rs232-server.ini, beside the executable.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target rs232-server -j "$(nproc)"
exec build/src/app/rs232-server "$@"
