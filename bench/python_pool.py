#!/usr/bin/env python3
"""Throughput of korvo.run in a thread pool: batches of 8 runs of the
16384-sample, 50-layer case, in a pool of 1 thread and of 2, interleaved.
Each run keeps to its thread (threads=False), so a pool of n uses n cores.
Prints the min and median batch time of each pool and the throughput ratio
of their minima, then one run alone with its lines on both cores.

usage: PYTHONPATH=build/release/python /usr/bin/python3 bench/python_pool.py [BATCHES]
"""
import concurrent.futures
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
from conftest import large_case  # noqa: E402

import korvo  # noqa: E402

RUNS = 8


def main():
    batches = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    record, profile = large_case()
    pools = {n: concurrent.futures.ThreadPoolExecutor(n) for n in (1, 2)}
    times = {n: [] for n in pools}
    for n, pool in pools.items():  # threads started and pages touched before timing
        list(pool.map(lambda _: korvo.run(record, profile, threads=False), range(RUNS)))
    for _ in range(batches):
        for n, pool in pools.items():
            start = time.perf_counter()
            list(pool.map(lambda _: korvo.run(record, profile, threads=False), range(RUNS)))
            times[n].append(time.perf_counter() - start)
    for n, t in times.items():
        print(f"pool of {n}: {RUNS} runs min {1e3 * min(t):.1f} ms, median {1e3 * statistics.median(t):.1f} ms")
    print(f"throughput, pool of 2 / pool of 1: {min(times[1]) / min(times[2]):.2f} (minima), "
          f"{statistics.median(times[1]) / statistics.median(times[2]):.2f} (medians)")
    alone = []
    for _ in range(20):
        start = time.perf_counter()
        korvo.run(record, profile)
        alone.append(time.perf_counter() - start)
    print(f"one run, lines on every core: min {1e3 * min(alone):.2f} ms, "
          f"median {1e3 * statistics.median(alone):.2f} ms")


if __name__ == "__main__":
    main()
