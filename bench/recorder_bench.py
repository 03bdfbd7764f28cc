"""Wall time of two programs without recording, under the tracing layer with
the hooks switched off, and under full recording, in one run.

    python bench/recorder_bench.py [--rounds N]

(a) examples/bookshop/main.py, a small application;
(b) a CPU-heavy script of plain function calls (written to a temporary folder).

Each cell is the best of N runs of a fresh interpreter, so start-up is
included; the start-up of an empty script is shown for reference.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

from workloads import cpu_script

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
EXAMPLE = os.path.join(ROOT, "examples", "bookshop", "main.py")

CPU_SCRIPT = cpu_script(30000)


def best(cmd, rounds, cwd):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        proc = subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        times.append(time.perf_counter() - t0)
        if proc.returncode != 0:
            raise SystemExit(f"failed: {' '.join(cmd)}\n{proc.stderr.decode()[-2000:]}")
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    opts = parser.parse_args()
    py = sys.executable
    with tempfile.TemporaryDirectory() as tmp:
        cpu = os.path.join(tmp, "cpu", "calls.py")
        os.makedirs(os.path.dirname(cpu))
        with open(cpu, "w") as f:
            f.write(CPU_SCRIPT)
        empty = os.path.join(tmp, "empty.py")
        open(empty, "w").close()
        out = os.path.join(tmp, "rec.db")
        start = best([py, empty], opts.rounds, tmp)
        print(f"python {sys.version.split()[0]}; best of {opts.rounds}; "
              f"interpreter start-up {start:.3f}s")
        print(f"{'program':28} {'plain s':>9} {'hooks off s':>12} {'recorded s':>11} "
              f"{'off x':>7} {'rec x':>7}")
        for name, script in (("(a) bookshop example", EXAMPLE), ("(b) cpu: plain calls", cpu)):
            plain = best([py, script], opts.rounds, tmp)
            hooks_off = best([py, "-m", "tarnwick_collector", "record", "--no-hooks", script],
                             opts.rounds, tmp)
            recorded = best([py, "-m", "tarnwick_collector", "record", "--out", out, script],
                            opts.rounds, tmp)
            print(f"{name:28} {plain:9.3f} {hooks_off:12.3f} {recorded:11.3f} "
                  f"{hooks_off / plain:7.1f} {recorded / plain:7.1f}")


if __name__ == "__main__":
    main()
