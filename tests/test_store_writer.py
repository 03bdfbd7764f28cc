"""The writer processes' storing: frames in, rows out, whatever the reads."""

import os
import pickle
import sqlite3
import subprocess
import sys
import time

import pytest

from tarnwick_collector.recording import store, writer
from tarnwick_collector.recording.channel import HEADER
from tarnwick_collector.recording.store_writer import Writer

sys.path.insert(0, os.path.dirname(__file__))
from test_record_scan import RECORDS  # noqa: E402


def frame(data, thread=b"MainThread", sent=1.5):
    return HEADER.pack(len(data), sent, len(thread)) + thread + data


@pytest.fixture
def db(tmp_path):
    path = str(tmp_path / "rec.db")
    store.create(path)
    return path


def calls(path):
    conn = sqlite3.connect(path)
    try:
        return conn.execute("SELECT function, thread, sent, external_calls, size, length(data) "
                            "FROM calls ORDER BY id").fetchall()
    finally:
        conn.close()


def test_frames_split_anywhere_are_stored_whole(db):
    # A protocol-0 pickle is left to the restricted loader: both routes at once.
    legacy = pickle.dumps(RECORDS, 0)
    stream = b"".join(frame(d) for d in RECORDS + [b"", legacy, b"\x80\x04 junk"])
    asked = []

    def describe(data):
        asked.append(data)
        return writer.describe_call(data)

    w = Writer(db, "data", 1000, describe)
    for cut in range(0, len(stream), 97):
        w.feed(stream[cut:cut + 97])
    w.feed(frame(RECORDS[0])[:20])  # incomplete at the end: dropped
    w.close()
    rows = calls(db)
    assert [r[0] for r in rows] == ["m.plain", "m.with_calls", "m.\\udc80odd", "m.big", None,
                                    None, None]
    assert [r[3] for r in rows] == [0, 3, 1, 0, None, None, None]
    assert all(r[1] == "MainThread" and r[2] == 1.5 and r[4] == r[5] for r in rows)
    assert legacy in asked and RECORDS[0] not in asked


def test_metrics_are_described_once_per_distinct_message(db):
    from tarnwick_collector.configs.collector_settings import CollectorSettings
    from tarnwick_collector.data_collection.metrics import LimitFailure, LimitReasons

    limit = CollectorSettings.serializer.serialize(LimitFailure(
        "t", "p", "3", "0", "m.f", LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED))
    asked = []

    def describe(data):
        asked.append(data)
        return writer._describe_metric(data)

    w = Writer(db, "metrics", 1000, describe)
    w.feed(b"".join(frame(limit, b"w\xffx") for _ in range(50)))
    w.commit()
    w.feed(frame(limit))
    w.close()
    conn = sqlite3.connect(db)
    rows = conn.execute("SELECT kind, detail, thread, COUNT(*) FROM metrics GROUP BY 1, 2, 3"
                        " ORDER BY 4").fetchall()
    conn.close()
    assert len(asked) == 1
    kind, detail, thread, n = rows[0]
    assert (kind, thread, n) == ("LimitFailure", "MainThread", 1) and "limit" in detail
    assert rows[1][2:] == ("w\ufffdx", 50)  # undecodable thread names are replaced


def test_repeated_metrics_keep_their_bytes_once_and_read_back_whole(db, tmp_path):
    from tarnwick_collector.configs.collector_settings import CollectorSettings
    from tarnwick_collector.data_collection.metrics import LimitFailure, LimitReasons

    def message(name):
        return CollectorSettings.serializer.serialize(LimitFailure(
            "t", "p", "3", "0", name, LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED))

    big = message("m." + "x" * 5000)  # too large to keep: stored in its row
    # Runs of shared messages longer than a batch, broken by kept ones.
    sent = [message("m.f"), message("m.g"), big] * 40 + [message("m.f")] * 150 + [big] + \
        [message("m.g")] * 70
    # Older files: metrics without shared messages, and shared messages
    # without their counts.
    old, uncounted = str(tmp_path / "old.db"), str(tmp_path / "uncounted.db")
    schemas = {
        old: store.SCHEMA.replace("data BLOB,\n    message INTEGER", "data BLOB NOT NULL")
        .replace("CREATE TABLE IF NOT EXISTS metric_messages", "CREATE TABLE x"),
        uncounted: store.SCHEMA.split("CREATE TABLE IF NOT EXISTS metric_messages")[0] +
        "CREATE TABLE metric_messages (id INTEGER PRIMARY KEY, data BLOB NOT NULL);",
    }
    for path, schema in schemas.items():
        conn = sqlite3.connect(path)
        conn.executescript(schema)
        conn.execute("INSERT INTO meta VALUES ('format', ?)", (store.FORMAT,))
        conn.commit()
        conn.close()
    for path in (db, old, uncounted):
        w = Writer(path, "metrics", 1000, writer._describe_metric)
        step = len(sent) if path == db else 7  # small transactions, and one
        for cut in range(0, len(sent), step):
            w.feed(b"".join(frame(m) for m in sent[cut:cut + step]))
            w.commit()
        w.close()
        store.add_indexes(path, ("metrics",))
        rec = store.Recording(path)
        try:
            rows = list(rec.metrics())
            kinds = rec.kind_counts()
            details = sorted(rec.detail_counts(("LimitFailure", "Unpicklable")))
            cut = rec.detail_counts(("LimitFailure",), 30)
        finally:
            rec.close()
        assert [r[5] for r in rows] == sent
        assert [r[1] for r in rows] == ["LimitFailure"] * len(sent)
        # The counts are those of the rows, however they were stored.
        by_detail = {}
        for r in rows:
            by_detail[r[2]] = by_detail.get(r[2], 0) + 1
        assert kinds == {"LimitFailure": len(sent)}
        assert details == sorted(("LimitFailure", d, n) for d, n in by_detail.items())
        assert sum(n for _, _, n in cut) == len(sent) and all(len(d) <= 30 for _, d, _ in cut)
    conn = sqlite3.connect(db)
    shared = conn.execute("SELECT COUNT(*) FROM metric_messages").fetchone()[0]
    inline = conn.execute("SELECT COUNT(*) FROM metrics WHERE data IS NOT NULL").fetchone()[0]
    conn.close()
    assert (shared, inline) == (2, 41)


