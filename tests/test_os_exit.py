"""A recorded program that ends with os._exit: its status and output stay its
own, what it recorded is stored, the summary is printed."""

import os
import sqlite3
import subprocess
import sys
import textwrap
import time

import pytest

from tarnwick_collector.recording.session import Session

PY = sys.executable


def run(tmp_path, source, *args, record=True):
    script = tmp_path / "app.py"
    script.write_text(textwrap.dedent(source))
    out = str(tmp_path / "rec.db")
    cmd = [PY, "-m", "tarnwick_collector", "record", "--out", out] if record else [PY]
    # Buffered output, so that what os._exit leaves unflushed shows.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    proc = subprocess.run([*cmd, str(script), *args], capture_output=True, text=True,
                          timeout=120, cwd=tmp_path, env=env)
    return proc, out


def stored(out):
    conn = sqlite3.connect(out)
    try:
        return dict(conn.execute("SELECT function, COUNT(*) FROM calls GROUP BY function"))
    finally:
        conn.close()


def summary(proc, out):
    *program, last = proc.stderr.splitlines()
    assert last.startswith("tarnwick: recorded ") and last.endswith(out), proc.stderr
    assert "lost" not in last, last
    return program, last


MAIN_THREAD = """
    import os, sys
    def double(i):
        return i * 2
    for i in range(1000):
        double(i)
    print("flushed", flush=True)
    print("left in the buffer")
    os._exit(int(sys.argv[1]))
"""


@pytest.mark.parametrize("status", [3, 0])
def test_exit_from_the_main_thread_keeps_every_record(tmp_path, status):
    plain, _ = run(tmp_path, MAIN_THREAD, str(status), record=False)
    proc, out = run(tmp_path, MAIN_THREAD, str(status))
    assert proc.returncode == plain.returncode == status
    # Output the program left unflushed is lost as it is without recording.
    assert proc.stdout == plain.stdout == "flushed\n"
    program, last = summary(proc, out)
    assert program == [] and "recorded 1000 calls" in last
    assert stored(out) == {"__main__.double": 1000}


OTHER_THREADS = """
    import os, threading
    def work(i):
        return i + 1
    def watchdog():
        for i in range(300):
            work(i)
        done.set()
        ready.wait()
        os._exit(4)
    def second():
        # A second os._exit while the first may be ending the recording.
        done.wait()
        ready.wait()
        os._exit(9)
    ready, done = threading.Event(), threading.Event()
    threading.Thread(target=watchdog, daemon=True).start()
    threading.Thread(target=second, daemon=True).start()
    for i in range(500):
        work(i)
    ready.set()
    threading.Event().wait()
"""


def test_exit_from_another_thread(tmp_path):
    proc, out = run(tmp_path, OTHER_THREADS)
    # Either thread may win the race, as without recording; nothing is lost.
    assert proc.returncode in (4, 9)
    summary(proc, out)
    assert stored(out) == {"__main__.work": 800}


FORKED = """
    import os, sys
    def step(i):
        return -i
    for i in range(200):
        step(i)
    pid = os.fork()
    if pid == 0:
        step(1000)
        os._exit(7)
    _, status = os.waitpid(pid, 0)
    print("child", os.waitstatus_to_exitcode(status), flush=True)
    for i in range(300):
        step(i)
    os._exit(5)
"""


def test_forked_child_just_exits(tmp_path):
    plain, _ = run(tmp_path, FORKED, record=False)
    proc, out = run(tmp_path, FORKED)
    assert proc.returncode == plain.returncode == 5
    assert proc.stdout == plain.stdout == "child 7\n"
    program, last = summary(proc, out)  # one summary: the parent's
    if sys.version_info >= (3, 12):
        # Known difference: the sender thread makes fork() warn that the
        # process is multi-threaded (the warning and its source line).
        program = [ln for ln in program if "multi-threaded, use of fork()" not in ln
                   and ln.strip() != "pid = os.fork()"]
    assert program == [] and "recorded 500 calls" in last
    assert stored(out) == {"__main__.step": 500}


