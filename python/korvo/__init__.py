"""korvo: one-dimensional seismic site response, from Python.

The same single-precision numbers as the console program ``korvo``: a run
through :func:`run` writes result files byte for byte identical to the
console's, and its arrays hold exactly the values those files are formatted
from.

Functions
---------
read_record
    A record file (time/acceleration pairs, PEER AT2 or USGS SMC) as a
    :class:`Record`.
Profile
    A layered soil profile, from a soil file (:meth:`Profile.read`) or arrays.
transfer
    The two transfer functions of a profile on a frequency grid.
run
    The whole run: record, profile and the console's answers in, a
    :class:`RunResult` out.
response_spectrum
    Response spectra and ground peaks of an acceleration history.

Every refusal and floating-point fault is raised as :class:`KorvoError` (a
``ValueError``) carrying korvo's one-line report; an argument of the wrong
type as :class:`KorvoTypeError`, both a ``TypeError`` and a KorvoError. Either
message names the argument. What the console warns of (uneven times, a soil
line off its columns) is a :class:`KorvoWarning`. The numeric work
releases the GIL, so runs in a thread pool use every core.
"""

from __future__ import annotations

import os
import warnings
from typing import Optional, Sequence, Tuple, Union

import numpy as np

from . import _args, _korvo
from ._args import KorvoTypeError, KorvoWarning
from ._korvo import KorvoError

__all__ = [
    "KorvoError",
    "KorvoTypeError",
    "KorvoWarning",
    "Record",
    "read_record",
    "Profile",
    "transfer",
    "RunResult",
    "run",
    "Spectrum",
    "response_spectrum",
    "SiteResult",
    "NonlinearResult",
    "site",
    "Column",
    "rvt",
    "NMAX",
    "LMAX",
]

__version__: str = _korvo.__version__
"""The project's version, the same as the commands' --version."""
NMAX: int = _korvo.NMAX
"""Longest record a run accepts, in samples (2**15)."""
LMAX: int = _korvo.LMAX
"""Most layers of a profile, the half-space included."""

PathLike = Union[str, "os.PathLike[str]"]

_WAVES = {"horizontal": 0, "vertical": 1, "p": 2}
_CONDITIONING = {None: 0, "integrate": 1, "differentiate": 2}


def _corners(band_pass, band_pass_hz) -> Optional[list]:
    """The band-pass corners in rad/s, from either of the two arguments."""
    if band_pass_hz is None:
        return None if band_pass is None else _args.array(band_pass, "band_pass").tolist()
    if band_pass is not None:
        raise KorvoError("give the corners once: band_pass (rad/s) or band_pass_hz (Hz)")
    hz = _args.array(band_pass_hz, "band_pass_hz", float)
    if len(hz) > 4:
        raise KorvoError(f"band_pass_hz: at most the four corners, not {len(hz)}")
    return _args.array(2.0 * np.pi * hz, "band_pass_hz").tolist()


def _wave_code(wave: Union[str, int]) -> int:
    words = "'horizontal', 'vertical' or 'p' (or 0, 1, 2)"
    if isinstance(wave, str) and wave.lower() in _WAVES:
        return _WAVES[wave.lower()]
    if isinstance(wave, (int, np.integer)) and not isinstance(wave, (bool, np.bool_)):
        if 0 <= wave <= 2:
            return int(wave)
    elif not isinstance(wave, str):
        raise KorvoTypeError(f"wave is {words}, not {type(wave).__name__}")
    raise KorvoError(f"wave is {words}, not {wave!r}")


def _profile(profile, name: str = "profile") -> "Profile":
    if isinstance(profile, Profile):
        return profile
    if isinstance(profile, (str, bytes, os.PathLike)):
        return Profile.read(profile)
    raise KorvoTypeError(f"{name} must be a korvo.Profile or a soil file name, "
                         f"not {type(profile).__name__}")


def _warn(notes, stacklevel: int = 3) -> None:
    for note in notes:
        warnings.warn(note, KorvoWarning, stacklevel=stacklevel)


def _readonly(a: np.ndarray) -> np.ndarray:
    a.setflags(write=False)
    return a


