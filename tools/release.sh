#!/usr/bin/env bash
# Makes a release: builds the Linux, Windows and web targets with one viewer
# payload and puts their packages, the single-file page and SHA256SUMS into
# dist/. Without --payload the release carries the repository's placeholder
# and says so in every file name. The same commit and payload give the same
# bytes, wherever and whenever it runs (tools/check-reproducible.sh).
# Usage: tools/release.sh [--payload FILE] [--jobs N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
payload=$root/app/payload/ZuvOrudad5
jobs=2
while [ $# -gt 0 ]; do
  case $1 in
    --payload) payload=$(realpath "${2:?--payload needs a file}"); shift 2 ;;
    --jobs) jobs=${2:?--jobs needs a number}; shift 2 ;;
    *) echo "Usage: tools/release.sh [--payload FILE] [--jobs N]" >&2; exit 2 ;;
  esac
done
[ -f "$payload" ] || { echo "release: no such payload file: $payload" >&2; exit 2; }
cd "$root"

# What the builder's session would otherwise leave in the outputs: the
# time (the commit's instead), the umask (folder modes), the zone and the
# language (dates and sort orders).
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C.UTF-8
umask 022
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  echo "release: note: the work tree has uncommitted changes; the release is not that of commit $(git rev-parse --short HEAD)" >&2
fi

tools/ensure-packages.sh
tools/fetch-web-zlib.sh

# From scratch: nothing an earlier build left (a cached option, an object
# of another payload) reaches a release.
out=build/release
rm -rf "$out"
mkdir -p "$out"
started=$SECONDS
for target in linux windows web; do
  preset=release-$target
  echo "== $preset"
  log=$out/$target
  # The payload is named every time: the build folder's cache keeps an earlier one.
  cmake --preset "$preset" -DNVXFIX_PAYLOAD="$payload" >"$log-configure.log" 2>&1 ||
    { cat "$log-configure.log"; exit 1; }
  grep -m1 'Viewer payload' "$log-configure.log" | sed 's/^-- /   /'
  cmake --build --preset "$preset" -j "$jobs" >"$log-build.log" 2>&1 ||
    { grep -E 'error|Error' -A5 "$log-build.log" | head -60; exit 1; }
  cpack --preset "$preset" >"$log-package.log" 2>&1 || { cat "$log-package.log"; exit 1; }
done

rm -rf dist
mkdir dist
cp "$out"/packages/*.deb "$out"/packages/*.tar.gz "$out"/packages/*.zip dist/
# The page in one file, to open from the disk, also on its own.
web_zip=$(cd dist && ls ./*-web.zip)
cp "$out/web/nvxfix.html" "dist/${web_zip%-web.zip}.html"
(cd dist && sha256sum -- * >SHA256SUMS)
echo "== dist/ ($((SECONDS - started)) s)"
(cd dist && ls -l --time-style=+ -- * | awk '{print "   " $5 "\t" $NF}')
