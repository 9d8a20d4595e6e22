"""Refusals and faults: korvo.KorvoError with the console program's own report,
and the interpreter (and the next run) unharmed."""

import math
import re
import warnings

import numpy as np
import pytest

import korvo
from conftest import GOLDEN, answers_as_arguments, run_console

RECORD = "0 1.0\n0.01 -2.0\n0.02 4.0\n0.03 0.5\n0.04 -1.5\n"


def soil(*layers, angle=0.0, iflag=0, qexp=0.0, count=None):
    head = "%10.1f\n%10d\n%10d%10.3f\n" % (angle, iflag, len(layers) if count is None else count, qexp)
    return head + "".join("%8.3f" * 6 % layer + "\n" for layer in layers)


TWO_LAYERS = soil((2.0, 400.0, 10.0, 200.0, 10.0, 5.0), (2.2, 1600.0, 50.0, 800.0, 50.0, 0.0))

# (name, record file, soil file, answers after the two names, keywords of korvo.run)
CASES = [
    ("missing record", None, TWO_LAYERS, "0\n1\n0\n0\n", {}),
    ("value not a number", "0 1\n0.01 abc\n", TWO_LAYERS, "0\n1\n0\n0\n", {}),
    ("layer count 0", RECORD, soil(count=0), "0\n1\n0\n0\n", {}),
    ("layer count 51", RECORD, soil(count=51), "0\n1\n0\n0\n", {}),
    ("equal first times", "0 1\n0 2\n0.02 3\n", TWO_LAYERS, "0\n1\n0\n0\n", {}),
    ("zero QS, damping on", RECORD,
     soil((2.0, 400.0, 10.0, 200.0, 0.0, 5.0), (2.2, 1600.0, 50.0, 800.0, 50.0, 0.0), qexp=0.5),
     "0\n1\n0\n0\n", {}),
    ("VS = 0 above the half-space, P waves", RECORD,
     soil((2.0, 400.0, 10.0, 0.0, 10.0, 5.0), (2.2, 1600.0, 50.0, 800.0, 50.0, 0.0)),
     "2\n1\n0\n0\n", {"wave": "p"}),
    ("VS = VP in the half-space, vertical", RECORD,
     soil((2.0, 400.0, 10.0, 200.0, 10.0, 5.0), (2.2, 800.0, 50.0, 800.0, 50.0, 0.0), angle=10),
     "1\n1\n0\n0\n", {"wave": "vertical"}),
]


@pytest.mark.parametrize("name,record,soil_text,answers,keywords", CASES, ids=[c[0] for c in CASES])
def test_same_report_as_the_console(name, record, soil_text, answers, keywords, tmp_path,
                                    monkeypatch):
    if record is not None:
        (tmp_path / "accel.dat").write_text(record)
    (tmp_path / "soil.dat").write_text(soil_text)
    status, err = run_console(tmp_path, "accel.dat\nsoil.dat\n" + answers)
    assert status == 1 and err.startswith("korvo: ")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(korvo.KorvoError) as raised:
        korvo.run("accel.dat", "soil.dat", **keywords)
    assert "korvo: " + str(raised.value) + "\n" == err


def test_a_fault_leaves_the_next_run_sound(tmp_path):
    with pytest.raises(korvo.KorvoError, match="floating-point fault"):
        korvo.run(korvo.Record([0.0, 1e-40, 2e-40], [1.0, 2.0, 3.0]), GOLDEN /
                  "reference_basic_h_input" / "soil.dat")
    src = GOLDEN / "reference_basic_h_input"
    korvo.run(src / "accel.dat", src / "soil.dat",
              **answers_as_arguments((src / "answers").read_text())).write(tmp_path)
    assert (tmp_path / "korvo_dat").read_bytes() == (src / "expected" / "korvo_dat").read_bytes()


def test_record_longer_than_the_transform():
    n = korvo.NMAX + 1
    record = korvo.Record(np.arange(n) * 0.01, np.ones(n))
    profile = korvo.Profile.read(GOLDEN / "reference_basic_h_input" / "soil.dat")
    with pytest.raises(korvo.KorvoError, match=r"^record: NT>2\*\*15 !!!!! \(32769 samples"):
        korvo.run(record, profile)
    korvo.run(korvo.Record(record.time[:-1], record.accel[:-1]), profile)


