"""tarnwick record|show|stats|demo ... (also: python -m tarnwick_collector ...)

    record [--out FILE] [--project DIR] [--strict] [--no-hooks] [--max-calls N] SCRIPT [ARGS...]
        run SCRIPT as ``python SCRIPT ARGS`` would, recording the calls of its
        project functions
    show FILE [--function NAME] [--thread NAME] [--limit N] [--json]
        print the recorded calls, as text or as JSON Lines
    stats FILE [--json]
        per function: calls recorded, dropped, external calls, bytes; and the
        summary of the run
    demo MODULE_FILE
        metadata and call records built by hand for a sample module

Each command has its own --help.
"""

import json
import os
import signal
import sys

USAGE = __doc__.split("\n", 2)[2].rstrip()
PROG = "tarnwick"
# Seconds the writers get to store what is buffered when the program calls os._exit.
EXIT_WAIT = 2.0

RECORD_HELP = """usage: {prog} record [--out FILE] [--project DIR] [--strict] [--no-hooks]
       SCRIPT [ARGS...]

Run SCRIPT as `python SCRIPT ARGS` would (same sys.argv, __main__,
sys.path[0], output, tracebacks and exit status) and record the calls of
the functions defined in the .py files under DIR.

Writes FILE, one SQLite file holding the call records, the metrics and a
summary (an existing FILE is replaced), and one summary line on standard
error at the end. While it runs on a terminal, a status line on standard
error shows the calls recorded so far and the file's size; it is erased
before the summary. Nothing else is added to the program's output.

A value that cannot be written without running its own code (its class
defines pickling methods, or a Python __getattr__/__getattribute__) is
written as a stand-in: its class's name and the attributes read from its
__dict__ and slots, without running any of the program's code; `show`
marks it as <stand-in ...>.

options (they stop at SCRIPT; what follows belongs to the script):
  --out FILE, -o FILE  the recording (default: SCRIPT's name + .recording.db)
  --project DIR        the folder of the project's files (default: SCRIPT's)
  --strict             no stand-ins: a call with such a value is dropped, and
                       its function is not recorded again
  --no-hooks           run the tracing layer with the recording hooks off:
                       nothing is stored, one line of counts at the end
  --max-calls N        calls recorded per function (default 1000, 0: no
                       cap); later calls are counted, not recorded
  -h, --help           this text"""


class UsageError(Exception):
    pass


def _fail(message, status=2):
    sys.stderr.write(f"{PROG}: error: {message}\n")
    sys.stderr.flush()
    return status


# -------------------------------------------------------------- record

def parse_record(argv, flags=None, options=None):
    """Options stop at the script: everything after it belongs to the script."""
    out = project = None
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg == "--":
            i += 1
            break
        if arg in ("-h", "--help"):
            raise UsageError("help")
        if arg in ("--no-hooks", "--strict"):
            if flags is not None:
                flags.add(arg[2:])
            i += 1
            continue
        name, eq, value = arg.partition("=")
        if name in ("--out", "-o", "--project", "--max-calls"):
            if not eq:
                if i + 1 >= len(argv):
                    raise UsageError(f"{name} needs a value")
                value = argv[i + 1]
                i += 1
            if name == "--project":
                project = value
            elif name == "--max-calls":
                if not value.isdigit():
                    raise UsageError(f"--max-calls needs a whole number, not {value!r}")
                if options is not None:
                    options["max_calls"] = int(value)
            else:
                out = value
            i += 1
            continue
        if arg.startswith("-") and arg != "-":
            raise UsageError(f"unknown option {arg}")
        break
    if i >= len(argv):
        raise UsageError("record needs a SCRIPT")
    script, args = argv[i], argv[i + 1:]
    if out is None:
        stem = os.path.splitext(os.path.basename(script))[0] or "recording"
        out = f"{stem}.recording.db"
    return out, project, script, args


def _flush_std():
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except Exception:
            pass


