"""A program that runs tools of its own beside the recording (3.12+, the
sys.monitoring layer): its tools work as they would without recording; when
it takes the tool id we hold, the recording stops and says why."""

import json
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring layer")

if sys.version_info >= (3, 12):
    from tarnwick_collector.tracing import Tracer, select_backend

    MON = sys.monitoring
    ORIGINAL = MON.use_tool_id
    if select_backend().name != "monitoring":  # pragma: no cover - a build without it
        pytestmark = pytest.mark.skip(reason="no native monitoring layer in this build")

TAKES_OUR_ID = """
import sys

def work(n):
    return n * 2

def main():
    for i in range(5):
        work(i)
    m = sys.monitoring
    m.use_tool_id(m.PROFILER_ID, "mine")
    seen = []
    m.register_callback(m.PROFILER_ID, m.events.PY_START,
                        lambda code, offset: seen.append(code.co_name))
    m.set_events(m.PROFILER_ID, m.events.PY_START)
    work(1)
    m.set_events(m.PROFILER_ID, 0)
    m.free_tool_id(m.PROFILER_ID)
    for i in range(3):
        work(i)
    print("mine:", m.get_tool(m.PROFILER_ID), seen)

main()
"""

OWN_TRACERS = """
import cProfile, pstats, sys

def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)

def main():
    seen = []
    def tracer(frame, event, arg):
        if event == "call":
            seen.append(frame.f_code.co_name)
        return None
    sys.settrace(tracer)
    fib(3)
    sys.settrace(None)
    sys.setprofile(lambda f, e, a: seen.append(e) if e == "c_call" else None)
    len("abc")
    sys.setprofile(None)
    print("traced", seen)
    fib(4)
    p = cProfile.Profile()
    p.enable()
    fib(10)
    p.disable()
    print("profiled", pstats.Stats(p).total_calls)

main()
"""


def run(*args, cwd):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True,
                          timeout=300, cwd=cwd)


def record(tmp_path, source, *options):
    script = tmp_path / "main.py"
    script.write_text(textwrap.dedent(source))
    plain = run(str(script), cwd=tmp_path)
    out = str(tmp_path / "rec.db")
    rec = run("-m", "tarnwick_collector", "record", "--out", out, *options, str(script),
              cwd=tmp_path)
    return plain, rec, out


def summary_of(tmp_path, out):
    show = run("-m", "tarnwick_collector", "show", "--json", out, cwd=tmp_path)
    lines = [json.loads(x) for x in show.stdout.splitlines()]
    return lines[0]["summary"], [x["function"] for x in lines[1:]]


def test_program_taking_our_id_gets_it_and_the_recording_says_why(tmp_path):
    plain, rec, out = record(tmp_path, TAKES_OUR_ID)
    assert plain.returncode == 0, plain.stderr
    assert rec.returncode == 0 and rec.stdout == plain.stdout, rec.stderr
    assert "mine: None ['work']" in rec.stdout
    err = rec.stderr.splitlines()
    assert err[0].startswith("tarnwick: recording stopped at ")
    assert err[0].endswith("after 6 calls: the program took the sys.monitoring tool id 2")
    assert err[1].startswith("tarnwick: recorded 5 calls") and len(err) == 2
    summary, functions = summary_of(tmp_path, out)
    # What ran before the stop is there; nothing after it.
    assert functions == ["__main__.work"] * 5
    assert summary["stopped"]["reason"] == "the program took the sys.monitoring tool id 2"
    assert summary["stopped"]["calls"] == 6
    stats = run("-m", "tarnwick_collector", "stats", out, cwd=tmp_path).stdout
    assert "recording stopped at " in stats and "took the sys.monitoring tool id 2" in stats
    hooks_off = run("-m", "tarnwick_collector", "record", "--no-hooks",
                    str(tmp_path / "main.py"), cwd=tmp_path)
    assert hooks_off.stdout == plain.stdout
    assert "tarnwick: tracing stopped at " in hooks_off.stderr


def test_programs_own_tracers_and_profiler_work_beside_the_recording(tmp_path):
    plain, rec, out = record(tmp_path, OWN_TRACERS)
    assert plain.returncode == 0, plain.stderr
    assert rec.returncode == 0 and rec.stdout == plain.stdout, rec.stderr
    assert "traced ['fib', 'fib', 'fib', 'fib', 'fib', 'c_call'" in rec.stdout
    summary, functions = summary_of(tmp_path, out)
    # settrace and setprofile leave the recording on: fib(3) and fib(4) are
    # there in full; cProfile takes the profiler id and ends it.
    assert functions.count("__main__.fib") == 5 + 9
    assert summary["stopped"]["reason"].endswith("tool id 2")
    assert "__main__.main" not in functions


