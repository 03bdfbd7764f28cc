"""The recording hooks, called the way the tracing extension calls them."""

import asyncio
import decimal
import typing
import json
import sys
import threading
import weakref

import pytest

from tarnwick_collector._testing._hook_probe import call_with_pending
from tarnwick_collector.configs.collector_settings import CollectorSettings, MessageSink
from tarnwick_collector.data_collection import harvest
from tarnwick_collector.data_collection.invocations import ExternalFunctionCall, UserFunctionCall
from tarnwick_collector.data_collection.metrics import (
    CollectionSuccess,
    CollectionTry,
    CollectorFailure,
    ExternalFunction,
    FailureReasons,
    LimitFailure,
    LimitReasons,
    Unpicklable,
    UnpicklableReasons,
)
from tarnwick_collector.data_collection.pathway import Pathway, PathwayTracker
from tarnwick_collector.data_serialization.wirecodec import IpcPickleSerializer
from tarnwick_collector.exceptions import ProblematicPickleException
from tarnwick_common.utils.object_wrapper import ExceptionWrapper

SER = IpcPickleSerializer()
BIG = 805306369  # one character over the limit


def kinds(metrics):
    return [type(SER.deserialize(m)).__name__ for m in metrics.messages]


def current():
    return harvest.Pathway_thread_id_to_current_call_get(threading.get_ident(), None)


def records(data):
    return [SER.deserialize(m) for m in data.messages]


def value(data):
    return SER.deserialize(data)


# A little program to record.

class Ledger:
    def __init__(self, owner):
        self.owner = owner
        self.entries = []

    def add(self, amount):
        self.entries.append(amount)
        return len(self.entries)


def total(items, scale=1):
    return sum(items) * scale


def failing(x):
    raise ValueError(f"bad {x}")


async def later():
    return 1


def record_call(fn, *args, **kwargs):
    """Entry, run, return: what the tracing layer does around one call."""
    rec = harvest.record_user_function_call(fn, *args, **kwargs)
    try:
        result = fn(*args, **kwargs)
    except Exception as exc:
        harvest.record_user_function_return_value(None, rec, exc)
        raise
    harvest.record_user_function_return_value(result, rec, type(None))
    return rec, result


def external(fn, *args):
    ext = harvest.record_external_call(fn)
    try:
        result = fn(*args)
    except Exception as exc:
        if ext is not None:
            harvest.record_external_return_value(None, ext, exc)
        raise
    if ext is not None:
        harvest.record_external_return_value(result, ext, type(None))
    return result


# ------------------------------------------------------------ main road

def test_recorded_call_end_to_end(sinks):
    data, metrics = sinks
    items = [1, 2]
    rec = harvest.record_user_function_call(total, items, scale=3)
    assert type(rec) is UserFunctionCall
    tracker = current()
    assert type(tracker) is PathwayTracker and tracker.caller_function is None
    assert tracker.func_full_name == f"{__name__}.total"

    harvest.load_global_hook(json, "json")
    harvest.load_attr_hook(json, "dumps", json.dumps)
    harvest.load_global_hook(Ledger, "Ledger")
    text = external(json.dumps, items)
    items.append(3)  # the call changes its argument
    harvest.record_user_function_return_value(total(items, 3), rec, type(None))

    assert current() is None
    assert kinds(metrics) == ["CollectionTry", "ExternalFunction", "CollectionSuccess"]
    (sent,) = records(data)
    assert type(sent) is UserFunctionCall
    assert sent.function_metadata.full_name == f"{__name__}.total"
    assert value(sent.pre_run_args) == ([1, 2],) and value(sent.post_run_args) == ([1, 2, 3],)
    assert value(sent.pre_run_kwargs) == {"scale": 3}
    assert value(sent.return_value) == 18 and value(sent.execption) is type(None)
    assert set(value(sent.globals)) == {"json", "Ledger"}
    (ext,) = sent.external_calls
    assert type(ext) is ExternalFunctionCall and ext.function_metadata.full_name == "json.dumps"
    assert value(ext.return_value) == text and value(ext.execption) is type(None)


