"""The backend of CPython 3.10 and 3.11: sys.settrace and sys.setprofile.

The trace function sees every Python frame start. Frames of project code get
a local tracer with opcode events (for their loads and the results of their C
calls) and, for plain functions, a record; a library frame started directly
from project code is an external call and gets a small tracer of its own for
its end. The profile function only looks at C calls made by project frames.
"""

import sys
import threading
import types

from tarnwick_collector.tracing import framepeek, static
from tarnwick_collector.tracing.bytecode import (
    ATTR,
    CALL,
    GLOBAL,
    METHOD,
    SRC_ATTR,
    SRC_CONST,
    SRC_GLOBAL,
    SRC_LOCAL,
    is_normal_return,
)
from tarnwick_collector.tracing.engine import RECORD, SKIP, SUSPENDING_FLAGS
from tarnwick_collector.tracing.resolve import FunctionFinder, call_arguments

_dict_get = dict.get
_MISSING = static.MISSING
_UNKNOWN = static.UNKNOWN
_EMPTY = framepeek.EMPTY
FunctionType = types.FunctionType
MethodType = types.MethodType

_PENDING_ATTR = 1
_PENDING_C = 2
_PENDING_CALL = 3


def _called_object(pending, code):
    """What a call instruction called, when it started a frame of ``code``:
    (called object, whether the frame's first argument is bound in it)."""
    target, bound_self = pending[1], pending[2]
    if bound_self is not _EMPTY:
        # The method-call layout: an unbound method with its self below it.
        if type(target) is FunctionType and target.__code__ is code:
            return MethodType(target, bound_self), True
        return None
    tp = type(target)
    if tp is FunctionType:
        return (target, False) if target.__code__ is code else None
    if tp is MethodType:
        fn = target.__func__
        if type(fn) is FunctionType and fn.__code__ is code:
            return target, True
        return None
    if code.co_name == "__init__" and static.is_subtype(tp, type):
        init, _ = static.class_lookup(target, "__init__")
        if type(init) is FunctionType and init.__code__ is code:
            return target, True  # a class: its __init__ gets the new object
    return None


def _bound(meth, self_obj):
    """What ``self_obj.<name>`` is, given the (meth, self) pair LOAD_METHOD
    leaves when it found a plain method."""
    if type(meth) is FunctionType:
        return MethodType(meth, self_obj)
    value = static._bind(meth, self_obj, type(self_obj))
    return None if value is _UNKNOWN else value


