"""Suites through the column engine: the curve variation's statistics, and
runs that are korvo.site runs of the realized columns."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest

import korvo
from conftest import SOURCE

EQL = SOURCE / "examples" / "eql"


def clipped_moments(rho: float, c: float):
    """Standard deviation of a standard normal cut at +-c, and the
    correlation of two such cut deviates whose normals correlate by rho, by
    quadrature of the bivariate normal density (not by sampling)."""
    phi_c = math.exp(-c * c / 2) / math.sqrt(2 * math.pi)
    tail = 0.5 * math.erfc(c / math.sqrt(2))
    var = (1 - 2 * tail) - 2 * c * phi_c + 2 * c * c * tail
    x = np.linspace(-9.0, 9.0, 1801)
    X, Y = np.meshgrid(x, x, indexing="ij")
    density = np.exp(-(X * X - 2 * rho * X * Y + Y * Y) / (2 * (1 - rho * rho))) \
        / (2 * math.pi * math.sqrt(1 - rho * rho))
    h = x[1] - x[0]
    cov = np.sum(np.clip(X, -c, c) * np.clip(Y, -c, c) * density) * h * h
    return math.sqrt(var), cov / var, 2 * tail


def test_curve_draws_follow_the_published_spreads():
    # At a strain where the median G/Gmax is 0.5 and damping 5 %, 2000
    # realizations of one layer; the small-strain damping (1 %) lies below
    # every draw's cut, so no bound but the truncation acts.
    n, rho, c = 2000, -0.5, 2.0
    variation = korvo.CurveVariation(correlation=rho, truncation=c)
    g0, d0 = np.array([[1.0, 0.5]]), np.array([[1.0, 5.0]])
    g, d = np.empty(n), np.empty(n)
    for k in range(n):
        e_g, e_d = variation.deviates(11, k, 1)
        gk, dk = variation.vary(g0, d0, e_g, e_d)
        g[k], d[k] = gk[0, 1], dk[0, 1]
    # Darendeli (2001): sigma_NG = exp(-4.23) + sqrt(0.25 / exp(3.62)) at G/Gmax 0.5,
    # sigma_D = exp(-5) + exp(-0.25) sqrt(5) at 5 %.
    s_g = math.exp(-4.23) + math.sqrt(0.25 / math.exp(3.62))
    s_d = math.exp(-5.0) + math.exp(-0.25) * math.sqrt(5.0)
    sd, corr, at_bound = clipped_moments(rho, c)
    z_g, z_d = (g - 0.5) / s_g, (d - 5.0) / s_d
    for z in (z_g, z_d):
        assert abs(z.mean()) < 4 * sd / math.sqrt(n)
        assert z.std(ddof=1) == pytest.approx(sd, abs=4 * sd / math.sqrt(2 * n))
        assert np.max(np.abs(z)) <= c + 1e-12
        cut = np.mean(np.isclose(np.abs(z), c, rtol=0, atol=1e-9))
        assert cut == pytest.approx(at_bound, abs=4 * math.sqrt(at_bound * (1 - at_bound) / n))
    se = (1 - corr ** 2) / math.sqrt(n)
    assert np.corrcoef(z_g, z_d)[0, 1] == pytest.approx(corr, abs=4 * se)


def test_curve_bounds_hold_where_the_median_is_near_them():
    # Near G/Gmax 1 and at large strains a draw would pass 1 or fall below the
    # small-strain damping; bounds and monotonic curves hold for every draw.
    variation = korvo.CurveVariation()
    strains = np.geomspace(1e-4, 10.0, 30)
    g0 = 1.0 / (1.0 + (strains / 0.05) ** 0.92)
    d0 = 0.8 + 20.0 * (1.0 - g0)
    e = np.linspace(-2.0, 2.0, 9)
    g, d = variation.vary(np.tile(g0, (9, 1)), np.tile(d0, (9, 1)), e, -e)
    assert np.all(g <= 1.0) and np.all(g >= variation.min_modulus)
    assert np.all(np.diff(g, axis=1) <= 0.0) and np.all(np.diff(d, axis=1) >= 0.0)
    assert np.all(d >= d0[0]) and np.all(d < 100.0)


def record():
    return korvo.read_record(EQL / "elc180.txt")


@pytest.mark.parametrize("method, variation, curves, options", [
    ("eql", korvo.Toro(ln_std=0.0), None, {}),
    ("eql", korvo.Toro(layering=True, depth_ln_std=0.1), korvo.CurveVariation(), {}),
    ("linear", korvo.Toro(), None, {}),
    ("fdeql", korvo.Toro(), None, {}),
    ("nonlinear", korvo.Toro(), None, {}),
    ("nonlinear", korvo.Toro(), None, dict(viscous="frequency-independent", substeps=5)),
])
def test_a_realization_is_the_site_run_of_its_column(method, variation, curves, options):
    rec = record()
    motion = (rec.accel.astype(float), rec.dt)
    periods = korvo.site(EQL / "clay30.toml", motion, unit="g").periods
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        res = korvo.suite([rec], EQL / "clay30.toml", realizations=3, seed=5, periods=periods,
                          variation=variation, curves=curves, unit="g", method=method,
                          **options)
    for k in range(3):
        site = korvo.site(res.realization(k), motion, unit="g", method=method, **options)
        assert res.pga[0, k] == pytest.approx(np.max(np.abs(site.surface)), rel=1e-6)
        np.testing.assert_array_equal(res.psa[0, k], site.psa_surface)
        # The peak strain of the sublayer at each depth of the summary.
        peak = site.layers["strain_peak_pct"].to_numpy()[:-1]
        tops = site.layers["top_m"].to_numpy()
        inside = res.depths < tops[-1]
        at = np.searchsorted(tops, res.depths[inside], side="right") - 1
        np.testing.assert_allclose(res.strain[0, k, inside], peak[at], rtol=1e-6)
        assert np.all(np.isnan(res.strain[0, k, ~inside]))
    if variation.ln_std == 0.0:
        assert np.all(res.pga == res.pga[0, 0])


def test_dask_workers_give_the_same_table():
    distributed = pytest.importorskip("distributed")
    args = dict(records=[record()], profile=EQL / "clay30.toml", realizations=4, seed=3,
                curves=korvo.CurveVariation(), periods=[0.1, 1.0], unit="g")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        local = korvo.suite(**args, workers=2)
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            remote = korvo.suite(**args, client=client, chunk_size=1)
    pd.testing.assert_frame_equal(local.table, remote.table)


COLUMN_SUITE = """
records = ["{record}"]
profile = "{profile}"
realizations = 3
seed = 4
method = "eql"

