"""The collector's pickler: the C pickler, a reducer_override hook and a failure reducer."""

import _pickle
import copyreg
import gc
import io
import pickle
import threading
import weakref

import pytest

from tarnwick_collector.data_serialization import tarn_pickle

PROTOCOLS = [0, 2, 4, 5]


class Plain:
    def __init__(self, x=0):
        self.x = x

    def __eq__(self, other):
        return type(other) is type(self) and vars(other) == vars(self)


class ListSub(list):
    pass


class Replacement:
    def __init__(self, value):
        self.value = value


class Unwritable:
    """What the failure reducer writes in place of a value."""

    def __init__(self, what):
        self.what = what


def top_function():
    return 1


class Reduces:
    """Its __reduce_ex__ answers `value`, or raises it when it is an exception."""

    calls = 0

    def __init__(self, value):
        self.value = value

    def __reduce_ex__(self, protocol):
        Reduces.calls += 1
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Failures:
    def __init__(self):
        self.objs = []

    def __call__(self, obj):
        self.objs.append(obj)
        return (Unwritable, (getattr(obj, "__qualname__", type(obj).__qualname__),))


class Recorder(tarn_pickle.Pickler):
    """Records what it is asked about; answers from `answers` (type -> callable), else
    NotImplemented."""

    def __init__(self, file, protocol=None, answers=None, **kw):
        super().__init__(file, protocol, **kw)
        self.seen = []
        self.answers = answers or {}

    def reducer_override(self, obj):
        self.seen.append(obj)
        answer = self.answers.get(type(obj))
        return answer(obj) if answer else NotImplemented


def dump(obj, protocol=None, cls=Recorder, **kw):
    buf = io.BytesIO()
    pickler = cls(buf, protocol, **kw)
    pickler.dump(obj)
    return buf.getvalue(), pickler


@pytest.fixture(params=["c route", "dispatcher"])
def failure_mode(request):
    """Both routes: the C pickler calling the override itself, and the dispatcher."""
    return {} if request.param == "c route" else {"failure_reducer": Failures()}


# ----------------------------------------------------------- the hook


def test_override_asked_for_non_atoms_only(failure_mode):
    inner, sub = Plain(1), ListSub([2])
    obj = [1, 2.5, "s", b"b", None, True, 2**80, {"k": (inner, sub, inner)}, Plain, top_function]
    data, p = dump(obj, **failure_mode)
    assert Plain in p.seen and top_function in p.seen and sub in p.seen
    assert sum(o is inner for o in p.seen) == 1  # a memo hit the second time
    # Atoms and exact containers are written by the C pickler without asking.
    assert not any(type(o) in (int, float, str, bytes, bool, type(None), list, dict, tuple)
                   for o in p.seen)
    assert tarn_pickle.loads(data) == obj


def test_reduce_values_go_to_the_pickler_unchanged(failure_mode):
    data, _ = dump([Plain(7), Plain(8)], answers={Plain: lambda o: (Replacement, (o.x,))},
                   **failure_mode)
    assert [(type(b), b.value) for b in tarn_pickle.loads(data)] == [(Replacement, 7),
                                                                     (Replacement, 8)]
    # A malformed answer of the override itself is the standard pickler's error.
    with pytest.raises(pickle.PicklingError):
        dump([Plain()], answers={Plain: lambda o: 42}, **failure_mode)
    assert failure_mode.get("failure_reducer", Failures()).objs == []


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_not_implemented_writes_what_the_standard_pickler_writes(protocol):
    cyclic = Plain()
    cyclic.me = cyclic
    obj = [Plain(1), {"a": Plain(2)}, (Plain, top_function, len, [].append), frozenset({1}),
           ListSub([3]), bytearray(b"x"), type(None), cyclic, threading.Thread.run]
    data, _ = dump(obj, protocol, failure_reducer=Failures())
    assert data == pickle.dumps(obj, protocol)
    back = tarn_pickle.loads(data)
    assert back[:2] == obj[:2] and back[2][:3] == obj[2][:3] and back[7].me is back[7]


def test_each_reduction_runs_once():
    Reduces.calls = 0
    shared = Reduces((Plain, ()))
    dump([shared, shared, Reduces((Plain, ()))], failure_reducer=Failures())
    assert Reduces.calls == 2


# ------------------------------------------------------ the failure reducer


def local_class():
    class Local:
        pass

    return Local


Local = local_class()


class LyingModule:
    pass


LyingModule.__module__ = "no_such_module_for_tarn_tests"


def impostor():
    pass


impostor.__qualname__ = "top_function"  # found by that name, but another object


