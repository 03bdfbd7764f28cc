"""A first look at the core: metadata and call records for a sample module."""

import importlib.util
import os
import sys

from tarnwick_collector.configs.collector_settings import CollectorSettings
from tarnwick_collector.data_collection.introspect import Introspector
from tarnwick_collector.data_collection.invocations import ExternalFunctionCall, UserFunctionCall



def _load(path):
    spec = importlib.util.spec_from_file_location("inventory", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules["inventory"] = module
    spec.loader.exec_module(module)
    return module


def _show(title, obj):
    print(f"{title}:")
    for key, value in vars(obj).items():
        if isinstance(value, bytes):
            value = f"<{len(value)} bytes> {CollectorSettings.serializer.deserialize(value)!r}"
        print(f"    {key:28} {value!r}" if not isinstance(value, str) else f"    {key:28} {value}")


def main(path):
    inventory = _load(os.path.abspath(path))
    serializer = CollectorSettings.serializer
    for target in (inventory.Stock, inventory.Stock.add, inventory.restock, inventory.report):
        meta = Introspector.extract_function_metadata(target)
        _show(f"metadata of {meta.full_name}", meta)
    stock = inventory.Stock("bolts", 10)
    meta = Introspector.extract_function_metadata(stock.add)
    call = UserFunctionCall(meta, (stock, 5), {"note": "weekly"}, {})
    stock.add(5, note="weekly")
    call.serialize_post_run_args_and_kwargs()
    call.add_return_value(stock.count)
    print()
    _show("call record of Stock.add", call)
    ext_meta, candidate = Introspector.extract_function_metadata(sorted, True)
    ext = ExternalFunctionCall(ext_meta)
    ext.add_return_value(sorted([3, 1, 2]))
    print()
    _show(f"external call record of builtins.sorted (candidate: {candidate})", ext)
    sent = [serializer.deserialize(m) for m in CollectorSettings.metrics_subprocess.messages]
    print()
    print(f"metrics sent: {sent!r}")
