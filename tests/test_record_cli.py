"""record and show, run the way a user runs them: real scripts in subprocesses."""

import json
import os
import sqlite3
import subprocess
import sys
import textwrap

import pytest

from tarnwick_collector.cli import UsageError, parse_record
from tarnwick_collector.recording import show, store

PY = sys.executable

HELPERS = """
import json
FACTOR = 4

class Box:
    def __init__(self, items):
        self.items = list(items)

    def push(self, x):
        self.items.append(x)
        return len(self.items)

def encode(data):
    return json.dumps(data, sort_keys=True)

def explode(n):
    raise KeyError(n)
"""

MAIN = """
import sys, threading
import helpers

def scaled(x):
    return x * helpers.FACTOR

def safe():
    try:
        helpers.explode("k")
    except KeyError as exc:
        return repr(exc)

def worker(out):
    out.append(scaled(10))

if __name__ == "__main__":
    box = helpers.Box([1])
    box.push(2)
    print(helpers.encode({"b": box.items}))
    print(safe())
    out = []
    t = threading.Thread(target=worker, args=(out,), name="w1")
    t.start()
    t.join()
    print(out, sys.argv[1:])
    print("to stderr", file=sys.stderr)
"""


def write(folder, files):
    for name, text in files.items():
        (folder / name).write_text(textwrap.dedent(text))
    return str(folder / "main.py")


def run(*args, cwd=None):
    return subprocess.run([PY, *args], capture_output=True, text=True, timeout=300, cwd=cwd)


def record(tmp_path, script, *args, out="rec.db"):
    out = str(tmp_path / out)
    proc = run("-m", "tarnwick_collector", "record", "--out", out, script, *args, cwd=tmp_path)
    return proc, out


def views(out, function=None):
    rec = store.Recording(out)
    try:
        return [show.CallView(*row) for row in rec.calls(function)]
    finally:
        rec.close()


def one(out, function):
    found = views(out, function)
    assert len(found) == 1, [v.function for v in views(out)]
    return found[0]


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    folder = tmp_path_factory.mktemp("app")
    script = write(folder, {"helpers.py": HELPERS, "main.py": MAIN})
    proc, out = record(folder, script, "x", "--flag")
    assert proc.returncode == 0, proc.stderr
    return proc, out


def test_the_recording_holds_what_the_program_did(recorded):
    proc, out = recorded
    assert proc.stdout.splitlines()[-1] == "[40] ['x', '--flag']"
    push = one(out, "helpers.Box.push")
    assert show.fmt(push.args_before) == "(helpers.Box(items=[1]), 2)"
    assert show.fmt(push.args_after) == "(helpers.Box(items=[1, 2]), 2)"
    assert push.returned == 2 and push.exception is None
    encode = one(out, "encode")
    assert encode.returned == '{"b": [1, 2]}'
    assert [(e.function, e.returned) for e in encode.external] == [
        ("json.dumps", '{"b": [1, 2]}')]
    assert show.fmt(encode.globals["json"]) == "<module json>"
    explode = one(out, "explode")
    assert show.fmt(explode.exception) == "KeyError('k')"
    assert explode.args_before == ("k",)
    assert one(out, "safe").returned == "KeyError('k')"
    scaled = one(out, "scaled")
    assert scaled.args_before == (10,) and scaled.returned == 40
    assert scaled.thread == "w1" and one(out, "worker").thread == "w1"
    assert "helpers" in scaled.globals


def test_summary_is_one_line_at_the_end(recorded):
    proc, out = recorded
    *program, last = proc.stderr.splitlines()
    assert program == ["to stderr"]
    assert last.startswith("tarnwick: recorded ") and last.endswith(out)
    assert "external call" in last and "dropped 0" in last


def test_show_table_and_json(recorded):
    _, out = recorded
    table = run("-m", "tarnwick_collector", "show", out)
    assert table.returncode == 0, table.stderr
    assert "helpers.Box.push" in table.stdout and "json.dumps -> '{\"b\": [1, 2]}'" in table.stdout
    only = run("-m", "tarnwick_collector", "show", out, "--function", "explode", "--json")
    head, *calls = [json.loads(line) for line in only.stdout.splitlines()]
    assert [c["function"] for c in calls] == ["helpers.explode"]
    assert calls[0]["exception"]["text"] == "KeyError('k')"
    assert head["summary"]["calls"] == len(views(out)) and head["complete"]


ENDINGS = {
    "plain": """
        import atexit, sys, threading
        def helper(n):
            return [i * i for i in range(n)]
        atexit.register(lambda: print("atexit ran"))
        t = threading.Thread(target=lambda: print("thread", helper(3)))
        t.start(); t.join()
        print(__name__, __file__, sys.argv, sys.path[0])
        print("err line", file=sys.stderr)
    """,
    "exit_code": "import sys\nprint('bye')\nsys.exit(3)\n",
    "exit_text": "import sys\nsys.exit('fatal: no config')\n",
    "uncaught": """
        def inner(x):
            return 1 / x
        def outer():
            try:
                inner(0)
            except ZeroDivisionError as exc:
                raise RuntimeError("wrapped") from exc
        print("before")
        outer()
    """,
    "syntax": "def broken(:\n    pass\n",
    "interrupt": "print('start')\nraise KeyboardInterrupt\n",
}