def test_metric_counts_stay_those_of_the_rows_when_storing_fails(db):
    from tarnwick_collector.configs.collector_settings import CollectorSettings
    from tarnwick_collector.data_collection.metrics import LimitFailure, LimitReasons

    known = CollectorSettings.serializer.serialize(LimitFailure(
        "t", "p", "3", "0", "m.f", LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED))

    def describe(data):
        if data != known:
            raise RuntimeError("describer broke")
        return writer._describe_metric(data)

    w = Writer(db, "metrics", 1000, describe)
    w.feed(frame(known) * 10)
    w.commit()
    # Rows of an open transaction, then a failure in the middle of it.
    with pytest.raises(RuntimeError, match="describer broke"):
        w.feed(frame(known) * 5 + frame(b"\x80\x04other."))
    w.feed(frame(known) * 3)
    w.close()
    conn = sqlite3.connect(db)
    rows = conn.execute("SELECT COUNT(*) FROM metrics").fetchone()[0]
    kinds = store.kind_counts(conn)
    conn.close()
    assert rows >= 13 and kinds == {"LimitFailure": rows}


@pytest.mark.parametrize("how", ["ABORT", "ROLLBACK"])
def test_metric_counts_and_messages_hold_when_a_statement_fails(db, how):
    # ABORT undoes the one statement, ROLLBACK the whole transaction: either
    # way the counts are those of the rows kept, and every row's message is there.
    from tarnwick_collector.configs.collector_settings import CollectorSettings
    from tarnwick_collector.data_collection.metrics import LimitFailure, LimitReasons

    known = CollectorSettings.serializer.serialize(LimitFailure(
        "t", "p", "3", "0", "m.f", LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED))
    w = Writer(db, "metrics", 1000, writer._describe_metric)
    w.feed(frame(known) * 10)
    w.commit()
    conn = sqlite3.connect(db)
    conn.execute(f"CREATE TRIGGER refuse BEFORE INSERT ON metrics WHEN NEW.sent = 9.0 "
                 f"BEGIN SELECT RAISE({how}, 'refused'); END")
    conn.commit()
    w.feed(frame(known) * 40 + frame(known, sent=9.0) + frame(known) * 5)
    with pytest.raises(RuntimeError, match="refused"):
        w.commit()
    w.feed(frame(known) * 3)
    w.close()
    rows = conn.execute("SELECT COUNT(*) FROM metrics").fetchone()[0]
    orphans = conn.execute("SELECT COUNT(*) FROM metrics m LEFT JOIN metric_messages mm "
                           "ON m.message = mm.id WHERE m.message IS NOT NULL "
                           "AND mm.id IS NULL").fetchone()[0]
    kinds = store.kind_counts(conn)
    conn.close()
    assert rows >= 13 and orphans == 0 and kinds == {"LimitFailure": rows}


def test_a_failing_describer_stops_the_writer_with_its_error(db):
    def broken(data):
        raise RuntimeError("describer broke")

    w = Writer(db, "data", 1000, broken)
    with pytest.raises(RuntimeError, match="describer broke"):
        w.feed(frame(pickle.dumps([1], 0)))
    with pytest.raises(ValueError):
        Writer(db, "other", 1000, broken)


def test_the_writer_process_commits_when_its_input_goes_idle(db):
    boot = ("import sys; from tarnwick_collector.recording.writer import main; "
            "main(sys.argv[1:])")
    proc = subprocess.Popen([sys.executable, "-c", boot, "data", db], stdin=subprocess.PIPE)
    proc.stdin.write(frame(RECORDS[0]))
    proc.stdin.flush()
    # Readable before the input ends: the transaction closed on the short read.
    for _ in range(200):
        if calls(db):
            break
        time.sleep(0.05)
    assert [r[0] for r in calls(db)] == ["m.plain"]
    rec = store.Recording(db)
    assert rec.indexed is None  # the index is made when the stream ends
    rec.close()
    proc.stdin.close()
    assert proc.wait(30) == 0
    rec = store.Recording(db)
    assert rec.indexed == "calls_stats" and "metrics_kind" not in str(rec.indexes)
    rec.close()


def test_a_steady_trickle_is_committed_before_the_input_ends(db):
    # Frames closer together than the idle pause never leave the input
    # quiet: what came is still committed while they keep coming.
    boot = ("import sys; from tarnwick_collector.recording.writer import main; "
            "main(sys.argv[1:])")
    proc = subprocess.Popen([sys.executable, "-c", boot, "data", db], stdin=subprocess.PIPE)
    try:
        seen = []
        for _ in range(600):
            proc.stdin.write(frame(RECORDS[0]))
            proc.stdin.flush()
            time.sleep(0.004)
            seen = calls(db)
            if seen:
                break
        assert seen and seen[0][0] == "m.plain"
    finally:
        proc.stdin.close()
        assert proc.wait(30) == 0
