"""Site response of a layered column from its TOML profile: what korvo-site computes."""

from __future__ import annotations

import functools
import io
import os
from typing import Iterable, Optional, Union

import numpy as np

from . import _files, _korvo
from ._korvo import KorvoError

PathLike = Union[str, "os.PathLike[str]"]


class SiteResult:
    """One site run of the column engine.

    Attributes
    ----------
    layers : pandas.DataFrame
        One row per sublayer, then the half-space: korvo-site's ``profile.csv``
        (depths and thicknesses in the profile's length unit, final G/Gmax and
        damping in %, effective and peak strain in %, peak stress in kPa, peak
        acceleration at the top of each sublayer in the record's unit).
    iterations : pandas.DataFrame
        korvo-site's ``iterations.csv``: one row per iteration (none for the
        linear method).
    time : ndarray, shape (n,)
        Sample times, s, from 0.
    surface, input : ndarray, shape (n,)
        The surface acceleration and the input motion as analysed (scaled), in
        the record's unit.
    frequency : ndarray, shape (nfft // 2 + 1,)
        Hz.
    transfer : ndarray of complex128, shape (nfft // 2 + 1,)
        Surface over input motion.
    periods : ndarray, shape (100,)
        s, log-spaced from 0.01 to 10.
    psa_input, psa_surface : ndarray, shape (100,)
        5 % damped pseudo-spectral acceleration, record's unit, from the same
        engine as :func:`response_spectrum`.
    unit : str
        The record's unit.
    scale : float
        The factor the record was scaled by (1 when not).
    converged : bool
    nfft : int
        The transform length.
    vs30 : float
        Time-averaged shear-wave velocity of the top 30 m, m/s (the
        half-space's below a shallower column), at small strains.
    f0 : float
        Fundamental frequency by the quarter-wavelength rule 1 / (4 sum h/Vs)
        over the soil, Hz, small strains.
    kappa0 : float
        The column's kappa, sum 2 xi h / Vs over the soil at small strains, s.
    first_peak : float
        First peak of abs(transfer), Hz (strain-compatible for ``'eql'``).
    warnings : list of str
        As korvo-site prints them, without its name.
    """

    def __init__(self, core, profile: str, source: str) -> None:
        import pandas as pd

        self._core = core
        self._source = source
        self._profile = profile
        self.dt = core.dt
        self.surface = core.surface
        self.input = core.input
        self.time = np.arange(len(self.surface)) * self.dt
        self.frequency = core.frequency
        self.transfer = core.transfer
        self.periods = core.periods
        self.psa_input, self.psa_surface = core.psa
        self.unit = core.unit
        self.scale = core.scale
        self.converged = core.converged
        self.nfft = core.nfft
        self.vs30, self.f0, self.kappa0 = core.vs30, core.f0, core.kappa0
        self.first_peak = core.first_peak
        self.warnings = list(core.warnings())
        files = dict(core.files())
        self.layers = pd.read_csv(io.StringIO(files["profile.csv"]))
        self.iterations = pd.read_csv(io.StringIO(files["iterations.csv"]))

    def acceleration_at(self, depth: float) -> np.ndarray:
        """Total acceleration (record's unit) at `depth` (profile's length unit), within the
        column or the half-space, over the record's length."""
        return self._core.acceleration_at(float(depth))

    def strain_at(self, depth: float) -> np.ndarray:
        """Shear strain (%) at `depth` (profile's length unit) over the record's length."""
        return self._core.strain_at(float(depth))

    def stress_at(self, depth: float) -> np.ndarray:
        """Shear stress (kPa) at `depth` (profile's length unit) over the record's length:
        the strain there times the final complex modulus G* = rho V*^2 of its sublayer (or
        of the half-space), the model the run used. 0 at the surface; like the strain, it
        leaves out the record's static (zero-frequency) part."""
        return self._core.stress_at(_number(depth, "depth", 0.0, np.inf))

    def transfer_between(self, a: float, b: float, kind_a: str = "within",
                         kind_b: str = "within") -> np.ndarray:
        """The motion at depth `b` over the motion at depth `a`, on `frequency`.

        Parameters
        ----------
        a, b : float
            Depths in the profile's length unit, from 0.
        kind_a, kind_b : {'within', 'outcrop'}
            ``'within'``: the total motion at that depth inside the column (or
            the half-space). ``'outcrop'``: twice the up-going wave there, what
            an outcrop of the material at that depth records; at a layer
            boundary the material below, so that ``'outcrop'`` at the
            half-space's top is the outcrop input. Outcrop depths stop at the
            half-space's top. A depth within 1e-9 of the column's depth of a
            boundary counts as on it.

        Returns
        -------
        ndarray of complex128, shape (nfft // 2 + 1,)
            From the final (strain-compatible) properties. NaN where the ratio
            is no finite number: amplitudes beyond the range of doubles (soft,
            damped columns at high frequency).

        Raises
        ------
        KorvoError
            A negative depth, an unknown kind, an outcrop below the half-space.
        """
        return self._core.transfer_between(_number(a, "a", 0.0, np.inf),
                                           _number(b, "b", 0.0, np.inf), kind_a, kind_b)

    def summary(self, folder: str = ".") -> str:
        """The console lines korvo-site prints for this run, naming `folder`."""
        return self._core.summary(folder)

    def write(self, folder: PathLike) -> list:
        """Write korvo-site's result files into `folder` (made when missing), byte for byte
        as korvo-site writes them; each file whole or not there. Returns their paths."""
        return _write(self._core, folder)

    def __repr__(self) -> str:
        return (f"<korvo.SiteResult {self._profile!r} x {self._source!r}: "
                f"{len(self.layers) - 1} sublayers, surface PGA "
                f"{np.max(np.abs(self.surface)):.6g} {self.unit}>")


