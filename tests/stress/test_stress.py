"""Small programs that push the native code hard while they are recorded:
the cyclic collector's finalizers changing the very containers a recorded
call is being measured and written from, many threads, deep recursion,
large and deeply nested values, caches filled past their caps.

Collected only with ``--stress`` (``./run asan`` runs them under the
sanitizers, where a stale read that happens to survive a plain build is a
report). Each program runs plainly and recorded; the recorded run must end
as the plain one does, with the summary line after the program's output.
"""

import subprocess
import sys
import textwrap

import pytest


PY = sys.executable
TIMEOUT = 300


def run(tmp_path, source, *args, record=True):
    script = tmp_path / "app.py"
    script.write_text(textwrap.dedent(source))
    cmd = [PY, "-m", "tarnwick_collector", "record", "--out", str(tmp_path / "rec.db")] \
        if record else [PY]
    return subprocess.run([*cmd, str(script), *args], capture_output=True, text=True,
                          timeout=TIMEOUT, cwd=tmp_path)


def same_ending(tmp_path, source, *args, same_output=True):
    plain = run(tmp_path, source, *args, record=False)
    assert plain.returncode == 0, plain.stderr
    recorded = run(tmp_path, source, *args)
    assert recorded.returncode == 0, recorded.stderr[-3000:]
    *program, last = recorded.stderr.splitlines()
    assert last.startswith("tarnwick: recorded "), recorded.stderr[-3000:]
    if same_output:
        assert recorded.stdout == plain.stdout
    else:
        assert recorded.stdout.splitlines()[-1] == plain.stdout.splitlines()[-1] == "done"
    return recorded


# Every collection finds a new garbage cycle, whose finalizer changes the
# arguments of the call in progress in one way (argv[1]).
FINALIZERS = """
    import gc, sys

    # Built outside the project's files: only the two calls below are
    # recorded, not the thousands of constructors.
    exec(compile(\'\'\'
    class Plain:
        # No attributes: the walk makes each one's __dict__, which allocates
        # past the collector's threshold while it is in the container.
        pass

    def Tagged(i):
        p = Plain()
        p.i, p.tags = i, [i, str(i)]
        return p

    N = 3000
    ITEMS, TABLE, BAG, NESTED = [], {}, set(), []
    HOLDER = Tagged(-1)
    STATE = {"kind": 0, "armed": False}

    def fill():
        ITEMS[:] = [Plain() for i in range(N)]
        TABLE.clear()
        TABLE.update({i: Plain() if i % 2 else Tagged(i) for i in range(N)})
        BAG.clear()
        BAG.update(Plain() for i in range(N))
        NESTED[:] = [[Plain() for i in range(50)] for _ in range(50)]
        HOLDER.__dict__.update({f"a{i}": Plain() for i in range(500)})

    def mutate(kind):
        if kind == 0:
            ITEMS[:] = []
        elif kind == 1:
            del ITEMS[len(ITEMS) // 2:]
        elif kind == 2:
            ITEMS.extend(Plain() for i in range(500))
        elif kind == 3:
            TABLE.clear()
        elif kind == 4:
            for k in list(TABLE)[:200]:
                TABLE[k] = None
            TABLE.update({-i: i for i in range(1, 300)})
        elif kind == 5:
            BAG.clear()
        elif kind == 6:
            for inner in NESTED:
                inner.clear()
            del NESTED[3:]
        else:
            HOLDER.__dict__.clear()

    class Handle:
        def __del__(self):
            if STATE["armed"] and STATE["budget"] > 0:
                STATE["budget"] -= 1
                mutate(STATE["kind"])
                make_garbage()

    def make_garbage():
        h = Handle()
        h.cycle = h
    \'\'\', "<helpers>", "exec"))

    def measure(value):
        return len(value if type(value) is not Plain else vars(value))

    def echo(value):
        return value

    kind = STATE["kind"] = int(sys.argv[1])
    target = [ITEMS] * 3 + [TABLE] * 2 + [BAG, NESTED, HOLDER]
    for round in range(4):
        for call in (measure, echo):
            fill()
            gc.collect()
            STATE["armed"], STATE["budget"] = True, 40
            make_garbage()
            call(target[kind])
            STATE["armed"] = False
            gc.collect()
    print("done")
"""


MUTATIONS = ["list emptied", "list shrunk", "list grown", "dict emptied", "dict values swapped",
             "set emptied", "nested lists emptied", "instance dict emptied"]


