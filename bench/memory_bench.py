"""Resident memory over a long recording.

    python bench/memory_bench.py [--calls N] [--every K] [--plain]

A script is recorded with `python -m tarnwick_collector record`: each call
of its loop creates a dict and a list and calls their bound builtin methods
(`d.get`, `bag.append`, `"x".upper()`), and every other call serves a
"request" through a per-call closure holding a payload. Every K calls the
script prints the RSS of its own process (the recorder's main process) and
of its child processes (the writers). Memory should level off: the target
is growth under 20 MB after the first 20k calls.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import textwrap

TARGET_MB = 20.0

APP = '''
def lookups(i):
    d = {"a": i}
    bag = []
    bag.append(d.get("a"))
    return "x".upper() + str(len(bag))


def make_handler(payload):
    def handler(scale):
        return len(payload) * scale
    return handler


def serve(i):
    payload = bytearray(512)
    handler = make_handler(payload)
    return handler(2)
'''

# Module level is not traced; the probe lives outside the project folder.
MAIN = '''
import sys
import probe
from app import work

calls, every = int(sys.argv[1]), int(sys.argv[2])
probe.report(0)
for i in range(1, calls + 1):
    if i % 2:
        work.lookups(i)
    else:
        work.serve(i)
    if i % every == 0:
        probe.report(i)
'''

PROBE = '''
import os


def _rss_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def _children(pid):
    out = []
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/children") as f:
                out.extend(int(c) for c in f.read().split())
    except OSError:
        pass
    return out


def report(calls):
    me = os.getpid()
    writers = [_rss_kb(c) for c in _children(me)]
    print("RSS", calls, _rss_kb(me), " ".join(map(str, writers)), flush=True)
'''


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(textwrap.dedent(text))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=200_000)
    parser.add_argument("--every", type=int, default=20_000)
    parser.add_argument("--plain", action="store_true", help="run without recording")
    opts = parser.parse_args()
    py = sys.executable
    with tempfile.TemporaryDirectory() as tmp:
        write(os.path.join(tmp, "app", "__init__.py"), "")
        write(os.path.join(tmp, "app", "work.py"), APP)
        write(os.path.join(tmp, "probe.py"), PROBE)
        main_py = os.path.join(tmp, "main.py")
        write(main_py, MAIN)
        args = [str(opts.calls), str(opts.every)]
        if opts.plain:
            cmd = [py, main_py, *args]
        else:
            cmd = [py, "-m", "tarnwick_collector", "record", "--out",
                   os.path.join(tmp, "rec.db"), "--project", os.path.join(tmp, "app"),
                   main_py, *args]
        proc = subprocess.run(cmd, cwd=tmp, capture_output=True, text=True)
        if proc.returncode != 0:
            raise SystemExit(f"failed ({proc.returncode}):\n{proc.stderr[-3000:]}")
    rows = []
    for line in proc.stdout.splitlines():
        parts = line.split()
        if parts and parts[0] == "RSS":
            rows.append((int(parts[1]), int(parts[2]) / 1024,
                         [int(p) / 1024 for p in parts[3:]]))
    mode = "plain" if opts.plain else "recorded"
    print(f"python {sys.version.split()[0]}; {mode}; {opts.calls} calls "
          "(bound builtins and per-call closures)")
    print(f"{'calls':>8} {'main MB':>9} {'writers MB':>20}")
    for calls, main_mb, writers in rows:
        shown = " ".join(f"{w:.1f}" for w in writers) or "-"
        print(f"{calls:8d} {main_mb:9.1f} {shown:>20}")
    summary = [line for line in proc.stderr.splitlines() if line.strip()]
    if summary:
        print("summary:", summary[-1])
    base = next((r for r in rows if r[0] >= opts.every), None)
    if base is None or base is rows[-1]:
        return
    last = rows[-1]
    growth = last[1] - base[1]
    writer_growth = max((b - a for a, b in zip(base[2], last[2])), default=0.0)
    verdict = "ok" if growth < TARGET_MB and writer_growth < TARGET_MB else "OVER TARGET"
    print(f"growth after {base[0]} calls: main {growth:+.1f} MB, "
          f"writers {writer_growth:+.1f} MB (target < {TARGET_MB:.0f} MB): {verdict}")


if __name__ == "__main__":
    main()
