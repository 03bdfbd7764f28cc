"""Code hashes of functions."""

import hashlib
import marshal

from tarnwick_common.utils.identity_cache import IdentityCache

# Runs on every recorded call: a code object is hashed once while it lives.
_digests = IdentityCache()


def get_hash(function):
    """The MD5 (hex) of a function's code object."""
    code = function.__code__
    digest = _digests.get(code)
    if digest is None:
        digest = hashlib.md5(marshal.dumps(code)).hexdigest()
        _digests.put(code, digest)
    return digest