def record(argv):
    from tarnwick_collector.recording import runner

    flags = set()
    options = {}
    try:
        out, project, script, args = parse_record(argv, flags, options)
    except UsageError as exc:
        if str(exc) == "help":
            print(RECORD_HELP.format(prog=prog()))
            return 0
        return _fail(f"{exc}\nusage: {prog()} {USAGE.splitlines()[0].strip()}")
    if not os.path.exists(script):
        return _fail(f"can't open file '{script}': no such file")
    if os.path.isdir(script):
        return _fail(f"can't open file '{script}': is a directory")
    if project is not None and not os.path.isdir(project):
        return _fail(f"project folder '{project}' does not exist")
    try:
        runner.load(script)
    except runner.ScriptError as exc:
        return _fail(str(exc))
    out_dir = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(out_dir):
        return _fail(f"cannot write '{out}': folder does not exist")

    if "no-hooks" in flags:
        return _trace_only(script, args, project, options)

    from tarnwick_collector.configs.collector_settings import CollectorSettings

    try:
        from tarnwick_collector.data_collection import harvest
        # Load the serializer now, not inside the first traced call.
        CollectorSettings.serializer.serialize(None)
    except Exception as exc:  # the core is missing or broken
        return _fail(f"the recording core does not load: {type(exc).__name__}: {exc}")

    from tarnwick_collector.recording.exit_hook import ExitHook
    from tarnwick_collector.recording.session import Session, summary_line
    from tarnwick_collector.tracing import Tracer

    project_dir = project or os.path.dirname(os.path.abspath(script))
    session = Session(out, project_dir, script=os.path.abspath(script), argv=args,
                      stand_ins="strict" not in flags)
    try:
        session.open()
    except Exception as exc:
        return _fail(f"cannot start the recording in '{out}': {exc}")
    from tarnwick_collector.recording.status import StatusLine

    tracer = Tracer(project_files=session.files, hooks=harvest, **options)

    def report(summary):
        try:
            os.write(2, (summary_line(summary, out) + "\n").encode("utf-8", "replace"))
        except OSError:
            pass

    def finish_at_exit():
        # os._exit: the program's own buffered output stays unflushed, as it
        # would be; the writers get a short time to store what was sent.
        tracer.stop()
        status.stop()
        report(session.close(tracer.stats, timeout=EXIT_WAIT, stopped=tracer.stopped))

    exit_hook = ExitHook(finish_at_exit)

    def start():
        exit_hook.install()
        tracer.start()

    pid = os.getpid()
    status = StatusLine(session.data, session.out).start()
    try:
        outcome = runner.run(script, args, on_start=start)
        exit_hook.remove()
        tracer.stop()
    finally:
        status.stop()
    if os.getpid() != pid:
        # A forked child of the program ends here; the parent reports.
        _flush_std()
        return outcome.status
    summary = session.close(tracer.stats, stopped=tracer.stopped)
    _flush_std()
    report(summary)
    if outcome.interrupted:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    return outcome.status


def _trace_only(script, args, project, options):
    import time

    from tarnwick_collector.recording import runner
    from tarnwick_collector.recording.session import project_files, stopped_text
    from tarnwick_collector.tracing import Tracer

    files = project_files(project or os.path.dirname(os.path.abspath(script)))
    files.add(os.path.abspath(script))
    tracer = Tracer(project_files=files, hooks_enabled=False, **options)
    pid = os.getpid()
    started = time.monotonic()
    outcome = runner.run(script, args, on_start=tracer.start)
    tracer.stop()
    if os.getpid() == pid:
        _flush_std()
        st = tracer.stats
        capped = f" and {st.capped} over the cap of {st.max_calls}" if st.capped else ""
        line = (f"tarnwick: hooks off, traced {st.user_calls} calls{capped}, "
                f"{st.external_calls} external calls, {time.monotonic() - started:.2f}s\n")
        stopped = stopped_text(tracer.stopped, "tracing")
        if stopped:
            line = f"tarnwick: {stopped}\n" + line
        os.write(2, line.encode("utf-8", "replace"))
    if outcome.interrupted:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    return outcome.status


# ---------------------------------------------------------------- show

SHOW_WRITES = """\
Writes the calls to standard output, in the order they were stored, as they
are read: one block of labelled lines per call, or with --json JSON Lines
(one JSON object per line: first {"type": "recording", ...}, then one
{"type": "call", ...} per call). A record that cannot be read becomes one
error line (the "error" key in JSON) and the rest is shown. Values are
shortened within the --max-* bounds, with a marker of what was cut.

The file is only read: nothing it names is imported or run, and it is not
changed. Exit status 2, with one line on standard error, when the file is
not a readable recording."""


