"""Suites: the same table whoever runs them (threads, chunk sizes, a Dask
cluster of worker processes), every run the record and the profile it is
filed under, and korvo-suite on a small SUITE.toml through the script."""

import os
import pathlib
import re
import subprocess

import numpy as np
import pytest

import korvo
from conftest import SOURCE, TOOLS_DATA

# Suites tabulate with pandas and draw with matplotlib (python3-pandas,
# python3-matplotlib); without them there is nothing here to test.
pd = pytest.importorskip("pandas")
pytest.importorskip("matplotlib")

RECORDS = [str(SOURCE / "examples" / "elc180.txt"), str(TOOLS_DATA / "elCentro.AT2")]
PROFILE = str(SOURCE / "examples" / "shake91ex.soil")
VARIATION = korvo.Toro(length_unit="ft", layering=True, depth_ln_std=0.1)
PERIODS = np.geomspace(0.02, 5.0, 12)
FREQUENCIES = np.geomspace(0.2, 20.0, 15)


def small(realizations=5, seed=7, **kw):
    return korvo.suite(RECORDS, PROFILE, realizations=realizations, variation=VARIATION,
                       seed=seed, periods=PERIODS, frequencies=FREQUENCIES, **kw)


@pytest.fixture(scope="module")
def reference():
    return small(workers=1)


def test_same_seed_same_table_whatever_the_work_split(reference):
    seen = []
    for kw in (dict(workers=2, chunk_size=1, progress=lambda *a: seen.append(a)),
               dict(workers=2, chunk_size=3)):
        pd.testing.assert_frame_equal(small(**kw).table, reference.table)
    assert seen == [(i, 10) for i in range(1, 11)]
    # Realization i is the same profile when fewer are asked for.
    fewer = small(realizations=3, workers=2).table
    pd.testing.assert_frame_equal(fewer, reference.table[reference.table.realization < 3]
                                  .reset_index(drop=True))
    assert not np.array_equal(small(seed=8).table["value"], reference.table["value"])


def test_each_run_is_its_record_through_its_profile(reference):
    res = reference
    base = korvo.Profile.read(PROFILE)
    for r, k in ((0, 4), (1, 2)):
        record = korvo.read_record(RECORDS[r])
        p = korvo.Profile(**res.profiles[k], qexp=base.qexp, angle=base.angle, iflag=base.iflag)
        run = korvo.run(record, p)
        assert res.pga[r, k] == np.abs(run.motion).max()
        # korvo-spectra oversamples all periods for the shortest; the suite
        # steps each period at least 20 times, where a peak can be missed by
        # up to 1 - cos(pi / 20) = 1.2 %.
        psa = korvo.response_spectrum(run.motion, run.DT, PERIODS).psa
        assert np.all((res.psa[r, k] <= psa * 1.0001) & (res.psa[r, k] > psa * (1 - 0.0125)))
        modulus = np.abs(korvo.transfer(p, run.NF, run.DT)[:, 0])
        assert np.allclose(res.transfer[r, k], np.interp(FREQUENCIES, run.frequency, modulus))
        table = res.table[(res.table.record == res.records[r]) & (res.table.realization == k)]
        vs = table[table.quantity == "vs"]
        assert np.array_equal(vs.value, p.vs)
        assert np.allclose(vs.x, np.concatenate([[0], np.cumsum(p.thickness[:-1])]))
        assert np.array_equal(table[table.quantity == "psa"].value, np.float64(res.psa[r, k]))


def test_a_bare_halfspace_amplifies_nothing():
    # The input spectra are the records through the same processing: a column
    # of only the half-space leaves each record as it was, ratio exactly 1.
    hs = korvo.Profile(rho=[2.0], vp=[3000.0], qp=[20.0], vs=[1500.0], qs=[20.0], thickness=[0.0])
    res = korvo.suite(RECORDS, hs, realizations=3, seed=1, band_pass=(0.5, 1.5, 90, 120),
                      periods=PERIODS, frequencies=FREQUENCIES)
    assert np.all(res.ratio == 1.0) and np.all(res.transfer == 1.0)
    assert np.array_equal(res.pga, np.repeat(res.input_pga[:, None], 3, axis=1))
    assert res.input_pga[0] != res.input_pga[1]


