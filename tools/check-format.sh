#!/usr/bin/env bash
# Fails when a C/C++ source differs from what the pinned clang-format makes of
# it, naming each such file. Another version formats some constructs
# differently, so the check runs this exact one (tools/ensure-packages.sh).
# Usage: check-format.sh [FILE...]  (default: every tracked C/C++ source)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
formatter=clang-format-14
version=$("$formatter" --version 2>/dev/null) || {
  echo "$formatter is missing (tools/ensure-packages.sh installs it)" >&2
  exit 2
}
case $version in
  *"clang-format version 14."*) ;;
  *) echo "$formatter reports another version: $version" >&2; exit 2 ;;
esac

if [ $# -eq 0 ]; then
  git -C "$root" rev-parse --git-dir >/dev/null 2>&1 || {
    echo "Not a git checkout: name the files to check" >&2
    exit 2
  }
  cd "$root"
  mapfile -d '' files < <(git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
else
  files=("$@")
fi
[ ${#files[@]} -gt 0 ] || exit 0

# The style file named outright, so a copy outside the tree is held to it too.
report=$("$formatter" --style="file:$root/.clang-format" --dry-run --Werror --ferror-limit=1 -- "${files[@]}" 2>&1)
result=$?
[ $result -eq 0 ] && { echo "$formatter leaves every file as it is (${#files[@]} checked)"; exit 0; }
differ=$(sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: code should be clang-formatted.*/\1/p' <<<"$report" | sort -u)
if [ -z "$differ" ]; then
  echo "$formatter failed:" >&2
  echo "$report" >&2
  exit 2
fi
echo "Formatting differs from $formatter in:"
sed 's/^/  /' <<<"$differ"
echo "Fix with: $formatter -i <file>..."
exit 1
