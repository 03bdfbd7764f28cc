"""Signatures of functions."""

import inspect
import types

from tarnwick_common.utils.identity_cache import IdentityCache

# A Python function's argspec changes only with these attributes, so a cached
# spec is handed out while they are the same objects.
_specs = IdentityCache()


def _parts(function):
    return (function.__code__, function.__defaults__, function.__kwdefaults__,
            function.__annotations__)


def _argspec(function):
    try:
        return inspect.getfullargspec(function)
    except TypeError:
        return None


def get_signature(function):
    """``inspect.getfullargspec(function)``, or None when it has none."""
    if type(function) is not types.FunctionType or "__signature__" in function.__dict__:
        return _argspec(function)
    entry = _specs.get(function)
    if entry is not None:
        code, defaults, kwdefaults, annotations = entry[0]
        # Compared one by one: this runs on every recorded call.
        if (code is function.__code__ and defaults is function.__defaults__
                and kwdefaults is function.__kwdefaults__
                and annotations is function.__annotations__):
            return entry[1]
    parts = _parts(function)
    spec = _argspec(function)
    if spec is not None:
        _specs.put(function, (parts, spec))
    return spec
