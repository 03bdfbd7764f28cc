"""Arguments and results are written by the hooks without the pickler where
the values allow it: the bytes must be the safe pickler's, for every value,
and a class that changes or that customises its pickling must be noticed."""

import copyreg
import datetime
import decimal
import enum
import gc
import pickle
import sys

import pytest

from tarnwick_collector.data_collection import invocations
from tarnwick_collector.data_serialization.pickler import safe_pickle

META = invocations.FunctionMetadata("m", "m.f")


def written(*args):
    """The bytes a call record keeps of ``args`` (as a recorded call's)."""
    return invocations.FunctionCall(META, args, {}, {}).pre_run_args


def stats():
    return invocations._value_bytes_stats()


def outcome(fn, *args):
    try:
        return fn(*args)
    except Exception as exc:  # the safe pickler refuses some: the same way
        return type(exc), str(exc)


def same_as_pickler(*args):
    return outcome(written, *args) == outcome(safe_pickle, args, False)


class Colour(enum.Enum):
    RED = "red"
    BLUE = ("b", 2)


class Point:
    def __init__(self, x, y):
        self.x = x
        self.y = y
        self.kind = "Point"  # the very string the class's name is


class Holder:
    def __init__(self, **kw):
        self.__dict__.update(kw)

    def method(self):
        return self


def module_function():
    return 1


class Outer:
    class Inner:
        def __init__(self):
            self.v = 1


def shared_and_cyclic():
    p = Point(1, 2)
    h = Holder(a=p, b=p, same=[p.__dict__])
    h.me = h
    loop = [1]
    loop.append(loop)
    return (h, loop, p)


def local_class():
    class Local:
        def __init__(self):
            self.v = 1
    return Local()


DIRECT = {
    "plain": lambda: (Point(1.5, -2), Point(10 ** 6, float("nan")), {"k": [Point(0, -0.0)]}),
    "shared and cyclic": shared_and_cyclic,
    "standard library": lambda: (datetime.date(2024, 2, 29), datetime.datetime(2020, 1, 2, 3, 4),
                                 datetime.time(5, 6), datetime.timedelta(3, 4),
                                 decimal.Decimal("1.10"), decimal.Decimal("-Infinity")),
    "enum members": lambda: (Colour.RED, [Colour.BLUE, Colour.RED], Holder(c=Colour.BLUE)),
    "by name": lambda: (module_function, Holder().method, len, Point, [Point, Holder]),
    "mixed": lambda: (Holder(when=datetime.date(2024, 1, 1), colour=Colour.RED,
                             lines=[Point(i, i * 2) for i in range(5)], tags={"a", "b"}),),
}


@pytest.mark.parametrize("name", list(DIRECT))
def test_values_written_directly_are_the_safe_picklers_bytes(name):
    make = DIRECT[name]
    for _ in range(3):  # checked against the pickler, then written directly
        value = make()
        before = stats()
        assert written(*value) == safe_pickle(value, False)
    after = stats()
    assert after["direct"] > before["direct"] and after["differed"] == 0


class Reduces:
    def __init__(self):
        self.v = 1

    def __reduce__(self):
        raise AssertionError("the program's __reduce__ ran")


class Slotted:
    __slots__ = ("v",)

    def __init__(self):
        self.v = 1


class Meta(type):
    pass


class WithMeta(metaclass=Meta):
    def __init__(self):
        self.v = 1


class Hooked:
    def __init__(self):
        self.v = 1

    def __getattr__(self, name):
        raise AssertionError("the program's __getattr__ ran")


class Named:
    __name__ = "looks like a function"

    def __init__(self):
        self.v = 1


class Registered:
    def __init__(self):
        self.v = 1


class Equality:
    def __init__(self):
        self.v = 1

    def __eq__(self, other):
        raise AssertionError("the program's __eq__ ran")

    __hash__ = object.__hash__


class ListLike(list):
    pass


def dunder_key():
    h = Holder(v=1)
    h.__dict__["__reduce_ex__"] = "shadow"
    return h


LEFT = {
    "__reduce__": lambda: Reduces(),
    "__slots__": lambda: Slotted(),
    "metaclass": lambda: WithMeta(),
    "__getattr__": lambda: Hooked(),
    "class __name__": lambda: Named(),
    "copyreg": lambda: Registered(),
    "list subclass": lambda: ListLike([1, Point(1, 2)]),
    "special key": dunder_key,
    "nested class": lambda: Outer.Inner(),
    "local class": local_class,
    "empty instance": lambda: Holder(),
    "big int": lambda: 2 ** 70,
    "lone surrogate": lambda: Holder(s="\udc80"),
}


