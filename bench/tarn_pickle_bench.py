"""Dump time of the collector's pickler against the plain C pickler.

Every variant has a Python reducer_override answering NotImplemented, so the
difference is the cost of the failure-reducer route.
"""

import _pickle
import io
import sys
import timeit

from tarnwick_collector.data_serialization import tarn_pickle


class Record:
    def __init__(self, i):
        self.i = i
        self.name = "r%d" % i
        self.tags = ["a", "b"]


class Override:
    def reducer_override(self, obj):
        return NotImplemented


class Plain(Override, _pickle.Pickler):
    pass


class Tarn(Override, tarn_pickle.Pickler):
    pass


def placeholder(obj):
    return (str, (repr(obj),))


def run(make, data, number):
    def once():
        make(io.BytesIO()).dump(data)

    return min(timeit.repeat(once, number=number, repeat=5)) / number


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    data = [Record(i) for i in range(n)]
    variants = {
        "_pickle.Pickler": lambda f: Plain(f),
        "tarn_pickle, no failure reducer": lambda f: Tarn(f),
        "tarn_pickle, failure reducer": lambda f: Tarn(f, failure_reducer=placeholder),
    }
    base = None
    for name, make in variants.items():
        t = run(make, data, 20)
        base = base or t
        print("%-34s %8.1f us/dump  %5.2fx" % (name, t * 1e6, t / base))
    small = [Record(1)]
    for name, make in variants.items():
        print("%-34s %8.2f us/dump (one record)" % (name, run(make, small, 2000) * 1e6))


if __name__ == "__main__":
    main()
