#!/usr/bin/env bash
# Unpacks Debian's zlib source into build/web-deps/zlib for the web builds
# (emscripten's own port would be downloaded); does nothing when it is there.
set -eu
cd "$(dirname "$0")/.."
deps=$PWD/build/web-deps
zlib=$deps/zlib
[ -f "$zlib/zlib.h" ] && exit 0

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
