#!/usr/bin/env bash
# Throughput of the deflate, inflate and CRC-32 streams next to raw zlib on
# the same 64 MiB, as ratios. Builds the optimised Linux preset.
set -eu
cd "$(dirname "$0")/.."
cmake --preset linux-release >/dev/null
cmake --build build/linux-release --target nvx_stream_bench -j2 >/dev/null
exec build/linux-release/nvx_stream_bench
