"""Metadata extraction, its cache and its metric."""

import gc
import hashlib
import marshal
import weakref

import pytest

from tarnwick_collector.data_collection import introspect
from tarnwick_collector.data_collection.introspect import Introspector, get_attribute_full_name
from tarnwick_collector.data_collection.invocations import (
    ExternalFunctionMetadata,
    UserFunctionMetadata,
)
from tarnwick_collector.data_collection.metrics import ExternalFunction

extract = Introspector.extract_function_metadata
MOD = __name__


def plain(a, b=2):
    return a + b


async def coro(x):
    return x


class Base:
    def __init__(self, x):
        self.x = x


class Child(Base):
    pass


class NoInit:
    pass


class Account:
    def deposit(self, amount):
        return amount

    @classmethod
    def open(cls, owner):
        return cls()


class Outer:
    class Inner:
        pass


def test_user_function_metadata(serializer):
    meta = extract(plain)
    assert type(meta) is UserFunctionMetadata
    assert meta.module_name == MOD and meta.full_name == f"{MOD}.plain"
    assert meta.code_hash == hashlib.md5(marshal.dumps(plain.__code__)).hexdigest()
    assert meta.full_path == plain.__code__.co_filename
    assert meta.co_names == plain.__code__.co_names
    assert meta.function_signature.args == ["a", "b"]
    assert meta.is_async is False
    assert extract(coro).is_async is True
    assert extract(plain, collect_signature=False).function_signature is None


def test_classes_and_methods_are_normalized(native_maps, serializer):
    assert extract(Base).full_name == f"{MOD}.Base.__init__"
    # Inherited constructor: found through the MRO.
    child = extract(Child)
    assert child.full_name == f"{MOD}.Base.__init__"
    assert child.full_path == Base.__init__.__code__.co_filename
    # A class keeping object's constructor is analysed as itself.
    no_init = extract(NoInit)
    assert no_init.full_name == f"{MOD}.NoInit"
    assert (no_init.code_hash, no_init.full_path, no_init.co_names) == (
        "unhashable", "unknown_path", None)

    bound = extract(Account().deposit)
    assert bound.full_name == f"{MOD}.Account.deposit"
    assert native_maps.get_pyobject_to_pyobject_item(Account.deposit) == id(bound)
    cm = extract(Account.open)
    assert cm.full_name == f"{MOD}.Account.open"
    assert native_maps.get_pyobject_to_pyobject_item(Account.open.__func__) == id(cm)


def test_metaclass_hooks_are_not_run(serializer):
    seen = []

    class Meta(type):
        def __getattribute__(cls, name):
            seen.append(name)
            return super().__getattribute__(name)

    class Loud(metaclass=Meta):
        def __init__(self):
            pass

    meta = extract(Loud)
    assert meta.full_name.endswith("Loud.__init__")
    assert "__init__" not in seen


def test_builtin_as_user_function(serializer):
    meta = extract(len)
    assert (meta.module_name, meta.full_name) == ("builtins", "builtins.len")
    assert (meta.code_hash, meta.full_path, meta.co_names) == ("unhashable", "unknown_path", None)
    assert meta.function_signature is None and meta.is_async is False


def test_external_candidates_and_metric(serializer, metrics):
    meta, flag = extract(plain, True)
    assert type(meta) is ExternalFunctionMetadata
    assert flag is True and meta.is_function_for_recording is True and meta.is_builtin is False
    assert meta.full_name == f"{MOD}.plain"
    extract(plain, True)
    assert metrics() == [ExternalFunction("local", "local", *metrics_versions(), f"{MOD}.plain")] * 2

    # open's module is io up to 3.11, _io from 3.12 on.
    for fn, name in ((open, f"{open.__module__}.open"), (input, "builtins.input")):
        meta, flag = extract(fn, True)
        assert flag and meta.full_name == name
    assert len(metrics()) == 4

    for fn in (len, [].append, NoInit):
        meta, flag = extract(fn, True)
        assert flag is False and meta.full_name == "" and meta.is_function_for_recording is False
    assert len(metrics()) == 4


def metrics_versions():
    from tarnwick_collector.configs.collector_settings import CollectorSettings

    return CollectorSettings.python_version, CollectorSettings.lib_version


def test_cache_reads_and_writes(native_maps, serializer, metrics):
    def fresh(x):
        return x

    # No entry: computed, nothing stored, nothing sent.
    first = extract(fresh, True, dont_cache=True)
    assert native_maps.get_pyobject_to_pyobject_item(fresh) is None
    assert metrics() == []

    stored = extract(fresh, True)
    assert native_maps.get_pyobject_to_pyobject_item(fresh) == id(stored)
    assert stored is not first
    assert extract(fresh, dont_cache=True) is stored  # a hit returns the pair as stored
    assert len(metrics()) == 1

    again = extract(fresh)  # the hooks recompute and overwrite every time
    assert again is not stored
    assert native_maps.get_pyobject_to_pyobject_item(fresh) == id(again)
    assert extract(fresh, dont_cache=True) is again


