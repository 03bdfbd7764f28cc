"""Reading a large recording: time and peak memory of show, show --json,
show --function and stats on a generated file.

    python bench/show_bench.py [--gigabytes G] [--keep]

The file (default ~1 GB) holds call records made by the real serializer:
most of them carry a ~100 KB argument, a few are calls of a rare function.
Each command runs in a fresh interpreter with its output thrown away; the
peak memory is the child's high-water resident set (VmHWM). The file is deleted
at the end unless --keep is given.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TARGET_MB = 100
STATS_S = 5.0


def make_records():
    from tarnwick_collector.configs.collector_settings import CollectorSettings
    from tarnwick_collector.data_collection.invocations import (
        ExternalFunctionCall, ExternalFunctionMetadata, UserFunctionCall, UserFunctionMetadata)

    ser = CollectorSettings.serializer

    def record(name, arg, externals):
        meta = UserFunctionMetadata("bench", name, "h", "/bench.py", ("json",), None)
        call = UserFunctionCall(meta, (arg, {"n": len(arg), "tags": ["a", "b"]}), {"flag": True},
                                {})
        call.globals = ser.serialize({"LIMIT": 10})
        call.add_execption(type(None))
        call.add_return_value([len(arg), arg[:64]])
        ext_meta = ExternalFunctionMetadata("json", "json.dumps", False, False)
        for i in range(externals):
            ext = ExternalFunctionCall(ext_meta)
            ext.add_execption(type(None))
            ext.add_return_value(str(i))
            call.external_calls.append(ext)
        call.serialize_post_run_args_and_kwargs()
        return ser.serialize(call)

    big = {f"bench.worker_{i}": record(f"bench.worker_{i}", "x" * 100_000, 3) for i in range(20)}
    rare = record("bench.rare", "r" * 200, 1)
    return big, rare


def generate(path, gigabytes):
    import sqlite3

    from tarnwick_collector.recording import store

    big, rare = make_records()
    size = len(next(iter(big.values())))
    rows = int(gigabytes * (1 << 30) / size)
    store.create(path, {"script": "bench.py", "python": sys.version.split()[0]})
    conn = sqlite3.connect(path)
    conn.execute("PRAGMA journal_mode = OFF")
    conn.execute("PRAGMA synchronous = OFF")
    names = sorted(big)
    t0 = time.time()

    def batch(start, count):
        for i in range(start, start + count):
            if i % 2500 == 1000:
                yield "bench.rare", "MainThread", t0 + i * 1e-3, 1, rare, len(rare)
            name = names[i % len(names)]
            yield name, f"Thread-{i % 4}", t0 + i * 1e-3, 3, big[name], len(big[name])

    step = 1000
    for start in range(0, rows, step):
        conn.executemany("INSERT INTO calls (function, thread, sent, external_calls, data, size) "
                         "VALUES (?, ?, ?, ?, ?, ?)", batch(start, min(step, rows - start)))
        conn.executemany("INSERT INTO metrics (kind, detail, thread, sent, data) "
                         "VALUES (?, NULL, 'MainThread', ?, x'00')",
                         [("CollectionSuccess", t0)] * min(step, rows - start))
    conn.commit()
    calls = conn.execute("SELECT COUNT(*) FROM calls").fetchone()[0]
    summary = {"calls": calls, "external_calls": 3 * calls, "dropped": {}, "lost_calls": 0,
               "lost_metrics": 0, "seconds": 1.0, "metrics": {}}
    conn.execute("INSERT OR REPLACE INTO meta VALUES ('summary', ?)", (json.dumps(summary),))
    conn.commit()
    conn.execute("PRAGMA journal_mode = DELETE")
    conn.close()
    store.add_indexes(path)
    return calls


# The child reports its own peak: VmHWM belongs to the address space made at
# exec, while ru_maxrss would also count the parent's at the fork.
PEAK = """
import sys
from tarnwick_collector.cli import main
try:
    status = main(sys.argv[2:])
finally:
    sys.stdout.flush()
    with open("/proc/self/status") as f:
        peak = [ln.split()[1] for ln in f if ln.startswith("VmHWM:")][0]
    with open(sys.argv[1], "w") as f:
        f.write(peak)
sys.exit(status)
"""


def measure(args):
    with tempfile.NamedTemporaryFile("r", suffix=".peak") as report:
        cmd = [sys.executable, "-c", PEAK, report.name, *args]
        t0 = time.perf_counter()
        with open(os.devnull, "wb") as sink:
            proc = subprocess.run(cmd, stdout=sink, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - t0
        if proc.returncode != 0:
            raise SystemExit(f"failed: {' '.join(args)}\n{proc.stderr.decode()[-2000:]}")
        return seconds, int(report.read()) / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--gigabytes", type=float, default=1.0)
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--dir", default=None, help="where the file goes (default: a temp dir)")
    opts = parser.parse_args()
    folder = opts.dir or tempfile.mkdtemp(prefix="tarnwick-show-bench-")
    path = os.path.join(folder, "big.recording.db")
    try:
        t0 = time.perf_counter()
        calls = generate(path, opts.gigabytes)
        made = time.perf_counter() - t0
        size = os.path.getsize(path)
        print(f"show_bench: {calls} calls, {size / (1 << 20):.0f} MB, generated in {made:.1f}s")
        print(f"{'command':<24}{'time':>10}{'peak':>12}")
        failed = []
        for title, args in (("show", ["show", path]),
                            ("show --json", ["show", path, "--json"]),
                            ("show --function rare", ["show", path, "--function", "rare"]),
                            ("stats", ["stats", path]),
                            ("stats --json", ["stats", path, "--json"])):
            seconds, peak = measure(args)
            print(f"{title:<24}{seconds:>9.2f}s{peak:>9.1f} MB")
            if peak >= TARGET_MB:
                failed.append(f"{title}: peak {peak:.0f} MB >= {TARGET_MB} MB")
            if title.startswith("stats") and seconds >= STATS_S * opts.gigabytes / 2:
                failed.append(f"{title}: {seconds:.1f}s over the {STATS_S}s-per-2GB target")
        for line in failed:
            print("show_bench: target missed:", line)
    finally:
        if not opts.keep:
            for suffix in ("", "-wal", "-shm", "-journal"):
                try:
                    os.unlink(path + suffix)
                except FileNotFoundError:
                    pass
            if opts.dir is None:
                os.rmdir(folder)


if __name__ == "__main__":
    main()
