"""The restricted loader: recordings cannot import or run what they name."""

import copyreg
import io
import os
import pickle
import sys

import pytest

from tarnwick_collector.recording import safe_load, show


def marker_maker(path):
    with open(path, "w") as f:
        f.write("ran")
    return path


class Evil:
    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return (marker_maker, (self.path,))


class Obj:
    pass




def test_reduce_of_any_callable_builds_a_placeholder(tmp_path):
    marker = str(tmp_path / "marker")
    data = pickle.dumps([Evil(marker), 1])
    value = safe_load.loads(data)
    assert not os.path.exists(marker)
    call = value[0]
    assert safe_load.name_of(call) == f"{__name__}.marker_maker"
    assert call.ref_args == (marker,)
    assert show.fmt(call) == f"{__name__}.marker_maker({marker!r})"
    # The ordinary loader would have run it.
    pickle.loads(data)
    assert os.path.exists(marker)


@pytest.mark.parametrize("protocol", [0, 2, 5])
def test_protocols_and_opcodes_stay_inside_placeholders(protocol):
    import collections
    import datetime

    obj = Obj()
    obj.x = [1, {"a": (2, 3)}]
    values = [obj, datetime.date(2024, 1, 2), collections.OrderedDict(a=1), ValueError("v")]
    back = safe_load.loads(pickle.dumps(values, protocol))
    assert all(safe_load.is_obj(v) for v in back)
    assert back[0].fields() == {"x": [1, {"a": (2, 3)}]}
    assert back[2].ref_dict_items == [("a", 1)]
    assert back[3].ref_args == ("v",)


def test_modules_named_are_never_imported():
    name = "tarnwick_no_such_module_xyz"
    crafted = f"c{name}\nboom\n(S'x'\ntR.".encode()
    value = safe_load.loads(crafted)
    assert name not in sys.modules
    assert safe_load.name_of(value) == f"{name}.boom"
    system = safe_load.loads(b"cos\nsystem\n(S'touch /tmp/never'\ntR.")
    assert show.fmt(system) == "os.system('touch /tmp/never')"


def test_extension_codes_and_persistent_ids():
    copyreg.add_extension("os", "system", 0x7ABC)
    try:
        value = safe_load.loads(b"\x80\x02\x83\xbc\x7a.")  # EXT2 0x7ABC
        assert safe_load.is_ref(value) and value.ref_name == "os.system"
    finally:
        copyreg.remove_extension("os", "system", 0x7ABC)

    class P(pickle.Pickler):
        def persistent_id(self, obj):
            return "pid" if obj == "secret" else None

    buf = io.BytesIO()
    P(buf, 2).dump(["secret"])
    with pytest.raises(safe_load.NotAPickle):
        safe_load.loads(buf.getvalue())


def test_plain_data_and_bad_input():
    data = {"a": [1, 2.5, None, True, b"x", "s"], (1, 2): frozenset({3}), "set": {4}}
    assert safe_load.loads(pickle.dumps(data, 4)) == data
    for bad in (b"", b"garbage", pickle.dumps(1)[:-1], pickle.dumps(1) + b"extra", "str"):
        with pytest.raises(safe_load.NotAPickle):
            safe_load.loads(bad)


def test_placeholder_results_cannot_reach_real_objects():
    # A reduce whose callable is a built placeholder, and state on it.
    inner = safe_load.loads(pickle.dumps(Evil("/nowhere")))
    again = inner("more")
    assert safe_load.is_obj(again) and not callable(getattr(again, "path", None))
    assert "builtins" not in type(again).ref_name


def test_nested_record_bytes_are_loaded_the_same_way(tmp_path):
    marker = str(tmp_path / "nested")

    from tarnwick_collector.data_collection.invocations import UserFunctionCall

    rec = UserFunctionCall.__new__(UserFunctionCall)
    rec.pre_run_args = pickle.dumps((Evil(marker),))
    rec.return_value = pickle.dumps(Evil(marker))
    rec.execption = pickle.dumps(type(None))
    rec.function_metadata = None
    view = show.CallView(1, "f", "MainThread", 0.0, pickle.dumps(rec))
    assert not os.path.exists(marker)
    assert view.error is None and view.exception is None
    assert safe_load.name_of(view.args_before[0]).endswith("marker_maker")
    assert show.fmt(view.returned).endswith(f"marker_maker({marker!r})")


def test_rendering_is_bounded():
    n = 100000
    deep = b"\x80\x04" + b"]" * n + b"a" * (n - 1) + b"."  # lists nested n deep
    shared = [1]
    for _ in range(40):
        shared = [shared, shared]  # 2**40 paths through memo references
    for data in (deep, pickle.dumps(shared)):
        value = safe_load.loads(data)
        text = show.fmt(value)
        assert "…" in text and len(text) < 10000
        assert show.to_json(value)


def test_memo_indices_are_checked_before_loading():
    import pickletools
    import struct

    from tarnwick_collector.recording.opscan import memo_bound

    obj = Obj()
    obj.x = [1, 2.5, "s" * 300, b"b" * 300, (None, True), {"k": frozenset({1})}]
    values = [obj, obj, obj.x, [obj.x] * 300, 10 ** 40, "\u20ac"]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        data = pickle.dumps(values, protocol)
        puts = [arg for op, arg, _ in pickletools.genops(data)
                if op.name in ("PUT", "BINPUT", "LONG_BINPUT")]
        assert memo_bound(data) == max(puts, default=-1), protocol
        assert safe_load.loads(data)[2][:3] == [1, 2.5, "s" * 300]
    # Nine bytes that would make the unpickler fill gigabytes of memo.
    for bomb in (b"\x80\x02N" + b"r" + struct.pack("<I", 2 ** 29) + b".",
                 b"Np99999999999\n."):
        with pytest.raises(safe_load.NotAPickle, match="memo index"):
            safe_load.loads(bomb)
    assert memo_bound(b"\x80\x02X\xff\xff\xff\xff") == -1  # cut short: nothing past it


def test_placeholder_classes_do_not_pile_up():
    for i in range(3 * safe_load._MAX_CLASSES):
        safe_load.loads(f"cmod{i}\nname\n.".encode())
    assert len(safe_load._classes) <= safe_load._MAX_CLASSES
