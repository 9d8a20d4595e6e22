"""Times korvo.run in process against the console program, and a thread pool
of runs against one thread.

    PYTHONPATH=build/release/python /usr/bin/python3 python/bench/run_bench.py [KORVO] [REPEATS]

The case: 16384 samples at 0.005 s, 50 damped layers (QEXP 0.3) at 20
degrees, horizontal motion, reference 1, no conditioning. KORVO is the
console program (default build/release/bin/korvo); REPEATS runs of each kind, the
fastest and the median reported (default 20). Then eight runs in thread
pools of one and two, on this case (whose transfer lines a run already
spreads over the cores), on this case with each run kept to its thread
(threads=False, as suites run), and on the same record through two layers.
"""

import concurrent.futures
import os
import pathlib
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import korvo


def write_case(folder: pathlib.Path):
    i = np.arange(16384)
    t = i * 0.005
    noise = ((i * 1103515245 + 12345) % 2147483648) / 2147483648 - 0.5
    a = 300 * np.sin(2 * np.pi * 1.3 * t) + 120 * np.sin(2 * np.pi * 7.1 * t) + 80 * noise
    (folder / "accel.dat").write_text("".join(f"{x:.4f} {y:.5f}\n" for x, y in zip(t, a)))
    lines = ["%10.3f" % 20.0, "%10d" % 1, "%10d%10.3f" % (50, 0.3)]
    for k in range(50):
        vs = 150 + 20 * k
        lines.append("%8.2f%8.2f%8.2f%8.2f%8.2f%8.2f" % (1.7 + 0.01 * k, 2.1 * vs, 20 + 2 * k, vs,
                                                       10 + k, 3 + 0.1 * k if k < 49 else 0))
    (folder / "soil.dat").write_text("\n".join(lines) + "\n")
    (folder / "answers").write_text("accel.dat\nsoil.dat\n0\n1\n0\n0\n")


def cpu_seconds():
    """CPU time of this process and its finished children, s."""
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def timed(f, repeats):
    """Best and median wall time and the mean CPU time of one call, ms."""
    times = []
    cpu = cpu_seconds()
    for _ in range(repeats):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    cpu = (cpu_seconds() - cpu) / repeats
    return min(times) * 1e3, statistics.median(times) * 1e3, cpu * 1e3


def main():
    root = pathlib.Path(__file__).resolve().parents[2]
    console = pathlib.Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else root / "build/release/bin/korvo"
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        write_case(folder)
        record = korvo.read_record(folder / "accel.dat")
        profile = korvo.Profile.read(folder / "soil.dat")
        run = lambda: korvo.run(record, profile)
        run()

        rows = [("korvo.run, in process", timed(run, repeats)),
                ("korvo.run + write()", timed(lambda: run().write(folder), repeats))]
        if console.exists():
            answers = (folder / "answers").read_bytes()
            rows.append(("console program", timed(lambda: subprocess.run(
                [console], cwd=folder, input=answers, stdout=subprocess.DEVNULL, check=True),
                repeats)))
        for name, (best, median, cpu) in rows:
            print(f"{name:26s} best {best:7.2f} ms   median {median:7.2f} ms   CPU {cpu:7.2f} ms")

        # The second case keeps below the size at which a run splits its
        # transfer lines over the cores, so the pools alone share them out.
        two = {k: getattr(profile, k)[[0, -1]] for k in ("rho", "vp", "qp", "vs", "qs", "thickness")}
        two_layers = korvo.Profile(**two, qexp=profile.qexp, angle=profile.angle, iflag=profile.iflag)
        for name, f in (("50 layers", run),
                        ("50 layers, threads=False", lambda: korvo.run(record, profile,
                                                                       threads=False)),
                        ("2 layers", lambda: korvo.run(record, two_layers))):
            rates = []
            for workers in (1, 2):
                with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
                    def eight():
                        list(pool.map(lambda _: f(), range(8)))
                    best, median, cpu = timed(eight, max(3, repeats // 4))
                rates.append(8e3 / best)
                print(f"{name}: 8 runs, pool of {workers}  best {best:7.2f} ms   median {median:7.2f} ms"
                      f"   CPU {cpu:7.2f} ms   {rates[-1]:6.1f} runs/s at best")
            print(f"{name}: pool of 2 over pool of 1: {rates[1] / rates[0]:.2f}x")

if __name__ == "__main__":
    main()
