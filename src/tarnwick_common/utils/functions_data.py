"""Signatures of functions."""

import inspect
import types

from tarnwick_common.utils.identity_cache import IdentityCache

# Per code object, the parameter names an argspec is made of. A cached spec
# would hold the function's defaults and annotations (and through them,
# maybe the function itself, which would then never die), so only the
# names are kept and defaults and annotations are read afresh every time,
# the way inspect pairs them with the names.
_shapes = IdentityCache()
_SLOW = False  # a code object whose argspec inspect builds differently
_EMPTY = inspect.Parameter.empty
# What inspect reads from a function's own __dict__ besides its code.
_OVERRIDES = ("__signature__", "__text_signature__", "_partialmethod")
_CO_VARARGS = inspect.CO_VARARGS
_CO_VARKEYWORDS = inspect.CO_VARKEYWORDS


def _argspec(function):
    try:
        return inspect.getfullargspec(function)
    except TypeError:
        return None


def _shape_of(code):
    names = code.co_varnames
    count = code.co_argcount
    kwonly_count = code.co_kwonlyargcount
    args = list(names[:count])
    kwonlyargs = list(names[count:count + kwonly_count])
    index = count + kwonly_count
    varargs = varkw = None
    if code.co_flags & _CO_VARARGS:
        varargs = names[index]
        index += 1
    if code.co_flags & _CO_VARKEYWORDS:
        varkw = names[index]
    ordered = tuple(args) + ((varargs,) if varargs is not None else ()) + tuple(kwonlyargs) + (
        (varkw,) if varkw is not None else ())
    return args, varargs, varkw, kwonlyargs, ordered


def _build(function, shape):
    """The argspec from the names and the function's current defaults and
    annotations; None where inspect would pair them otherwise."""
    args, varargs, varkw, kwonlyargs, ordered = shape
    defaults = function.__defaults__
    if defaults:
        if len(defaults) > len(args) or any(d is _EMPTY for d in defaults):
            return None
        defaults = (*defaults,)
    else:
        defaults = None
    kwdefaults = function.__kwdefaults__
    if kwdefaults is not None:
        if type(kwdefaults) is not dict:
            return None
        found = {}
        for name in kwonlyargs:
            value = kwdefaults.get(name, _EMPTY)
            if value is not _EMPTY:
                found[name] = value
        kwdefaults = found or None
    source = function.__annotations__
    if type(source) is not dict:
        return None
    annotations = {}
    if source:
        value = source.get("return", _EMPTY)
        if value is not _EMPTY:
            annotations["return"] = value
        for name in ordered:
            value = source.get(name, _EMPTY)
            if value is not _EMPTY:
                annotations[name] = value
    return inspect.FullArgSpec(list(args), varargs, varkw, defaults, list(kwonlyargs),
                               kwdefaults, annotations)


def _same_items(a, b):
    return len(a) == len(b) and all(x is y for x, y in zip(a, b))


def _same_spec(a, b):
    if not (_same_items(a.args, b.args) and a.varargs is b.varargs and a.varkw is b.varkw
            and _same_items(a.kwonlyargs, b.kwonlyargs)):
        return False
    for x, y in ((a.defaults, b.defaults), (a.kwonlydefaults, b.kwonlydefaults),
                 (a.annotations, b.annotations)):
        if (x is None) != (y is None):
            return False
        if x is None:
            continue
        if isinstance(x, dict) and not (_same_items(list(x), list(y))
                                        and _same_items(list(x.values()), list(y.values()))):
            return False
        if isinstance(x, tuple) and not _same_items(x, y):
            return False
    return True


def get_signature(function):
    """``inspect.getfullargspec(function)``, or None when it has none."""
    if type(function) is not types.FunctionType:
        return _argspec(function)
    own = function.__dict__
    if type(own) is not dict or any(name in own for name in _OVERRIDES):
        return _argspec(function)
    code = function.__code__
    shape = _shapes.get(code)
    if shape is None:
        spec = _argspec(function)
        if spec is not None:
            shape = _shape_of(code)
            built = _build(function, shape)
            _shapes.put(code, shape if built is not None and _same_spec(built, spec) else _SLOW)
        return spec
    if shape is _SLOW:
        return _argspec(function)
    spec = _build(function, shape)
    return spec if spec is not None else _argspec(function)