class _ProjectFrame:
    """State of one running frame of project code. Most fields keep their
    class default for the whole call, so a new frame sets only four."""

    record = None
    exc = None
    ext = None
    ext_raised = False
    pending = None
    seen = None
    last_attr = None

    def __init__(self, backend, info):
        self.backend = backend
        self.engine = backend.engine
        self.code = info.code
        self.table = info.table
        self.tracer = self.trace

    def trace(self, frame, event, arg):
        if event == "opcode":
            try:
                if self.pending is None:
                    load = self.table.get(frame.f_lasti)
                    if load is None:
                        return self.tracer
                    self._load(frame, load)
                else:
                    self._settle(frame)
                    load = self.table.get(frame.f_lasti)
                    if load is not None:
                        self._load(frame, load)
            except Exception:
                self.engine.stats.internal_errors += 1
            return self.tracer
        engine = self.engine
        try:
            if event == "return":
                self._returned(frame, arg)
                return None
            if event == "exception":
                self._raised(arg[1])
        except Exception:
            engine.stats.internal_errors += 1
            if event == "return":
                return None
        return self.tracer

    # -- loads

    def _load(self, frame, load):
        name = load.name
        if load.kind == CALL:
            slot, below = self.backend.peek.pair(frame, load.src_arg)
            if name and slot is _EMPTY:        # NULL: a plain callable below it
                self.pending = (_PENDING_CALL, below, _EMPTY)
            elif name:
                self.pending = (_PENDING_CALL, slot, below)
            else:
                self.pending = (_PENDING_CALL, slot, _EMPTY)
            return
        if load.kind == GLOBAL:
            value = _dict_get(frame.f_globals, name, _MISSING)
            if value is _MISSING:
                value = _dict_get(frame.f_builtins, name, _MISSING)
                if value is _MISSING:
                    return  # a NameError is coming
            seen = self.seen
            if seen is None:
                seen = self.seen = {}
            elif _dict_get(seen, name, _MISSING) is value:
                return
            seen[name] = value
            self.engine.global_loaded(value, name)
            return
        peek = self.backend.peek
        if peek is not None:
            obj = peek.stack(frame, 0)
            if obj is _EMPTY:
                self.engine.stats.attrs_unknown += 1
                return
            self.pending = (_PENDING_ATTR, load, obj)
            return
        obj = self._static_source(frame, load)
        if obj is _MISSING:
            self.engine.stats.attrs_unknown += 1
            return
        result = static.getattr_static(obj, name)
        if result is _MISSING:
            return  # an AttributeError is coming
        if load.kind == ATTR:
            self.last_attr = (frame.f_lasti, _MISSING if result is _UNKNOWN else result)
        self.engine.attr_loaded(obj, name, None if result is _UNKNOWN else result)

    def _static_source(self, frame, load):
        src = load.src
        if src == SRC_LOCAL:
            return _dict_get(frame.f_locals, load.src_arg, _MISSING)
        if src == SRC_GLOBAL:
            value = _dict_get(frame.f_globals, load.src_arg, _MISSING)
            if value is _MISSING:
                value = _dict_get(frame.f_builtins, load.src_arg, _MISSING)
            return value
        if src == SRC_CONST:
            return load.src_arg
        if src == SRC_ATTR:
            last = self.last_attr
            if last is not None and last[0] == load.src_offset:
                return last[1]
        return _MISSING

    def _settle(self, frame):
        """The instruction before this one has run: its result is the stack top."""
        pending = self.pending
        self.pending = None
        if pending[0] == _PENDING_CALL:
            return
        peek = self.backend.peek
        if pending[0] == _PENDING_C:
            value = peek.stack(frame, 0)
            self.engine.exit_external(pending[1], None if value is _EMPTY else value, None)
            return
        load, obj = pending[1], pending[2]
        top = peek.stack(frame, 0)
        if top is _EMPTY:
            return
        if load.kind == METHOD:
            meth = peek.stack(frame, 1)
            result = top if meth is _EMPTY else _bound(meth, top)
        else:
            result = top
        self.engine.attr_loaded(obj, load.name, result)

    # -- end of a C call, exceptions, return

    def _raised(self, exc):
        self.exc = exc
        pending = self.pending
        if pending is not None:
            self.pending = None
            if pending[0] == _PENDING_C:
                self.engine.exit_external(pending[1], None, None)
        ext = self.ext
        if ext is not None and self.ext_raised:
            self.ext = None
            self.ext_raised = False
            self.engine.exit_external(ext, None, exc)

    def _returned(self, frame, value):
        self.backend.frames.pop(frame, None)
        engine = self.engine
        pending = self.pending
        if pending is not None:
            self.pending = None
            if pending[0] == _PENDING_C:
                engine.exit_external(pending[1], None, None)
        ext = self.ext
        if ext is not None:
            self.ext = None
            engine.exit_external(ext, None, self.exc if self.ext_raised else None)
        record = self.record
        if record is not None:
            self.record = None
            if is_normal_return(self.code, frame.f_lasti) or self.exc is None:
                engine.exit_user(record, value, None)
            else:
                engine.exit_user(record, None, self.exc)
        self.__dict__.clear()  # no cycle left behind (the tracer is a bound method)


class _LibraryFrame:
    """A library function called from project code: one external call."""

    __slots__ = ("engine", "ext", "exc", "tracer")

    def __init__(self, engine, ext):
        self.engine = engine
        self.ext = ext
        self.exc = None
        self.tracer = self.trace

    def trace(self, frame, event, arg):
        try:
            if event == "exception":
                self.exc = arg[1]
            elif event == "return":
                ext, self.ext = self.ext, None
                self.tracer = None
                if ext is not None:
                    if is_normal_return(frame.f_code, frame.f_lasti) or self.exc is None:
                        self.engine.exit_external(ext, arg, None)
                    else:
                        self.engine.exit_external(ext, None, self.exc)
                return None
        except Exception:
            self.engine.stats.internal_errors += 1
        return self.tracer