def test_cached_reads_never_hand_out_a_freed_record(native_maps, serializer):
    def make(n):
        def f():
            return n
        return f

    funcs = [make(n) for n in range(50)]
    records = [extract(f) for f in funcs]
    for f, record in zip(funcs, records):
        assert extract(f, dont_cache=True) is record
    record_refs = [weakref.ref(r) for r in records]
    del records, record
    gc.collect()
    # A record lasts as long as its holders do; its entry goes with it.
    assert all(r() is None for r in record_refs)
    for _ in range(5):
        junk = [UserFunctionMetadata("x", "y", "h", "/p", (), None) for _ in range(2000)]
        del junk
        for f in funcs:
            assert native_maps.get_pyobject_to_pyobject_item(f) is None
            hit = extract(f, dont_cache=True)
            assert type(hit) is UserFunctionMetadata and hit.full_name.endswith("make.<locals>.f")

    # External pairs hold only names and are kept while their callable lives.
    pairs = {id(f): extract(f, True) for f in funcs}
    assert all(extract(f, dont_cache=True) is pairs[id(f)] for f in funcs)
    del pairs


def test_cache_keeps_no_callable_alive(native_maps, serializer, metrics):
    def make(payload):
        def handler():
            return len(payload)
        return handler

    class Payload(list):
        pass

    payloads = [Payload([n]) for n in range(100)]
    handlers = [make(p) for p in payloads]
    bags = [Payload() for _ in range(100)]
    for h, bag in zip(handlers, bags):
        extract(h)
        extract(h, True)
        extract(bag.append, True)  # a bound builtin keeps its bag
        extract(bag.append)
    addresses = {id(h) for h in handlers}
    refs = [weakref.ref(o) for o in payloads + handlers + bags]
    del payloads, handlers, bags, h, bag
    gc.collect()
    assert [r for r in refs if r() is not None] == []

    # Callables born at the addresses of dead ones find nothing of theirs.
    reborn = [make(Payload()) for _ in range(300)]
    reused = [g for g in reborn if id(g) in addresses]
    for g in reused:
        assert native_maps.get_pyobject_to_pyobject_item(g) is None
        assert type(extract(g, dont_cache=True)) is UserFunctionMetadata


def test_entry_replaced_from_outside_is_not_handed_out(native_maps, serializer):
    def victim():
        pass

    extract(victim)
    stranger = UserFunctionMetadata("x", "x.y", "h", "/p", (), None)
    native_maps.set_pyobject_to_pyobject_item(victim, stranger)
    del stranger
    gc.collect()
    meta = extract(victim, dont_cache=True)
    assert type(meta) is UserFunctionMetadata and meta.full_name.endswith("victim")
    extract(victim)  # leave the map pointing at something alive


def test_errors_propagate(serializer):
    class Explodes:
        @property
        def __func__(self):
            raise RuntimeError("no")

        def __call__(self):
            pass

    with pytest.raises(RuntimeError):
        extract(Explodes())
    with pytest.raises(TypeError, match="Argument 'module' has incorrect type "
                                        r"\(expected str, got int\)"):
        Introspector._extract_external_function_metadata(5, plain)
    meta, flag = Introspector._extract_external_function_metadata(None, plain)
    assert flag is True and meta.module_name is None


def test_attribute_full_name_and_namespace():
    assert get_attribute_full_name(3) == "builtins.int"
    assert get_attribute_full_name(Outer.Inner()) == f"{MOD}.Outer.Inner"
    assert get_attribute_full_name.__doc__ == "This function returns the full name of an object."
    assert Introspector.__doc__ == "This class is responsible for extracting function meta data."
    assert Introspector.FUNCTION_DATA == {}
    assert (introspect.CODE_DUNDER, introspect.UNKNOWN_PATH_STR, introspect.UNHASHABLE_STR,
            introspect.SELF_CONST, introspect.INIT_STR, introspect.FUNC_STR, introspect.MAIN_STR,
            introspect.BUILTINS) == ("__code__", "unknown_path", "unhashable", "__self__",
                                     "__init__", "__func__", "__main__", "builtins")
    assert introspect.CO_COROUTINE == 0x80
    assert introspect.reported_modules == set()


def test_bound_builtin_methods_follow_their_class_and_send_every_metric(serializer, metrics):
    # Made afresh at every access, named after their object's class: what is
    # worked out once must follow a change of the class.
    class Names(list):
        pass

    Names.__module__ = MOD
    first, _ = extract(Names().append, True)
    again, _ = extract(Names([1]).append, True)
    Names.__qualname__ = "Renamed"
    renamed, _ = extract(Names().append, True)
    assert first.full_name == again.full_name and first.full_name.endswith("Names.append")
    assert renamed.full_name == f"{MOD}.Renamed.append"
    assert [m.full_name for m in metrics()] == [first.full_name] * 2 + [renamed.full_name]
