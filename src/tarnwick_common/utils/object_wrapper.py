"""Stand-ins that a recording holds in place of objects it does not carry."""


class _Wrapper:
    def __eq__(self, other):
        return type(self) is type(other) and self.__dict__ == other.__dict__

    __hash__ = None

    def __repr__(self):
        fields = ", ".join(f"{k}={v!r}" for k, v in self.__dict__.items())
        return f"{type(self).__name__}({fields})"


class ModuleWrapper(_Wrapper):
    """A module, by name."""

    def __init__(self, full_name):
        self.full_name = full_name


class SpecialWrapper(_Wrapper):
    """An object rebuilt by a factory, named by the factory's full name."""

    def __init__(self, full_name):
        self.full_name = full_name


class FunctionWrapper(_Wrapper):
    """A function, by full name."""

    def __init__(self, full_name):
        self.full_name = full_name


class ObjectWrapper(_Wrapper):
    """An object reduced to the attributes that were used; the attribute
    values arrive as the pickled state and land in ``__dict__``."""

    def __init__(self, cls, funcs):
        self.wrapped_class = cls
        self.funcs = funcs


class ExceptionWrapper(_Wrapper):
    """An exception, by the full name of its class, its args and its __dict__."""

    def __init__(self, full_name, args, dunder_dict):
        self.full_name = full_name
        self.args = args
        self.dunder_dict = dunder_dict


class UnpicklableObject(_Wrapper):
    """An object that could not be written: its type's text, the full names of
    its bound methods, and (as pickled state) its plain attribute values."""

    def __init__(self, type_text, funcs):
        self.type_text = type_text
        self.funcs = funcs


class StandIn(UnpicklableObject):
    """An object written in place of one whose own pickling code or attribute
    hook the pickler does not run: its class's full name, why (``reason``),
    for a subclass of a builtin its builtin value, and its instance
    attributes as read from its ``__dict__`` and slots (the pickled state,
    kept in ``attributes``); a list or dict subclass's contents arrive as
    ``items`` or ``dict_items`` (pairs). ``left_out`` attributes were not
    written; ``cut`` ("depth" or "size") says why none were."""

    def __init__(self, type_text, funcs, full_name, reason, value=None, left_out=0, cut=None):
        super().__init__(type_text, funcs)
        self.full_name = full_name
        self.reason = reason
        self.value = value
        self.left_out = left_out
        self.cut = cut
        self.attributes = {}
        self.items = []
        self.dict_items = []

    def __setstate__(self, state):
        # Kept apart: an attribute of the program's may be named like ours.
        self.attributes = state

    def append(self, item):
        self.items.append(item)

    def extend(self, items):
        self.items.extend(items)

    def __setitem__(self, key, value):
        self.dict_items.append((key, value))
