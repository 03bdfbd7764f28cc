"""Timing shared by the in-process benchmarks."""

import time


def best(fn, seconds=0.4, rounds=15):
    """The best time of one call of `fn` over `rounds` runs, each long
    enough to take about `seconds / rounds`."""
    n = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        if time.perf_counter() - t0 > seconds / rounds:
            break
        n *= 2
    out = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        out.append((time.perf_counter() - t0) / n)
    return min(out)