UNWRITABLE = {
    "lock": threading.Lock,
    "local instance": Local,
    "local class": lambda: Local,
    "lambda": lambda: (lambda: 0),
    "lying module": lambda: LyingModule,
    "lying module instance": LyingModule,
    "impostor function": lambda: impostor,
    "reduction raises": lambda: Reduces(ValueError("no")),
    "reduction not a tuple": lambda: Reduces(42),
    "reduction too short": lambda: Reduces((Plain,)),
    "reduction items not an iterator": lambda: Reduces((Plain, (), None, [1, 2])),
    "reduction args not a tuple": lambda: Reduces((Plain, [1])),
}


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("case", list(UNWRITABLE))
def test_failure_reducer_stands_in_for_unwritable(case, protocol):
    value = UNWRITABLE[case]()
    failures = Failures()
    data, _ = dump([1, value, Plain(2), value], protocol, failure_reducer=failures)
    assert failures.objs == [value]  # once: the memo answers the second time
    back = tarn_pickle.loads(data)
    assert back[0] == 1 and back[2] == Plain(2)
    assert type(back[1]) is Unwritable and back[3] is back[1]
    # Without a failure reducer the standard failure propagates.
    with pytest.raises((pickle.PicklingError, TypeError, AttributeError, ValueError)):
        dump([value], protocol)


def broken_reducer(obj):
    raise RuntimeError("reducer broke")


def test_failure_reducer_errors_propagate_with_the_cause():
    with pytest.raises(RuntimeError, match="reducer broke") as err:
        dump([threading.Lock()], failure_reducer=broken_reducer)
    assert isinstance(err.value.__context__, TypeError)
    # The wrong class for NEWOBJ is what save_reduce rejects from protocol 2 on.
    failures, obj = Failures(), Reduces((copyreg.__newobj__, (Plain,)))
    dump([obj], 2, failure_reducer=failures)
    assert failures.objs == [obj]


class Boom:
    pass


class Stop(BaseException):
    pass


def raising(exc):
    return {Boom: lambda obj: (_ for _ in ()).throw(exc)}


def test_special_cases_decide_on_override_errors():
    asked, failures, boom = [], Failures(), Boom()
    data, _ = dump([boom], answers=raising(ValueError()), failure_reducer=failures,
                   special_cases=lambda t: asked.append(t) or t is Boom)
    assert asked == [Boom] and failures.objs == [boom]
    assert type(tarn_pickle.loads(data)[0]) is Unwritable

    for kw in ({"special_cases": lambda t: False}, {"special_cases": None}, {}):
        with pytest.raises(ValueError):
            dump([Boom()], answers=raising(ValueError()), failure_reducer=Failures(), **kw)
    with pytest.raises(ValueError):  # no failure reducer: nothing to stand in
        dump([Boom()], answers=raising(ValueError()), special_cases=lambda t: True)
    with pytest.raises(ZeroDivisionError):
        dump([Boom()], answers=raising(ValueError()), failure_reducer=Failures(),
             special_cases=lambda t: 1 / 0)


@pytest.mark.parametrize("exc", [Stop, RecursionError, MemoryError])
def test_interrupts_and_depth_are_never_substituted(exc):
    failures = Failures()
    with pytest.raises(exc):
        dump([Reduces(exc())], failure_reducer=failures)
    with pytest.raises(exc):
        dump([Boom()], answers=raising(exc()), failure_reducer=failures,
             special_cases=lambda t: True)
    assert failures.objs == []


# -------------------------------------------------------- dispatch tables


@pytest.fixture
def registered():
    """Plain reduced by copyreg to a Replacement."""
    copyreg.pickle(Plain, lambda obj: (Replacement, (obj.x,)))
    yield
    del copyreg.dispatch_table[Plain]


def test_empty_dispatch_table_skips_copyreg(registered, failure_mode):
    data, _ = dump([Plain(3)], **failure_mode)
    assert type(tarn_pickle.loads(data)[0]) is Replacement

    class Safe(Recorder):
        def __init__(self, file, protocol=None, **kw):
            super().__init__(file, protocol, **kw)
            self.dispatch_table = {}

    data, _ = dump([Plain(3)], cls=Safe, **failure_mode)
    assert tarn_pickle.loads(data) == [Plain(3)]


def test_instance_dispatch_table_is_consulted_and_its_failures_substituted():
    buf, failures, boom = io.BytesIO(), Failures(), Boom()
    p = Recorder(buf, failure_reducer=failures)
    p.dispatch_table = {Plain: lambda obj: (Replacement, (obj.x,)), Boom: broken_reducer}
    p.dump([Plain(5), boom])
    back = tarn_pickle.loads(buf.getvalue())
    assert type(back[0]) is Replacement and type(back[1]) is Unwritable
    assert failures.objs == [boom]


# ----------------------------------------------------- life of a pickler


class Node:
    def __init__(self, next=None):
        self.next = next


@pytest.mark.parametrize("protocol", [0, 4])
@pytest.mark.parametrize("cls", [Recorder, tarn_pickle.Pickler])
def test_deep_nesting_raises_recursion_error(cls, protocol):
    deep = chain = None
    for _ in range(10_000):
        deep, chain = [deep], Node(chain)
    with pytest.raises(RecursionError):
        dump(deep, protocol, cls=cls, failure_reducer=Failures())
    with pytest.raises(RecursionError):
        dump(chain, protocol, cls=cls, failure_reducer=Failures())


