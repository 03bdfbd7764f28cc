"""Code hashes of functions."""

import hashlib
import marshal
import weakref

# id(code) -> (weak reference to the code object, digest). Runs on every
# recorded call, so a function's code is hashed once while it lives.
_digests = {}


def _forget(key):
    def callback(_ref):
        _digests.pop(key, None)

    return callback


def _code_digest(code):
    return hashlib.md5(marshal.dumps(code)).hexdigest()


def get_hash(function):
    """The MD5 (hex) of a function's code object."""
    code = function.__code__
    key = id(code)
    entry = _digests.get(key)
    if entry is not None and entry[0]() is code:
        return entry[1]
    digest = _code_digest(code)
    try:
        _digests[key] = (weakref.ref(code, _forget(key)), digest)
    except TypeError:  # a code-like object without weak references
        pass
    return digest
