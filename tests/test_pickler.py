"""The safe pickler: what it writes, what it refuses, and what it never runs."""

import collections
import decimal
import enum
import fractions
import functools
import http
import io
import logging
import re
import sys
import threading
import typing

import pytest

from tarnwick_collector.configs.collector_settings import CollectorSettings
from tarnwick_collector.data_collection import used_attributes_collector
from tarnwick_collector.data_collection.introspect import Introspector
from tarnwick_collector.data_collection.invocations import UserFunctionCall, UserFunctionMetadata
from tarnwick_collector.data_serialization import pickler
from tarnwick_collector.data_serialization.pickler import (
    SafePickler,
    UnpicklableHelpers,
    safe_pickle,
    safe_pickle_loads,
)
from tarnwick_collector.data_serialization.wirecodec import IpcPickleSerializer
from tarnwick_collector.exceptions import ProblematicPickleException
from tarnwick_common.utils.object_wrapper import (
    ExceptionWrapper,
    ModuleWrapper,
    ObjectWrapper,
    UnpicklableObject,
)

MOD = __name__
calls = []


def roundtrip(obj, object_wrapper=True):
    return safe_pickle_loads(safe_pickle(obj, object_wrapper))


def reducer():
    import io as _io

    return SafePickler(True, _io.BytesIO(), failure_reducer=UnpicklableHelpers.__reduce__,
                       special_cases=UnpicklableHelpers.special_cases)


@pytest.mark.parametrize("value", [
    1, -2**70, 3.5, "text", b"bytes", None, True, (1, "a"), [1, [2, [3]]],
    {"a": [1, 2], "b": {"c": (None,)}}, {1, 2}, frozenset({3}), bytearray(b"x"),
    collections.OrderedDict(a=1), {"big": list(range(5000)), "names": [str(i) for i in range(500)]},
])
def test_plain_data_round_trips(value):
    assert roundtrip(value) == value
    ser = IpcPickleSerializer()
    assert ser.deserialize(ser.serialize(value)) == value
    assert ser.serialize(value) == ser.serialize(value, True) == safe_pickle(value)


def test_loads_never_raises():
    assert safe_pickle_loads(b"") is None
    assert safe_pickle_loads(safe_pickle([1, 2, 3])[:-3]) is None
    assert safe_pickle_loads(b"garbage") is None


# ----------------------------------------------------- user code never runs

class WithReduce:
    def __reduce__(self):
        calls.append("reduce")
        return (int, (1,))


class WithReduceEx:
    def __reduce_ex__(self, protocol):
        calls.append("reduce_ex")
        return (int, (1,))


class WithGetstate:
    def __getstate__(self):
        calls.append("getstate")
        return {}


class WithNewargs:
    def __getnewargs__(self):
        calls.append("getnewargs")
        return ()


class WithGetattr:
    def __getattr__(self, name):
        calls.append(("getattr", name))
        raise AttributeError(name)


class WithGetattribute:
    def __getattribute__(self, name):
        calls.append(("getattribute", name))
        return object.__getattribute__(self, name)


class WithProperty:
    def __init__(self):
        self.plain = 1

    @property
    def watched(self):
        calls.append("property")
        return 2


class Holder:
    def __init__(self, inner):
        self.inner = inner


PICKLE_HOOKS = [WithReduce, WithReduceEx, WithGetstate, WithNewargs]


@pytest.mark.parametrize("cls", PICKLE_HOOKS + [WithGetattr, WithGetattribute])
@pytest.mark.parametrize("wrap", [lambda o: o, lambda o: [o], lambda o: {"k": (o,)}, Holder])
def test_pickling_hooks_are_refused_without_running(cls, wrap):
    calls.clear()
    obj = cls()
    calls.clear()
    with pytest.raises(ProblematicPickleException) as err:
        safe_pickle(wrap(obj))
    why = "it has one of the pickle methods" if cls in PICKLE_HOOKS else "it has __getattr__ method"
    assert str(err.value) == f"'{cls!r}' cant be pickled because {why}"
    assert calls == []


def test_properties_are_not_read_when_written_ordinarily():
    calls.clear()
    back = roundtrip(Holder(WithProperty()))
    assert back.inner.plain == 1 and calls == []


def test_reducer_override_probes_are_static():
    calls.clear()
    p = reducer()
    with pytest.raises(ProblematicPickleException):
        p.reducer_override(WithGetattr())
    assert calls == []
    assert SafePickler.is_subclass_for_skip(WithGetattr()) is False
    assert calls == []


# ----------------------------------------------------------- replacements

def helper_function(x):
    return x


class Base:
    def __init__(self, x):
        self.x = x

    def method(self):
        return self.x


class Child(Base):
    pass


class CustomError(Exception):
    def __reduce__(self):
        calls.append("error reduce")
        return (CustomError, ())