class Record:
    """An acceleration record as korvo reads it.

    Parameters
    ----------
    time : array_like, shape (n,)
        Sample times, s. Only the first two matter to a run: its sample
        interval is ``time[1] - time[0]`` in single precision.
    accel : array_like, shape (n,)
        Accelerations, any unit (the results carry it).
    unit : str, optional
        The unit of `accel`, when known.

    Attributes
    ----------
    time, accel : ndarray of float32, shape (n,)
        Read-only.
    dt : float
        ``time[1] - time[0]`` in single precision, s: the DT of a run. A
        missing time counts as 0, as in korvo's reader.
    unit : str or None
        ``'g'``, ``'cm/s^2'`` or ``'m/s^2'`` for AT2 and SMC files (as their
        header states or the format assumes); None for pairs files.
    format : str
        ``'pairs'``, ``'at2'``, ``'smc'``, or ``'arrays'`` when built from arrays.
    title : str
        The first header line of an AT2 or SMC file, else ''.
    source : str
        The file name, or ``'record'``; refusals name it.

    Raises
    ------
    KorvoTypeError
        `time` or `accel` not an array of numbers, `unit` not a str.
    KorvoError
        Arrays not one-dimensional, of different lengths, empty, or holding
        values not finite in single precision; a sample interval that is not
        positive (the console's refusal of such a record file). Times after
        the second are not checked: as in a record file, only ``dt`` counts.
    """

    def __init__(self, time, accel, unit: Optional[str] = None) -> None:
        self._fill(time, accel, unit, "arrays", "", "record")

    def _fill(self, time, accel, unit, format, title, source) -> None:
        self.time = _readonly(_args.array(time, "time"))
        self.accel = _readonly(_args.array(accel, "accel"))
        if len(self.time) != len(self.accel):
            raise KorvoError(f"{source}: time has {len(self.time)} samples, "
                             f"accel {len(self.accel)}")
        if unit is not None and not isinstance(unit, str):
            raise KorvoTypeError(f"unit must be a str or None, not {type(unit).__name__}")
        self.unit, self.format, self.title, self.source = unit, format, title, source
        if not len(self):
            raise KorvoError(f"{source}: no samples")
        # As the console refuses a record file: decreasing or equal times
        # would give a negative or empty frequency grid.
        if not self.dt > 0.0:
            raise KorvoError(f"{source}: the sample interval T(2) - T(1) = {self.dt:.7g} "
                             "is not positive")
        if format == "arrays":
            _warn(self._uneven(), stacklevel=4)

    def _uneven(self) -> list:
        """The console's note on a time more than half a step off its place
        ``time[0] + i * dt`` (a run uses those places, not the times)."""
        t = self.time.astype(float)
        dt = t[1] - t[0] if len(t) > 1 else 0.0
        off = np.flatnonzero(np.abs(t - (t[0] + np.arange(len(t)) * dt)) > 0.5 * abs(dt))
        if not off.size:
            return []
        i = int(off[0])
        return [f"{self.source}: the times are not evenly spaced: time[{i}] is {t[i]:g}, "
                f"expected {t[0] + i * dt:g}"]

    @property
    def dt(self) -> float:
        t = [self.time[i] if i < len(self.time) else np.float32(0) for i in (0, 1)]
        with np.errstate(over="ignore"):
            return float(np.float32(t[1] - t[0]))

    def __len__(self) -> int:
        return len(self.accel)

    def scaled(self, factor: float) -> "Record":
        """The record with every sample times `factor` (same times, unit and
        source); values beyond single precision are refused."""
        out = Record.__new__(Record)
        with np.errstate(over="ignore"):
            accel = self.accel.astype(float) * float(factor)
        out._fill(self.time, accel, self.unit, self.format, self.title, self.source)
        return out

    def __getitem__(self, key: slice) -> "Record":
        """The samples of a slice (``record[:32768]``, ``record[500:]``), a
        Record of the same unit, format and source. A step would change the
        sample interval without filtering, so it is refused."""
        if not isinstance(key, slice):
            raise KorvoTypeError(f"a Record is sliced (record[a:b]), not indexed by "
                                 f"{type(key).__name__}")
        if key.step not in (None, 1):
            raise KorvoError(f"{self.source}: a slice with step {key.step!r} would resample "
                             "the record without filtering; only steps of 1")
        out = Record.__new__(Record)
        out._fill(self.time[key], self.accel[key], self.unit, self.format, self.title,
                  self.source)
        return out

    def __repr__(self) -> str:
        unit = f", unit={self.unit!r}" if self.unit else ""
        return f"<korvo.Record {self.source!r}: {len(self)} samples, dt={self.dt:g} s{unit}>"


