"""Reading pickled recordings without importing or running anything they name.

A recording may come from another machine. The loader below resolves every
global reference to a ``Ref`` placeholder class named after it, so that
REDUCE, NEWOBJ and BUILD only ever call our own placeholder code: a call
becomes an ``Obj`` carrying the callable's name, its arguments and any state,
items or keys given to it afterwards. Nothing is imported, and no ``__reduce__``
result is ever executed.
"""

import io
import pickle

from tarnwick_collector.recording.opscan import memo_bound

_PROTO = pickle.PROTO[0]
# Load-time callables that turn a full name into the named object.
BY_NAME_LOADERS = ("jsonpickle.unpickler.loadclass",)


class Ref(type):
    """Metaclass of the placeholder classes: one class per global name."""

    def __repr__(cls):
        return f"<ref {cls.ref_name}>"


class Obj(metaclass=Ref):
    """Built by calling a global: what was called, with what, and the state,
    list items and dict items the pickle then gave it."""

    ref_name = "?"
    ref_module = ""
    ref_qualname = "?"

    def __new__(cls, *args, **kwargs):
        self = object.__new__(cls)
        object.__setattr__(self, "_parts", {"args": args, "kwargs": kwargs, "state": None,
                                            "items": [], "dict_items": []})
        return self

    def __init__(self, *args, **kwargs):
        pass

    @property
    def ref_args(self):
        return self._parts["args"]

    @property
    def ref_kwargs(self):
        return self._parts["kwargs"]

    @property
    def ref_state(self):
        return self._parts["state"]

    @property
    def ref_items(self):
        return self._parts["items"]

    @property
    def ref_dict_items(self):
        return self._parts["dict_items"]

    def fields(self):
        """The attribute dict the object would have had, when its state was a dict."""
        state = self._parts["state"]
        if isinstance(state, tuple) and len(state) == 2:
            merged = {}
            for part in state:
                if isinstance(part, dict):
                    merged.update(part)
            return merged
        return state if isinstance(state, dict) else {}

    def __setstate__(self, state):
        self._parts["state"] = state

    def append(self, item):
        self._parts["items"].append(item)

    def extend(self, items):
        self._parts["items"].extend(items)

    def add(self, item):
        self._parts["items"].append(item)

    def __setitem__(self, key, value):
        self._parts["dict_items"].append((key, value))

    def __setattr__(self, name, value):
        # BUILD with slot state sets attributes one by one.
        state = self._parts["state"]
        if not isinstance(state, dict):
            state = self._parts["state"] = {}
        state[name] = value

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return self.fields().get(name)

    def __call__(self, *args, **kwargs):
        # A REDUCE whose callable was itself built: another placeholder, named
        # after what a by-name loader would have loaded.
        own = self._parts["args"]
        if type(self).ref_name in BY_NAME_LOADERS and len(own) == 1 and isinstance(own[0], str):
            target = own[0]
        else:
            target = f"{type(self).ref_name}(...)"
        return placeholder("", target)(*args, **kwargs)

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other

    def __repr__(self):
        return f"<{self.ref_name} object>"


_classes = {}
# Crafted recordings can name any number of globals; the cache must not grow
# with them. A fresh class for a name seen before behaves the same.
_MAX_CLASSES = 4096


def placeholder(module, qualname):
    """The placeholder class for the global ``module.qualname``."""
    key = (module, qualname)
    cls = _classes.get(key)
    if cls is None:
        if len(_classes) >= _MAX_CLASSES:
            _classes.clear()
        name = f"{module}.{qualname}" if module else qualname
        short = str(qualname).rsplit(".", 1)[-1] or "global"
        cls = Ref(short, (Obj,), {"ref_name": name, "ref_module": module,
                                  "ref_qualname": qualname, "__slots__": ()})
        _classes[key] = cls
    return cls


def is_ref(value):
    return type(value) is Ref


def is_obj(value):
    return isinstance(type(value), Ref)


def name_of(value):
    """The global name behind a placeholder class or object, else None."""
    if type(value) is Ref:
        return value.ref_name
    if isinstance(type(value), Ref):
        return type(value).ref_name
    return None


class RestrictedUnpickler(pickle.Unpickler):
    def find_class(self, module, name):
        return placeholder(str(module), str(name))

    def persistent_load(self, pid):
        raise pickle.UnpicklingError("persistent references are not supported")


class NotAPickle(ValueError):
    pass


def loads(data):
    """Load ``data`` with every global replaced by a placeholder.

    Raises NotAPickle for input that does not load as one pickle."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise NotAPickle(f"expected bytes, got {type(data).__name__}")
    # Honest pickles number their memo entries from 0, one per stored object.
    top = memo_bound(data)
    if top >= len(data):
        raise NotAPickle(f"memo index {top} out of range")
    stream = io.BytesIO(data)
    try:
        value = RestrictedUnpickler(stream).load()
    except Exception as exc:
        raise NotAPickle(f"{type(exc).__name__}: {exc}") from None
    if stream.tell() != len(data):
        raise NotAPickle("trailing data after the pickle")
    return value


def looks_pickled(data):
    return isinstance(data, bytes) and len(data) > 2 and data[0] == _PROTO and 2 <= data[1] <= 5
