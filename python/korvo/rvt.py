"""Random-vibration-theory motions and site response.

A motion is a Fourier amplitude spectrum (FAS) of ground acceleration with a
ground-motion duration: it stands for every record that could have them, and
peaks follow from the spectral moments and a peak factor, without a record.
Everything is in double precision. Units: frequency Hz, FAS g s, duration s,
distance km; PSA and PGA in g, PGV in cm/s.

Peak factors: ``'clh'`` (Cartwright & Longuet-Higgins 1956, the default),
``'vanmarcke'`` (Vanmarcke 1975), ``'davenport'`` (Davenport 1964),
``'der_kiureghian'`` (Der Kiureghian 1985), ``'toro_mcguire'`` (Toro &
McGuire 1987), ``'bt12'`` and ``'bt15'`` (Boore & Thompson 2012, 2015: CLH
and Vanmarcke with their oscillator rms duration, whose seven coefficients
c1..c7 for the scenario are given as `bt_coefficients`). With
`oscillator_duration` (the default) an oscillator's rms is taken over the
Boore & Joyner (1984) lengthened duration (not for the Boore & Thompson forms,
which have their own).

Inverse RVT: :class:`CompatibleMotion` is a FAS whose PSA matches a target
response spectrum within a tolerance, or says by how much it does not.

The quadrature grid, `grid` = ``(f_min, f_max, per_decade)``: frequencies
evenly in ln f from f_min to f_max Hz, both included, `per_decade` a decade
(default ``(0.01, 100.0, 200)``); raise `per_decade` for light damping.
"""

from __future__ import annotations

import math
import os
import warnings
from typing import Optional, Sequence, Tuple, Union

import numpy as np

from . import _args, _korvo
from ._args import KorvoTypeError, KorvoWarning
from ._korvo import KorvoError

PathLike = Union[str, "os.PathLike[str]"]
GRID = (0.01, 100.0, 200)
# The point source's own defaults where no region is named.
_PLAIN = dict(velocity=3.5, density=2.8, spreading=((0.0, 1.0),), q0=180.0, eta=0.45,
              q_velocity=0.0, kappa=0.04, amp_frequency=(), amp_factor=(),
              path_duration=((0.0, 0.05),))
_PEAK_FACTORS = ("clh", "vanmarcke", "davenport", "der_kiureghian", "toro_mcguire", "bt12",
                 "bt15")
_PEAK_WORDS = ("'clh', 'vanmarcke', 'davenport', 'der_kiureghian', 'toro_mcguire', 'bt12' "
               "or 'bt15'")


def _method(peak_factor, oscillator_duration, bt_coefficients) -> tuple:
    """The peak-factor arguments of the engine, checked."""
    c = _args.array(bt_coefficients, "bt_coefficients", np.float64)
    if c.ndim != 1 or len(c) not in (0, 7):
        raise KorvoError(f"bt_coefficients: c1..c7, seven numbers, not shape {c.shape}")
    return (_args.choice(peak_factor, "peak_factor", _PEAK_FACTORS, _PEAK_WORDS),
            _args.flag(oscillator_duration, "oscillator_duration"), c.tolist())


def _grid(grid) -> Tuple[float, float, int]:
    try:
        f_min, f_max, per_decade = grid
    except (TypeError, ValueError):
        raise KorvoTypeError("grid is (f_min, f_max, per_decade)") from None
    return (_args.real(f_min, "grid f_min"), _args.real(f_max, "grid f_max"),
            _args.integer(per_decade, "grid per_decade", 1, 10000))


def _pieces(value, name: str) -> list:
    """(from km, value) pairs, as a list of float pairs."""
    a = _args.numeric(value, name)
    if a.ndim != 2 or a.shape[1] != 2 or not len(a):
        raise KorvoError(f"{name}: pairs (from km, value) are needed, not shape {a.shape}")
    if not np.all(np.isfinite(a)):
        raise KorvoError(f"{name} holds a value that is not finite")
    return [(float(r), float(v)) for r, v in a]