@pytest.fixture
def tracer():
    t = Tracer(project_files={__file__}, hooks_enabled=False)
    yield t
    t.stop()
    for tool in range(6):
        if MON.get_tool(tool) in ("mine", "other", "theirs"):
            MON.free_tool_id(tool)


def outcome(fn, *args, **kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001 - the outcome is compared
        return (type(exc), str(exc))


class Index:
    def __init__(self, value):
        self.value = value
        self.calls = 0

    def __index__(self):
        self.calls += 1
        return self.value


BAD_CALLS = [
    (), (2,), (2, "mine", "x"), ("2", "mine"), (2.0, "mine"), (2, 7), (2, None),
    (-1, "mine"), (6, "mine"), (1 << 70, "mine"), (Index(9), "mine"),
]


def test_the_stand_in_is_the_original_in_every_other_case(tracer):
    expected = [outcome(ORIGINAL, *args) for args in BAD_CALLS]
    expected.append(outcome(ORIGINAL, 2, name="mine"))
    tracer.start()
    held = MON.get_tool(2) and 2
    assert MON.use_tool_id is not ORIGINAL
    for attr in ("__name__", "__qualname__", "__module__", "__doc__", "__text_signature__"):
        assert getattr(MON.use_tool_id, attr) == getattr(ORIGINAL, attr)
    assert MON.use_tool_id.__self__ is ORIGINAL.__self__ and repr(MON.use_tool_id) == repr(ORIGINAL)
    got = [outcome(MON.use_tool_id, *args) for args in BAD_CALLS]
    got.append(outcome(MON.use_tool_id, 2, name="mine"))
    assert got == expected
    # A free id is the program's as always; the recording goes on.
    assert MON.use_tool_id(3, "other") is None and MON.get_tool(3) == "other"
    assert outcome(MON.use_tool_id, 3, "again") == (ValueError, "tool 3 is already in use")
    assert tracer.active and tracer.stopped_reason is None and held == 2
    tracer.stop()
    assert MON.use_tool_id is ORIGINAL and tracer.stopped is None


@pytest.mark.parametrize("how", ["int", "index", "int subclass"])
def test_taking_our_id_stops_the_layer_cleanly(tracer, how):
    tracer.start()
    ours = tracer.backend.tool_id
    assert ours == 2
    if how == "int":
        arg = ours
    elif how == "index":
        arg = Index(ours)
    else:
        arg = type("Id", (int,), {})(ours)
    assert MON.use_tool_id(arg, "mine") is None
    assert how != "index" or arg.calls == 1  # its __index__ runs once, as without us
    assert MON.get_tool(ours) == "mine"
    assert not tracer.active and MON.use_tool_id is ORIGINAL
    assert tracer.stopped_reason == "the program took the sys.monitoring tool id 2"
    # Our events and callbacks are gone from the id: the program starts clean.
    assert MON.get_events(ours) == 0
    assert MON.register_callback(ours, MON.events.PY_START, None) is None
    stopped = tracer.stopped
    tracer.stop()
    assert tracer.stopped == stopped and stopped["seconds"] >= 0


def test_the_debugger_id_when_the_profiler_id_is_taken(tracer):
    MON.use_tool_id(MON.PROFILER_ID, "theirs")
    tracer.start()
    assert tracer.backend.tool_id == MON.DEBUGGER_ID
    assert outcome(MON.use_tool_id, MON.PROFILER_ID, "mine") == \
        (ValueError, "tool 2 is already in use")
    assert tracer.active
    MON.use_tool_id(MON.DEBUGGER_ID, "mine")
    assert not tracer.active and tracer.stopped_reason.endswith("tool id 0")


def test_a_replacement_by_the_program_is_left_in_place(tracer):
    tracer.start()

    def theirs(tool, name):
        return ORIGINAL(tool, name)

    MON.use_tool_id = theirs
    try:
        tracer.stop()
        assert MON.use_tool_id is theirs
    finally:
        MON.use_tool_id = ORIGINAL
