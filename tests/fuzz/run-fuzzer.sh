#!/usr/bin/env bash
# Builds the ZIP directory fuzzer with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it at low priority for the given
# number of seconds (default 600) over a working copy of the corpus.
# Findings land in build/fuzz/findings/; fixed ones go into corpus/ as
# crash reproducers, where the ordinary tests replay them.
set -eu
cd "$(dirname "$0")/../.."
seconds=${1:-600}
build=build/fuzz
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNVXFIX_SANITIZE=ON -DNVXFIX_FUZZ=ON >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 2; }
cmake --build "$build" --target nvx_fuzz_zip -j2
mkdir -p "$build/corpus" "$build/findings"
cp -n tests/fuzz/corpus/* "$build/corpus/"
exec nice -n 19 "$build/nvx_fuzz_zip" "$build/corpus" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
  -rss_limit_mb=2048 -artifact_prefix="$build/findings/" -print_final_stats=1