class _Motion:
    """What both motions share: the peaks from a FAS and its duration."""

    frequency: np.ndarray
    amplitude: np.ndarray
    duration: float
    _grid: Tuple[float, float, int]

    def _peaks(self, periods, damping, peak_factor, oscillator_duration,
               bt_coefficients=()) -> dict:
        return _korvo.rvt_peaks(
            self.frequency, self.amplitude, self.duration, periods,
            _args.real(damping, "damping"),
            *_method(peak_factor, oscillator_duration, bt_coefficients), self._grid)

    def psa(self, periods, damping: float = 0.05, peak_factor: str = "clh",
            oscillator_duration: bool = True, bt_coefficients=()) -> np.ndarray:
        """Pseudo-spectral acceleration, g.

        Parameters
        ----------
        periods : array_like
            Oscillator periods, s (> 0).
        damping : float
            Fraction of critical, 0 < damping < 1.
        peak_factor : str
            'clh', 'vanmarcke', 'davenport', 'der_kiureghian', 'toro_mcguire',
            'bt12' or 'bt15'.
        oscillator_duration : bool
            Take the oscillator's rms over the Boore-Joyner duration (True)
            or over the ground motion's.
        bt_coefficients : sequence of 7 floats
            c1..c7 of the Boore & Thompson rms duration; needed by 'bt12'
            and 'bt15' only.

        Returns
        -------
        ndarray, shape like `periods`
        """
        p = _args.array(periods, "periods", np.float64)
        if not len(p):
            raise KorvoError("periods: at least one period is needed")
        return self._peaks(p, damping, peak_factor, oscillator_duration,
                           bt_coefficients)["psa"]

    def pga(self, peak_factor: str = "clh") -> float:
        """Peak ground acceleration, g."""
        return self._peaks([], 0.05, peak_factor, True)["pga"]

    def pgv(self, peak_factor: str = "clh") -> float:
        """Peak ground velocity, cm/s."""
        return self._peaks([], 0.05, peak_factor, True)["pgv"]