@pytest.mark.parametrize("reference", [1, 2])
def test_reference_picks_the_transfer_function(reference):
    # One elastic layer (H 10 m, Vs 210 m/s) over an elastic half-space, the
    # same in every realization (ln_std 0). Over the outcrop the surface is
    # 1 / (cos kH + i alpha sin kH), alpha = rho1 v1 / (rho2 v2) = 0.21; over
    # the top of the half-space (reference 2) it is 1 / cos kH, whatever the
    # rock. The suite's transfer table and its PGA, the record through that
    # function by numpy's transform, follow the one asked for.
    H, V1 = 10.0, 210.0
    profile = korvo.Profile(rho=[2.0, 2.5], vp=[400.0, 1600.0], qp=[10.0, 50.0],
                            vs=[V1, 800.0], qs=[10.0, 50.0], thickness=[H, 0.0], qexp=999.0)
    n, dt = 1000, 0.01
    a = (1 - 2 * (np.pi * (np.arange(n) * dt - 2.0)) ** 2) \
        * np.exp(-(np.pi * (np.arange(n) * dt - 2.0)) ** 2)   # Ricker, 1 Hz
    record = korvo.Record(np.arange(n) * dt, a)
    nf = 1024
    f = np.arange(nf // 2 + 1) / (nf * float(record.dt))
    kh = 2 * np.pi * f * H / V1
    h = 1 / np.cos(kh) if reference == 2 else 1 / (np.cos(kh) + 0.21j * np.sin(kh))
    # The layer's poles (2m + 1) 5.25 Hz fall between lines of the 1024-point grid, which
    # they would not for Vs 200 m/s (25 Hz is line 256); the table is read away from them.
    freqs = np.array([0.5, 1.0, 2.0, 3.0, 4.0, 6.0, 8.0, 10.0, 12.0])
    res = korvo.suite([record], profile, realizations=2, seed=1, workers=1,
                      variation=korvo.Toro(ln_std=0.0), reference=reference,
                      periods=PERIODS, frequencies=freqs)
    want = np.interp(freqs, f, np.abs(h))
    assert np.allclose(res.transfer, want, rtol=1e-5, atol=0)
    spectrum = np.fft.rfft(np.asarray(record.accel, float), nf)
    spectrum[0] = 0.0   # the run clears the zero-frequency line
    # The run also advances the motion by the travel time through the layers,
    # a factor exp(i omega H / V1) on every line.
    pga = np.abs(np.fft.irfft(spectrum * h * np.exp(1j * kh), nf)[:n]).max()
    assert np.allclose(res.pga, pga, rtol=1e-5, atol=0)


def test_summary_pools_the_runs_and_reads_profiles_at_depth():
    # The same motion twice (IELC180.AT2 is elc180.txt's source): per-record
    # statistics agree, and pooling two copies of K values keeps the median
    # and scales the ln-variance by 2 (K - 1) / (2 K - 1).
    twice = [RECORDS[0], str(TOOLS_DATA / "IELC180.AT2")]
    K = 6
    res = korvo.suite(twice, PROFILE, realizations=K, variation=VARIATION, seed=3,
                      periods=PERIODS, frequencies=FREQUENCIES)
    s = res.summary.set_index(["scope", "quantity", "x"])
    for q in ("pga", "ratio", "transfer"):
        one, other, pooled = (s.xs((scope, q), level=(0, 1))
                              for scope in ("elc180.txt", "IELC180.AT2", "suite"))
        assert np.allclose(one["median"], other["median"], rtol=1e-6)
        assert np.allclose(pooled["median"], one["median"], rtol=1e-6)
        assert np.allclose(pooled["ln_std"] ** 2, one["ln_std"] ** 2 * 2 * (K - 1) / (2 * K - 1))
        assert set(pooled["n"]) == {2 * K}

    # Without variation every realization is the base profile: at each depth
    # the summary's VS is the base layer's there, by hand from the soil file.
    flat = korvo.suite(RECORDS[:1], PROFILE, realizations=2, seed=1, periods=PERIODS,
                       frequencies=FREQUENCIES, variation=korvo.Toro(ln_std=0))
    vs = flat.summary[(flat.summary.scope == "suite") & (flat.summary.quantity == "vs")]
    base = korvo.Profile.read(PROFILE)
    bottoms = np.cumsum(base.thickness[:-1])    # 5, 10, 20, ... 150 ft
    expected = [base.vs[np.searchsorted(bottoms, z, side="right")] for z in vs.x]
    assert np.allclose(vs["median"], expected, rtol=1e-12) and np.all(vs["ln_std"] == 0)
    assert vs.x.max() > 150.0 and expected[-1] == 4000.0


def test_spreads_that_only_overflow_are_refused():
    # Found by the black-box fuzzer: depth_ln_std = 3.4e38 ended in an OverflowError.
    for name in ("ln_std", "depth_ln_std", "density_ln_std", "damping_ln_std"):
        with pytest.raises(korvo.KorvoError, match=f"^{name} is a standard deviation of a "
                           "natural log, from 0 to 3, not 3.4e"):
            korvo.Toro(**{name: 3.4e38})
    korvo.Toro(depth_ln_std=3.0)


@pytest.mark.parametrize("kw, words", [
    (dict(realizations=0), "realizations must be a positive whole number"),
    (dict(seed=-1), "seed must be a non-negative"),
    (dict(frequencies=[1.0, 30.0]), "above the Nyquist frequency of elCentro.AT2 (25 Hz)"),
    (dict(periods=[0.1, 0.0]), "periods: at least one, each positive"),
    (dict(variation="USGS C"), "variation must be a korvo.Toro"),
])
def test_refusals(kw, words):
    args = dict(realizations=2, seed=1, variation=VARIATION)
    with pytest.raises(korvo.KorvoError, match=None) as e:
        korvo.suite(RECORDS, PROFILE, **{**args, **kw})
    assert words in str(e.value)


def deep_layering():
    # 10 000 km of soil: the Poisson layering draws some 83 boundaries (sd 9),
    # more than korvo's 49 layers over the half-space, in every realization.
    return dict(records=RECORDS[:1], realizations=3, seed=1, periods=PERIODS,
                frequencies=FREQUENCIES, variation=korvo.Toro(layering=True),
                profile=korvo.Profile(rho=[2.0, 2.5], vp=[800.0, 4000.0], qp=[20.0, 50.0],
                                      vs=[400.0, 2000.0], qs=[20.0, 50.0],
                                      thickness=[1e7, 0.0]))


def test_a_failed_run_fails_the_suite():
    with pytest.raises(korvo.KorvoError, match=r"realization \d: \d+ layers over the half-space"):
        korvo.suite(**deep_layering())


def test_dask_cluster_of_two_processes_gives_the_same_table(reference):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        res = small(client=client, chunk_size=2)
        # A refusal on a worker comes back as itself.
        with pytest.raises(korvo.KorvoError, match="layers over the half-space"):
            korvo.suite(**deep_layering(), client=client)
    pd.testing.assert_frame_equal(res.table, reference.table)


SUITE_TOML = """
records = {records}
profile = "{profile}"
realizations = 4
seed = 7
output = "out"

[spectra]
periods = {{ first = 0.02, last = 5.0, count = 12 }}

[transfer]
frequencies = {{ first = 0.2, last = 20.0, count = 15 }}

[variation]
length_unit = "ft"
layering = true
depth_ln_std = 0.1
"""


def korvo_suite(*args, cwd):
    # The script of the build whose package is under test: <build>/python/korvo -> <build>/bin.
    script = os.environ.get("KORVO_SUITE_SCRIPT",
                            pathlib.Path(korvo.__file__).parents[2] / "bin" / "korvo-suite")
    if not pathlib.Path(script).exists():
        pytest.skip(f"{script} not built")
    return subprocess.run([script, *args], cwd=cwd, capture_output=True, text=True, timeout=300)


def test_korvo_suite_writes_what_the_api_computes(tmp_path):
    (tmp_path / "SUITE.toml").write_text(
        SUITE_TOML.format(records=[str(r) for r in RECORDS], profile=PROFILE).replace("'", '"'))
    done = korvo_suite("SUITE.toml", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "8 runs (2 records x 4 realizations, USGS C, seed 7)" in done.stdout
    assert "8/8 runs" in done.stderr and "runs/s" in done.stderr
    runs = pd.read_csv(tmp_path / "out" / "runs.csv")
    api = small(realizations=4)
    assert list(runs.record) == ["elc180.txt"] * 4 + ["elCentro.AT2"] * 4
    assert np.allclose(runs.pga_g, api.pga.ravel(), rtol=1e-6)  # 7 digits in the file
    assert np.allclose(runs.filter(like="ratio_"), api.ratio.reshape(8, -1), rtol=1e-6)
    assert runs.columns[3] == "psa_g_0.02s" and runs.columns[-1] == "transfer_20hz"
    for name in ("amplification", "spectra", "transfer", "profiles"):
        assert (tmp_path / "out" / f"{name}.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_suite_figures_label_log_axes_with_plain_numbers(reference, tmp_path):
    from korvo import suite_plots

    # Periods 0.02 to 5 s cross the decades 0.1 and 1 s, frequencies 0.2 to
    # 20 Hz the decades 1 and 10 Hz: those ticks read as plain numbers.
    for draw, axis, decades in ((suite_plots.amplification, "x", {"0.1", "1"}),
                                (suite_plots.spectra, "x", {"0.1", "1"}),
                                (suite_plots.transfer, "x", {"1", "10"}),
                                (suite_plots.spectra, "y", set())):
        ax = draw(reference, tmp_path / "figure.png").axes[0]
        scale = getattr(ax, f"{axis}axis")
        lo, hi = sorted(scale.get_view_interval())
        shown = [(tick.get_loc(), tick.label1.get_text())
                 for tick in scale.get_major_ticks() + scale.get_minor_ticks()]
        shown = {text for loc, text in shown if lo <= loc <= hi and text}
        assert shown and decades <= shown, (draw.__name__, axis, shown)
        assert all(re.fullmatch(r"\d+(\.\d+)?", text) for text in shown), (draw.__name__, shown)


@pytest.mark.parametrize("toml, args, status, words", [
    ('[variation]\nsite_clas = "USGS C"\n', [], 1,
     "SUITE.toml: unknown key 'site_clas' in [variation]"),
    ("realizations = \n", [], 1, "SUITE.toml, line 1: Invalid value (column 16)"),
    ("", ["--workers", "0"], 2, "--workers must be at least 1"),
    ('records = ["none.txt"]\nprofile = "none.soil"\n', [], 1, "none.txt"),
    ('records = ["*.none"]\nprofile = "x.soil"\n', [], 1, "records: nothing matches '*.none'"),
    ("realizations = \"ten\"\n", [], 1, "realizations at the top level must be a whole number"),
    (f'records = ["{TOOLS_DATA}/IELC180.AT2", "{TOOLS_DATA}/2516b_a.smc"]\nprofile = "{PROFILE}"\n',
     [], 1, "records in different units (cm/s^2: 2516b_a.smc; g: IELC180.AT2)"),
    # A band-pass that leaves nothing: every ratio would be 0/0.
    (f'records = ["{TOOLS_DATA}/IELC180.AT2"]\nprofile = "{PROFILE}"\n'
     "[run]\nband_pass = [2147483648, 1.5, 90.0, 120.0]\n", ["-q"], 1,
     "IELC180.AT2: nothing of the record is left to run"),
    (f'records = ["{TOOLS_DATA}/IELC180.AT2"]\nprofile = "{PROFILE}"\n'
     '[spectra]\nperiods = { first = 0.02, last = 1e400, count = 3 }\n', [], 1,
     "periods = {first, last, count} with 0 < first <= last"),
])
def test_korvo_suite_refusals(tmp_path, toml, args, status, words):
    (tmp_path / "SUITE.toml").write_text(toml)
    done = korvo_suite("SUITE.toml", *args, cwd=tmp_path)
    assert done.returncode == status
    assert done.stderr.startswith("korvo-suite: ") and words in done.stderr, done.stderr
    assert len(done.stderr.strip().splitlines()) <= 2


def test_korvo_suite_on_a_full_disk_leaves_only_whole_files(tmp_path):
    # A file-size limit stands in for a disk that fills in the middle of a
    # file (Python ignores SIGXFSZ, so the write fails with EFBIG).
    import resource
    (tmp_path / "SUITE.toml").write_text(
        SUITE_TOML.format(records=[str(r) for r in RECORDS], profile=PROFILE).replace("'", '"'))
    done = korvo_suite("SUITE.toml", "--no-figures", "-q", "-o", "full", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    full = {p.name: p.read_bytes() for p in (tmp_path / "full").iterdir()}
    sizes = sorted(len(b) for b in full.values())
    script = os.environ.get("KORVO_SUITE_SCRIPT",
                            pathlib.Path(korvo.__file__).parents[2] / "bin" / "korvo-suite")
    # Half the smallest file, and one byte short of the largest.
    for limit in (sizes[0] // 2, sizes[-1] - 1):
        def limited():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        cut = subprocess.run([script, "SUITE.toml", "--no-figures", "-q", "-o", "out"],
                             cwd=tmp_path, capture_output=True, text=True, timeout=300,
                             preexec_fn=limited)
        assert cut.returncode == 1, cut.stderr
        assert cut.stderr.startswith("korvo-suite: ") and "File too large" in cut.stderr
        assert "/out/" in cut.stderr or "out/" in cut.stderr, cut.stderr  # names the file
        assert len(cut.stderr.splitlines()) == 1, cut.stderr
        for p in (tmp_path / "out").iterdir():
            assert p.name in full, f"stray {p.name} at {limit}"
            assert p.read_bytes() == full[p.name], f"{p.name} cut at {limit}"
        for p in (tmp_path / "out").iterdir():
            p.unlink()


@pytest.mark.parametrize("kw, peak", [
    (dict(scale_pga="0.3g"), 0.3),
    (dict(scale_pga="294.1995 cm/s^2"), 0.3),  # 0.3 x 980.665
    (dict(scale_pga=0.25), 0.25),
    (dict(scale=2.0), None),
    (dict(scale_pga=["0.3g", 0.2]), [0.3, 0.2]),  # one peak per record
])
def test_records_scaled_in_a_suite(kw, peak):
    plain = small(realizations=1)
    scaled = small(realizations=1, **kw)
    # The samples' peak is scaled; input_pga is read from the oversampled
    # record, a few parts in a million above or below it.
    if peak is None:  # a factor scales the inputs' peaks by it
        assert np.allclose(scaled.input_pga, 2.0 * plain.input_pga, rtol=1e-6)
    else:
        assert np.allclose(scaled.input_pga, peak, rtol=2e-5)
    # Linear columns: the surface scales with its record.
    ratio = scaled.input_pga / plain.input_pga
    assert np.allclose(scaled.pga[:, 0], plain.pga[:, 0] * ratio, rtol=1e-5)


def test_scaling_refusals():
    with pytest.raises(korvo.KorvoError, match="give one"):
        small(realizations=1, scale=2.0, scale_pga="0.3g")
    with pytest.raises(korvo.KorvoError, match="a peak such as 0.3g"):
        small(realizations=1, scale_pga="0.3 furlongs")
    with pytest.raises(korvo.KorvoError, match="3 peaks for 2 records"):
        small(realizations=1, scale_pga=[0.1, 0.2, 0.3])


def test_korvo_suite_warns_in_one_line(tmp_path):
    # A record whose times break their spacing: the reader warns, the suite runs.
    lines = (SOURCE / "examples" / "elc180.txt").read_text().splitlines()
    t, a = lines[50].split()
    lines[50] = f"{float(t) - 0.01:.2f} {a}"
    (tmp_path / "uneven.txt").write_text("\n".join(lines) + "\n")
    (tmp_path / "SUITE.toml").write_text(
        SUITE_TOML.format(records=[str(tmp_path / "uneven.txt")], profile=PROFILE)
        .replace("'", '"'))
    done = korvo_suite("SUITE.toml", "--no-figures", "-q", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr.startswith("korvo-suite: warning: ")
    assert "times are not evenly spaced" in done.stderr and len(done.stderr.splitlines()) == 1


def test_a_lost_dask_worker_is_said():
    # A stand-in for a client whose cluster loses one of two workers.
    import threading
    import warnings

    from korvo.suite import _watch_workers

    class Client:
        def __init__(self):
            self.calls = 0

        def scheduler_info(self):
            self.calls += 1
            if self.calls >= 4:
                stop.set()
            return {"workers": {"tcp://a:1": {}, "tcp://b:2": {}} if self.calls < 3
                    else {"tcp://a:1": {}}}

    stop = threading.Event()
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        _watch_workers(Client(), stop, every=0.001)
    assert [str(w.message) for w in said] == [
        "lost the Dask worker tcp://b:2; its runs go to the 1 left"]
    assert issubclass(said[0].category, korvo.KorvoWarning)


def test_a_profile_that_cannot_be_randomized_is_refused():
    p = korvo.Profile.read(PROFILE)
    thickness = np.array(p.thickness)
    thickness[3] = -1e38  # the console runs it; Toro's depths cannot be drawn from it
    bad = korvo.Profile(rho=p.rho, vp=p.vp, qp=p.qp, vs=p.vs, qs=p.qs, thickness=thickness)
    with pytest.raises(korvo.KorvoError, match="layer 4's thickness -1e\\+38 is not a positive"):
        korvo.suite(RECORDS, bad, realizations=1, variation=VARIATION, seed=1)
