#!/usr/bin/env bash
# Run every benchmark. $1: the python interpreter the Python-level benches
# will use (the map bench is pure C++ and ignores it).
set -euo pipefail
if [ $# -lt 1 ]; then
    echo "usage: $0 PYTHON" >&2
    exit 2
fi
PYTHON=$1
export PYTHON
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$here/run_map_bench.sh"
"$PYTHON" "$here/pickle_bench.py"
"$PYTHON" "$here/tarn_pickle_bench.py"
"$PYTHON" "$here/hooks_bench.py"
"$PYTHON" "$here/size_guard_bench.py"
"$PYTHON" "$here/recorder_bench.py"
"$PYTHON" "$here/show_bench.py"
"$PYTHON" "$here/memory_bench.py"
"$PYTHON" "$here/library_driver_bench.py"
"$PYTHON" "$here/store_bench.py"
"$PYTHON" "$here/tracing_bench.py"
