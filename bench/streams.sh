#!/usr/bin/env bash
# Throughput of the deflate, inflate and CRC-32 streams next to raw zlib on
# the same 64 MiB, as ratios. Builds the optimised Linux preset.
set -eu
cd "$(dirname "$0")/.."
# GCC 12 at -O2 reports a false -Wrestrict on std::string concatenation.
cmake --preset linux-release -DCMAKE_CXX_FLAGS=-Wno-error=restrict >/dev/null
cmake --build build/linux-release --target nvx_stream_bench -j2 >/dev/null
exec build/linux-release/nvx_stream_bench