def test_functions_are_written_by_name():
    p = reducer()
    load = pytest.importorskip("jsonpickle.unpickler").loadclass
    assert p.reducer_override(helper_function) == (load, (f"{MOD}.helper_function",))
    assert p.reducer_override(Base(1).method) == (load, (f"{MOD}.Base.method",))
    # An inherited constructor is named where it is defined.
    assert p.reduce_function(Child) == (load, (f"{MOD}.Base.__init__",))
    assert p.reducer_override(len) == (load, ("builtins.len",))
    assert p.reduce_function(load) is NotImplemented
    assert p.reduce_function(pickler.wrap_object) is NotImplemented
    assert p.reduce_function(pickler.wrap_function) == (
        load, ("tarnwick_collector.data_serialization.pickler.wrap_function",))
    back = roundtrip([helper_function, Base(3).method, len, pickler.wrap_module])
    assert back[0] is helper_function and back[2] is len
    assert back[1] is Base.method  # by name: the plain function
    assert back[3] is pickler.wrap_module


def test_nameless_cached_external_metadata_falls_back_to_its_name():
    meta, _ = Introspector.extract_function_metadata(print, True)
    assert meta.full_name == ""
    assert roundtrip(print) is print


def test_modules_exceptions_loggers():
    assert roundtrip(re) == ModuleWrapper("re")
    err = CustomError("bad", 2)
    err.extra = 1
    calls.clear()
    back = roundtrip(err)
    assert back == ExceptionWrapper(f"{MOD}.CustomError", ("bad", 2), {"extra": 1})
    assert calls == []
    plain = roundtrip(ValueError("v"))  # written the ordinary way
    assert type(plain) is ValueError and plain.args == ("v",)
    assert roundtrip(logging.getLogger("x.y")) == ObjectWrapper(logging.Logger, {})


class Config:
    def __init__(self):
        self.host, self.port, self.secret = "h", 80, "s"

    def connect(self):
        pass


def test_recorded_attribute_use(monkeypatch):
    cfg = Config()
    monkeypatch.setitem(used_attributes_collector.used_attributes, id(cfg), {"host", "connect"})
    back = roundtrip(cfg)
    assert type(back) is ObjectWrapper and back.wrapped_class is Config
    assert back.host == "h" and not hasattr(back, "secret")
    assert back.funcs == {"connect": Config.connect}  # the bound method, by name
    full = roundtrip(cfg, object_wrapper=False)
    assert type(full) is Config and full.secret == "s"

    # Modules are written by name before attribute use is looked at; reduced
    # directly, a module stands as ModuleWrapper.
    monkeypatch.setitem(used_attributes_collector.used_attributes, id(re), {"compile"})
    assert roundtrip(re) == ModuleWrapper("re")
    fn, (cls, funcs), attrs = reducer().reduce_used_attrs(re, {"compile"})
    assert fn is pickler.wrap_object and cls is ModuleWrapper
    assert funcs == {} and attrs == {"compile": re.compile}


def test_own_records_ignore_stale_attribute_entries(monkeypatch):
    meta = UserFunctionMetadata("m", "m.f", "h", "/p", (), None)
    call = UserFunctionCall(meta, (1,), {}, {})
    monkeypatch.setitem(used_attributes_collector.used_attributes, id(call), {"nothing"})
    monkeypatch.setitem(used_attributes_collector.used_attributes, id(meta), {"nothing"})
    back = roundtrip(call)
    assert type(back) is UserFunctionCall and back.function_metadata.full_name == "m.f"


def test_main_script_functions_are_renamed(monkeypatch, tmp_path):
    monkeypatch.setattr(CollectorSettings, "project_path", str(tmp_path))
    ns = {"__name__": "__main__"}
    exec(compile("def job():\n    pass\n", str(tmp_path / "tools" / "app.py"), "exec"), ns)
    load = pytest.importorskip("jsonpickle.unpickler").loadclass
    assert reducer().reducer_override(ns["job"]) == (load, ("tools.app.job",))


# ------------------------------------------------------------ failure route

def test_unwritable_objects_become_unpicklable_wrappers():
    def make_local():
        class Local:
            def __init__(self):
                self.value = 5

            def act(self):
                pass

        return Local()

    lock = threading.Lock()
    back = roundtrip({"lock": lock, "local": make_local(), "ok": 1})
    assert back["ok"] == 1
    assert type(back["lock"]) is UnpicklableObject and "lock" in back["lock"].type_text
    local = back["local"]
    assert type(local) is UnpicklableObject and "Local" in local.type_text
    assert local.value == 5 and set(local.funcs) == {"act"}
    assert local.funcs["act"].full_name.endswith("make_local.<locals>.Local.act")


