"""A child process that stores messages, and the sender that feeds it.

``send_message`` runs on the program's own threads, inside the recording
hooks, so it only appends to a bounded buffer; a daemon thread writes the
buffer to the child's stdin as frames (length, time, thread name, bytes).
When the buffer is full the caller waits a little, then messages are dropped
and counted until the writer catches up. A child that dies makes the rest of
the messages lost, never an error of the program; what was lost is counted
at ``close()``, which also flushes (and runs at exit when not called).

The child's stdin is a socket, written with MSG_NOSIGNAL: a program that has
put SIGPIPE back to its default is not killed when the child dies.
"""

import atexit
import collections
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HEADER = struct.Struct("<IdH")
MAX_MESSAGE = 0xFFFFFFFF
_STOP = object()
_NOSIGNAL = getattr(socket, "MSG_NOSIGNAL", 0)
_PERIOD = 0.05
_EAGER_BYTES = 1 << 20


def child_command(kind, db_path):
    # The child must import our package, never the program's modules: the
    # script's directory is not put on its path.
    boot = ("import sys; sys.path[:] = [p for p in sys.path if p not in ('', '.')]; "
            "from tarnwick_collector.recording.writer import main; main(sys.argv[1:])")
    return [sys.executable, "-c", boot, kind, db_path]


class ChannelStats:
    __slots__ = ("accepted", "written", "dropped_full", "dropped_closed", "rejected",
                 "lost_write", "lost_dead", "exit_status", "error")

    def __init__(self):
        self.accepted = self.written = self.dropped_full = self.dropped_closed = 0
        self.rejected = self.lost_write = self.lost_dead = 0
        self.exit_status = None
        self.error = ""

    def as_dict(self):
        return {k: getattr(self, k) for k in self.__slots__}


