"""A child process that stores messages, and the sender that feeds it.

``send_message`` runs on the program's own threads, inside the recording
hooks, so it only appends a frame (length, time, thread name, bytes) to a
bounded buffer, natively (``frames.FrameBuffer``): no Python code runs per
message. A daemon thread writes the buffer to the child's stdin, with the
interpreter lock released. When the buffer is full the caller waits for as
long as the writer gets on (what is recorded never depends on load); only a
writer that takes nothing for ``wait`` seconds makes messages dropped and
counted until it catches up. A child that dies makes the rest of
the messages lost, never an error of the program; what was lost is counted
at ``close()``, which also flushes (and runs at exit when not called).

The child's stdin is a socket, written with MSG_NOSIGNAL: a program that has
put SIGPIPE back to its default is not killed when the child dies.
"""

import atexit
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

from tarnwick_collector.recording.frames import FrameBuffer
from tarnwick_collector.recording.quiet_thread import QuietThread

HEADER = struct.Struct("<IdH")
MAX_MESSAGE = 0xFFFFFFFF
_PERIOD = 0.05


def child_command(kind, db_path):
    # The child must import our package, never the program's modules: the
    # script's directory is not put on its path.
    boot = ("import sys; sys.path[:] = [p for p in sys.path if p not in ('', '.')]; "
            "from tarnwick_collector.recording.writer import main; main(sys.argv[1:])")
    return [sys.executable, "-c", boot, kind, db_path]


class ChannelStats:
    """What a channel did with its messages. The program's side (accepted,
    rejected, dropped, lost to a dead child) is counted by its frame buffer."""

    __slots__ = ("written", "lost_write", "exit_status", "error", "_frames")
    COUNTS = ("accepted", "written", "dropped_full", "dropped_closed", "rejected",
              "lost_write", "lost_dead", "exit_status", "error")

    def __init__(self, frames=None):
        self.written = self.lost_write = 0
        self.exit_status = None
        self.error = ""
        self._frames = frames

    def _count(name):
        return property(lambda self: getattr(self._frames, name) if self._frames else 0)

    accepted = _count("accepted")
    rejected = _count("rejected")
    dropped_full = _count("dropped_full")
    dropped_closed = _count("dropped_closed")
    lost_dead = _count("lost_dead")
    del _count

    def as_dict(self):
        return {k: getattr(self, k) for k in self.COUNTS}


class MessageChannel:
    """``send_message(bytes)`` to a child process that stores into SQLite."""

    def __init__(self, kind, db_path, max_messages=20000, max_bytes=64 << 20, wait=5.0,
                 command=None, register_atexit=True):
        self.name = kind
        self.kind = kind
        self.db_path = db_path
        self._frames = FrameBuffer(max_messages, max_bytes, wait)
        self.stats = ChannelStats(self._frames)
        self._command = command or child_command(kind, db_path)
        self._frames.closed = True
        # The hooks call it for every message: the native method itself.
        self.send_message = self._frames.send_message
        self._closing = False
        self._proc = None
        self._sock = None
        self._thread = None
        self._errlog = None
        self._register_atexit = register_atexit
        self._pid = os.getpid()

    # -- life

    def start(self):
        self._errlog = tempfile.TemporaryFile()
        ours, theirs = socket.socketpair()
        try:
            self._proc = subprocess.Popen(
                self._command, stdin=theirs.fileno(), stdout=subprocess.DEVNULL,
                stderr=self._errlog, close_fds=True)
        except BaseException:
            ours.close()
            raise
        finally:
            theirs.close()
        self._sock = ours
        self._frames.closed = False
        self._thread = QuietThread(self._run).start()
        if self._register_atexit:
            atexit.register(self.close)
        if hasattr(os, "register_at_fork"):
            os.register_at_fork(after_in_child=self._forked)
        return self

    def _forked(self):
        # A forked child shares the socket; its writes would interleave ours.
        self._frames.forked()

    def request_close(self, lock_timeout=-1):
        """Stop taking messages and tell the sender to flush and end, without
        waiting for it. Never blocks: the buffer's lock is only ever held
        for a moment by native code, never around Python code or a wait."""
        if self._proc is None or os.getpid() != self._pid:
            return True
        self._closing = True
        self._frames.close()
        return True

    def close(self, timeout=60.0, bounded=False):
        """Flush, end the child and wait for it; safe to call twice.

        ``bounded``: all of it takes about ``timeout`` at most; a child not
        done by then is killed."""
        if self._proc is None or os.getpid() != self._pid:
            return self.stats
        deadline = time.monotonic() + timeout
        if not self._closing:
            self.request_close()
        thread, self._thread = self._thread, None
        if thread is None:
            return self.stats
        thread.join(max(0.0, deadline - time.monotonic()))
        if thread.is_alive():
            # A child that stopped reading: end it so the write fails.
            self._proc.kill()
            thread.join(0.2 if bounded else 5.0)
        try:
            self._sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        try:
            self.stats.exit_status = self._proc.wait(max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self.stats.exit_status = self._proc.wait()
        if thread is None or not thread.is_alive():
            self._sock.close()
        self._read_errors()
        if self._register_atexit:
            try:
                atexit.unregister(self.close)
            except Exception:
                pass
        return self.stats

    def _read_errors(self):
        log = self._errlog
        if log is None:
            return
        try:
            log.seek(0)
            lines = [ln for ln in log.read().decode("utf-8", "replace").splitlines() if ln.strip()]
            if lines:
                self.stats.error = lines[-1][:300]
            log.close()
        except Exception:
            pass
        self._errlog = None

    @property
    def alive(self):
        return not self._frames.dead and self._proc is not None and self._proc.poll() is None

    # -- the sender thread

    def _run(self):
        # Woken by a timer, by a large backlog or by close, never per message:
        # each wake-up takes the interpreter lock from the program.
        sys.settrace(None)
        sys.setprofile(None)
        fd = self._sock.fileno()
        pump, stats = self._frames.pump, self.stats
        while True:
            count, written, stop = pump(fd, _PERIOD)
            if written:
                stats.written += count
            else:
                stats.lost_write += count
            if stop:
                return
