"""Running a script the way ``python SCRIPT ARGS`` does.

The script becomes ``__main__`` with ``sys.argv`` and ``sys.path[0]`` set as
the interpreter sets them; an uncaught exception is printed by
``sys.excepthook`` from the script's first frame on, SystemExit gives the
status the interpreter would give, and the program's non-daemon threads and
atexit handlers finish before the caller's own ending runs.
"""

import atexit
import builtins
import importlib.machinery
import io
import os
import sys
import threading
import types


class ScriptError(Exception):
    """The script cannot be started; the message is one line."""


class Outcome:
    __slots__ = ("status", "interrupted")

    def __init__(self, status=0, interrupted=False):
        self.status = status
        self.interrupted = interrupted


def exit_status(code):
    """The process status the interpreter gives for ``SystemExit(code)``;
    a code it would print comes back as text."""
    if code is None:
        return 0, None
    if isinstance(code, int) and not isinstance(code, bool):
        return code, None
    if isinstance(code, bool):
        return int(code), None
    return 1, code


def load(script):
    """The compiled script, or ScriptError when it cannot be read."""
    try:
        with io.open_code(script) as f:
            source = f.read()
    except FileNotFoundError:
        raise ScriptError(f"can't open file '{script}': no such file") from None
    except IsADirectoryError:
        raise ScriptError(f"can't open file '{script}': is a directory") from None
    except OSError as exc:
        raise ScriptError(f"can't open file '{script}': {exc.strerror}") from None
    return source


def _main_module(script):
    main = types.ModuleType("__main__")
    main.__file__ = script
    main.__cached__ = None
    main.__builtins__ = builtins
    main.__loader__ = importlib.machinery.SourceFileLoader("__main__", script)
    main.__spec__ = None
    main.__package__ = None
    return main


_OWN = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep


def _print_uncaught(exc, script):
    tb = exc.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename != script:
        tb = tb.tb_next
    # An interrupt can land inside the tracer: its frames are not the program's.
    last = tb
    while last is not None and last.tb_next is not None:
        if last.tb_next.tb_frame.f_code.co_filename.startswith(_OWN):
            last.tb_next = None
            break
        last = last.tb_next
    exc = exc.with_traceback(tb)
    sys.last_type, sys.last_value, sys.last_traceback = type(exc), exc, tb
    try:
        sys.excepthook(type(exc), exc, tb)
    except BaseException:
        sys.__excepthook__(type(exc), exc, tb)


def _print_exit_text(text):
    try:
        sys.stderr.write(f"{text}\n")
        sys.stderr.flush()
    except Exception:
        pass


def _join_threads():
    me = threading.current_thread()
    while True:
        waiting = [t for t in threading.enumerate()
                   if t is not me and not t.daemon and t.is_alive()]
        if not waiting:
            return
        for t in waiting:
            t.join()


def run(script, args, on_start=None):
    """Run ``script`` (an existing path) as the main program.

    ``on_start`` runs right before the script's first line. Returns the
    Outcome; the caller ends the process with it."""
    source = load(script)
    given = script
    script = os.path.abspath(script)
    sys.argv = [given] + list(args)
    directory = os.path.dirname(os.path.realpath(script))
    if sys.path:
        sys.path[0] = directory
    else:
        sys.path.insert(0, directory)
    main = _main_module(script)
    sys.modules["__main__"] = main
    outcome = Outcome()
    try:
        code = compile(source, script, "exec", dont_inherit=True)
    except (SyntaxError, ValueError) as exc:
        _print_uncaught(exc, script)
        outcome.status = 1
        return outcome
    if on_start is not None:
        on_start()
    try:
        exec(code, main.__dict__)
    except SystemExit as exc:
        outcome.status, text = exit_status(exc.code)
        if text is not None:
            _print_exit_text(text)
    except KeyboardInterrupt as exc:
        _print_uncaught(exc, script)
        outcome.status = 130
        outcome.interrupted = True
    except BaseException as exc:
        _print_uncaught(exc, script)
        outcome.status = 1
    finally:
        del code
    try:
        _join_threads()
    except KeyboardInterrupt:
        pass
    atexit._run_exitfuncs()
    return outcome
