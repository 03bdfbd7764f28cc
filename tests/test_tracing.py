"""The tracing layer against hooks that only write down what they are told."""

import copy
import json
import sys
import threading
import types

import pytest

import traced_app as app
from tarnwick_collector.tracing import NullHooks, Tracer, select_backend, static
from tarnwick_collector.tracing.bytecode import GLOBAL, load_table

PROJECT = {app.__file__}
NoneType = type(None)
BACKEND = select_backend().name  # settrace up to 3.11, monitoring from 3.12


class Hooks:
    def __init__(self, fail=(), none=()):
        self.events = []
        self.called = []
        self.fail = set(fail)
        self.none = set(none)

    def _note(self, name, *event):
        if name in self.fail:
            raise RuntimeError(f"{name} broke")
        self.events.append(event)

    def record_user_function_call(self, *args, **kwargs):
        # Resolved as the hooks resolve it: a class to its __init__, a bound
        # method to its function with self first.
        func, args = args[0], args[1:]
        self.called.append(func)
        if isinstance(func, type):
            func = func.__init__
        elif isinstance(func, types.MethodType) and not isinstance(func.__self__, type):
            func, args = func.__func__, (func.__self__,) + args
        self._note("user", "call", func.__qualname__, args, kwargs)
        return None if "user" in self.none else ("record", func.__qualname__)

    def record_user_function_return_value(self, ret_val, record, cur_exc=None):
        self._note("user_return", "return", record[1], ret_val, cur_exc)

    def record_external_call(self, call, did_check_function_file_in_project_files=0):
        name = getattr(call, "__qualname__", repr(call))
        self._note("ext", "ext", name, did_check_function_file_in_project_files)
        return None if "ext" in self.none else ("ext", name)

    def record_external_return_value(self, return_value, func_obj, cur_exc=None):
        self._note("ext_return", "ext_return", func_obj[1], return_value, cur_exc)

    def load_global_hook(self, value, name):
        self._note("global", "global", name, value)

    def load_attr_hook(self, obj, attr, result):
        self._note("attr", "attr", obj, attr, result)

    def of(self, kind):
        return [e[1:] for e in self.events if e[0] == kind]


@pytest.fixture(params=[True, False], ids=["stack", "static"])
def trace(request):
    def run(fn, *args, hooks=None, **kwargs):
        hooks = hooks or Hooks()
        tracer = Tracer(project_files=PROJECT, hooks=hooks, use_peek=request.param)
        with tracer:
            result = fn(*args, **kwargs)
        return result, hooks, tracer.stats
    run.peek = request.param
    # What a call instruction called: from the value stack (settrace), or
    # given by the call event (monitoring).
    run.sees_called = request.param or BACKEND == "monitoring"
    return run


def test_calls_arguments_and_returns(trace):
    result, hooks, stats = trace(app.spread, 2, 3, 4, scale=10, tag="x")
    assert result == ([20, 3, 4], {"tag": "x"})
    assert hooks.of("call") == [("spread", (2, 3, 4), {"scale": 10, "tag": "x"})]
    assert hooks.of("return") == [("spread", result, NoneType)]
    assert stats.records == 1 and stats.internal_errors == 0


def test_methods_constructors_and_descriptors(trace):
    (acct, label, ok), hooks, _ = trace(app.open_and_use)
    calls = {name: (args, kwargs) for name, args, kwargs in hooks.of("call")}
    if trace.sees_called:
        assert hooks.called[1:4] == [app.Account.opened, app.Account, acct.deposit]
        assert calls["Account.opened"] == (("ann",), {})
        assert calls["Account.__init__"] == (("ann", 10), {})
    else:
        assert calls["Account.opened"] == ((app.Account, "ann"), {})
        assert calls["Account.__init__"][0][1:] == ("ann", 10)
    assert calls["Account.deposit"] == ((acct, 5), {"note": "pay"})
    assert calls["Account.label"] == ((acct,), {})
    assert calls["Account.check"] == ((3,), {})
    returns = {name: value for name, value, _ in hooks.of("return")}
    assert returns["Account.deposit"] == 15 and returns["Account.label"] == "ANN"


