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
