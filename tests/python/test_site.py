"""korvo.site: korvo-site's column engine from Python, its files byte for byte."""

import subprocess

import numpy as np
import pandas as pd
import pytest

import korvo
from conftest import SOURCE, program

EXAMPLES = SOURCE / "examples" / "eql"


@pytest.mark.parametrize("method", ["eql", "linear"])
def test_write_equals_korvo_site(method, tmp_path):
    profile, record = EXAMPLES / "clay30.toml", EXAMPLES / "elc180.txt"
    subprocess.run([program("KORVO_SITE_BINARY", "bin/korvo-site"), profile, record,
                    "--method", method, "--scale-pga", "0.3g", "--at", "12", "--at", "30",
                    "-o", tmp_path / "cli"], check=True, capture_output=True)
    r = korvo.site(profile, record, method=method, scale_pga="0.3g", at=[12, 30])
    r.write(tmp_path / "py" / "made")  # the folder is made
    cli = sorted(p.name for p in (tmp_path / "cli").iterdir())
    assert cli == sorted(p.name for p in (tmp_path / "py" / "made").iterdir())
    for name in cli:
        assert (tmp_path / "cli" / name).read_bytes() == \
            (tmp_path / "py" / "made" / name).read_bytes(), name
    # What the files hold, as arrays: the motion at 12 m asked afterwards is the
    # one written, and the layer table's last row is the half-space.
    # Bit for bit needs pandas' correctly rounded parser; its default may be one ulp off.
    written = pd.read_csv(tmp_path / "cli" / "depth_12.csv", float_precision="round_trip")
    assert np.array_equal(r.acceleration_at(12.0), written["accel_g"])
    assert r.layers["layer"].iloc[-1] == "halfspace"
    assert r.converged and (len(r.iterations) == 0) == (method == "linear")


def test_arrays_and_refusals():
    a = np.loadtxt(EXAMPLES / "elc180.txt")[:, 1]
    r = korvo.site(EXAMPLES / "clay30.toml", (a, 0.01), method="linear", unit="g")
    f = korvo.site(EXAMPLES / "clay30.toml", EXAMPLES / "elc180.txt", method="linear")
    # The file's dt is the mean spacing of its times; the same column either way.
    assert abs(r.dt - f.dt) < 1e-12
    assert np.allclose(r.surface, f.surface, rtol=0, atol=1e-9 * np.abs(f.surface).max())
    cases = [
        (dict(motion=(a, -0.01)), korvo.KorvoError, "dt must be a number above 0"),
        (dict(motion=(a, 0.01), method="plastic"), korvo.KorvoError, "method is 'linear' or 'eql'"),
        (dict(motion=(a, 0.01), strain_ratio=65), korvo.KorvoError, "strain_ratio must be"),
        (dict(motion=(a, 0.01), nfft=100), korvo.KorvoError, "shorter than the record's 4000"),
        (dict(motion=(a, 0.01), unit="furlong"), korvo.KorvoError, "unit is one of"),
        (dict(motion=(a[:, None], 0.01)), korvo.KorvoError, "one-dimensional"),
        (dict(motion=None), TypeError, "motion is a record file or a pair"),
        (dict(motion=(a, 0.01), tol="x"), TypeError, "tol must be a number"),
    ]
    for kwargs, error, words in cases:
        with pytest.raises(error, match=words):
            korvo.site(EXAMPLES / "clay30.toml", **kwargs)


def test_uniform_layer_peaks_at_the_quarter_wavelength(tmp_path):
    # Lightly damped, the first peak of a uniform layer's outcrop transfer
    # function lies at Vs / 4H whatever the half-space: 250 / 80 = 3.125 Hz.
    (tmp_path / "u.toml").write_text(
        'water_table = 0\n[[layer]]\nname = "u"\nthickness = 20\nunit_weight = 18\n'
        'vs = 250\nmodel = "linear"\ndamping_pct = 0.5\n'
        '[halfspace]\nunit_weight = 22\nvs = 900\ndamping_pct = 0.5\n')
    a = np.random.default_rng(1).normal(size=2048)
    r = korvo.site(tmp_path / "u.toml", (a, 0.01), method="linear")
    assert r.f0 == pytest.approx(3.125)
    assert abs(r.first_peak - 3.125) <= r.frequency[1]
    assert r.vs30 == pytest.approx(30 / (20 / 250 + 10 / 900))


def test_write_refuses_a_folder_another_run_writes_in(tmp_path):
    import fcntl
    import os

    r = korvo.site(EXAMPLES / "clay30.toml", EXAMPLES / "elc180.txt", method="linear")
    fd = os.open(tmp_path, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)  # what korvo, korvo-site or a suite in progress holds
        with pytest.raises(korvo.KorvoError, match="another run is writing its results in"):
            r.write(tmp_path)
        assert list(tmp_path.iterdir()) == []
    finally:
        os.close(fd)
    assert len(r.write(tmp_path)) == 5
