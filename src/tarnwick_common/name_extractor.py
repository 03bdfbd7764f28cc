"""Module and full dotted names of callables."""

from types import ModuleType


def get_function_module(function_obj, function_self):
    """The name of the module a callable comes from, or None when unknown.

    Callables without a module of their own (methods of built-in objects,
    method descriptors) are attributed to the module of the type they belong to.
    """
    module = getattr(function_obj, "__module__", None)
    if isinstance(module, str):
        return module
    if function_self is not None:
        if isinstance(function_self, ModuleType):
            return function_self.__name__
        owner = function_self if isinstance(function_self, type) else type(function_self)
        module = owner.__module__
        if isinstance(module, str):
            return module
    owner = getattr(function_obj, "__objclass__", None)
    if isinstance(owner, type):
        return owner.__module__
    # Instances (an exception, a callable object) belong to their class's module.
    module = getattr(type(function_obj), "__module__", None)
    return module if isinstance(module, str) else None


def get_function_full_name(module, function_obj):
    """``module.qualified_name`` of a callable."""
    name = getattr(function_obj, "__qualname__", None)
    if not isinstance(name, str) or not name:
        name = getattr(function_obj, "__name__", None)
    if not isinstance(name, str) or not name:
        name = type(function_obj).__qualname__
    return f"{module}.{name}" if module else name
