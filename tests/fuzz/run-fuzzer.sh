#!/usr/bin/env bash
# Builds a ZIP fuzzer with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it at low priority for the given
# number of seconds (default 600) over a working copy of the corpus, so that
# the inputs it adds stay in build/ and the source tree stays clean.
# Usage: run-fuzzer.sh [SECONDS] [zip|extract|save]  (zip: the directory)
# Exit status: 0 nothing found; 1 a finding (crash, leak, sanitizer report,
# timeout), kept in build/fuzz/findings-<target>/ and named; 77 clang's
# libFuzzer support is missing (nothing run); 2 otherwise.
# Fixed findings go into corpus/ as reproducers, which the ordinary tests replay.
set -eu
cd "$(dirname "$0")/../.."
seconds=${1:-600}
target=${2:-zip}
build=build/fuzz
mkdir -p "$build"

# A fuzzer that links says that clang and its fuzzer runtime are there.
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' >"$build/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$build/probe.cpp" -o "$build/probe" >"$build/probe.log" 2>&1; then
  echo "clang's libFuzzer support is missing (clang, libclang-rt-dev); not fuzzing. See $build/probe.log."
  exit 77
fi

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNVXFIX_SANITIZE=ON -DNVXFIX_FUZZ=ON -DNVXFIX_WERROR=OFF >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 2; }
cmake --build "$build" --target "nvx_fuzz_$target" -j2 || exit 2
corpus="$build/corpus-$target" findings="$build/findings-$target"
mkdir -p "$corpus" "$findings"
cp -n tests/fuzz/corpus/* "$corpus/"
started="$build/started-$target"
touch "$started"
status=0
nice -n 19 "$build/nvx_fuzz_$target" "$corpus" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
  -rss_limit_mb=2048 -artifact_prefix="$findings/" -print_final_stats=1 || status=$?
[ $status -eq 0 ] && exit 0
kept=$(find "$findings" -type f -newer "$started")
if [ -z "$kept" ]; then
  echo "nvx_fuzz_$target failed with status $status and wrote no reproducer"
  exit 2
fi
echo "nvx_fuzz_$target found a fault; reproducer (run \"$build/nvx_fuzz_$target <file>\" to replay):"
echo "$kept"
exit 1
