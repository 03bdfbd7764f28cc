"""The collector environment the core stands on: names, hashes, signatures, settings."""

import functools
import gc
import inspect
import pickle
import threading
import weakref

import pytest

from tarnwick_collector.configs.collector_settings import CollectorSettings
from tarnwick_collector.data_collection.metrics import (
    CollectorFailure,
    FailureReasons,
    LimitFailure,
    LimitReasons,
)
from tarnwick_collector.data_serialization.utils import MAIN_STR, replace__main__with_real_name
from tarnwick_common.name_extractor import get_function_full_name, get_function_module
from tarnwick_common.utils.functions_data import get_signature
from tarnwick_common.utils.hash import get_hash
from tarnwick_common.utils.object_wrapper import ObjectWrapper


class Widget:
    def spin(self):
        pass


@pytest.mark.parametrize("fn, module, full", [
    (len, "builtins", "builtins.len"),
    ([].append, "builtins", "builtins.list.append"),
    (str.join, "builtins", "builtins.str.join"),
    (Widget().spin, __name__, f"{__name__}.Widget.spin"),
    (Widget, __name__, f"{__name__}.Widget"),
    (threading.get_ident, "_thread", "_thread.get_ident"),
    (functools.partial(len), "functools", "functools.partial"),
])
def test_module_and_full_names(fn, module, full):
    mod = get_function_module(fn, getattr(fn, "__self__", None))
    assert mod == module
    assert get_function_full_name(mod, fn) == full


def test_hash_follows_the_code():
    def f():
        return 1

    def g():
        return 2

    assert get_hash(f) == get_hash(f)
    assert get_hash(f) != get_hash(g)
    f.__code__ = g.__code__
    assert get_hash(f) == get_hash(g)


def test_signature_cache_sees_changes():
    def f(a, b=1):
        pass

    first = get_signature(f)
    assert first.defaults == (1,)
    assert get_signature(f) == first
    f.__defaults__ = (5,)
    assert get_signature(f).defaults == (5,)
    f.__code__ = (lambda x, *rest: None).__code__
    f.__defaults__ = None
    assert get_signature(f).varargs == "rest"
    assert get_signature(len).args == ["obj"]
    assert get_signature(object()) is None


def test_signatures_match_inspect_and_keep_nothing_alive():
    class Marker:
        pass

    def make():
        registry = []

        def handler(a, b: Marker = None, *rest, c, d=Marker(), **kw) -> Marker:
            pass

        handler.__defaults__ = (registry,)  # leads back to the function
        registry.append(handler)
        return handler

    def oddities(a, b, /, c=1):
        pass

    shapes = [make(), oddities, lambda: 0, lambda *a, **k: 0, get_signature]
    for fn in shapes:
        for _ in range(3):
            assert get_signature(fn) == inspect.getfullargspec(fn)
    oddities.__defaults__ = (1, 2, 3, 4)  # more defaults than parameters
    oddities.__kwdefaults__ = {"zz": 0}
    oddities.__annotations__ = {"c": int, "zz": str, "return": None}
    assert get_signature(oddities) == inspect.getfullargspec(oddities)

    handler = make()
    old_default = Marker()
    handler.__defaults__ = (old_default,)
    get_signature(handler)
    refs = [weakref.ref(handler), weakref.ref(old_default)]
    handler.__defaults__ = None
    del old_default
    assert refs[1]() is None  # a replaced default is not held
    del handler
    gc.collect()
    assert refs[0]() is None  # nor the function, through a cycle of its own


@pytest.mark.parametrize("name, path, expected", [
    ("__main__.run", "app.py", "app.run"),
    ("__main__.Job.go", "tools/batch.py", "tools.batch.Job.go"),
    ("__main__.run", "pkg/__init__.py", "pkg.run"),
    ("__main__.run", "../outside.py", "__main__.run"),
    ("__mainframe.x", "app.py", "__mainframe.x"),
    ("lib.run", "app.py", "lib.run"),
])
def test_main_script_names(name, path, expected):
    assert MAIN_STR == "__main__"
    assert replace__main__with_real_name(name, path) == expected


def test_metrics_and_reasons_pickle():
    text = LimitReasons.MAX_STRING_SIZE_EXCEEDED.format("unknown", "args/kwargs")
    assert "unknown" in text and "args/kwargs" in text
    metric = LimitFailure("t", "p", "3", "0", "m.f", text)
    assert pickle.loads(pickle.dumps(metric)) == metric
    failure = CollectorFailure("t", "p", "3", "0", FailureReasons.ASYNCIO)
    assert pickle.loads(pickle.dumps(failure)).reason is FailureReasons.ASYNCIO


def test_settings_stand_ins():
    ser = CollectorSettings.serializer
    assert ser.deserialize(ser.serialize({"a": [1]}, object_wrapper=False)) == {"a": [1]}
    assert isinstance(CollectorSettings.project_files, set)
    wrapper = ObjectWrapper(Widget, {})
    wrapper.__dict__.update({"size": 3})
    assert pickle.loads(pickle.dumps(wrapper)) == wrapper