def read_record(path: PathLike, format: Optional[str] = None, *,
                start: Optional[float] = None, stop: Optional[float] = None) -> Record:
    """Read an acceleration record file.

    Parameters
    ----------
    path : str or os.PathLike
        A pairs file (free-form ``time acceleration`` pairs, what the console
        program reads), a PEER NGA ``.AT2`` file or a USGS SMC corrected
        accelerogram.
    format : {None, 'pairs', 'at2', 'smc'}, optional
        The layout; by default AT2 and SMC are told by extension or content
        (as korvo-record does) and anything else is read as pairs.
    start, stop : float, optional
        Keep the samples at times ``start <= t < stop``, s (the record's own
        times). A long AT2 or SMC record is trimmed this way to what a run
        holds; ``record[a:b]`` trims by sample.

    Returns
    -------
    Record
        For AT2 and SMC, `time` and `accel` are the numbers korvo reads from
        the pairs file korvo-record writes for the record (unit unchanged):
        times ``i * dt`` with the fewest decimals that hold the header's dt.

    Raises
    ------
    KorvoTypeError
        `path` not a file name.
    KorvoError
        An unreadable file or value, with korvo's (or korvo-record's) report;
        a pairs file of more than :data:`NMAX` pairs (korvo keeps only the
        first NMAX, so the record cannot be returned whole). AT2 and SMC
        records of any length are returned; :func:`run` refuses the long ones.
    """
    name = _args.path(path, "path")
    format = _args.choice(format, "format", (None, "pairs", "at2", "smc"),
                          "'pairs', 'at2' or 'smc'")
    kind = format or _korvo.record_format(name)
    if kind == "pairs":
        data = _korvo.read_korvo_pairs(name)
    else:
        data = _korvo.read_strong_motion(name, kind)
    rec = Record.__new__(Record)
    rec._fill(data.time, data.accel, data.unit or None, data.format, data.title, name)
    _warn(data.notes)
    if start is None and stop is None:
        return rec
    t = rec.time.astype(float)
    lo = -np.inf if start is None else _args.real(start, "start")
    hi = np.inf if stop is None else _args.real(stop, "stop")
    keep = np.flatnonzero((t >= lo) & (t < hi))
    if len(keep) < 2:
        raise KorvoError(f"{name}: fewer than two samples between start={start!r} and "
                         f"stop={stop!r} s (the record spans {t[0]:g} to {t[-1]:g} s)")
    return rec[int(keep[0]):int(keep[-1]) + 1]


