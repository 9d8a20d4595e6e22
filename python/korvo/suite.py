"""Suites: many records through many randomized profiles.

Every run of a suite is one record through one realization of the profile:
the surface motion's PGA and response spectrum, its ratio to the input's, and
the modulus of the applied transfer function on a frequency grid. Runs go in
chunks to a thread pool (the extension releases the GIL) or, given a
``dask.distributed.Client``, to the cluster's workers; the numbers do not
depend on which.
"""

from __future__ import annotations

import contextlib
import ctypes
import math
import os
import re
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor, as_completed
from typing import Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Union

import numpy as np

from . import (Profile, Record, KorvoError, _args, _profile, _wave_code, _corners, read_record,
               response_spectrum, run)
from . import _files
from ._args import KorvoTypeError, KorvoWarning
from . import _korvo
from .toro import CurveVariation, Toro, _columns

__all__ = ["suite", "SuiteResult", "ColumnSuiteResult", "DEFAULT_PERIODS", "DEFAULT_FREQUENCIES"]

DEFAULT_PERIODS = np.geomspace(0.02, 10.0, 50)
"""Spectra periods of a suite by default: 50, log-spaced from 0.02 to 10 s."""
DEFAULT_FREQUENCIES = np.geomspace(0.1, 20.0, 100)
"""Transfer-function frequencies of a suite by default: 100, log-spaced, Hz."""

PROFILE_QUANTITIES = ("vs", "vp", "rho", "qs", "qp")
_PROFILE_KEYS = ("rho", "vp", "qp", "vs", "qs", "thickness")
_UNITS = ("g", "cm/s^2", "m/s^2")


# Each unit in cm/s^2, for a target peak given in another unit than the records'.
_IN_CM_S2 = {"g": 980.665, "cm/s^2": 1.0, "gal": 1.0, "m/s^2": 100.0}
_PEAK = re.compile(r"^\s*([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?)\s*(g|cm/s\^2|gal|m/s\^2)?\s*$")


def _scaled(records: List[Record], scale, scale_pga, unit: str) -> List[Record]:
    """The records times a factor, or each scaled to a target peak."""
    if scale_pga is None:
        factor = _args.real(scale, "scale")
        if not (math.isfinite(factor) and factor > 0.0):
            raise KorvoError(f"scale is a positive factor, not {scale!r}")
        return records if factor == 1.0 else [r.scaled(factor) for r in records]
    if scale != 1.0:
        raise KorvoError("scale and scale_pga both scale the records: give one")

    def target_of(value) -> float:
        if isinstance(value, str):
            found = _PEAK.match(value)
            if not found:
                raise KorvoError(f"scale_pga is a peak such as 0.3g or '294 cm/s^2', not {value!r}")
            t = float(found.group(1)) * _IN_CM_S2[found.group(2) or unit] / _IN_CM_S2[unit]
        else:
            t = _args.real(value, "scale_pga")
        if not (math.isfinite(t) and t > 0.0):
            raise KorvoError(f"scale_pga is a positive peak, not {value!r}")
        return t

    # One peak for all, or one per record in the records' order.
    if isinstance(scale_pga, (list, tuple, np.ndarray)):
        if len(scale_pga) != len(records):
            raise KorvoError(f"scale_pga holds {len(scale_pga)} peaks for {len(records)} records; "
                             "give one peak, or one per record")
        targets = [target_of(v) for v in scale_pga]
    else:
        targets = [target_of(scale_pga)] * len(records)
    out = []
    for r, target in zip(records, targets):
        peak = float(np.max(np.abs(r.accel.astype(float))))
        if peak == 0.0:
            raise KorvoError(f"{r.source}: every sample is 0; it cannot be scaled to a peak")
        out.append(r.scaled(target / peak))
    return out


def column_unit(unit: str) -> str:
    """A unit as the suffix of a column's name, as korvo-site writes them:
    ``'cm/s^2'`` -> ``'cm_s2'``, ``'m/s'`` -> ``'m_s'``."""
    return unit.replace("^", "").replace("/", "_").lower()

# Steps per period of the shortest period, as korvo-spectra oversamples.
_STEPS_PER_PERIOD = 20
_OVERSAMPLE_MAX = 64
_GROUPED_ABOVE = 5
# A chunk this long keeps a worker busy for a fraction of a second, long
# enough to hide the scheduler's cost and short enough to balance the load.
_CHUNK_MAX = 48
_CHUNK_MIN = 4


# glibc's malloc parameters (malloc.h).
_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3
_MMAP_THRESHOLD_DEFAULT = 128 * 1024
_heap_lock = threading.Lock()
_heap_users = 0


def _fixed_thresholds():
    """The trim and mmap thresholds glibc was started with, or None when it
    chose its own (then it adapts them to the program)."""
    try:
        trim = os.environ.get("MALLOC_TRIM_THRESHOLD_")
        mmap = os.environ.get("MALLOC_MMAP_THRESHOLD_")
        if trim is None and mmap is None:
            return None
        return (int(trim) if trim is not None else None,
                int(mmap) if mmap is not None else _MMAP_THRESHOLD_DEFAULT)
    except ValueError:
        return None


@contextlib.contextmanager
def _steady_heap():
    """Keep freed memory in the heap while runs go on.

    Dask's nanny starts workers with MALLOC_TRIM_THRESHOLD_=65536, which also
    fixes glibc's mmap threshold at 128 KiB: every run's workspace and every
    oversampled history is then mapped, faulted in page by page and unmapped
    again. Measured: runs 2.5 times slower. Within a chunk the heap keeps
    them; afterwards the worker's thresholds come back and the heap is trimmed,
    as the worker asked for.
    """
    global _heap_users
    fixed = _fixed_thresholds()
    try:
        libc = ctypes.CDLL("libc.so.6") if fixed else None
    except OSError:
        libc = None
    if libc is None:
        yield
        return
    with _heap_lock:
        _heap_users += 1
        if _heap_users == 1:
            libc.mallopt(_M_MMAP_THRESHOLD, 32 * 1024 * 1024)
            libc.mallopt(_M_TRIM_THRESHOLD, 256 * 1024 * 1024)
    try:
        yield
    finally:
        with _heap_lock:
            _heap_users -= 1
            if _heap_users == 0:
                trim, mmap = fixed
                libc.mallopt(_M_MMAP_THRESHOLD, mmap)
                if trim is not None:
                    libc.mallopt(_M_TRIM_THRESHOLD, trim)
                libc.malloc_trim(0)


class _Job:
    """What every chunk needs, shipped once to each worker."""

    def __init__(self, records, base, variation, seed, options, periods, frequencies, damping):
        self.records = records          # list of Record
        self.base = base                # the base profile's arrays and scalars
        self.variation = variation
        self.seed = seed
        self.options = options          # keyword arguments of korvo.run
        self.periods = periods
        self.frequencies = frequencies
        self.damping = damping


def _factor(dt: float, period: float) -> int:
    # korvo-spectra's rule, with its hair of tolerance for exact ratios.
    need = _STEPS_PER_PERIOD * dt / period * (1.0 - 1e-9)
    return 1 if not need > 1.0 else min(_OVERSAMPLE_MAX, math.ceil(need))


def _spectrum(accel, dt: float, periods: np.ndarray, damping: float):
    """PGA and PSA, every period stepped at least 20 times per period.

    korvo-spectra oversamples the whole grid for its shortest period, which
    costs the long periods as much as the short ones. Here periods go to the
    engine in groups: those needing up to 5x oversampling by their own factor,
    the shorter ones together at the factor of the shortest. (Measured: the
    band-limited interpolation's cost jumps past 5x, so one call beyond it is
    cheapest.)
    """
    psa = np.empty(len(periods), dtype=np.float32)
    factors = np.array([min(_factor(dt, float(p)), _GROUPED_ABOVE + 1) for p in periods])
    pga = None
    for f in np.unique(factors):
        take = factors == f
        s = response_spectrum(accel, dt, periods[take], damping)
        psa[take] = s.psa
        pga = s.pga
    return pga, psa


