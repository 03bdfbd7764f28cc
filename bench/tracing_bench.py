"""The tracing layer and full recording against the plain program and against
peer tools, in whole-process CPU time.

    python bench/tracing_bench.py [--rounds N] [--quick] [--no-peers] [--python PY]
                                  [--before REV]

Workloads, each run as a fresh interpreter:
  (a) cpu: a script of ~200k small calls of its own functions;
  (b) library: the pure-Python serializer in bench/jsonish encoding and
      decoding 200 object graphs, the library being the recorded project.

Rows: the layer with the hooks off (default cap, and no cap: every call
traced), full recording with the default cap of 1000 calls a function and
without a cap, and the peers. A cell is the CPU time (user + sys) of the process and everything it
started (the recorder's writer processes included), divided by that of the
plain program run just before it: the median of N such paired ratios.
A recording's file from the run before is removed before the next one
starts, outside the time measured: deleting last round's hundreds of
megabytes is not part of recording. With --before REV, the same rows of
full recording are measured for the project as it was at commit REV (built
into a scratch venv build/bench-before-REV-X.Y), in the same rounds, so that
"N times faster than then" is read from one run.
Peers (VizTracer, coverage) are installed from PyPI into a scratch venv
build/bench-venv-X.Y of their own; they are never dependencies of the
package. cProfile comes with the interpreter.
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile

from workloads import JSONISH, cpu_script, library_script

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PEERS = ("viztracer", "coverage")

CPU_ROUNDS = 33600  # 6 calls a round: ~202k calls

# Upper bounds on the slowdown, from the layer's targets; None: not bounded.
LAYER_TARGET = {"cpu": 8.0, "library": 4.0}
# Full recording without the cap, before the native layer; the target is 3x faster.
BEFORE_NO_CAP = {"cpu": 586.0, "library": 170.0}


def cpu_seconds(cmd, cwd, env=None):
    """User + sys seconds of ``cmd`` and its descendants; stderr kept for errors."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    proc = subprocess.run(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if proc.returncode != 0:
        raise RuntimeError(f"failed ({proc.returncode}): {' '.join(cmd)}\n"
                           f"{proc.stderr.decode(errors='replace')[-3000:]}")
    used = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return used, proc.stderr.decode(errors="replace")