def test_exceptions_reach_the_return_hook(trace):
    with pytest.raises(ValueError):
        trace(app.through_finally, 7)
    _, hooks, _ = trace(app.caught)
    ret = {name: (value, exc) for name, value, exc in hooks.of("return")}
    assert isinstance(ret["failing"][1], ValueError) and ret["failing"][0] is None
    assert ret["caught"] == ("bad 1", NoneType)


def test_exception_through_finally_is_the_raised_one(trace):
    hooks = Hooks()
    with pytest.raises(ValueError) as info:
        trace(app.through_finally, 7, hooks=hooks)
    ret = {name: exc for name, _, exc in hooks.of("return")}
    assert ret["through_finally"] is info.value
    assert ret["failing"] is info.value


def test_c_calls_are_external_with_results_and_errors(trace):
    items = [1, 2]
    _, hooks, stats = trace(app.c_calls, items)
    ext = hooks.of("ext")
    assert [name for name, _ in ext] == ["len", "list.append", "sqrt", "dict.pop"]
    assert all(flag == 0 for _, flag in ext)
    ends = {name: (value, exc) for name, value, exc in hooks.of("ext_return")}
    assert isinstance(ends["dict.pop"][1], KeyError)
    assert ends["list.append"] == (None, NoneType)
    if trace.peek:
        assert ends["len"] == (2, NoneType) and ends["sqrt"] == (4.0, NoneType)
    else:
        assert stats.c_results_unknown == 3


def test_c_calls_in_every_call_form(trace):
    seen = []

    class Keeping(Hooks):
        def record_external_call(self, call, flag=0):
            seen.append(call)
            return super().record_external_call(call, flag)

    items, text = [1, 3, 1], "ab"
    result, hooks, _ = trace(app.c_call_forms, items, text, hooks=Keeping())
    assert result == ("AB", "AB", [3, 1, 1], 2)
    assert [c.__name__ for c in seen] == ["upper", "upper", "sorted", "count"]
    # Bound as the interpreter binds them for a profiler: to the object.
    assert seen[0].__self__ is text and seen[3].__self__ is items
    assert getattr(seen[1], "__self__", text) is text
    if trace.peek:
        values = [value for _, value, _ in hooks.of("ext_return")]
        assert values == ["AB", "AB", [3, 1, 1], 2]


def test_library_calls_are_external_once(trace):
    _, hooks, _ = trace(app.library_calls, {"a": 1})
    ext = hooks.of("ext")
    assert ext == [("dumps", 1), ("loads", 1)]
    ends = hooks.of("ext_return")
    assert ends[0] == ("dumps", '{"a": 1}', NoneType)
    assert ends[1][0] == "loads" and isinstance(ends[1][2], json.JSONDecodeError)


def test_callbacks_from_external_code_are_recorded(trace):
    result, hooks, _ = trace(app.with_callback, [1, 3, 2])
    assert result == [3, 2, 1]
    assert [e for e in hooks.events if e[0] in ("call", "ext")][:3] == [
        ("call", "with_callback", ([1, 3, 2],), {}), ("ext", "sorted", 0),
        ("call", "key_of", (1,), {})]


def test_generators_and_closures(trace):
    result, hooks, _ = trace(app.drive_generator)
    assert result == [0, 3, 6]
    names = [name for name, _, _ in hooks.of("call")]
    assert names == ["drive_generator", "times_rate", "times_rate", "times_rate"]
    assert "numbers" not in names  # driven inline by its consumer
    result, hooks, _ = trace(app.use_closure)
    assert result == 6
    assert ("make_adder.<locals>.add", (1,), {}) in hooks.of("call")