@pytest.mark.parametrize("ending", sorted(ENDINGS))
@pytest.mark.parametrize("hooks", ["on", "off"])
def test_output_and_status_are_the_programs_own(tmp_path, ending, hooks):
    script = write(tmp_path, {"main.py": ENDINGS[ending]})
    plain = run(script, "a1", cwd=tmp_path)
    if hooks == "on":
        proc, out = record(tmp_path, script, "a1")
        assert os.path.exists(out)
    else:
        proc = run("-m", "tarnwick_collector", "record", "--no-hooks", script, "a1", cwd=tmp_path)
    assert proc.returncode == plain.returncode
    assert proc.stdout == plain.stdout
    *program, last = proc.stderr.splitlines(keepends=True)
    assert "".join(program) == plain.stderr
    assert last.startswith("tarnwick: ")


def test_crafted_recording_is_shown_without_running_it(tmp_path):
    marker = tmp_path / "marker"
    out = str(tmp_path / "evil.db")
    store.create(out, {"script": "evil.py"})
    system = f"cos\nsystem\n(S'touch {marker}'\ntR.".encode()
    code = f"open({str(marker)!r}, 'w').write('ran')"
    run_code = f"cbuiltins\nexec\n(S{code!r}\ntR.".encode()
    # A record whose argument bytes are themselves a pickle calling exec.
    record_bytes = (b"\x80\x04ctarnwick_collector.data_collection.invocations\nUserFunctionCall\n)\x81}"
                    b"(\x8c\x0cpre_run_args" + b"C" + bytes([len(run_code)]) + run_code
                    + b"\x8c\x0creturn_value" + b"C" + bytes([len(system)]) + system + b"ub.")
    conn = sqlite3.connect(out)
    conn.executemany("INSERT INTO calls (function, data) VALUES (?, ?)",
                     [("evil.a", system), ("evil.b", run_code), ("evil.c", record_bytes)])
    conn.commit()
    conn.close()
    for extra in ([], ["--json"]):
        proc = run("-m", "tarnwick_collector", "show", out, *extra)
        assert proc.returncode == 0, proc.stderr
        assert not marker.exists()
    lines = run("-m", "tarnwick_collector", "show", out, "--json").stdout.splitlines()
    calls = [json.loads(line) for line in lines[1:]]
    assert calls[0]["error"] == f"not a call record: os.system('touch {marker}')"
    assert calls[1]["error"].startswith("not a call record: exec(")
    assert calls[2]["returned"]["text"] == f"os.system('touch {marker}')"
    assert calls[2]["args"]["text"].startswith("exec(")


@pytest.mark.parametrize("setup, args, message", [
    (None, ["record", "missing.py"], "can't open file 'missing.py'"),
    (None, ["record"], "record needs a SCRIPT"),
    ("text", ["show", "f.db"], "not a recording"),
    ("damaged", ["show", "f.db"], "damaged recording"),
    (None, ["show", "nothing.db"], "no such file"),
    (None, ["bogus"], "unknown command"),
])
def test_clear_errors(tmp_path, setup, args, message):
    path = tmp_path / "f.db"
    if setup == "text":
        path.write_text("just text\n")
    elif setup == "damaged":
        store.create(str(path))
        conn = sqlite3.connect(str(path))
        conn.execute("PRAGMA journal_mode = DELETE")
        conn.executemany("INSERT INTO calls (function, data) VALUES (?, ?)",
                         [("f", os.urandom(4000)) for _ in range(20)])
        conn.commit()
        (root,), = conn.execute("SELECT rootpage FROM sqlite_master WHERE name = 'calls'")
        (page,), = conn.execute("PRAGMA page_size")
        conn.close()
        with open(path, "r+b") as f:
            f.seek((root - 1) * page)  # the table's root page, from its header on
            f.write(b"\x00\xff" * 4000)
    proc = run("-m", "tarnwick_collector", *args, cwd=tmp_path)
    assert proc.returncode == 2
    lines = proc.stderr.strip().splitlines()
    assert message in lines[0] and lines[0].startswith("tarnwick: error: ")
    assert len(lines) <= 2 and proc.stdout == ""


def test_record_options_end_at_the_script():
    assert parse_record(["--out", "o.db", "app.py", "--out", "x", "-v"]) == (
        "o.db", None, "app.py", ["--out", "x", "-v"])
    flags = set()
    assert parse_record(["--no-hooks", "a.py", "--no-hooks"], flags)[3] == ["--no-hooks"]
    assert flags == {"no-hooks"}
    assert parse_record(["--project=src", "--", "-odd.py"]) == (
        "-odd.recording.db", "src", "-odd.py", [])
    options = {}
    assert parse_record(["--max-calls", "5", "a.py"], None, options)[2] == "a.py"
    assert options == {"max_calls": 5}
    parse_record(["--max-calls=0", "a.py"], None, options)
    assert options == {"max_calls": 0}
    for bad in (["--out"], ["--nope", "a.py"], [], ["--max-calls", "-1", "a.py"],
                ["--max-calls", "x", "a.py"]):
        with pytest.raises(UsageError):
            parse_record(bad)


