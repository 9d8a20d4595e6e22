#!/usr/bin/env python3
"""Whole-process time of the two reference runs, side by side for one or more
korvo executables: min and median wall time over N runs, on 2 cores and on
one (taskset -c 0), and the peak resident memory of one run of each
(GNU time).

The machine is shared: the minimum is the figure to compare, the median shows
how noisy the runs were.

With --load, a busy loop keeps core 1 busy for the whole measurement, and
each executable runs alternately free (both cores) and pinned to core 0: the
ratio free / pinned shows whether a second thread still pays when its core is
taken (above 1, the run would have been faster alone).

usage: bench/compare.py [-n N] [--inputs DIR] [--cores 1,2] [--load] KORVO [KORVO ...]
  Inputs come from bench/make_inputs.sh (run it first). KORVO may be given as
  NAME=VALUE:path to run it with NAME=VALUE, e.g. KORVO_THREADS=1:build/release/bin/korvo.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

CASES = {
    "typical": "16384 pairs, 50 layers, QEXP 0.3, 20 deg, horizontal",
    "worst": "32768 pairs, 50 layers, vertical, integrate, band-pass",
}


def split(korvo):
    """ "NAME=VALUE:path" runs path with NAME=VALUE in its environment."""
    env = dict(os.environ)
    if "=" in korvo.split(":")[0] and ":" in korvo:
        setting, korvo = korvo.split(":", 1)
        name, value = setting.split("=", 1)
        env[name] = value
    return os.path.abspath(korvo), env


def run_once(korvo, workdir, answers, cores):
    korvo, env = split(korvo)
    cmd = [korvo]
    if cores == 1:
        cmd = ["taskset", "-c", "0"] + cmd
    with open(answers, "rb") as stdin:
        start = time.perf_counter()
        done = subprocess.run(cmd, cwd=workdir, stdin=stdin, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=env)
        elapsed = time.perf_counter() - start
    if done.returncode != 0 or b"Program terminated" not in done.stdout:
        sys.exit(f"{korvo} failed: {done.stderr.decode(errors='replace').strip()}")
    return elapsed


def loaded(args, inputs, work):
    busy = subprocess.Popen(["taskset", "-c", "1", "sh", "-c", "while :; do :; done"])
    try:
        time.sleep(0.2)
        print(f"{'case':8} {'korvo':>24}  {'free min / median':>18}  {'pinned min / median':>20}"
              f"  {'ratio':>5}")
        for case in CASES:
            for k in args.korvo:
                free, pinned = [], []
                for _ in range(args.n):
                    free.append(run_once(k, work, os.path.join(inputs, case), 2))
                    pinned.append(run_once(k, work, os.path.join(inputs, case), 1))
                mf, mp = statistics.median(free), statistics.median(pinned)
                print(f"{case:8} {os.path.relpath(k):>24}  {1e3 * min(free):8.1f} / {1e3 * mf:6.1f}"
                      f"  {1e3 * min(pinned):10.1f} / {1e3 * mp:6.1f}  {mf / mp:5.2f}", flush=True)
    finally:
        busy.kill()
        busy.wait()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("-n", type=int, default=30, help="runs per case (default 30)")
    ap.add_argument("--inputs", default=os.path.join(os.path.dirname(__file__), "inputs"))
    ap.add_argument("--cores", default="2,1", help="core counts to try (1 and/or 2)")
    ap.add_argument("--load", action="store_true",
                    help="core 1 kept busy by another process; free against pinned")
    ap.add_argument("korvo", nargs="+")
    args = ap.parse_args()

    inputs = os.path.abspath(args.inputs)
    for name in ("r16k.txt", "r32k.txt", "soil50.dat", *CASES):
        if not os.path.exists(os.path.join(inputs, name)):
            sys.exit(f"missing {inputs}/{name}: run bench/make_inputs.sh first")
    cores = [int(c) for c in args.cores.split(",")]

    with tempfile.TemporaryDirectory() as work:
        for f in ("r16k.txt", "r32k.txt", "soil50.dat"):
            shutil.copy(os.path.join(inputs, f), work)
        if args.load:
            loaded(args, inputs, work)
            return
        print(f"{'case':8} {'cores':>5}  " + "  ".join(f"{os.path.relpath(k):>24}" for k in args.korvo))
        print(f"{'':8} {'':5}  " + "  ".join(f"{'min / median ms':>24}" for _ in args.korvo))
        for case in CASES:
            for c in cores:
                cells = []
                # Interleaved, so that a burst of load hits every executable alike.
                times = {k: [] for k in args.korvo}
                for _ in range(args.n):
                    for k in args.korvo:
                        times[k].append(run_once(k, work,
                                                 os.path.join(inputs, case), c))
                for k in args.korvo:
                    t = times[k]
                    cells.append(f"{1e3 * min(t):10.1f} / {1e3 * statistics.median(t):8.1f}")
                print(f"{case:8} {c:5}  " + "  ".join(f"{x:>24}" for x in cells), flush=True)
        if shutil.which("/usr/bin/time"):
            for case in CASES:
                for k in args.korvo:
                    with open(os.path.join(inputs, case), "rb") as stdin:
                        path, env = split(k)
                        done = subprocess.run(["/usr/bin/time", "-f", "%M", path], env=env,
                                              cwd=work, stdin=stdin, stdout=subprocess.DEVNULL,
                                              stderr=subprocess.PIPE)
                    kb = int(done.stderr.split()[-1])
                    print(f"peak memory, {case}, {os.path.relpath(k)}: {kb / 1024:.1f} MB")
        else:
            print("peak memory: GNU time missing (apt-get install -y time)")
    for case, what in CASES.items():
        print(f"  {case}: {what}")


if __name__ == "__main__":
    main()
