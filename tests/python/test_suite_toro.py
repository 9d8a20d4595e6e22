"""The randomized profiles against the Toro (1995) model they are drawn from:
medians, ln-standard deviations and inter-layer correlations over 2000
realizations within sampling error of the published model, the Poisson
layering's counts against the integral of its rate, and what must not vary."""

import math

import numpy as np
import pytest

import korvo

N = 2000

# Metres: thin and thick layers, shallow and below 200 m.
THICKNESS = [1.0, 1.0, 3.0, 3.0, 10.0, 10.0, 30.0, 30.0, 100.0, 100.0, 0.0]
VS = [150.0, 180.0, 200.0, 240.0, 300.0, 320.0, 400.0, 450.0, 600.0, 700.0, 1500.0]


def base_profile(scale=1.0):
    nl = len(VS)
    vs = np.array(VS) * scale
    return korvo.Profile(rho=np.linspace(1.7, 2.2, nl), vp=vs * np.linspace(1.8, 2.5, nl),
                         qp=np.full(nl, 40.0), vs=vs, qs=np.linspace(10.0, 50.0, nl),
                         thickness=np.array(THICKNESS) * scale)


# The published model written out by hand, in metres (Toro 1995): sigma_lnV,
# rho_0, delta, rho_200, h_0, b of the class.
PUBLISHED = {
    "USGS A": (0.36, 0.95, 3.4, 0.42, 0.0, 0.063),
    "USGS D": (0.37, 0.00, 5.0, 0.50, 0.0, 0.744),
    "Geomatrix AB": (0.46, 0.96, 13.1, 0.96, 0.0, 0.095),
}


def model_correlation(site_class, h, t):
    _, rho_0, delta, rho_200, h_0, b = PUBLISHED[site_class]
    rho_d = rho_200 * ((h + h_0) / (200.0 + h_0)) ** b if h <= 200.0 else rho_200
    return (1.0 - rho_d) * rho_0 * math.exp(-t / delta) + rho_d


def test_model_correlation_by_hand():
    # USGS D has rho_0 = 0: only the depth term, 0.5 (50/200)**0.744 = 0.1783 at 50 m.
    # USGS A, 1 m thick at 1.5 m: rho_d = 0.42 (0.0075)**0.063 = 0.3086,
    # rho_t = 0.95 exp(-1/3.4) = 0.7080, rho = 0.6914 * 0.7080 + 0.3086 = 0.7981.
    assert korvo.Toro("USGS D").correlation(50.0, 7.0) == pytest.approx(0.1783, abs=1e-4)
    assert korvo.Toro("USGS A").correlation(1.5, 1.0) == pytest.approx(0.7981, abs=1e-4)
    assert korvo.Toro("USGS D").correlation(250.0, 1.0) == pytest.approx(0.5)


@pytest.mark.parametrize("site_class", sorted(PUBLISHED))
def test_velocity_statistics_match_the_model(site_class):
    sigma = PUBLISHED[site_class][0]
    toro = korvo.Toro(site_class)
    base = base_profile()
    vs = np.array([toro.realize(base, 11, i)["vs"] for i in range(N)])
    eps = np.log(vs[:, :-1] / np.array(VS[:-1]))
    # Median: mean ln within 4 standard errors; ln-standard deviation likewise.
    assert np.all(np.abs(eps.mean(axis=0)) < 4 * sigma / math.sqrt(N))
    assert np.all(np.abs(eps.std(axis=0, ddof=1) - sigma) < 4 * sigma / math.sqrt(2 * N))
    # The half-space is left alone unless asked.
    assert np.all(vs[:, -1] == np.float32(VS[-1]))
    tops = np.concatenate([[0.0], np.cumsum(THICKNESS[:-1])])
    for i in range(1, len(VS) - 1):
        h, t = tops[i] + THICKNESS[i] / 2, THICKNESS[i]
        rho = model_correlation(site_class, h, t)
        r = np.corrcoef(eps[:, i - 1], eps[:, i])[0, 1]
        assert abs(r - rho) < 4.5 * (1 - rho * rho) / math.sqrt(N) + 0.005, (i, r, rho)