@pytest.fixture
def registered():
    copyreg.pickle(Registered, lambda obj: (Registered, ()))
    yield
    del copyreg.dispatch_table[Registered]


@pytest.mark.parametrize("name", list(LEFT))
def test_values_the_pickler_must_see_are_left_to_it(name, registered):
    for _ in range(2):
        value = (LEFT[name](), Point(1, 2))
        assert same_as_pickler(*value)
    assert stats()["differed"] == 0


def test_equality_of_the_programs_objects_is_never_asked():
    value = (Equality(), [Equality()], {"k": Equality()})
    assert written(*value) == safe_pickle(value, False)


def test_a_class_changed_or_rebound_after_its_check_is_seen():
    class_ = type("Changing", (), {"__module__": __name__, "__init__": Point.__init__})
    setattr(sys.modules[__name__], "Changing", class_)
    try:
        for _ in range(2):
            assert same_as_pickler(class_(1, 2))
        # A pickling method added later: the program's own, never run.
        class_.__getstate__ = lambda self: (_ for _ in ()).throw(AssertionError("ran"))
        assert same_as_pickler(class_(1, 2))
        del class_.__getstate__
        assert same_as_pickler(class_(1, 2))
        # Renamed (no new version tag on some interpreters): not found by that name.
        class_.__qualname__ = "Renamed"
        assert same_as_pickler(class_(1, 2))
        class_.__qualname__ = "Changing"
        assert same_as_pickler(class_(1, 2))
        # Another object under its name: not found by name any more.
        setattr(sys.modules[__name__], "Changing", Point)
        assert same_as_pickler(class_(1, 2))
    finally:
        delattr(sys.modules[__name__], "Changing")
    assert stats()["differed"] == 0


class Mutator:
    """Garbage whose finalizer changes the value being written."""

    def __init__(self, target):
        self.target = target
        self.cycle = self

    def __del__(self):
        self.target.__dict__.update({f"k{i}": [i] for i in range(50)})
        self.target.items.clear()


def test_a_value_changed_by_a_finalizer_mid_walk_is_written_safely():
    old = gc.get_threshold()
    gc.collect()
    gc.set_threshold(1)
    try:
        for _ in range(30):
            target = Holder(items=[datetime.date(2024, 1, 1) for _ in range(20)],
                            more=[decimal.Decimal(i) for i in range(20)])
            for _ in range(5):
                Mutator(target)
            data = written(target)
            assert isinstance(pickle.loads(data)[0], Holder)
    finally:
        gc.set_threshold(*old)


def recorded_function(settings):
    return settings


def test_globals_are_the_safe_picklers_bytes_with_the_wrapper_on(sinks):
    import json

    from tarnwick_collector.data_collection import harvest

    data, _ = sinks
    direct = []
    for attribute_used in (False, False, False, True):
        before = harvest._value_bytes_stats()
        settings, other = Holder(child=Point(1, 2), mode="fast"), Holder(v=[1, 2])
        loaded = {"settings": settings, "json": json, "Point": Point, "str": str,
                  "fn": module_function, "other": other, "when": datetime.date(2024, 1, 1)}
        rec = harvest.record_user_function_call(recorded_function, settings)
        for name, value in loaded.items():
            harvest.load_global_hook(value, name)
        if attribute_used:  # then written as the attributes used
            harvest.load_attr_hook(settings, "child", settings.child)
        harvest.record_user_function_return_value(settings, rec, type(None))
        sent = pickle.loads(data.messages[-1])
        names = pickle.loads(sent.globals)  # what the filter kept
        kept = {k: v for k, v in loaded.items() if k in names}
        assert sent.globals == safe_pickle(kept) and "settings" in kept
        after = harvest._value_bytes_stats()
        direct.append(after["direct"] > before["direct"])
        assert after["differed"] == 0
    # The last is left to the pickler: the wrapper writes what was used.
    assert direct[2] and not direct[3]


def test_classes_written_directly_are_not_kept_alive():
    import weakref

    module = sys.modules[__name__]
    transient = type("Transient", (), {"__module__": __name__, "__init__": Point.__init__})
    module.Transient = transient
    before = stats()
    for _ in range(3):
        assert same_as_pickler(transient(1, 2), transient)
    assert stats()["direct"] > before["direct"]
    gone = weakref.ref(transient)
    del module.Transient, transient
    gc.collect()
    assert gone() is None