def test_raising_call_and_bound_method(sinks):
    data, metrics = sinks
    with pytest.raises(ValueError):
        record_call(failing, 7)
    ledger = Ledger("ann")
    rec, n = record_call(ledger.add, 5)
    assert n == 1
    raised, added = records(data)
    exc = value(raised.execption)
    assert type(exc) is ValueError and exc.args == ("bad 7",)
    assert added.function_metadata.full_name == f"{__name__}.Ledger.add"
    args = value(added.pre_run_args)
    assert type(args[0]) is Ledger and args[1] == 5
    assert value(added.post_run_args)[0].entries == [5]
    assert kinds(metrics) == ["CollectionTry", "CollectionSuccess"] * 2


def test_nested_calls_restore_the_caller_and_merge(sinks):
    data, _ = sinks
    outer = harvest.record_user_function_call(total, [1])
    outer_tracker = current()
    external(json.dumps, 1)
    inner = harvest.record_user_function_call(Ledger, "bob")
    inner_tracker = current()
    assert inner_tracker.caller_function is outer_tracker
    harvest.load_global_hook(42, "ANSWER")
    external(json.loads, "2")
    harvest.record_user_function_return_value(None, inner, type(None))
    assert current() is outer_tracker
    assert inner_tracker.caller_function is None
    harvest.record_user_function_return_value(1, outer, type(None))

    inner_sent, outer_sent = records(data)
    assert inner_sent.function_metadata.full_name == f"{__name__}.Ledger.__init__"
    assert value(inner_sent.pre_run_args) == ("bob",)
    assert [e.function_metadata.full_name for e in inner_sent.external_calls] == ["json.loads"]
    assert [e.function_metadata.full_name for e in outer_sent.external_calls] == [
        "json.dumps", "json.loads"]
    assert value(outer_sent.globals) == {"ANSWER": 42}


def test_class_methods_classes_and_unrecorded_returns(sinks):
    data, metrics = sinks
    rec = harvest.record_user_function_call(dict.fromkeys, "ab")
    assert value(rec.pre_run_args) == ("ab",)
    harvest.record_user_function_return_value({}, rec, type(None))
    assert harvest.record_user_function_return_value(1, None) is None
    assert len(records(data)) == 1


def test_followed_objects_are_forgotten_when_they_die(sinks):
    from tarnwick_collector.data_collection.used_attributes_collector import used_attributes

    class Settings:
        pass

    class Slotted:
        __slots__ = ("mode",)

    rec = harvest.record_user_function_call(total, [1])
    settings, slotted = Settings(), Slotted()
    settings.child = Settings()
    harvest.load_global_hook(settings, "settings")
    harvest.load_attr_hook(settings, "child", settings.child)
    harvest.load_attr_hook(settings.child, "x", 1)
    harvest.load_global_hook(slotted, "slotted")  # cannot be watched: not followed
    harvest.load_attr_hook(slotted, "mode", None)
    harvest.record_user_function_return_value(1, rec, type(None))
    ids = [id(settings), id(settings.child)]
    assert used_attributes[ids[0]] == {"child"} and used_attributes[ids[1]] == {"x"}
    assert id(slotted) not in used_attributes and id(slotted) not in harvest.IDS_TO_FOLLOW

    refs = [weakref.ref(settings), weakref.ref(settings.child)]
    del settings
    assert [r() for r in refs] == [None, None]  # the hooks kept nothing alive
    for i in ids:
        assert i not in used_attributes and i not in harvest.IDS_TO_FOLLOW
    # Born at a dead one's address, an object is not followed until loaded.
    reborn = [Settings() for _ in range(200)]
    for obj in reborn:
        harvest.load_attr_hook(obj, "y", 2)
    assert not any(id(obj) in used_attributes for obj in reborn)


