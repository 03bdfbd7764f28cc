"""Sending and storing the messages of a 200k-call recording, in one run.

    python bench/store_bench.py [--calls N]

The messages are the real ones: the hooks record calls of a few small
functions (as the CPU-heavy script of recorder_bench.py makes them) into
memory; then, for each of N calls, the metric sent at entry, the call
record and the metric sent at its return go through a recording session's
two channels to its two writer processes, as during ``record``.

Main-process CPU per call: the process time of all its threads while
sending and closing (the sender threads included), less that of the same
loop sending to sinks that do nothing. Writer CPU per call: the two writer
processes' user + system time. Targets: 3 us and 8 us.
"""

import argparse
import os
import resource
import sys
import tempfile
import time

MAIN_TARGET_US = 3.0
WRITER_TARGET_US = 8.0


def add(a, b):
    return a + b


def mul(a, b):
    return a * b


def poly(x):
    return add(mul(x, x), add(mul(3, x), 7))


class Keep:
    def __init__(self):
        self.messages = []

    def send_message(self, data):
        self.messages.append(data)


class Discard:
    def send_message(self, data):
        pass


def real_messages(distinct):
    """(metrics of one call, call records) made by the hooks."""
    from tarnwick_collector.configs.collector_settings import CollectorSettings
    from tarnwick_collector.data_collection import harvest

    data, metrics = Keep(), Keep()
    CollectorSettings.data_subprocess, CollectorSettings.metrics_subprocess = data, metrics
    for i in range(distinct):
        fn, args = [(add, (i, 1)), (mul, (i, 3)), (poly, (i,))][i % 3]
        rec = harvest.record_user_function_call(fn, *args)
        harvest.record_user_function_return_value(fn(*args), rec, type(None))
    return metrics.messages[:2], data.messages


def send_all(data, metrics, calls, records, try_bytes, success_bytes):
    send_data, send_metric = data.send_message, metrics.send_message
    n = len(records)
    for i in range(calls):
        send_metric(try_bytes)
        send_data(records[i % n])
        send_metric(success_bytes)


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime, r.ru_stime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=200_000)
    parser.add_argument("--distinct", type=int, default=3000)
    opts = parser.parse_args()

    from tarnwick_collector.recording.session import Session

    (try_bytes, success_bytes), records = real_messages(opts.distinct)
    size = sum(map(len, records)) / len(records)

    t0 = time.process_time()
    send_all(Discard(), Discard(), opts.calls, records, try_bytes, success_bytes)
    loop = time.process_time() - t0

    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "rec.db")
        # Room for everything: the loop sends faster than any program would.
        session = Session(out, tmp, channel_options={"max_messages": 4 * opts.calls,
                                                     "max_bytes": 4 << 30}).open()
        child0 = children_cpu()
        wall0, cpu0 = time.perf_counter(), time.process_time()
        send_all(session.data, session.metrics, opts.calls, records, try_bytes, success_bytes)
        summary = session.close()
        cpu = time.process_time() - cpu0
        wall = time.perf_counter() - wall0
        child1 = children_cpu()
        writers_user, writers_sys = child1[0] - child0[0], child1[1] - child0[1]
        writers = writers_user + writers_sys
        stored = summary["calls"]
        db_mb = os.path.getsize(out) / 1e6

    main_us = (cpu - loop) / opts.calls * 1e6
    writer_us = writers / opts.calls * 1e6
    print(f"python {sys.version.split()[0]}; {opts.calls} calls: {opts.calls} records of "
          f"{size:.0f} bytes on average and {2 * opts.calls} metrics; {wall:.2f}s wall, "
          f"{db_mb:.0f} MB file")
    print(f"stored {stored} records, lost {summary['lost_calls']} records and "
          f"{summary['lost_metrics']} metrics")
    for label, value, target in (("main process CPU per call (sending)", main_us, MAIN_TARGET_US),
                                 ("writer CPU per call (both writers)", writer_us,
                                  WRITER_TARGET_US)):
        verdict = "ok" if value <= target else "MISSED"
        print(f"{label:40} {value:7.2f} us  (target {target:.0f} us: {verdict})")
    print(f"{'per message (three a call)':40} {main_us / 3:7.2f} us main, "
          f"{writer_us / 3:.2f} us writers")
    print(f"{'writers: user / system per call':40} {writers_user / opts.calls * 1e6:7.2f} / "
          f"{writers_sys / opts.calls * 1e6:.2f} us")


if __name__ == "__main__":
    main()
