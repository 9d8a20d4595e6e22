#!/usr/bin/env python3
"""Independent double-precision model of a whole korvo run, for reviewing
golden files before they are committed.

    tests/golden/crosscheck.py CASE_DIR...

For each case folder (accel.dat, soil.dat, answers, expected/) it recomputes
the transfer functions, the processed spectrum and the surface history in
double precision with Python's own complex arithmetic (no code shared with
korvo) and compares every numeric field of expected/S_amp1, amp_dat and
korvo_dat. A field agrees when it is within what its four shown digits can
hold (0.6 of a unit in the last digit) plus single-precision noise (3e-5 of
the largest value of its column, or of the modulus column for a real or
imaginary part: phases of up to about a hundred radians are
carried in single precision). It prints the number of fields that do not
agree and the worst of them; exit status 1 when any field disagrees.
"""
import cmath
import math
import re
import struct
import sys
from pathlib import Path


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def number(text):
    text = text.strip().replace("D", "E").replace("d", "e")
    return f32(float(text)) if text else 0.0


def fft(x, sign):
    n = len(x)
    if n == 1:
        return list(x)
    even, odd = fft(x[0::2], sign), fft(x[1::2], sign)
    out = [0j] * n
    for k in range(n // 2):
        t = cmath.exp(sign * 2j * math.pi * k / n) * odd[k]
        out[k], out[k + n // 2] = even[k] + t, even[k] - t
    return out


def read_record(path):
    values = [number(v) for v in re.split(r"[\s,]+", path.read_text()) if v]
    pairs = values[: len(values) // 2 * 2]
    return pairs[0::2], pairs[1::2], (values[1 * 2] if len(values) > 2 else 0.0)


def read_soil(path):
    lines = path.read_text().splitlines()
    angle = number(lines[0][:10]) * math.pi / 180
    iflag = int(lines[1][:10])
    nl, qexp = int(lines[2][:10]), number(lines[2][10:20])
    layers = []
    for line in lines[3 : 3 + nl]:
        line = line.ljust(48)
        layers.append([number(line[8 * k : 8 * k + 8]) for k in range(6)])
    return angle, iflag, qexp, layers  # rho, vp, qp, vs, qs, th


def transfer(omega, angle, iflag, qexp, layers, wave):
    """(surface / input wave * ANUM, surface / total motion at the top of the half-space)."""
    anum = 2.0 if iflag == 1 else 1.0
    if omega == 0.0:
        return complex(anum), 1 + 0j
    fhz = omega / (2 * math.pi)

    def damped(v, q):
        return v if qexp == 999.0 else v * (1 + 0.5j / (q * fhz ** qexp))

    def velocity(layer, damp=True):
        rho, vp, qp, vs, qs, th = layer
        if wave == 0:
            return damped(vs, qs) if damp else vs
        if wave == 1:
            s, p = (damped(vs, qs), damped(vp, qp)) if damp else (vs, vp)
            return s * cmath.sqrt(3 / (1 - (s / p) ** 2))
        return damped(vp, qp) if damp else vp

    p2 = math.sin(angle) ** 2 / velocity(layers[-1], damp=False) ** 2
    up, down = 1 + 0j, 1 + 0j  # surface: free, unit up- and down-going waves
    for j in range(len(layers) - 1):
        v, v_below = velocity(layers[j]), velocity(layers[j + 1])
        kz = omega * cmath.sqrt(1 / v**2 - p2)  # principal root, as korvo takes it
        h = layers[j][5]
        u_bottom, d_bottom = up * cmath.exp(1j * kz * h), down * cmath.exp(-1j * kz * h)
        ratio = layers[j][0] * v / (layers[j + 1][0] * v_below)
        # Continuity of motion and of impedance-weighted difference across the boundary.
        up = ((1 + ratio) * u_bottom + (1 - ratio) * d_bottom) / 2
        down = ((1 - ratio) * u_bottom + (1 + ratio) * d_bottom) / 2
    return anum / up, 2 / (up + down)


def model(case):
    times, accel, _ = read_record(case / "accel.dat")
    answers = (case / "answers").read_text().split("\n")[2:]
    angle, iflag, qexp, layers = read_soil(case / "soil.dat")
    nt = len(accel)
    second_time = times[1] if len(times) > 1 else 0.0
    dt = f32(second_time - times[0])
    nf = 4
    while nf < nt:
        nf *= 2
    dur = nf * dt
    dom = 2 * math.pi / dur
    nom = nf // 2 + 1
    x = fft([complex(a) for a in accel] + [0j] * (nf - nt), -1)
    x = [c * dt for c in x]
    queue = [a for a in " ".join(answers).split()]
    iwave = int(queue.pop(0))
    iamp = int(queue.pop(0))
    while iamp not in (1, 2):
        iamp = int(queue.pop(0))
    wave = 0 if iwave == 0 else 1 if iwave == 1 else 2
    tau = sum(l[5] / l[3] for l in layers[:-1])
    samp = []
    for i in range(nom):
        om = i * dom
        a1, a2 = transfer(om, angle, iflag, qexp, layers, wave)
        samp.append([om / (2 * math.pi), a1.real, a1.imag, abs(a1), a2.real, a2.imag, abs(a2)])
        x[i] *= (a1 if iamp == 1 else a2) * cmath.exp(1j * om * tau)
    intg = int(queue.pop(0))
    ibpf = int(queue.pop(0))
    corners = [0.0, 0.0, 0.0, 99999.9]
    if ibpf == 1:
        for k, v in enumerate(queue[:4]):
            if v == "/":  # the rest keep their values
                break
            corners[k] = float(v)
    l1, l2, h1, h2 = corners
    x[0] = 0j
    for i in range(1, nom):
        om = i * dom
        fac = 1.0
        if ibpf == 1:
            if om <= l1 or om >= h2:
                fac = 0.0
            else:
                if om < l2:
                    fac = (om - l1) / (l2 - l1)
                if om > h1:
                    fac = (h2 - om) / (h2 - h1)
        x[i] *= fac
        if intg == 1:
            x[i] /= 1j * om
        elif intg == 2:
            x[i] *= 1j * om
    amp = [[i * dom / (2 * math.pi), x[i].real, x[i].imag, abs(x[i])] for i in range(1, nom)]
    for i in range(1, nf // 2):
        x[nf - i] = x[i].conjugate()
    y = fft(x, 1)
    history = [[i * dt, y[i].real / dur] for i in range(nt)]
    return {"S_amp1": samp, "amp_dat": amp, "korvo_dat": history}


def fields(line, widths):
    out, pos = [], 0
    for w in widths:
        out.append(line[pos : pos + w])
        pos += w
    return out


def compare(case):
    want = model(case)
    bad, worst = 0, None
    for name, widths in (("S_amp1", [8] + [12] * 6), ("amp_dat", [8] + [12] * 3),
                         ("korvo_dat", [8, 12])):
        rows = want[name]
        lines = (case / "expected" / name).read_bytes().decode().split("\r\n")[:-1]
        if len(lines) != len(rows):
            print(f"{case.name}/{name}: {len(lines)} lines, model has {len(rows)}")
            bad += 1
            continue
        peaks = [max(abs(r[c]) for r in rows) for c in range(len(widths))]
        # A real or imaginary part is as noisy as the modulus of its number.
        for c in range(1, len(widths) - 1, 3):
            peaks[c] = peaks[c + 1] = peaks[c + 2]
        for n, (line, row) in enumerate(zip(lines, rows), 1):
            for c, text in enumerate(fields(line, widths)):
                if "*" in text:
                    continue
                got, ref = float(text), row[c]
                digits = 4 if c else (3 if name == "korvo_dat" else 4)
                unit = 10.0 ** -digits if c == 0 else (
                    10 ** (math.floor(math.log10(abs(ref))) - 3) if ref else 0.0)
                tol = 0.6 * unit + 3e-5 * peaks[c]
                if abs(got - ref) > tol:
                    bad += 1
                    excess = abs(got - ref) / tol if tol else math.inf
                    if worst is None or excess > worst[0]:
                        worst = (excess, f"{name} line {n} field {c + 1}: {text.strip()} vs {ref:.6g}")
    print(f"{case.name}: {bad} fields disagree" + (f"; worst {worst[1]}" if worst else ""))
    return bad


if __name__ == "__main__":
    sys.exit(1 if sum(compare(Path(p)) for p in sys.argv[1:]) else 0)
