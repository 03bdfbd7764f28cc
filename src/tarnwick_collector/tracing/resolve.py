"""From a running frame back to its function object.

A trace event gives the frame, not what was called. The function is found
by looking where functions of that code usually live (module globals, the
classes of the first argument, the caller's variables), all read with dict
lookups; a last resort asks the garbage collector, a bounded number of times
per code object.
"""

import gc
import types
import weakref

from tarnwick_collector.tracing import static

FunctionType = types.FunctionType
MethodType = types.MethodType
_dict_get = dict.get
_MISSING = static.MISSING

_type_name = type.__dict__["__name__"].__get__
_GC_TRIES = 2
_WRAPPED_DEPTH = 4


def _code_of(fn):
    return fn.__code__ if type(fn) is FunctionType else None


def _unwrap_entry(value, code):
    """The function with ``code`` held by a class-dict entry, or None."""
    for _ in range(_WRAPPED_DEPTH):
        tp = type(value)
        if tp is FunctionType:
            if value.__code__ is code:
                return value
            # functools.wraps keeps the original in the wrapper's own dict.
            value = _dict_get(value.__dict__, "__wrapped__")
            if value is None:
                return None
            continue
        if tp is staticmethod or tp is classmethod:
            value = value.__func__
            continue
        if tp is property:
            for part in (value.fget, value.fset, value.fdel):
                if type(part) is FunctionType and part.__code__ is code:
                    return part
            return None
        return None
    return None


def _private_key(klass, name):
    if name.startswith("__") and not name.endswith("__"):
        return "_" + _type_name(klass).lstrip("_") + name
    return name


def _in_classes(cls, code):
    name = code.co_name
    for klass in static.mro(cls):
        d = static._type_dict(klass)
        value = static._proxy_get(d, _private_key(klass, name), _MISSING)
        if value is not _MISSING:
            fn = _unwrap_entry(value, code)
            if fn is not None:
                return fn
    return None


def _by_qualname(globs, code):
    qualname = getattr(code, "co_qualname", None)
    if not qualname or "<" in qualname:
        return None
    parts = qualname.split(".")
    value = _dict_get(globs, parts[0], _MISSING)
    for part in parts[1:]:
        if value is _MISSING or not static.is_subtype(type(value), type):
            return None
        value = static._proxy_get(static._type_dict(value), part, _MISSING)
    if value is _MISSING:
        return None
    return _unwrap_entry(value, code)


def _in_values(values, code):
    for value in values:
        tp = type(value)
        if tp is FunctionType:
            if value.__code__ is code:
                return value
        elif tp is MethodType:
            fn = value.__func__
            if type(fn) is FunctionType and fn.__code__ is code:
                return fn
    return None


class FunctionFinder:
    """Finds the function a frame runs; remembers it weakly per code object."""

    def __init__(self):
        self._cache = {}        # id(code) -> (code, weakref to function)
        self._gc_tries = {}     # id(code) -> (code, tries)
        self.gc_searches = 0

    def find(self, frame, code, first_arg=_MISSING):
        key = id(code)
        hit = self._cache.get(key)
        if hit is not None and hit[0] is code:
            fn = hit[1]()
            if fn is not None:
                return fn
        fn = self._search(frame, code, first_arg)
        if fn is not None:
            try:
                self._cache[key] = (code, weakref.ref(fn))
            except TypeError:
                pass
        return fn

    def _search(self, frame, code, first_arg):
        globs = frame.f_globals
        fn = _dict_get(globs, code.co_name)
        if type(fn) is FunctionType and fn.__code__ is code:
            return fn
        if first_arg is not _MISSING:
            cls = first_arg if static.is_subtype(type(first_arg), type) else type(first_arg)
            fn = _in_classes(cls, code)
            if fn is not None:
                return fn
        fn = _by_qualname(globs, code)
        if fn is not None:
            return fn
        caller = frame.f_back
        if caller is not None:
            fn = _in_values(caller.f_locals.values(), code)
            if fn is not None:
                return fn
        return self._from_gc(code)

    def _from_gc(self, code):
        key = id(code)
        entry = self._gc_tries.get(key)
        tries = entry[1] if entry is not None and entry[0] is code else 0
        if tries >= _GC_TRIES:
            return None
        self._gc_tries[key] = (code, tries + 1)
        self.gc_searches += 1
        for ref in gc.get_referrers(code):
            if type(ref) is FunctionType and ref.__code__ is code:
                return ref
        return None
