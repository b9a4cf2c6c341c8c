#!/usr/bin/env bash
# Builds the Debian packages from the source tree as a user does (dpkg-buildpackage) and runs
# lintian on every one; any error or warning fails. The copy in <work>/src keeps its package
# build tree between runs, so a second run rebuilds only what changed.
#   build-packages.sh <source dir> <work dir>
set -euo pipefail
src=$1 work=$2
mkdir -p "$work/src"
rm -f "$work"/*.deb "$work/src/debian/debhelper-build-stamp"
cp -a -u "$src"/{CMakeLists.txt,README.md,src,tools,bench,packaging,debian} "$work/src/"
if ! (cd "$work/src" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -us -uc -b -nc) \
    >"$work/build.log" 2>&1; then
  tail -40 "$work/build.log"
  exit 1
fi
lintian --fail-on error,warning --info "$work"/*.deb
echo "lintian: no error, no warning on $(cd "$work" && echo *.deb)"
