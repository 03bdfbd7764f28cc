"""The writers read a call record's function name and external-call count
from its opcodes. Wherever that scan gives an answer it must be the
restricted loader's, and it never imports or runs anything."""

import pickle
import pickletools
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarnwick_collector.configs.collector_settings import CollectorSettings
from tarnwick_collector.data_collection.invocations import (
    ExternalFunctionCall, ExternalFunctionMetadata, UserFunctionCall, UserFunctionMetadata)
from tarnwick_collector.recording import safe_load, writer
from tarnwick_collector.recording.opscan import describe_call as scan


loaded = writer.describe_loaded


def agrees(data):
    found = scan(data)
    assert found is None or found == loaded(data), data
    return found


class Point:
    def __init__(self, x):
        self.x = x


def record(name, externals=0, arg=None):
    ser = CollectorSettings.serializer
    meta = UserFunctionMetadata("m", name, "h", "/p.py", ("x",), None)
    call = UserFunctionCall(meta, (arg, Point(1)), {"k": [1, 2]}, {})
    call.add_execption(ValueError("bad"))
    call.add_return_value({"r": (1, 2.5, None)})
    for i in range(externals):
        ext = ExternalFunctionCall(ExternalFunctionMetadata("json", f"json.f{i}", False, False))
        ext.add_return_value(i)
        call.external_calls.append(ext)
    call.serialize_post_run_args_and_kwargs()
    return ser.serialize(call)


RECORDS = [record("m.plain"), record("m.with_calls", 3, "x" * 300), record("m.\udc80odd", 1),
           record("m.big", 0, list(range(2000)))]


def test_records_of_the_collector_are_read_from_their_opcodes():
    assert [scan(r) for r in RECORDS] == [loaded(r) for r in RECORDS] == [
        ("m.plain", 0), ("m.with_calls", 3), ("m.\udc80odd", 1), ("m.big", 0)]


@pytest.mark.parametrize("protocol", range(6))
def test_other_pickles_are_read_alike_or_left_to_the_loader(protocol):
    meta = Point(0)
    meta.full_name = "x.y"
    rec = Point(0)
    rec.function_metadata = meta
    rec.external_calls = [1, 2]
    for value in [rec, [rec], {"function_metadata": meta}, (rec, rec), "text", 7, None, Point]:
        agrees(pickle.dumps(value, protocol))


def test_odd_shapes_the_loader_has_an_answer_for():
    base = RECORDS[0]
    ops = list(pickletools.genops(base))
    assert ops[-1][0].name == "STOP"
    cases = [
        b"\x80\x04]\x94.",  # a list
        b"\x80\x04\x8c\x01a\x8c\x01b\x93)\x81}\x8c\x0eexternal_calls]K\x01asb.",  # dict state
        # A later key wins; a (dict, dict) state is merged.
        b"\x80\x04\x8c\x01a\x8c\x01b\x93)\x81}(\x8c\x0eexternal_calls]\x8c\x0eexternal_calls"
        b"]K\x01aub.",
        b"\x80\x04\x8c\x01a\x8c\x01b\x93)\x81}\x8c\x0eexternal_calls]s}\x8c\x0eexternal_calls"
        b"]K\x01as\x86b.",
        b"\x80\x04K\x01.junk",  # trailing data
        b"\x80\x04(.",  # a mark left for STOP
        b"\x80\x04\x95\xff\x00\x00\x00\x00\x00\x00\x00N.",  # a frame past the end
        b"\x80\x04]\x94h\x05.",  # memo index never stored
        b"\x80\x04]r\xff\xff\xff\x00.",  # memo index beyond the pickle's size
        b"\x80\x04\x8c\x02\xc3(.",  # malformed UTF-8
        b"\x80\x04}\x94]\x94K\x01s.",  # an unhashable key
        # A frame that ends inside a string: read from a file, the loader
        # loses the rest of the frame.
        b"\x80\x04\x95\x03\x00\x00\x00\x00\x00\x00\x00\x8c\x03abc.",
    ]
    results = [agrees(c) for c in cases]
    assert results[1] == (None, 1) and results[2] == (None, 1) and results[3] == (None, 1)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.sampled_from(RECORDS), st.data())
def test_damaged_records_are_read_alike_or_left_to_the_loader(data, draw):
    raw = bytearray(data)
    for _ in range(draw.draw(st.integers(1, 4))):
        at = draw.draw(st.integers(0, len(raw) - 1))
        raw[at] = draw.draw(st.integers(0, 255))
    cut = draw.draw(st.integers(0, len(raw)))
    agrees(bytes(raw[:cut] if draw.draw(st.booleans()) else raw))


def test_scanning_imports_and_runs_nothing(tmp_path):
    marker = tmp_path / "ran"
    command = f"touch {marker}".encode()
    crafted = (b"\x80\x04\x8c\x02os\x8c\x06system\x93\x8c" + bytes([len(command)]) + command
               + b"\x85R\x8c\x0cantigravity_\x8c\x01x\x93)\x81\x86.")
    code = ("import sys; from tarnwick_collector.recording.opscan import describe_call as d;"
            f"print(d({crafted!r})); print('antigravity_' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    assert out.split() == ["(None,", "None)", "False"] and not marker.exists()