def test_globals_and_attributes(trace):
    _, hooks, _ = trace(app.many_globals)
    assert hooks.of("global") == [("RATE", 3), ("times_rate", app.times_rate),
                                  ("Account", app.Account)]
    acct = app.Account("bo")
    _, hooks, _ = trace(acct.deposit, 2)
    attrs = [(a, r) for o, a, r in hooks.of("attr") if o is acct]
    assert ("history", acct.history) in attrs
    assert ("balance", 0) in attrs
    _, hooks, _ = trace(lambda: acct.label)  # the lambda is not project code
    (o1, a1, r1), (o2, a2, r2) = hooks.of("attr")
    assert (o1, a1, r1) == (acct, "owner", "bo")
    assert (o2, a2) == ("bo", "upper") and r2() == "BO"


def test_threads_are_traced(trace):
    result, hooks, _ = trace(app.in_thread)
    assert result == [6]
    assert ("times_rate", (2,), {}) in hooks.of("call")


class Watched:
    """Counts every access that would run its own code."""

    runs = 0

    def __init__(self):
        self.plain = 1

    def __getattr__(self, name):
        Watched.runs += 1
        if name == "computed":
            return 2
        raise AttributeError(name)

    def __eq__(self, other):
        Watched.runs += 1
        return self is other

    __hash__ = object.__hash__

    @property
    def __class__(self):
        Watched.runs += 1
        return Watched


def test_user_code_runs_as_often_as_without_tracing(trace):
    obj = Watched()
    Watched.runs = 0
    assert app.read_watched(obj) == (1, 2)
    plain_runs = Watched.runs
    Watched.runs = 0
    result, hooks, _ = trace(app.read_watched, obj)
    assert result == (1, 2)
    assert Watched.runs == plain_runs == 1
    assert ("plain", 1) in [(a, r) for o, a, r in hooks.of("attr")]


class Thing:
    pass


@pytest.mark.parametrize("use", [id, copy.copy, app.identity, app.Holder],
                         ids=["c", "library", "project", "class"])
def test_called_objects_and_arguments_are_not_kept(trace, use):
    class Forgetful(Hooks):  # notes what happened, keeps no value
        def _note(self, name, *event):
            self.events.append((event[0], event[1] if isinstance(event[1], str) else None))

    gone, hooks, stats = trace(app.lets_go, Thing, use, hooks=Forgetful())
    assert gone and stats.internal_errors == 0
    assert ("call", "lets_go") in hooks.events


@pytest.mark.parametrize("broken", ["user", "user_return", "ext", "ext_return", "global", "attr"])
def test_failing_hooks_are_counted_not_raised(trace, broken):
    hooks = Hooks(fail={broken})
    result, _, stats = trace(app.library_calls, [1], hooks=hooks)
    assert result == "[1]"
    assert sum(stats.hook_errors.values()) >= 1 and stats.internal_errors == 0


def test_hooks_returning_none(trace):
    hooks = Hooks(none={"user", "ext"})
    result, hooks, stats = trace(app.library_calls, [1], hooks=hooks)
    assert result == "[1]"
    assert hooks.of("return") == [] and hooks.of("ext_return") == []
    assert stats.not_recorded == 1


def test_interrupts_from_hooks_go_through():
    class Interrupting(Hooks):
        def record_external_call(self, call, flag=0):
            raise KeyboardInterrupt

    before = sys.gettrace(), sys.getprofile()
    tracer = Tracer(project_files=PROJECT, hooks=Interrupting())
    with pytest.raises(KeyboardInterrupt):
        with tracer:
            app.c_calls([])
    assert (sys.gettrace(), sys.getprofile()) == before
    assert not tracer.active


def test_previous_tracers_are_restored():
    def mine(frame, event, arg):
        return None

    def my_profile(frame, event, arg):
        return None

    old = (sys.gettrace(), sys.getprofile(), threading.gettrace(), threading.getprofile())
    sys.settrace(mine)
    sys.setprofile(my_profile)
    threading.settrace(mine)
    try:
        with Tracer(project_files=PROJECT, hooks=Hooks()):
            # sys.monitoring leaves the program's own tracers running beside it.
            assert (sys.gettrace() is mine) == (BACKEND == "monitoring")
        assert sys.gettrace() is mine and sys.getprofile() is my_profile
        assert threading.gettrace() is mine and threading.getprofile() is None
    finally:
        sys.settrace(old[0])
        sys.setprofile(old[1])
        threading.settrace(old[2])
        threading.setprofile(old[3])


