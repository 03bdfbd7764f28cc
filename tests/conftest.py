import ctypes
import os
import pickle

import pytest

from tarnwick_collector.configs.collector_settings import CollectorSettings, MessageSink


class RecordingSerializer:
    """Serializes with the standard pickler and remembers every call."""

    def __init__(self):
        self.calls = []

    def serialize(self, obj, **kwargs):
        self.calls.append((obj, kwargs))
        return pickle.dumps(obj)

    def deserialize(self, data):
        return pickle.loads(data)


@pytest.fixture
def serializer(monkeypatch):
    ser = RecordingSerializer()
    monkeypatch.setattr(CollectorSettings, "serializer", ser)
    return ser


@pytest.fixture
def metrics(monkeypatch):
    sink = MessageSink("metrics")
    monkeypatch.setattr(CollectorSettings, "metrics_subprocess", sink)

    def sent():
        return [CollectorSettings.serializer.deserialize(m) for m in sink.messages]

    return sent


@pytest.fixture
def sinks(monkeypatch):
    """Data and metrics sinks in place of the writer processes, the real
    serializer, and no recorded call current on any thread."""
    from tarnwick_collector.data_collection.pathway import Pathway
    from tarnwick_collector.data_serialization.wirecodec import IpcPickleSerializer

    data, metrics = MessageSink("data"), MessageSink("metrics")
    monkeypatch.setattr(CollectorSettings, "data_subprocess", data)
    monkeypatch.setattr(CollectorSettings, "metrics_subprocess", metrics)
    monkeypatch.setattr(CollectorSettings, "serializer", IpcPickleSerializer())
    Pathway.thread_id_to_current_call.clear()
    yield data, metrics
    Pathway.thread_id_to_current_call.clear()


@pytest.fixture(scope="session")
def native_maps():
    """The exported map functions of the introspect library, called the way the
    tracing extension calls them (interpreter lock held)."""
    from tarnwick_collector.data_collection import introspect

    lib = ctypes.PyDLL(introspect.__file__)
    obj, vp, i, u8 = ctypes.py_object, ctypes.c_void_p, ctypes.c_int, ctypes.c_uint8
    sigs = {
        "set_gen_to_metadata": (i, [obj, obj]),
        "get_gen_to_metadata": (vp, [obj]),
        "set_tid_to_currently_recording": (i, [i, u8]),
        "get_tid_to_currently_recording": (u8, [i]),
        "set_func_to_counter": (i, [obj, i]),
        "get_func_to_counter": (i, [obj]),
        "set_int_to_int_item": (i, [vp, i, i]),
        "get_int_to_int_item": (i, [vp, i]),
        "set_pyobject_to_pyobject_item": (i, [obj, obj]),
        "get_pyobject_to_pyobject_item": (vp, [obj]),
    }
    for name, (restype, argtypes) in sigs.items():
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = restype, argtypes
    return lib


@pytest.fixture
def int_map(native_maps):
    native_maps.new_int_to_int_map.restype = ctypes.c_void_p
    native_maps.free_int_to_int_map.argtypes = [ctypes.c_void_p]
    mapper = native_maps.new_int_to_int_map()
    assert mapper
    yield mapper
    native_maps.free_int_to_int_map(mapper)


def pytest_configure(config):
    config.addinivalue_line("markers", "memory: asserts on the process's memory figures")


def pytest_collection_modifyitems(config, items):
    # Under the sanitizers memory figures are theirs: freed blocks are held
    # in quarantine (256 MB) to catch reads after free.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        return
    skip = pytest.mark.skip(reason="memory figures are meaningless under the sanitizers")
    for item in items:
        if item.get_closest_marker("memory"):
            item.add_marker(skip)


def pytest_addoption(parser):
    parser.addoption("--stress", action="store_true",
                     help="also run tests/stress (the sanitizer job runs them)")


def pytest_ignore_collect(collection_path, config):
    if collection_path.name == "stress" and not config.getoption("--stress"):
        return True
    return None
