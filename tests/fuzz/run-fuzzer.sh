#!/usr/bin/env bash
# Builds a ZIP fuzzer with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it at low priority for the given
# number of seconds (default 600) over a working copy of the corpus.
# Usage: run-fuzzer.sh [SECONDS] [zip|extract|save]  (zip: the directory)
# Findings land in build/fuzz/findings/; fixed ones go into corpus/ as
# crash reproducers, where the ordinary tests replay them.
set -eu
cd "$(dirname "$0")/../.."
seconds=${1:-600}
target=${2:-zip}
build=build/fuzz
# gcc is the compiler of record; clang's extra warnings do not stop this build.
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNVXFIX_SANITIZE=ON -DNVXFIX_FUZZ=ON -DNVXFIX_WERROR=OFF >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 2; }
cmake --build "$build" --target "nvx_fuzz_$target" -j2
corpus="$build/corpus-$target" findings="$build/findings-$target"
mkdir -p "$corpus" "$findings"
cp -n tests/fuzz/corpus/* "$corpus/"
exec nice -n 19 "$build/nvx_fuzz_$target" "$corpus" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
  -rss_limit_mb=2048 -artifact_prefix="$findings/" -print_final_stats=1