class Profile:
    """A horizontally layered soil profile over a half-space.

    Layers are listed from the surface down; the last is the half-space (its
    thickness unused). Velocities and thicknesses share one length unit.

    Parameters
    ----------
    rho, vp, qp, vs, qs, thickness : array_like, shape (nl,)
        Density, P-wave velocity and quality factor, S-wave velocity and
        quality factor, thickness; converted to float32. ``1 <= nl <= 50``.
    qexp : float, default 0
        Damping exponent: Q at f Hz is ``Q * f**qexp``; exactly 999.0
        switches damping off.
    angle : float, default 0
        Incidence angle, degrees. Stored as korvo does: the degrees as float32
        times DEGRAD in single precision.
    iflag : int, default 0
        1: the first transfer function is relative to the incident wave (and
        doubled); otherwise relative to the outcrop.

    Attributes
    ----------
    rho, vp, qp, vs, qs, thickness : ndarray of float32, shape (nl,)
    nl, iflag : int
    qexp : float
    radians : float
        The incidence angle korvo uses, radians (a float32 value).
    angle : float
        Degrees: as given, or from a soil file ``radians / DEGRAD`` rounded
        to float32.

    Raises
    ------
    KorvoTypeError
        Columns that are not arrays of numbers, scalars of the wrong type.
    KorvoError
        A layer count outside 1..50 (korvo's report), columns of different
        lengths, values that are not finite in single precision, an iflag
        beyond 32 bits.
    """

    def __init__(self, *, rho, vp, qp, vs, qs, thickness, qexp: float = 0.0,
                 angle: float = 0.0, iflag: int = 0) -> None:
        columns = {k: _args.array(v, k) for k, v in
                   dict(rho=rho, vp=vp, qp=qp, vs=vs, qs=qs, thickness=thickness).items()}
        angle = _args.real(angle, "angle")
        self._p = _korvo.make_profile(**columns, qexp=_args.real(qexp, "qexp"), angle=angle,
                                      iflag=_args.integer(iflag, "iflag"))
        self.angle = float(np.float32(angle))

    @classmethod
    def read(cls, path: PathLike) -> "Profile":
        """Read a soil data file as the console program does.

        Parameters
        ----------
        path : str or os.PathLike
            Line 1 the angle (F10, degrees), line 2 IFLAG (I10), line 3 the
            layer count and QEXP (I10,F10), then one line per layer
            (6F8: density, VP, QP, VS, QS, thickness).
        """
        self = cls.__new__(cls)
        self._p, notes = _korvo.read_soil(_args.path(path, "path"))
        _warn(notes)
        self.angle = float(np.float32(self._p.ANGLE / _korvo.DEGRAD))
        return self

    rho = property(lambda self: self._p.rho, doc="Density, shape (nl,).")
    vp = property(lambda self: self._p.vp, doc="P-wave velocity, shape (nl,).")
    qp = property(lambda self: self._p.qp, doc="P-wave quality factor at 1 Hz, shape (nl,).")
    vs = property(lambda self: self._p.vs, doc="S-wave velocity, shape (nl,).")
    qs = property(lambda self: self._p.qs, doc="S-wave quality factor at 1 Hz, shape (nl,).")
    thickness = property(lambda self: self._p.thickness, doc="Layer thickness, shape (nl,).")
    nl = property(lambda self: self._p.NL, doc="Number of layers, the half-space included.")
    qexp = property(lambda self: self._p.QEXP, doc="Damping exponent QEXP.")
    iflag = property(lambda self: self._p.IFLAG, doc="Reference flag IFLAG.")
    radians = property(lambda self: self._p.ANGLE, doc="Incidence angle, radians.")

    def __repr__(self) -> str:
        return (f"<korvo.Profile: {self.nl} layers, qexp={self.qexp:g}, "
                f"angle={self.angle:g} deg, iflag={self.iflag}>")


def transfer(profile: Profile, nf: int, dt: float, wave: Union[str, int] = "horizontal") -> np.ndarray:
    """Transfer functions of the layered column, as in ``S_amp1``.

    Parameters
    ----------
    profile : Profile
    nf : int
        Transform length, a power of two from 4 to 32768: the grid has
        ``NOM = nf // 2 + 1`` lines, line ``i`` at ``i * DOM`` rad/s with
        ``DOM = 2 pi / (nf dt)``.
    dt : float
        Sample interval, s (used as float32).
    wave : {'horizontal', 'vertical', 'p'}
        The motion (0, 1 and 2 as in the console are accepted too).

    Returns
    -------
    ndarray of complex64, shape (NOM, 2)
        Column 0 the surface over the input wave (times 2 when IFLAG = 1) or
        the outcrop, column 1 the surface over the motion at the top of the
        half-space. Bit for bit the values ``S_amp1`` is written from.

    Raises
    ------
    KorvoTypeError
        `profile` not a Profile, `nf` not a whole number, `dt` not a number.
    KorvoError
        An `nf` that is not a power of two from 4 to 32768, a `dt` that is
        not positive and finite, a floating-point fault (named by line and
        boundary as korvo does).
    """
    if not isinstance(profile, Profile):
        raise KorvoTypeError(f"profile must be a korvo.Profile, not {type(profile).__name__}")
    n = _args.integer(nf, "nf", None, None)
    if n < 4 or n > NMAX or n & (n - 1):
        raise KorvoError(f"nf: a transform length is a power of two from 4 to {NMAX}, not {n}")
    dt = _args.real(dt, "dt")
    if not np.float32(dt) > 0.0:
        raise KorvoError(f"dt must be positive in single precision, not {dt:g}")
    return _korvo.transfer(profile._p, n, dt, _wave_code(wave))