LAYER = dict(rho=[2.0, 2.2], vp=[400, 1600], qp=[10, 50], vs=[200, 800], qs=[10, 50],
             thickness=[5, 0])


def profile(**changes):
    return korvo.Profile(**{**LAYER, **changes})


def one_layer_run(**keywords):
    return korvo.run(korvo.Record([0, 0.01, 0.02], [1, 2, 3]), profile(), **keywords)


# What only the API can be asked: each refused with a report naming the argument.
@pytest.mark.parametrize("call,report", [
    (lambda: profile(**{k: [1.0] * 51 for k in LAYER}),
     "profile: layer count 51 outside the allowed range 1 to 50"),
    (lambda: profile(**{k: [] for k in LAYER}),
     "profile: layer count 0 outside the allowed range 1 to 50"),
    (lambda: profile(vs=[200.0]), "profile: vs has 1 layers, rho 2"),
    (lambda: profile(qs=[10.0, math.nan]), r"qs\[1\] is not finite"),
    (lambda: profile(angle=math.inf), "angle inf is not finite"),
    (lambda: korvo.transfer(profile(), 1000, 0.01), "nf: a transform length is a power of two"),
    (lambda: korvo.transfer(profile(), 1 << 16, 0.01), "nf: a transform length is a power of two"),
    (lambda: one_layer_run(reference=3), "reference is 1"),
    (lambda: one_layer_run(wave="sideways"), "wave is 'horizontal'"),
    (lambda: one_layer_run(conditioning="smooth"), "conditioning is None"),
    (lambda: one_layer_run(band_pass=(1, 2, 3, 4, 5)), "band_pass: at most the four corners"),
    (lambda: korvo.run(korvo.Record([0, 0.01], [1, math.inf]), profile()), r"accel\[1\] is not finite"),
    (lambda: korvo.read_record("x", format="csv"), "format is 'pairs'"),
    (lambda: korvo.response_spectrum([1, 2], 0.0), "dt must be positive"),
    (lambda: korvo.response_spectrum([1, 2], 0.01, damping=1.0), r"damping must lie in \[0, 1\)"),
    (lambda: korvo.response_spectrum([1, 2], 0.01, periods=[0.1, 0.0]), "periods must be positive"),
])
def test_api_refusals(call, report):
    with pytest.raises(korvo.KorvoError, match=report) as raised:
        call()
    assert isinstance(raised.value, ValueError)
    assert "\n" not in str(raised.value)


# Records whose first two times do not increase: refused from arrays in the
# words the console uses for the same pairs in a file.
@pytest.mark.parametrize("times", [[0.01, 0.0, 0.02], [0.0, 0.0, 0.02], [0.5]],
                         ids=["decreasing", "equal", "one sample"])
def test_arrays_refused_as_the_console_refuses_their_file(times, tmp_path):
    (tmp_path / "accel.dat").write_text("".join(f"{t} 1.0\n" for t in times))
    (tmp_path / "soil.dat").write_text(TWO_LAYERS)
    status, err = run_console(tmp_path, "accel.dat\nsoil.dat\n0\n1\n0\n0\n")
    assert status == 1 and err.startswith("korvo: accel.dat: ")
    with pytest.raises(korvo.KorvoError) as raised:
        korvo.Record(times, [1.0] * len(times))
    assert "korvo: " + str(raised.value).replace("record", "accel.dat", 1) + "\n" == err


def test_uneven_times_warn_as_the_console_does(tmp_path, monkeypatch):
    (tmp_path / "accel.dat").write_text("0 1.0\n0.01 2.0\n0.05 3.0\n0.03 1.0\n0.04 2.0\n")
    (tmp_path / "soil.dat").write_text(TWO_LAYERS)
    status, err = run_console(tmp_path, "accel.dat\nsoil.dat\n0\n1\n0\n0\n")
    note = err.splitlines()[0]
    assert status == 0 and note.startswith("korvo: accel.dat: the times are not evenly spaced")
    monkeypatch.chdir(tmp_path)
    with pytest.warns(korvo.KorvoWarning) as caught:
        korvo.read_record("accel.dat")
    assert ["korvo: " + str(w.message) for w in caught] == [note]
    with pytest.warns(korvo.KorvoWarning, match=r"^record: the times are not evenly spaced: "
                                                 r"time\[2\] is 0.05, expected 0.02$"):
        korvo.Record([0, 0.01, 0.05, 0.03, 0.04], np.ones(5))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        korvo.Record(np.arange(1000) * 0.005, np.ones(1000))


