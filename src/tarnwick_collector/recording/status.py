"""The status line of a long ``record`` on a terminal.

Only when standard error is a terminal, after the first second, and at most
four times a second: the calls handed to the data writer so far and the size
of the recording file, redrawn in place on one line of standard error and
erased before the summary. Nothing is written when nothing changed, so a
program waiting for input is left alone.
"""

import os
import sys
import threading

from tarnwick_collector.recording.quiet_thread import QuietThread


def _size(path):
    total = 0
    for suffix in ("", "-wal"):
        try:
            total += os.path.getsize(path + suffix)
        except OSError:
            pass
    return total


def human_size(n):
    for unit in ("B", "KB", "MB", "GB"):
        if n < 1024 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} TB"


class StatusLine:
    def __init__(self, channel, path, fd=2, period=0.25, delay=1.0):
        self.channel = channel
        self.path = path
        self.fd = fd
        self.period = period
        self.delay = delay
        self.shown = False
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._thread = None
        self._pid = os.getpid()

    def start(self):
        try:
            tty = os.isatty(self.fd)
        except OSError:
            tty = False
        if tty:
            self._thread = QuietThread(self._run).start()
        return self

    def text(self):
        calls = self.channel.stats.accepted
        return (f"tarnwick: recording, {calls} call{'s' if calls != 1 else ''}, "
                f"{human_size(_size(self.path))}")

    def _run(self):
        sys.settrace(None)
        sys.setprofile(None)
        if self._stop.wait(self.delay):
            return
        last = None
        while True:
            text = self.text()
            if text != last:
                try:
                    width = os.get_terminal_size(self.fd).columns or 80
                except OSError:
                    width = 80
                with self._lock:
                    if self._stop.is_set():
                        return
                    if not self._write("\r" + text[:max(10, width - 1)] + "\x1b[K"):
                        return
                    self.shown = True
                last = text
            if self._stop.wait(self.period):
                return

    def _write(self, text):
        try:
            os.write(self.fd, text.encode("utf-8", "replace"))
        except OSError:
            return False
        return True

    def stop(self):
        """End the updates and erase the line (a forked child leaves it)."""
        if self._thread is None or os.getpid() != self._pid:
            return
        with self._lock:
            self._stop.set()
            if self.shown:
                self._write("\r\x1b[K")
                self.shown = False
        self._thread.join(1.0)
        self._thread = None
