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
cmake --preset web >build/web-configure.log 2>&1 || { cat build/web-configure.log; exit 1; }
cmake --build --preset web -j "$jobs" >build/web-build.log 2>&1 || {
  grep -E 'error|Error' -A5 build/web-build.log | head -60; exit 1; }
ls build/web
