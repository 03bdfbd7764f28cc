"""show and stats on recordings of any size and content: files the tests craft
themselves, read the way a user reads them (the command in a subprocess)."""

import json
import os
import pickle
import sqlite3
import struct
import subprocess
import sys
import textwrap

import pytest

from tarnwick_collector.data_collection.invocations import (
    ExternalFunctionCall, ExternalFunctionMetadata, UserFunctionCall, UserFunctionMetadata)
from tarnwick_collector.recording import show, store

PY = sys.executable
NONE_TYPE = pickle.dumps(type(None))


def external(name="json.dumps", returned="ok"):
    ext = ExternalFunctionCall.__new__(ExternalFunctionCall)
    ext.function_metadata = ExternalFunctionMetadata("json", name, False, False)
    ext.return_value = pickle.dumps(returned)
    ext.execption = NONE_TYPE
    return ext


def record(name="m.f", args=(1,), kwargs=None, returned=None, externals=(), globs=None):
    rec = UserFunctionCall.__new__(UserFunctionCall)
    rec.function_metadata = UserFunctionMetadata("m", name, "h", "/m.py", (), None)
    rec.pre_run_args = rec.post_run_args = pickle.dumps(args)
    rec.pre_run_kwargs = rec.post_run_kwargs = pickle.dumps(kwargs or {})
    rec.return_value = pickle.dumps(returned)
    rec.execption = NONE_TYPE
    rec.globals = pickle.dumps(globs or {})
    rec.external_calls = list(externals)
    return pickle.dumps(rec)


def craft(path, rows, summary=True, meta=None):
    """A recording holding ``rows``: (function, thread, sent, data) tuples."""
    path = str(path)
    store.create(path, {"script": "crafted.py", **(meta or {})})
    conn = sqlite3.connect(path)
    conn.execute("PRAGMA journal_mode = DELETE")
    conn.executemany("INSERT INTO calls (function, thread, sent, external_calls, data, size) "
                     "VALUES (?, ?, ?, 0, ?, length(?))",
                     [(f, t, s, d, d) for f, t, s, d in rows])
    if summary:
        conn.execute("INSERT INTO meta VALUES ('summary', ?)", (
            summary if isinstance(summary, str) else json.dumps({
                "calls": len(rows), "external_calls": 0, "seconds": 0.5, "dropped": {}}),))
    conn.commit()
    conn.close()
    store.add_indexes(path)  # as the writers leave a finished recording
    return path


def tarnwick(*args, cwd=None):
    proc = subprocess.run([PY, "-m", "tarnwick_collector", *args], capture_output=True,
                          timeout=300, cwd=cwd)
    return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8", "replace")


def json_lines(text):
    lines = [json.loads(line) for line in text.splitlines()]
    assert lines[0]["type"] == "recording"
    return lines[0], lines[1:]


def blocks(text):
    """The call blocks of show's text output, by id."""
    out = {}
    for block in text.split("\n\n")[1:]:
        if block.startswith("#"):
            out[int(block.split()[0][1:])] = block
    return out


# --------------------------------------------------------------- content

def hostile_rows():
    selfish = []
    selfish.extend([selfish] * 100)
    text = "s" * 100_000
    return [
        ("m.big", "MainThread", 1.0, record("m.big", returned=10 ** 5000)),
        ("m.surrogate", "MainThread", 1.0,
         record("m.surrogate", args=("\ud800", {"\udc80": 2}), kwargs={"\ud801": 1})),
        ("m.selfish", "MainThread", 1.0, record("m.selfish", args=(selfish,))),
        ("m.shared_text", "MainThread", 1.0, record("m.shared_text", args=([text] * 100_000,))),
        ("m.shared_call", "MainThread", 1.0,
         record("m.shared_call", externals=[external(returned="r" * 100_000)] * 100_000)),
        ("m.fine", "MainThread", 1.0, record("m.fine", args=(2,), returned=4)),
    ]


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    return craft(tmp_path_factory.mktemp("hostile") / "h.db", hostile_rows())


