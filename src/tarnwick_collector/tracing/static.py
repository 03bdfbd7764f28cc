"""Attribute values read without running any code of the objects involved.

Everything here goes through the type slots' own descriptors (``__mro__``,
``__dict__``) and plain dict lookups, so no ``__getattr__``,
``__getattribute__``, property or metaclass hook of a user class can run.
What cannot be known that way comes back as ``UNKNOWN``.
"""

import types

UNKNOWN = object()
MISSING = object()

_type_mro = type.__dict__["__mro__"].__get__
_type_dict = type.__dict__["__dict__"].__get__
_module_dict = types.ModuleType.__dict__["__dict__"].__get__
_dict_get = dict.get
_proxy_get = types.MappingProxyType.get

FunctionType = types.FunctionType
MethodType = types.MethodType
ModuleType = types.ModuleType
_getset = type(type.__dict__["__dict__"])
_member = type(types.FunctionType.__dict__["__globals__"])
# C descriptors whose __get__ only binds; binding runs no Python code.
_BINDING_DESCRIPTORS = (
    type(list.__dict__["append"]),          # method_descriptor
    type(object.__dict__["__init__"]),      # wrapper_descriptor
    type(dict.__dict__["fromkeys"]),        # classmethod_descriptor
    types.BuiltinFunctionType,
)
_WRAPPER = type(object.__dict__["__getattribute__"])


def _one_of(x, candidates):
    # By identity: ``in`` would call __eq__, which a user class may define.
    for c in candidates:
        if x is c:
            return True
    return False


def is_subtype(cls, base):
    """issubclass without __subclasscheck__ hooks."""
    return _one_of(base, _type_mro(cls))


def mro(cls):
    return _type_mro(cls)


def class_lookup(cls, name):
    """The raw entry for ``name`` in the MRO dicts of ``cls`` and its owner."""
    for klass in _type_mro(cls):
        value = _proxy_get(_type_dict(klass), name, MISSING)
        if value is not MISSING:
            return value, klass
    return MISSING, None


def _has_slot(cls, name):
    return class_lookup(cls, name)[0] is not MISSING


def _generic_getattribute(cls):
    # A slot wrapper is the C lookup of a built-in or extension type; only a
    # __getattribute__ written in Python is the class's own code.
    entry, _ = class_lookup(cls, "__getattribute__")
    return entry is MISSING or type(entry) is _WRAPPER


def _is_data_descriptor(value):
    tp = type(value)
    return _has_slot(tp, "__set__") or _has_slot(tp, "__delete__")


def _builtin_owned(owner):
    return owner is not None and _proxy_get(_type_dict(owner), "__module__", "builtins") == "builtins"


def _bind(value, obj, cls):
    """The value an instance lookup gives for the class entry ``value``."""
    tp = type(value)
    if tp is FunctionType:
        return MethodType(value, obj)
    if tp is staticmethod:
        return value.__func__
    if tp is classmethod:
        return MethodType(value.__func__, cls)
    if _one_of(tp, _BINDING_DESCRIPTORS):
        return value.__get__(obj, cls)
    if _has_slot(tp, "__get__"):
        return UNKNOWN
    return value


def instance_dict(obj, cls):
    """``obj.__dict__`` when the standard slot provides it, else None."""
    entry, owner = class_lookup(cls, "__dict__")
    tp = type(entry)
    if tp is _getset or (tp is _member and _builtin_owned(owner)):
        try:
            d = entry.__get__(obj, cls)
        except Exception:
            return None
        return d if is_subtype(type(d), dict) else None
    return None


def _from_class(cls, name):
    """``cls.<name>`` for a class whose metaclass lookup is the standard one."""
    meta = type(cls)
    meta_entry, meta_owner = class_lookup(meta, name)
    if meta_entry is not MISSING and _is_data_descriptor(meta_entry):
        return UNKNOWN
    entry, _ = class_lookup(cls, name)
    if entry is not MISSING:
        tp = type(entry)
        if tp is FunctionType:
            return entry
        if tp is staticmethod:
            return entry.__func__
        if tp is classmethod:
            return MethodType(entry.__func__, cls)
        if _one_of(tp, _BINDING_DESCRIPTORS):
            return entry.__get__(None, cls)
        if tp is _getset or tp is _member:
            return entry
        if _has_slot(tp, "__get__"):
            return UNKNOWN
        return entry
    if meta_entry is not MISSING:
        return _bind(meta_entry, cls, meta)
    if _has_slot(meta, "__getattr__"):
        return UNKNOWN
    return MISSING


def getattr_static(obj, name):
    """The value ``obj.<name>`` would give, MISSING when the lookup would
    fail, or UNKNOWN when only running the object's own code could tell."""
    cls = type(obj)
    if cls is ModuleType:
        value = _dict_get(_module_dict(obj), name, MISSING)
        return UNKNOWN if value is MISSING else value
    if not _generic_getattribute(cls):
        return UNKNOWN
    if cls is type or _is_plain_metaclass(cls):
        return _from_class(obj, name)
    entry, owner = class_lookup(cls, name)
    if entry is not MISSING and _is_data_descriptor(entry):
        tp = type(entry)
        if tp is _member or (tp is _getset and (_builtin_owned(owner) or name == "__dict__")):
            try:
                return entry.__get__(obj, cls)
            except AttributeError:
                return MISSING
            except Exception:
                return UNKNOWN
        return UNKNOWN
    d = instance_dict(obj, cls)
    if d is not None:
        value = _dict_get(d, name, MISSING)
        if value is not MISSING:
            return value
    if entry is not MISSING:
        return _bind(entry, obj, cls)
    if _has_slot(cls, "__getattr__"):
        return UNKNOWN
    return MISSING


def _is_plain_metaclass(cls):
    """True when ``cls`` is a metaclass (a subclass of type) that keeps
    type's attribute lookup."""
    return is_subtype(cls, type) and _generic_getattribute(cls)
