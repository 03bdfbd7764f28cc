"""The backend of CPython 3.10 and 3.11: C-level trace and profile functions.

The events and the hook calls are in the native module ``_tracer``; this
side works out, once per code object, whether it is project code and what
its load table is (``bytecode.load_table``), finds the function of a frame
that nothing named, and puts threading's hooks in place for new threads.
"""

import sys
import threading

from tarnwick_collector.tracing import static
from tarnwick_collector.tracing.bytecode import ATTR, CALL, load_table
from tarnwick_collector.tracing.engine import (SKIP, NullHooks, code_kind, new_probe,
                                               probe_target, sessions)
from tarnwick_collector.tracing.resolve import FunctionFinder

try:
    from tarnwick_collector.tracing import _tracer
except ImportError:  # pragma: no cover - a build without the module
    _tracer = None

def available():
    return _tracer is not None and bool(_tracer.AVAILABLE) and sys.implementation.name == "cpython"


def _probe_offset():
    for offset, load in load_table(probe_target.__code__).items():
        if load.kind == ATTR:
            return offset
    return -1


def table_rows(code):
    """The load table of ``code`` as the native side reads it:
    ``(offset, kind, name, src, src_arg, src_offset)``; for a call the name
    is whether it has the method-call layout and src_arg the callable's depth."""
    rows = []
    for offset, load in load_table(code, calls=True).items():
        if load.kind == CALL:
            rows.append((offset, CALL, bool(load.name), load.src, load.src_arg, -1))
        else:
            rows.append((offset, load.kind, load.name, load.src, load.src_arg, load.src_offset))
    return rows


class SetTraceBackend:
    name = "settrace"

    def __init__(self, engine, use_peek=True):
        if not available():
            raise RuntimeError("the native tracing layer is not available on this interpreter")
        self.engine = engine
        self.use_peek = use_peek
        self.peek = None
        self.active = False
        self._reason = None
        self.finder = FunctionFinder()
        self.session = next(sessions)
        self._objects = None
        self._saved = None

    # -- what the native side asks

    def _build(self, code):
        if not self.engine.is_project_file(code.co_filename):
            return None
        kind = code_kind(code)
        if kind == SKIP:
            return (SKIP, None)
        return (kind, table_rows(code))

    def _find(self, frame, code):
        first = static.MISSING
        if code.co_argcount:
            first = frame.f_locals.get(code.co_varnames[0], static.MISSING)
        return self.finder.find(frame, code, first)

    def _detach_thread(self):
        # Another thread stopped us; this one goes back to what threads had.
        saved = self._saved
        if saved is not None:
            if saved[0] is not None:
                sys.settrace(saved[0])
            if saved[1] is not None:
                sys.setprofile(saved[1])

    # -- installation

    def install(self):
        if self.active:
            return
        engine = self.engine
        hooks = None if engine.hooks is NullHooks else engine.hooks
        probe = new_probe()
        self._saved = (threading.gettrace(), threading.getprofile())
        trace, profile, self.peek = _tracer.start(
            hooks, self._build, self._find, static.getattr_static, static.MISSING,
            static.UNKNOWN, NullHooks.TOKEN, engine.max_calls, self.use_peek,
            probe_target, probe, _probe_offset(), self.session, self._detach_thread)
        self._objects = (trace, profile)
        self._reason = None
        self.active = True
        threading.settrace(trace)
        if profile is not None:  # only without stack reads
            threading.setprofile(profile)

    def uninstall(self):
        if not self.active:
            return
        self.active = False
        try:
            self._reason = _tracer.stop()
        finally:
            trace, profile = self._objects
            # Only ours is put back: the program may have set its own since.
            if threading.gettrace() is trace:
                threading.settrace(self._saved[0])
            if profile is not None and threading.getprofile() is profile:
                threading.setprofile(self._saved[1])
            self.sync_stats()

    @property
    def stopped_reason(self):
        """None, or why recording stopped before ``uninstall()``: the program
        put its own trace or profile function in place of ours."""
        return _tracer.stopped_reason() if self.active else self._reason

    def sync_stats(self):
        return self.engine.stats.update(_tracer.stats())
