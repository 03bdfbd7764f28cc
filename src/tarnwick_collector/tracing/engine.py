"""The backend-independent half of the tracing layer: which code is
recorded, the hooks, the call cap and the counters.

A backend (``settrace.SetTraceBackend``, ``monitoring.MonitoringBackend``,
both native) turns interpreter events into guarded, counted calls of the
hooks; no exception of a hook or of the layer reaches the program, except
KeyboardInterrupt and SystemExit.
"""

import inspect
import itertools
import os

NoneType = type(None)

# Numbers the starts of the native backends: their per-code tables and call
# counts are kept for a start with the same number (the same tracer again).
sessions = itertools.count(1)

RECORD = 1   # a plain function: one record per call
INLINE = 2   # generators, coroutines, comprehensions: part of whoever drives them
SKIP = 3     # module and class bodies

_SUSPENDING = (inspect.CO_GENERATOR | inspect.CO_COROUTINE | inspect.CO_ASYNC_GENERATOR
               | inspect.CO_ITERABLE_COROUTINE)
_COMPREHENSIONS = {"<listcomp>", "<dictcomp>", "<setcomp>", "<genexpr>"}
SUSPENDING_FLAGS = _SUSPENDING

# Calls of one function passed to the recording hooks; later calls are only
# counted. 0 or None: no cap.
DEFAULT_MAX_CALLS = 1000

HOOK_NAMES = ("record_user_function_call", "record_user_function_return_value",
              "record_external_call", "record_external_return_value",
              "load_global_hook", "load_attr_hook")


class Stats:
    """What the layer saw and did; plain counters, read at the end."""

    __slots__ = ("user_calls", "records", "not_recorded", "unresolved", "capped", "max_calls",
                 "external_calls", "external_records", "globals", "attrs", "attrs_unknown",
                 "c_results_unknown", "hook_errors", "internal_errors")

    def __init__(self):
        for name in self.__slots__:
            setattr(self, name, 0)
        self.hook_errors = {}

    def update(self, counts):
        """Takes the counters a native backend keeps (a dict of the same names)."""
        for name in self.__slots__:
            if name in counts and name not in ("max_calls", "hook_errors"):
                setattr(self, name, counts[name])
        self.hook_errors = dict(counts.get("hook_errors", {}))
        return self

    def as_dict(self):
        return {name: (dict(v) if isinstance(v, dict) else v)
                for name in self.__slots__ for v in (getattr(self, name),)}


class NullHooks:
    """Hooks switched off: every call "is recorded" so the layer does all its
    work, but nothing is built or sent."""

    TOKEN = object()

    @staticmethod
    def record_user_function_call(called_object, *args, **kwargs):
        return NullHooks.TOKEN

    @staticmethod
    def record_user_function_return_value(ret_val, record, cur_exc=None):
        return None

    @staticmethod
    def record_external_call(call, did_check_function_file_in_project_files=0):
        return NullHooks.TOKEN

    @staticmethod
    def record_external_return_value(return_value, ext_record, cur_exc=None):
        return None

    @staticmethod
    def load_global_hook(value, name):
        return None

    @staticmethod
    def load_attr_hook(obj, attr, result):
        return None


def default_hooks():
    from tarnwick_collector.data_collection import harvest

    return harvest


def code_kind(code):
    flags = code.co_flags
    if not flags & inspect.CO_NEWLOCALS:
        return SKIP
    if flags & _SUSPENDING or code.co_name in _COMPREHENSIONS:
        return INLINE
    return RECORD


class Engine:
    def __init__(self, hooks, project_files, stats=None, max_calls=DEFAULT_MAX_CALLS):
        self.stats = stats if stats is not None else Stats()
        self.max_calls = max_calls or 0
        self.stats.max_calls = self.max_calls
        self.project_files = frozenset(os.path.abspath(p) for p in project_files)
        self._files = {}
        self.hooks = hooks

    # ------------------------------------------------------------ project

    def is_project_file(self, filename):
        hit = self._files.get(filename)
        if hit is None:
            files = self.project_files
            hit = filename in files or (
                not filename.startswith("<") and os.path.abspath(filename) in files)
            self._files[filename] = hit
        return hit


class Probe:
    __slots__ = ("x",)


def probe_target(probe):
    """What a backend runs at start to check its frame reads: its argument
    is a Probe, and the object of its attribute load is that argument."""
    return probe.x


def new_probe():
    probe = Probe()
    probe.x = 1
    return probe
