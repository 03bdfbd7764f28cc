"""Call records are written by the hooks without the pickler where their
shape allows it: the bytes must be the pickler's, whatever the record holds,
and a change of the record classes must not go unnoticed."""

import json

import pytest

from tarnwick_collector.data_collection import harvest, invocations
from tarnwick_collector.data_collection.pathway import Pathway
from tarnwick_collector.data_serialization.pickler import safe_pickle
from tarnwick_collector.recording import safe_load


def plain(a, b=1):
    return a


def other(a):
    return a


def stats():
    return harvest._record_bytes_stats()


def recorded(sinks, fn, *args, ret=None, exc=type(None), external=()):
    data, _ = sinks
    data.clear()
    rec = harvest.record_user_function_call(fn, *args)
    for ext_fn, ext_args in external:
        ext = harvest.record_external_call(ext_fn)
        harvest.record_external_return_value(ext_fn(*ext_args), ext, type(None))
    harvest.record_user_function_return_value(ret, rec, exc)
    return data.messages[-1]


@pytest.mark.parametrize("args,ret,external", [
    ((1,), 1, ()),
    (("ünïcode \u2603", [b"x" * 300, None, True, 2 ** 40]), {"k": (1, 2, 3, 4)}, ()),
    (({1, 2}, frozenset({3})), -7, ((json.dumps, ([1, "a"],)), (json.loads, ("[2]",)))),
    (("x" * 70000,), None, ()),  # past one frame: the pickler's
    (("\udc80 lone surrogate",), "\ud800", ()),
])
def test_records_are_the_picklers_bytes(sinks, args, ret, external):
    data, _ = sinks
    before = stats()
    sent = recorded(sinks, plain, *args, ret=ret, external=external)
    rec = safe_load.loads(sent)
    assert rec.fields()["function_metadata"].fields()["full_name"].endswith(".plain")
    # Written again by the pickler from the record as it was sent.
    again = harvest.record_user_function_call(plain, *args)
    for ext_fn, ext_args in external:
        ext = harvest.record_external_call(ext_fn)
        harvest.record_external_return_value(ext_fn(*ext_args), ext, type(None))
    harvest.record_user_function_return_value(ret, again, type(None))
    assert data.messages[-1] == sent
    assert sent == safe_pickle(again)
    after = stats()
    assert not after["off"]
    assert after["direct"] + after["pickler"] + after["checked"] > (
        before["direct"] + before["pickler"] + before["checked"])


def test_direct_writing_is_used_and_follows_the_classes(sinks, monkeypatch):
    recorded(sinks, plain, 1)
    recorded(sinks, plain, 2)
    before = stats()
    sent = recorded(sinks, plain, 3)
    assert stats()["direct"] == before["direct"] + 1
    assert not stats()["off"]

    # The module no longer holds the class under its name: the pickler's
    # stand-in, not a reference that would load as something else.
    expected = recorded(sinks, other, 3)
    harvest.BLACKLISTED_FUNCTIONS.clear()
    with monkeypatch.context() as patch:
        patch.setattr(invocations, "UserFunctionCall", type("UserFunctionCall", (), {}))
        replaced = recorded(sinks, other, 3)
    assert replaced != expected
    assert safe_load.name_of(safe_load.loads(replaced)) != safe_load.name_of(safe_load.loads(sent))
    harvest.BLACKLISTED_FUNCTIONS.clear()
    Pathway.thread_id_to_current_call.clear()

    # A class changed in place is compared with the pickler again.
    with monkeypatch.context() as patch:
        patch.setattr(invocations.UserFunctionMetadata, "marker", 1, raising=False)
        checked = stats()["checked"]
        assert recorded(sinks, plain, 3) == sent
        assert stats()["checked"] == checked + 1


def test_a_call_recorded_while_a_record_is_written(sinks):
    """A collection during the writing can run code that records a call of
    its own (a finalizer, a gc callback): both records come out whole."""
    import gc

    data, _ = sinks
    recorded(sinks, plain, 0, external=((json.dumps, ([1],)),))  # the classes are checked
    nested, inside = [], []

    def during_collection(phase, info):
        # At every collection (each allocation, with threshold 1), the
        # writer's own among them, up to a bound.
        if phase == "start" and not inside and len(nested) < 300:
            inside.append(True)
            nested.append(True)
            rec = harvest.record_user_function_call(other, "inner")
            harvest.record_user_function_return_value("inner", rec, type(None))
            inside.pop()

    old = gc.get_threshold()
    gc.callbacks.append(during_collection)
    try:
        gc.set_threshold(1)
        data.clear()
        rec = harvest.record_user_function_call(plain, "outer")
        ext = harvest.record_external_call(json.dumps)
        harvest.record_external_return_value(json.dumps([2]), ext, type(None))
        harvest.record_user_function_return_value("outer", rec, type(None))
    finally:
        gc.set_threshold(*old)
        gc.callbacks.remove(during_collection)
    assert nested
    names = [safe_load.loads(m).fields()["function_metadata"].fields()["full_name"]
             for m in data.messages]
    assert {n.rsplit(".", 1)[-1] for n in names} == {"other", "plain"}
    outer = [m for m, n in zip(data.messages, names) if n.endswith(".plain")][0]
    assert outer == safe_pickle(rec)
    assert not stats()["off"]