def test_generators_stay_small_and_load():
    def numbers():
        yield 1

    gen = numbers()
    meta = UserFunctionMetadata("m", "m.f", "h", "/p", (), None)
    call = UserFunctionCall(meta, (gen,), {}, {})
    data = safe_pickle(call)
    assert len(data) < 64 * 1024
    back = safe_pickle_loads(data)
    arg = safe_pickle_loads(back.pre_run_args)[0]
    assert type(arg) is UnpicklableObject and arg.__qualname__.endswith("numbers")


def test_failure_reducer_reads_no_python_getattr():
    calls.clear()
    assert UnpicklableHelpers.__reduce__(WithGetattr()) == (
        UnpicklableObject, (str(WithGetattr), {}), {})
    assert calls == []


# -------------------------------------------------------------- bad input

def test_bad_input_gives_clear_errors():
    deep = []
    for _ in range(100000):
        deep = [deep]
    with pytest.raises(RecursionError):
        safe_pickle(deep)

    loop = []
    loop.append(loop)
    back = roundtrip(loop)
    assert back[0] is back

    node = Holder(None)
    node.inner = node
    back = roundtrip(node)
    assert back.inner is back

    class Liar:
        @property
        def __class__(self):
            calls.append("liar")
            return int

    calls.clear()
    liar = roundtrip(Liar())
    assert type(liar) is UnpicklableObject and "Liar" in liar.type_text
    assert calls == []

    class Exploding:
        def __init__(self):
            self.ok = 1

        @property
        def boom(self):
            raise RuntimeError("no")

    assert type(roundtrip(Exploding())) in (Exploding, UnpicklableObject)


# ------------------------------------------- interpreter and library values

T = typing.TypeVar("T")


class Color(str, enum.Enum):
    RED = "red"


class Tag(str):
    pass


class CustomTag(str):
    def __getnewargs__(self):
        calls.append("tag")
        return (str(self),)


def annotated(a: typing.Optional[str], b: list[int], c: typing.Callable[..., int],
              d: "int | None" = None) -> typing.Dict[str, T]:
    return {}


def test_interpreter_values_round_trip():
    values = [
        decimal.Decimal("1.25"), collections.deque([1, 2], maxlen=5), fractions.Fraction(1, 3),
        re.compile(r"a+b", re.I), Ellipsis, list[int], typing.Optional[str],
        typing.Callable[..., int], T, http.HTTPStatus.OK, Color.RED, Tag("t"),
    ]
    values.append(int | None)
    back = roundtrip(values)
    assert back == values
    assert type(back[values.index(Tag("t"))]) is Tag
    part = roundtrip(functools.partial(helper_function, 1))
    assert part.func is helper_function and part.args == (1,)
    stream = io.StringIO("abc")
    stream.read(1)
    copy = roundtrip(stream)
    assert copy.getvalue() == "abc" and copy.tell() == 1


def test_customised_str_subclass_still_refused():
    calls.clear()
    with pytest.raises(ProblematicPickleException):
        safe_pickle(CustomTag("x"))
    assert calls == []


def test_user_class_cannot_claim_the_standard_library():
    class Fake:
        def __reduce__(self):
            calls.append("fake")
            return (int, ())

    Fake.__module__ = "fractions"
    Fake.__qualname__ = "Fraction"
    calls.clear()
    with pytest.raises(ProblematicPickleException):
        safe_pickle(Fake())
    assert calls == []


def test_annotated_signature_serializes():
    meta = Introspector.extract_function_metadata(annotated)
    UserFunctionCall(meta, ("a", [1], len), {}, {})
    spec = safe_pickle_loads(meta.function_signature)
    assert spec.args == ["a", "b", "c", "d"]
    assert spec.annotations["b"] == list[int]


def test_getstate_means_a_class_defined_one_on_every_interpreter():
    p = reducer()
    plain = Holder(1)
    assert p.is_problematic_pickle(plain) is False
    assert p.reducer_override(plain) is NotImplemented
    assert p.is_problematic_pickle(WithGetstate()) is True


def test_written_objects_are_not_kept_alive():
    import gc
    import weakref

    def make():
        class Local:
            pass

        def closure():
            return Local

        return Local(), closure

    obj, fn = Holder([1, 2]), None
    local, fn = make()
    refs = [weakref.ref(o) for o in (obj, local, type(local), fn)]
    safe_pickle([obj, local, fn])
    del obj, local, fn
    gc.collect()
    assert [r() for r in refs] == [None] * 4
    with pytest.raises(ProblematicPickleException):
        safe_pickle([Holder(3), WithReduce()])
    assert roundtrip(Holder(4)).inner == 4  # the kept pickler still works after a failure


def test_is_classmethod_is_a_predicate():
    class Account:
        @classmethod
        def open(cls):
            pass

        def close(self):
            pass

    answers = [pickler.is_classmethod(m) for m in (Account.open, Account().close, len, 5, None)]
    assert answers == [True, False, False, False, False]
