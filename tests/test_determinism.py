"""The same program, recorded twice, gives the same records: only what is
of the run itself (when a record was sent, its row number, how long the run
took, the file's name) may differ. Nothing of the program's own is run to
show a value, so no address of an object is in the records either."""

import json
import subprocess
import sys
import textwrap

SHAPES = """
import math

UNIT = 2.5
registry = {}


class Shape:
    count = 0

    def __init__(self, name):
        self.name = name
        Shape.count += 1
        registry[name] = self

    def area(self):
        raise NotImplementedError(self.name)

    def describe(self):
        return f"{self.name}: {self.area():.2f}"


class Circle(Shape):
    def __init__(self, name, r):
        super().__init__(name)
        self.r = r

    def area(self):
        return math.pi * self.r ** 2 * UNIT


class Square(Shape):
    def __init__(self, name, side):
        super().__init__(name)
        self.side = side

    def area(self):
        return self.side * self.side


class Token:
    def __init__(self, n):
        self.n = n

    def __repr__(self):
        return object.__repr__(self)  # an address: differs from run to run
"""

MAIN = """
import collections
import json
import threading

import shapes


def squares(n):
    for i in range(n):
        yield i * i


def total(n):
    return sum(squares(n))


def parse(text):
    try:
        return json.loads(text)
    except ValueError as exc:
        return {"error": type(exc).__name__}


def checked(shape):
    try:
        return shape.describe()
    except NotImplementedError as exc:
        return f"abstract {exc}"


def counted(words):
    return collections.Counter(words).most_common(2)


def tokens(k):
    return [shapes.Token(i) for i in range(k)], {i * 3 for i in range(k)}


def worker(results, n):
    results.append(total(n))
    results.append(checked(shapes.Square(f"sq{n}", n)))


def main():
    out = [checked(shapes.Circle("c", 1.5)), checked(shapes.Shape("blank"))]
    out.append(total(10))
    out.append(parse('{"a": [1, 2]}'))
    out.append(parse("{oops"))
    out.append(counted("a b a c b a".split()))
    out.append(len(tokens(3)[0]))
    out.append(sorted(shapes.registry))
    results = []
    t = threading.Thread(target=worker, args=(results, 7), name="helper")
    t.start()
    t.join()
    out.append(results)
    out.append(shapes.Shape.count)
    print(out)


main()
"""

def run(*args, cwd):
    proc = subprocess.run([sys.executable, *args], capture_output=True, text=True,
                          timeout=300, cwd=cwd)
    assert proc.returncode == 0, proc.stderr
    return proc


def recorded(tmp_path, app, name):
    out = str(tmp_path / name)
    run("-m", "tarnwick_collector", "record", "--out", out, str(app / "main.py"), cwd=app)
    lines = run("-m", "tarnwick_collector", "show", "--json", out, cwd=tmp_path).stdout
    head, *calls = [json.loads(x) for x in lines.splitlines()]
    summary = head["summary"]
    summary.pop("seconds")
    by_thread = {}
    for call in calls:
        assert call.pop("sent") is not None
        call.pop("id")
        # Threads interleave as the scheduler has it; each one's order is the program's.
        by_thread.setdefault(call["thread"], []).append(json.dumps(call, sort_keys=True))
    stats = json.loads(run("-m", "tarnwick_collector", "stats", "--json", out,
                           cwd=tmp_path).stdout)
    for key in ("file", "first_sent", "last_sent", "seconds"):
        stats.pop(key)
    return head["complete"], summary, by_thread, stats


def test_two_recordings_of_one_program_are_the_same(tmp_path):
    app = tmp_path / "app"
    app.mkdir()
    (app / "shapes.py").write_text(textwrap.dedent(SHAPES))
    (app / "main.py").write_text(textwrap.dedent(MAIN))
    first = recorded(tmp_path, app, "one.db")
    second = recorded(tmp_path, app, "two.db")
    complete, summary, by_thread, stats = first
    assert complete and summary["lost_calls"] == 0 and not summary["dropped"]
    assert sorted(by_thread) == ["MainThread", "helper"]
    functions = {json.loads(c)["function"] for calls in by_thread.values() for c in calls}
    assert {"shapes.Circle.area", "shapes.Shape.describe", "__main__.parse",
            "shapes.Token.__init__", "__main__.worker", "__main__.main"} <= functions
    assert summary["external_calls"] > 0 and summary["tracer"]["globals"] > 0
    assert first == second