def test_every_value_renders_within_a_bound_as_text(hostile):
    status, out, err = tarnwick("show", hostile)
    assert status == 0, err
    assert len(out) < 200_000
    calls = blocks(out)
    assert "10000000…00000000 (5001 digits)" in calls[1]
    assert r"'\ud800'" in calls[2] and r"'\udc80': 2" in calls[2] and r"'\ud801'=1" in calls[2]
    assert "&1 [*1, *1," in calls[3] and "… 0 more" not in calls[3]
    assert "'sssss" in calls[4] and "…(+99880 chars)" in calls[4] and "*1, *1" in calls[4]
    assert "… 99900 more" in calls[4] and calls[4].count("'sss") == 1
    ext_lines = [ln for ln in calls[5].splitlines() if ln.lstrip().startswith("external")]
    assert len(ext_lines) == 101  # the first hundred and a line for the rest
    assert "the record of external call 1 again" in ext_lines[1]
    assert "99900 more" in ext_lines[-1]
    assert "returned     4" in calls[6]


def test_every_value_renders_within_a_bound_as_json(hostile, tmp_path):
    if os.path.exists("/proc/self/status"):
        assert peak_kb(tmp_path, "show", hostile, "--json") < 150_000
    status, out, err = tarnwick("show", hostile, "--json")
    assert status == 0, err
    assert len(out) < 2_000_000
    head, calls = json_lines(out)
    assert head["complete"] and [c["function"] for c in calls][-1] == "m.fine"
    big = calls[0]["returned"]
    assert big["$"] == "int" and big["digits"] == 5001 and big["text"].startswith("1000")
    args = calls[1]["args"]["items"]
    assert args == ["\ud800", {"\udc80": 2}]
    assert calls[1]["kwargs"] == {"\ud801": 1}
    selfish = calls[2]["args"]["items"][0]
    assert selfish[:2] == [{"$": "ref", "to": "/items/0"}] * 2
    shared = calls[3]["args"]["items"][0]
    assert shared[0] == {"$": "str", "head": "s" * 2000, "length": 100_000}
    assert shared[1] == {"$": "ref", "to": "/items/0/0"}
    assert shared[-1] == {"$": "more", "count": 100_000 - (len(shared) - 1)}
    ext = calls[4]["external_calls"]
    assert len(ext) == 1000 and ext[1] == {"function": "json.dumps", "same_as": 1}
    assert calls[4]["external_calls_more"] == 99_000
    assert calls[5]["returned"] == 4


def test_limits_can_be_raised(hostile):
    status, out, _ = tarnwick("show", hostile, "--function", "shared_text", "--max-string",
                              "100000", "--max-items", "3")
    assert status == 0
    assert "'" + "s" * 100_000 + "'" in "".join(out.split()) and "… 99997 more" in out
    status, out, _ = tarnwick("show", hostile, "--function", "big", "--json",
                              "--max-string", "6000")
    # Above the interpreter's own bound a JSON reader could not take the number.
    assert json_lines(out)[1][0]["returned"]["digits"] == 5001
    assert show.int_text(10 ** 200, 120) == "10000000…00000000 (201 digits)"
    assert show.int_text(10 ** 200, 300) == str(10 ** 200)


def test_nested_and_deep_values_are_cut_with_markers():
    deep = []
    for _ in range(50):
        deep = [deep]
    text = show.fmt(deep)
    assert text.startswith("[[[[[[[…] (1 items)]]]]]]")
    assert show.to_json(deep, show.JSON)  # the JSON form is cut as well
    assert "truncated" in json.dumps(show.to_json(deep))
    wide = {f"k{i}": i for i in range(1000)}
    assert show.fmt(wide).endswith("… 900 more}")
    assert show.to_json(wide, show.Limits(items=2)) == {"k0": 0, "k1": 1, "$more": 998}
    # User data that looks like a marker stays apart from the markers.
    assert show.to_json({"$": "ref"}) == {"$": "dict", "items": [["$", "ref"]]}
    assert show.int_text(-(10 ** 400) - 7, 120) == "-10000000…00000007 (401 digits)"
    assert show.int_text(2 ** (1 << 21), 120).endswith("digits)")