def _halfspace(base: dict) -> Profile:
    """The base profile's half-space alone: its surface motion is the input
    record through the same processing (band-pass, the cleared zero line)."""
    return Profile(**{k: base[k][-1:] for k in _PROFILE_KEYS},
                   qexp=base["qexp"], angle=base["angle"], iflag=base["iflag"])


def _input_spectra(job: _Job, r: int):
    """Record r through the base profile's half-space alone: (r, pga, psa)."""
    record = job.records[r]
    res = run(record, _halfspace(job.base), threads=False, **job.options)
    return (r,) + _spectrum(res.motion, res.dt, job.periods, job.damping)


def _all_input_spectra(job: _Job, count: int) -> list:
    return [_input_spectra(job, r) for r in range(count)]


def _run_chunk(job: _Job, start: int, stop: int) -> dict:
    """Runs start..stop-1; run j is realization j // R of record j % R."""
    with _steady_heap():
        return _runs(job, start, stop)


def _runs(job: _Job, start: int, stop: int) -> dict:
    R, P, F = len(job.records), len(job.periods), len(job.frequencies)
    n = stop - start
    out = dict(start=start, pga=np.empty(n), psa=np.empty((n, P)), transfer=np.empty((n, F)),
               profiles={})
    column = job.options["reference"] - 1
    profile = None
    for j in range(start, stop):
        k, r = divmod(j, R)
        if k not in out["profiles"]:
            arrays = job.variation.realize(job.base, job.seed, k)
            profile = Profile(**arrays)
            out["profiles"][k] = {q: getattr(profile, q) for q in _PROFILE_KEYS}
        record = job.records[r]
        try:
            # The suite's own pool or workers share the cores among runs.
            res = run(record, profile, threads=False, **job.options)
        except KorvoError as e:
            raise KorvoError(f"{record.source}, realization {k}: {e}") from None
        pga, psa = _spectrum(res.motion, res.dt, job.periods, job.damping)
        i = j - start
        out["pga"][i] = pga
        out["psa"][i] = psa
        out["transfer"][i] = np.interp(job.frequencies, res.frequency,
                                       np.abs(res.transfer[:, column]))
    return out


