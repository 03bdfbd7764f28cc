"""The recording file, its writer processes and the sender in front of them."""

import os
import pickle
import sqlite3
import subprocess
import sys
import textwrap

import pytest

from tarnwick_collector.data_collection.invocations import UserFunctionCall, UserFunctionMetadata
from tarnwick_collector.data_collection.metrics import LimitFailure, LimitReasons
from tarnwick_collector.recording import store, writer
from tarnwick_collector.recording.channel import MessageChannel
from tarnwick_collector.recording.session import Session, summary_line


def call_record(name, serializer):
    meta = UserFunctionMetadata("m", name, "h", "/p", (), None)
    return serializer.serialize(UserFunctionCall(meta, (1,), {}, {}))


def rows(path, table):
    conn = sqlite3.connect(path)
    try:
        if table == "calls":
            return conn.execute("SELECT function, thread, external_calls FROM calls").fetchall()
        return conn.execute("SELECT kind, detail FROM metrics").fetchall()
    finally:
        conn.close()


@pytest.fixture
def db(tmp_path):
    path = str(tmp_path / "rec.db")
    store.create(path, {"script": "x.py"})
    return path


def test_messages_are_stored_with_name_and_kind(db, serializer):
    data = MessageChannel("data", db, register_atexit=False).start()
    metrics = MessageChannel("metrics", db, register_atexit=False).start()
    for i in range(300):
        data.send_message(call_record(f"m.f{i % 3}", serializer))
    metrics.send_message(serializer.serialize(LimitFailure(
        "t", "p", "3", "0", "m.f", LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED)))
    data.send_message("not bytes")
    assert data.close().exit_status == 0 and metrics.close().exit_status == 0
    stored = rows(db, "calls")
    assert len(stored) == 300 and data.stats.rejected == 1
    assert {r[0] for r in stored} == {"m.f0", "m.f1", "m.f2"}
    assert stored[0][1] == "MainThread" and stored[0][2] == 0
    conn = sqlite3.connect(db)
    assert conn.execute("SELECT COUNT(*) FROM calls WHERE size != length(data)").fetchone() == (0,)
    conn.close()
    (kind, detail), = rows(db, "metrics")
    assert kind == "LimitFailure" and "external function calls limit exceeded" in detail


def test_unreadable_messages_are_kept_without_a_name(db):
    data = MessageChannel("data", db, register_atexit=False).start()
    data.send_message(b"\x80\x04 not really")
    data.send_message(b"cos\nsystem\n(S'touch /tmp/x'\ntR.")
    data.close()
    assert [r[0] for r in rows(db, "calls")] == [None, None]


def test_dead_child_loses_messages_not_the_program(db, serializer):
    data = MessageChannel("data", db, register_atexit=False).start()
    data.send_message(call_record("m.before", serializer))
    data._proc.kill()
    data._proc.wait()
    for _ in range(50):
        data.send_message(call_record("m.after", serializer))
    stats = data.close()
    assert stats.exit_status != 0
    stored = len(rows(db, "calls"))
    assert stats.accepted + stats.lost_dead == 51
    assert stored + stats.lost_write + stats.lost_dead >= 50


def test_full_buffer_drops_instead_of_blocking(db):
    hung = [sys.executable, "-c", "import time; time.sleep(60)"]
    data = MessageChannel("data", db, register_atexit=False, max_messages=4, max_bytes=1 << 20,
                          wait=0.05, command=hung).start()
    for _ in range(5000):
        data.send_message(b"x" * 1000)
    stats = data.close(timeout=1)
    assert stats.dropped_full > 0