ODD = [
    ("m.when_text", "MainThread", "yesterday", record()),
    ("m.when_huge", "MainThread", 1e300, record()),
    ("m.when_negative", "MainThread", -1e18, record()),
    ("m.thread_blob", b"\x00\xffT", 1.0, record()),
    (b"\xff\xfe", "MainThread", 1.0, record()),
    ("m.text_data", "MainThread", 1.0, "not bytes"),
    ("m.garbage", "MainThread", 1.0, b"\x80\x04garbage"),
    ("m.memo_bomb", "MainThread", 1.0, b"\x80\x02N" + b"r" + struct.pack("<I", 2 ** 29) + b"."),
    ("m.fine", "Worker", 1.0, record(returned="good")),
]


@pytest.mark.parametrize("mode", ["text", "json"])
def test_a_bad_row_is_one_error_and_the_rest_is_shown(tmp_path, mode):
    rows = list(ODD)
    rows.insert(3, ("m.large", "MainThread", 1.0, record(args=("x" * 5000,))))
    path = craft(tmp_path / "odd.db", rows, summary='{"calls": 3, "seconds": "x"}')
    conn = sqlite3.connect(path)  # a thread name that is not UTF-8
    conn.execute("UPDATE calls SET thread = CAST(x'576f726b657220ff' AS TEXT) "
                 "WHERE function = 'm.fine'")
    conn.commit()
    conn.close()
    extra = ["--json"] if mode == "json" else []
    status, out, err = tarnwick("show", path, "--max-record", "4000", *extra)
    assert status == 0 and err == ""
    if mode == "json":
        head, calls = json_lines(out)
        assert head["summary"] == {"calls": 3, "seconds": "x"}
        errors = [c.get("error") for c in calls]
        assert calls[-1]["returned"] == "good" and calls[-1]["thread"] == "Worker \udcff"
        assert all(c["sent"] is None for c in calls[:3])
    else:
        assert out.splitlines()[0] == "recording of crafted.py: 3 calls, 0 external calls, " \
                                      "odd summary fields: seconds"
        calls = blocks(out)
        errors = []
        for block in calls.values():
            lines = [ln.strip() for ln in block.splitlines()[1:]]
            errors.append(" ".join(lines)[len("error"):].strip()
                          if lines[0].startswith("error") else None)
        assert "returned     'good'" in calls[len(rows)] and r"Worker \udcff" in calls[len(rows)]
    assert errors[-1] is None and all(errors[:-1])
    assert "sent='yesterday' is not a time" in errors[0]
    assert "sent=1e+300 is not a time" in errors[1] and "sent=-1e+18" in errors[2]
    assert "above the bound of 4000 bytes" in errors[3]
    assert "thread is a BLOB of 3 bytes" in errors[4] and "function is a BLOB" in errors[5]
    assert "expected bytes, got str" in errors[6]
    assert errors[7].startswith("record does not load")
    assert "memo index 536870912 out of range" in errors[8]