class PointSource(_Motion):
    """A point source by the stochastic method: Brune omega-squared source,
    geometric spreading, anelastic attenuation, crustal amplification, kappa.

    Parameters
    ----------
    magnitude : float
        Moment magnitude, -2 < M < 10.
    distance : float
        Hypocentral distance, km (> 0).
    stress_drop : float
        Brune stress parameter, bar.
    region : {'wna', 'cena'}, optional
        Start from a region's crust, path and site (velocity, density,
        spreading, q0, eta, kappa, crustal amplification, path duration) as
        docs/rvt.md lists them (Campbell 2003); any of those given here
        overrides it. Without a region the defaults are those below.
    velocity, density : float
        Shear-wave velocity (km/s) and density (g/cm^3) at the source;
        default 3.5 and 2.8.
    radiation, free_surface, partition : float
        Average S-wave radiation pattern, free-surface factor, partition into
        two horizontal components.
    reference_km : float
        R0 of the spreading law, km.
    spreading : sequence of (km, exponent)
        Geometric spreading (R0/R)^b by pieces from each distance on, the
        first from 0 km; continuous. Default 1/R.
    q0, eta : float
        Q(f) = q0 f^eta; default 180 and 0.45.
    q_velocity : float
        Velocity of the attenuation exp(-pi f R / (Q c)), km/s; 0 (default):
        `velocity`.
    kappa : float
        Near-surface attenuation exp(-pi kappa f), s; default 0.04.
    amp_frequency, amp_factor : array_like
        Crustal amplification table (Hz, factor), linear in ln f between
        entries, the end factors beyond; empty: 1.
    path_duration : sequence of (km, s/km)
        Path duration by pieces of slope from each distance on, from 0 s at
        0 km; default 0.05 s/km.
    grid : (f_min, f_max, per_decade)
        The quadrature grid the motion is made on.

    Attributes
    ----------
    frequency, amplitude : ndarray
        The FAS on the grid, Hz and g s.
    duration : float
        Ground-motion duration 1/fc + path duration, s.
    corner_frequency : float
        fc, Hz.
    moment : float
        Seismic moment, dyne cm.
    """

    def __init__(self, magnitude: float, distance: float, *, stress_drop: float = 100.0,
                 velocity: Optional[float] = None, density: Optional[float] = None,
                 radiation: float = 0.55, free_surface: float = 2.0,
                 partition: float = 1.0 / math.sqrt(2.0), reference_km: float = 1.0,
                 spreading: Optional[Sequence] = None, q0: Optional[float] = None,
                 eta: Optional[float] = None, q_velocity: Optional[float] = None,
                 kappa: Optional[float] = None, amp_frequency=None, amp_factor=None,
                 path_duration: Optional[Sequence] = None, region: Optional[str] = None,
                 grid=GRID) -> None:
        m = _args.real(magnitude, "magnitude")
        if not -2.0 < m < 10.0:
            raise KorvoError(f"magnitude must be between -2 and 10, not {magnitude!r}")
        r = _args.real(distance, "distance")
        if not r > 0.0:
            raise KorvoError(f"distance must be positive (km), not {distance!r}")
        # What a region or the plain defaults give, then what the caller gave.
        given = dict(velocity=velocity, density=density, spreading=spreading, q0=q0, eta=eta,
                     q_velocity=q_velocity, kappa=kappa, amp_frequency=amp_frequency,
                     amp_factor=amp_factor, path_duration=path_duration)
        base = dict(_PLAIN) if region is None else _korvo.rvt_region(
            _args.choice(region, "region", ("wna", "cena"), "'wna' or 'cena'"))
        base.update({k: v for k, v in given.items() if v is not None})
        if (amp_frequency is None) != (amp_factor is None):
            raise KorvoError("amp_frequency and amp_factor: give both or neither")
        numbers = dict(stress_drop=stress_drop, radiation=radiation, free_surface=free_surface,
                       partition=partition, reference_km=reference_km,
                       **{k: base[k] for k in ("velocity", "density", "q0", "eta", "q_velocity",
                                               "kappa")})
        self._source = {k: _args.real(v, k) for k, v in numbers.items()}
        self._source.update(
            magnitude=m, distance=r, spreading=_pieces(base["spreading"], "spreading"),
            path_duration=_pieces(base["path_duration"], "path_duration"),
            amp_frequency=_args.array(base["amp_frequency"], "amp_frequency",
                                      np.float64).tolist(),
            amp_factor=_args.array(base["amp_factor"], "amp_factor", np.float64).tolist())
        self.region = region
        self._grid = _grid(grid)
        d = _korvo.rvt_point_source(self._source, self._grid)
        self.frequency, self.amplitude = d["frequency"], d["amplitude"]
        self.duration = d["duration"]
        self.corner_frequency, self.moment = d["corner_frequency"], d["moment"]

    def fas(self, frequency) -> np.ndarray:
        """The acceleration FAS at `frequency` (Hz, > 0), g s."""
        return _korvo.rvt_source_fas(self._source,
                                     _args.array(frequency, "frequency", np.float64))

    def __repr__(self) -> str:
        return (f"<korvo.rvt.PointSource M {self._source['magnitude']:g} "
                f"R {self._source['distance']:g} km: fc {self.corner_frequency:.4g} Hz, "
                f"duration {self.duration:.4g} s>")


