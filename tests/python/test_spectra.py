"""response_spectrum is korvo-spectra's engine: the same numbers as the command
on the same history, and the ground peaks of the samples as given."""

import os
import subprocess

import numpy as np
import pandas as pd
import pytest

import korvo
from conftest import SOURCE, program


@pytest.fixture(scope="module")
def surface(tmp_path_factory):
    folder = tmp_path_factory.mktemp("run")
    result = korvo.run(SOURCE / "examples" / "elc180.txt", SOURCE / "examples" / "shake91ex.soil",
                       band_pass=(0.5, 1.5, 90, 120))
    # The samples as they are (korvo_dat shows four digits), each in the
    # fewest digits that read back as the same single-precision number.
    history = folder / "history"
    history.write_text("".join(f"{i * 0.01:.2f} {np.format_float_scientific(a, unique=True)}\n"
                               for i, a in enumerate(result.motion)))
    assert result.DT == np.float32(0.01)
    return result, history


def command_spectra(history, folder, options):
    out = folder / "spectra"
    subprocess.run([program("KORVO_SPECTRA_BINARY", "bin/korvo-spectra"), *options, "-o", out,
                    history], check=True, capture_output=True)
    note = dict(l.split(": ", 1) for l in (folder / "spectra.note").read_text().splitlines())
    peaks = [float(note[q].split()[0]) for q in ("PGA", "PGV", "PGD")]
    return pd.read_csv(out), peaks


def agree(a, b):
    # %14.6e: half a unit of the seventh digit, and a hair for single precision.
    return np.all(np.abs(np.asarray(a, dtype=float) - b) <= 5.1e-7 * np.abs(b))


@pytest.mark.parametrize("options,keywords", [
    ([], {}),
    (["--no-oversample", "--damping", "0.02"], {"oversample": False, "damping": 0.02}),
])
def test_same_as_korvo_spectra(surface, tmp_path, options, keywords):
    result, history = surface
    table, (pga, pgv, pgd) = command_spectra(history, tmp_path, options)
    s = korvo.response_spectrum(result.motion, result.DT, **keywords)
    assert len(s.periods) == len(table) == 100
    # The history is in g: the command's velocities and displacements in cm/s and cm.
    cm = 980.665
    for column, values in [("period_s", s.periods), ("psa_g", s.psa), ("sv_cm_s", s.sv * cm),
                           ("sd_cm", s.sd * cm)]:
        assert agree(values, table[column].to_numpy()), column
    assert agree([s.pga, s.pgv * cm, s.pgd * cm], np.array([pga, pgv, pgd]))
    assert s.oversampling == (1 if "--no-oversample" in options else 20)


def test_ground_acceleration_peak_is_the_largest_sample():
    accel = np.array([0.0, 0.3, -0.7, 0.2, 0.0], dtype=np.float32)
    s = korvo.response_spectrum(accel, 0.01, periods=[0.5])
    assert s.pga == np.float32(0.7)
    # v(t) from rest, straight lines between samples: 0.0015, -0.0005, -0.003, -0.002.
    assert s.pgv == pytest.approx(0.003, rel=1e-6)


def test_a_record_brings_its_interval_and_writes_make_their_folder(tmp_path):
    rec = korvo.read_record(SOURCE / "examples" / "elc180.txt")
    whole = korvo.response_spectrum(rec)
    assert np.array_equal(whole.psa, korvo.response_spectrum(rec.accel, 0.01).psa)
    with pytest.raises(TypeError, match="dt, s, is needed"):
        korvo.response_spectrum(rec.accel)
    paths = korvo.run(rec, SOURCE / "examples" / "shake91ex.soil").write(tmp_path / "a" / "b")
    assert all(os.path.getsize(p) > 0 for p in paths)
