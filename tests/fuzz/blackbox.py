#!/usr/bin/env python3
"""Black-box fuzzing of the companion commands: korvo-site and korvo-suite run
on mutated copies of their example inputs (profile, record, suite file, options)
for a bounded time. A finding is anything a user must never see:

  - death by a signal, an exit status other than the documented ones, a hang;
  - a sanitizer report or a Python traceback;
  - a refusal that is not one line starting with the program's name;
  - a result file holding nan or inf, or a temporary left behind;
  - a failed run that leaves a file.

usage: tests/fuzz/blackbox.py site|suite SECONDS [--bin DIR] [--seed N] [--keep DIR]

Each finding's inputs and output are kept under --keep (default
build/fuzz/blackbox/<command>/); exit status 1 when there is any.
"""

import argparse
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]

# Values that have broken number handling somewhere: zero and signs, the ends of
# float and double, denormals, non-numbers, and counts beyond any buffer.
NUMBERS = ["0", "-0", "-1", "1e-12", "1e-45", "1e-320", "3.4e38", "1e38", "-1e38", "1e300",
           "1.8e308", "nan", "inf", "-inf", "2147483648", "99999999999999999999", "0.5",
           "1e5", "0x10", "1e", "--1", "+", ".", "1.5+3", "1D2", "-3.5e-3"]
WORDS = ["", "\"\"", "[]", "true", "{}", "\"darendeli\"", "\"linear\"", "\"x\"",
         "[[layer]]", "[units]", "=", "\"ft\"", "\"USGS A\"", "\"\\u0000\""]
NUMBER = re.compile(rb"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eEdD][-+]?\d+)?")


def mutate_text(data: bytes, rng: random.Random) -> bytes:
    for _ in range(rng.randint(1, 3)):
        kind = rng.randrange(9)
        lines = data.split(b"\n")
        if kind <= 2:  # a number replaced by a hard one
            spans = [m.span() for m in NUMBER.finditer(data)]
            if spans:
                a, b = rng.choice(spans)
                data = data[:a] + rng.choice(NUMBERS).encode() + data[b:]
        elif kind == 3 and len(lines) > 1:  # a line dropped
            del lines[rng.randrange(len(lines))]
            data = b"\n".join(lines)
        elif kind == 4 and lines:  # a line repeated
            i = rng.randrange(len(lines))
            lines[i:i] = [lines[i]] * rng.choice([1, 2, 50])
            data = b"\n".join(lines)
        elif kind == 5 and data:  # cut short
            data = data[:rng.randrange(len(data))]
        elif kind == 6 and data:  # a byte changed
            i = rng.randrange(len(data))
            data = data[:i] + bytes([rng.randrange(256)]) + data[i + 1:]
        elif kind == 7:  # a value replaced by a word (TOML type faults)
            m = list(re.finditer(rb"= *([^\n]*)", data))
            if m:
                g = rng.choice(m)
                data = data[:g.start(1)] + rng.choice(WORDS).encode() + data[g.end(1):]
        elif kind == 8 and lines:  # a line's ending changed
            i = rng.randrange(len(lines))
            lines[i] += rng.choice([b"\r", b"\t", b" ,", b"\x00", b" 1 2 3"])
            data = b"\n".join(lines)
    return data


class Target:
    """One command: its seed inputs, options and the checks of its outcome."""

    def __init__(self, bindir: pathlib.Path):
        self.bindir = bindir

    def prepare(self, work: pathlib.Path, rng: random.Random) -> list:
        raise NotImplementedError