class RunResult:
    """The results of one :func:`run`.

    Arrays are read-only and single precision. The console's upper-case
    names (its summary's) remain as aliases of the names below: ``NT`` is
    `samples`, ``DT`` `dt`, ``NF`` `nf`, ``IF1`` `log2_nf`, ``DUR``
    `duration`, ``DOM`` `omega_step`, ``NOM`` `lines`, ``EOM`` `omega_max`,
    ``AMIN`` `motion_min`, ``AMAX`` `motion_max`.

    Attributes
    ----------
    frequency : ndarray of float32, shape (lines,)
        Hz, line ``i`` at ``i * omega_step / 2 pi`` (the first column of S_amp1).
    transfer : ndarray of complex64, shape (lines, 2)
        The transfer functions (``S_amp1``), as :func:`transfer` gives them.
    spectrum : ndarray of complex64, shape (lines,)
        The processed Fourier spectrum, record's unit times s; line 0 is
        cleared, ``amp_dat`` shows lines 1..lines-1.
    time : ndarray of float32, shape (samples,)
        ``i * dt``, s (the first column of ``korvo_dat``).
    motion : ndarray of float32, shape (samples,)
        The surface motion (``korvo_dat``): record's unit, times s when
        integrated, per s when differentiated.
    samples, nf, log2_nf, lines : int
        Samples of the record, transform length, log2 of it, frequency lines
        (``nf // 2 + 1``).
    dt, duration : float
        Sample interval and the transform's length ``nf * dt``, s.
    omega_step, omega_max : float
        Line spacing and the last line's angular frequency
        ``lines * omega_step``, rad/s.
    motion_min, motion_max : float
        Extremes of the motion over all nf samples of the transform window,
        each starting from 0, as the console prints them.
    peak : float
        ``max(motion_max, -motion_min)``: the peak ground acceleration (in
        the record's unit) when the motion is not integrated or
        differentiated.
    highest_frequency : float
        The console's "Highest Frequency (hz)".
    """

    _ALIASES = {"NT": "samples", "DT": "dt", "NF": "nf", "IF1": "log2_nf", "DUR": "duration",
                "DOM": "omega_step", "NOM": "lines", "EOM": "omega_max", "AMIN": "motion_min",
                "AMAX": "motion_max"}

    def __init__(self, r) -> None:
        self._r = r
        self.samples, self.dt, self.nf, self.log2_nf = r.NT, r.DT, r.NF, r.IF1
        self.duration, self.omega_step, self.lines, self.omega_max = r.DUR, r.DOM, r.NOM, r.EOM
        self.highest_frequency = r.highest_frequency
        self.frequency = _readonly(r.frequency)
        self.transfer = r.transfer
        self.spectrum = r.spectrum
        self.time = r.time[: self.samples]
        self.motion = r.history[: self.samples]
        window = r.history
        # Both start from 0 and move only on a strictly larger or smaller value.
        self.motion_min = min(0.0, float(window.min()))
        self.motion_max = max(0.0, float(window.max()))
        self.peak = max(self.motion_max, -self.motion_min)

    def write(self, folder: PathLike = ".") -> Tuple[str, str, str]:
        """Write ``S_amp1``, ``amp_dat`` and ``korvo_dat`` into `folder`.

        The files are byte for byte those of the console program for the same
        run (lines end with CR LF). The folder is made when missing.

        Returns
        -------
        tuple of str
            The three paths written.

        Raises
        ------
        KorvoTypeError
            `folder` not a file name.
        KorvoError
            A file that cannot be created or written (korvo's report).
        """
        folder = _args.path(folder, "folder")
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError as e:
            raise KorvoError(f"cannot make the folder {folder}: {e.strerror or e}") from None
        paths = tuple(os.path.join(folder, name) for name in ("S_amp1", "amp_dat", "korvo_dat"))
        self._r.write_transfer(paths[0])
        self._r.write_spectrum(paths[1])
        self._r.write_history(paths[2])
        return paths

    def __repr__(self) -> str:
        return (f"<korvo.RunResult: samples={self.samples} dt={self.dt:g} nf={self.nf} "
                f"lines={self.lines} motion_min={self.motion_min:g} "
                f"motion_max={self.motion_max:g}>")


