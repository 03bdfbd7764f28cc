"""One recording: its database, its two writer processes, the settings that
point the hooks at them, and the summary at the end."""

import os
import sqlite3
import sys
import time

from tarnwick_collector.recording import store
from tarnwick_collector.recording.channel import MessageChannel

_SKIP_DIRS = {"__pycache__", "site-packages", "dist-packages", "node_modules", "build"}
_OWN_PACKAGES = ("tarnwick_collector", "tarnwick_common")


def _own_dirs():
    import tarnwick_collector
    import tarnwick_common

    return [os.path.dirname(os.path.abspath(m.__file__))
            for m in (tarnwick_collector, tarnwick_common)]


def project_files(root):
    """The .py files under ``root``, skipping hidden folders, virtual
    environments, caches and the recorder's own packages."""
    root = os.path.abspath(root)
    own = [d + os.sep for d in _own_dirs()]
    found = set()
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = [d for d in dirnames
                       if not d.startswith(".") and d not in _SKIP_DIRS and d not in _OWN_PACKAGES
                       and not os.path.exists(os.path.join(dirpath, d, "pyvenv.cfg"))]
        for name in filenames:
            if name.endswith(".py"):
                path = os.path.join(dirpath, name)
                if not any(path.startswith(d) for d in own):
                    found.add(path)
                    real = os.path.realpath(path)
                    if real != path:
                        found.add(real)
    return found


class Session:
    def __init__(self, out, project_dir, script=None, argv=None, channel_options=None,
                 stand_ins=False):
        self.out = os.path.abspath(out)
        self.project_dir = os.path.abspath(project_dir)
        self.script = script
        self.argv = list(argv or [])
        self.data = None
        self.metrics = None
        self.started = None
        self.elapsed = 0.0
        self._options = channel_options or {}
        self.stand_ins = bool(stand_ins)
        self._saved = None

    def open(self):
        from tarnwick_collector.configs.collector_settings import (CollectorSettings,
                                                                   _DefaultSerializer)

        files = project_files(self.project_dir)
        if self.script:
            files.add(os.path.abspath(self.script))
        store.create(self.out, {
            "script": self.script or "", "argv": self.argv, "project": self.project_dir,
            "python": sys.version.split()[0], "started": time.time(),
            "stand_ins": self.stand_ins,
        })
        self.data = MessageChannel("data", self.out, register_atexit=False, **self._options).start()
        self.metrics = MessageChannel("metrics", self.out, register_atexit=False,
                                      **self._options).start()
        s = CollectorSettings
        # The serializer's modules (and what they import) are loaded now, not
        # inside the program's first recorded call.
        if isinstance(s.serializer, _DefaultSerializer):
            _DefaultSerializer._install()
        self._saved = (s.data_subprocess, s.metrics_subprocess, s.project_files, s.project_path,
                       s.stand_ins_for_refused)
        s.data_subprocess = self.data
        s.metrics_subprocess = self.metrics
        s.project_files = files
        s.project_path = self.project_dir
        s.stand_ins_for_refused = self.stand_ins
        self.files = files
        self.started = time.monotonic()
        return self

    def close(self, tracer_stats=None, timeout=None, stopped=None):
        """Flush both streams, end the writers and return the summary.

        ``stopped``: ``Tracer.stopped``, when the layer stopped before the end.

        With ``timeout`` (seconds) the writers get about that long in all
        to store what was sent; what they did not store counts as lost."""
        from tarnwick_collector.configs.collector_settings import CollectorSettings

        self.elapsed = time.monotonic() - self.started if self.started else 0.0
        busy_ms = store.BUSY_MS
        if timeout is None:
            data_stats = self.data.close()
            metric_stats = self.metrics.close()
        else:
            deadline = time.monotonic() + timeout
            # Both flush at once; each then gets what is left of the time.
            for channel in (self.data, self.metrics):
                channel.request_close(lock_timeout=timeout / 4)
            data_stats = self.data.close(max(0.0, deadline - time.monotonic()), bounded=True)
            metric_stats = self.metrics.close(max(0.0, deadline - time.monotonic()),
                                              bounded=True)
            busy_ms = 1000
        if self._saved is not None:
            s = CollectorSettings
            (s.data_subprocess, s.metrics_subprocess, s.project_files, s.project_path,
             s.stand_ins_for_refused) = self._saved
            self._saved = None
        try:
            conn = store.connect(self.out, busy_ms)
        except sqlite3.Error as exc:
            conn = None
            error = str(exc)
        try:
            counted = stand_ins = None
            if conn is not None:
                # One plain file from here on, readable without write access.
                conn.execute("PRAGMA journal_mode = DELETE")
                counted = store.counts(conn)
                stand_ins = _stand_ins(conn)
            summary = self._summarize(data_stats, metric_stats, tracer_stats, counted, stopped)
            summary["stand_ins"] = stand_ins or {}
            if conn is not None:
                store.set_meta(conn, {"finished": time.time(), "summary": summary})
            else:
                summary["store_error"] = error
        except sqlite3.Error as exc:
            summary = self._summarize(data_stats, metric_stats, tracer_stats, None, stopped)
            summary["store_error"] = str(exc)
        finally:
            if conn is not None:
                conn.close()
        return summary

    def _summarize(self, data_stats, metric_stats, tracer_stats, counted, stopped=None):
        calls, external, kinds = counted if counted is not None else (0, 0, {})
        stored_metrics = sum(kinds.values())
        dropped = {}
        for kind, reason in (("LimitFailure", "limit"), ("Unpicklable", "unpicklable"),
                             ("CollectorFailure", "failure")):
            if kinds.get(kind):
                dropped[reason] = kinds[kind]
        if tracer_stats is not None:
            if tracer_stats.unresolved:
                dropped["unresolved"] = tracer_stats.unresolved
            errors = sum(tracer_stats.hook_errors.values())
            if errors:
                dropped["hook error"] = errors
            if tracer_stats.internal_errors:
                dropped["layer error"] = tracer_stats.internal_errors
        lost_calls = (max(0, data_stats.accepted - calls) + data_stats.lost_dead
                      + data_stats.dropped_full + data_stats.dropped_closed)
        lost_metrics = (max(0, metric_stats.accepted - stored_metrics) + metric_stats.lost_dead
                        + metric_stats.dropped_full + metric_stats.dropped_closed)
        return {
            "calls": calls, "external_calls": external, "dropped": dropped,
            "lost_calls": lost_calls, "lost_metrics": lost_metrics,
            "seconds": round(self.elapsed, 3), "metrics": kinds,
            "data_process": _process(data_stats), "metrics_process": _process(metric_stats),
            "tracer": tracer_stats.as_dict() if tracer_stats is not None else None,
            "capped": tracer_stats.capped if tracer_stats is not None else 0,
            "max_calls": tracer_stats.max_calls if tracer_stats is not None else 0,
            "stopped": dict(stopped) if stopped else None,
        }


