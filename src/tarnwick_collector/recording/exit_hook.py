"""``os._exit`` while a program is recorded.

The real ``os._exit`` ends the process at once: the sender's buffer, the
writers' last batches and the summary would be lost. While installed, the
replacement runs the recording's ending first (bounded in time, see
``finish``) and then exits with the program's status. A forked child's
``os._exit`` exits at once: the buffers and writers it sees are the parent's.
"""

import operator
import os
import threading

_INT_MIN, _INT_MAX = -(1 << 31), (1 << 31) - 1


class ExitHook:
    """``install()`` before the program's first line, ``remove()`` after its
    last; ``finish()`` is the recording's ending, run at most once."""

    def __init__(self, finish):
        self._finish = finish
        self._lock = threading.Lock()
        self._owner = None
        self._removed = False
        self._pid = os.getpid()
        self._real = None
        self._replacement = None

    def install(self):
        real = self._real = os._exit
        hook = self

        def _exit(status):
            hook._exit(real, status)

        _exit.__doc__ = real.__doc__
        self._replacement = _exit
        os._exit = _exit
        return self

    def remove(self):
        """The real ``os._exit`` back. When an ``os._exit`` of another thread
        is ending the recording, this waits for it (it ends the process)."""
        if os.getpid() == self._pid:
            # Held for good by an os._exit in progress: it ends the process.
            self._lock.acquire()
            self._removed = True
            self._lock.release()
        if self._replacement is not None and os._exit is self._replacement:
            os._exit = self._real

    def _exit(self, real, status):
        # The argument is checked as os._exit checks it, before anything else,
        # and its __index__ (if any) runs once.
        status = operator.index(status)
        if not _INT_MIN <= status <= _INT_MAX or os.getpid() != self._pid:
            real(status)
        me = threading.get_ident()
        if self._owner == me:
            # Again from inside the ending (a signal handler): exit now.
            real(status)
        self._lock.acquire()
        if self._removed:
            self._lock.release()
            real(status)
        self._owner = me
        try:
            self._finish()
        finally:
            real(status)
