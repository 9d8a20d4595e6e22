"""What the Python tests share: where the sources and korvo's programs are, and
the golden runs' answers as keyword arguments of korvo.run."""

import os
import pathlib
import subprocess

import pytest

SOURCE = pathlib.Path(os.environ.get("KORVO_SOURCE_DIR", pathlib.Path(__file__).parents[2]))
BUILD = SOURCE / "build" / "release"
GOLDEN = SOURCE / "tests" / "golden"
TOOLS_DATA = SOURCE / "tests" / "data" / "tools"


def pytest_configure(config):
    # pytest makes --basetemp itself but not the folder holding it (under the
    # build tree, one per test file, when ctest runs the tests).
    if config.option.basetemp:
        pathlib.Path(config.option.basetemp).parent.mkdir(parents=True, exist_ok=True)


def program(variable: str, default: str) -> pathlib.Path:
    path = pathlib.Path(os.environ.get(variable, BUILD / default))
    if not path.exists():
        pytest.skip(f"{path} not built")
    return path


def run_console(folder, answers: str):
    """korvo on `answers` in `folder`: (exit status, standard error)."""
    done = subprocess.run([program("KORVO_BINARY", "korvo")], cwd=folder, input=answers,
                          capture_output=True, text=True, timeout=120)
    return done.returncode, done.stderr


def golden_cases():
    return sorted(p.name for p in GOLDEN.iterdir() if p.is_dir())


def answers_as_arguments(text: str) -> dict:
    """A golden run's console answers as the keyword arguments of korvo.run.

    One answer a line, as in tests/golden: record, soil, wave type, the
    reference (asked again until 1 or 2), integrate/differentiate, band-pass
    yes/no and, on yes, the corners up to a '/'.
    """
    lines = iter(text.splitlines()[2:])
    iwave = int(next(lines))
    reference = int(next(lines))
    while reference not in (1, 2):
        reference = int(next(lines))
    intg = int(next(lines))
    band_pass = None
    if int(next(lines)) == 1:
        corners = next(lines).replace(",", " ").split("/")[0].split()
        band_pass = tuple(float(c) for c in corners)
    return {
        # Any answer other than 0 or 1 is the P-wave component.
        "wave": {0: "horizontal", 1: "vertical"}.get(iwave, "p"),
        "reference": reference,
        "conditioning": {1: "integrate", 2: "differentiate"}.get(intg),
        "band_pass": band_pass,
    }


def large_case(n=16384, layers=50):
    """A record of n samples at 0.005 s (two sines and a deterministic noise)
    and a damped profile of `layers` layers at 20 degrees, QEXP 0.3: every
    frequency line carries signal and forms its own velocities."""
    import numpy as np

    import korvo

    i = np.arange(n)
    t = i * 0.005
    noise = ((i * 1103515245 + 12345) % 2147483648) / 2147483648 - 0.5
    accel = 300 * np.sin(2 * np.pi * 1.3 * t) + 120 * np.sin(2 * np.pi * 7.1 * t) + 80 * noise
    k = np.arange(layers)
    vs = 150 + 20 * k
    profile = korvo.Profile(rho=1.7 + 0.01 * k, vp=2.1 * vs, qp=20 + 2 * k, vs=vs, qs=10 + k,
                            thickness=np.where(k < layers - 1, 3 + 0.1 * k, 0), qexp=0.3,
                            angle=20, iflag=1)
    return korvo.Record(t, accel), profile