def _stand_ins(conn):
    from tarnwick_collector.recording.stats import STAND_INS, stand_in_counts

    rows = [(detail, n) for _, detail, n in store.detail_counts(conn, (STAND_INS,))]
    return stand_in_counts(rows)[0]


def _process(stats):
    return {"exit_status": stats.exit_status, "error": stats.error, **{
        k: getattr(stats, k) for k in ("accepted", "written", "dropped_full", "lost_dead")}}


def stopped_text(stopped, what="recording"):
    """"recording stopped at 0.52s, after 1203 calls: why" for a stop before
    the end, or None (read from a stored summary too: anything odd is left
    out)."""
    if not isinstance(stopped, dict) or not isinstance(stopped.get("reason"), str):
        return None
    when = []
    seconds, calls = stopped.get("seconds"), stopped.get("calls")
    if isinstance(seconds, (int, float)) and not isinstance(seconds, bool) \
            and 0 <= seconds < 1e12:
        when.append(f"at {seconds:.2f}s")
    if isinstance(calls, int) and not isinstance(calls, bool) and calls >= 0:
        when.append(f"after {calls} call{'s' if calls != 1 else ''}")
    return f"{what} stopped{' ' if when else ''}{', '.join(when)}: {stopped['reason'][:300]}"


def summary_line(summary, out):
    """The summary as printed at the end; a line before it when the
    recording stopped early."""
    stopped = stopped_text(summary.get("stopped"))
    head = f"tarnwick: {stopped}\n" if stopped else ""
    parts = [f"recorded {summary['calls']} call{'s' if summary['calls'] != 1 else ''}"]
    dropped = summary["dropped"]
    if dropped:
        total = sum(dropped.values())
        reasons = ", ".join(f"{n} {r}" for r, n in sorted(dropped.items()))
        parts.append(f"dropped {total} ({reasons})")
    else:
        parts.append("dropped 0")
    stand_ins = summary.get("stand_ins") or {}
    if stand_ins:
        total = sum(stand_ins.values())
        reasons = ", ".join(f"{n} {r}" for r, n in sorted(stand_ins.items()))
        parts.append(f"{total} stand-in{'s' if total != 1 else ''} ({reasons})")
    parts.append(f"{summary['external_calls']} external call"
                 f"{'s' if summary['external_calls'] != 1 else ''}")
    if summary.get("capped"):
        parts.append(f"{summary['capped']} not recorded over the cap of "
                     f"{summary['max_calls']} per function")
    for key, what in (("lost_calls", "records"), ("lost_metrics", "metrics")):
        if summary[key]:
            parts.append(f"lost {summary[key]} {what}")
    for key, what in (("data_process", "data"), ("metrics_process", "metrics")):
        status = summary[key]["exit_status"]
        if status not in (0, None):
            parts.append(f"{what} process exited with status {status}")
    parts.append(f"{summary['seconds']:.2f}s")
    return head + "tarnwick: " + ", ".join(parts) + f" -> {out}"