# ------------------------------------------------------------ limits

def test_external_call_cap(sinks, monkeypatch):
    data, metrics = sinks
    monkeypatch.setattr(CollectorSettings, "external_calls_max", 2)
    rec = harvest.record_user_function_call(total, [1])
    tracker = current()
    first, second = harvest.record_external_call(json.dumps), harvest.record_external_call(json.loads)
    assert tracker.recorded_functions == [first, second] and current() is tracker
    third = harvest.record_external_call(json.dumps)
    assert type(third) is ExternalFunctionCall and third not in tracker.recorded_functions
    assert current() is None
    assert harvest.record_external_call(json.dumps) is None
    harvest.record_user_function_return_value(1, rec, type(None))
    assert records(data) == []
    last = SER.deserialize(metrics.messages[-1])
    assert type(last) is LimitFailure
    assert last.reason == LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED


def test_full_caller_drops_the_chain(sinks, monkeypatch):
    data, metrics = sinks
    monkeypatch.setattr(CollectorSettings, "external_calls_max", 2)
    outer = harvest.record_user_function_call(total, [1])
    harvest.record_external_call(json.dumps)
    inner = harvest.record_user_function_call(total, [2])
    harvest.record_external_call(json.dumps)
    harvest.record_external_call(json.loads)
    harvest.record_user_function_return_value(3, inner, type(None))
    assert current() is None  # 1 + 2 > 2: the caller's tracker would overflow
    harvest.record_user_function_return_value(3, outer, type(None))
    assert len(records(data)) == 1
    assert type(SER.deserialize(metrics.messages[-1])) is LimitFailure


@pytest.fixture(scope="module")
def huge():
    return "x" * BIG


def test_too_big_values(sinks, huge):
    data, metrics = sinks
    assert harvest.is_size_too_big(huge) and not harvest.is_size_too_big(huge[:-1])
    assert harvest.record_user_function_call(total, huge) is None
    assert kinds(metrics)[-2:] == ["LimitFailure", "Unpicklable"]
    limit = SER.deserialize(metrics.messages[-2])
    assert limit.reason == LimitReasons.MAX_STRING_SIZE_EXCEEDED.format("unknown", "args/kwargs")

    rec = harvest.record_user_function_call(total, [1])
    harvest.record_user_function_return_value([huge], rec, type(None))  # measured by pympler
    assert current() is None and records(data) == []
    limit = SER.deserialize(metrics.messages[-1])
    assert limit.reason == LimitReasons.MAX_STRING_SIZE_EXCEEDED.format(
        f"{__name__}.total", "user_func_return_value")

    rec = harvest.record_user_function_call(total, [1])
    harvest.load_global_hook(huge, "BLOB")
    harvest.record_user_function_return_value(1, rec, type(None))
    assert current() is None and records(data) == []
    limit = SER.deserialize(metrics.messages[-1])
    assert limit.reason == LimitReasons.MAX_STRING_SIZE_EXCEEDED.format("BLOB", "globals")


class Unwritable:
    def __reduce__(self):
        raise AssertionError("never called")


def blacklisted_target(x):
    return x


def test_blacklist_and_coroutines(sinks):
    data, metrics = sinks
    assert harvest.record_user_function_call(blacklisted_target, Unwritable()) is None
    assert f"{__name__}.blacklisted_target" in harvest.BLACKLISTED_FUNCTIONS
    assert harvest.record_user_function_call(blacklisted_target, 1) is None
    assert kinds(metrics) == ["CollectionTry", "Unpicklable"] * 2
    metrics.clear()
    assert harvest.record_user_function_call(later) is None
    assert [SER.deserialize(m) for m in metrics.messages][1].reason == FailureReasons.ASYNCIO
    assert current() is None
    asyncio.run(later())


# ----------------------------------------------------- failure handling

