#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
#   scripts/deps.sh          what building, testing and running need
#   scripts/deps.sh --fuzz   also clang and its fuzzer runtime
#   scripts/deps.sh --windows  only what the Windows build and its tests under wine need
set -euo pipefail

packages=(build-essential cmake ninja-build g++ pkg-config qt6-base-dev libsimpleini-dev
          libgtest-dev libcli11-dev xvfb xauth dpkg-dev ser2net debhelper lintian systemd
          libqt6svg6 prometheus-node-exporter nlohmann-json3-dev libssl-dev openssl)
[ "${1:-}" = "--fuzz" ] && packages+=(clang libclang-rt-14-dev)
# mingw-w64 with posix threads (std::thread), GoogleTest's sources to build it with, wine.
[ "${1:-}" = "--windows" ] && packages=(cmake ninja-build g++-mingw-w64-x86-64-posix
                                         libsimpleini-dev libcli11-dev googletest wine wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root, or: sudo apt-get install ${missing[*]})" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