class TableMotion(_Motion):
    """A FAS given as a table, with its duration.

    Parameters
    ----------
    frequency : array_like
        Hz, > 0 and strictly increasing, at least two.
    amplitude : array_like
        g s, >= 0; linear in log-log between entries (linear in ln f next to
        a zero), 0 outside the table.
    duration : float
        Ground-motion duration, s (> 0).
    grid : (f_min, f_max, per_decade)
        The quadrature grid its peaks are computed on.
    """

    def __init__(self, frequency, amplitude, duration: float, *, grid=GRID) -> None:
        self.frequency = _args.array(frequency, "frequency", np.float64)
        self.amplitude = _args.array(amplitude, "amplitude", np.float64)
        self.duration = _args.real(duration, "duration")
        self._grid = _grid(grid)
        # The engine checks the table (order, signs, lengths) on the way.
        try:
            _korvo.rvt_peaks(self.frequency, self.amplitude, self.duration, [], 0.05, "clh",
                             True, [], self._grid)
        except KorvoError as e:
            if "no energy" not in str(e):
                raise
            raise KorvoError(f"amplitude: the table has no energy on the grid "
                             f"{self._grid[0]:g}-{self._grid[1]:g} Hz") from None

    def fas(self, frequency) -> np.ndarray:
        """The table's FAS at `frequency` (Hz), g s, interpolated as the engine does."""
        f = _args.array(frequency, "frequency", np.float64)
        F, A = self.frequency, self.amplitude
        out = np.zeros_like(f)
        inside = (f >= F[0]) & (f <= F[-1])
        j = np.clip(np.searchsorted(F, f[inside], side="left"), 1, len(F) - 1)
        f0, f1, a0, a1 = F[j - 1], F[j], A[j - 1], A[j]
        s = np.log(f[inside] / f0) / np.log(f1 / f0)
        with np.errstate(divide="ignore", invalid="ignore"):
            loglog = a0 * np.power(a1 / a0, s)
        out[inside] = np.where((a0 > 0) & (a1 > 0), loglog, a0 + s * (a1 - a0))
        return out

    def __repr__(self) -> str:
        return (f"<korvo.rvt.TableMotion {len(self.frequency)} frequencies "
                f"{self.frequency[0]:g}-{self.frequency[-1]:g} Hz, duration {self.duration:g} s>")


class CompatibleMotion(_Motion):
    """Inverse RVT: a FAS whose PSA matches a target response spectrum.

    The FAS is kept at the oscillator frequencies 1/T, log-log between them,
    falling as f^2 below the lowest and 1/f^2 above the highest; each is
    multiplied by target / computed PSA (a step stretched where a short
    period's PSA barely follows its own frequency) until every period is
    within `tolerance` or `max_iter` PSA evaluations are spent. An
    unconverged result warns (:class:`korvo.KorvoWarning`) and keeps
    ``converged`` False; `misfit` says where.

    Parameters
    ----------
    periods : array_like
        Target periods, s (> 0, distinct).
    psa : array_like
        Target PSA, g (> 0), one per period.
    damping : float
        Of the target, fraction of critical.
    duration : float, optional
        Ground-motion duration, s. Or give `magnitude` and `distance`: then
        it is the point source's 1/fc + path duration (the PointSource
        defaults otherwise).
    magnitude, distance : float, optional
        Moment magnitude and hypocentral distance (km), for the duration.
    peak_factor, oscillator_duration, bt_coefficients
        As for :meth:`psa`; the ones the target is matched under.
    tolerance : float
        Largest |PSA / target - 1| accepted (default 1 %).
    max_iter : int
        PSA evaluations at most.
    grid : (f_min, f_max, per_decade)
        The quadrature grid, also the frequencies of the FAS.

    Attributes
    ----------
    frequency, amplitude : ndarray
        The FAS on the grid, Hz and g s.
    duration : float
        s.
    target_periods, target_psa, psa_computed, misfit : ndarray
        The target, the back-computed PSA (g) and psa_computed / target - 1,
        in the order given.
    iterations : int
    converged : bool
    """

    def __init__(self, periods, psa, *, damping: float = 0.05,
                 duration: Optional[float] = None, magnitude: Optional[float] = None,
                 distance: Optional[float] = None, peak_factor: str = "clh",
                 oscillator_duration: bool = True, bt_coefficients=(),
                 tolerance: float = 0.01, max_iter: int = 50, grid=GRID) -> None:
        self.target_periods = _args.array(periods, "periods", np.float64)
        self.target_psa = _args.array(psa, "psa", np.float64)
        self._grid = _grid(grid)
        if duration is None:
            if magnitude is None or distance is None:
                raise KorvoError("duration: give it, or magnitude and distance")
            duration = PointSource(magnitude, distance, grid=self._grid).duration
        elif magnitude is not None or distance is not None:
            raise KorvoError("duration: give it or magnitude and distance, not both")
        self.duration = _args.real(duration, "duration")
        self._method = _method(peak_factor, oscillator_duration, bt_coefficients)
        d = _korvo.rvt_compatible(
            self.target_periods, self.target_psa, _args.real(damping, "damping"),
            self.duration, _args.real(tolerance, "tolerance"),
            _args.integer(max_iter, "max_iter", 1, 100000), *self._method, self._grid)
        self.frequency, self.amplitude = d["frequency"], d["amplitude"]
        self.psa_computed, self.misfit = d["psa"], d["misfit"]
        self.iterations, self.converged = d["iterations"], d["converged"]
        if not self.converged:
            worst = int(np.argmax(np.abs(self.misfit)))
            warnings.warn(
                f"inverse RVT not converged after {self.iterations} iterations: misfit "
                f"{self.misfit[worst]:+.2%} at {self.target_periods[worst]:g} s "
                f"(tolerance {tolerance:g})", KorvoWarning, stacklevel=2)

    def __repr__(self) -> str:
        worst = float(np.max(np.abs(self.misfit)))
        state = "converged" if self.converged else "NOT converged"
        return (f"<korvo.rvt.CompatibleMotion {len(self.target_periods)} periods, duration "
                f"{self.duration:.4g} s: {state}, largest misfit {worst:.2%}>")