def test_lengths_in_feet_are_the_same_realization():
    metres = [korvo.Toro("USGS A").realize(base_profile(), 5, i) for i in range(20)]
    feet = [korvo.Toro("USGS A", length_unit="ft").realize(base_profile(1 / 0.3048), 5, i)
            for i in range(20)]
    for m, f in zip(metres, feet):
        assert np.allclose(f["vs"] * 0.3048, m["vs"], rtol=1e-5)
        assert np.allclose(f["thickness"] * 0.3048, m["thickness"], rtol=1e-5)


def test_what_varies_and_what_does_not():
    base = base_profile()
    plain = [korvo.Toro("USGS C").realize(base, 3, i) for i in range(50)]
    for p in plain:
        # VP keeps each layer's VP/VS; density, Q and layering stay.
        assert np.allclose(p["vp"] / p["vs"], base.vp / base.vs, rtol=1e-6)
        for q in ("rho", "qs", "qp", "thickness"):
            assert np.array_equal(np.float32(p[q]), getattr(base, q)), q
    asked = [korvo.Toro("USGS C", halfspace=True, density_ln_std=0.1, damping_ln_std=0.3)
             .realize(base, 3, i) for i in range(400)]
    ln = lambda q: np.log([p[q] / getattr(base, q) for p in asked])
    assert np.std(ln("rho")[:, 0]) == pytest.approx(0.1, rel=0.2)
    assert np.std(ln("qs")[:, 2]) == pytest.approx(0.3, rel=0.2)
    assert np.allclose(ln("qs"), ln("qp"), rtol=0, atol=1e-12)
    assert np.std(ln("vs")[:, -1]) == pytest.approx(0.31, rel=0.2)
    # Velocities are drawn from a stream of their own: the same with or without the rest.
    assert all(np.array_equal(a["vs"][:-1], p["vs"][:-1]) for a, p in zip(asked, plain))


def test_poisson_layering_counts():
    # 100 m of soil: the mean count of boundaries in a depth range is the
    # integral of the rate 1.98 (z + 10.86)**-0.89 per m, here by the
    # trapezoid rule; a Poisson count's variance equals its mean.
    base = korvo.Profile(rho=[1.8, 1.8, 2.2], vp=[400.0, 800.0, 2000.0], qp=[20.0] * 3,
                         vs=[200.0, 400.0, 1000.0], qs=[20.0] * 3, thickness=[40.0, 60.0, 0.0])
    toro = korvo.Toro("USGS C", layering=True)
    inner = []
    for i in range(N):
        th = toro.realize(base, 8, i)["thickness"]
        inner.append(np.cumsum(th[:-1])[:-1])  # boundaries between soil layers
    for lo, hi in ((0.0, 10.0), (10.0, 100.0)):
        z = np.linspace(lo, hi, 100001)
        expected = np.trapz(1.98 * (z + 10.86) ** -0.89, z)
        counts = np.array([np.count_nonzero((b >= lo) & (b < hi)) for b in inner])
        assert abs(counts.mean() - expected) < 4 * math.sqrt(expected / N), (lo, hi)
        assert counts.var(ddof=1) == pytest.approx(expected, rel=0.15)


def test_halfspace_depth_is_lognormal():
    base = base_profile()
    depth = sum(THICKNESS)
    d = np.array([np.sum(korvo.Toro("USGS C", depth_ln_std=0.2).realize(base, 4, i)
                         ["thickness"][:-1]) for i in range(N)])
    ln = np.log(d / depth)
    assert abs(ln.mean()) < 4 * 0.2 / math.sqrt(N)
    assert abs(ln.std(ddof=1) - 0.2) < 4 * 0.2 / math.sqrt(2 * N)