@pytest.mark.parametrize("value", [Plain(1), threading.Lock()])
def test_pickler_freed_without_gc_and_hook_removed(value):
    gc.disable()
    try:
        p = Recorder(io.BytesIO(), failure_reducer=Failures())
        p.dump([value])
        p.failure_reducer = broken_reducer
        with pytest.raises(RuntimeError):
            p.dump([threading.Lock()])
        assert "reducer_override" not in vars(p)
        assert p.reducer_override.__func__ is Recorder.reducer_override
        ref = weakref.ref(p)
        del p
        assert ref() is None
    finally:
        gc.enable()


def test_instance_override_is_used_and_kept():
    p = tarn_pickle.Pickler(io.BytesIO(), failure_reducer=Failures())
    asked = []
    own = lambda obj: asked.append(obj) or NotImplemented  # noqa: E731
    p.reducer_override = own
    p.dump([Plain()])
    assert len(asked) == 2 and vars(p)["reducer_override"] is own  # instance, then its class


def test_same_pickler_dumps_twice_sharing_its_memo(failure_mode):
    buf = io.BytesIO()
    p = Recorder(buf, **failure_mode)
    shared = Plain(1)
    p.dump([shared, top_function])
    p.dump([shared, Plain(2)])
    assert sum(o is shared for o in p.seen) == 1
    buf.seek(0)
    reader = pickle.Unpickler(buf)
    first, second = reader.load(), reader.load()
    assert first == [Plain(1), top_function] and second == [Plain(1), Plain(2)]
    assert second[0] is first[0]


def test_constructor_arguments():
    assert tarn_pickle.Pickler.__bases__ == (_pickle.Pickler,)
    assert Recorder(io.BytesIO()).protocol == pickle.DEFAULT_PROTOCOL
    assert Recorder(io.BytesIO(), -1).protocol == pickle.HIGHEST_PROTOCOL
    with pytest.raises(TypeError):
        tarn_pickle.Pickler(io.BytesIO(), 4, True)  # fix_imports is keyword-only
    with pytest.raises(TypeError, match="failure_reducer must be callable"):
        tarn_pickle.Pickler(io.BytesIO(), failure_reducer=3)
    with pytest.raises(ValueError):
        tarn_pickle.Pickler(io.BytesIO(), pickle.HIGHEST_PROTOCOL + 1)
    buffers = []
    data, _ = dump([pickle.PickleBuffer(b"abc")], 5, buffer_callback=buffers.append,
                   failure_reducer=Failures())
    assert bytes(pickle.loads(data, buffers=buffers)[0]) == b"abc"


def test_loads_round_trips_and_rejects_garbage():
    obj = {"a": [1, (2, 3)], "b": Plain(4)}
    assert tarn_pickle.loads(pickle.dumps(obj)) == obj
    with pytest.raises(pickle.UnpicklingError):
        tarn_pickle.loads(b"not a pickle")


# --------------------------------------------------- one dump at a time

class Reenters(tarn_pickle.Pickler):
    """At `trigger`, calls `action(self)` from the hook and keeps what it raised."""

    def __init__(self, file, action, **kw):
        super().__init__(file, **kw)
        self.action, self.raised = action, []

    def reducer_override(self, obj):
        if isinstance(obj, Replacement):
            try:
                self.action(self)
            except RuntimeError as err:
                self.raised.append(str(err))
            return (Plain, (obj.value,))
        return NotImplemented


@pytest.mark.parametrize("action", [
    lambda p: p.dump([1, "two", Plain(3)]),
    lambda p: p.clear_memo(),
    lambda p: tarn_pickle.Pickler.__init__(p, io.BytesIO()),
])
def test_a_pickler_refuses_to_start_over_while_it_dumps(action, failure_mode):
    buf = io.BytesIO()
    p = Reenters(buf, action, **failure_mode)
    shared = Plain(9)
    p.dump([Replacement(1), "tail" * 20, shared, shared, Replacement(2)])
    assert p.raised == ["pickler is already dumping"] * 2
    back = pickle.loads(buf.getvalue())
    assert back == [Plain(1), "tail" * 20, Plain(9), Plain(9), Plain(2)] and back[2] is back[3]
    # Once the dump is over, the same pickler dumps and clears again.
    p.clear_memo()
    p.dump([Plain(4)])


def test_other_picklers_dump_inside_a_dump(failure_mode):
    inner = io.BytesIO()
    p = Reenters(io.BytesIO(), lambda _: Recorder(inner, **failure_mode).dump([Plain(5)]),
                 **failure_mode)
    p.dump([Replacement(1)])
    assert p.raised == [] and pickle.loads(inner.getvalue()) == [Plain(5)]