for _old, _new in RunResult._ALIASES.items():
    setattr(RunResult, _old, property(lambda self, _n=_new: getattr(self, _n),
                                      doc=f"Alias of :attr:`{_new}` (the console's name)."))
del _old, _new


def run(record: Union[PathLike, Record], profile: Union[PathLike, Profile], *,
        wave: Union[str, int] = "horizontal", reference: int = 1,
        conditioning: Optional[str] = None,
        band_pass: Optional[Sequence[float]] = None,
        band_pass_hz: Optional[Sequence[float]] = None, threads: bool = True) -> RunResult:
    """One whole run of korvo, the console's answers given as arguments.

    Parameters
    ----------
    record : Record or str or os.PathLike
        The record, or a file for :func:`read_record`. At most :data:`NMAX`
        samples.
    profile : Profile or str or os.PathLike
        The profile, or a soil file for :meth:`Profile.read`.
    wave : {'horizontal', 'vertical', 'p'}
        The motion (console answer 0, 1, 2).
    reference : {1, 2}
        The transfer function applied: 1 relative to the input wave (IFLAG =
        1) or the outcrop, 2 relative to the top of the half-space.
    conditioning : {None, 'integrate', 'differentiate'}
        Divide or multiply the spectrum by i*omega.
    band_pass : sequence of up to 4 floats, optional
        The trapezoid's corners OML1, OML2, OMH1, OMH2 in rad/s (not Hz).
        Fewer corners keep the rest at 0, 0, 0 and 99999.9, as a console
        answer ended early with ``/`` does. None: no filter.
    band_pass_hz : sequence of up to 4 floats, optional
        The same corners in Hz (each times 2 pi is the corner in rad/s); give
        one of `band_pass` and `band_pass_hz`.
    threads : bool
        True: a long run shares its frequency lines among the cores. False:
        the run stays on the calling thread, for pools that run many at once
        (the same numbers either way).

    Returns
    -------
    RunResult

    Raises
    ------
    KorvoTypeError
        An argument of the wrong type, named.
    KorvoError
        Refusals (a record longer than NMAX, a bad answer) and floating-point
        faults, with the console program's one-line report.

    Examples
    --------
    >>> r = korvo.run("elc180.txt", "shake91ex.soil", band_pass=(0.5, 1.5, 90, 120))
    >>> r.write("out")
    """
    if isinstance(record, (str, bytes, os.PathLike)):
        record = read_record(record)
    elif not isinstance(record, Record):
        raise KorvoTypeError("record must be a korvo.Record or a file name, "
                             f"not {type(record).__name__}")
    profile = _profile(profile)
    code = _wave_code(wave)
    if _args.integer(reference, "reference") not in (1, 2):
        raise KorvoError(
            f"reference is 1 (input wave or outcrop) or 2 (top of the half-space), not {reference!r}")
    conditioning = _args.choice(conditioning, "conditioning", _CONDITIONING,
                                "None, 'integrate' or 'differentiate'")
    band_pass = _corners(band_pass, band_pass_hz)
    if len(record) > NMAX:
        words = "pairs" if record.format == "pairs" else "samples"
        raise KorvoError(f"{record.source}: NT>2**15 !!!!! ({len(record)} {words}, at most "
                         f"{NMAX}); trim it: record[:{NMAX}] or read_record(..., stop=seconds)")
    corners = [] if band_pass is None else band_pass
    r = _korvo.run(record.time, record.accel, record.source, profile._p, code,
                   int(reference), _CONDITIONING[conditioning], int(band_pass is not None),
                   corners, _args.flag(threads, "threads"))
    return RunResult(r)


