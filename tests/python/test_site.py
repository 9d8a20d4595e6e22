"""korvo.site: korvo-site's column engine from Python, its files byte for byte."""

import subprocess

import numpy as np
import pandas as pd
import pytest

import korvo
from conftest import SOURCE, program

EXAMPLES = SOURCE / "examples" / "eql"


@pytest.mark.parametrize("method", ["eql", "linear", "fdeql"])
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


def test_nonlinear_write_equals_korvo_site(tmp_path):
    profile, record = EXAMPLES / "clay30.toml", EXAMPLES / "elc180.txt"
    subprocess.run([program("KORVO_SITE_BINARY", "bin/korvo-site"), profile, record,
                    "--method", "nonlinear", "--scale-pga", "0.3g", "--at", "12",
                    "--loops", "6,12", "--substeps", "10", "--unloading", "mrdf",
                    "--viscous", "frequency-independent", "-o", tmp_path / "cli"],
                   check=True, capture_output=True)
    r = korvo.site(profile, record, method="nonlinear", scale_pga="0.3g", at=[12],
                   loops=[6, 12], substeps=10, unloading="mrdf", viscous="frequency-independent")
    r.write(tmp_path / "py")
    cli = sorted(p.name for p in (tmp_path / "cli").iterdir())
    assert cli == ["depth_12.csv", "loops_12.csv", "loops_6.csv", "profile.csv", "spectra.csv",
                   "surface.csv"]
    assert cli == sorted(p.name for p in (tmp_path / "py").iterdir())
    for name in cli:
        assert (tmp_path / "cli" / name).read_bytes() == (tmp_path / "py" / name).read_bytes(), \
            name
    written = pd.read_csv(tmp_path / "cli" / "depth_12.csv", float_precision="round_trip")
    assert written.columns.tolist() == ["time_s", "accel_g", "vel_m_s", "disp_m"]
    assert np.array_equal(r.at[12.0]["accel_g"], written["accel_g"])
    loop = pd.read_csv(tmp_path / "cli" / "loops_6.csv", float_precision="round_trip")
    assert np.array_equal(r.loops[6.0]["stress_kpa"], loop["stress_kpa"])
    assert r.layers["layer"].iloc[-1] == "halfspace" and r.unconverged == 0
    assert r.rayleigh == (0.0, 0.0) and "frequency-independent" in r.summary()
    # The work done on the column is spent, to the Newton tolerance.
    e = r.energy
    spent = e["kinetic"] + e["strain"] + e["hysteretic"] + e["viscous"] + e["radiation"]
    assert abs(e["input"] - spent) < 1e-4 * e["input"]