class NonlinearResult:
    """One nonlinear site run: hysteretic soil integrated step by step.

    Attributes
    ----------
    layers : pandas.DataFrame
        One row per element, then the half-space: korvo-site's ``profile.csv``
        for ``--method nonlinear`` (depths in the profile's length unit, the
        backbone's reference strain in %, peak strain in %, peak stress in kPa,
        peak stress over the vertical effective stress, peak acceleration at
        each element's top in the record's unit).
    time : ndarray, shape (n,)
        Sample times, s, from 0.
    surface, input : ndarray, shape (n,)
        The surface's total acceleration and the input motion as analysed
        (scaled), in the record's unit.
    velocity, displacement : ndarray, shape (n,)
        The surface's total velocity and displacement from the integration:
        cm/s and cm for a record in cm/s^2, else m/s and m.
    at : dict of float to pandas.DataFrame
        For each depth of `at`: korvo-site's ``depth_<z>.csv`` (``time_s``,
        ``accel_<unit>``, ``vel_<unit>``, ``disp_<unit>``).
    loops : dict of float to pandas.DataFrame
        For each depth of `loops`: ``time_s``, ``strain_pct``, ``stress_kpa``
        of the element there, one row per record sample.
    periods : ndarray, shape (100,)
        s, log-spaced from 0.01 to 10.
    psa_input, psa_surface : ndarray, shape (100,)
        5 % damped pseudo-spectral acceleration, record's unit.
    unit : str
    scale : float
    steps, newton_solves, unconverged : int
        Time steps, Newton solves over all steps, steps that did not converge.
    rayleigh : (float, float)
        Hz, the frequencies where the Rayleigh damping is exact; (0, 0) under
        frequency-independent damping.
    energy : dict of str to float
        Work on the unit area over the record, kJ/m^2: ``input``, ``kinetic``,
        ``strain``, ``hysteretic``, ``viscous``, ``radiation``.
    vs30, f0, kappa0 : float
        As for :class:`SiteResult`.
    warnings : list of str
        As korvo-site prints them, without its name.
    """

    def __init__(self, core, profile: str, source: str) -> None:
        import pandas as pd

        self._core = core
        self._source = source
        self._profile = profile
        self.dt = core.dt
        self.surface = core.surface
        self.input = core.input
        self.time = np.arange(len(self.surface)) * self.dt
        self.velocity, self.displacement = core.velocity, core.displacement
        self.periods = core.periods
        self.psa_input, self.psa_surface = core.psa
        self.unit = core.unit
        self.scale = core.scale
        self.steps, self.newton_solves = core.steps, core.newton_solves
        self.unconverged = core.unconverged
        self.rayleigh = core.rayleigh
        self.energy = dict(core.energy)
        self.vs30, self.f0, self.kappa0 = core.vs30, core.f0, core.kappa0
        self.warnings = list(core.warnings())
        self.loops = {depth: pd.DataFrame({"time_s": self.time, "strain_pct": strain,
                                           "stress_kpa": stress})
                      for depth, strain, stress in core.loops}
        files = dict(core.files())
        self.layers = pd.read_csv(io.StringIO(files["profile.csv"]))
        self.at = {}
        for depth, name, a, v, d in core.at:
            columns = files[name].split("\n", 1)[0].split(",")
            self.at[depth] = pd.DataFrame(dict(zip(columns, (self.time, a, v, d))))

    def summary(self, folder: str = ".") -> str:
        """The console lines korvo-site prints for this run, naming `folder`."""
        return self._core.summary(folder)

    def write(self, folder: PathLike) -> list:
        """Write korvo-site's result files into `folder` (made when missing), byte for byte
        as korvo-site --method nonlinear writes them; each file whole or not there.
        Returns their paths."""
        return _write(self._core, folder)

    def __repr__(self) -> str:
        return (f"<korvo.NonlinearResult {self._profile!r} x {self._source!r}: "
                f"{len(self.layers) - 1} elements, surface PGA "
                f"{np.max(np.abs(self.surface)):.6g} {self.unit}>")


