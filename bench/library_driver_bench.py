"""The recording hooks on a library workload, driven the simplest way.

A settrace tracer records every function of the pure-Python ``jsonish``
library (beside this file) while it encodes and decodes object graphs: on
each call of a library function it calls ``record_user_function_call`` with
the function and its arguments, on its return
``record_user_function_return_value``, nothing else. The values are what a
serializer library sees: instances of plain classes with a date, an enum
member, a Decimal and lists among their attributes, dicts, strings, the
library's own context objects and bound methods.

    python bench/library_driver_bench.py [--graphs N] [--rounds N] [--profile]

The cost of the hooks per recorded call is the (CPU) time under the tracer with
the real hooks less the time under the same tracer with do-nothing hooks,
divided by the calls recorded. Target: 20 us (entry + return together).
"""

import argparse
import datetime
import decimal
import enum
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import jsonish  # noqa: E402
from jsonish import decoder as jsonish_decoder  # noqa: E402
from jsonish import encoder as jsonish_encoder  # noqa: E402

NoneType = type(None)
TARGET_US = 20.0


class Status(enum.Enum):
    NEW = "new"
    PAID = "paid"
    SHIPPED = "shipped"


class Line:
    def __init__(self, sku, quantity, price):
        self.sku = sku
        self.quantity = quantity
        self.price = price


class Order:
    def __init__(self, n):
        self.number = n
        self.placed = datetime.date(2024, 1 + n % 12, 1 + n % 28)
        self.status = list(Status)[n % 3]
        self.total = decimal.Decimal(n * 7) / 4
        self.lines = [Line(f"sku-{n}-{i}", i + 1, decimal.Decimal(i * 3 + 1) / 2)
                      for i in range(3)]
        self.note = f"order {n}: leave at the door"


def line_fields(line):
    return {"sku": line.sku, "quantity": line.quantity, "price": line.price}


def order_fields(order):
    return {"number": order.number, "placed": order.placed, "status": order.status,
            "total": order.total, "lines": order.lines, "note": order.note}


def graph(n):
    return {"customer": {"id": n, "name": f"customer {n}", "vip": n % 5 == 0,
                         "since": datetime.date(2020, 1, 1 + n % 28)},
            "orders": [Order(n * 10 + i) for i in range(2)],
            "tags": ["retail", "eu", f"segment-{n % 4}"], "score": n / 7}


def workload(graphs):
    registry = jsonish.Registry()
    registry.register(Order, order_fields)
    registry.register(Line, line_fields)
    out = 0
    for g in graphs:
        ctx = jsonish.EncodeContext(sort_keys=True, default=registry.convert)
        text = jsonish.encode(g, ctx)
        back = jsonish.decode(text)
        out += len(text) + len(back)
    return out


def library_functions():
    """code object -> the function object, for every function of the library."""
    table = {}
    for module in (jsonish_encoder, jsonish_decoder):
        for value in vars(module).values():
            if getattr(value, "__module__", None) != module.__name__:
                continue
            members = vars(value).values() if isinstance(value, type) else (value,)
            for fn in members:
                code = getattr(fn, "__code__", None)
                if code is not None:
                    table[code] = fn
    return table


class Driver:
    """sys.settrace: the library's calls to the two hooks, nothing else."""

    def __init__(self, enter, leave):
        self.table = library_functions()
        self.enter = enter
        self.leave = leave
        self.calls = 0

    def trace(self, frame, event, arg):
        if event != "call":
            return None
        fn = self.table.get(frame.f_code)
        if fn is None:
            return None
        code = frame.f_code
        local = frame.f_locals
        args = [local[name] for name in code.co_varnames[:code.co_argcount]]
        self.calls += 1
        record = self.enter(fn, *args)
        leave = self.leave

        def on_return(frame, event, arg):
            if event == "return":
                leave(arg, record, NoneType)
            return on_return

        return on_return

    def run(self, graphs):
        sys.settrace(self.trace)
        try:
            return workload(graphs)
        finally:
            sys.settrace(None)


class Discard:
    def __init__(self):
        self.messages = 0
        self.bytes = 0

    def send_message(self, data):
        self.messages += 1
        self.bytes += len(data)


def null_enter(fn, *args):
    return True


def null_leave(value, record, exc):
    return None


def timed(fn):
    # CPU time of this thread: what the machine's other load takes is not counted.
    t0 = time.thread_time()
    fn()
    return time.thread_time() - t0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--graphs", type=int, default=40)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--profile", action="store_true",
                        help="one run with the hooks only (for a sampling profiler)")
    opts = parser.parse_args()

    from tarnwick_collector.configs.collector_settings import CollectorSettings
    from tarnwick_collector.data_collection import harvest

    data, metrics = Discard(), Discard()
    CollectorSettings.data_subprocess = data
    CollectorSettings.metrics_subprocess = metrics
    CollectorSettings.project_path = os.path.join(HERE, "jsonish")
    CollectorSettings.project_files = {jsonish_encoder.__file__, jsonish_decoder.__file__}

    graphs = [graph(n) for n in range(opts.graphs)]
    hooks = Driver(harvest.record_user_function_call, harvest.record_user_function_return_value)
    if opts.profile:
        t = timed(lambda: hooks.run(graphs))
        print(f"{hooks.calls} calls, {t:.2f}s, {t / hooks.calls * 1e6:.1f} us a call")
        return
    # The serializer's modules are imported by the first recorded call: not timed.
    Driver(harvest.record_user_function_call,
           harvest.record_user_function_return_value).run(graphs[:1])
    plain = min(timed(lambda: workload(graphs)) for _ in range(opts.rounds))
    null = Driver(null_enter, null_leave)
    layer = min(timed(lambda: null.run(graphs)) for _ in range(opts.rounds))
    calls_per_run = null.calls // opts.rounds
    recorded = []
    for _ in range(opts.rounds):
        hooks.calls = 0
        recorded.append(timed(lambda: hooks.run(graphs)))
    full = min(recorded)
    per_call = (full - layer) / calls_per_run
    print(f"python {sys.version.split()[0]}; {opts.graphs} graphs, {calls_per_run} recorded "
          f"calls a run, best of {opts.rounds}")
    print(f"{'workload alone':40} {plain:8.3f} s")
    print(f"{'under the driver, do-nothing hooks':40} {layer:8.3f} s "
          f"({(layer - plain) / calls_per_run * 1e6:6.2f} us a call)")
    print(f"{'under the driver, the hooks':40} {full:8.3f} s")
    print(f"records sent {data.messages} ({data.bytes / max(1, data.messages):.0f} bytes "
          f"each), metrics {metrics.messages}, blacklisted functions "
          f"{len(harvest.BLACKLISTED_FUNCTIONS)}")
    verdict = "ok" if per_call * 1e6 <= TARGET_US else "MISSED"
    print(f"{'hooks, entry + return, per recorded call':40} {per_call * 1e6:8.2f} us  "
          f"(target {TARGET_US:.0f} us: {verdict})")


if __name__ == "__main__":
    main()
