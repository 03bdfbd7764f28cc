"""The backend of CPython 3.12 and later: sys.monitoring, driven natively.

The events and the hook calls are in the native module ``_monitor``; this
side works out, once per code object, whether it is project code and what
its instruction table is (``bytecode.monitor_table``), and finds the
function of a frame that C code started when the frame itself does not
name it.
"""

import sys

from tarnwick_collector.tracing import static
from tarnwick_collector.tracing.bytecode import M_ATTR, monitor_table
from tarnwick_collector.tracing.engine import (SKIP, NullHooks, code_kind, new_probe,
                                               probe_target, sessions)
from tarnwick_collector.tracing.resolve import FunctionFinder

try:
    from tarnwick_collector.tracing import _monitor
except ImportError:  # pragma: no cover - a build without the module
    _monitor = None

def available():
    return (_monitor is not None and bool(_monitor.AVAILABLE)
            and hasattr(sys, "monitoring") and sys.implementation.name == "cpython")


def _probe_load():
    for row in monitor_table(probe_target.__code__):
        if row[1] == M_ATTR:
            return row[0], row[3]
    return -1, 0


class MonitoringBackend:
    name = "monitoring"

    def __init__(self, engine, use_peek=True):
        if not available():
            raise RuntimeError("sys.monitoring is not available on this interpreter")
        self.engine = engine
        self.use_peek = use_peek
        self.peek = None
        self.tool_id = None
        self.active = False
        self.finder = FunctionFinder()
        self.session = next(sessions)
        self._stopped = None

    # -- what the native side asks

    def _build(self, code):
        engine = self.engine
        if not engine.is_project_file(code.co_filename):
            return None
        kind = code_kind(code)
        if kind == SKIP:
            return (SKIP, None)
        return (kind, monitor_table(code))

    def _find(self, code):
        # Called by the native layer while the frame of ``code`` is starting;
        # that frame is the caller of this one.
        frame = sys._getframe(1)
        if frame.f_code is not code:
            return None
        first = static.MISSING
        if code.co_argcount:
            first = frame.f_locals.get(code.co_varnames[0], static.MISSING)
        return self.finder.find(frame, code, first)

    # -- installation

    def install(self):
        if self.active:
            return
        engine = self.engine
        hooks = None if engine.hooks is NullHooks else engine.hooks
        probe = new_probe()
        offset, depth = _probe_load()
        self.tool_id, self.peek = _monitor.start(
            hooks, self._build, self._find, static.getattr_static, static.MISSING,
            static.UNKNOWN, NullHooks.TOKEN, engine.max_calls, self.use_peek,
            probe_target, probe, offset, depth, self.session)
        self._stopped = None
        self.active = True

    def uninstall(self):
        if not self.active:
            return
        self.active = False
        try:
            _monitor.stop()
        finally:
            self._stopped = _monitor.stopped()
            self.sync_stats()

    @property
    def stopped_reason(self):
        """Why the layer stopped before ``uninstall()``, or None."""
        stopped = self._stop_report()
        return stopped[0] if stopped else None

    @property
    def stopped_at(self):
        """(seconds after install, calls traced by then) of that stop, or None."""
        stopped = self._stop_report()
        return (stopped[1], stopped[2]) if stopped else None

    def _stop_report(self):
        # The native side keeps it until its next start; ours is kept at uninstall.
        if self.active:
            return _monitor.stopped()
        return self._stopped

    def sync_stats(self):
        """Copies the native counters into the engine's Stats."""
        return self.engine.stats.update(_monitor.stats())
