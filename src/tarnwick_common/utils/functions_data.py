"""Signatures of functions."""

import inspect
import types
import weakref

# id(function) -> (weak reference, code, defaults, kwdefaults, annotations, spec).
# A Python function's argspec changes only with those attributes, so a cached
# spec is handed out while they are the same objects.
_specs = {}


def _forget(key):
    def callback(_ref):
        _specs.pop(key, None)

    return callback


def _parts(function):
    return (function.__code__, function.__defaults__, function.__kwdefaults__,
            function.__annotations__)


def get_signature(function):
    """``inspect.getfullargspec(function)``, or None when it has none."""
    if type(function) is not types.FunctionType or "__signature__" in function.__dict__:
        try:
            return inspect.getfullargspec(function)
        except TypeError:
            return None
    key = id(function)
    parts = _parts(function)
    entry = _specs.get(key)
    if (entry is not None and entry[0]() is function
            and all(a is b for a, b in zip(entry[1:5], parts))):
        return entry[5]
    try:
        spec = inspect.getfullargspec(function)
    except TypeError:
        return None
    _specs[key] = (weakref.ref(function, _forget(key)), *parts, spec)
    return spec
