"""python -m tarnwick_collector record|show|demo ...

    record [--out FILE] [--project DIR] [--no-hooks] [--max-calls N] SCRIPT [ARGS...]
        run SCRIPT as ``python SCRIPT ARGS`` would, recording its project
        functions into FILE (default: SCRIPT's name + .recording.db); one
        summary line goes to standard error at the end; --no-hooks runs the
        tracing layer with the recording hooks switched off (nothing stored);
        --max-calls: calls recorded per function (default 1000, 0: no cap)
    show FILE [--function NAME] [--json]
        print the recorded calls as a table, or as JSON
    demo MODULE_FILE
        metadata and call records built by hand for a sample module
"""

import json
import os
import signal
import sys

USAGE = __doc__.split("\n", 2)[2].rstrip()
PROG = "tarnwick"


class UsageError(Exception):
    pass


def _fail(message, status=2):
    sys.stderr.write(f"{PROG}: error: {message}\n")
    sys.stderr.flush()
    return status


# -------------------------------------------------------------- record

def parse_record(argv, flags=None, options=None):
    """Options stop at the script: everything after it belongs to the script.
    Valued options other than --out and --project go into ``options``."""
    out = project = None
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg == "--":
            i += 1
            break
        if arg in ("-h", "--help"):
            raise UsageError("help")
        if arg == "--no-hooks":
            if flags is not None:
                flags.add("no-hooks")
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
            print(USAGE)
            return 0
        return _fail(f"{exc}\nusage: python -m tarnwick_collector {USAGE.splitlines()[0].strip()}")
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

    from tarnwick_collector.recording.session import Session, summary_line
    from tarnwick_collector.tracing import Tracer

    project_dir = project or os.path.dirname(os.path.abspath(script))
    session = Session(out, project_dir, script=os.path.abspath(script), argv=args)
    try:
        session.open()
    except Exception as exc:
        return _fail(f"cannot start the recording in '{out}': {exc}")
    tracer = Tracer(project_files=session.files, hooks=harvest, **options)
    pid = os.getpid()
    outcome = runner.run(script, args, on_start=tracer.start)
    tracer.stop()
    if os.getpid() != pid:
        # A forked child of the program ends here; the parent reports.
        _flush_std()
        return outcome.status
    summary = session.close(tracer.stats)
    _flush_std()
    try:
        os.write(2, (summary_line(summary, out) + "\n").encode("utf-8", "replace"))
    except OSError:
        pass
    if outcome.interrupted:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    return outcome.status


def _trace_only(script, args, project, options):
    import time

    from tarnwick_collector.recording import runner
    from tarnwick_collector.recording.session import project_files
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
        os.write(2, line.encode())
    if outcome.interrupted:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    return outcome.status


# ---------------------------------------------------------------- show

def parse_show(argv):
    import argparse

    parser = argparse.ArgumentParser(prog=f"python -m tarnwick_collector show",
                                     description="Print the calls of a recording.")
    parser.add_argument("file")
    parser.add_argument("--function", metavar="NAME",
                        help="only calls of this function (full name or its last parts)")
    parser.add_argument("--json", action="store_true", help="JSON instead of a table")
    return parser.parse_args(argv)


def show(argv):
    from tarnwick_collector.recording import show as render
    from tarnwick_collector.recording.store import Recording, RecordingError

    args = parse_show(argv)
    try:
        rec = Recording(args.file)
        try:
            views = [render.CallView(*row) for row in rec.calls(args.function)]
            summary = rec.meta_json("summary")
            meta = rec.meta
        finally:
            rec.close()
    except RecordingError as exc:
        return _fail(str(exc))
    if args.json:
        doc = {"script": meta.get("script"), "summary": summary,
               "calls": [render.call_json(v) for v in views]}
        json.dump(doc, sys.stdout, indent=2, ensure_ascii=False)
        sys.stdout.write("\n")
        return 0
    script = meta.get("script") or "?"
    line = f"recording of {script}"
    if isinstance(summary, dict):
        line += (f": {summary.get('calls', 0)} calls, "
                 f"{summary.get('external_calls', 0)} external calls, "
                 f"{summary.get('seconds', 0):.2f}s")
    print(line)
    if args.function and not views:
        print(f"no calls of {args.function}")
        return 0
    print()
    print(render.table(views))
    return 0


# ---------------------------------------------------------------- main

def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or argv[0] in ("-h", "--help", "help"):
        print(f"usage: python -m tarnwick_collector COMMAND ...\n\n{USAGE}")
        return 0 if argv else 2
    command, rest = argv[0], argv[1:]
    if command == "record":
        return record(rest)
    if command == "show":
        try:
            return show(rest)
        except BrokenPipeError:
            return 0
    if command == "demo":
        if len(rest) != 1:
            return _fail("usage: python -m tarnwick_collector demo MODULE_FILE")
        from tarnwick_collector.demo import main as demo

        demo(rest[0])
        return 0
    if command.endswith(".py") and os.path.exists(command):
        return _fail(f"did you mean: python -m tarnwick_collector record {command}?")
    return _fail(f"unknown command {command!r}; use record, show or demo")