def _write(core, folder: PathLike) -> list:
    folder = os.fspath(folder)
    os.makedirs(folder, exist_ok=True)
    paths = []
    with _files.folder_lock(folder):
        for name, text in core.files():
            path = os.path.join(folder, name)
            _files.write_text(path, text)
            paths.append(path)
    return paths


def _nonlinear_settings(substeps, max_element, rayleigh, loops, unloading, strict,
                        viscous) -> dict:
    unloading = "masing" if unloading is None else unloading
    if unloading not in ("masing", "mrdf"):
        raise KorvoError(f"unloading is 'masing' or 'mrdf', not {unloading!r}")
    viscous = "rayleigh" if viscous is None else viscous
    if viscous not in ("rayleigh", "frequency-independent"):
        raise KorvoError(f"viscous is 'rayleigh' or 'frequency-independent', not {viscous!r}")
    if viscous != "rayleigh" and rayleigh is not None:
        raise KorvoError("rayleigh is for viscous='rayleigh', not 'frequency-independent'")
    steps = 20 if substeps is None else _number(substeps, "substeps", 1, 10000)
    if steps != int(steps):
        raise KorvoError(f"substeps is a whole number of time steps, not {substeps!r}")
    f1 = f2 = 0.0
    if rayleigh is not None:
        f = [float(v) for v in rayleigh] if np.ndim(rayleigh) == 1 else []
        if len(f) != 2 or not np.all(np.isfinite(f)) or not 0 < f[0] < f[1]:
            raise KorvoError(f"rayleigh is two frequencies in Hz, 0 < f1 < f2, not {rayleigh!r}")
        f1, f2 = f
    return dict(substeps=int(steps),
                max_element=-1.0 if max_element is None
                else _number(max_element, "max_element", 1e-6, 1e6),
                f1=f1, f2=f2, loops=[_number(z, "loops", 0.0, np.inf) for z in loops],
                unloading=unloading, strict=bool(strict), viscous=viscous)


