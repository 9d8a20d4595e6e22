"""Refusals and faults: korvo.KorvoError with the console program's own report,
and the interpreter (and the next run) unharmed."""

import math

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
        korvo.run(korvo.Record([0.0, 0.0, 0.02], [1.0, 2.0, 3.0]), GOLDEN /
                  "reference_basic_h_input" / "soil.dat")
    src = GOLDEN / "reference_basic_h_input"
    korvo.run(src / "accel.dat", src / "soil.dat",
              **answers_as_arguments((src / "answers").read_text())).write(tmp_path)
    assert (tmp_path / "korvo_dat").read_bytes() == (src / "expected" / "korvo_dat").read_bytes()


def test_record_longer_than_the_transform():
    n = korvo.NMAX + 1
    record = korvo.Record(np.arange(n) * 0.01, np.ones(n))
    profile = korvo.Profile.read(GOLDEN / "reference_basic_h_input" / "soil.dat")
    with pytest.raises(korvo.KorvoError, match=r"^record: NT>2\*\*15 !!!!! \(32769 pairs"):
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
