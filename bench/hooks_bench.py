"""The recording hooks, called directly as the tracing layer calls them, in one run.

Beside them, the floors they are measured against: a call of a do-nothing
builtin, and _pickle.dumps of the values one recorded call must serialize.
"""

import _pickle
import inspect
import json
import sys
import threading

from pympler import asizeof

from tarnwick_collector.configs.collector_settings import CollectorSettings
from tarnwick_collector.data_collection import harvest
from tarnwick_collector.data_collection.metrics import CollectionSuccess, CollectionTry
from tarnwick_collector.data_collection.pathway import Pathway

from timing import best as _timing_best


def best(fn, seconds=0.4, rounds=15):
    return _timing_best(fn, seconds, rounds)


class Discard:
    def send_message(self, data):
        pass


class Plain:
    pass


def add(a, b):
    return a + b


def recorded_call():
    rec = harvest.record_user_function_call(add, 1, 2)
    harvest.record_user_function_return_value(3, rec, type(None))


def external_call():
    ext = harvest.record_external_call(json.dumps)
    harvest.record_external_return_value("[1]", ext, type(None))


def serialization_floor():
    """_pickle.dumps of everything one recorded call of add(1, 2) writes."""
    rec = harvest.record_user_function_call(add, 1, 2)
    harvest.record_user_function_return_value(3, rec, type(None))
    settings = (CollectorSettings.tenant_id, CollectorSettings.project_id,
                CollectorSettings.python_version, CollectorSettings.lib_version)
    values = [(1, 2), {}, inspect.getfullargspec(add), {}, type(None), 3, (1, 2), {},
              CollectionTry(*settings), CollectionSuccess(*settings)]

    def dumps_all():
        for v in values:
            _pickle.dumps(v)
        _pickle.dumps(rec)

    return dumps_all


def main():
    CollectorSettings.data_subprocess = Discard()
    CollectorSettings.metrics_subprocess = Discard()
    print(f"python {sys.version.split()[0]}")

    rows = []
    noop = best(lambda: len(()))
    floor = best(serialization_floor())
    call = best(recorded_call)
    rows += [("do-nothing builtin call (len(()))", noop), ("serialization floor of one call", floor),
             ("recorded call: entry + return", call)]

    outer = harvest.record_user_function_call(add, 0, 0)
    tracker = Pathway.thread_id_to_current_call[threading.get_ident()]
    ext = best(lambda: (external_call(), tracker.recorded_functions.clear()))
    glob = best(lambda: harvest.load_global_hook(json, "json"))
    # Objects that can be weakly referenced, as followed objects must be.
    followed = Plain()
    harvest.load_global_hook(followed, "followed")
    unfollowed = Plain()
    attr_followed = best(lambda: harvest.load_attr_hook(followed, "x", 1))
    attr_unfollowed = best(lambda: harvest.load_attr_hook(unfollowed, "x", 1))
    harvest.record_user_function_return_value(0, outer, type(None))
    rows += [("external call record (call + return)", ext), ("load_global_hook", glob),
             ("load_attr_hook, followed object", attr_followed),
             ("load_attr_hook, unfollowed object", attr_unfollowed)]

    guard = {}
    for name, obj in (("int", 12345), ("20-item dict", {f"k{i}": i for i in range(20)}),
                      ("1,000,000-item list", list(range(1_000_000)))):
        ours = best(lambda: harvest.is_size_too_big(obj), seconds=0.5, rounds=3)
        theirs = best(lambda: asizeof.asizeof(obj, limit=3), seconds=0.5, rounds=3)
        guard[name] = (ours, theirs)

    for name, t in rows:
        print(f"{name:42} {t * 1e9:12.0f} ns")
    for name, (ours, theirs) in guard.items():
        print(f"size guard {name:31} {ours * 1e9:12.0f} ns   pympler {theirs * 1e9:14.0f} ns"
              f"   {theirs / ours:8.1f}x faster")
    print()

    def target(label, ratio, limit, better="within"):
        verdict = "ok" if (ratio <= limit if better == "within" else ratio >= limit) else "MISSED"
        print(f"{label:58} {ratio:6.2f}x  (target {better} {limit}x: {verdict})")

    target("load_attr_hook unfollowed / do-nothing builtin", attr_unfollowed / noop, 2)
    target("size guard vs pympler, int", guard["int"][1] / guard["int"][0], 20, "at least")
    target("size guard vs pympler, 20-item dict",
           guard["20-item dict"][1] / guard["20-item dict"][0], 20, "at least")
    target("recorded call / its serialization floor", call / floor, 4)


if __name__ == "__main__":
    main()
