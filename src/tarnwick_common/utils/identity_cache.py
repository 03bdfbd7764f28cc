"""A cache keyed by object identity that forgets an entry when its object dies."""

import weakref


class IdentityCache:
    """``obj -> value`` without holding ``obj``; objects that do not support
    weak references are simply not cached."""

    def __init__(self):
        self._entries = {}

    def get(self, obj):
        entry = self._entries.get(id(obj))
        if entry is not None and entry[0]() is obj:
            return entry[1]
        return None

    def put(self, obj, value):
        key = id(obj)
        entries = self._entries

        def forget(_ref):
            entries.pop(key, None)

        try:
            entries[key] = (weakref.ref(obj, forget), value)
        except TypeError:
            pass
