"""Recording keeps nothing of the program alive and never mixes up two
objects born at the same address: programs run plainly and under `record`."""

import subprocess
import sys
import textwrap

import pytest

from tarnwick_collector.recording import show, store

PY = sys.executable

PROGRAMS = {
    # A file left to be closed when its last reference goes.
    "file_closed_by_refcount": """
        import sys
        def save(path, text):
            f = open(path, "w")
            f.write(text)
        save(sys.argv[1], "hello")
        print(repr(open(sys.argv[1]).read()))
    """,
    # Items handed out through a bound deque.popleft must be released.
    "bound_builtin_releases_items": """
        import collections, weakref
        class Obj: pass
        def first_of(items):
            d = collections.deque(items)
            yield d.popleft()
        def run():
            objs = [Obj(), Obj()]
            refs = [weakref.ref(o) for o in objs]
            for _ in first_of(objs): pass
            del objs, _
            return [r() is not None for r in refs]
        print("alive:", run())
    """,
    # Per-request closures, their payloads and bound methods of per-call objects.
    "per_call_closures_die": """
        import gc, weakref
        class Payload(list): pass
        def make_handler(payload):
            def handler(extra):
                payload.append(extra)
                return len(payload)
            return handler
        def serve(n, refs):
            payload = Payload()
            bag = Payload()
            handler = make_handler(payload)
            refs += [weakref.ref(payload), weakref.ref(handler), weakref.ref(bag)]
            bag.append(handler(n))
            return len(bag)
        refs = []
        for n in range(300):
            serve(n, refs)
        gc.collect()
        print("alive:", sum(r() is not None for r in refs), "of", len(refs))
    """,
    # A default that leads back to its own function: a cycle only the
    # collector frees.
    "self_referencing_defaults": """
        import gc, weakref
        def make():
            registry = []
            def handler(x, registry=registry):
                return len(registry) + x
            registry.append(handler)
            return handler
        def use(refs):
            h = make()
            refs.append(weakref.ref(h))
            return h(1)
        refs = []
        for _ in range(100):
            use(refs)
        gc.collect()
        print("alive:", sum(r() is not None for r in refs))
    """,
    # The recorder's own threads are not the program's to see.
    "recorder_threads_unseen": """
        import threading
        def census():
            return threading.active_count(), [t.name for t in threading.enumerate()]
        print(census())
    """,
}


def run(*args, cwd):
    return subprocess.run([PY, *args], capture_output=True, text=True, timeout=300, cwd=cwd)


def write(folder, text, name="app.py"):
    path = folder / name
    path.write_text(textwrap.dedent(text))
    return str(path)


def record(folder, script, *args):
    out = str(folder / "rec.db")
    return run("-m", "tarnwick_collector", "record", "--out", out, script, *args, cwd=folder), out


def calls(out, function):
    rec = store.Recording(out)
    try:
        return [show.CallView(*row) for row in rec.calls(function)]
    finally:
        rec.close()


@pytest.mark.parametrize("name", sorted(PROGRAMS))
def test_the_program_behaves_as_it_does_plainly(tmp_path, name):
    script = write(tmp_path, PROGRAMS[name])
    plain = run(script, str(tmp_path / "plain.txt"), cwd=tmp_path)
    assert plain.returncode == 0, plain.stderr
    recorded, out = record(tmp_path, script, str(tmp_path / "recorded.txt"))
    assert recorded.returncode == 0, recorded.stderr
    assert recorded.stdout == plain.stdout
    assert "dropped 0" in recorded.stderr.splitlines()[-1]
    assert calls(out, None)  # something was recorded


NEW_OBJECT_AT_OLD_ADDRESS = """
    class Config:
        def __init__(self, **values):
            self.__dict__.update(values)

    settings = Config(mode="fast")

    def pick():
        return settings.mode

    def report():
        return settings

    print(pick())
    old = id(settings)
    del settings
    kept = []
    for _ in range(100000):
        settings = Config(max_items=10, timeout=3)
        if id(settings) == old:
            break
        kept.append(settings)
    print("reused:", id(settings) == old)
    report()
"""


def test_attribute_use_of_a_dead_object_is_not_applied_to_a_new_one(tmp_path):
    script = write(tmp_path, NEW_OBJECT_AT_OLD_ADDRESS)
    proc, out = record(tmp_path, script)
    assert proc.returncode == 0, proc.stderr
    if proc.stdout.splitlines()[-1] != "reused: True":
        pytest.skip("no new object was born at the old address")
    (picked,) = calls(out, "pick")
    assert show.fmt(picked.globals["settings"]).endswith("Config(mode='fast')")
    (reported,) = calls(out, "report")
    assert show.fmt(reported.globals["settings"]).endswith("Config(max_items=10, timeout=3)")


def test_exception_class_of_the_main_script_keeps_its_name(tmp_path):
    script = write(tmp_path, """
        class PaymentError(Exception):
            def __reduce__(self):
                raise RuntimeError("not to be called")

        def pay(n):
            raise PaymentError("too much", n)

        try:
            pay(5)
        except PaymentError:
            print("refused")
    """)
    proc, out = record(tmp_path, script)
    assert proc.returncode == 0 and proc.stdout == "refused\n", proc.stderr
    (paid,) = calls(out, "pay")
    assert show.fmt(paid.exception) == "app.PaymentError('too much', 5)"