def test_failed_return_clears_the_dead_tracker(sinks):
    data, metrics = sinks
    outer = harvest.record_user_function_call(total, [1])
    outer_tracker = current()
    inner = harvest.record_user_function_call(total, [2])
    harvest.load_global_hook(Unwritable(), "bad")  # refused when the globals are written
    harvest.record_user_function_return_value(1, inner, type(None))
    assert f"{__name__}.total" in harvest.BLACKLISTED_FUNCTIONS
    harvest.BLACKLISTED_FUNCTIONS.discard(f"{__name__}.total")
    reported = SER.deserialize(metrics.messages[-1])
    assert type(reported) is Unpicklable and reported.reason == UnpicklableReasons.REDUCE
    assert f"{__name__}.Unwritable" in reported.type_name
    # Not the failed call's tracker: nothing of the caller lands there.
    assert current() is None
    external(json.dumps, 1)
    harvest.record_user_function_return_value(1, outer, type(None))
    assert records(data) == [] and outer_tracker.recorded_functions == []
    assert type(SER.deserialize(metrics.messages[-1])) is LimitFailure


class OddSerializer:
    def __init__(self, exc):
        self.exc = exc

    def serialize(self, obj, object_wrapper=True):
        if type(obj) is UserFunctionCall:
            raise self.exc
        return SER.serialize(obj, object_wrapper)

    def deserialize(self, data):
        return SER.deserialize(data)


@pytest.mark.parametrize("exc, name, reason", [
    (TypeError("cannot pickle 'generator' object"), "generator", UnpicklableReasons.TYPE_ERROR),
    (TypeError("no quotes here"), "", UnpicklableReasons.TYPE_ERROR),
    (ProblematicPickleException("unquoted"), "", UnpicklableReasons.REDUCE),
])
def test_send_failures_are_reported_not_raised(sinks, monkeypatch, exc, name, reason):
    data, metrics = sinks
    monkeypatch.setattr(CollectorSettings, "serializer", OddSerializer(exc))
    outer = harvest.record_user_function_call(total, [1])
    outer_tracker = current()
    inner = harvest.record_user_function_call(total, [2])
    harvest.record_user_function_return_value(1, inner, type(None))
    reported = SER.deserialize(metrics.messages[-1])
    assert (reported.type_name, reported.reason) == (name, reason)
    assert current() is outer_tracker
    assert f"{__name__}.total" not in harvest.BLACKLISTED_FUNCTIONS
    harvest.record_user_function_return_value(1, outer, type(None))


class ProgramTypeError(TypeError):
    """A program's exception whose text and args are its own code."""
    touched = []

    @property
    def args(self):
        self.touched.append("args")
        return ("cannot pickle 'decoy' object",)

    def __str__(self):
        self.touched.append("str")
        return "cannot pickle 'decoy' object"


def test_failure_text_is_read_without_the_exceptions_code(sinks, monkeypatch):
    data, metrics = sinks
    monkeypatch.setattr(CollectorSettings, "serializer",
                        OddSerializer(ProgramTypeError("cannot pickle 'socket' object")))
    rec = harvest.record_user_function_call(total, [1])
    harvest.record_user_function_return_value(1, rec, type(None))
    reported = SER.deserialize(metrics.messages[-1])
    assert (reported.type_name, reported.reason) == ("socket", UnpicklableReasons.TYPE_ERROR)
    assert ProgramTypeError.touched == []


def test_other_failures_are_counted(sinks, monkeypatch):
    data, metrics = sinks
    monkeypatch.setattr(CollectorSettings, "serializer", OddSerializer(RuntimeError("x")))
    rec = harvest.record_user_function_call(total, [1])
    assert harvest.record_user_function_return_value(1, rec, type(None)) is None
    assert SER.deserialize(metrics.messages[-1]).reason == FailureReasons.EXCEPTION
    assert f"{__name__}.total" in harvest.BLACKLISTED_FUNCTIONS
    harvest.BLACKLISTED_FUNCTIONS.discard(f"{__name__}.total")
    assert current() is None


