"""The size guard's native bound never undercuts pympler's measurement."""

import functools

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pympler import asizeof

from tarnwick_collector.data_collection import harvest


class Plain:
    pass


class Slotted:
    __slots__ = ("a", "b")


class Child(Plain):
    def method(self):
        return 1


def make_plain(cls, attrs):
    obj = cls()
    for name, value in attrs.items():
        setattr(obj, name, value)
    return obj


def make_slotted(a, b):
    obj = Slotted()
    obj.a, obj.b = a, b
    return obj


atoms = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=2**64, max_value=2**4000),
    st.floats(allow_nan=False), st.complex_numbers(allow_nan=False),
    st.text(max_size=200), st.binary(max_size=200),
    st.sampled_from([len, print, Plain, Slotted, make_plain, functools.reduce]),
)
names = st.from_regex(r"[a-z_][a-z0-9_]{0,8}", fullmatch=True)


def containers(children):
    return st.one_of(
        st.lists(children, max_size=8),
        st.lists(children, max_size=8).map(tuple),
        st.dictionaries(st.one_of(st.text(max_size=10), st.integers()), children, max_size=8),
        st.sets(st.one_of(st.integers(), st.text(max_size=10)), max_size=8),
        st.frozensets(st.integers(), max_size=8),
        st.binary(max_size=50).map(bytearray),
        st.builds(make_plain, st.sampled_from([Plain, Child]),
                  st.dictionaries(names, children, max_size=5)),
        st.builds(make_slotted, children, children),
    )


values = st.recursive(atoms, containers, max_leaves=40)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(values)
def test_native_bound_covers_pympler(obj):
    bound = harvest._size_upper_bound(obj)
    assert bound is not None, "these kinds are decided natively"
    assert bound >= asizeof.asizeof(obj, limit=3)
    assert harvest.is_size_too_big(obj) is (asizeof.asizeof(obj, limit=3) > harvest.MAX_STRING_SIZE)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.lists(st.lists(st.lists(st.integers(), max_size=3), max_size=3), max_size=3),
                max_size=3))
def test_depth_matches_pympler_limit(obj):
    bound = harvest._size_upper_bound(obj)
    assert bound >= asizeof.asizeof(obj, limit=3)


def test_shared_and_self_referencing_structures():
    shared = list(range(100))
    wide = [shared] * 200
    loop = []
    loop.append(loop)
    node = Plain()
    node.me = node
    for obj in (wide, loop, node, {"a": wide, "b": loop}):
        assert harvest._size_upper_bound(obj) >= asizeof.asizeof(obj, limit=3)
        assert harvest.is_size_too_big(obj) is False


def test_undecided_kinds_go_to_pympler():
    class Sized:
        def __sizeof__(self):
            return 10**12  # what pympler then reports

    import io
    import threading

    for obj in (Sized(), io.StringIO("x"), threading.Lock(), [Sized()]):
        assert harvest._size_upper_bound(obj) is None
    assert harvest.is_size_too_big(Sized()) is (asizeof.asizeof(Sized(), limit=3) > 805306368.0)
    assert harvest.is_size_too_big([1] * 10**6) is False