[run]
unit = "g"
scale_pga = "0.1g"
tol = 1e-4

[spectra]
periods = {{ first = 0.05, last = 5.0, count = 8 }}

[curves]
variation = "{model}"
correlation = -0.3
"""


@pytest.mark.parametrize("model, status", [("darendeli", 0), ("menq", 1)])
def test_korvo_suite_runs_what_the_api_runs(tmp_path, model, status):
    from test_suite import korvo_suite

    (tmp_path / "SUITE.toml").write_text(COLUMN_SUITE.format(
        record=EQL / "elc180.txt", profile=EQL / "clay30.toml", model=model))
    done = korvo_suite("SUITE.toml", "-q", cwd=tmp_path)
    assert done.returncode == status, done.stderr
    if status:
        assert done.stderr.startswith("korvo-suite: SUITE.toml: [curves] variation")
        return
    assert "eql, USGS C, Darendeli curves, seed 4" in done.stdout
    api = korvo.suite([record()], EQL / "clay30.toml", realizations=3, seed=4, unit="g",
                      scale_pga="0.1g", tol=1e-4, periods=np.geomspace(0.05, 5.0, 8),
                      curves=korvo.CurveVariation(correlation=-0.3))
    out = tmp_path / "SUITE-results"
    runs = pd.read_csv(out / "runs.csv")
    np.testing.assert_allclose(runs.pga_g, api.pga.ravel(), rtol=1e-6)  # 7 digits
    strains = pd.read_csv(out / "strains.csv").filter(like="strain_pct_").to_numpy()
    np.testing.assert_allclose(strains, api.strain.reshape(3, -1), rtol=1e-6)
    summary = pd.read_csv(out / "summary.csv")
    assert set(summary.quantity) == {"pga", "psa", "ratio", "strain", "pga_depth", "vs"}
    for name in ("amplification", "spectra", "profiles", "strains"):
        assert (out / f"{name}.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("kw, error, words", [
    (dict(method="plastic"), korvo.KorvoError, "method is 'linear', 'eql'"),
    (dict(method="nonlinear", tol=1e-4), korvo.KorvoError, "tol is for method 'linear'"),
    (dict(substeps=10), korvo.KorvoError, "substeps is for method 'nonlinear', not 'eql'"),
    (dict(band_pass=(0.5, 1.5, 90, 120)), korvo.KorvoError, "a column suite does not take them"),
    (dict(variation=korvo.Toro(length_unit="ft")), korvo.KorvoError, "column's lengths are in 'm'"),
    (dict(input="base"), korvo.KorvoError, "input is 'outcrop' or 'within'"),
    (dict(strain_rate=0.5), TypeError, "unknown option 'strain_rate'"),
    (dict(curves="darendeli"), korvo.KorvoError, "curves must be a korvo.CurveVariation"),
    (dict(profile=SOURCE / "examples" / "shake91ex.soil", method="eql"), korvo.KorvoError,
     "needs a TOML profile or a korvo.Column"),
    (dict(profile=SOURCE / "examples" / "shake91ex.soil", curves=korvo.CurveVariation()),
     TypeError, "'curves' is for a TOML profile"),
])
def test_column_suite_refusals(kw, error, words):
    args = dict(records=[record()], profile=EQL / "clay30.toml", realizations=2, seed=1, unit="g")
    args.update(kw)
    with pytest.raises(error, match=words):
        korvo.suite(**args)


def test_rvt_motions_run_as_rvt_site_runs_of_the_realized_columns():
    from korvo import rvt

    motions = {"M6.5 R31": rvt.PointSource(6.5, 31.0), "M7.5 R50": rvt.PointSource(7.5, 50.0)}
    res = korvo.suite(motions, EQL / "clay30.toml", realizations=2, seed=3,
                      variation=korvo.Toro(layering=True), curves=korvo.CurveVariation(),
                      peak_factor="vanmarcke")
    assert res.records == list(motions) and res.method == "eql"
    for r, m in enumerate(motions.values()):
        np.testing.assert_array_equal(res.input_psa[r], m.psa(res.periods, peak_factor="vanmarcke"))
        for k in range(2):
            site = rvt.site(res.realization(k), m, periods=res.periods, peak_factor="vanmarcke")
            np.testing.assert_array_equal(res.psa[r, k], site.psa_surface)
            assert res.pga[r, k] == site.pga
    assert np.all(np.isnan(res.pga_depth))  # RVT gives the surface's peak only
    with pytest.raises(korvo.KorvoError, match="records or RVT motions, not both"):
        korvo.suite([rvt.PointSource(6.5, 31.0), EQL / "elc180.txt"], EQL / "clay30.toml")
    with pytest.raises(korvo.KorvoError, match="scale_pga are for records"):
        korvo.suite(list(motions.values()), EQL / "clay30.toml", scale_pga="0.3g")


def test_korvo_suite_runs_rvt_scenarios(tmp_path):
    from korvo import rvt
    from test_suite import korvo_suite

    (tmp_path / "SUITE.toml").write_text(f"""profile = "{EQL / 'clay30.toml'}"
