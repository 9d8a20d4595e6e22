"""Every table the companion commands and a suite write loads with a plain
pandas.read_csv: one header row whose names carry their units, numbers that
are numbers and finite (blank only where a row has no such value)."""

import re
import subprocess

import numpy as np
import pytest

import korvo
from conftest import SOURCE, TOOLS_DATA, program

pd = pytest.importorskip("pandas")

EQL = SOURCE / "examples" / "eql"
UNITS = r"(s|hz|g|cm_s2|m_s2|m|ft|m_s|ft_s|cm_s|cm|pct|kpa|kn_m3|pcf)"
# A quantity with its unit (depth_m, psa_input_cm_s2), or one column of a wide
# table with its period or frequency (psa_g_0.02s, ratio_0.5s, transfer_2hz).
WITH_UNIT = re.compile(rf"^[a-z0-9_]+_{UNITS}$"
                       r"|^(psa_(g|cm_s2|m_s2)|ratio|transfer)_[0-9.e+-]+(s|hz)$")
# Identifiers, text, and ratios, which have no unit; summary.csv gives its
# medians' and x's units in the columns unit and x_unit; rho is in the soil
# file's own unit.
NO_UNIT = {"sublayer", "layer", "iteration", "status", "record", "realization", "scope",
           "quantity", "unit", "x_unit", "x", "median", "ln_std", "n", "g_gmax",
           "max_change_g_gmax", "sublayer_g_gmax", "max_change_damping", "sublayer_damping",
           "contraction", "distance", "real", "imag", "modulus", "ratio", "rho", "qs", "qp"}
TEXT = {"layer", "status", "record", "scope", "quantity", "unit", "x_unit"}
# Cells left blank: the half-space's row of profile.csv has no thickness,
# strain or stress; the first iterations have no contraction estimate yet.
BLANK = {"profile.csv": {"mid_m", "thickness_m", "strain_eff_pct", "strain_peak_pct",
                         "stress_peak_kpa"},
         "iterations.csv": {"contraction", "distance"}}


def run(*args, cwd):
    done = subprocess.run([str(a) for a in args], cwd=cwd, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    return done


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """Every command run once, and a small suite, into one folder."""
    d = tmp_path_factory.mktemp("csv")
    site = program("KORVO_SITE_BINARY", "bin/korvo-site")
    spectra = program("KORVO_SPECTRA_BINARY", "bin/korvo-spectra")
    record = program("KORVO_RECORD_BINARY", "bin/korvo-record")
    run(site, EQL / "clay30.toml", EQL / "elc180.txt", "--at", "12", "-o", "site", cwd=d)
    run(site, EQL / "clay30.toml", EQL / "elc180.txt", "--unit", "m/s^2", "--method", "linear",
        "--scale-pga", "2.5", "-o", "site_ms2", cwd=d)
    run(record, TOOLS_DATA / "IELC180.AT2", "--units", "cm/s^2", "-o", "ielc180.csv", cwd=d)
    run(spectra, "ielc180.csv", "-o", "record_spectra.csv", cwd=d)
    run(record, TOOLS_DATA / "IELC180.AT2", "-o", "ielc180_g.csv", cwd=d)
    run(spectra, "ielc180_g.csv", "-o", "record_spectra_g.csv", cwd=d)
    run(spectra, "site/surface.csv", "-o", "surface_spectra.csv", cwd=d)
    res = korvo.suite([str(EQL / "elc180.txt"), str(TOOLS_DATA / "elCentro.AT2")],
                      SOURCE / "examples" / "shake91ex.soil", realizations=3, seed=1,
                      variation=korvo.Toro(length_unit="ft"), periods=[0.02, 0.5, 2.0],
                      frequencies=[0.5, 2.0, 8.0], workers=1)
    res.write(d / "suite", figures=False)
    return d


def test_every_table_loads_with_units(written):
    paths = sorted(written.rglob("*.csv"))
    names = {p.relative_to(written).as_posix() for p in paths}
    assert names >= {"site/surface.csv", "site/depth_12.csv", "site/profile.csv",
                     "site/iterations.csv", "site/transfer.csv", "site/spectra.csv",
                     "ielc180.csv", "record_spectra.csv", "surface_spectra.csv",
                     "suite/summary.csv", "suite/runs.csv", "suite/profiles.csv",
                     "suite/inputs.csv"}, names
    for path in paths:
        frame = pd.read_csv(path)
        where = path.relative_to(written)
        # A linear run iterates not at all: its iterations.csv is the header alone.
        assert len(frame.columns) >= 2, where
        assert len(frame) > 0 or str(where) == "site_ms2/iterations.csv", where
        blank = BLANK.get(path.name, set())
        for name in frame.columns:
            assert name in NO_UNIT or WITH_UNIT.match(name), f"{where}: {name!r} names no unit"
            column = frame[name]
            if name in TEXT or column.empty:
                continue
            assert pd.api.types.is_numeric_dtype(column), f"{where}: {name} is not numeric"
            values = column.to_numpy(dtype=float)
            assert not np.isinf(values).any(), f"{where}: {name} holds inf"
            if name not in blank:
                assert not np.isnan(values).any(), f"{where}: {name} has blank cells"


def test_units_follow_the_record(written):
    header = {p: list(pd.read_csv(written / p, nrows=0).columns) for p in
              ("site_ms2/surface.csv", "site_ms2/spectra.csv", "ielc180.csv",
               "record_spectra.csv", "surface_spectra.csv", "suite/inputs.csv")}
    assert header["site_ms2/surface.csv"] == ["time_s", "accel_m_s2"]
    assert header["site_ms2/spectra.csv"] == ["period_s", "psa_input_m_s2", "psa_surface_m_s2",
                                              "ratio"]
    assert header["ielc180.csv"] == ["time_s", "accel_cm_s2"]
    # korvo-spectra takes the unit from the history's header.
    assert header["record_spectra.csv"] == ["period_s", "psa_cm_s2", "sv_cm_s", "sd_cm"]
    assert header["surface_spectra.csv"] == ["period_s", "psa_g", "sv_cm_s", "sd_cm"]
    assert header["suite/inputs.csv"] == ["record", "pga_g", "psa_g_0.02s", "psa_g_0.5s",
                                          "psa_g_2s"]
    # The same record in cm/s^2 and in g: PSA differs by 980.665, the
    # velocities and displacements (cm/s, cm) not at all.
    cm = pd.read_csv(written / "record_spectra.csv")
    g = pd.read_csv(written / "record_spectra_g.csv")
    assert np.allclose(cm["psa_cm_s2"], g["psa_g"] * 980.665, rtol=1e-5)
    for name in ("period_s", "sv_cm_s", "sd_cm"):
        assert np.allclose(cm[name], g[name], rtol=1e-5), name
    note = (written / "record_spectra.csv.note").read_text()
    assert "unit: cm/s^2\n" in note and " cm/s\n" in note