class Site(Target):
    name = "korvo-site"
    seeds = {
        "profile.toml": ["examples/eql/clay30.toml", "examples/eql/layered100.toml"],
        "record.txt": ["examples/eql/elc180.txt", "examples/eql/reston360.txt"],
        "record.at2": ["tests/data/tools/IELC180.AT2"],
        "record.smc": ["tests/data/tools/2516b_a.smc"],
    }
    statuses = {0, 1, 2}

    def prepare(self, work, rng):
        profile = (ROOT / rng.choice(self.seeds["profile.toml"])).read_bytes()
        kind = rng.choice(["record.txt", "record.txt", "record.at2", "record.smc"])
        record = (ROOT / rng.choice(self.seeds[kind])).read_bytes()
        which = rng.randrange(3)
        if which != 1:
            profile = mutate_text(profile, rng)
        if which != 0:
            record = mutate_text(record, rng)
        (work / "profile.toml").write_bytes(profile)
        (work / kind).write_bytes(record)
        args = [str(self.bindir / self.name), "profile.toml", kind, "-o", "out"]
        # Mostly sound values, so that runs get past the options into the work;
        # now and then one the command must refuse. A nonlinear run takes its
        # own options (few sub-steps: the sanitized engine is slow).
        if rng.random() < 0.3:
            args += ["--method", "nonlinear", "--substeps", rng.choice(["1", "2", "5"])]
            options = {
                "--max-element": (["0.5", "2", "30"], ["0", "1e-9"]),
                "--unloading": (["masing", "mrdf"], ["plastic"]),
                "--loops": (["5", "5,10", "0"], ["-1", "x"]),
                "--rayleigh": (["1,5", "0.1,50"], ["5,1", "0,1"]),
                "--viscous": (["rayleigh", "frequency-independent"], ["modal"]),
                "--at": (["0", "5", "29.9"], ["1e9", "-1"]),
                "--input": (["outcrop", "within"], ["up"]),
                "--unit": (["g", "cm/s^2"], ["furlong"]),
                "--scale-pga": (["0.3g", "1e-6g", "2g"], ["0", "1e30"]),
                "--fmax": (["25", "5"], ["0"]),
                "--strict": ([], []),
                "--baseline": (["mean", "linear"], ["cubic"]),
            }
            for opt in rng.sample(sorted(options), rng.randint(0, 3)):
                good, bad = options[opt]
                if not good:
                    args.append(opt)
                    continue
                args += [opt, rng.choice(bad if rng.random() < 0.1 else good)]
            return args
        args.append("--plain")
        options = {
            "--method": (["linear", "eql", "fdeql"], ["x", ""]),
            "--smoothing": (["ka", "flat"], ["cubic"]),
            "--at": (["0", "5", "2.5", "29.9"], ["1e9", "-1", "nan"]),
            "--input": (["outcrop", "within"], ["up"]),
            "--unit": (["g", "cm/s^2", "m/s^2", "gal"], ["furlong"]),
            "--scale-pga": (["0.3g", "294 cm/s^2", "1e-6g"], ["0", "1e30", "-1g"]),
            "--fmax": (["25", "50", "0.5"], ["0", "1e9"]),
            "--nfft": (["1024", "65536", "262144"], ["3", "8388608"]),
            "--pad": (["0", "10", "100"], ["1e6", "-1"]),
            "--max-iter": (["1", "15", "100"], ["0", "1000000"]),
            "--tol": (["0.02", "1e-6"], ["0", "1"]),
            "--strain-ratio": (["0.65", "1"], ["65", "1e-9"]),
            "--scale": (["2", "0.5"], ["0", "1e300"]),
            "--baseline": (["mean", "linear"], ["cubic"]),
            "--band-pass": (["0.1,0.2,10,15", "0,0,20,inf", "1,1,2,2"], ["3,2,1,0", "1,2,3", "x"]),
        }
        for opt in rng.sample(sorted(options), rng.randint(0, 3)):
            good, bad = options[opt]
            args += [opt, rng.choice(bad if rng.random() < 0.1 else good)]
        return args


class Suite(Target):
    name = "korvo-suite"
    statuses = {0, 1, 2}

    def prepare(self, work, rng):
        suite = (ROOT / "examples/suite/SUITE.toml").read_text()
        suite = suite.replace("realizations = 100", f"realizations = {rng.choice([1, 2, 3])}")
        suite = suite.replace('"../elc180.txt", "../../tests/data/tools/*.AT2"',
                              '"elc180.txt", "*.AT2"')
        suite = suite.replace('"../shake91ex.soil"', '"shake91ex.soil"')
        suite = suite.replace("count = 50", "count = 10").replace("count = 100", "count = 10")
        files = {
            "SUITE.toml": suite.encode(),
            "elc180.txt": (ROOT / "examples/elc180.txt").read_bytes(),
            "IELC180.AT2": (ROOT / "tests/data/tools/IELC180.AT2").read_bytes(),
            "shake91ex.soil": (ROOT / "examples/shake91ex.soil").read_bytes(),
        }
        for name in rng.sample(sorted(files), rng.randint(1, 2)):
            files[name] = mutate_text(files[name], rng)
        for name, data in files.items():
            (work / name).write_bytes(data)
        args = [str(self.bindir / self.name), "SUITE.toml", "-o", "out", "-q", "--workers", "1"]
        if rng.random() < 0.8:
            args.append("--no-figures")
        return args


