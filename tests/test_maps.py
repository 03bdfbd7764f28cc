"""The exported identity maps, driven through ctypes as the tracing extension would."""

import ctypes
import sys

NULL = ctypes.py_object()


class Same:
    """Every instance equals every other and hashes alike."""

    def __eq__(self, other):
        return isinstance(other, Same)

    def __hash__(self):
        return 1


def test_object_maps_by_identity_and_without_references(native_maps):
    m = native_maps
    key, other_key, value, other = Same(), Same(), object(), object()
    counts = [sys.getrefcount(o) for o in (key, other_key, value, other)]

    assert m.get_gen_to_metadata(key) is None
    assert m.set_gen_to_metadata(key, value) == 0
    assert m.get_gen_to_metadata(key) == id(value)
    assert m.get_gen_to_metadata(other_key) is None  # equal, but another object
    m.set_gen_to_metadata(key, other)
    assert m.get_gen_to_metadata(key) == id(other)
    assert m.set_gen_to_metadata(key, NULL) == 0
    assert m.get_gen_to_metadata(key) is None
    assert m.set_gen_to_metadata(other_key, NULL) == 0  # absent: harmless

    assert m.get_pyobject_to_pyobject_item(key) is None
    m.set_pyobject_to_pyobject_item(key, value)
    m.set_pyobject_to_pyobject_item(other_key, other)
    assert m.get_pyobject_to_pyobject_item(key) == id(value)
    assert m.get_pyobject_to_pyobject_item(other_key) == id(other)
    m.set_pyobject_to_pyobject_item(key, NULL)  # stored, reads as absence
    assert m.get_pyobject_to_pyobject_item(key) is None
    m.set_pyobject_to_pyobject_item(other_key, NULL)

    assert m.get_func_to_counter(key) == 0
    m.set_func_to_counter(key, 7)
    assert m.get_func_to_counter(key) == 7
    assert m.get_func_to_counter(other_key) == 0
    m.set_func_to_counter(key, -3)
    assert m.get_func_to_counter(key) == -3
    m.set_func_to_counter(key, 0)
    assert m.get_func_to_counter(key) == 0

    assert [sys.getrefcount(o) for o in (key, other_key, value, other)] == counts


def test_integer_maps(native_maps, int_map):
    m = native_maps
    for tid in (0, 1, -1, 2**31 - 1, -(2**31), 140234):
        assert m.get_tid_to_currently_recording(tid) == 0
        m.set_tid_to_currently_recording(tid, 1)
        assert m.get_tid_to_currently_recording(tid) == 1
        m.set_tid_to_currently_recording(tid, 0)
        assert m.get_tid_to_currently_recording(tid) == 0
    m.set_tid_to_currently_recording(5, 255)
    assert m.get_tid_to_currently_recording(5) == 255

    assert m.get_int_to_int_item(int_map, 3) == 0
    for k in range(-500, 500):
        m.set_int_to_int_item(int_map, k, k * 3)
    assert all(m.get_int_to_int_item(int_map, k) == k * 3 for k in range(-500, 500))
    assert m.get_int_to_int_item(int_map, 500) == 0
    m.set_int_to_int_item(int_map, 10, 0)
    assert m.get_int_to_int_item(int_map, 10) == 0


def test_many_keys_survive_growth(native_maps):
    m = native_maps
    keys = [object() for _ in range(20000)]
    for n, k in enumerate(keys):
        m.set_func_to_counter(k, n + 1)
        m.set_gen_to_metadata(k, k)
    assert all(m.get_func_to_counter(k) == n + 1 for n, k in enumerate(keys))
    assert all(m.get_gen_to_metadata(k) == id(k) for k in keys)
    for k in keys[::2]:
        m.set_gen_to_metadata(k, NULL)
    assert all(m.get_gen_to_metadata(k) is None for k in keys[::2])
    assert all(m.get_gen_to_metadata(k) == id(k) for k in keys[1::2])
    for k in keys:  # leave nothing pointing at objects about to die
        m.set_gen_to_metadata(k, NULL)
        m.set_func_to_counter(k, 0)
