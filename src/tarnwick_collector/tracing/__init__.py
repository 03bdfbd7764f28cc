"""The tracing layer: drives the recording hooks on a running program.

    tracer = Tracer(project_files={"/abs/app.py"})
    tracer.start()
    ...            # the program runs; its project functions are recorded
    tracer.stop()  # the tracers that were set before are back

A backend turns interpreter events into calls of the hooks; the one for
CPython 3.10 and 3.11 uses sys.settrace and sys.setprofile, the one for 3.12
and later sys.monitoring (``monitoring.MonitoringBackend``, native). A
backend has ``install()`` and ``uninstall()`` and is built from an ``Engine``.

A backend that stops by itself before ``uninstall()`` (the program took what
it runs on: its tool id, its trace function) says why in ``stopped_reason``,
a short text, and may say when in ``stopped_at``: (seconds after install,
calls traced by then). The Tracer reads both; backends without them never
stop early.
"""

import sys

from tarnwick_collector.tracing.engine import (
    DEFAULT_MAX_CALLS,
    Engine,
    NullHooks,
    Stats,
    default_hooks,
)
from tarnwick_collector.tracing.settrace import SetTraceBackend

__all__ = ["DEFAULT_MAX_CALLS", "Engine", "NullHooks", "Stats", "Tracer", "select_backend"]


def select_backend():
    """sys.monitoring where the interpreter has it, else settrace/setprofile."""
    if sys.version_info >= (3, 12):
        from tarnwick_collector.tracing import monitoring

        if monitoring.available():
            return monitoring.MonitoringBackend
    return SetTraceBackend


class Tracer:
    """Engine plus backend, with the hooks on (the recording hooks of the
    core), off (``hooks_enabled=False``: the layer runs, nothing is
    recorded), or given (any object with the six hook functions).

    ``max_calls``: calls of one function passed to the hooks; later calls of
    it are counted in ``stats.capped`` and not traced. 0 or None: no cap."""

    def __init__(self, project_files=None, hooks=None, hooks_enabled=True, backend=None,
                 use_peek=True, max_calls=DEFAULT_MAX_CALLS):
        if project_files is None:
            from tarnwick_collector.configs.collector_settings import CollectorSettings

            project_files = CollectorSettings.project_files
        if not hooks_enabled:
            hooks = NullHooks
        elif hooks is None:
            hooks = default_hooks()
        self.engine = Engine(hooks, project_files, max_calls=max_calls)
        self.backend = (backend or select_backend())(self.engine, use_peek=use_peek)

    @property
    def stats(self):
        sync = getattr(self.backend, "sync_stats", None)
        if sync is not None and self.backend.active:
            sync()
        return self.engine.stats

    @property
    def active(self):
        return self.backend.active and self.stopped_reason is None

    @property
    def stopped_reason(self):
        """None, or why the layer stopped before ``stop()``: a short text."""
        return getattr(self.backend, "stopped_reason", None)

    @property
    def stopped(self):
        """None, or that early stop as plain data for the summary:
        {"reason": text, "seconds": after start or None, "calls": traced by then or None}."""
        reason = self.stopped_reason
        if reason is None:
            return None
        at = getattr(self.backend, "stopped_at", None)
        seconds, calls = at if at is not None else (None, None)
        return {"reason": str(reason), "seconds": seconds, "calls": calls}

    def start(self):
        self.backend.install()
        return self

    def stop(self):
        self.backend.uninstall()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False