class SetTraceBackend:
    name = "settrace"

    def __init__(self, engine, use_peek=True):
        self.engine = engine
        self.peek = framepeek.load() if use_peek else None
        self.finder = FunctionFinder()
        self.frames = {}
        self.active = False
        self._saved = None
        self._files = engine._files
        self._codes = engine._codes
        self._cap = engine.max_calls
        if self.peek is not None:
            engine.call_entries = True
        self._on_profile = self._make_profile()

    # -- installation

    def install(self):
        if self.active:
            return
        self._saved = (sys.gettrace(), sys.getprofile(),
                       threading.gettrace(), threading.getprofile())
        self.active = True
        threading.settrace(self._on_call)
        threading.setprofile(self._on_profile)
        sys.settrace(self._on_call)
        sys.setprofile(self._on_profile)

    def uninstall(self):
        if not self.active:
            return
        self.active = False
        trace, profile, thread_trace, thread_profile = self._saved
        sys.settrace(trace)
        sys.setprofile(profile)
        threading.settrace(thread_trace)
        threading.setprofile(thread_profile)
        for frame in list(self.frames):
            try:
                frame.f_trace_opcodes = False
                frame.f_trace = None
            except Exception:
                pass
        self.frames.clear()

    def _detach_thread(self):
        # Another thread stopped us; this one goes back to what threads had.
        saved = self._saved
        if saved is not None:
            sys.settrace(saved[2])
            sys.setprofile(saved[3])

    # -- events

    def _function(self, frame, code, local_vars):
        peek = self.peek
        if peek is not None and peek.function_of is not None:
            fn = peek.function_of(frame)
            if type(fn) is FunctionType and fn.__code__ is code:
                return fn
        first = _MISSING
        if code.co_argcount:
            first = _dict_get(local_vars, code.co_varnames[0], _MISSING)
        return self.finder.find(frame, code, first)

    def _on_call(self, frame, event, arg):
        try:
            if not self.active:
                self._detach_thread()
                return None
            code = frame.f_code
            project = self._files.get(code.co_filename)
            if project is None:
                project = self.engine.is_project_file(code.co_filename)
            if project:
                return self._enter_project(frame, code)
            back = frame.f_back
            if back is None:
                return None
            caller = self.frames.get(back)
            if caller is None or caller.ext is not None or code.co_flags & SUSPENDING_FLAGS:
                return None
            return self._enter_library(frame, code)
        except Exception:
            self.engine.stats.internal_errors += 1
            return None

    def _enter_project(self, frame, code):
        info = self._codes.get(id(code))
        if info is None or info.code is not code:
            info = self.engine.code_info(code)
        kind = info.kind
        if kind == SKIP:
            return None
        if kind == RECORD and self._cap and self.engine.over_cap(info):
            return None  # not traced at all: its loads and calls are not asked for
        state = _ProjectFrame(self, info)
        self.frames[frame] = state
        frame.f_trace_lines = False
        if info.table or (info.calls and self.peek is not None):
            frame.f_trace_opcodes = True
        if kind == RECORD:
            local_vars = frame.f_locals
            called = self._called_by_caller(frame, code)
            if called is not None:
                fn, bound = called
            else:
                fn, bound = self._function(frame, code, local_vars), False
            if fn is None:
                self.engine.stats.unresolved += 1
            else:
                try:
                    args, kwargs = info.read_args(local_vars)
                except KeyError:
                    args, kwargs = call_arguments(code, local_vars)
                if bound:
                    args = args[1:]
                state.record = self.engine.enter_user(fn, args, kwargs)
        return state.tracer

    def _called_by_caller(self, frame, code):
        back = frame.f_back
        caller = self.frames.get(back) if back is not None else None
        if caller is None:
            return None
        pending = caller.pending
        if pending is None or pending[0] != _PENDING_CALL:
            return None
        return _called_object(pending, code)

    def _enter_library(self, frame, code):
        called = self._called_by_caller(frame, code)
        fn = called[0] if called is not None else self._function(frame, code, frame.f_locals)
        engine = self.engine
        if fn is None:
            engine.stats.unresolved += 1
            return None
        ext = engine.enter_external(fn, 1)
        if ext is None:
            return None
        frame.f_trace_lines = False
        return _LibraryFrame(engine, ext).tracer

    def _make_profile(self):
        frames_get = self.frames.get
        engine = self.engine
        stats = engine.stats
        backend = self

        def profile(frame, event, arg):
            if event == "call" or event == "return":
                if not backend.active:
                    backend._detach_thread()
                return
            try:
                state = frames_get(frame)
                if state is None:
                    return
                if event == "c_call":
                    if state.ext is None:
                        ext = engine.enter_external(arg, 0)
                        if ext is not None:
                            state.ext = ext
                            state.ext_raised = False
                elif event == "c_return":
                    ext = state.ext
                    if ext is not None:
                        state.ext = None
                        if backend.peek is not None and frame.f_trace_opcodes:
                            state.pending = (_PENDING_C, ext)
                        else:
                            stats.c_results_unknown += 1
                            engine.exit_external(ext, None, None)
                elif event == "c_exception":
                    if state.ext is not None:
                        state.ext_raised = True
            except Exception:
                stats.internal_errors += 1

        return profile
