#!/usr/bin/env bash
# Builds the web page (build/web/) with Debian's emscripten. zlib comes from
# Debian's source package: emscripten's own port would be downloaded.
# Usage: build-web.sh [jobs]
set -eu
cd "$(dirname "$0")/.."
jobs=${1:-2}
tools/fetch-web-zlib.sh

# The optimiser of Debian's emscripten needs the system's node modules.
export NODE_PATH=/usr/share/nodejs
echo "== web: configure and build"
# A second page around a signed viewer, for the tests, where the Mac
# programs can be linked here.
signed=build/web-deps/signed/ZuvOrudad5
mkdir -p "$(dirname "$signed")"
python3 tests/e2e/signed_show.py --payload "$signed" >/dev/null 2>&1 || signed=
cmake --preset web -DNVXFIX_WEB_SIGNED_PAYLOAD="$signed" >build/web-configure.log 2>&1 || {
  cat build/web-configure.log; exit 1; }
cmake --build --preset web -j "$jobs" >build/web-build.log 2>&1 || {
  grep -E 'error|Error' -A5 build/web-build.log | head -60; exit 1; }
ls build/web