def _chunks(total: int, lanes: int, chunk_size: Optional[int]) -> List[tuple]:
    if chunk_size is not None:
        return [(a, min(a + chunk_size, total)) for a in range(0, total, chunk_size)]
    # Each chunk a share of the runs left: long ones first, where they hide
    # the scheduler's cost, short ones last, so that the lanes finish
    # together (with equal chunks one lane idles through the last chunk).
    least = min(_CHUNK_MIN, max(1, total // (4 * lanes)))
    spans, a = [], 0
    while a < total:
        size = max(least, min(_CHUNK_MAX, math.ceil((total - a) / (2 * lanes))))
        spans.append((a, min(a + size, total)))
        a += size
    return spans


def _names(records: Sequence[Record]) -> List[str]:
    names, seen = [], {}
    for rec in records:
        name = os.path.basename(rec.source) or "record"
        seen[name] = seen.get(name, 0) + 1
        names.append(name if seen[name] == 1 else f"{name}#{seen[name]}")
    return names


def suite(records, profile, realizations: int = 100, variation: Optional[Toro] = None,
          seed: Optional[int] = None, client=None, *, wave: str = "horizontal",
          reference: int = 1, band_pass: Optional[Sequence[float]] = None,
          band_pass_hz: Optional[Sequence[float]] = None,
          periods=None, damping: float = 0.05, frequencies=None, unit: Optional[str] = None,
          scale: float = 1.0, scale_pga: Optional[Union[str, float, Sequence]] = None,
          workers: Optional[int] = None, chunk_size: Optional[int] = None,
          progress: Optional[Callable[[int, int], None]] = None, method: Optional[str] = None,
          curves: Optional[CurveVariation] = None, **site_options) -> "SuiteResult":
    """Every record through every realization of a randomized profile.

    Parameters
    ----------
    records : sequence of Record or path, or mapping of name to Record or path
        The input motions (accelerations). Names are the file names unless
        given as a mapping.
    profile : Profile, Column or path
        The base profile: its velocities are the medians of the variation. A
        :class:`korvo.Column` or a TOML profile runs through the column
        engine (korvo-site's), a :class:`korvo.Profile` or a soil file
        through the console program's.
    realizations : int, default 100
        Profiles drawn; realization ``i`` of `seed` is the same profile
        whatever the other arguments of the call.
    variation : Toro, optional
        Default ``Toro()`` (site class ``"USGS C"``, velocities only, lengths
        in metres).
    seed : int, optional
        Non-negative. None draws one from the operating system; the result
        records it.
    client : dask.distributed.Client, optional
        Run on the cluster: the records go once to every worker, the runs in
        chunks. None: a thread pool of `workers` threads here.
    wave, reference, band_pass, band_pass_hz
        As for :func:`korvo.run` (the suite works on accelerations: no
        integration or differentiation).
    periods : array_like, optional
        Spectra periods, s; default :data:`DEFAULT_PERIODS`.
    damping : float, default 0.05
    frequencies : array_like, optional
        Where the transfer function's modulus is read (linear interpolation
        between the run's lines), Hz, up to the lowest Nyquist frequency of
        the records; default :data:`DEFAULT_FREQUENCIES`.
    scale, scale_pga : optional
        Every record times `scale`; or each record scaled to the peak
        `scale_pga`: a number in the records' unit, or text with a unit
        (``'0.3g'``, ``'294 cm/s^2'``, ``'2.9 m/s^2'``, ``'294 gal'``), or a
        list of such peaks, one per record. Not both.
    unit : {None, 'g', 'cm/s^2', 'm/s^2'}
        Unit of records that state none (pairs files, arrays): default the
        unit the others state, else ``'g'``. It names the tables' columns
        (``pga_g``, ``psa_g_0.02s``) and the figures' axes.
    workers : int, optional
        Threads without a client; default the machine's cores.
    chunk_size : int, optional
        Runs per task; default about four tasks per thread or worker, at most 48.
    progress : callable(done, total), optional
        Called after every chunk, in the calling thread.
    method : {None, 'linear', 'eql', 'fdeql', 'nonlinear'}
        For a column: linear (small-strain properties), equivalent-linear
        (the default), frequency-dependent equivalent-linear (korvo-site
        --method fdeql) or nonlinear time-domain (korvo-site --method
        nonlinear, with `substeps`, `max_element`, `unloading` and `viscous`
        among the site options). A Profile runs linear only.
    curves : CurveVariation, optional
        For a column: vary the G/Gmax and damping curves of its nonlinear
        layers after Darendeli (2001); default none.
    **site_options
        For a column, as :func:`korvo.site`: ``fmax`` (25 Hz),
        ``strain_ratio`` (0.65), ``tol`` (1e-3), ``max_iter`` (100),
        ``accelerate``, ``model`` ('velocity'), ``input`` ('outcrop' or
        'within'). Wave, reference, band_pass and frequencies are the console
        program's and not for a column.

    Returns
    -------
    SuiteResult, or ColumnSuiteResult for a column

    Raises
    ------
    KorvoError
        A bad argument, an unreadable file, or a run's refusal or fault,
        named with its record and realization.
    """
    def record(r, i):
        if isinstance(r, Record):
            return r
        if isinstance(r, (str, bytes, os.PathLike)):
            return read_record(r)
        raise KorvoTypeError(f"records[{i!r}] must be a korvo.Record or a file name, "
                             f"not {type(r).__name__}")

    from .rvt import _Motion as RvtMotion

    if isinstance(records, RvtMotion):
        records = [records]
    given = list(records.values()) if isinstance(records, Mapping) else \
        list(records) if isinstance(records, Iterable) \
        and not isinstance(records, (str, bytes, os.PathLike, Record)) else []
    if any(isinstance(r, RvtMotion) for r in given):
        bad = next((i for i, r in enumerate(given) if not isinstance(r, RvtMotion)), None)
        if bad is not None:
            raise KorvoTypeError(f"records[{bad}] is not an RVT motion: a suite takes records "
                                 "or RVT motions, not both")
        names = [str(k) for k in records] if isinstance(records, Mapping) else \
            [f"motion {i + 1}" for i in range(len(given))]
        if unit not in (None, "g") or scale != 1.0 or scale_pga is not None:
            raise KorvoError("unit, scale and scale_pga are for records; an RVT motion's "
                             "spectrum is in g s")
        if band_pass is not None or band_pass_hz is not None or frequencies is not None \
                or wave != "horizontal" or reference != 1:
            raise KorvoError("wave, reference, band_pass and frequencies are the console "
                             "program's; a column suite does not take them")
        if method not in (None, "linear", "eql"):
            raise KorvoError(f"method is 'linear' or 'eql' for RVT motions, not {method!r}")
        rvt = {k: site_options.pop(k) for k in ("peak_factor", "oscillator_duration",
                                                "bt_coefficients", "grid") if k in site_options}
        return _column_suite(**_checked(given, names, realizations, seed, periods, damping,
                                        workers, chunk_size, progress, motions=True),
                             unit="g", column=profile, method=method or "eql",
                             variation=variation, curves=curves, client=client,
                             site_options=site_options, rvt=rvt)

    if isinstance(records, Mapping):
        names = [str(k) for k in records]
        records = [record(r, k) for k, r in records.items()]
    elif isinstance(records, (str, bytes, os.PathLike, Record)) \
            or not isinstance(records, Iterable):
        raise KorvoTypeError("records must be a sequence or mapping of korvo.Record or "
                             f"file names, not {type(records).__name__}")
    else:
        records = [record(r, i) for i, r in enumerate(records)]
        names = _names(records)
    if not records:
        raise KorvoError("suite: no records")
    units: Dict[str, List[str]] = {}
    for name, rec in zip(names, records):
        if rec.unit:
            units.setdefault(rec.unit, []).append(name)
    if len(units) > 1:
        # Medians of PGA and PSA over g and cm/s^2 together would be meaningless.
        listed = "; ".join(f"{u}: {', '.join(n)}" for u, n in sorted(units.items()))
        raise KorvoError(f"records in different units ({listed}); a suite's statistics need one")
    if unit is not None:
        _args.choice(unit, "unit", _UNITS, "'g', 'cm/s^2' or 'm/s^2'")
        if units and unit not in units:
            raise KorvoError(f"unit is {unit!r}, but the records state {next(iter(units))!r}")
    unit = next(iter(units)) if units else (unit or "g")
    records = _scaled(records, scale, scale_pga, unit)
    from .column import Column

    if isinstance(profile, Column) or (isinstance(profile, (str, os.PathLike))
                                       and not _is_soil_file(profile)):
        if method not in (None, "linear", "eql", "fdeql", "nonlinear"):
            raise KorvoError(f"method is 'linear', 'eql', 'fdeql' or 'nonlinear', not {method!r}")
        if band_pass is not None or band_pass_hz is not None or frequencies is not None \
                or wave != "horizontal" or reference != 1:
            raise KorvoError("wave, reference, band_pass and frequencies are the console "
                             "program's; a column suite does not take them")
        return _column_suite(**_checked(records, names, realizations, seed, periods, damping,
                                        workers, chunk_size, progress), unit=unit, column=profile,
                             method=method or "eql", variation=variation, curves=curves,
                             client=client, site_options=site_options)
    if method not in (None, "linear"):
        raise KorvoError(f"method {method!r} needs a TOML profile or a korvo.Column; "
                         "a korvo.Profile runs linear")
    if curves is not None or site_options:
        what = "curves" if curves is not None else next(iter(site_options))
        raise KorvoTypeError(f"suite: {what!r} is for a TOML profile or a korvo.Column")
    profile = _profile(profile)
    # The variation draws depths, layers and velocities from these; a run of
    # the profile alone may take what the console takes, a randomization cannot.
    for name, values, soil_only in (("thickness", profile.thickness, True),
                                    ("VS", profile.vs, False), ("density", profile.rho, False)):
        values = np.asarray(values, dtype=float)[: profile.nl - 1 if soil_only else profile.nl]
        bad = np.flatnonzero(~(values > 0.0) | ~np.isfinite(values))
        if bad.size:
            i = int(bad[0])
            raise KorvoError(f"profile: layer {i + 1}'s {name} {values[i]:g} is not a positive "
                             "number, which a randomized profile needs")
    if isinstance(realizations, bool) or not isinstance(realizations, (int, np.integer)) \
            or not 1 <= realizations <= _args.INT32_MAX:
        raise KorvoError(f"realizations must be a positive whole number up to "
                         f"{_args.INT32_MAX}, not {realizations!r}")
    variation = Toro() if variation is None else variation
    if not isinstance(variation, Toro):
        raise KorvoError(f"variation must be a korvo.Toro, not {type(variation).__name__}")
    if seed is None:
        seed = int(np.random.SeedSequence().entropy)
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise KorvoError(f"seed must be a non-negative whole number, not {seed!r}")
    if _args.integer(reference, "reference") not in (1, 2):
        raise KorvoError(f"reference is 1 or 2, not {reference!r}")
    # Checked here rather than in every run, where a refusal would name a record.
    _wave_code(wave)
    band_pass = _corners(band_pass, band_pass_hz)
    periods = _args.array(DEFAULT_PERIODS if periods is None else periods, "periods")
    frequencies = _args.array(DEFAULT_FREQUENCIES if frequencies is None else frequencies,
                              "frequencies", float)
    damping = _args.real(damping, "damping")
    if not len(periods) or not np.all(periods > 0) or not np.all(np.isfinite(periods)):
        raise KorvoError("periods: at least one, each positive and finite")
    if not len(frequencies) or not np.all(frequencies >= 0) \
            or not np.all(np.isfinite(frequencies)):
        raise KorvoError("frequencies: at least one, none negative, all finite")
    for name, rec in zip(names, records):
        if len(rec) < 2 or not rec.dt > 0:
            raise KorvoError(f"{name}: a record needs two samples or more and a positive dt")
        nyquist = 0.5 / rec.dt
        if frequencies.max() > nyquist:
            raise KorvoError(f"frequencies: {frequencies.max():g} Hz lies above the Nyquist "
                             f"frequency of {name} ({nyquist:g} Hz)")
    if workers is not None:
        workers = _args.integer(workers, "workers", 1)
    if chunk_size is not None:
        chunk_size = _args.integer(chunk_size, "chunk_size", 1)
    if progress is not None and not callable(progress):
        raise KorvoTypeError(f"progress must be callable, not {type(progress).__name__}")

    options = dict(wave=wave, reference=int(reference), band_pass=band_pass)
    job = _Job(records, _columns(profile), variation, int(seed), options, periods, frequencies,
               float(damping))
    R, K = len(records), int(realizations)
    total = R * K
    began = time.perf_counter()

    # The input spectra (each record through the half-space alone) are
    # computed beside the runs; the ratios are formed once all are in.
    inputs, parts = _run_all(job, R, total, client, workers, chunk_size, progress,
                             _input_spectra, _all_input_spectra, _run_chunk)

    input_pga = np.array([p for p, _ in inputs])
    input_psa = np.array([s for _, s in inputs], dtype=float)
    # A ratio to an input with nothing left (a band-pass that removes every
    # frequency of it) would be 0/0 in every table: refused, naming the record.
    for name, p in zip(names, input_pga):
        if not p > 0.0:
            raise KorvoError(f"{name}: nothing of the record is left to run (peak {p:g} after "
                             f"the band-pass {band_pass})" if band_pass is not None else
                             f"{name}: the record is all zeros")
    return SuiteResult._assemble(job, names, K, parts, input_pga, input_psa,
                                 time.perf_counter() - began, unit)


def _checked(records, names, realizations, seed, periods, damping, workers, chunk_size,
             progress, motions=False):
    """The arguments every suite checks alike, in _column_suite's order."""
    if isinstance(realizations, bool) or not isinstance(realizations, (int, np.integer)) \
            or not 1 <= realizations <= _args.INT32_MAX:
        raise KorvoError(f"realizations must be a positive whole number up to "
                         f"{_args.INT32_MAX}, not {realizations!r}")
    if seed is None:
        seed = int(np.random.SeedSequence().entropy)
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise KorvoError(f"seed must be a non-negative whole number, not {seed!r}")
    periods = _args.array(DEFAULT_PERIODS if periods is None else periods, "periods")
    if not len(periods) or not np.all(periods > 0) or not np.all(np.isfinite(periods)):
        raise KorvoError("periods: at least one, each positive and finite")
    damping = _args.real(damping, "damping")
    for name, rec in zip(names, [] if motions else records):
        if len(rec) < 2 or not rec.dt > 0:
            raise KorvoError(f"{name}: a record needs two samples or more and a positive dt")
    if workers is not None:
        workers = _args.integer(workers, "workers", 1)
    if chunk_size is not None:
        chunk_size = _args.integer(chunk_size, "chunk_size", 1)
    if progress is not None and not callable(progress):
        raise KorvoTypeError(f"progress must be callable, not {type(progress).__name__}")
    return dict(records=records, names=names, realizations=realizations, seed=seed,
                periods=periods, damping=damping, workers=workers, chunk_size=chunk_size,
                progress=progress)


def _watch_workers(client, stop: threading.Event, every: float = 1.0) -> None:
    """Says when the cluster loses a worker while a suite runs: Dask gives its
    tasks to the others, which would otherwise show only as a stalled bar."""
    def workers():
        try:
            return set(client.scheduler_info()["workers"])
        except Exception:  # the scheduler itself gone: the suite's wait reports it
            return None

    known = workers()
    while known is not None and not stop.wait(every):
        now = workers()
        if now is None:
            return
        for lost in sorted(known - now):
            warnings.warn(f"lost the Dask worker {lost}; its runs go to the {len(now)} left",
                          KorvoWarning, stacklevel=1)
        known = now


def _ln_stats(values: np.ndarray, axis: int):
    """Median as exp(mean ln) and ln-standard deviation (n - 1) along `axis`."""
    with np.errstate(divide="ignore", invalid="ignore"):
        ln = np.log(values)
        n = values.shape[axis]
        median = np.exp(ln.mean(axis=axis))
        ln_std = ln.std(axis=axis, ddof=1) if n > 1 else np.zeros_like(median)
    return median, ln_std


class SuiteResult:
    """The runs of a :func:`suite`, their statistics, tables and figures.

    Attributes
    ----------
    table : pandas.DataFrame
        One row per value of a run, tidy: columns ``record`` (name),
        ``realization`` (0-based), ``quantity``, ``x``, ``value``. Quantities:
        ``pga`` (x 0), ``psa`` and ``ratio`` (surface over input PSA; x the
        period, s), ``transfer`` (the modulus of the applied transfer
        function; x the frequency, Hz), and the realization's profile:
        ``vs``, ``vp``, ``rho``, ``qs``, ``qp`` (x the depth of each layer's
        top, the profile's length unit; the half-space's top is the last).
    summary : pandas.DataFrame
        Columns ``scope`` (a record's name, or ``"suite"`` over all runs),
        ``quantity``, ``unit`` (the median's: the records' unit for ``pga``
        and ``psa``, the length unit per s for velocities, ``-`` for none),
        ``x``, ``x_unit`` (``s`` for periods, ``hz``, the length unit for
        depths, ``-`` for pga), ``median`` (exp of the mean ln), ``ln_std``
        (ln standard deviation, n - 1), ``n``. Profile quantities are summarized
        over the realizations at :attr:`depths` (scope ``"suite"`` only: the
        profiles are the same for every record).
    records : list of str
    unit : str
        The records' acceleration unit (PGA and PSA are in it).
    realizations, seed : int
    periods, frequencies, depths : ndarray
    pga : ndarray, shape (R, K)
    psa, ratio : ndarray, shape (R, K, len(periods))
    transfer : ndarray, shape (R, K, len(frequencies))
    input_pga : ndarray, shape (R,)
    input_psa : ndarray, shape (R, len(periods))
        The records after the same processing as the surface motions.
    profiles : list of dict
        Realization k's arrays rho, vp, qp, vs, qs, thickness as run.
    base : dict
        The base profile's arrays.
    elapsed : float
        Seconds for the runs.
    """

    @classmethod
    def _assemble(cls, job, names, K, parts, input_pga, input_psa, elapsed, unit="g"):
        self = cls.__new__(cls)
        self.unit = unit
        R = len(names)
        total = R * K
        P, F = len(job.periods), len(job.frequencies)
        pga, psa, transfer = np.empty(total), np.empty((total, P)), np.empty((total, F))
        profiles: Dict[int, dict] = {}
        for part in parts:
            s = slice(part["start"], part["start"] + len(part["pga"]))
            pga[s], psa[s], transfer[s] = part["pga"], part["psa"], part["transfer"]
            profiles.update(part["profiles"])
        # Runs are realization-major; arrays are record-major.
        self.pga = pga.reshape(K, R).T.copy()
        self.psa = psa.reshape(K, R, P).transpose(1, 0, 2).copy()
        self.ratio = self.psa / input_psa[:, None, :]
        self.transfer = transfer.reshape(K, R, F).transpose(1, 0, 2).copy()
        self.profiles = [profiles[k] for k in range(K)]
        self.records, self.realizations, self.seed = list(names), K, job.seed
        self.periods = job.periods.astype(float)
        self.frequencies = job.frequencies
        self.input_pga, self.input_psa = input_pga, input_psa
        self.base = job.base
        self.variation = job.variation
        self.damping = job.damping
        self.elapsed = elapsed
        bottom = float(np.sum(job.base["thickness"][:-1]))
        span = 1.2 * bottom if bottom > 0 else 1.0
        # Cell middles, so that no depth falls on a base layer boundary.
        self.depths = (np.arange(100) + 0.5) * span / 100
        self._table = None
        self._summary = None
        return self

    @property
    def runs(self) -> int:
        return len(self.records) * self.realizations

    def at_depths(self, quantity: str = "vs", depths=None) -> np.ndarray:
        """A profile quantity of every realization at `depths`: shape (K, len(depths))."""
        _args.choice(quantity, "quantity", _PROFILE_KEYS,
                     "one of " + ", ".join(map(repr, _PROFILE_KEYS)))
        depths = self.depths if depths is None else _args.array(depths, "depths", float)
        out = np.empty((self.realizations, len(depths)))
        for k, p in enumerate(self.profiles):
            tops = np.concatenate([[0.0], np.cumsum(p["thickness"][:-1])])
            layer = np.searchsorted(tops, depths, side="right") - 1
            out[k] = np.asarray(p[quantity], dtype=float)[layer]
        return out

    @property
    def table(self):
        if self._table is None:
            self._table = self._make_table()
        return self._table

    @property
    def summary(self):
        if self._summary is None:
            self._summary = self._make_summary()
        return self._summary

    def _make_table(self):
        import pandas as pd

        R, K = len(self.records), self.realizations
        rec = np.repeat(np.arange(R), K)           # record-major, like the arrays
        real = np.tile(np.arange(K), R)
        blocks = []

        def block(quantity, x, values):           # values: (R*K, len(x))
            m = len(x)
            blocks.append((np.repeat(rec, m), np.repeat(real, m), quantity,
                           np.tile(x, R * K), values.ravel()))

        block("pga", np.zeros(1), self.pga.reshape(-1, 1))
        block("psa", self.periods, self.psa.reshape(R * K, -1))
        block("ratio", self.periods, self.ratio.reshape(R * K, -1))
        block("transfer", self.frequencies, self.transfer.reshape(R * K, -1))
        for q in PROFILE_QUANTITIES:
            for k, p in enumerate(self.profiles):
                tops = np.concatenate([[0.0], np.cumsum(p["thickness"][:-1], dtype=float)])
                m = len(tops)
                blocks.append((np.repeat(np.arange(R), m), np.full(R * m, k), q, np.tile(tops, R),
                               np.tile(np.asarray(p[q], dtype=float), R)))
        cat = pd.Categorical.from_codes
        quantities = ["pga", "psa", "ratio", "transfer", *PROFILE_QUANTITIES]
        frame = pd.DataFrame({
            "record": cat(np.concatenate([b[0] for b in blocks]), categories=self.records),
            "realization": np.concatenate([b[1] for b in blocks]).astype(np.int64),
            "quantity": cat(np.concatenate([np.full(len(b[0]), quantities.index(b[2]))
                                            for b in blocks]), categories=quantities),
            "x": np.concatenate([b[3] for b in blocks]).astype(float),
            "value": np.concatenate([b[4] for b in blocks]).astype(float),
        })
        return frame.sort_values(["record", "realization", "quantity", "x"], kind="stable",
                                 ignore_index=True)

    def _make_summary(self):
        import pandas as pd

        rows = []

        units = self._units()

        def add(scope, quantity, x, values, axis):
            median, ln_std = _ln_stats(values, axis)
            unit, x_unit = units[quantity]
            rows.append(pd.DataFrame({"scope": scope, "quantity": quantity, "unit": unit, "x": x,
                                      "x_unit": x_unit, "median": np.atleast_1d(median),
                                      "ln_std": np.atleast_1d(ln_std),
                                      "n": values.shape[axis]}))

        series = [("pga", np.zeros(1), self.pga[..., None]), ("psa", self.periods, self.psa),
                  ("ratio", self.periods, self.ratio),
                  ("transfer", self.frequencies, self.transfer)]
        for r, name in enumerate(self.records):
            for q, x, v in series:
                add(name, q, x, v[r], 0)
        R, K = len(self.records), self.realizations
        for q, x, v in series:
            add("suite", q, x, v.reshape(R * K, -1), 0)
        for q in PROFILE_QUANTITIES:
            add("suite", q, self.depths, self.at_depths(q), 0)
        return pd.concat(rows, ignore_index=True)

    def _length_unit(self) -> str:
        # 'm' or 'ft'; 'lu' for a length unit given as metres per unit.
        unit = self.variation.length_unit
        return unit if isinstance(unit, str) else "lu"

    def _units(self) -> dict:
        """Each quantity's unit and its x's, as the summary names them."""
        a, lu = self.unit, self._length_unit()
        out = {"pga": (a, "-"), "psa": (a, "s"), "ratio": ("-", "s"), "transfer": ("-", "hz"),
               "rho": ("-", lu), "qs": ("-", lu), "qp": ("-", lu)}
        out.update({q: (f"{lu}/s", lu) for q in ("vs", "vp")})
        return out

    def write(self, folder, figures: bool = True) -> List[str]:
        """Write the tables (CSV) and the figures (PNG) into `folder`.

        Files, CSV with one header row, names carrying their units (``g`` below
        stands for the records' unit, ``cm_s2`` for cm/s^2; ``m`` for the
        profile's length unit): ``summary.csv`` (:attr:`summary`),
        ``runs.csv`` (one row per run: record, realization, ``pga_g``, then
        ``psa_g_<T>s``, ``ratio_<T>s`` and ``transfer_<f>hz`` columns, T the
        period in s, f the frequency in Hz), ``profiles.csv`` (one row per
        layer of each realization: ``top_m``, ``rho`` in the soil file's unit,
        ``vp_m_s``, ``qp``, ``vs_m_s``, ``qs``, ``thickness_m``),
        ``inputs.csv`` (the records' own ``pga_g`` and ``psa_g_<T>s``), and
        the figures ``amplification.png``, ``spectra.png``, ``transfer.png``
        and ``profiles.png``. The folder is created when missing.

        Returns
        -------
        list of str
            The paths written.
        """
        folder = _args.path(folder, "folder")
        figures = _args.flag(figures, "figures")
        os.makedirs(folder, exist_ok=True)
        with _files.folder_lock(folder):
            return self._write_files(folder, figures)

    def _write_files(self, folder, figures):
        import pandas as pd

        R, K = len(self.records), self.realizations
        paths = []

        def save(frame, name):
            path = os.path.join(folder, name)
            # Blank is written where a statistic is undefined (the spread of one
            # run); an infinity is a fault, never a value.
            numbers = frame.select_dtypes("number").to_numpy(dtype=float)
            if np.isinf(numbers).any():
                raise KorvoError(f"{path}: a value is infinite; the file is not written")
            with _files.whole(path) as temp:
                frame.to_csv(temp, index=False, float_format="%.7g")
            paths.append(path)

        save(self.summary, "summary.csv")
        # Wide tables, one column per period or frequency, the unit in each name.
        a, lu = column_unit(self.unit), self._length_unit()
        columns = {"record": np.repeat(self.records, K), "realization": np.tile(np.arange(K), R),
                   f"pga_{a}": self.pga.ravel()}
        for label, x, values in ((f"psa_{a}_", self.periods, self.psa),
                                 ("ratio_", self.periods, self.ratio),
                                 ("transfer_", self.frequencies, self.transfer)):
            flat = values.reshape(R * K, -1)
            x_unit = "hz" if label == "transfer_" else "s"
            columns.update({f"{label}{v:.5g}{x_unit}": flat[:, i] for i, v in enumerate(x)})
        save(pd.DataFrame(columns), "runs.csv")
        names = {"rho": "rho", "vp": f"vp_{lu}_s", "qp": "qp", "vs": f"vs_{lu}_s", "qs": "qs",
                 "thickness": f"thickness_{lu}"}
        layers = []
        for k, p in enumerate(self.profiles):
            nl = len(p["vs"])
            tops = np.concatenate([[0.0], np.cumsum(p["thickness"][:-1], dtype=float)])
            layers.append(pd.DataFrame({"realization": k, "layer": np.arange(1, nl + 1),
                                        f"top_{lu}": tops,
                                        **{names[q]: p[q] for q in _PROFILE_KEYS}}))
        save(pd.concat(layers, ignore_index=True), "profiles.csv")
        inputs = {"record": self.records, f"pga_{a}": self.input_pga}
        inputs.update({f"psa_{a}_{v:.5g}s": self.input_psa[:, i]
                       for i, v in enumerate(self.periods)})
        save(pd.DataFrame(inputs), "inputs.csv")
        if figures:
            from . import suite_plots

            paths += suite_plots.write_all(self, folder)
        return paths

    def __repr__(self) -> str:
        return (f"<korvo.SuiteResult: {len(self.records)} records x {self.realizations} "
                f"realizations, seed={self.seed}, {self.elapsed:.1f} s>")


# The column engine's suites: linear or equivalent-linear runs of a TOML
# profile (a korvo.Column), with Toro's velocities and layering and, when
# asked, Darendeli's curve variation.

_TO_SI = {"g": 9.80665, "cm/s^2": 0.01, "m/s^2": 1.0}
# Strains (%) where varied curves are tabulated, besides every strain of the
# column's own tables: enough that the tables follow Darendeli's curves.
_CURVE_STRAINS = np.geomspace(1e-4, 10.0, 41)


class _ColumnJob:
    """What every chunk of a column suite needs, shipped once to each worker."""

    def __init__(self, records, column, variation, curves, seed, options, fmax, periods,
                 damping, depths, unit):
        self.records, self.column, self.variation, self.curves = records, column, variation, curves
        self.seed, self.options, self.fmax = seed, options, fmax
        self.periods, self.damping, self.depths, self.unit = periods, damping, depths, unit
        strains = [_CURVE_STRAINS] + [t[:, 0] for pair in column.curves.values() for t in pair]
        self.strains = np.unique(np.concatenate(strains))


def _realize_column(job: _ColumnJob, k: int):
    """Realization k: the column with Toro's velocities and layering, then,
    with curve variation, each nonlinear sublayer its own layer with its own
    varied table (Darendeli's curves formed at the sublayer's own stress)."""
    base = job.column
    layers = [dict(layer) for layer in base.layers]
    halfspace = dict(base.halfspace)
    if job.variation is not None:
        d = job.variation._draw([x["thickness"] for x in layers] + [0.0],
                                [x["vs"] for x in layers] + [halfspace["vs"]], job.seed, k)
        new = []
        for src, t in zip(d["source"][:-1], d["thickness"]):
            layer = dict(layers[src], thickness=float(t))
            if t != layers[src]["thickness"]:
                layer.pop("sublayers", None)  # a fixed count was for the base thickness
            new.append(layer)
        every = new + [halfspace]
        for i in range(d["varied"]):
            x = every[i]
            if d["vs"] is not None:
                x["vs"] = float(x["vs"] * d["vs"][i])
            if d["density"] is not None:
                x["unit_weight"] = float(x["unit_weight"] * d["density"][i])
            if d["q"] is not None and "damping_pct" in x:
                x["damping_pct"] = float(x["damping_pct"] / d["q"][i])  # damping = 1 / (2 Q)
        layers = new
    column = base._with(layers, base.curves, halfspace)
    if job.curves is None:
        return column, column
    subs = column.core.sublayers(job.fmax, job.strains)
    e_g, e_d = job.curves.deviates(job.seed, k, len(layers))
    g, dp = job.curves.vary(subs["modulus"], subs["damping_pct"], e_g[subs["layer"]],
                            e_d[subs["layer"]])
    split, curves = [], dict(base.curves)
    for s, i in enumerate(subs["layer"]):
        layer = layers[i]
        if layer["model"] == "linear":
            if not split or split[-1] is not layer:
                split.append(layer)
            continue
        name = f"{layer['name']}, sublayer {s + 1}"
        curves[name] = (np.column_stack([job.strains, g[s]]),
                        np.column_stack([job.strains, dp[s]]))
        split.append(dict(name=layer["name"], thickness=float(subs["thickness"][s]),
                          unit_weight=layer["unit_weight"], vs=layer["vs"], model=name,
                          sublayers=1))
    return column, base._with(split, curves, halfspace)


def _vs_profile(column) -> dict:
    """Thickness and Vs per layer, the half-space last (its thickness 0)."""
    return dict(thickness=np.array([x["thickness"] for x in column.layers] + [0.0]),
                vs=np.array([x["vs"] for x in column.layers] + [column.halfspace["vs"]]))


def _column_spectrum(accel, dt: float, job: _ColumnJob):
    """PGA and PSA as korvo-site computes them: every period oversampled for the
    shortest, so that a run's spectrum is korvo.site's of the same column."""
    s = response_spectrum(accel, dt, job.periods, job.damping)
    return s.pga, s.psa


def _column_input(job: _ColumnJob, r: int):
    rec = job.records[r]
    return (r,) + _column_spectrum(rec.accel, rec.dt, job)


def _column_all_inputs(job: _ColumnJob, count: int) -> list:
    return [_column_input(job, r) for r in range(count)]


def _column_chunk(job: _ColumnJob, start: int, stop: int) -> dict:
    with _steady_heap():
        return _column_runs(job, start, stop)


def _column_runs(job: _ColumnJob, start: int, stop: int) -> dict:
    """Runs start..stop-1; run j is realization j // R of record j % R."""
    R, P, D = len(job.records), len(job.periods), len(job.depths)
    n = stop - start
    out = dict(start=start, pga=np.empty(n), psa=np.empty((n, P)), strain=np.empty((n, D)),
               pga_depth=np.empty((n, D)), converged=np.empty(n, bool),
               iterations=np.empty(n, np.int64), profiles={})
    core = None
    to_si = _TO_SI[job.unit]
    for j in range(start, stop):
        k, r = divmod(j, R)
        if k not in out["profiles"]:
            realized, run_column = _realize_column(job, k)
            out["profiles"][k] = _vs_profile(realized)
            core = run_column.core
        rec = job.records[r]
        try:
            res = _korvo.column_response(core, np.asarray(rec.accel, dtype=np.float64), rec.dt,
                                         to_si, job.fmax, job.options)
        except KorvoError as e:
            raise KorvoError(f"{rec.source}, realization {k}: {e}") from None
        i = j - start
        out["pga"][i], out["psa"][i] = _column_spectrum(res["surface"], rec.dt, job)
        top = res["top"]
        inside = job.depths < top[-1]
        at = np.clip(np.searchsorted(top, job.depths, side="right") - 1, 0, len(top) - 2)
        out["strain"][i] = np.where(inside, res["strain_peak"][at], np.nan)
        out["pga_depth"][i] = np.interp(job.depths, top, res["pga_top"])
        out["converged"][i], out["iterations"][i] = res["converged"], res["iterations"]
    return out


def _rvt_input(job: _ColumnJob, r: int):
    """An RVT motion's own PGA and PSA (g), by the suite's peak factor: the input's."""
    kw = job.rvt
    d = job.records[r]._peaks(job.periods, job.damping, kw.get("peak_factor", "clh"),
                              kw.get("oscillator_duration", True), kw.get("bt_coefficients", ()))
    return r, d["pga"], d["psa"]


def _rvt_all_inputs(job: _ColumnJob, count: int) -> list:
    return [_rvt_input(job, r) for r in range(count)]


def _rvt_chunk(job: _ColumnJob, start: int, stop: int) -> dict:
    with _steady_heap():
        return _rvt_runs(job, start, stop)


def _rvt_runs(job: _ColumnJob, start: int, stop: int) -> dict:
    """Runs start..stop-1 of RVT motions, as _column_runs of records; no
    PGA with depth (RVT gives the surface's)."""
    from .rvt import site as rvt_site

    R, P, D = len(job.records), len(job.periods), len(job.depths)
    n = stop - start
    out = dict(start=start, pga=np.empty(n), psa=np.empty((n, P)), strain=np.empty((n, D)),
               pga_depth=np.full((n, D), np.nan), converged=np.empty(n, bool),
               iterations=np.empty(n, np.int64), profiles={})
    column = None
    o = job.options
    for j in range(start, stop):
        k, r = divmod(j, R)
        if k not in out["profiles"]:
            realized, column = _realize_column(job, k)
            out["profiles"][k] = _vs_profile(realized)
        try:
            res = rvt_site(column, job.records[r], method=o["method"], periods=job.periods,
                           damping=job.damping, fmax=job.fmax, strain_ratio=o["strain_ratio"],
                           tol=o["tol"], max_iter=o["max_iter"], accelerate=o["accelerate"],
                           model=o["model"], input=o["input"], **job.rvt)
        except KorvoError as e:
            raise KorvoError(f"{job.names[r]}, realization {k}: {e}") from None
        i = j - start
        out["pga"][i], out["psa"][i] = res.pga, res.psa_surface
        lay = res.layers
        top = np.append(lay.iloc[:, 1].to_numpy(), lay.iloc[-1, 1] + lay.iloc[-1, 3])
        inside = job.depths < top[-1]
        at = np.clip(np.searchsorted(top, job.depths, side="right") - 1, 0, len(top) - 2)
        out["strain"][i] = np.where(inside, lay["strain_peak_pct"].to_numpy()[at], np.nan)
        out["converged"][i], out["iterations"][i] = res.converged, res.iterations
    return out


def _run_all(job, R: int, total: int, client, workers, chunk_size, progress, input_one,
             input_all, chunk):
    """Every run of a suite, in a thread pool or on a Dask cluster:
    (the inputs' (pga, psa) per record, the chunks' parts)."""
    inputs = [None] * R
    done = 0
    parts = []

    def collect(part):
        nonlocal done
        if isinstance(part, list):
            for p in part:
                collect(p)
            return
        if isinstance(part, tuple):
            inputs[part[0]] = part[1:]
            return
        parts.append(part)
        done += len(part["pga"])
        if progress is not None:
            progress(done, total)

    if client is None:
        lanes = int(workers) if workers else (os.cpu_count() or 1)
        spans = _chunks(total, lanes, chunk_size)
        with ThreadPoolExecutor(max_workers=lanes) as pool:
            futures = [pool.submit(input_one, job, r) for r in range(R)]
            futures += [pool.submit(chunk, job, a, b) for a, b in spans]
            try:
                for f in as_completed(futures):
                    collect(f.result())
            except BaseException:
                for f in futures:
                    f.cancel()
                raise
        return inputs, parts
    from distributed import as_completed as dask_completed

    # Workers unpickle the job with korvo's own classes: one without the
    # package would fail deep inside the scatter, so ask them first.
    try:
        client.run(exec, "import korvo._korvo")
    except ImportError as e:
        raise KorvoError(f"a Dask worker cannot import korvo ({e}): start the workers "
                         "with korvo's build on their PYTHONPATH") from None
    lanes = max(1, sum(client.nthreads().values()))
    spans = _chunks(total, lanes, chunk_size)
    # The records and the profile go to every worker once; a task carries
    # only its span of runs. The input spectra go as one task: each is too
    # short to be worth a round trip of its own.
    shared = client.scatter(job, broadcast=True)
    futures = [client.submit(input_all, shared, R, pure=False)]
    futures += client.map(chunk, [shared] * len(spans), [a for a, _ in spans],
                          [b for _, b in spans], pure=False)
    stop = threading.Event()
    watcher = threading.Thread(target=_watch_workers, args=(client, stop), daemon=True)
    watcher.start()
    try:
        for _, part in dask_completed(futures, with_results=True):
            collect(part)
    except BaseException:
        client.cancel(futures)
        raise
    finally:
        stop.set()
        watcher.join()
    return inputs, parts


def _is_soil_file(path) -> bool:
    """Whether a profile file is korvo's fixed-column soil file (its first
    line a number alone) rather than a TOML profile."""
    try:
        with open(os.fspath(path), "rb") as f:
            first = f.readline().decode("latin-1").strip()
        float(first)
        return True
    except (OSError, ValueError):
        return False


def _column_suite(records, names, unit, column, method, realizations, variation, curves, seed,
                  client, periods, damping, workers, chunk_size, progress, site_options,
                  rvt=None):
    """korvo.suite through the column engine; arguments as suite() checked them."""
    from .column import Column
    from .site import _number

    if not isinstance(column, Column):
        column = Column.read(column)
    variation = Toro() if variation is None else variation
    if not isinstance(variation, Toro):
        raise KorvoError(f"variation must be a korvo.Toro, not {type(variation).__name__}")
    # The model's lengths are metres: the column's unit decides.
    variation = _with_unit(variation, column.length_unit)
    if curves is not None and not isinstance(curves, CurveVariation):
        raise KorvoError(f"curves must be a korvo.CurveVariation, not {type(curves).__name__}")
    o = dict(site_options)
    # An option of the other methods would be silently ignored: refused instead.
    other = ("strain_ratio", "tol", "max_iter", "accelerate", "model") if method == "nonlinear" \
        else ("substeps", "max_element", "unloading", "viscous")
    for name in other:
        if name in o:
            raise KorvoError(f"{name} is for method " + (
                "'linear', 'eql' or 'fdeql'" if method == "nonlinear" else "'nonlinear'") +
                f", not {method!r}")
    fmax = _number(o.pop("fmax", 25.0), "fmax", 1e-3, 1e6)
    options = dict(method=method,
                   strain_ratio=_number(o.pop("strain_ratio", 0.65), "strain_ratio", 0.01, 1.0),
                   tol=_number(o.pop("tol", 1e-3), "tol", 1e-15, 0.5),
                   max_iter=int(_number(o.pop("max_iter", 100), "max_iter", 1, 100000)),
                   accelerate=bool(o.pop("accelerate", True)), model=o.pop("model", "velocity"),
                   input=o.pop("input", "outcrop"))
    if method == "nonlinear":
        # korvo-site --method nonlinear's own settings; its defaults otherwise.
        if "substeps" in o:
            options["substeps"] = _args.integer(o.pop("substeps"), "substeps", 1, 10000)
        if "max_element" in o:
            options["max_element"] = _number(o.pop("max_element"), "max_element", 1e-6, 1e6)
        if "unloading" in o:
            options["unloading"] = _args.choice(o.pop("unloading"), "unloading",
                                                ("masing", "mrdf"), "'masing' or 'mrdf'")
        if "viscous" in o:
            options["viscous"] = _args.choice(o.pop("viscous"), "viscous",
                                              ("rayleigh", "frequency-independent"),
                                              "'rayleigh' or 'frequency-independent'")
    if o:
        raise KorvoTypeError(f"suite: unknown option {next(iter(o))!r}")
    # Checked here rather than in every run, where a refusal would name a record.
    _args.choice(options["model"], "model", ("velocity", "simple", "unit-modulus"),
                 "'velocity', 'simple' or 'unit-modulus'")
    _args.choice(options["input"], "input", ("outcrop", "within"), "'outcrop' or 'within'")
    column.core.small_strain(fmax)  # a column the engine refuses is refused before the runs
    for line in column.warnings:
        warnings.warn(line.removeprefix("warning: "), KorvoWarning, stacklevel=3)
    R, K = len(records), int(realizations)
    bottom = column.depth
    # Cell middles, so that no depth falls on a base layer boundary.
    depths = (np.arange(100) + 0.5) * 1.2 * bottom / 100
    job = _ColumnJob(records, column, variation, curves, int(seed), options, fmax, periods,
                     float(damping), depths, unit)
    job.names = names
    began = time.perf_counter()
    if rvt is None:
        inputs, parts = _run_all(job, R, R * K, client, workers, chunk_size, progress,
                                 _column_input, _column_all_inputs, _column_chunk)
    else:
        job.rvt = rvt
        inputs, parts = _run_all(job, R, R * K, client, workers, chunk_size, progress, _rvt_input,
                                 _rvt_all_inputs, _rvt_chunk)
    res = ColumnSuiteResult._assemble(job, names, K, parts, inputs, time.perf_counter() - began)
    if method == "nonlinear" and not res.converged.all():
        warnings.warn(f"{np.count_nonzero(~res.converged)} of {R * K} runs left time steps out "
                      "of balance (korvo-site --method nonlinear warns of each)",
                      KorvoWarning, stacklevel=3)
    if method in ("eql", "fdeql") and not res.converged.all():
        warnings.warn(f"{np.count_nonzero(~res.converged)} of {R * K} runs did not converge "
                      f"in {options['max_iter']} iterations; their last state is kept",
                      KorvoWarning, stacklevel=3)
    # Effective strain is the strain ratio times the peak.
    beyond = np.nanmax(res.strain, initial=0.0) * options["strain_ratio"]
    if method in ("eql", "fdeql") and beyond > 1.0:
        warnings.warn(f"effective strains reach {beyond:.3g} %: equivalent-linear analysis is "
                      "doubtful beyond about 1 %", KorvoWarning, stacklevel=3)
    return res


def _with_unit(variation: Toro, length_unit: str) -> Toro:
    import copy

    if variation.length_unit not in ("m", length_unit):
        raise KorvoError(f"variation: length_unit {variation.length_unit!r}, but the column's "
                         f"lengths are in {length_unit!r}; the column's unit is used, leave it out")
    v = copy.copy(variation)
    v.metres, v.length_unit = _LENGTH_METRES[length_unit], length_unit
    return v


_LENGTH_METRES = {"m": 1.0, "ft": 0.3048}


class ColumnSuiteResult(SuiteResult):
    """The runs of a :func:`suite` through the column engine (a TOML profile
    or a :class:`korvo.Column`, ``method='linear'`` or ``'eql'``).

    Attributes
    ----------
    method : str
    records : list of str
    unit : str
        The records' acceleration unit.
    realizations, seed : int
    periods : ndarray
    depths : ndarray, shape (100,)
        Where profiles are summarized: cell middles down to 1.2 times the
        base column's depth (the column's length unit).
    pga : ndarray, shape (R, K)
    psa, ratio : ndarray, shape (R, K, len(periods))
        Surface PSA, and its ratio to the input record's PSA (the outcrop
        input for ``input='outcrop'``; the record as given for ``'within'``).
    strain : ndarray, shape (R, K, len(depths))
        Peak shear strain (%) of the sublayer at each depth; NaN below the
        realization's column.
    pga_depth : ndarray, shape (R, K, len(depths))
        Peak total acceleration at each depth (record's unit), interpolated
        between the sublayers' tops.
    converged : ndarray of bool, shape (R, K)
    iterations : ndarray of int, shape (R, K)
    input_pga, input_psa : ndarray
    profiles : list of dict
        Realization k's ``thickness`` and ``vs`` per layer, the half-space last.
    column : korvo.Column
        The base column.
    variation : Toro
    curves : CurveVariation or None
    summary : pandas.DataFrame
        As :attr:`SuiteResult.summary`, quantities ``pga``, ``psa``,
        ``ratio``, ``strain`` (x the depth), ``pga_depth`` and ``vs``.
    """

    @classmethod
    def _assemble(cls, job, names, K, parts, inputs, elapsed):
        self = cls.__new__(cls)
        R, P, D = len(names), len(job.periods), len(job.depths)
        total = R * K
        pga, psa = np.empty(total), np.empty((total, P))
        strain, pga_depth = np.empty((total, D)), np.empty((total, D))
        converged, iterations = np.empty(total, bool), np.empty(total, np.int64)
        profiles: Dict[int, dict] = {}
        for part in parts:
            s = slice(part["start"], part["start"] + len(part["pga"]))
            pga[s], psa[s], strain[s] = part["pga"], part["psa"], part["strain"]
            pga_depth[s], converged[s] = part["pga_depth"], part["converged"]
            iterations[s] = part["iterations"]
            profiles.update(part["profiles"])

        def record_major(a):
            return a.reshape((K, R) + a.shape[1:]).swapaxes(0, 1).copy()

        self.pga, self.psa = record_major(pga), record_major(psa)
        self.strain, self.pga_depth = record_major(strain), record_major(pga_depth)
        self.converged, self.iterations = record_major(converged), record_major(iterations)
        self.input_pga = np.array([p for p, _ in inputs])
        self.input_psa = np.array([s for _, s in inputs], dtype=float)
        self.ratio = self.psa / self.input_psa[:, None, :]
        self.profiles = [profiles[k] for k in range(K)]
        self.base = _vs_profile(job.column)
        self.column, self.variation, self.curves = job.column, job.variation, job.curves
        self.method = job.options["method"]
        self.records, self.realizations, self.seed = list(names), K, job.seed
        self.periods = job.periods.astype(float)
        self.depths, self.damping, self.unit = job.depths, job.damping, job.unit
        self.elapsed = elapsed
        self._job = job
        self._table = self._summary = None
        return self

    def realization(self, k: int):
        """Realization `k`'s column as it was run: a :class:`korvo.Column`
        (with varied curves, each nonlinear sublayer its own layer)."""
        k = _args.integer(k, "k", 0, self.realizations - 1)
        return _realize_column(self._job, k)[1]

    def at_depths(self, quantity: str = "vs", depths=None) -> np.ndarray:
        """Vs of every realization at `depths`: shape (K, len(depths))."""
        if quantity != "vs":
            raise KorvoError(f"quantity is 'vs' for a column suite, not {quantity!r}")
        depths = self.depths if depths is None else _args.array(depths, "depths", float)
        out = np.empty((self.realizations, len(depths)))
        for k, p in enumerate(self.profiles):
            tops = np.concatenate([[0.0], np.cumsum(p["thickness"][:-1])])
            out[k] = p["vs"][np.searchsorted(tops, depths, side="right") - 1]
        return out

    @property
    def table(self):
        import pandas as pd

        if self._table is None:
            R, K = len(self.records), self.realizations
            frames = []
            for q, x, v in (("pga", np.zeros(1), self.pga[..., None]),
                            ("psa", self.periods, self.psa), ("ratio", self.periods, self.ratio),
                            ("strain", self.depths, self.strain),
                            ("pga_depth", self.depths, self.pga_depth)):
                m = len(x)
                frames.append(pd.DataFrame({
                    "record": np.repeat(self.records, K * m),
                    "realization": np.tile(np.repeat(np.arange(K), m), R),
                    "quantity": q, "x": np.tile(x, R * K), "value": v.ravel()}))
            self._table = pd.concat(frames, ignore_index=True)
        return self._table

    def _make_summary(self):
        import pandas as pd

        a, lu = self.unit, self.column.length_unit
        units = {"pga": (a, "-"), "psa": (a, "s"), "ratio": ("-", "s"), "strain": ("%", lu),
                 "pga_depth": (a, lu), "vs": (f"{lu}/s", lu)}
        rows = []

        def add(scope, quantity, x, values):
            # Depths below every realization's column have no strain: NaN, n 0.
            with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                ln = np.log(values)
                n = np.sum(np.isfinite(ln), axis=0)
                median = np.exp(np.nanmean(ln, axis=0))
                ln_std = np.nanstd(ln, axis=0, ddof=1) if values.shape[0] > 1 \
                    else np.zeros_like(median)
            unit, x_unit = units[quantity]
            rows.append(pd.DataFrame({"scope": scope, "quantity": quantity, "unit": unit,
                                      "x": x, "x_unit": x_unit, "median": np.atleast_1d(median),
                                      "ln_std": np.atleast_1d(ln_std), "n": n}))

        R, K = len(self.records), self.realizations
        series = [("pga", np.zeros(1), self.pga[..., None]), ("psa", self.periods, self.psa),
                  ("ratio", self.periods, self.ratio), ("strain", self.depths, self.strain),
                  ("pga_depth", self.depths, self.pga_depth)]
        for r, name in enumerate(self.records):
            for q, x, v in series:
                add(name, q, x, v[r])
        for q, x, v in series:
            add("suite", q, x, v.reshape(R * K, -1))
        add("suite", "vs", self.depths, self.at_depths("vs"))
        return pd.concat(rows, ignore_index=True)

    def _write_files(self, folder, figures):
        import pandas as pd

        R, K = len(self.records), self.realizations
        paths = []

        def save(frame, name):
            path = os.path.join(folder, name)
            with _files.whole(path) as temp:
                frame.to_csv(temp, index=False, float_format="%.7g")
            paths.append(path)

        save(self.summary, "summary.csv")
        a, lu = column_unit(self.unit), self.column.length_unit
        columns = {"record": np.repeat(self.records, K), "realization": np.tile(np.arange(K), R),
                   "converged": self.converged.ravel(), "iterations": self.iterations.ravel(),
                   f"pga_{a}": self.pga.ravel()}
        for label, values in ((f"psa_{a}_", self.psa), ("ratio_", self.ratio)):
            flat = values.reshape(R * K, -1)
            columns.update({f"{label}{v:.5g}s": flat[:, i] for i, v in enumerate(self.periods)})
        save(pd.DataFrame(columns), "runs.csv")
        rows = {"record": np.repeat(self.records, K), "realization": np.tile(np.arange(K), R)}
        flat = self.strain.reshape(R * K, -1)
        rows.update({f"strain_pct_{z:.5g}{lu}": flat[:, i] for i, z in enumerate(self.depths)})
        save(pd.DataFrame(rows), "strains.csv")
        layers = []
        for k, p in enumerate(self.profiles):
            tops = np.concatenate([[0.0], np.cumsum(p["thickness"][:-1])])
            layers.append(pd.DataFrame({"realization": k, "layer": np.arange(1, len(tops) + 1),
                                        f"top_{lu}": tops, f"vs_{lu}_s": p["vs"],
                                        f"thickness_{lu}": p["thickness"]}))
        save(pd.concat(layers, ignore_index=True), "profiles.csv")
        inputs = {"record": self.records, f"pga_{a}": self.input_pga}
        inputs.update({f"psa_{a}_{v:.5g}s": self.input_psa[:, i]
                       for i, v in enumerate(self.periods)})
        save(pd.DataFrame(inputs), "inputs.csv")
        if figures:
            from . import suite_plots

            paths += suite_plots.write_column(self, folder)
        return paths

    def __repr__(self) -> str:
        return (f"<korvo.ColumnSuiteResult ({self.method}): {len(self.records)} records x "
                f"{self.realizations} realizations, seed={self.seed}, {self.elapsed:.1f} s>")