realizations = 2
seed = 5
[motions."M6.5 R31"]
magnitude = 6.5
distance = 31.0
[motions."M7.5 R50"]
magnitude = 7.5
distance = 50.0
region = "wna"
stress_drop = 80.0
[rvt]
peak_factor = "vanmarcke"
[spectra]
periods = {{first = 0.05, last = 5.0, count = 8}}
""")
    done = korvo_suite("SUITE.toml", "-q", "--no-figures", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    api = korvo.suite({"M6.5 R31": rvt.PointSource(6.5, 31.0),
                       "M7.5 R50": rvt.PointSource(7.5, 50.0, region="wna", stress_drop=80.0)},
                      EQL / "clay30.toml", realizations=2, seed=5, peak_factor="vanmarcke",
                      periods=np.geomspace(0.05, 5.0, 8))
    runs = pd.read_csv(tmp_path / "SUITE-results" / "runs.csv")
    assert list(runs.record.unique()) == ["M6.5 R31", "M7.5 R50"]
    np.testing.assert_allclose(runs.pga_g, api.pga.ravel(), rtol=1e-6)
    (tmp_path / "BAD.toml").write_text(f'profile = "{EQL / "clay30.toml"}"\n'
                                       '[motions.a]\nmagnitude = 6.5\ndistance = -5.0\n')
    done = korvo_suite("BAD.toml", "-q", cwd=tmp_path)
    assert done.returncode == 1 and done.stderr.startswith(
        "korvo-suite: BAD.toml: [motions.a] distance"), done.stderr