class MessageChannel:
    """``send_message(bytes)`` to a child process that stores into SQLite."""

    def __init__(self, kind, db_path, max_messages=20000, max_bytes=64 << 20, wait=0.5,
                 command=None, register_atexit=True):
        self.name = kind
        self.kind = kind
        self.db_path = db_path
        self.stats = ChannelStats()
        self._max_messages = max_messages
        self._max_bytes = max_bytes
        self._wait = wait
        self._command = command or child_command(kind, db_path)
        self._buf = collections.deque()
        self._bytes = 0
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        self._congested = False
        self._writer_waiting = False
        self._thread_names = {}
        self._closed = True
        self._closing = False
        self._held_here = False
        self._sending = False
        self._dead = False
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
        self._closed = False
        self._thread = threading.Thread(target=self._run, name=f"tarnwick-{self.kind}-sender",
                                        daemon=True)
        self._thread.start()
        if self._register_atexit:
            atexit.register(self.close)
        if hasattr(os, "register_at_fork"):
            os.register_at_fork(after_in_child=self._forked)
        return self

    def _forked(self):
        # A forked child shares the pipe; its writes would interleave ours.
        self._closed = True
        self._dead = True

    def request_close(self, lock_timeout=-1):
        """Stop taking messages and tell the sender to flush and end, without
        waiting for it. False when the buffer's lock was not had in time."""
        if self._proc is None or os.getpid() != self._pid:
            return True
        # Bounded for os._exit, which a signal handler may call on a thread
        # that is inside send_message, holding this lock.
        if not self._lock.acquire(blocking=False):
            if lock_timeout >= 0 and self._held_by_this_thread():
                self._held_here = True
                return False
            if not self._lock.acquire(timeout=lock_timeout):
                return False
        try:
            self._closing = True
            self._closed = True
            self._buf.append(_STOP)
            self._cond.notify_all()
        finally:
            self._lock.release()
        return True

    def _held_by_this_thread(self):
        code = MessageChannel.send_message.__code__
        frame = sys._getframe(1)
        while frame is not None:
            if frame.f_code is code and frame.f_locals.get("self") is self:
                return self._lock.locked()
            frame = frame.f_back
        return False

    def close(self, timeout=60.0, bounded=False):
        """Flush, end the child and wait for it; safe to call twice.

        ``bounded``: all of it takes about ``timeout`` at most; a child not
        done by then is killed."""
        if self._proc is None or os.getpid() != self._pid:
            return self.stats
        deadline = time.monotonic() + timeout
        if not self._closing and not self.request_close(timeout if bounded else -1):
            self._closing = True
            self._closed = True
            self._thread = None
            if self._held_here:
                self._flush_here(deadline)
            else:
                # The sender cannot take the buffer either.
                self._proc.kill()
                self.stats.exit_status = self._proc.wait()
            return self.stats
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

    def _flush_here(self, deadline):
        # This thread holds the lock below us and never gives it back, so the
        # sender stays blocked once it is done with the batch it may be
        # writing: the rest of the buffer is written from here.
        while self._sending and time.monotonic() < deadline:
            time.sleep(0.005)
        if not self._sending:
            batch = [frame for frame in self._buf if frame is not _STOP]
            self._buf.clear()
            try:
                self._sock.settimeout(max(0.05, deadline - time.monotonic()))
            except OSError:
                pass
            if batch:
                self._send_batch(self._sock, batch)
            try:
                self._sock.shutdown(socket.SHUT_WR)
            except OSError:
                pass
        try:
            self.stats.exit_status = self._proc.wait(max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self.stats.exit_status = self._proc.wait()
        self._read_errors()

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
        return not self._dead and self._proc is not None and self._proc.poll() is None

    # -- the program's side

    def send_message(self, serialized):
        stats = self.stats
        if type(serialized) is not bytes:
            if isinstance(serialized, (bytearray, memoryview)):
                serialized = bytes(serialized)
            else:
                stats.rejected += 1
                return
        size = len(serialized)
        if size > MAX_MESSAGE:
            stats.rejected += 1
            return
        if self._dead:
            stats.lost_dead += 1
            return
        if self._closed:
            stats.dropped_closed += 1
            return
        thread = threading.current_thread().name
        name = self._thread_names.get(thread)
        if name is None:
            name = thread.encode("utf-8", "replace")[:1000]
            if len(self._thread_names) < 10000:
                self._thread_names[thread] = name
        frame = HEADER.pack(size, time.time(), len(name)) + name + serialized
        buf = self._buf
        with self._lock:  # the plain lock: the Condition's own enter is Python code
            if self._closed:
                stats.dropped_closed += 1
                return
            if len(buf) >= self._max_messages or self._bytes + size > self._max_bytes:
                cond = self._cond
                if self._congested or not cond.wait_for(lambda: self._fits(size), self._wait):
                    self._congested = True
                    stats.dropped_full += 1
                    return
            buf.append(frame)
            self._bytes += len(frame)
            stats.accepted += 1
            if self._writer_waiting and self._bytes >= _EAGER_BYTES:
                self._cond.notify_all()

    def _fits(self, size):
        return self._closed or self._dead or (
            len(self._buf) < self._max_messages and self._bytes + size <= self._max_bytes)

    # -- the sender thread

    def _run(self):
        # Woken by a timer, by a large backlog or by close, never per message:
        # each wake-up takes the interpreter lock from the program.
        sys.settrace(None)
        sys.setprofile(None)
        sock = self._sock
        cond = self._cond
        stop = False
        while not stop:
            with cond:
                if not self._buf or (self._buf[-1] is not _STOP and self._bytes < _EAGER_BYTES):
                    self._writer_waiting = True
                    cond.wait(_PERIOD)
                    self._writer_waiting = False
                batch = [frame for frame in self._buf if frame is not _STOP]
                stop = len(batch) != len(self._buf)
                self._buf.clear()
                self._bytes = 0
                if self._congested:
                    self._congested = False
                self._sending = bool(batch)
                cond.notify_all()
            if not batch:
                continue
            self._send_batch(sock, batch)
            self._sending = False

    def _send_batch(self, sock, batch):
        if not self._dead and not self._write(sock, batch):
            self._dead = True
            self.stats.lost_write += len(batch)
        elif self._dead:
            self.stats.lost_write += len(batch)
        else:
            self.stats.written += len(batch)

    def _write(self, sock, batch):
        try:
            sock.sendall(b"".join(batch), _NOSIGNAL)
        except OSError:
            return False
        return True