@pytest.mark.parametrize("kind", range(len(MUTATIONS)), ids=MUTATIONS)
def test_finalizers_change_the_arguments_being_walked(tmp_path, kind):
    # When the collector runs depends on allocations, the recorder's too, so
    # the program's sums may differ; its ending may not.
    same_ending(tmp_path, FINALIZERS, str(kind), same_output=False)


THREADS = """
    import sys, threading

    sys.setswitchinterval(1e-5)
    SHARED = {"items": list(range(200)), "table": {i: str(i) for i in range(200)}}
    lock = threading.Lock()

    class Job:
        def __init__(self, n):
            self.n = n
            self.parts = [n] * 10

    def work(job, shared):
        return job.n + len(shared["items"]) % 7

    def churn(shared, n):
        # Rebinds and resizes what the other threads' calls are reading.
        shared["items"] = list(range(n % 300))
        shared["table"] = {i: [i] for i in range(n % 150)}
        return len(shared)

    totals = []

    def worker(k):
        total = 0
        for i in range(150):
            total += work(Job(i), SHARED) >= 0
            if i % 10 == k % 10:
                churn(SHARED, i * k)
        with lock:
            totals.append(total)

    rounds = []
    for wave in range(3):
        threads = [threading.Thread(target=worker, args=(k,), name=f"w{wave}-{k}")
                   for k in range(12)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        rounds.append(sum(totals))
    print(rounds)
"""


def test_many_threads_recording_and_changing_shared_values(tmp_path):
    same_ending(tmp_path, THREADS)


DEEP = """
    import sys

    def descend(n, path):
        if n == 0:
            return len(path)
        return descend(n - 1, path + [n])

    def nested(depth):
        value = []
        for _ in range(depth):
            value = [value, {"k": (value,)}]
        return value

    def depth_of(value):
        n = 0
        while value:
            value = value[0]
            n += 1
        return n

    def runaway(n):
        return runaway(n + 1)

    print(descend(300, []))
    for depth in (100, 1000, 20000):
        print(depth_of(nested(depth)))
    try:
        runaway(0)
    except RecursionError:
        print("recursion stopped")
"""


def test_deep_recursion_and_deeply_nested_values(tmp_path):
    same_ending(tmp_path, DEEP)


LARGE = """
    def take(value):
        return type(value).__name__

    def give(n):
        return {i: [str(i)] * 3 for i in range(n)}

    print(take(list(range(300000))))
    print(take({str(i): i for i in range(100000)}))
    print(take("x" * (8 << 20)))
    print(take(b"\\x00" * (8 << 20)))
    print(take(tuple(frozenset([i, -i]) for i in range(50000))))
    print(len(give(50000)))
    print(take([[[i] * 5 for i in range(50)] for _ in range(200)]))
"""


def test_large_values(tmp_path):
    same_ending(tmp_path, LARGE)


CAPS = """
    import collections, weakref

    def make(i):
        def inner(x):
            return x + i
        return inner

    def call_all(fns):
        return sum(f(1) for f in fns)

    def lookups(tables):
        # Bound builtin methods of many distinct objects.
        return sum(t.get(0, 0) for t in tables) + len([d.popleft() for d in
                   [collections.deque([1]) for _ in range(50)]])

    classes = [type(f"K{i}", (), {"v": i}) for i in range(5000)]

    def build(cls):
        return cls()

    fns = [make(i) for i in range(5000)]
    print(call_all(fns))
    print(lookups([{0: i} for i in range(5000)]))
    print(sum(build(c).v for c in classes))
"""


def test_caches_past_their_caps(tmp_path):
    same_ending(tmp_path, CAPS)


# The serializer alone: a metaclass property that fills the per-type cache
# past its cap while that cache's entry for the class is in use.
PICKLER_CACHE = """
    from tarnwick_collector.data_serialization.pickler import safe_pickle

    class Meta(type):
        @property
        def __module__(cls):
            if not getattr(Meta, "busy", False):
                Meta.busy = True
                for i in range(5000):
                    safe_pickle(type("C%d" % i, (), {})())
            return "somewhere"

    class Target(metaclass=Meta):
        pass

    print(len(safe_pickle(Target())) > 0)
    print("done")
"""


def test_serializer_cache_refilled_while_in_use(tmp_path):
    proc = run(tmp_path, PICKLER_CACHE, record=False)
    assert proc.returncode == 0 and proc.stdout.endswith("done\n"), proc.stderr[-3000:]
