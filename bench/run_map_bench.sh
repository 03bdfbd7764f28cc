#!/usr/bin/env bash
# Build and run the map micro-benchmark. Extra arguments go to the binary
# (--max-n N, --reps R).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mkdir -p bench/out
py_include=$("${PYTHON:-python3}" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
g++ -O2 -std=c++20 -I"$py_include" -Isrc/tarnwick_collector/data_collection/c_extension \
    bench/map_bench.cpp -o bench/out/map_bench
exec bench/out/map_bench "$@"