def test_a_slow_writer_loses_nothing(tmp_path, db):
    # A writer that takes its input slowly but steadily: a full buffer waits
    # for it, so that what is recorded does not depend on how busy it is.
    got = tmp_path / "got"
    slow = [sys.executable, "-c", textwrap.dedent(f"""
        import sys, time
        n = 0
        while True:
            chunk = sys.stdin.buffer.read(4096)
            if not chunk:
                break
            n += len(chunk)
            time.sleep(0.005)
        open({str(got)!r}, "w").write(str(n))
    """)]
    # A batch takes the reader longer than `wait`; it never stops reading.
    data = MessageChannel("data", db, register_atexit=False, max_messages=500, max_bytes=1 << 20,
                          wait=0.3, command=slow).start()
    for _ in range(2000):
        data.send_message(b"x" * 1000)
    stats = data.close(timeout=30)
    assert stats.dropped_full == 0 and stats.accepted == 2000
    assert int(got.read_text()) >= 2000 * 1000


FLUSH_SCRIPT = textwrap.dedent("""
    import signal, sys
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    from tarnwick_collector.recording.channel import MessageChannel
    ch = MessageChannel("data", sys.argv[1]).start()
    if sys.argv[2] == "kill":
        ch._proc.kill(); ch._proc.wait()
    for i in range(2000):
        ch.send_message(b"x" * 100)
    print("done")
""")


@pytest.mark.parametrize("mode", ["normal", "kill"])
def test_exit_flushes_and_survives_a_dead_child(db, tmp_path, mode):
    script = tmp_path / "send.py"
    script.write_text(FLUSH_SCRIPT)
    proc = subprocess.run([sys.executable, str(script), db, mode], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout == "done\n", proc.stderr
    assert len(rows(db, "calls")) == (2000 if mode == "normal" else 0)


def test_session_summary_counts_losses(tmp_path, serializer):
    out = str(tmp_path / "s.db")
    session = Session(out, str(tmp_path)).open()
    session.data.send_message(call_record("m.kept", serializer))
    session.data.close()  # stored; the session's own close finds it closed
    session.data.send_message(call_record("m.late", serializer))
    summary = session.close()
    assert summary["calls"] == 1 and summary["lost_calls"] == 1
    line = summary_line(summary, out)
    assert line.startswith("tarnwick: recorded 1 call,") and "lost 1 records" in line
    assert "\n" not in line
    rec = store.Recording(out)
    assert rec.meta_json("summary")["calls"] == 1
    rec.close()


def test_writer_frames_split_across_reads():
    from tarnwick_collector.recording.channel import HEADER

    frames = b"".join(HEADER.pack(len(p), 1.5, 2) + b"T1" + p for p in (b"abc", b"", b"z" * 70))
    chunks = [frames[i:i + 5] for i in range(0, len(frames), 5)]
    reads = iter(chunks + [b""])
    got = [f for batch in writer.frames(lambda n: next(reads)) for f in batch]
    assert got == [(1.5, "T1", b"abc"), (1.5, "T1", b""), (1.5, "T1", b"z" * 70)]


@pytest.mark.parametrize("make, message", [
    (lambda p: p.write_text("hello"), "not a recording (not an SQLite database)"),
    (lambda p: sqlite3.connect(str(p)).execute("CREATE TABLE t (x)").connection.commit(),
     "not a recording (no recording tables)"),
    (lambda p: p.mkdir(), "is a directory"),
    (lambda p: None, "no such file"),
])
def test_files_that_are_not_recordings(tmp_path, make, message):
    path = tmp_path / "f.db"
    make(path)
    with pytest.raises(store.RecordingError) as err:
        store.Recording(str(path))
    assert message in str(err.value) and "\n" not in str(err.value)


def test_damaged_recording(db):
    conn = sqlite3.connect(db)
    conn.execute("PRAGMA journal_mode = DELETE")
    conn.executemany("INSERT INTO calls (function, data) VALUES (?, ?)",
                     [("f", os.urandom(3000)) for _ in range(50)])
    conn.commit()
    (root,), = conn.execute("SELECT rootpage FROM sqlite_master WHERE name = 'calls'")
    (page,), = conn.execute("PRAGMA page_size")
    conn.close()
    with open(db, "r+b") as f:
        f.seek((root - 1) * page)  # the table's root page, from its header on
        f.write(b"\xff" * 6000)
    with pytest.raises(store.RecordingError) as err:
        rec = store.Recording(db)
        list(rec.calls())
    assert "damaged recording" in str(err.value)