def test_arrays_and_refusals():
    a = np.loadtxt(EXAMPLES / "elc180.txt")[:, 1]
    r = korvo.site(EXAMPLES / "clay30.toml", (a, 0.01), method="linear", unit="g")
    f = korvo.site(EXAMPLES / "clay30.toml", EXAMPLES / "elc180.txt", method="linear")
    # The file's dt is the mean spacing of its times; the same column either way.
    assert abs(r.dt - f.dt) < 1e-12
    assert np.allclose(r.surface, f.surface, rtol=0, atol=1e-9 * np.abs(f.surface).max())
    cases = [
        (dict(motion=(a, -0.01)), korvo.KorvoError, "dt must be a number above 0"),
        (dict(motion=(a, 0.01), method="plastic"), korvo.KorvoError,
         "method is 'eql', 'linear', 'fdeql' or 'nonlinear'"),
        (dict(motion=(a, 0.01), method="nonlinear", tol=1e-4), korvo.KorvoError,
         "tol is for method 'eql' or 'linear', not 'nonlinear'"),
        (dict(motion=(a, 0.01), substeps=10), korvo.KorvoError,
         "substeps is for method 'nonlinear', not 'eql'"),
        (dict(motion=(a, 0.01), method="nonlinear", rayleigh=(5, 1)), korvo.KorvoError,
         "rayleigh is two frequencies"),
        (dict(motion=(a, 0.01), method="nonlinear", at=[31]), korvo.KorvoError,
         "the depth 31 m lies below the column's base at 30 m"),
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


def _profile(tmp_path, layers, rock=(22, 900, 1)):
    """A TOML profile of linear layers (thickness m, unit weight kN/m^3, vs m/s, damping %)."""
    text = "water_table = 0\n"
    for i, (h, gamma, vs, xi) in enumerate(layers):
        text += (f'[[layer]]\nname = "l{i}"\nthickness = {h}\nunit_weight = {gamma}\nvs = {vs}\n'
                 f'model = "linear"\ndamping_pct = {xi}\n')
    text += "[halfspace]\nunit_weight = {}\nvs = {}\ndamping_pct = {}\n".format(*rock)
    (tmp_path / "p.toml").write_text(text)
    return tmp_path / "p.toml"


# G*/G of each complex-modulus form; V* = V sqrt(G*/G), principal root.
MODULUS = {"velocity": lambda xi: (1 + 1j * xi) ** 2,
           "simple": lambda xi: 1 + 2j * xi,
           "unit-modulus": lambda xi: 1 - 2 * xi ** 2 + 2j * xi * np.sqrt(1 - xi ** 2)}


@pytest.mark.parametrize("model", sorted(MODULUS))
def test_transfer_between_uniform_layer_closed_forms(model, tmp_path):
    # One layer (H, rho_s, V_s*) over a half-space (rho_r, V_r*); u = E e^{ikz} + F e^{-ikz}
    # in each, time factor e^{iwt}, k* = w / V*. A free surface gives E = F = 1 there, so
    # within at H: u(H) = 2 cos(k*H). Across z = H, u and tau = G* du/dz = i w rho V* (E - F)
    # are continuous: E_r + F_r = 2 cos(k*H), E_r - F_r = alpha* 2i sin(k*H) with
    # alpha* = rho_s V_s* / (rho_r V_r*). Hence
    #   surface / within base  = 2 / (2 cos k*H)                     = 1 / cos(k*H),
    #   surface / outcrop base = 2 / (2 E_r)
    #     = 2 / ((1 + alpha*) e^{ik*H} + (1 - alpha*) e^{-ik*H}) = 1 / (cos k*H + i alpha* sin k*H).
    # H = 21 m divides into 11 sublayers whose thicknesses sum to 21.000000000000004:
    # the base at 21 must still be the half-space's top.
    H, vs, xs, vr, xr = 21.0, 250.0, 0.05, 900.0, 0.01
    path = _profile(tmp_path, [(H, 18, vs, 100 * xs)], rock=(22, vr, 100 * xr))
    a = np.random.default_rng(2).normal(size=1024)
    r = korvo.site(path, (a, 0.01), method="linear", model=model)
    vs_c, vr_c = vs * np.sqrt(MODULUS[model](xs)), vr * np.sqrt(MODULUS[model](xr))
    kH = 2 * np.pi * r.frequency / vs_c * H
    alpha = 18 * vs_c / (22 * vr_c)  # rho ratio = unit weight ratio
    within, outcrop = 1 / np.cos(kH), 1 / (np.cos(kH) + 1j * alpha * np.sin(kH))
    # The engine chains its phase factors (measured: 2e-13 relative here); the closed
    # form is evaluated independently in complex128.
    np.testing.assert_allclose(r.transfer_between(H, 0), within, rtol=1e-10, atol=0)
    np.testing.assert_allclose(r.transfer_between(H, 0, kind_a="outcrop"), outcrop,
                               rtol=1e-10, atol=0)
    # The ratio the other way, within and outcrop at once.
    np.testing.assert_allclose(r.transfer_between(0, H, kind_b="outcrop"), 1 / outcrop,
                               rtol=1e-10, atol=0)


def test_transfer_between_identities():
    # Strain-compatible, layered: boundaries at 2, 12 and 30 m (the half-space).
    r = korvo.site(EXAMPLES / "clay30.toml", EXAMPLES / "elc180.txt", scale_pga="0.3g")
    w, o = "within", "outcrop"
    H = r.transfer_between
    one = np.ones_like(r.transfer)
    close = dict(rtol=1e-10, atol=0)
    # The input is the half-space's outcrop: the engine's surface/input from its final state.
    np.testing.assert_allclose(H(30, 0, o, w), r.transfer, rtol=1e-13, atol=0)
    # At the free surface the outcrop is the total motion.
    np.testing.assert_allclose(H(0, 0, w, o), one, **close)
    for z, kz in [(7.3, w), (7.3, o), (12, o), (30, w), (30, o), (41.5, w)]:
        np.testing.assert_allclose(H(z, z, kz, kz), one, **close)
        for k0 in (w, o):
            np.testing.assert_allclose(H(0, z, k0, kz) * H(z, 0, kz, k0), one, **close)
        # Composition through z, from 5 m within to the surface's outcrop.
        np.testing.assert_allclose(H(5, z, w, kz) * H(z, 0, kz, o), H(5, 0, w, o), **close)
    # Outcrop at a boundary is the material below's: the firm clay at 12 m, not the soft
    # clay just above (their impedances differ by half, so do their up-going waves).
    below, above = H(0, 12 + 1e-7, w, o), H(0, 12 - 1e-7, w, o)
    np.testing.assert_allclose(H(0, 12, w, o), below, rtol=1e-6)
    assert np.max(np.abs(H(0, 12, w, o) - above) / np.abs(above)) > 0.1
    cases = [
        (lambda: H(-1, 0), "a must be a number from 0"),
        (lambda: H(0, 0, "rock"), 'kind_a is .within. or .outcrop., not "rock"'),
        (lambda: H(0, 30.5, w, o), "b: an outcrop motion is for depths down to the "
                                   "half-space's top at 30 m, not 30.5"),
        (lambda: r.stress_at(float("nan")), "depth must be a number from 0"),
    ]
    for call, words in cases:
        with pytest.raises(korvo.KorvoError, match=words):
            call()


def test_stress_balances_the_inertia_above(tmp_path):
    # tau(z, t) = int_0^z rho a(z', t) dz' (the surface is free, a the total acceleration):
    # integrating the engine's accelerations checks the stress without forming G*. With
    # a in g and rho = unit weight / g, rho a = unit weight * a in kPa/m. Gauss-Legendre
    # on each layer: at 50 Hz a component turns through |k| z < 2 rad a metre, and 40
    # nodes integrate such an e^{ikz} over a layer to far below rounding, so what is left
    # is the engine's own rounding (measured: about 1e-14 of the peak).
    layers = [(8.0, 17.0, 200.0, 3.0), (12.0, 19.5, 350.0, 2.0)]
    path = _profile(tmp_path, layers)
    t = np.arange(2000) * 0.01
    x = (np.pi * 4.0 * (t - 4.0)) ** 2
    a = 0.2 * (1 - 2 * x) * np.exp(-x)
    a -= a.mean()  # no static term: the stress leaves it out
    r = korvo.site(path, (a, 0.01), method="linear", model="simple", unit="g")
    assert np.all(r.stress_at(0) == 0)
    pieces = [(0.0, 8.0, 17.0), (8.0, 20.0, 19.5), (20.0, np.inf, 22.0)]  # top, bottom, weight
    nodes, weights = np.polynomial.legendre.leggauss(40)
    for z in (5.0, 14.3, 26.0):  # each layer and the half-space
        tau = np.zeros_like(a)
        for top, bottom, gamma in pieces:
            lo, hi = top, min(bottom, z)
            if hi <= lo:
                continue
            for s, wt in zip(nodes, weights):
                tau += gamma * wt * (hi - lo) / 2 * r.acceleration_at(lo + (s + 1) * (hi - lo) / 2)
        stress = r.stress_at(z)
        assert np.max(np.abs(stress - tau)) < 1e-9 * np.max(np.abs(tau)), z


def test_nonlinear_runs_in_threads_give_the_sequential_bits():
    # The run releases the interpreter's lock; runs side by side share nothing.
    from concurrent.futures import ThreadPoolExecutor
    a = np.loadtxt(EXAMPLES / "elc180.txt")[:1500, 1]
    runs = [dict(scale_pga="0.2g", unloading="masing"), dict(scale_pga="0.4g", unloading="mrdf"),
            dict(scale_pga="0.3g", input="within")]

    def one(kwargs):
        return korvo.site(EXAMPLES / "clay30.toml", (a, 0.01), method="nonlinear", substeps=5,
                          **kwargs).surface

    alone = [one(kwargs) for kwargs in runs]
    with ThreadPoolExecutor(3) as pool:
        together = list(pool.map(one, runs))
    for x, y in zip(alone, together):
        assert np.array_equal(x, y)
