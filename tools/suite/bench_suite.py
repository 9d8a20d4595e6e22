"""Times suites: runs per second in process, the gain from one to two Dask
worker processes (on suites of the study's size), and a whole study (runs,
tables and figures).

    PYTHONPATH=build/release/python /usr/bin/python3 tools/suite/bench_suite.py [REPEATS]

The case: records of 4096 samples at 0.01 s (El Centro 1940, shifted so that
no two are alike) through a 20-layer profile, korvo.suite's default periods
and frequencies. Each rate is the best of REPEATS (default 3): on a shared
machine the fastest repeat is the one least disturbed. Beside it, the CPU time
a run took (all threads of the process, or of the Dask workers), which other
programs on the machine disturb much less than the wall clock.
"""

import os
import sys
import tempfile
import time

import numpy as np

import korvo

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def records(count):
    base = korvo.read_record(os.path.join(SOURCE, "examples", "elc180.txt"))
    t = np.arange(4096, dtype=np.float32) * np.float32(0.01)
    return {f"elc{i:02d}": korvo.Record(t, np.roll(np.resize(base.accel, 4096), 211 * i), "g")
            for i in range(count)}


def profile():
    nl = 20
    vs = np.linspace(180.0, 520.0, nl)
    vs[-1] = 1200.0
    return korvo.Profile(rho=np.full(nl, 1.9), vp=2.0 * vs, qp=np.full(nl, 20.0), vs=vs,
                         qs=np.full(nl, 20.0), thickness=np.where(np.arange(nl) < nl - 1, 2.5, 0))


def _cpu(client):
    if client is None:
        return time.process_time()
    return sum(client.run(time.process_time).values())


def best_rate(repeats, recs, client=None, **kw):
    """Best runs/s over the repeats, every repeat's, and the least CPU ms a run."""
    rates, cpu = [], []
    for _ in range(repeats):
        before = _cpu(client)
        res = korvo.suite(recs, profile(), seed=1, client=client, **kw)
        cpu.append(1000.0 * (_cpu(client) - before) / res.runs)
        rates.append(res.runs / res.elapsed)
    return max(rates), rates, min(cpu)


def show(label, rate, rates, cpu):
    print(f"{label}: {rate:.0f} runs/s (repeats {', '.join(f'{r:.0f}' for r in rates)}); "
          f"{cpu:.1f} ms CPU a run")


def free_cores(repeats):
    """What the machine gives now: sha256 of 16 MiB (the GIL released) in one
    thread and in two, best of the repeats. A ratio near 1 means other
    programs hold the second core, and no rate below can show two."""
    import hashlib
    from concurrent.futures import ThreadPoolExecutor

    data = bytes(1 << 24)
    best = {}
    for n in (1, 2):
        for _ in range(repeats):
            began = time.perf_counter()
            with ThreadPoolExecutor(n) as pool:
                list(pool.map(lambda _: hashlib.sha256(data).digest(), range(8)))
            best[n] = max(best.get(n, 0.0), 8 / (time.perf_counter() - began))
    print(f"machine: sha256 in 2 threads over 1 thread: {best[2] / best[1]:.2f}x")


def main(repeats):
    free_cores(repeats)
    recs = records(4)
    show(f"in process, {os.cpu_count()} threads", *best_rate(repeats, recs, realizations=60))
    show("in process, 1 thread", *best_rate(repeats, recs, realizations=60, workers=1))

    try:
        import dask
        from distributed import Client, LocalCluster
    except ImportError:
        print("dask.distributed missing: no cluster timings")
    else:
        # The study's size: Dask's own cost per suite (a few hundred ms: the
        # scatter, the task round trips) weighs less than on the short suites
        # above. Once with the workers' statistical profiler as Dask starts
        # them, once without it (it samples every 10 ms, on a core the other
        # worker would use).
        study = records(10)
        for profiler in (True, False):
            best = {}
            with dask.config.set({"distributed.worker.profile.enabled": profiler}):
                for n in (1, 2):
                    with LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, Client(cluster) as client:
                        rate, rates, cpu = best_rate(repeats, study, client, realizations=100)
                    best[n] = rate
                    show(f"dask, 1000 runs, profiler {'on' if profiler else 'off'}, "
                         f"{n} worker process{'es' if n > 1 else ''}", rate, rates, cpu)
            print(f"dask, profiler {'on' if profiler else 'off'}, 2 workers over 1: "
                  f"{best[2] / best[1]:.2f}x")

    study = []
    for _ in range(repeats):
        with tempfile.TemporaryDirectory() as folder:
            began = time.perf_counter()
            res = korvo.suite(records(10), profile(), realizations=100, seed=1)
            res.write(folder)
            study.append(time.perf_counter() - began)
    print(f"10 records x 100 realizations, tables and figures: {min(study):.1f} s "
          f"(repeats {', '.join(f'{s:.1f}' for s in study)})")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 3)
