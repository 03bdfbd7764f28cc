"""The size guard on ordinary values, against pympler's asizeof(obj, limit=3).

For each value: the guard's time, pympler's time, their ratio, and whether
the verdicts agree. Then how often pympler is still reached on a mix of
ordinary library values (the guard's own counters).
"""

import collections
import datetime
import decimal
import enum
import fractions
import pathlib
import time
import uuid

from pympler import asizeof

from tarnwick_collector.data_collection import harvest

from timing import best as _timing_best


def best(fn, seconds=0.3, rounds=9):
    return _timing_best(fn, seconds, rounds)

LIMIT = harvest.MAX_STRING_SIZE


class Color(enum.Enum):
    RED = 1
    BLUE = 2


class Plain:
    pass


class Point:
    __slots__ = ("x", "y")

    def __init__(self, x, y):
        self.x, self.y = x, y


def instance():
    p = Plain()
    p.when, p.colour, p.items = datetime.date(2024, 5, 1), Color.RED, [1, 2, 3]
    return p


def cases():
    return {
        "dict of 20 items": {f"key{i}": i * 1.5 for i in range(20)},
        "instance: date, enum, list": instance(),
        "datetime.date": datetime.date(2024, 1, 2),
        "Decimal": decimal.Decimal("12.3456"),
        "enum member": Color.BLUE,
        "OrderedDict": collections.OrderedDict((str(i), [i]) for i in range(10)),
        "bound method": instance().__init__,
        "slots instance": Point(1.0, [2.0]),
        "list of 100 instances": [instance() for _ in range(100)],
    }


def library_mix():
    # What a recorded library passes around: small objects of every kind.
    mix = []
    for i in range(200):
        p = instance()
        p.n = i
        mix += [p, {"id": i, "tags": ["a", "b"], "at": datetime.datetime(2024, 1, 1, i % 24)},
                decimal.Decimal(i) / 7, fractions.Fraction(i, 3), uuid.UUID(int=i),
                pathlib.PurePosixPath("/srv", str(i)), Color.RED, (i, str(i)),
                collections.OrderedDict(a=i), p.__init__, Point(i, i), [p, p], b"x" * i,
                "text %d" % i, i, None]
    return mix


def main():
    print(f"{'value':28} {'guard':>10} {'pympler':>10} {'ratio':>7}  same verdict")
    for name, value in cases().items():
        guard = best(lambda: harvest.is_size_too_big(value))
        pym = best(lambda: asizeof.asizeof(value, limit=3))
        same = harvest.is_size_too_big(value) is (asizeof.asizeof(value, limit=3) > LIMIT)
        print(f"{name:28} {guard * 1e6:8.2f}us {pym * 1e6:8.2f}us {pym / guard:6.0f}x  {same}")

    mix = library_mix()
    before = harvest._size_guard_stats()
    t0 = time.perf_counter()
    for _ in range(10):
        for value in mix:
            harvest.is_size_too_big(value)
    elapsed = time.perf_counter() - t0
    after = harvest._size_guard_stats()
    measured = after["measured"] - before["measured"]
    reached = after["pympler"] - before["pympler"]
    print(f"library mix: {10 * len(mix)} guard calls, {measured} measured, "
          f"pympler reached {reached} times ({reached / max(measured, 1):.4%}), "
          f"{elapsed / (10 * len(mix)) * 1e6:.2f}us a call")


if __name__ == "__main__":
    main()
