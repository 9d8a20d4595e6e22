"""Profiles and transfer functions: one elastic layer over an elastic
half-space against its closed form in double, and a profile from arrays
against the same profile from a soil file."""

import math

import numpy as np
import pytest

import korvo

RHO, V1, V2, H = (2.0, 2.5), 200.0, 800.0, 10.0


def one_layer(velocity_columns, angle=0.0, iflag=0):
    columns = dict(rho=RHO, vp=(400.0, 1600.0), qp=(10, 50), vs=(V1, V2), qs=(10, 50),
                   thickness=(H, 0.0), qexp=999.0, angle=angle, iflag=iflag)
    columns.update(velocity_columns)
    return korvo.Profile(**columns)


def closed_form(omega, v1, v2, angle_deg, iflag):
    """Surface over outcrop (times 2 with IFLAG = 1) and surface over the top
    of the half-space, as korvo's method forms them: the angle enters through
    the vertical wavenumbers omega sqrt(1/v^2 - p^2), p = sin(angle) / v2;
    the impedance ratio is rho1 v1 / (rho2 v2) at every angle."""
    p = math.sin(math.radians(angle_deg)) / v2
    kz1 = omega * math.sqrt(1 / v1**2 - p**2)
    alpha = RHO[0] * v1 / (RHO[1] * v2)
    c, s = np.cos(kz1 * H), np.sin(kz1 * H)
    return (2 if iflag == 1 else 1) / (c + 1j * alpha * s), 1 / c


# wave, the columns holding its velocities, angle (degrees), IFLAG
ROWS = [
    ("horizontal", {}, 0.0, 0),
    ("horizontal", {}, 30.0, 1),
    ("p", {"vp": (V1, V2), "vs": (100.0, 400.0)}, 0.0, 0),
]


@pytest.mark.parametrize("wave,columns,angle,iflag", ROWS)
def test_one_layer_closed_form(wave, columns, angle, iflag):
    nf, dt = 64, 0.01
    amp = korvo.transfer(one_layer(columns, angle, iflag), nf, dt, wave)
    assert amp.shape == (nf // 2 + 1, 2)
    dom = 2 * math.pi / (nf * dt)
    for i, (outcrop, within) in enumerate(amp):
        want_outcrop, want_within = closed_form(i * dom, V1, V2, angle, iflag)
        assert abs(outcrop - want_outcrop) <= 1e-5 * abs(want_outcrop), i
        if abs(1 / want_within) > 0.05:  # away from the poles of the undamped column
            assert abs(within - want_within) <= 1e-5 * abs(want_within), i


SOIL = """{angle:10s}
         1
         3       0.3
   2.000 400.000  10.000 200.000  10.000  10.000
   2.100 800.000  20.000 400.000  20.000  20.000
   2.400  1600.0  50.000 800.000  50.000   0.000
"""


@pytest.mark.parametrize("angle", ["0.0", "20.", "33.3", "45.7", "89.9"])
def test_arrays_and_soil_file_agree(angle, tmp_path):
    path = tmp_path / "soil.dat"
    path.write_text(SOIL.format(angle=angle.rjust(10)))
    from_file = korvo.Profile.read(path)
    from_arrays = korvo.Profile(rho=[2.0, 2.1, 2.4], vp=[400, 800, 1600], qp=[10, 20, 50],
                                vs=[200, 400, 800], qs=[10, 20, 50], thickness=[10, 20, 0],
                                qexp=0.3, angle=float(angle), iflag=1)
    assert from_file.radians == from_arrays.radians
    assert from_file.angle == from_arrays.angle == np.float32(float(angle))
    for wave in ("horizontal", "vertical", "p"):
        a = korvo.transfer(from_file, 256, 0.01, wave)
        b = korvo.transfer(from_arrays, 256, 0.01, wave)
        assert np.array_equal(a.view(np.uint32), b.view(np.uint32)), wave
