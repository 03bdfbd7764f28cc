"""What is remembered from one recorded call to the next must follow what
it was made from: by-name lookups of classes and functions, the names of
callables, the bytes of constant metrics and values."""

import gc
import io
import sys
import types
import weakref

import pytest

from tarnwick_collector.configs.collector_settings import CollectorSettings, MessageSink
from tarnwick_collector.data_serialization import tarn_pickle
from tarnwick_collector.data_serialization.pickler import safe_pickle


class StandIn:
    def __init__(self, what):
        self.what = what


def stand_in(obj):
    return (StandIn, (getattr(obj, "__qualname__", "?"),))


def dump(obj):
    buf = io.BytesIO()
    tarn_pickle.Pickler(buf, 4, failure_reducer=stand_in).dump(obj)
    return tarn_pickle.loads(buf.getvalue())


@pytest.fixture
def module():
    mod = types.ModuleType("cost_probe_module")
    exec("def f():\n    return 1\n\nclass C:\n    class Inner:\n        pass\n", mod.__dict__)
    sys.modules[mod.__name__] = mod
    yield mod
    sys.modules.pop(mod.__name__, None)


def test_by_name_lookups_follow_the_module(module):
    f, cls, inner = module.f, module.C, module.C.Inner
    for _ in range(2):  # the second time from what the first remembered
        assert dump([f, cls, inner]) == [f, cls, inner]

    cls.Inner = int  # a nested name changes in the class, not the module
    assert isinstance(dump(inner), StandIn)
    cls.Inner = inner
    assert dump(inner) is inner

    module.f = lambda: 2  # the name now stands for another function
    assert isinstance(dump(f), StandIn)
    module.f = f
    assert dump(f) is f

    f.__qualname__ = "g"  # renamed: looked up under the new name, absent
    assert isinstance(dump(f), StandIn)
    f.__qualname__ = "f"
    cls.__qualname__ = "D"
    assert isinstance(dump(cls), StandIn)
    cls.__qualname__ = "C"
    assert dump([f, cls]) == [f, cls]

    replacement = types.ModuleType(module.__name__)
    sys.modules[module.__name__] = replacement  # the module itself is replaced
    assert isinstance(dump(f), StandIn)
    replacement.f = f
    assert dump(f) is f
    del sys.modules[module.__name__]
    assert isinstance(dump(cls), StandIn)


def test_remembered_lookups_keep_nothing_alive(module):
    exec("def h():\n    return 3\n", module.__dict__)
    assert dump(module.h) is module.h
    ref = weakref.ref(module.h)
    del module.h
    gc.collect()
    assert ref() is None


@pytest.fixture
def sinks(monkeypatch):
    data, metrics = MessageSink("data"), MessageSink("metrics")
    monkeypatch.setattr(CollectorSettings, "data_subprocess", data)
    monkeypatch.setattr(CollectorSettings, "metrics_subprocess", metrics)
    return data, metrics


def add(a, b):
    return a + b


def record_one():
    from tarnwick_collector.data_collection import harvest

    rec = harvest.record_user_function_call(add, 1, 2)
    harvest.record_user_function_return_value(3, rec, type(None))


def test_metric_bytes_follow_settings_serializer_and_class(sinks, monkeypatch):
    import pickle

    from tarnwick_collector.data_collection import metrics

    _, sent = sinks
    record_one()
    record_one()
    first = [pickle.loads(m) for m in sent.messages]
    assert [type(m).__name__ for m in first] == ["CollectionTry", "CollectionSuccess"] * 2
    assert all(m.tenant_id == CollectorSettings.tenant_id for m in first)

    # A value changed, and a value equal but not the same object.
    sent.clear()
    monkeypatch.setattr(CollectorSettings, "tenant_id", "acme")
    record_one()
    monkeypatch.setattr(CollectorSettings, "tenant_id", "".join(["ac", "me"]))
    record_one()
    assert [pickle.loads(m).tenant_id for m in sent.messages] == ["acme"] * 4

    # A class attribute of a metric changes what its instances carry.
    sent.clear()
    monkeypatch.setattr(metrics.Metric, "origin", "probe", raising=False)
    monkeypatch.setattr(metrics.CollectionTry, "__init__",
                        lambda self, *a: (metrics.Metric.__init__(self, *a),
                                          setattr(self, "marked", True))[0])
    record_one()
    assert getattr(pickle.loads(sent.messages[0]), "marked", False)

    # Any other serializer is asked every time.
    calls = []

    class Counting:
        def serialize(self, obj, object_wrapper=True):
            calls.append(type(obj).__name__)
            return pickle.dumps(obj)

    monkeypatch.setattr(CollectorSettings, "serializer", Counting())
    record_one()
    record_one()
    assert calls.count("CollectionTry") == 2 and calls.count("CollectionSuccess") == 2


