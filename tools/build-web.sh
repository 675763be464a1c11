#!/usr/bin/env bash
# Builds the web page (build/web/) with Debian's emscripten. zlib comes from
# Debian's source package: emscripten's own port would be downloaded.
# Usage: build-web.sh [jobs]
set -eu
cd "$(dirname "$0")/.."
jobs=${1:-2}
deps=$PWD/build/web-deps
zlib=$deps/zlib

if [ ! -f "$zlib/zlib.h" ]; then
  echo "== web: zlib source from Debian"
  # A sources list of our own, so that the machine's apt setup is neither
  # needed nor changed (many have no source entries).
  apt_dir=$deps/apt
  mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  . /etc/os-release
  cat >"$apt_dir/parts/debian-src.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: ${VERSION_CODENAME:-bookworm}
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  apt=(apt-get -qq -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/parts"
       -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o Debug::NoLocking=1)
  "${apt[@]}" update
  rm -rf "$deps/source" && mkdir -p "$deps/source"
  # apt checked the files against the signed index; dpkg-source has no
  # keyring to check the .dsc again and would only warn.
  (cd "$deps/source" && "${apt[@]}" source --download-only zlib >/dev/null 2>&1 &&
     dpkg-source -x --skip-patches ./zlib_*.dsc unpacked >/dev/null 2>&1) ||
    { echo "web: could not get zlib's source package" >&2; exit 1; }
  rm -rf "$zlib" && mv "$deps/source/unpacked" "$zlib"
fi

# The optimiser of Debian's emscripten needs the system's node modules.
export NODE_PATH=/usr/share/nodejs
echo "== web: configure and build"
cmake --preset web >build/web-configure.log 2>&1 || { cat build/web-configure.log; exit 1; }
cmake --build --preset web -j "$jobs" >build/web-build.log 2>&1 || {
  grep -E 'error|Error' -A5 build/web-build.log | head -60; exit 1; }
ls build/web
