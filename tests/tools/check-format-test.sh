#!/usr/bin/env bash
# The format check passes a clean copy of a source and fails, naming it, once
# a difference is planted in the copy.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy="$work/Clean.h"
cp "$root/lib/Archivers/Zip/ZipStructure.h" "$copy"
"$root/tools/check-format.sh" "$copy" || { echo "FAIL: the clean copy was reported"; exit 1; }
sed -i '0,/^    /s//  /' "$copy"
if out=$("$root/tools/check-format.sh" "$copy"); then
  echo "FAIL: the planted difference passed"; exit 1
fi
grep -qF "$copy" <<<"$out" || { echo "FAIL: the report does not name the file: $out"; exit 1; }
echo "ok"