FINITE = re.compile(rb"\b(?:nan|inf)\b|-nan", re.IGNORECASE)
SANITIZER = re.compile(r"AddressSanitizer|UndefinedBehaviorSanitizer|runtime error:|LeakSanitizer")


def judge(target, status, err: str, work: pathlib.Path):
    """What is wrong with this outcome, or None."""
    if status is None:
        return "hang"
    if status < 0:
        return f"signal {-status}"
    if status not in target.statuses:
        return f"exit status {status}"
    if SANITIZER.search(err):
        return "sanitizer report"
    if "Traceback" in err:
        return "traceback"
    out = work / "out"
    files = sorted(out.iterdir()) if out.is_dir() else []
    if any(".partial" in p.name or p.name.startswith(".") for p in files):
        return "temporary left"
    if status != 0:
        faults = [ln for ln in err.splitlines() if not ln.startswith(f"{target.name}: warning")]
        # A refusal is one line naming the program; usage errors add a hint line.
        if not faults or not faults[0].startswith(f"{target.name}: ") or len(faults) > 2:
            return "refusal not one line"
        if files and "cannot write" not in err:
            return "files from a refused run"
    for p in files:
        if p.suffix in (".txt", ".csv") and FINITE.search(p.read_bytes()):
            return f"nan or inf in {p.name}"
    return None


def preload(package: pathlib.Path) -> dict:
    """A sanitized extension module loads in the system's python only with the
    sanitizer's runtime loaded first (and leaks of the interpreter not counted)."""
    for so in package.glob("_korvo*.so"):
        linked = subprocess.run(["ldd", str(so)], capture_output=True, text=True).stdout
        if "libasan" in linked:
            lib = lambda name: subprocess.run(["g++", f"-print-file-name={name}"],
                                              capture_output=True, text=True).stdout.strip()
            return {"LD_PRELOAD": f"{lib('libasan.so')} {lib('libstdc++.so')}",
                    "ASAN_OPTIONS": "detect_leaks=0"}
    return {}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("command", choices=["site", "suite"])
    ap.add_argument("seconds", type=float)
    ap.add_argument("--bin", type=pathlib.Path, default=ROOT / "build" / "sanitize" / "bin")
    ap.add_argument("--seed", type=int, default=int(time.time()))
    ap.add_argument("--keep", type=pathlib.Path)
    ap.add_argument("--timeout", type=float, default=120)
    a = ap.parse_args()
    target = (Site if a.command == "site" else Suite)(a.bin.resolve())
    keep = a.keep or ROOT / "build" / "fuzz" / "blackbox" / a.command
    rng = random.Random(a.seed)
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=0",
               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1", MPLBACKEND="Agg")
    if a.command == "suite":
        env.update(preload(a.bin.resolve().parent / "python" / "korvo"))
    end = time.monotonic() + a.seconds
    runs, findings, statuses, slowest = 0, 0, {}, 0.0
    while time.monotonic() < end:
        with tempfile.TemporaryDirectory(prefix="korvo-bb-") as tmp:
            work = pathlib.Path(tmp)
            args = target.prepare(work, rng)
            start = time.monotonic()
            try:
                done = subprocess.run(args, cwd=work, capture_output=True, text=True,
                                      errors="replace", timeout=a.timeout, env=env)
                status, err = done.returncode, done.stderr
            except subprocess.TimeoutExpired as e:
                status, err = None, (e.stderr or b"").decode(errors="replace")
            slowest = max(slowest, time.monotonic() - start)
            runs += 1
            statuses[status] = statuses.get(status, 0) + 1
            fault = judge(target, status, err, work)
            if fault:
                findings += 1
                dest = keep / f"{findings:03d}"
                shutil.rmtree(dest, ignore_errors=True)
                shutil.copytree(work, dest)
                (dest / "command").write_text(" ".join(args[1:]) + f"\n{fault}\n")
                (dest / "stderr").write_text(err)
                print(f"finding {findings}: {fault}: {dest}", flush=True)
    print(f"{target.name}: {runs} runs in {a.seconds:.0f} s (seed {a.seed}), statuses "
          f"{dict(sorted(statuses.items(), key=str))}, slowest {slowest:.1f} s, "
          f"{findings} findings")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
