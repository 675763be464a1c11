#!/usr/bin/env bash
# Makes the release of the current commit twice, in two fresh clones at
# different paths, one after the other and under another umask and time
# zone, and compares the two dist/ folders byte for byte. Takes as long as
# two releases, so ./test.sh does not run it.
# Usage: tools/check-reproducible.sh [--payload FILE] [--keep]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
release_args=()
keep=false
while [ $# -gt 0 ]; do
  case $1 in
    --payload) release_args+=(--payload "$(realpath "${2:?--payload needs a file}")"); shift 2 ;;
    --keep) keep=true; shift ;;
    *) echo "Usage: tools/check-reproducible.sh [--payload FILE] [--keep]" >&2; exit 2 ;;
  esac
done
commit=$(git -C "$root" rev-parse HEAD)
[ -z "$(git -C "$root" status --porcelain --untracked-files=no)" ] ||
  echo "reproducible: note: uncommitted changes are not in the check; it builds commit ${commit:0:12}" >&2

work=$(mktemp -d "${TMPDIR:-/tmp}/nvxfix-reproducible.XXXXXX")
$keep || trap 'rm -rf "$work"' EXIT
# Paths of different lengths, so that a path that leaks also moves what follows it.
first=$work/a/nvxfix
second=$work/second-place/deeper/src
for tree in "$first" "$second"; do
  git clone -q --no-hardlinks "$root" "$tree"
  git -C "$tree" checkout -q --detach "$commit"
  # Debian's zlib source for the web build, fetched once.
  if [ -f "$root/build/web-deps/zlib/zlib.h" ]; then
    mkdir -p "$tree/build/web-deps"
    cp -a "$root/build/web-deps/zlib" "$tree/build/web-deps/"
  fi
done

status=0
(cd "$first" && tools/release.sh "${release_args[@]}") >"$work/first.log" 2>&1 ||
  { tail -30 "$work/first.log"; echo "reproducible: the first release failed (log: $work/first.log)"; keep=true; exit 1; }
echo "first release: $first/dist"
(cd "$second" && umask 002 && TZ=Pacific/Kiritimati tools/release.sh "${release_args[@]}") >"$work/second.log" 2>&1 ||
  { tail -30 "$work/second.log"; echo "reproducible: the second release failed (log: $work/second.log)"; keep=true; exit 1; }
echo "second release: $second/dist"

cat "$first/dist/SHA256SUMS"
if diff -r "$first/dist" "$second/dist" >"$work/differences" 2>&1; then
  echo "reproducible: both releases of ${commit:0:12} are byte for byte the same ($(ls "$first/dist" | wc -l) files)"
else
  sed 's/^/  /' "$work/differences"
  echo "reproducible: the releases differ; both are kept in $work (diffoscope shows where)"
  keep=true
  status=1
fi
$keep && trap - EXIT && echo "kept: $work"
exit $status