def test_hooks_switched_off_change_nothing():
    tracer = Tracer(project_files=PROJECT, hooks_enabled=False)
    assert tracer.engine.hooks is NullHooks
    with tracer:
        result = app.library_calls({"k": [1]})
    assert result == '{"k": [1]}'
    assert tracer.stats.user_calls == 1 and tracer.stats.hook_errors == {}


@pytest.mark.parametrize("peek", [True, False], ids=["stack", "static"])
def test_call_cap_per_function(peek):
    hooks = Hooks()
    tracer = Tracer(project_files=PROJECT, hooks=hooks, use_peek=peek, max_calls=3)
    with tracer:
        for i in range(3):
            app.times_rate(i)
    assert tracer.stats.records == 3 and tracer.stats.capped == 0
    with tracer:
        app.times_rate(3)                    # the fourth call: counted only
        app.c_calls([])                      # another function has its own share
        app.with_callback([5, 4, 6, 7])      # key_of: called 4 times from C code
    names = [name for name, _, _ in hooks.of("call")]
    assert names.count("times_rate") == 3 and names.count("key_of") == 3
    assert names.count("c_calls") == 1
    stats = tracer.stats
    assert stats.capped == 2 and stats.max_calls == 3
    assert stats.records == stats.user_calls == len(names)
    assert len(hooks.of("return")) == len(names)


def test_capped_calls_are_not_traced_inside():
    hooks = Hooks()
    tracer = Tracer(project_files=PROJECT, hooks=hooks, max_calls=1)
    with tracer:
        app.c_calls([])
        app.c_calls([])           # over the cap: its C calls are not external calls
        app.with_callback([1])
        app.with_callback([3, 2])  # over the cap, but the callbacks it drives are not
    assert [n for n, _ in hooks.of("ext")].count("len") == 1
    calls = [(name, args) for name, args, _ in hooks.of("call")]
    assert calls == [("c_calls", ([0],)), ("with_callback", ([1],)), ("key_of", (1,))]
    assert tracer.stats.capped == 4  # c_calls, with_callback, key_of twice


def test_call_cap_is_shared_by_threads():
    hooks = Hooks()
    tracer = Tracer(project_files=PROJECT, hooks=hooks, max_calls=7)
    start = threading.Barrier(4)

    def work():
        start.wait()
        for i in range(5):
            app.times_rate(i)

    with tracer:
        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert [name for name, _, _ in hooks.of("call")].count("times_rate") == 7
    assert tracer.stats.capped == 13


def test_no_cap():
    hooks = Hooks()
    with Tracer(project_files=PROJECT, hooks=hooks, max_calls=0) as tracer:
        for i in range(1500):
            app.times_rate(i)
    assert len(hooks.of("call")) == 1500 and tracer.stats.capped == 0


# ----------------------------------------- the program's own tracers

def test_threads_of_the_thread_module_are_traced():
    import _thread

    hooks = Hooks()
    done = threading.Event()
    out = []

    def run(x):
        out.append(app.times_rate(x))
        done.set()

    with Tracer(project_files=PROJECT, hooks=hooks):
        _thread.start_new_thread(run, (4,))
        assert done.wait(10)
    assert out == [12]
    assert ("times_rate", (4,), {}) in hooks.of("call")
    assert _thread.start_new_thread.__module__ == "_thread"  # the real one is back


def test_thread_module_errors_read_as_without_recording():
    import _thread

    def boom():
        raise ValueError("from the thread")

    def run():
        seen = []
        done = threading.Event()
        old = sys.unraisablehook
        sys.unraisablehook = lambda u: (seen.append((u.err_msg, u.object, repr(u.exc_value))),
                                        done.set())
        try:
            _thread.start_new_thread(boom, ())
            assert done.wait(10)
            with pytest.raises(TypeError) as bad:
                _thread.start_new_thread(42, ())
        finally:
            sys.unraisablehook = old
        return seen, str(bad.value)

    plain = run()
    with Tracer(project_files=PROJECT, hooks=Hooks()):
        recorded = run()
    # The report names the program's function (in the message from 3.13 on).
    err_msg, obj, _ = plain[0][0]
    assert recorded == plain and (obj is boom or "boom" in err_msg)


