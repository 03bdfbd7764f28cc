"""The program's side of a channel: frames are built without running any
Python code, carry the sending thread's name, and are counted when refused."""

import sqlite3
import sys
import threading

import pytest

from tarnwick_collector.recording import store
from tarnwick_collector.recording.channel import MessageChannel


@pytest.fixture
def db(tmp_path):
    path = str(tmp_path / "rec.db")
    store.create(path)
    return path


def stored(path):
    conn = sqlite3.connect(path)
    try:
        return conn.execute("SELECT thread, data FROM calls ORDER BY id").fetchall()
    finally:
        conn.close()


def test_frames_carry_the_thread_name_and_run_no_python_code(db):
    channel = MessageChannel("data", db, register_atexit=False).start()
    events = []

    def profile(frame, event, arg):
        if event == "call":
            events.append(frame.f_code.co_name)

    def worker():
        sys.setprofile(profile)
        channel.send_message(b"from worker")
        sys.setprofile(None)
        threading.current_thread().name = "renamed \u2603"
        sys.setprofile(profile)
        channel.send_message(bytearray(b"after rename"))
        sys.setprofile(None)

    t = threading.Thread(target=worker, name="w\udcff")
    t.start()
    t.join()
    channel.send_message(memoryview(b"main")[1:])
    channel.send_message("text")
    channel.send_message(None)
    stats = channel.close()
    assert events == []
    assert stored(db) == [("w?", b"from worker"), ("renamed \u2603", b"after rename"),
                          ("MainThread", b"ain")]
    assert (stats.accepted, stats.rejected, stats.written) == (3, 2, 3)
    channel.send_message(b"late")
    assert channel.stats.dropped_closed == 1


def test_a_thread_unknown_to_threading_is_named_as_threading_names_it(db):
    import _thread
    import time

    channel = MessageChannel("data", db, register_atexit=False).start()
    done = threading.Event()

    def raw():
        channel.send_message(b"raw")
        done.set()

    _thread.start_new_thread(raw, ())
    assert done.wait(10)
    time.sleep(0.05)
    channel.close()
    (thread, data), = stored(db)
    assert data == b"raw" and thread.startswith("Dummy-")
