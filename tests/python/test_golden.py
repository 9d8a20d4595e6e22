"""The golden runs through the API: the same bytes as the console program, and
the arrays and summary numbers those files and the console were formed from."""

import numpy as np
import pytest

import korvo
from conftest import GOLDEN, answers_as_arguments, golden_cases


def bits(a):
    return np.ascontiguousarray(a).view(np.uint32)


def printed(console: str, label: str):
    """The numbers after `label` on the console, as printed."""
    line = next(l for l in console.splitlines() if label in l)
    return [float(x) for x in line.split("=")[1].split()]


def close_to_printed(value: float, shown: float) -> bool:
    # Seven significant digits: half a unit of the seventh, and a hair for the
    # single-precision value itself.
    return abs(value - shown) <= 5.1e-7 * abs(shown)


@pytest.mark.parametrize("case", golden_cases())
def test_files_are_the_console_files(case, tmp_path):
    src = GOLDEN / case
    args = answers_as_arguments((src / "answers").read_text())
    result = korvo.run(src / "accel.dat", src / "soil.dat", **args)
    result.write(tmp_path)
    for name in ("S_amp1", "amp_dat", "korvo_dat"):
        assert (tmp_path / name).read_bytes() == (src / "expected" / name).read_bytes(), name


@pytest.mark.parametrize("case", golden_cases())
def test_arrays_and_summary(case):
    src = GOLDEN / case
    args = answers_as_arguments((src / "answers").read_text())
    record, profile = korvo.read_record(src / "accel.dat"), korvo.Profile.read(src / "soil.dat")
    r = korvo.run(record, profile, **args)

    # transfer() alone gives the very values the run wrote to S_amp1.
    alone = korvo.transfer(profile, r.nf, r.dt, args["wave"])
    assert alone.shape == (r.lines, 2) and alone.dtype == np.complex64
    assert np.array_equal(bits(alone), bits(r.transfer))

    assert r.frequency[0] == 0 and r.spectrum[0] == 0
    assert r.time.shape == r.motion.shape == (r.samples,)
    assert r.samples == len(record) and r.dt == record.dt

    # The console's names, read against what it prints, are aliases of the clear ones.
    for old, new in korvo.RunResult._ALIASES.items():
        assert getattr(r, old) == getattr(r, new), old
    console = (src / "expected" / "console.txt").read_text()
    assert printed(console, "NT and DT=")[0] == r.NT
    assert printed(console, "IF1,NF=") == [r.IF1, r.NF]
    DUR, DOM, NOM, EOM = printed(console, "DUR,DOM,NOM,EOM=")
    assert NOM == r.NOM
    for value, shown in [(r.DT, printed(console, "NT and DT=")[1]), (r.DUR, DUR), (r.DOM, DOM),
                         (r.EOM, EOM)]:
        assert close_to_printed(value, shown)
    # Printed with 17 significant digits.
    assert abs(r.highest_frequency - printed(console, "Highest Frequency")[0]) < 1e-14
    AMIN, AMAX = printed(console, "Min and Max amplitudes")
    assert close_to_printed(r.AMIN, AMIN) and close_to_printed(r.AMAX, AMAX)