def _positive(text):
    import argparse

    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


def parse_show(argv):
    import argparse

    parser = argparse.ArgumentParser(
        prog=f"{prog()} show", description="Print the calls of a recording.",
        epilog=SHOW_WRITES, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file")
    parser.add_argument("--function", metavar="NAME",
                        help="only calls of this function (full name or its last dotted parts)")
    parser.add_argument("--thread", metavar="NAME", help="only calls made on this thread")
    parser.add_argument("--limit", metavar="N", type=_positive, help="stop after N calls")
    parser.add_argument("--json", action="store_true", help="JSON Lines instead of text")
    bounds = parser.add_argument_group("bounds (defaults: text / JSON)")
    bounds.add_argument("--max-string", metavar="N", type=_positive,
                        help="characters of a string, bytes of a bytes value, digits of an "
                             "integer (120 / 2000)")
    bounds.add_argument("--max-items", metavar="N", type=_positive,
                        help="items of a container, external calls of a record (100 / 1000)")
    bounds.add_argument("--max-depth", metavar="N", type=_positive,
                        help="nesting depth (6 / 12; at most 200)")
    bounds.add_argument("--max-values", metavar="N", type=_positive,
                        help="values shown per field (400 / 5000)")
    bounds.add_argument("--max-record", metavar="BYTES", type=_positive,
                        help="records larger than this are not decoded (268435456)")
    return parser.parse_args(argv)


def _limits(args, base):
    return base.replace(string=args.max_string, items=args.max_items, depth=args.max_depth,
                        values=args.max_values, record=args.max_record)


def _summary_text(summary):
    if not isinstance(summary, dict):
        return ": summary unreadable" if summary is not None else ""
    parts, odd = [], []
    for key, what in (("calls", "calls"), ("external_calls", "external calls")):
        value = summary.get(key, 0)
        if isinstance(value, int) and not isinstance(value, bool):
            parts.append(f"{value} {what}")
        else:
            odd.append(key)
    stand_ins = summary.get("stand_ins")
    if isinstance(stand_ins, dict):
        total = sum(n for n in stand_ins.values() if type(n) is int and n > 0)
        if total:
            parts.append(f"{total} stand-in{'s' if total != 1 else ''}")
    seconds = summary.get("seconds", 0)
    if isinstance(seconds, (int, float)) and not isinstance(seconds, bool) \
            and abs(seconds) < 1e12:
        parts.append(f"{seconds:.2f}s")
    else:
        odd.append("seconds")
    if odd:
        parts.append("odd summary fields: " + ", ".join(odd))
    return ": " + ", ".join(parts)


INCOMPLETE = ("incomplete recording: no summary stored (the recorder was stopped before its "
              "end, or is still running)")


def _json_line(out, obj):
    line = json.dumps(obj, ensure_ascii=False)
    try:
        data = line.encode("utf-8")
    except UnicodeEncodeError:  # lone surrogates: written as JSON escapes
        data = json.dumps(obj).encode("ascii")
    out.write(data + b"\n")


def show(argv):
    from tarnwick_collector.recording.store import Recording, RecordingError

    args = parse_show(argv)
    try:
        rec = Recording(args.file)
    except RecordingError as exc:
        return _fail(str(exc))
    try:
        if args.json:
            _show_json(rec, args)
        else:
            _show_text(rec, args)
    except RecordingError as exc:
        _flush_std()
        return _fail(str(exc))
    finally:
        rec.close()
    return 0


class _Flusher:
    """Output reaches a pipe as it is made, not only when a buffer fills."""

    def __init__(self, stream):
        import time

        self.stream = stream
        self.clock = time.monotonic
        self.last = self.clock()

    def __call__(self):
        now = self.clock()
        if now - self.last >= 0.1:
            self.stream.flush()
            self.last = now


def _rows(rec, args, limits):
    return rec.calls(args.function, args.thread, args.limit, limits.record)


def _show_text(rec, args):
    import shutil

    from tarnwick_collector.recording import show as render

    limits = _limits(args, render.TEXT)
    try:
        sys.stdout.reconfigure(errors="backslashreplace")
    except (AttributeError, ValueError):
        pass
    out = sys.stdout
    width = max(60, min(shutil.get_terminal_size((100, 20)).columns, 160))
    out.write(f"recording of {render.label(rec.meta.get('script') or '?')}"
              f"{_summary_text(rec.meta_json('summary'))}\n")
    if not rec.complete:
        out.write(INCOMPLETE + "\n")
    out.write("\n")
    out.flush()
    tick = _Flusher(out)
    shown = 0
    for row in _rows(rec, args, limits):
        view = render.CallView(*row, limits=limits)
        out.write(render.call_text(view, width, limits) + "\n")
        shown += 1
        tick()
    if not shown and (args.function is not None or args.thread is not None):
        what = " on thread ".join(render.label(x) for x in (args.function, args.thread)
                                  if x is not None)
        out.write(f"no calls of {what}\n" if args.function is not None
                  else f"no calls on thread {what}\n")
    out.flush()


def _show_json(rec, args):
    from tarnwick_collector.recording import show as render

    limits = _limits(args, render.JSON)
    text_limits = _limits(args, render.TEXT)
    sys.stdout.flush()
    out = sys.stdout.buffer
    summary = rec.meta_json("summary")
    _json_line(out, {"type": "recording", "file": args.file,
                     "script": render.to_json(rec.meta.get("script"), limits),
                     "complete": rec.complete,
                     "summary": render.to_json(summary, limits) if summary is not None else None})
    out.flush()
    tick = _Flusher(out)
    for row in _rows(rec, args, limits):
        view = render.CallView(*row, limits=limits)
        _json_line(out, render.call_json(view, limits, text_limits))
        tick()
    out.flush()


# --------------------------------------------------------------- stats

def stats(argv):
    import argparse

    from tarnwick_collector.recording import stats as figures
    from tarnwick_collector.recording.store import Recording, RecordingError

    parser = argparse.ArgumentParser(
        prog=f"{prog()} stats",
        description="What a recording holds, in figures: per function the calls recorded, "
                    "the calls dropped by reason, the external calls in its records and the "
                    "bytes of its records; the run's summary (calls, drops and losses, time, "
                    "threads).",
        epilog="Writes the figures to standard output, as text or as one JSON object. Only "
               "column aggregates are read, no record is decoded, so it is quick on large "
               "files. The file is not changed.")
    parser.add_argument("file")
    parser.add_argument("--json", action="store_true", help="one JSON object instead of text")
    args = parser.parse_args(argv)
    try:
        rec = Recording(args.file)
    except RecordingError as exc:
        return _fail(str(exc))
    try:
        found = figures.gather(rec)
    except RecordingError as exc:
        return _fail(str(exc))
    finally:
        rec.close()
    if args.json:
        sys.stdout.flush()
        _json_line(sys.stdout.buffer, found)
        sys.stdout.buffer.flush()
    else:
        try:
            sys.stdout.reconfigure(errors="backslashreplace")
        except (AttributeError, ValueError):
            pass
        print(figures.text(found))
    return 0


# ---------------------------------------------------------------- main

def prog():
    """How the user called us, for usage lines."""
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return PROG if name == PROG else "python -m tarnwick_collector"


def _quiet_pipe(command, rest):
    # A reader that stops early (| head) ends the output, not with a traceback.
    try:
        return command(rest)
    except BrokenPipeError:
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except OSError:
            pass
        return 0


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or argv[0] in ("-h", "--help", "help"):
        print(f"usage: {prog()} COMMAND ...\n\n{USAGE}")
        return 0 if argv else 2
    command, rest = argv[0], argv[1:]
    if command == "record":
        return record(rest)
    if command == "show":
        return _quiet_pipe(show, rest)
    if command == "stats":
        return _quiet_pipe(stats, rest)
    if command == "demo":
        if rest and rest[0] in ("-h", "--help"):
            print(f"usage: {prog()} demo MODULE_FILE\n\nPrint the metadata and call records "
                  "built by hand for the functions of MODULE_FILE (imported and run).\n"
                  "Writes them to standard output; no file is written.")
            return 0
        if len(rest) != 1:
            return _fail(f"usage: {prog()} demo MODULE_FILE")
        from tarnwick_collector.demo import main as demo

        demo(rest[0])
        return 0
    if command.endswith(".py") and os.path.exists(command):
        return _fail(f"did you mean: {prog()} record {command}?")
    return _fail(f"unknown command {command!r}; use record, show, stats or demo")
