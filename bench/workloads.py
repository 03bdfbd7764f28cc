"""Programs the whole-process benchmarks run, shared between them."""

import os

HERE = os.path.dirname(os.path.abspath(__file__))
JSONISH = os.path.join(HERE, "jsonish")

_CPU = '''
def add(a, b):
    return a + b

def mul(a, b):
    return a * b

def poly(x):
    return add(mul(x, x), add(mul(3, x), 7))

def run(n):
    total = 0
    for i in range(n):
        total = add(total, poly(i) % 1000)
    return total

print(run({n}))
'''


def cpu_script(n=30000):
    """Plain project function calls: 6 a round, n rounds."""
    return _CPU.replace("{n}", str(n))


# The serializer library on the object graphs of library_driver_bench; the
# driver has no functions of its own, so with --project JSONISH only the
# library's calls are recorded.
_LIBRARY = '''
import sys
sys.path.insert(0, {bench!r})
from library_driver_bench import graph, workload
print(workload([graph(n) for n in range({graphs})]))
'''


def library_script(graphs=200):
    return _LIBRARY.replace("{bench!r}", repr(HERE)).replace("{graphs}", str(graphs))