SOIL = GOLDEN / "reference_basic_h_input" / "soil.dat"
RUN = dict(record=korvo.Record([0, 0.01, 0.02], [1, 2, 3]), profile=SOIL)
NAN, INF = math.nan, math.inf
TYPE, VALUE = korvo.KorvoTypeError, korvo.KorvoError


def one_run(**changes):
    return korvo.run(**{**RUN, **changes})


def one_suite(**changes):
    return korvo.suite(**{"records": [RUN["record"]], "profile": SOIL, "realizations": 1,
                          "seed": 1, **changes})


# Every public function against wrong types, shapes, non-finite values, bad
# sample intervals, huge integers and empty arrays: one line, the argument
# named; KorvoTypeError (a TypeError too) for a type, KorvoError for a value.
ARGUMENT_REFUSALS = [
    # wrong types
    ("transfer None",        lambda: korvo.transfer(None, 1024, 0.01),                       TYPE,  "profile must be a korvo.Profile"),
    ("transfer nf str",      lambda: korvo.transfer(profile(), "1024", 0.01),                TYPE,  "nf must be a whole number, not str"),
    ("transfer nf float",    lambda: korvo.transfer(profile(), 1024.0, 0.01),                TYPE,  "nf must be a whole number"),
    ("transfer dt None",     lambda: korvo.transfer(profile(), 1024, None),                  TYPE,  "dt must be a number"),
    ("transfer wave",        lambda: korvo.transfer(profile(), 1024, 0.01, None),            TYPE,  "wave is 'horizontal'"),
    ("strings",              lambda: profile(vs=["a", "b"]),                                 TYPE,  "vs must be an array of numbers, not of strings"),
    ("numeric strings",      lambda: profile(vs=["200", "800"]),                             TYPE,  "vs must be an array of numbers, not of strings"),
    ("None inside",          lambda: profile(rho=[2.0, None]),                               TYPE,  "rho must be an array of numbers, not hold NoneType"),
    ("booleans",             lambda: profile(thickness=[True, False]),                       TYPE,  "thickness must be an array of numbers, not of booleans"),
    ("column None",          lambda: profile(qp=None),                                       TYPE,  "qp must be an array of numbers, not NoneType"),
    ("qexp None",            lambda: profile(qexp=None),                                     TYPE,  "qexp must be a number"),
    ("angle str",            lambda: profile(angle="10"),                                    TYPE,  "angle must be a number, not str"),
    ("iflag float",          lambda: profile(iflag=1.5),                                     TYPE,  "iflag must be a whole number"),
    ("soil path None",       lambda: korvo.Profile.read(None),                               TYPE,  "path must be a file name"),
    ("record time None",     lambda: korvo.Record(None, [1.0]),                              TYPE,  "time must be an array of numbers"),
    ("record unit",          lambda: korvo.Record([0, 1], [1, 2], unit=9.81),                TYPE,  "unit must be a str or None"),
    ("read path None",       lambda: korvo.read_record(None),                                TYPE,  "path must be a file name"),
    ("read format list",     lambda: korvo.read_record(SOIL, format=["at2"]),                TYPE,  "format is 'pairs'"),
    ("run record None",      lambda: one_run(record=None),                                   TYPE,  "record must be a korvo.Record or a file name"),
    ("run profile None",     lambda: one_run(profile=None),                                  TYPE,  "profile must be a korvo.Profile or a soil file"),
    ("run reference str",    lambda: one_run(reference="1"),                                 TYPE,  "reference must be a whole number"),
    ("run conditioning",     lambda: one_run(conditioning=["integrate"]),                    TYPE,  "conditioning is None"),
    ("run band_pass str",    lambda: one_run(band_pass="1234"),                              TYPE,  "band_pass must be an array of numbers"),
    ("run band_pass None",   lambda: one_run(band_pass=[1.0, None]),                         TYPE,  "band_pass must be an array of numbers"),
    ("run threads",          lambda: one_run(threads="no"),                                  TYPE,  "threads must be True or False"),
    ("spectrum accel",       lambda: korvo.response_spectrum(None, 0.01),                    TYPE,  "accel must be an array of numbers"),
    ("spectrum dt",          lambda: korvo.response_spectrum([1, 2], "0.01"),                TYPE,  "dt must be a number"),
    ("spectrum periods",     lambda: korvo.response_spectrum([1, 2], 0.01, ["1"]),           TYPE,  "periods must be an array of numbers"),
    ("spectrum damping",     lambda: korvo.response_spectrum([1, 2], 0.01, damping=None),    TYPE,  "damping must be a number"),
    ("spectrum oversample",  lambda: korvo.response_spectrum([1, 2], 0.01, oversample="no"), TYPE,  "oversample must be True or False"),
    ("suite records str",    lambda: one_suite(records="accel.dat"),                         TYPE,  "records must be a sequence or mapping"),
    ("suite record None",    lambda: one_suite(records=[None]),                              TYPE,  r"records\[0\] must be a korvo.Record"),
    ("suite workers",        lambda: one_suite(workers="2"),                                 TYPE,  "workers must be a whole number"),
    ("suite progress",       lambda: one_suite(progress=True),                               TYPE,  "progress must be callable"),
    ("suite wave",           lambda: one_suite(wave=0.5),                                    TYPE,  "wave is 'horizontal'"),
    ("toro site class",      lambda: korvo.Toro(["USGS C"]),                                 TYPE,  "site_class is one of"),
    ("toro ln_std str",      lambda: korvo.Toro(depth_ln_std="0.1"),                         TYPE,  "depth_ln_std must be a number"),
    ("toro layering",        lambda: korvo.Toro(layering="yes"),                             TYPE,  "layering must be True or False"),
    ("toro profile",         lambda: korvo.Toro().realize(None, 1, 0),                       TYPE,  "profile must be a korvo.Profile or a dict"),
    ("toro depths",          lambda: korvo.Toro().correlation(["5"], 1.0),                   TYPE,  "depth must be a number or an array of numbers"),
    ("write folder None",    lambda: one_run().write(None),                                  TYPE,  "folder must be a file name"),
    # not one-dimensional
    ("2-D column",           lambda: profile(vs=[[200.0, 800.0]]),                           VALUE, r"vs: a one-dimensional array is needed, not shape \(1, 2\)"),
    ("ragged column",        lambda: profile(vs=[[200.0], [800.0, 1.0]]),                    VALUE, "vs: a one-dimensional array is needed, not a ragged"),
    ("2-D time",             lambda: korvo.Record(np.zeros((2, 2)), np.zeros(4)),            VALUE, "time: a one-dimensional array"),
    ("periods scalar",       lambda: korvo.response_spectrum([1, 2], 0.01, 0.5),             VALUE, r"periods: a one-dimensional array is needed, not shape \(\)"),
    ("lengths differ",       lambda: korvo.Record([0, 0.01], [1, 2, 3]),                     VALUE, "record: time has 2 samples, accel 3"),
    # NaN, Inf, beyond single precision
    ("time NaN",             lambda: korvo.Record([0, NAN], [1, 2]),                         VALUE, r"time\[1\] is not finite"),
    ("accel too large",      lambda: korvo.Record([0, 0.01], [1, 1e39]),                     VALUE, r"accel\[1\] = 1e\+39 is beyond single precision"),
    ("transfer dt 1e39",     lambda: korvo.transfer(profile(), 1024, 1e39),                  VALUE, "dt 1e\\+39 is not finite as a single-precision number"),
    ("band_pass inf",        lambda: one_run(band_pass=[1, INF]),                            VALUE, r"band_pass\[1\] is not finite"),
    ("suite frequencies",    lambda: one_suite(frequencies=[1.0, NAN]),                      VALUE, r"frequencies\[1\] is not finite"),
    ("toro b NaN",           lambda: korvo.Toro(b=NAN),                                      VALUE, "b nan is not finite"),
    # sample intervals
    ("decreasing times",     lambda: korvo.Record(-np.arange(64) * 0.01, np.ones(64)),       VALUE, r"record: the sample interval T\(2\) - T\(1\) = -0.01 is not positive"),
    ("transfer dt < 0",      lambda: korvo.transfer(profile(), 1024, -0.01),                 VALUE, "dt must be positive"),
    ("transfer dt 0",        lambda: korvo.transfer(profile(), 1024, 0.0),                   VALUE, "dt must be positive"),
    ("transfer dt 1e-50",    lambda: korvo.transfer(profile(), 1024, 1e-50),                 VALUE, "dt must be positive in single precision"),
    # huge integers
    ("iflag 10**20",         lambda: profile(iflag=10 ** 20),                                VALUE, "iflag must be from -2147483648 to 2147483647"),
    ("nf 2**70",             lambda: korvo.transfer(profile(), 2 ** 70, 0.01),               VALUE, "nf: a transform length is a power of two"),
    ("velocity 10**400",     lambda: profile(vs=[10 ** 400, 800]),                           VALUE, "vs: a value beyond single precision"),
    ("reference 2**70",      lambda: one_run(reference=2 ** 70),                             VALUE, "reference must be from"),
    ("realizations 2**70",   lambda: one_suite(realizations=2 ** 70),                        VALUE, "realizations must be a positive whole number"),
    ("workers 2**70",        lambda: one_suite(workers=2 ** 70),                             VALUE, "workers must be from 1 to"),
    ("toro seed < 0",        lambda: korvo.Toro().realize(profile(), -1, 0),                 VALUE, "seed must be at least 0"),
    # empty arrays
    ("empty record",         lambda: korvo.Record([], []),                                   VALUE, "record: no samples"),
    ("empty history",        lambda: korvo.response_spectrum([], 0.01),                      VALUE, "accel: a history needs at least two samples, not 0"),
    ("no periods",           lambda: korvo.response_spectrum([1, 2], 0.01, []),              VALUE, "periods: at least one period is needed"),
    # a NUL would end the name korvo's reader opens: this one would read the soil file
    ("NUL in a path",        lambda: korvo.Profile.read(str(SOIL) + "\0.bak"),               VALUE, "path: a file name cannot hold a NUL character"),
    # ... and this one would overwrite a file "x" three times, reported as written
    ("NUL in a folder",      lambda: one_run().write("x\0y"),                                VALUE, "folder: a file name cannot hold a NUL character"),
    # results beyond single precision
    ("psa overflows",        lambda: korvo.response_spectrum(np.full(100, 3e38), 0.01),      VALUE, "accel: psa at period 0.01 s is beyond single precision"),
    ("pgd overflows",        lambda: korvo.response_spectrum(np.ones(100), 1e30),            VALUE, "accel and dt: pgd is beyond single precision"),
]