def site(profile: PathLike, motion, *, method: str = "eql", unit: Optional[str] = None,
         scale_pga: Optional[Union[str, float]] = None, scale: Optional[float] = None,
         baseline: Optional[str] = None, band_pass_hz=None,
         strain_ratio: Optional[float] = None,
         magnitude: Optional[float] = None, model: Optional[str] = None,
         tol: Optional[float] = None, max_iter: Optional[int] = None,
         accelerate: Optional[bool] = None, input: str = "outcrop",
         fmax: float = 25.0, pad: Optional[float] = None, nfft: Optional[int] = None,
         at: Iterable[float] = (), soil_unit: Optional[str] = None,
         substeps: Optional[int] = None, max_element: Optional[float] = None,
         rayleigh=None, loops: Iterable[float] = (), unloading: Optional[str] = None,
         strict: bool = False, viscous: Optional[str] = None) -> Union[SiteResult, "NonlinearResult"]:
    """Linear, equivalent-linear or nonlinear response of a soil column: korvo-site from Python.

    Parameters
    ----------
    profile : str, os.PathLike or korvo.Column
        The column's TOML profile file, or korvo's fixed-column soil file
        (linear layers, damping 1/(2 QS)) with `soil_unit`, or a column
        built from arrays.
    motion : str, os.PathLike, or (accel, dt)
        A record file (``time acceleration`` pairs, PEER AT2 or USGS SMC, read
        in double precision exactly as korvo-site reads it), or accelerations
        (array_like, shape (n,)) and their sample interval dt in s.
    method : {'eql', 'linear', 'fdeql', 'nonlinear'}
        Equivalent-linear iteration, the small-strain properties,
        equivalent-linear with properties per frequency from each sublayer's
        strain spectrum (korvo-site --method fdeql; no transfer_between), or
        hysteretic soil integrated step by step (a :class:`NonlinearResult`;
        `strain_ratio` to `accelerate`, `pad` and `nfft` are refused with it).
    unit : {None, 'g', 'cm/s^2', 'm/s^2'}
        Unit of a pairs file or of `accel` (default g); AT2 and SMC files
        carry their own.
    scale_pga : str or float, optional
        Scale the record to this peak: a number in the record's unit, or text
        with a unit (``'0.3g'``).
    scale : float, optional
        Or every sample times this factor; not with `scale_pga`.
    baseline : {None, 'mean', 'linear'}
        First remove the record's mean or least-squares linear trend.
    band_pass_hz : sequence of 4 floats, optional
        Corners f1 <= f2 <= f3 <= f4 in Hz: the record keeps f2 to f3, tapered
        linearly to nothing at f1 and f4 (``np.inf`` keeps the high end), before
        the run and before any scaling to `scale_pga`.
    strain_ratio, magnitude : float, optional
        Effective over peak strain (default 0.65), or (M - 1)/10; not both.
    model : {'velocity', 'simple', 'unit-modulus'}
        The complex modulus.
    tol, max_iter, accelerate
        The stopping rule (relative distance to the fixed point, default
        1e-3), the most iterations (default 100), and Anderson mixing (default
        True; False: plain iteration).
    input : {'outcrop', 'within'}
        What the record is: the half-space's outcrop motion, or the motion
        within the column at its top. Nonlinear: an elastic base (a dashpot of
        the half-space) or a rigid one.
    fmax : float
        Highest frequency for dividing layers, Hz.
    pad, nfft : optional
        Seconds of quiet after the record (default 10) or the transform
        length itself; not both.
    at : iterable of float
        Depths (profile's length unit) whose motion korvo-site would write.
    soil_unit : {None, 'm', 'ft'}
        The length unit of a soil file, which does not say (RHO is then a
        density in t/m^3 or a unit weight in kcf); only for soil files.
    substeps : int, optional
        Nonlinear: time steps per record sample (default 20); the input is
        linear between samples.
    max_element : float, optional
        Nonlinear: no element thicker than this (profile's length unit;
        default 1 m), after the layers are divided at `fmax`.
    rayleigh : (float, float), optional
        Nonlinear: the two frequencies in Hz where the Rayleigh damping is
        exact (default the column's quarter-wavelength frequency and 5 times it).
    viscous : {None, 'rayleigh', 'frequency-independent'}
        Nonlinear: the small-strain viscous damping, Rayleigh's (default) or
        every mode of the small-strain column damped at its layers' damping
        whatever its frequency (a full matrix: at most 1000 elements).
    loops : iterable of float
        Nonlinear: depths (profile's length unit) whose element's stress-strain
        history is kept (``loops_<depth>.csv``).
    unloading : {None, 'masing', 'mrdf'}
        Nonlinear: extended Masing rules (default), or non-Masing unloading
        whose loops' damping is reduced (MRDF, fitted to each layer's
        damping curve).
    strict : bool
        Nonlinear: a time step that does not converge raises instead of being
        counted and warned of.

    Returns
    -------
    SiteResult, or NonlinearResult for ``method='nonlinear'``

    Raises
    ------
    KorvoError
        An unreadable profile or record, an option out of range, a result
        that is not finite; one line naming the file, line or argument.
    """
    if method not in ("eql", "linear", "fdeql", "nonlinear"):
        raise KorvoError(f"method is 'eql', 'linear', 'fdeql' or 'nonlinear', not {method!r}")
    nonlinear = method == "nonlinear"
    given = dict(strain_ratio=strain_ratio, magnitude=magnitude, model=model, tol=tol,
                 max_iter=max_iter, accelerate=accelerate, pad=pad, nfft=nfft) if nonlinear \
        else dict(substeps=substeps, max_element=max_element, rayleigh=rayleigh,
                  loops=list(loops) or None, unloading=unloading, strict=strict or None,
                  viscous=viscous)
    for name, value in given.items():
        if value is not None:
            raise KorvoError(f"{name} is for method " +
                             ("'eql' or 'linear'" if nonlinear else "'nonlinear'") +
                             f", not {method!r}")
    model = "velocity" if model is None else model
    tol = 1e-3 if tol is None else tol
    max_iter = 100 if max_iter is None else max_iter
    accelerate = True if accelerate is None else accelerate
    if strain_ratio is not None and magnitude is not None:
        raise KorvoError("strain_ratio and magnitude both set the strain ratio: give one")
    if pad is not None and nfft is not None:
        raise KorvoError("pad and nfft both set the transform length: give one")
    ratio = 0.65 if strain_ratio is None else _number(strain_ratio, "strain_ratio", 0.01, 1.0)
    if magnitude is not None:
        ratio = (_number(magnitude, "magnitude", 1.1, 10.0) - 1.0) / 10.0
    options = dict(
        method=method, strain_ratio=ratio, tol=_number(tol, "tol", 1e-15, 0.5),
        max_iter=int(_number(max_iter, "max_iter", 1, 100000)), accelerate=bool(accelerate),
        model="velocity" if nonlinear else model, input=input,
        pad=10.0 if pad is None else _number(pad, "pad", 0.0, 1e4),
        nfft=0 if nfft is None else int(_number(nfft, "nfft", 2, 1 << 22)))
    if baseline is not None:
        if baseline not in ("mean", "linear"):
            raise KorvoError(f"baseline is 'mean' or 'linear', not {baseline!r}")
        options["baseline"] = 0 if baseline == "mean" else 1
    if band_pass_hz is not None:
        f = [float(v) for v in band_pass_hz] if np.ndim(band_pass_hz) == 1 else []
        if len(f) != 4 or any(np.isnan(f)) or not 0 <= f[0] <= f[1] <= f[2] <= f[3] \
                or not np.isfinite(f[2]):
            raise KorvoError("band_pass_hz is four corners in Hz with 0 <= f1 <= f2 <= f3 <= f4, "
                             f"not {band_pass_hz!r}")
        options["band_pass_hz"] = f
    if scale is not None:
        if scale_pga is not None:
            raise KorvoError("scale and scale_pga both scale the record: give one")
        options["scale"] = _number(scale, "scale", 1e-30, 1e30)
    if soil_unit is not None:
        if soil_unit not in ("m", "ft"):
            raise KorvoError(f"soil_unit is 'm' or 'ft', not {soil_unit!r}")
        options["soil_unit"] = soil_unit
    depths = [_number(z, "at", 0.0, np.inf) for z in at]
    fmax = _number(fmax, "fmax", 1e-3, 1e6)
    from .column import Column

    if isinstance(profile, Column):
        if soil_unit is not None:
            raise KorvoError("soil_unit is for soil files; a korvo.Column carries its units")
        profile_arg, profile = profile.core, profile.source
    else:
        profile = profile_arg = os.fspath(profile)
    scale = "" if scale_pga is None else str(scale_pga)
    unit = "" if unit is None else str(unit)
    if nonlinear:
        settings = _nonlinear_settings(substeps, max_element, rayleigh, loops, unloading, strict,
                                       viscous)
        run = functools.partial(_korvo.nonlinear_site, settings=settings)
        wrap = NonlinearResult
    else:
        run, wrap = _korvo.site, SiteResult
    if isinstance(motion, (str, os.PathLike)):
        core = run(profile_arg, os.fspath(motion), None, 0.0, unit, scale, fmax, depths, options)
        source = os.fspath(motion)
    else:
        try:
            accel, dt = motion
        except (TypeError, ValueError):
            raise TypeError("motion is a record file or a pair (accel, dt)") from None
        a = np.asarray(accel, dtype=np.float64)
        if a.ndim != 1 or len(a) < 2:
            raise KorvoError(f"motion: accel must be one-dimensional with two samples or more, "
                             f"not of shape {a.shape}")
        if not np.all(np.isfinite(a)):
            raise KorvoError("motion: accel holds a value that is not finite")
        dt = _number(dt, "dt", 0.0, np.inf, open_low=True)
        core = run(profile_arg, None, a, dt, unit, scale, fmax, depths, options)
        source = "record"
    return wrap(core, profile, source)


def _number(value, name: str, low: float, high: float, open_low: bool = False) -> float:
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}") from None
    if not np.isfinite(x) or x < low or x > high or (open_low and x <= low):
        bound = f"above {low:g}" if open_low else f"from {low:g}"
        upper = "" if high == np.inf else f" to {high:g}"
        raise KorvoError(f"{name} must be a number {bound}{upper}, not {value!r}")
    return x
