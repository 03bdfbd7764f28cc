"""Threads of the recorder that the program does not see.

A `threading.Thread` is listed by `threading.enumerate()` and
`active_count()`, and from 3.12 on makes `os.fork()` warn that the process
is multi-threaded. The recorder's own threads are started with `_thread`
directly, bound at import so that a tracer wrapping it later never sees them.
"""

import _thread

_start_new_thread = _thread.start_new_thread
_allocate_lock = _thread.allocate_lock


class QuietThread:
    """The part of `threading.Thread` the recorder uses: start, join, is_alive."""

    def __init__(self, target):
        self._target = target
        self._done = _allocate_lock()

    def start(self):
        self._done.acquire()
        try:
            _start_new_thread(self._body, ())
        except BaseException:
            self._done.release()
            raise
        return self

    def _body(self):
        try:
            self._target()
        except BaseException:
            pass  # a failure of ours never reaches the program's stderr
        finally:
            self._done.release()

    def join(self, timeout=None):
        if timeout is None:
            timeout = -1
        elif timeout < 0:
            timeout = 0
        if self._done.acquire(timeout=timeout):
            self._done.release()

    def is_alive(self):
        if self._done.acquire(blocking=False):
            self._done.release()
            return False
        return True