class RvtSiteResult:
    """The RVT response of a soil column.

    Attributes
    ----------
    layers : pandas.DataFrame
        One row per sublayer: layer name, top, mid and thickness (profile's
        length unit), vs0 and final vs (length unit per s), G/Gmax, damping
        %, effective and peak strain %, peak stress kPa.
    frequency : ndarray
        The quadrature grid, Hz.
    fas_input, fas_surface : ndarray
        The input and surface FAS on the grid, g s.
    transfer : ndarray of complex128
        Surface over input motion on the grid.
    periods : ndarray
        s.
    psa_input, psa_surface : ndarray
        PSA of the input motion (the outcrop's for an outcrop input) and of
        the surface, g.
    amplification : ndarray
        psa_surface / psa_input.
    pga_input, pga_surface : float
        g; `pga` is the surface's.
    duration : float
        The motion's ground-motion duration, s.
    iterations : int
        Equivalent-linear iterations (0 for the linear method).
    converged : bool
    """

    def __init__(self, d: dict, profile: str) -> None:
        import pandas as pd

        lu = d["length_unit"].lower()
        # Named as korvo-site's profile.csv names them.
        self.layers = pd.DataFrame({
            "layer": d["layer"], f"top_{lu}": d["top"], f"mid_{lu}": d["mid"],
            f"thickness_{lu}": d["thickness"], f"vs0_{lu}_s": d["vs0"], f"vs_{lu}_s": d["vs"],
            "g_gmax": d["g_gmax"], "damping_pct": d["damping_pct"],
            "strain_eff_pct": d["strain_eff_pct"], "strain_peak_pct": d["strain_peak_pct"],
            "stress_peak_kpa": d["stress_peak_kpa"]})
        self.frequency = d["frequency"]
        self.fas_input, self.fas_surface = d["input_fas"], d["surface_fas"]
        self.transfer = d["transfer"]
        self.periods = d["periods"]
        self.psa_input, self.psa_surface = d["psa_input"], d["psa_surface"]
        self.amplification = d["amplification"]
        self.pga_input, self.pga_surface = d["pga_input"], d["pga_surface"]
        self.pga = self.pga_surface
        self.duration = d["duration"]
        self.iterations, self.converged = d["iterations"], d["converged"]
        self._profile = profile

    def __repr__(self) -> str:
        return (f"<korvo.rvt.RvtSiteResult {self._profile!r}: {len(self.layers)} sublayers, "
                f"surface PGA {self.pga:.4g} g, {self.iterations} iterations>")