def _own_tracer(events):
    def mine(frame, event, arg):
        if frame.f_code is app.times_rate.__code__:
            events.append(event)
        return mine
    return mine


def test_a_program_that_sets_its_own_tracer():
    hooks = Hooks()
    events = []
    before = sys.gettrace()
    tracer = Tracer(project_files=PROJECT, hooks=hooks)
    with tracer:
        app.times_rate(1)
        sys.settrace(_own_tracer(events))
        app.times_rate(2)
        mine = sys.gettrace()
    try:
        # The program's tracer saw its calls, and is still in place after.
        assert "call" in events and "return" in events
        assert sys.gettrace() is mine
    finally:
        sys.settrace(before)
    calls = [args for name, args, _ in hooks.of("call") if name == "times_rate"]
    if BACKEND == "settrace":
        # Recording stopped where the program took over, and says so.
        assert calls == [(1,)]
        assert "sys.settrace" in tracer.stopped_reason
    else:
        assert calls == [(1,), (2,)] and tracer.stopped_reason is None


def test_a_tracer_put_back_by_the_program_goes_on_recording():
    hooks = Hooks()
    with Tracer(project_files=PROJECT, hooks=hooks) as tracer:
        saved = sys.gettrace()
        sys.settrace(None)
        app.times_rate(1)    # not recorded: the program switched tracing off
        sys.settrace(saved)  # the usual save-and-restore
        app.times_rate(2)
    calls = [args for name, args, _ in hooks.of("call") if name == "times_rate"]
    if BACKEND == "settrace":
        assert calls == [(2,)] and tracer.stopped_reason.endswith("until it put ours back")
    else:
        assert calls == [(1,), (2,)]


# ------------------------------------------------------------ pieces

def test_load_table_keys_extended_args_at_their_prefix():
    names = [f"g{i}" for i in range(300)]
    ns = {n: i for i, n in enumerate(names)}
    exec(compile("def big():\n    return (" + ", ".join(names) + ")\n", "big.py", "exec"), ns)
    table = load_table(ns["big"].__code__)
    assert sorted(load.name for load in table.values() if load.kind == GLOBAL) == sorted(names)
    code = ns["big"].__code__.co_code
    import dis

    ops = {dis.opname[code[off]] for off in table}
    assert ops <= {"LOAD_GLOBAL", "EXTENDED_ARG"} and "EXTENDED_ARG" in ops


class Slotted:
    __slots__ = ("x",)

    def __init__(self):
        self.x = 4


class Meta(type):
    def __getattribute__(cls, name):
        if name == "value":
            raise AssertionError("metaclass lookup ran")
        return super().__getattribute__(name)


class WithMeta(metaclass=Meta):
    value = 1


@pytest.mark.parametrize("obj, name, expected", [
    (app.Account("a"), "owner", "a"),
    (app.Account, "fee", 1),
    (Slotted(), "x", 4),
    (json, "dumps", json.dumps),
    (app.Account("a"), "missing", static.MISSING),
    (app.Account("a"), "label", static.UNKNOWN),
    (Watched(), "computed", static.UNKNOWN),
    (WithMeta, "value", static.UNKNOWN),
])
def test_static_lookup(obj, name, expected):
    Watched.runs = 0
    found = static.getattr_static(obj, name)
    assert found is expected or (type(expected) is not object and found == expected)
    assert Watched.runs == 0


def test_static_binding():
    acct = app.Account("a")
    bound = static.getattr_static(acct, "deposit")
    assert bound.__func__ is app.Account.deposit and bound.__self__ is acct
    assert static.getattr_static(acct, "opened").__self__ is app.Account
    assert static.getattr_static(acct, "check") is app.Account.check
    assert static.getattr_static([], "append").__name__ == "append"