class Spectrum:
    """Response spectra and ground peaks.

    Attributes
    ----------
    periods : ndarray of float32, shape (n,)
        Oscillator periods, s.
    psa : ndarray of float32, shape (n,)
        Pseudo-spectral acceleration ``(2 pi / T)**2 * sd``, unit of the record.
    sv : ndarray of float32, shape (n,)
        Peak relative velocity, unit times s.
    sd : ndarray of float32, shape (n,)
        Peak relative displacement, unit times s**2.
    pga, pgv, pgd : float
        Ground peaks of the samples as given (velocity and displacement from
        rest, exact integrals of straight lines between samples).
    oversampling : int
        Samples per original interval the oscillators stepped through.
    damping : float
    """

    def __init__(self, d: dict, damping: float) -> None:
        self.periods = _readonly(d["periods"])
        self.psa = _readonly(d["psa"])
        self.sv = _readonly(d["sv"])
        self.sd = _readonly(d["sd"])
        self.pga, self.pgv, self.pgd = d["pga"], d["pgv"], d["pgd"]
        self.oversampling = d["factor"]
        self.damping = damping

    def __repr__(self) -> str:
        return (f"<korvo.Spectrum: {len(self.periods)} periods, damping={self.damping:g}, "
                f"PGA={self.pga:g}>")


def response_spectrum(accel, dt: Optional[float] = None, periods=None, damping: float = 0.05, *,
                      oversample: bool = True) -> Spectrum:
    """Response spectra of an acceleration history (korvo-spectra's engine).

    Parameters
    ----------
    accel : array_like, shape (n,), or Record
        Accelerations, any unit; converted to float32. A Record gives its own
        `accel` and `dt`.
    dt : float
        Sample interval, s (> 0); not with a Record.
    periods : array_like, optional
        Oscillator periods, s (> 0). Default: 100 periods log-spaced from
        0.01 to 10 s, korvo-spectra's grid.
    damping : float, default 0.05
        Fraction of critical damping, ``0 <= damping < 1``.
    oversample : bool, default True
        Interpolate the history (band-limited) so that the shortest period
        spans at least 20 steps; False uses the samples as given.

    Returns
    -------
    Spectrum

    Raises
    ------
    KorvoTypeError
        An argument of the wrong type, named.
    KorvoError
        Fewer than two samples, no period, a non-positive dt or period,
        damping outside [0, 1), values that are not finite; a spectrum or
        ground peak beyond single precision, named with what made it so.
    """
    if isinstance(accel, Record):
        if dt is not None:
            raise KorvoError("dt comes with the Record: give one or the other")
        accel, dt = accel.accel, accel.dt
    elif dt is None:
        raise KorvoTypeError("response_spectrum(accel, dt): dt, s, is needed for an array")
    a = _args.array(accel, "accel")
    if len(a) < 2:
        raise KorvoError(f"accel: a history needs at least two samples, not {len(a)}")
    dt = _args.real(dt, "dt")
    if periods is None:
        periods = _korvo.log_periods(0.01, 10.0, 100)
    else:
        periods = _args.array(periods, "periods")
        if not len(periods):
            raise KorvoError("periods: at least one period is needed")
    d = _korvo.response_spectrum(a, dt, periods, _args.real(damping, "damping"),
                                 _args.flag(oversample, "oversample"))
    _check_spectrum(d, a, dt)
    return Spectrum(d, float(np.float32(damping)))


def _check_spectrum(d: dict, accel: np.ndarray, dt: float) -> None:
    """Refuse a spectrum that overflowed single precision. The engine runs
    without fault traps, so an overflow would come back as inf. Every value
    is linear in accel; the ground peaks grow with dt too (once and twice
    integrated)."""
    peak = float(np.max(np.abs(accel)))
    for q in ("pgv", "pgd"):
        if not np.isfinite(d[q]):
            raise KorvoError(f"accel and dt: {q} is beyond single precision "
                             f"(peak |accel| {peak:g}, dt {dt:g} s)")
    for q in ("psa", "sv", "sd"):
        bad = np.flatnonzero(~np.isfinite(d[q]))
        if bad.size:
            raise KorvoError(f"accel: {q} at period {d['periods'][bad[0]]:g} s is beyond "
                             f"single precision (peak |accel| {peak:g})")

# Suites build on everything above.
from .toro import CurveVariation, Toro  # noqa: E402
from .suite import ColumnSuiteResult, SuiteResult, suite  # noqa: E402
from .site import NonlinearResult, SiteResult, site  # noqa: E402
from .column import Column  # noqa: E402
from . import rvt  # noqa: E402
