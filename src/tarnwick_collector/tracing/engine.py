"""The backend-independent half of the tracing layer: which code is recorded,
and the calls into the recording hooks, each guarded and counted.

A backend (``settrace.SetTraceBackend``, ``monitoring.MonitoringBackend``) turns interpreter events into
calls of ``Engine`` methods; the engine never lets an exception of a hook or
of its own reach the program, except KeyboardInterrupt and SystemExit.
"""

import inspect
import itertools
import os
import types

from tarnwick_collector.tracing.bytecode import has_calls, load_table
from tarnwick_collector.tracing.resolve import argument_reader

NoneType = type(None)

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


class CodeInfo:
    """What the layer needs of one code object, worked out once."""

    __slots__ = ("code", "kind", "table", "calls", "read_args", "seen")

    def __init__(self, code, kind, table):
        self.code = code
        self.kind = kind
        self.table = table
        self.calls = kind != SKIP and has_calls(code)
        self.read_args = argument_reader(code) if kind == RECORD else None
        # next() of a count is one C call: threads cannot both take the same number.
        self.seen = itertools.count() if kind == RECORD else None


def code_kind(code):
    flags = code.co_flags
    if not flags & inspect.CO_NEWLOCALS:
        return SKIP
    if flags & _SUSPENDING or code.co_name in _COMPREHENSIONS:
        return INLINE
    return RECORD


class Engine:
    def __init__(self, hooks, project_files, stats=None, call_entries=False,
                 max_calls=DEFAULT_MAX_CALLS):
        self.stats = stats if stats is not None else Stats()
        self.call_entries = call_entries
        self.max_calls = max_calls or 0
        self.stats.max_calls = self.max_calls
        self.project_files = frozenset(os.path.abspath(p) for p in project_files)
        self._files = {}
        self._codes = {}
        self.set_hooks(hooks)

    def set_hooks(self, hooks):
        self.hooks = hooks
        self._user_call = hooks.record_user_function_call
        self._user_return = hooks.record_user_function_return_value
        self._ext_call = hooks.record_external_call
        self._ext_return = hooks.record_external_return_value
        self._global = hooks.load_global_hook
        self._attr = hooks.load_attr_hook

    # ------------------------------------------------------------ project

    def is_project_file(self, filename):
        hit = self._files.get(filename)
        if hit is None:
            files = self.project_files
            hit = filename in files or (
                not filename.startswith("<") and os.path.abspath(filename) in files)
            self._files[filename] = hit
        return hit

    def code_info(self, code):
        hit = self._codes.get(id(code))
        if hit is not None and hit.code is code:
            return hit
        kind = code_kind(code)
        info = CodeInfo(code, kind, load_table(code, self.call_entries) if kind != SKIP else {})
        self._codes[id(code)] = info
        return info

    def over_cap(self, info):
        """Counts one call of a recorded function; True (and counted as
        capped) when the function already had its share of records."""
        cap = self.max_calls
        if cap and next(info.seen) >= cap:
            self.stats.capped += 1
            return True
        return False

    # -------------------------------------------------------------- hooks

    def _failed(self, name):
        errors = self.stats.hook_errors
        errors[name] = errors.get(name, 0) + 1

    def enter_user(self, func, args, kwargs):
        stats = self.stats
        stats.user_calls += 1
        try:
            record = self._user_call(func, *args, **kwargs)
        except Exception:
            self._failed("record_user_function_call")
            return None
        if record is None:
            stats.not_recorded += 1
        else:
            stats.records += 1
        return record

    def exit_user(self, record, value, exc):
        try:
            self._user_return(value, record, NoneType if exc is None else exc)
        except Exception:
            self._failed("record_user_function_return_value")

    def enter_external(self, func, checked):
        self.stats.external_calls += 1
        try:
            record = self._ext_call(func, checked)
        except Exception:
            self._failed("record_external_call")
            return None
        if record is not None:
            self.stats.external_records += 1
        return record

    def exit_external(self, record, value, exc):
        try:
            self._ext_return(value, record, NoneType if exc is None else exc)
        except Exception:
            self._failed("record_external_return_value")

    def global_loaded(self, value, name):
        self.stats.globals += 1
        try:
            self._global(value, name)
        except Exception:
            self._failed("load_global_hook")

    def attr_loaded(self, obj, name, result):
        self.stats.attrs += 1
        try:
            self._attr(obj, name, result)
        except Exception:
            self._failed("load_attr_hook")


FunctionType = types.FunctionType
