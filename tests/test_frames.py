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


def test_batches_reuse_memory_without_mixing_frames():
    """The buffer a written batch leaves is reused for the next one, small or
    past the size kept: every frame arrives whole and in order."""
    import socket
    import struct

    from tarnwick_collector.recording.frames import FrameBuffer

    ours, theirs = socket.socketpair()
    received = bytearray()

    def drain():
        while True:
            chunk = theirs.recv(1 << 20)
            if not chunk:
                return
            received.extend(chunk)

    reader = threading.Thread(target=drain)
    reader.start()
    frames = FrameBuffer(1 << 20, 1 << 30, 1.0)
    sent = []
    for batch, (count, size) in enumerate([(50, 10), (3, 5000), (1, 17 << 20), (40, 3), (2, 9)]):
        for i in range(count):
            payload = bytes([batch]) * size + str(i).encode()
            frames.send_message(payload)
            sent.append(payload)
        assert frames.pump(ours.fileno(), 0.0)[:2] == (count, True)
    ours.shutdown(socket.SHUT_WR)
    reader.join()
    ours.close()
    theirs.close()
    header = struct.Struct("<IdH")
    got, pos = [], 0
    while pos < len(received):
        size, _, name_len = header.unpack_from(received, pos)
        start = pos + header.size + name_len
        got.append(bytes(received[start:start + size]))
        pos = start + size
    assert got == sent