@pytest.mark.parametrize("call,error,report", [c[1:] for c in ARGUMENT_REFUSALS],
                         ids=[c[0] for c in ARGUMENT_REFUSALS])
def test_argument_refusals(call, error, report):
    with pytest.raises(korvo.KorvoError) as raised:
        call()
    assert type(raised.value) is error
    assert isinstance(raised.value, ValueError if error is VALUE else TypeError)
    assert re.match(report, str(raised.value))
    assert "\n" not in str(raised.value)


def test_a_record_changed_after_its_checks_is_refused_by_the_run():
    record = korvo.Record([0.0, 0.01, 0.02], [1.0, 2.0, 3.0])
    record.time = np.array([0.01, 0.0, 0.02], dtype=np.float32)
    with pytest.raises(korvo.KorvoError,
                       match=r"^record: the sample interval T\(2\) - T\(1\) = -0.01 is not positive$"):
        korvo.run(record, SOIL)


def test_numbers_of_any_numeric_type_are_accepted():
    # numpy scalars, integer columns and integers beyond 64 bits that fit a float32
    wide = profile(vs=np.array([200, 800], dtype=np.int64), rho=[2, 10 ** 20], iflag=np.int32(1))
    assert wide.rho[1] == np.float32(1e20) and wide.iflag == 1
    assert np.array_equal(korvo.transfer(profile(), np.int64(1024), np.float32(0.01)),
                          korvo.transfer(profile(), 1024, float(np.float32(0.01))))
    ran = one_run(reference=np.int64(2), threads=np.bool_(False), band_pass=np.array([1, 2, 90]))
    assert np.all(np.isfinite(ran.motion))