SIGNALLED = """
    import os, signal
    def on_alarm(signum, frame):
        os._exit(6)
    def tick(i):
        return [i] * 3
    signal.signal(signal.SIGALRM, on_alarm)
    for i in range(200):
        tick(i)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    while True:
        tick(i)
"""


def test_exit_from_a_signal_handler_during_recorded_calls(tmp_path):
    proc, out = run(tmp_path, SIGNALLED)
    assert proc.returncode == 6
    _, last = summary(proc, out)
    calls = stored(out)["__main__.tick"]
    assert calls >= 200 and f"recorded {calls} calls" in last


BAD_ARGUMENTS = """
    import os
    class Status:
        calls = 0
        def __index__(self):
            Status.calls += 1
            return 2
    for bad in ("x", 2.5, 1 << 40):
        try:
            os._exit(bad)
        except Exception as exc:
            print(type(exc).__name__, exc)
    def last():
        print("index calls before:", Status.calls, flush=True)
    last()
    os._exit(status=Status())
"""


def test_arguments_are_checked_as_without_recording(tmp_path):
    plain, _ = run(tmp_path, BAD_ARGUMENTS, record=False)
    proc, out = run(tmp_path, BAD_ARGUMENTS)
    assert proc.returncode == plain.returncode == 2
    assert proc.stdout == plain.stdout
    assert "TypeError" in proc.stdout and "OverflowError" in proc.stdout
    summary(proc, out)
    assert stored(out) == {"__main__.last": 1, "__main__.Status.__index__": 1}


INTERRUPTED_SEND = """
    import os, signal, sys, time
    from tarnwick_collector.recording.session import Session
    session = Session(sys.argv[1], ".").open()
    for i in range(500):
        session.data.send_message(b"x" * 10)
    def ending(signum, frame):
        # Runs where a signal handler can: between two sends of a stream.
        accepted = session.data.stats.accepted
        s = session.close(timeout=2.0)
        print(s["calls"] == accepted, s["calls"] >= 500, s["lost_calls"],
              s["data_process"]["exit_status"], flush=True)
        os._exit(0)
    signal.signal(signal.SIGALRM, ending)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    while True:
        session.data.send_message(b"last")
        time.sleep(0.0005)
"""


def test_ending_from_inside_a_send_still_flushes(tmp_path):
    script = tmp_path / "send.py"
    script.write_text(textwrap.dedent(INTERRUPTED_SEND))
    proc = subprocess.run([PY, str(script), str(tmp_path / "s.db")], capture_output=True,
                          text=True, timeout=60)
    assert proc.stdout == "True True 0 0\n", proc.stderr


def test_bounded_ending_with_a_writer_that_never_reads(tmp_path):
    hung = [PY, "-c", "import time; time.sleep(120)"]
    session = Session(str(tmp_path / "s.db"), str(tmp_path),
                      channel_options={"command": hung, "max_messages": 100000}).open()
    for _ in range(20000):
        session.data.send_message(b"x" * 5000)
    started = time.monotonic()
    result = session.close(timeout=1.0)
    # Unbounded, the sender would wait a minute for the child.
    assert time.monotonic() - started < 15
    assert result["lost_calls"] > 0 and result["data_process"]["exit_status"] != 0


def test_the_real_exit_is_back_after_the_recording(tmp_path):
    (tmp_path / "app.py").write_text("import os\nprint(os._exit.__name__)\n")
    probe = subprocess.run(
        [PY, "-c", textwrap.dedent("""
            import os, sys
            from tarnwick_collector import cli
            real = os._exit
            cli.main(["record", "--out", sys.argv[1], sys.argv[2]])
            print(os._exit is real)
        """), str(tmp_path / "rec.db"), str(tmp_path / "app.py")],
        capture_output=True, text=True, timeout=120)
    assert probe.stdout == "_exit\nTrue\n", probe.stderr