def test_signature_bytes_follow_what_the_signature_holds():
    import inspect
    import pickle

    from tarnwick_collector.data_collection.invocations import (UserFunctionCall,
                                                                UserFunctionMetadata)

    def f(a, b=2, *, c="x"):
        return a

    spec = inspect.getfullargspec(f)

    def written():
        meta = UserFunctionMetadata("m", "m.f", "h", "/p.py", (), spec)
        UserFunctionCall(meta, (1,), {}, {})
        return pickle.loads(meta.function_signature)

    assert written() == written() == spec
    spec.args.append("late")  # the same object, holding something else
    assert written().args == ["a", "b", "late"]
    spec.kwonlydefaults["c"] = "y"
    assert written().kwonlydefaults == {"c": "y"}

    class Unplain:
        pass

    odd = spec._replace(defaults=(Unplain,))  # a class of the program's: not remembered
    meta = UserFunctionMetadata("m", "m.f", "h", "/p.py", (), odd)
    UserFunctionCall(meta, (1,), {}, {})
    assert pickle.loads(meta.function_signature).defaults != spec.defaults


def test_call_metadata_follows_the_function(sinks):
    """The metadata of a recorded call is remembered per function: every
    change the name, hash and signature helpers would see shows in the next
    record, and the remembered data keeps neither the function nor what it
    held alive."""
    import pickle

    from tarnwick_collector.data_collection import harvest
    from tarnwick_collector.data_collection.introspect import Introspector
    from tarnwick_collector.data_serialization.wirecodec import IpcPickleSerializer

    data, _ = sinks
    ser = IpcPickleSerializer()
    namespace = {}
    exec("def probe(a, b=2, *, c='x'):\n    return a\n", namespace)
    probe = namespace["probe"]

    def recorded():
        data.clear()
        rec = harvest.record_user_function_call(probe, 1)
        harvest.record_user_function_return_value(1, rec, type(None))
        meta = ser.deserialize(data.messages[-1]).function_metadata
        return meta, pickle.loads(meta.function_signature)

    def fresh():
        meta = Introspector.extract_function_metadata(probe, dont_cache=True)
        return meta.full_name, meta.code_hash

    first, spec = recorded()
    again, spec_again = recorded()
    assert (again.full_name, again.code_hash, spec_again) == (first.full_name, first.code_hash, spec)
    assert spec.defaults == (2,) and spec.kwonlydefaults == {"c": "x"}

    probe.__defaults__ = (3,)
    assert recorded()[1].defaults == (3,)
    probe.__kwdefaults__["c"] = "y"  # in place
    assert recorded()[1].kwonlydefaults == {"c": "y"}
    probe.__annotations__["a"] = int  # in place
    assert recorded()[1].annotations == {"a": int}
    probe.__qualname__ = "renamed"
    meta, _ = recorded()
    assert meta.full_name.endswith(".renamed") and (meta.full_name, meta.code_hash) == fresh()
    probe.__module__ = "elsewhere"
    assert recorded()[0].full_name == "elsewhere.renamed"
    exec("def other(a, b=2, *, c='x'):\n    return a + 1\n", namespace)
    probe.__code__ = namespace["other"].__code__
    meta, _ = recorded()
    assert meta.code_hash != first.code_hash and (meta.full_name, meta.code_hash) == fresh()

    class Odd:  # a default of the program's own: not remembered, still right
        pass

    odd = Odd()
    probe.__defaults__ = (odd,)
    assert recorded()[1].defaults[0] not in (2, 3)
    odd_ref = weakref.ref(odd)
    probe.__defaults__ = (4,)
    del odd
    assert recorded()[1].defaults == (4,)
    gc.collect()
    assert odd_ref() is None

    ref = weakref.ref(probe)
    del probe, namespace
    gc.collect()
    assert ref() is None
