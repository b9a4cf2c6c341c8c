#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (packages, build) and shows the server at work without any
# hardware: a virtual null-modem cable, the server headless on one end, and the client walking
# through all seven requests on the other. Everything lives in a temporary directory.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

bash scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target rs232-server rs232-client rs232-nullmodem

port=${RS232_DEMO_PORT:-9}
work=$(mktemp -d /tmp/rs232-demo-XXXXXX)
mkdir -p "$work/bin" "$work/files"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
client() {
  echo "\$ rs232-client $*"
  "$top/build/tools/client/rs232-client" --device "$work/ttyV1" --baud 115200 "$@" || echo "(exit status $?)"
}

step "A virtual null-modem cable at 115200 baud: $work/ttyV0 <-> $work/ttyV1"
"$top/build/tools/nullmodem/rs232-nullmodem" --a "$work/ttyV0" --b "$work/ttyV1" --baud 115200 \
  > "$work/nullmodem.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "$work/ttyV1" ] && break; sleep 0.1; done

step "The server on port $port, end a of the cable, base path $work/files/"
# The settings file sits beside the executable, so the demo runs its own copy.
cp "$top/build/src/app/rs232-server" "$work/bin/"
printf '[COMPORT]\nBAUDRATE=115200\n[PORTS]\nCOM%d=%s\n' "$port" "$work/ttyV0" \
  > "$work/bin/rs232-server.ini"
(cd "$work" && exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
  "$work/bin/rs232-server" "$port" "$work/files/" > "$work/server.out" 2>&1) &
pids+=($!)
for _ in $(seq 100); do grep -q "Rs232 Server started" "$work/server.out" 2>/dev/null && break; sleep 0.1; done
cat "$work/server.out"

step "The client on end b"
head -c 20000 /dev/urandom > "$work/sample.bin"
client date
client put "$work/sample.bin" sample.bin
client info sample.bin
client get sample.bin "$work/back.bin"
cmp "$work/sample.bin" "$work/back.bin" && echo "downloaded copy is identical"
client cp sample.bin copy.bin
client ls
client rm copy.bin
client info copy.bin

step "What the server logged"
kill -TERM "${pids[1]}"; wait "${pids[1]}" || true
log=$(ls "$work"/files/LOG/LOG"$port"_*.LOG)
cat "$log"
echo
echo "The daily log is $log; backups of uploads are in $work/files/BAK/."