def test_damage_met_while_streaming_ends_with_one_line(tmp_path):
    path = craft(tmp_path / "d.db", [("m.f", "T", 1.0, record(args=("y" * 3000,)))] * 300)
    data = bytearray(open(path, "rb").read())
    pages = [n for n in range(len(data) // 4096 // 2, len(data) // 4096)
             if data[n * 4096] == 0x0D and b"yyyyyyyy" in data[n * 4096:(n + 1) * 4096]]
    data[pages[0] * 4096 + 1:pages[0] * 4096 + 9] = b"\xff" * 8  # a leaf of the calls table
    open(path, "wb").write(data)
    rec = store.Recording(path, check=False)
    seen = 0
    with pytest.raises(store.RecordingError, match="damaged recording"):
        for _ in rec.calls():
            seen += 1
    assert seen > 100
    rec.close()
    status, out, err = tarnwick("show", path)
    assert status == 2 and len(err.splitlines()) == 1 and "damaged recording" in err


# ------------------------------------------------------ file handling

def side_files(folder):
    return sorted(p for p in os.listdir(folder) if p.endswith(("-wal", "-shm", "-journal")))


KILLED_WRITER = textwrap.dedent("""
    import os, sqlite3, sys
    conn = sqlite3.connect(sys.argv[1], isolation_level=None)
    conn.execute("BEGIN")
    conn.executemany("INSERT INTO calls (function, thread, sent, data) VALUES (?, 'T', 1.0, ?)",
                     [("m.f%d" % i, bytes.fromhex(sys.argv[2])) for i in range(3)])
    conn.execute("COMMIT")
    os._exit(0)  # like a killed recorder: no checkpoint, no summary
""")


def test_killed_recording_is_shown_as_incomplete_and_left_as_it_was(tmp_path):
    path = str(tmp_path / "k.db")
    store.create(path, {"script": "k.py"})
    proc = subprocess.run([PY, "-c", KILLED_WRITER, path, record().hex()], timeout=60)
    assert proc.returncode == 0
    before = side_files(tmp_path)
    assert "k.db-wal" in before
    wal = open(path + "-wal", "rb").read()
    status, out, err = tarnwick("show", path)
    assert status == 0, err
    assert out.splitlines()[1].startswith("incomplete recording: no summary stored")
    assert [b.split()[1] for b in blocks(out).values()] == ["m.f0", "m.f1", "m.f2"]
    status, out, _ = tarnwick("stats", path, "--json")
    assert json.loads(out)["complete"] is False and json.loads(out)["calls"] == 3
    assert side_files(tmp_path) == before and open(path + "-wal", "rb").read() == wal


@pytest.mark.parametrize("journal", ["DELETE", "WAL"])
def test_reading_leaves_no_side_files(tmp_path, journal):
    path = craft(tmp_path / "r.db", [("m.f", "T", 1.0, record())])
    conn = sqlite3.connect(path)
    conn.execute(f"PRAGMA journal_mode = {journal}")
    conn.close()
    assert side_files(tmp_path) == []
    os.chmod(path, 0o444)
    for args in (["show", path], ["show", path, "--json", "--function", "f"], ["stats", path]):
        status, _, err = tarnwick(*args)
        assert status == 0, err
        assert side_files(tmp_path) == []


def test_filters_use_the_index_and_work_without_it(tmp_path):
    rows = [(f"pkg.mod.{name}", thread, 1.0, record(f"pkg.mod.{name}"))
            for name, thread in [("run", "A"), ("Box.run", "B"), ("prerun", "A"), ("run", "B"),
                                 ("other", "A"), ("Box.run", "A")]]
    path = craft(tmp_path / "f.db", rows)

    def ids(**kw):
        rec = store.Recording(path)
        try:
            return [r[0] for r in rec.calls(**kw)]
        finally:
            rec.close()

    expected = {(("function", "run"),): [1, 2, 4, 6], (("function", "Box.run"),): [2, 6],
                (("function", "pkg.mod.run"),): [1, 4], (("thread", "A"),): [1, 3, 5, 6],
                (("function", "run"), ("thread", "A")): [1, 6],
                (("function", "run"), ("limit", 2)): [1, 2], (("function", "un"),): []}
    def index_used():
        rec = store.Recording(path)
        try:
            return rec.indexed
        finally:
            rec.close()

    def change(sql):
        conn = sqlite3.connect(path)
        conn.execute(sql)
        conn.commit()
        conn.close()

    # The stats index, an older file's index of the name alone, no index.
    assert index_used() == "calls_stats"
    for query, want in expected.items():
        assert ids(**dict(query)) == want, query
    change("CREATE INDEX calls_function ON calls (function)")
    assert index_used() == "calls_function"
    for query, want in expected.items():
        assert ids(**dict(query)) == want, query
    change("DROP INDEX calls_function")
    change("DROP INDEX calls_stats")
    assert index_used() is None
    for query, want in expected.items():
        assert ids(**dict(query)) == want, query
    status, out, _ = tarnwick("show", path, "--function", "nothing")
    assert status == 0 and out.rstrip().endswith("no calls of nothing")


PEAK = textwrap.dedent("""
    import sys
    from tarnwick_collector.cli import main
    status = main(sys.argv[2:])
    sys.stdout.flush()
    with open("/proc/self/status") as f:
        peak = [ln.split()[1] for ln in f if ln.startswith("VmHWM:")][0]
    open(sys.argv[1], "w").write(peak)
    sys.exit(status)
""")


def peak_kb(tmp_path, *args):
    report = tmp_path / "peak"
    with open(os.devnull, "wb") as sink:
        proc = subprocess.run([PY, "-c", PEAK, str(report), *args], stdout=sink,
                              stderr=subprocess.PIPE, timeout=600)
    assert proc.returncode == 0, proc.stderr
    return int(report.read_text())


@pytest.mark.memory
@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_a_large_file_is_read_in_bounded_memory(tmp_path):
    one = record("m.tiny", args=(1,), returned=2)
    small = craft(tmp_path / "small.db", [("m.tiny", "T", 1.0, one)] * 2000)
    large = craft(tmp_path / "large.db", [("m.tiny", "T", 1.0, one)] * 200_000)
    for args in (["show"], ["show", "--json"], ["stats"]):
        base = peak_kb(tmp_path, *args[:1], small, *args[1:])
        peak = peak_kb(tmp_path, *args[:1], large, *args[1:])
        assert peak < 150_000 and peak - base < 20_000, (args, base, peak)


# ---------------------------------------------------------------- stats

def test_stats_counts_calls_drops_and_bytes(tmp_path):
    rows = [("m.f", "T1", 1.0, record("m.f", externals=[external()] * 2)),
            ("m.f", "T2", 2.0, record("m.f")), ("m.g", "T1", 3.0, record("m.g"))]
    path = craft(tmp_path / "s.db", rows, summary=json.dumps({
        "calls": 3, "external_calls": 2, "seconds": 1.5, "lost_calls": 4,
        "dropped": {"unresolved": 5}, "tracer": {"external_records": 2}}))
    conn = sqlite3.connect(path)
    conn.execute("UPDATE calls SET external_calls = 2 WHERE id = 1")
    metrics = [("LimitFailure", {"function_full_name": "m.f",
                                 "reason": "size of x exceeded the maximum at globals"})] * 2 + [
        ("LimitFailure", {"function_full_name": "m.h",
                          "reason": "external function calls limit exceeded"}),
        ("Unpicklable", {"type_name": "generator", "reason": "type_error"}),
        ("CollectorFailure", {"reason": "exception"}), ("CollectionSuccess", None)]
    conn.executemany("INSERT INTO metrics (kind, detail, data) VALUES (?, ?, x'00')",
                     [(k, json.dumps(d, sort_keys=True) if d else None) for k, d in metrics])
    conn.commit()
    conn.close()
    sizes = [len(r[3]) for r in rows]

    def check(found):
        funcs = {f["function"]: f for f in found["functions"]}
        assert funcs["m.f"] == {"function": "m.f", "calls": 2, "external_calls": 2,
                                "bytes": sizes[0] + sizes[1],
                                "dropped": {"too big at globals": 2}}
        assert funcs["m.h"]["calls"] == 0 and funcs["m.h"]["dropped"] == {
            "external calls limit": 1}
        assert found["dropped"] == {"limit": 3, "unpicklable": 1, "failure": 1, "unresolved": 5}
        assert found["unpicklable_types"] == {"generator": 1}
        assert found["external_calls"] == {"in_records": 2, "made": 2}
        assert found["calls"] == 3 and found["bytes"] == sum(sizes)
        assert found["threads"] == {"count": 2, "top": [["T1", 2], ["T2", 1]]}
        assert found["lost_calls"] == 4 and found["complete"]

    status, out, err = tarnwick("stats", path, "--json")
    assert status == 0, err
    check(json.loads(out))
    status, out, _ = tarnwick("stats", path)
    assert "dropped: 10 (5 unresolved, 3 limit, 1 failure, 1 unpicklable)" in out
    assert "lost: 4 records" in out
    assert [ln.split()[:3] for ln in out.splitlines()[-3:]] == [
        ["m.f", "2", "2"], ["m.g", "1", "0"], ["m.h", "0", "0"]]
    # A file from before the size column and the stats index gives the same figures.
    conn = sqlite3.connect(path)
    conn.execute("DROP INDEX calls_stats")
    conn.execute("ALTER TABLE calls DROP COLUMN size")
    conn.commit()
    conn.close()
    status, out, _ = tarnwick("stats", path, "--json")
    check(json.loads(out))