def site(profile: PathLike, motion: _Motion, *, method: str = "eql", peak_factor: str = "clh",
         oscillator_duration: bool = True, bt_coefficients=(), strain_ratio: float = 0.65,
         tol: float = 1e-3, max_iter: int = 100, accelerate: bool = True, model: str = "velocity",
         input: str = "outcrop", fmax: float = 25.0, periods=None, damping: float = 0.05,
         grid: Optional[Tuple[float, float, int]] = None) -> RvtSiteResult:
    """Linear or equivalent-linear response of a soil column to an RVT motion.

    Parameters
    ----------
    profile : str, os.PathLike or korvo.Column
        The column's TOML profile file, or a column built in Python.
    motion : PointSource, TableMotion or CompatibleMotion
        Taken as the input motion (see `input`).
    method : {'eql', 'linear'}
        Equivalent-linear iteration, or the small-strain properties.
    peak_factor : str
        'clh', 'vanmarcke', 'davenport', 'der_kiureghian', 'toro_mcguire',
        'bt12' or 'bt15'; for PSA, PGA and the sublayers' peak strains alike.
    oscillator_duration : bool
        Boore-Joyner rms duration for the PSA oscillators.
    bt_coefficients : sequence of 7 floats
        c1..c7 for 'bt12' and 'bt15'.
    strain_ratio : float
        Effective over peak strain, in (0, 1].
    tol, max_iter, accelerate
        The stopping rule (relative distance to the fixed point), the most
        responses, and Anderson mixing (False: plain iteration).
    model : {'velocity', 'simple', 'unit-modulus'}
        The complex modulus.
    input : {'outcrop', 'within'}
        The motion is the half-space's outcrop motion, or the motion at its top.
    fmax : float
        Highest frequency for dividing layers, Hz.
    periods : array_like, optional
        PSA periods, s; default 100 log-spaced from 0.01 to 10 s.
    damping : float
        Of the spectra, fraction of critical.
    grid : (f_min, f_max, per_decade), optional
        The quadrature grid, also the frequencies of the results; default the
        motion's.

    Returns
    -------
    RvtSiteResult

    Raises
    ------
    KorvoTypeError
        An argument of the wrong type, named.
    KorvoError
        An unreadable profile, an option out of range, a response that is
        not finite; one line naming the file, line or argument.
    """
    if not isinstance(motion, _Motion):
        raise KorvoTypeError("motion must be a korvo.rvt.PointSource, TableMotion or "
                             "CompatibleMotion, "
                             f"not {type(motion).__name__}")
    options = dict(
        method=_args.choice(method, "method", ("eql", "linear"), "'eql' or 'linear'"),
        strain_ratio=_args.real(strain_ratio, "strain_ratio"), tol=_args.real(tol, "tol"),
        max_iter=_args.integer(max_iter, "max_iter", 1, 100000),
        accelerate=_args.flag(accelerate, "accelerate"),
        model=_args.choice(model, "model", ("velocity", "simple", "unit-modulus"),
                           "'velocity', 'simple' or 'unit-modulus'"),
        input=_args.choice(input, "input", ("outcrop", "within"), "'outcrop' or 'within'"))
    if not 0.0 < options["strain_ratio"] <= 1.0:
        raise KorvoError(f"strain_ratio must be in (0, 1], not {strain_ratio!r}")
    if not options["tol"] > 0.0:
        raise KorvoError(f"tol must be positive, not {tol!r}")
    fmax = _args.real(fmax, "fmax")
    if not fmax > 0.0:
        raise KorvoError(f"fmax must be positive (Hz), not {fmax!r}")
    if periods is None:
        periods = []
    else:
        periods = _args.array(periods, "periods", np.float64)
        if not len(periods):
            raise KorvoError("periods: at least one period is needed")
    from .column import Column

    core = profile.core if isinstance(profile, Column) else _args.path(profile, "profile")
    g = motion._grid if grid is None else _grid(grid)
    frequency, amplitude = motion.frequency, motion.amplitude
    if isinstance(motion, PointSource) and g != motion._grid:
        # Made on the site's grid itself rather than resampled from its own.
        made = _korvo.rvt_point_source(motion._source, g)
        frequency, amplitude = made["frequency"], made["amplitude"]
    d = _korvo.rvt_site(
        core, frequency, amplitude, motion.duration, fmax, periods,
        _args.real(damping, "damping"),
        *_method(peak_factor, oscillator_duration, bt_coefficients), g, options)
    return RvtSiteResult(d, core if isinstance(core, str) else "a korvo.Column")
