"""The child process that stores one stream of messages into the recording.

    python -c "...writer import main; main(sys.argv[1:])" data|metrics DB

Frames arrive on stdin until it closes. A call record's function name is read
from its opcodes (``opscan.describe_call``), or where that cannot tell, with
the restricted loader, which builds placeholders instead of importing
anything; a metric's kind likewise, once per distinct message. A message that
does not load is still stored, without a name.
"""

import json
import os
import select
import signal
import sys
import time

from tarnwick_collector.recording import safe_load, store
from tarnwick_collector.recording.opscan import describe_call as scan_call
from tarnwick_collector.recording.store_writer import Writer

_CHUNK = 1 << 20
# Input quiet for this long (seconds) ends a transaction.
_IDLE = 0.01
# ... and no transaction stays open longer than this.
_MAX_OPEN = 0.5


def describe_call(data):
    """(full name, number of external calls) of a serialized call record."""
    # Read from the opcodes where they tell, loaded (restricted) otherwise.
    found = scan_call(data)
    return found if found is not None else describe_loaded(data)


def describe_loaded(data):
    """What describe_call answers from the restricted loader alone."""
    try:
        record = safe_load.loads(data)
    except safe_load.NotAPickle:
        return None, None
    if not safe_load.is_obj(record):
        return None, None
    fields = record.fields()
    name = None
    meta = fields.get("function_metadata")
    if safe_load.is_obj(meta):
        name = meta.fields().get("full_name")
    external = fields.get("external_calls")
    count = len(external) if isinstance(external, list) else None
    return (name if isinstance(name, str) else None), count


_metric_cache = {}


def describe_metric(data):
    """(kind, detail) of a serialized metric: its class name and its own fields."""
    # Most metrics are byte-for-byte repeats (every call sends the same two).
    hit = _metric_cache.get(data)
    if hit is None:
        hit = _describe_metric(data)
        if len(_metric_cache) < 4096:
            _metric_cache[data] = hit
    return hit


def _describe_metric(data):
    try:
        metric = safe_load.loads(data)
    except safe_load.NotAPickle:
        return None, None
    name = safe_load.name_of(metric)
    if name is None:
        return None, None
    kind = name.rsplit(".", 1)[-1]
    detail = {}
    for key, value in metric.fields().items():
        if key in ("tenant_id", "project_id", "python_version", "lib_version"):
            continue
        detail[key] = _plain(value)
    return kind, json.dumps(detail, sort_keys=True) if detail else None


_OWN_ENUMS = "tarnwick_collector.data_collection.metrics."


def _own_enum_value(cls, member):
    # Only the reasons of our own metrics module, looked up by name.
    from tarnwick_collector.data_collection import metrics

    if not cls.startswith(_OWN_ENUMS):
        return None
    enum = getattr(metrics, cls[len(_OWN_ENUMS):], None)
    members = getattr(enum, "__members__", {})
    return members[member].value if member in members else None


def _plain(value):
    if isinstance(value, (str, int, float, bool)) or value is None:
        return value
    if safe_load.is_obj(value):
        # A str enum member pickles as a call of its class with its value,
        # or (3.11 on) as getattr(its class, its name).
        args = value.ref_args
        if len(args) == 1 and isinstance(args[0], str):
            return args[0]
        if (safe_load.name_of(value) == "builtins.getattr" and len(args) == 2
                and safe_load.is_ref(args[0]) and isinstance(args[1], str)):
            own = _own_enum_value(args[0].ref_name, args[1])
            return own if isinstance(own, str) else f"{args[0].ref_name}.{args[1]}"
        return safe_load.name_of(value)
    return repr(value)[:200]


def frames(read):
    """Split the byte stream from ``read(n)`` into (sent, thread, data) frames."""
    # Here, not at import: the channel's module brings sockets and
    # subprocesses, which a writer never needs.
    from tarnwick_collector.recording.channel import HEADER

    buf = bytearray()
    head = HEADER.size
    while True:
        chunk = read(_CHUNK)
        if not chunk:
            return
        buf += chunk
        pos = 0
        out = []
        while len(buf) - pos >= head:
            size, sent, name_len = HEADER.unpack_from(buf, pos)
            end = pos + head + name_len + size
            if len(buf) < end:
                break
            start = pos + head
            thread = bytes(buf[start:start + name_len]).decode("utf-8", "replace")
            out.append((sent, thread, bytes(buf[start + name_len:end])))
            pos = end
        del buf[:pos]
        if out:
            yield out


def main(argv):
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    kind, path = argv
    if kind not in ("data", "metrics"):
        raise SystemExit(f"unknown stream {kind!r}")
    # Frames are split, described and inserted natively, in transactions
    # that end when the input goes idle or a batch is large.
    sink = Writer(path, kind, store.BUSY_MS,
                  describe_call if kind == "data" else _describe_metric)
    fd = sys.stdin.fileno()
    opened = None  # when the oldest uncommitted chunk came
    # One buffer read into again and again (the writer keeps nothing of it
    # past feed): no new megabyte to map and clear at every read.
    buf = bytearray(_CHUNK)
    view = memoryview(buf)
    while True:
        n = os.readv(fd, [buf])
        if not n:
            break
        sink.feed(view[:n])
        now = time.monotonic()
        if opened is None:
            opened = now
        # A read returns at most what the socket holds: the input is idle
        # only when nothing more comes for a moment. Committing at every
        # short read would write the same pages to the log again and again;
        # a steady trickle is still committed every _MAX_OPEN seconds.
        if (n < _CHUNK and not _more_soon(fd)) or now - opened >= _MAX_OPEN:
            sink.commit()
            opened = None
    sink.close()
    store.add_indexes(path, (kind,))


def _more_soon(fd):
    try:
        return bool(select.select([fd], [], [], _IDLE)[0])
    except (OSError, ValueError):
        return False


if __name__ == "__main__":
    main(sys.argv[1:])