def test_console_script_and_help(recorded, tmp_path):
    _, out = recorded
    script = os.path.join(os.path.dirname(PY), "tarnwick")
    assert os.path.exists(script)
    same = subprocess.run([script, "show", out], capture_output=True, text=True, timeout=120)
    assert same.returncode == 0 and same.stdout == run("-m", "tarnwick_collector", "show",
                                                        out).stdout
    top = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert top.returncode == 0 and top.stdout.startswith("usage: tarnwick COMMAND")
    for command in ("record", "show", "stats", "demo"):
        proc = subprocess.run([script, command, "--help"], capture_output=True, text=True,
                              timeout=60)
        assert proc.returncode == 0 and proc.stderr == "", command
        assert proc.stdout.startswith(f"usage: tarnwick {command}"), proc.stdout[:80]
        assert "Writes" in proc.stdout, command


LONG_RUN = """
import sys, time

def step(i):
    return i * 2

end = time.time() + 1.8
n = 0
while time.time() < end:
    step(n)
    n += 1
    time.sleep(0.002)
print("out", n > 0)
print("err line", file=sys.stderr)
"""


def test_status_line_only_on_a_terminal(tmp_path):
    script = write(tmp_path, {"main.py": LONG_RUN})
    proc, out = record(tmp_path, script)
    assert proc.returncode == 0 and proc.stdout == "out True\n"
    assert proc.stderr.splitlines()[:-1] == ["err line"] and "\r" not in proc.stderr

    import pty
    import select

    master, slave = pty.openpty()
    child = subprocess.Popen([PY, "-m", "tarnwick_collector", "record", "--out",
                              str(tmp_path / "tty.db"), script], stdout=subprocess.PIPE,
                             stderr=slave, cwd=tmp_path)
    os.close(slave)
    seen = b""
    while True:
        ready, _, _ = select.select([master], [], [], 60)
        if not ready:
            break
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the child closed its end
            break
        if not chunk:
            break
        seen += chunk
    assert child.wait(60) == 0
    os.close(master)
    assert child.stdout.read() == b"out True\n"
    child.stdout.close()
    text = seen.decode("utf-8", "replace").replace("\r\n", "\n")
    assert "\rtarnwick: recording, " in text and " calls, " in text
    # Erased before the summary, which stays the last line.
    before, summary = text.rsplit("\r\x1b[K", 1)
    assert summary.startswith("err line\n") or "err line" in before
    assert summary.rstrip("\n").splitlines()[-1].startswith("tarnwick: recorded ")
CAPPED = """
def step(i):
    return i + 1

def other(i):
    return step(i)

for i in range(6):
    other(i)
"""


def test_max_calls_bounds_the_records_of_each_function(tmp_path):
    script = write(tmp_path, {"main.py": CAPPED})
    out = str(tmp_path / "rec.db")
    proc = run("-m", "tarnwick_collector", "record", "--max-calls", "4", "--out", out, script,
               cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    names = sorted(v.function for v in views(out))
    assert names == ["__main__.other"] * 4 + ["__main__.step"] * 4
    last = proc.stderr.splitlines()[-1]
    assert "recorded 8 calls" in last and "4 not recorded over the cap of 4 per function" in last
    proc = run("-m", "tarnwick_collector", "record", "--no-hooks", "--max-calls", "4", script,
               cwd=tmp_path)
    assert "traced 8 calls and 4 over the cap of 4" in proc.stderr


def test_an_early_stop_is_one_line_before_the_summary():
    from tarnwick_collector.recording.session import stopped_text, summary_line

    base = {"calls": 3, "dropped": {}, "external_calls": 0, "lost_calls": 0,
            "lost_metrics": 0, "seconds": 1.0, "data_process": {"exit_status": 0},
            "metrics_process": {"exit_status": 0}}
    assert summary_line({**base, "stopped": None}, "r.db").count("\n") == 0
    full = {"reason": "the program took the sys.monitoring tool id 2", "seconds": 0.5,
            "calls": 1}
    head, tail = summary_line({**base, "stopped": full}, "r.db").split("\n")
    assert head == ("tarnwick: recording stopped at 0.50s, after 1 call: "
                    "the program took the sys.monitoring tool id 2")
    assert tail.startswith("tarnwick: recorded 3 calls")
    # A backend that only says why; a stored summary with odd fields.
    assert stopped_text({"reason": "the program set its own trace function",
                         "seconds": None, "calls": None}, "tracing") == \
        "tracing stopped: the program set its own trace function"
    assert stopped_text({"reason": "why", "seconds": "soon", "calls": -1}) == \
        "recording stopped: why"
    assert stopped_text({"reason": 7}) is None and stopped_text("odd") is None
