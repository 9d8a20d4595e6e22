"""Record files in each format: the numbers korvo reads from the pairs that
korvo-record writes, and the facts the files' headers state."""

import subprocess

import numpy as np
import pytest

import korvo
from conftest import TOOLS_DATA, program

# file, samples, dt (s), unit, peak |a| and its time (s) as the headers and
# the data's README state them
FILES = [
    ("IELC180.AT2", 4000, 0.01, "g", 0.3129, None),
    ("elCentro.AT2", 1559, 0.02, "g", 0.3188, None),
    ("2516b_a.smc", 41200, 0.005, "cm/s^2", 39.104, 47.615),
]


@pytest.mark.parametrize("name,samples,dt,unit,peak,peak_time", FILES, ids=[f[0] for f in FILES])
def test_header_facts(name, samples, dt, unit, peak, peak_time):
    r = korvo.read_record(TOOLS_DATA / name)
    assert (len(r), r.unit, r.format) == (samples, unit, name[-3:].lower())
    assert r.time.dtype == r.accel.dtype == np.float32
    assert r.dt == np.float32(dt) and r.time[-1] == np.float32(round((samples - 1) * dt, 3))
    at = int(np.argmax(np.abs(r.accel)))
    assert abs(abs(r.accel[at]) - peak) < 0.5e-3 * peak
    if peak_time is not None:
        assert abs(r.time[at] - peak_time) < dt / 2


@pytest.mark.parametrize("name", [f[0] for f in FILES])
def test_same_numbers_as_korvo_reads_from_korvo_record(name, tmp_path):
    pairs = tmp_path / "pairs.txt"
    subprocess.run([program("KORVO_RECORD_BINARY", "bin/korvo-record"), "--max",
                    str(korvo.NMAX), "-o", pairs, TOOLS_DATA / name], check=True,
                   capture_output=True)
    direct, via_pairs = korvo.read_record(TOOLS_DATA / name), korvo.read_record(pairs)
    assert via_pairs.format == "pairs" and via_pairs.unit is None
    n = len(via_pairs)
    assert n == min(len(direct), korvo.NMAX)
    assert np.array_equal(direct.time[:n], via_pairs.time)
    assert np.array_equal(direct.accel[:n], via_pairs.accel)


def test_a_record_too_long_for_a_run_is_refused_by_name_and_can_be_trimmed():
    smc = korvo.read_record(TOOLS_DATA / "2516b_a.smc")
    soil = TOOLS_DATA.parents[1] / "golden" / "reference_basic_h_input" / "soil.dat"
    with pytest.raises(korvo.KorvoError, match=r"2516b_a\.smc: NT>2\*\*15 !!!!! \(41200 samples, "
                       r"at most 32768\); trim it: record\[:32768\]"):
        korvo.run(smc, soil)
    head = smc[:korvo.NMAX]
    assert len(head) == korvo.NMAX and head.dt == smc.dt and head.unit == smc.unit
    assert korvo.run(head, soil).NT == korvo.NMAX
    # By time: samples at 0.005 s steps from 0, so [10, 20) s holds 2000 of them.
    window = korvo.read_record(TOOLS_DATA / "2516b_a.smc", start=10.0, stop=20.0)
    assert len(window) == 2000 and window.time[0] == np.float32(10.0)
    assert np.array_equal(window.accel, smc.accel[2000:4000])
    with pytest.raises(korvo.KorvoError, match="fewer than two samples"):
        korvo.read_record(TOOLS_DATA / "2516b_a.smc", start=500.0)
    with pytest.raises(korvo.KorvoError, match="step 2 would resample"):
        smc[::2]


def test_band_pass_corners_in_hz_are_the_corners_in_rad_per_s():
    soil = TOOLS_DATA.parents[1] / "golden" / "reference_basic_h_input" / "soil.dat"
    rec = korvo.read_record(TOOLS_DATA.parents[1].parent / "examples" / "elc180.txt")
    # 0.1, 0.2, 10 and 15 Hz times 2 pi, worked out by hand.
    rad = korvo.run(rec, soil, band_pass=(0.62831853, 1.2566371, 62.831853, 94.247780))
    hz = korvo.run(rec, soil, band_pass_hz=(0.1, 0.2, 10, 15))
    assert np.array_equal(hz.motion, rad.motion)
    with pytest.raises(korvo.KorvoError, match="give the corners once"):
        korvo.run(rec, soil, band_pass=(1, 2), band_pass_hz=(1, 2))


def test_pairs_beyond_the_arrays_are_refused(tmp_path):
    path = tmp_path / "long.txt"
    path.write_text("".join(f"{i * 0.01:.2f} 1\n" for i in range(korvo.NMAX + 2)))
    with pytest.raises(korvo.KorvoError, match=r"long\.txt: NT>2\*\*15 !!!!! \(32770 pairs"):
        korvo.read_record(path)
