#!/usr/bin/env bash
# Checks formatting, builds the Linux, Windows and web targets, runs every
# test of each and each fuzzer for a minute (what CI runs).
#   ./test.sh quick   the format check, the manual pages, the Linux build
#                     and its tests not labelled slow: under two minutes on
#                     a build folder up to date, about ten on a fresh one
set -u
cd "$(dirname "$0")"
case "${1:-}" in
  "") mode=all ;;
  quick) mode=quick ;;
  *) echo "usage: $0 [quick]" >&2; exit 2 ;;
esac
if [ $mode = quick ]; then tools/ensure-packages.sh linux-only || exit 2; else tools/ensure-packages.sh || exit 2; fi

jobs=$(nproc 2>/dev/null || echo 2)
status=0
flaky=""

echo "== format"
tools/check-format.sh || status=1

# The pages themselves; ctest's ManPageOptions holds them to --help.
echo "== manual pages"
mandoc -T lint -W warning docs/man/*.1 && echo "mandoc finds nothing to say of $(ls docs/man/*.1 | wc -l) pages" || status=1

# Windows tests share one wine prefix and one resident wineserver, so a
# program start costs a fraction of a second instead of several.
export WINEPREFIX="$PWD/build/wine-prefix" WINEDEBUG=-all
mkdir -p build
start_wine() {
  [ -f "$WINEPREFIX/system.reg" ] || wine wineboot --init >/dev/null 2>&1
  wineserver -p
  # The first program after the server starts leaves wine's background
  # services holding its output pipes; start one whose output goes nowhere,
  # so that no test's reader waits on them.
  timeout 120 wine cmd /c exit >/dev/null 2>&1 </dev/null || true
}
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

# Configures and builds a preset and runs its tests, with any further
# arguments given to ctest; fails when a step fails.
build_and_test() {
  local preset=$1 log="build/$1-ctest.log" result
  shift
  echo "== $preset: configure and build"
  if ! cmake --preset "$preset" >"build/$preset-configure.log" 2>&1; then
    cat "build/$preset-configure.log"; return 1
  fi
  if ! cmake --build --preset "$preset" -j "$jobs" >"build/$preset-build.log" 2>&1; then
    grep -E 'error|Error' -A5 "build/$preset-build.log" | head -60; return 1
  fi
  [ "$preset" = windows ] && start_wine
  echo "== $preset: tests $*"
  ctest --preset "$preset" -j "$jobs" --output-on-failure "$@" >"$log" 2>&1
  result=$?
  # ctest's summary, the failures and their output; whole logs stay in build/.
  sed -n '/tests passed/,$p' "$log"
  grep -A30 -E '\*\*\*Failed|\*\*\*Exception|\*\*\*Timeout' "$log" | head -120
  # Wine now and then fails to start a program at all, so a Windows test
  # that failed is run once more on its own; one that passes then is named
  # in the summary as a failure to watch.
  if [ $result -ne 0 ] && [ "$preset" = windows ] &&
     ctest --preset "$preset" --rerun-failed --output-on-failure >"build/$preset-rerun.log" 2>&1; then
    flaky=$(sed -n '/The following tests FAILED:/,$s/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' "$log" | tr '\n' ' ')
    echo "flaky: ${flaky% } passed only when run again"
    result=0
  fi
  return $result
}

if [ $mode = quick ]; then
  build_and_test linux -LE slow || status=1
  [ $status -eq 0 ] && echo "Quick tests passed (./test.sh runs every test)." || echo "Some steps failed; logs in build/."
  exit $status
fi

# linux-portable: a small second build of the file layer's tests without
# the Linux-only calls, so that their portable fallbacks are run as well.
# linux-tsan: the archive check's workers and the fix under ThreadSanitizer.
for preset in linux linux-tsan linux-portable windows; do
  build_and_test "$preset" || status=1
done

# Each fuzzer for a minute over a copy of its corpus; a finding fails the run
# and its reproducer stays in build/fuzz/.
echo "== fuzzers"
fuzz_start=$SECONDS
for target in zip extract save; do
  tests/fuzz/run-fuzzer.sh 60 "$target" >"build/fuzz-$target.log" 2>&1
  result=$?
  [ $result -eq 77 ] && { cat "build/fuzz-$target.log"; break; }
  if [ $result -ne 0 ]; then
    tail -40 "build/fuzz-$target.log"; status=1
  else
    echo "$target: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "build/fuzz-$target.log" | grep -o '[0-9]*$') inputs, no finding"
  fi
done
echo "fuzzers: $((SECONDS - fuzz_start)) s"

echo "== web: build and browser tests"
tests/web/run-web-tests.sh build/linux/nvxzip || status=1

[ $status -eq 0 ] && echo "All tests passed." || echo "Some steps failed; logs in build/."
[ -z "$flaky" ] || echo "flaky: ${flaky% } passed only when run again (build/windows-ctest.log)"
exit $status
