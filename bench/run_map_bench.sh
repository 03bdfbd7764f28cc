#!/usr/bin/env bash
# Build and run the map micro-benchmark. Extra arguments go to the binary
# (--max-n N, --reps R).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mkdir -p bench/out
g++ -O2 -std=c++20 -I/usr/include bench/map_bench.cpp -o bench/out/map_bench
exec bench/out/map_bench "$@"