# ----------------------------------------------- the pending exception

def test_get_exc_value_reads_and_empties_the_indicator():
    err = ValueError("x")
    assert call_with_pending(ValueError, err, harvest.get_exc_value) == (err, True)
    assert call_with_pending(KeyboardInterrupt, KeyboardInterrupt(), harvest.get_exc_value) == (
        KeyboardInterrupt, True)
    if sys.version_info < (3, 12):
        assert call_with_pending(ValueError, None, harvest.get_exc_value) == (type(None), True)
        assert call_with_pending(ValueError, "raw", harvest.get_exc_value) == (ValueError, True)
    else:  # the interpreter makes the instance as soon as the error is set
        found, taken = call_with_pending(ValueError, "raw", harvest.get_exc_value)
        assert type(found) is ValueError and found.args == ("raw",) and taken
    assert harvest.get_exc_value() is type(None)


def test_return_hooks_take_the_pending_exception(sinks):
    data, _ = sinks
    rec = harvest.record_user_function_call(failing, 1)
    err = ValueError("from the indicator")
    assert call_with_pending(ValueError, err, harvest.record_user_function_return_value,
                             None, rec) == (None, True)
    assert value(records(data)[0].execption).args == ("from the indicator",)

    rec = harvest.record_user_function_call(total, [1])
    ext = harvest.record_external_call(json.loads)
    call_with_pending(KeyError, KeyError("k"), harvest.record_external_return_value, None, ext)
    assert type(value(ext.execption)) is KeyError
    # With cur_exc given the indicator is left alone.
    assert call_with_pending(ValueError, err, harvest.record_external_return_value,
                             1, ext, type(None)) == (None, False)
    call_with_pending(OSError, OSError("o"), harvest.record_return_value_async, 5, rec)
    assert value(records(data)[-1].execption) == ExceptionWrapper("builtins.OSError", ("o",), {})


# --------------------------------------------------------------- threads

def test_threads_keep_their_own_chains(sinks):
    data, _ = sinks
    errors = []

    def worker(n):
        try:
            for _ in range(20):
                outer = harvest.record_user_function_call(total, [n])
                tracker = current()
                inner = harvest.record_user_function_call(Ledger, f"t{n}")
                harvest.load_global_hook(n, "N")
                external(json.dumps, n)
                harvest.record_user_function_return_value(None, inner, type(None))
                assert current() is tracker
                harvest.record_user_function_return_value(n, outer, type(None))
                assert current() is None
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    sent = records(data)
    assert len(sent) == 6 * 20 * 2
    outers = [r for r in sent if r.function_metadata.full_name.endswith(".total")]
    for r in outers:
        n = value(r.pre_run_args)[0][0]
        assert value(r.return_value) == n and value(r.globals) == {"N": n}
        assert len(r.external_calls) == 1
        assert value(r.external_calls[0].return_value) == json.dumps(n)


def annotated_sum(values: "list[decimal.Decimal]", start: "decimal.Decimal | None" = None,
                  *, scale: typing.Optional[int] = None) -> typing.Dict[str, decimal.Decimal]:
    return {"sum": sum(values, start or decimal.Decimal(0))}


def test_annotated_functions_with_library_values_are_recorded(sinks):
    data, metrics = sinks
    for _ in range(2):  # recorded every time, never blacklisted
        rec, result = record_call(annotated_sum, [decimal.Decimal("1.5"), decimal.Decimal("2")],
                                  scale=2)
        assert rec is not None
    assert kinds(metrics) == ["CollectionTry", "CollectionSuccess"] * 2
    sent = records(data)[-1]
    assert value(sent.pre_run_args) == ([decimal.Decimal("1.5"), decimal.Decimal("2")],)
    assert value(sent.return_value) == {"sum": decimal.Decimal("3.5")}
    spec = value(sent.function_metadata.function_signature)
    assert spec.annotations["scale"] == typing.Optional[int]