def scratch_venv(py, name):
    """The interpreter of build/NAME-X.Y, a venv made from ``py``'s base
    interpreter (the project's venv packages stay out)."""
    ver = subprocess.check_output(
        [py, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"], text=True).strip()
    venv = os.path.join(ROOT, "build", f"{name}-{ver}")
    vpy = os.path.join(venv, "bin", "python")
    if not os.path.exists(vpy):
        base = subprocess.check_output(
            [py, "-c", "import sys; print(getattr(sys, '_base_executable', sys.executable))"],
            text=True).strip()
        subprocess.run([base, "-m", "venv", venv], check=True)
    return vpy


def peer_python(py):
    """The scratch venv's interpreter with the peers installed; None when
    they cannot be had (no registry reachable)."""
    try:
        vpy = scratch_venv(py, "bench-venv")
        missing = subprocess.run(
            [vpy, "-c", "import viztracer, coverage"], capture_output=True).returncode != 0
        if missing:
            subprocess.run([vpy, "-m", "pip", "install", "-q", *PEERS], check=True)
    except (OSError, subprocess.CalledProcessError) as exc:
        print(f"peers not available ({exc}); their columns are left empty", file=sys.stderr)
        return None
    return vpy


def before_python(py, rev):
    """An interpreter with the project as it was at commit ``rev`` installed."""
    full = subprocess.check_output(["git", "-C", ROOT, "rev-parse", rev], text=True).strip()
    tag = full[:10]
    src = os.path.join(ROOT, "build", f"before-src-{tag}")
    vpy = scratch_venv(py, f"bench-before-{tag}")
    built = os.path.join(os.path.dirname(os.path.dirname(vpy)), ".built")
    if not os.path.exists(built):
        if not os.path.isdir(src):
            os.makedirs(src)
            archive = subprocess.run(["git", "-C", ROOT, "archive", full], check=True,
                                     stdout=subprocess.PIPE).stdout
            subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
        subprocess.run([vpy, "-m", "pip", "install", "-q", "--upgrade", "pip"], check=True)
        subprocess.run([vpy, "-m", "pip", "install", "-q", "-r",
                        os.path.join(src, "requirements-dev.txt")], check=True)
        subprocess.run([vpy, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
                        "-C", f"build-dir={os.path.join(src, 'build')}", src], check=True)
        open(built, "w").close()
    return vpy, tag[:7]


def variants(py, vpy, script, project, tmp, before=None):
    rec = [py, "-m", "tarnwick_collector", "record", "--project", project]
    out = os.path.join(tmp, "rec.db")
    rows = [
        ("layer alone (--no-hooks)", rec + ["--no-hooks", script]),
        ("layer alone, no cap", rec + ["--no-hooks", "--max-calls", "0", script]),
        ("record (cap 1000)", rec + ["--out", out, script]),
        ("record --max-calls 0", rec + ["--out", out, "--max-calls", "0", script]),
    ]
    if before is not None:
        bpy, tag = before
        old = [bpy, "-m", "tarnwick_collector", "record", "--project", project, "--out", out]
        rows += [(f"{tag}: record", old + [script]),
                 (f"{tag}: record --max-calls 0", old + ["--max-calls", "0", script])]
    if vpy is not None:
        viz = [vpy, "-m", "viztracer", "--quiet", "-o", os.path.join(tmp, "viz.json")]
        rows += [
            ("VizTracer, args + retval", viz + ["--log_func_args", "--log_func_retval", script]),
            ("VizTracer, plain", viz + [script]),
            ("coverage run", [vpy, "-m", "coverage", "run",
                              f"--data-file={os.path.join(tmp, 'cov')}", script]),
        ]
    rows.append(("cProfile", [py, "-m", "cProfile", "-o", os.path.join(tmp, "prof"), script]))
    return rows


def calls_traced(stderr):
    # "tarnwick: hooks off, traced N calls ..."
    for line in stderr.splitlines():
        if "hooks off, traced " in line:
            return int(line.split("traced ", 1)[1].split()[0])
    return None


def remove_recording(tmp):
    for suffix in ("", "-wal", "-shm", "-journal"):
        try:
            os.unlink(os.path.join(tmp, "rec.db" + suffix))
        except FileNotFoundError:
            pass


def measure(name, py, vpy, script, project, rounds, tmp, before=None):
    cmds = variants(py, vpy, script, project, tmp, before)
    ratios = {label: [] for label, _ in cmds}
    plain_times = []
    traced = None
    for _ in range(rounds):
        for label, cmd in cmds:
            remove_recording(tmp)
            plain, _ = cpu_seconds([py, script], tmp)
            plain_times.append(plain)
            used, err = cpu_seconds(cmd, tmp)
            ratios[label].append(used / plain)
            if label == "layer alone, no cap" and traced is None:
                traced = calls_traced(err)
    return {label: statistics.median(r) for label, r in ratios.items()}, \
        statistics.median(plain_times), traced


def verdicts(name, cells):
    out = []
    bound = LAYER_TARGET[name]
    for label in ("layer alone (--no-hooks)", "layer alone, no cap"):
        layer = cells[label]
        out.append(f"{label} {layer:.1f}x <= {bound:.0f}x: {'ok' if layer <= bound else 'MISSED'}")
    viz = cells.get("VizTracer, args + retval")
    capped = cells["record (cap 1000)"]
    if viz is not None:
        out.append(f"record {capped:.1f}x <= VizTracer args+retval {viz:.1f}x: "
                   f"{'ok' if capped <= viz else 'MISSED'}")
    no_cap = cells["record --max-calls 0"]
    before = BEFORE_NO_CAP[name]
    out.append(f"no cap {no_cap:.1f}x <= {before / 3:.0f}x (3x faster than {before:.0f}x): "
               f"{'ok' if no_cap <= before / 3 else 'MISSED'}")
    for label, then in cells.items():
        if label.endswith(": record --max-calls 0"):
            out.append(f"no cap {no_cap:.1f}x against {then:.1f}x at {label.split(':')[0]} in "
                       f"this run: {then / no_cap:.1f} times faster (3x: "
                       f"{'ok' if then >= 3 * no_cap else 'MISSED'})")
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5, help="paired runs a cell (median)")
    parser.add_argument("--quick", action="store_true", help="one round")
    parser.add_argument("--no-peers", action="store_true", help="without the peer tools")
    parser.add_argument("--python", default=os.environ.get("PYTHON") or sys.executable,
                        help="the interpreter measured (default: $PYTHON, else this one)")
    parser.add_argument("--before", metavar="REV",
                        help="also measure full recording as the project was at commit REV")
    opts = parser.parse_args()
    rounds = 1 if opts.quick else opts.rounds
    py = opts.python
    vpy = None if opts.no_peers else peer_python(py)
    before = before_python(py, opts.before) if opts.before else None
    version = subprocess.check_output([py, "-c", "import sys; print(sys.version.split()[0])"],
                                      text=True).strip()
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        start, _ = cpu_seconds([py, "-c", "pass"], tmp)
        cpu_dir = os.path.join(tmp, "cpu")
        os.makedirs(cpu_dir)
        cpu = os.path.join(cpu_dir, "calls.py")
        with open(cpu, "w") as f:
            f.write(cpu_script(CPU_ROUNDS))
        lib = os.path.join(tmp, "library.py")
        with open(lib, "w") as f:
            f.write(library_script(200))
        for name, script, project in (("cpu", cpu, cpu_dir), ("library", lib, JSONISH)):
            results[name] = measure(name, py, vpy, script, project, rounds, tmp, before)

    print(f"python {version}; whole-process CPU time (user + sys, children included) "
          f"against the plain program, median of {rounds} paired run{'s' * (rounds != 1)}; "
          f"interpreter start-up {start:.3f}s")
    labels = list(results["cpu"][0])
    width = max(len(x) for x in labels)
    head = f"{'':{width}}"
    for name, (_, plain, traced) in results.items():
        head += f"  {name + ' (' + format(plain, '.3f') + 's, ' + str(traced) + ' calls)':>32}"
    print(head)
    for label in labels:
        line = f"{label:{width}}"
        for name in results:
            line += f"  {results[name][0][label]:>31.1f}x"
        print(line)
    print()
    for name, (cells, _, _) in results.items():
        for v in verdicts(name, cells):
            print(f"{name}: {v}")


if __name__ == "__main__":
    main()
