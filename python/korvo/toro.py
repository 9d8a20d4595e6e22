"""Randomized soil profiles: velocities and layering after Toro (1995), the
G/Gmax and damping curves after Darendeli (2001).

Toro, G. R. (1995). Probabilistic models of site velocity profiles for generic
and site-specific ground-motion amplification studies. Technical Report
779574, Brookhaven National Laboratory, Upton, New York.

The model, in metres:

- The shear-wave velocity of a layer is lognormal about the base profile's
  velocity at that depth, ``ln VS_i = ln VS_base(z_i) + sigma * e_i``, with
  standard normal ``e_i`` correlated to the layer above by a first-order
  chain: ``e_1 = n_1``, ``e_i = rho_i e_(i-1) + sqrt(1 - rho_i**2) n_i``.
- The inter-layer correlation depends on the depth ``h`` of the layer's
  middle and on its thickness ``t``::

      rho_d(h) = rho_200 * ((h + h_0) / (200 + h_0))**b   for h <= 200 m, rho_200 below
      rho_t(t) = rho_0 * exp(-t / delta)
      rho(h, t) = (1 - rho_d(h)) * rho_t(t) + rho_d(h)

  The half-space, infinitely thick, keeps only ``rho_d`` of its top.
- Layer boundaries, when they are randomized too, are a Poisson process in
  depth with the rate ``lambda(z) = c_3 * (z + c_1)**c_2`` per metre.
"""

from __future__ import annotations

import math
from typing import Dict, Optional, Union

import numpy as np

from . import _args
from ._args import KorvoTypeError
from ._korvo import KorvoError

__all__ = ["Toro", "CurveVariation", "SITE_CLASSES", "LAYERING", "DEFAULT_SITE_CLASS"]

# sigma_lnV, rho_0, delta (m), rho_200, h_0 (m), b: Toro (1995), the generic
# site classes by the Geomatrix and the USGS (Vs30) classifications.
SITE_CLASSES: Dict[str, Dict[str, float]] = {
    "Geomatrix AB": dict(ln_std=0.46, rho_0=0.96, delta=13.1, rho_200=0.96, h_0=0.0, b=0.095),
    "Geomatrix CD": dict(ln_std=0.38, rho_0=0.99, delta=8.0, rho_200=1.00, h_0=0.0, b=0.160),
    "USGS A": dict(ln_std=0.36, rho_0=0.95, delta=3.4, rho_200=0.42, h_0=0.0, b=0.063),
    "USGS B": dict(ln_std=0.27, rho_0=0.97, delta=3.8, rho_200=1.00, h_0=0.0, b=0.293),
    "USGS C": dict(ln_std=0.31, rho_0=0.99, delta=3.9, rho_200=0.98, h_0=0.0, b=0.344),
    "USGS D": dict(ln_std=0.37, rho_0=0.00, delta=5.0, rho_200=0.50, h_0=0.0, b=0.744),
}

# Stiff soil (Vs30 180 to 360 m/s): the class of most profiles a study randomizes.
DEFAULT_SITE_CLASS = "USGS C"

# c_1 (m), c_2, c_3 of the layering rate lambda(z) = c_3 (z + c_1)**c_2, Toro (1995).
LAYERING = dict(c_1=10.86, c_2=-0.89, c_3=1.98)

LN_STD_MAX = 3.0
_LENGTH_UNITS = {"m": 1.0, "ft": 0.3048}

# Separate random streams for each part of a realization, so that switching
# one part on or off leaves the numbers of the others as they were.
_DEPTH, _LAYERS, _VELOCITY, _DENSITY, _DAMPING, _CURVES = range(6)

# Most layers of a profile, the half-space included (korvo's LMAX).
_LMAX = 50


def _stream(seed: int, index: int, part: int) -> np.random.Generator:
    return np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(index, part)))


class Toro:
    """The Toro (1995) variation of a profile's velocities and layering.

    Parameters
    ----------
    site_class : str, default ``"USGS C"``
        One of :data:`SITE_CLASSES`: ``"Geomatrix AB"``, ``"Geomatrix CD"``,
        ``"USGS A"`` (Vs30 > 750 m/s), ``"USGS B"`` (360 to 750),
        ``"USGS C"`` (180 to 360) or ``"USGS D"`` (< 180).
    layering : bool, default False
        Draw new layer boundaries from the model's Poisson layering; each new
        layer takes the base profile's properties at its middle.
    depth_ln_std : float, default 0
        ln-standard deviation of the depth of the half-space (lognormal about
        the base profile's depth). The deepest soil layer is cut or extended.
    halfspace : bool, default False
        Vary the half-space too (its velocity, and its density and Q when
        those vary).
    density_ln_std, damping_ln_std : float, default 0
        Independent lognormal variation of each layer's density and of its Q
        (QS and QP by one factor). Unchanged by default.
    length_unit : {'m', 'ft'} or float, default 'm'
        The profile's length unit (of thicknesses and velocities), or metres
        per unit: the model's depths and thicknesses are in metres.
    ln_std, rho_0, delta, rho_200, h_0, b : float, optional
        Replace the site class's values (delta and h_0 in metres).

    Notes
    -----
    Realization ``i`` of seed ``s`` depends on ``s`` and ``i`` alone (numpy's
    ``SeedSequence(s, spawn_key=(i, part))``), never on how many were drawn
    before it or where.
    """

    def __init__(self, site_class: str = DEFAULT_SITE_CLASS, *, layering: bool = False,
                 depth_ln_std: float = 0.0, halfspace: bool = False,
                 density_ln_std: float = 0.0, damping_ln_std: float = 0.0,
                 length_unit: Union[str, float] = "m", ln_std: Optional[float] = None,
                 rho_0: Optional[float] = None, delta: Optional[float] = None,
                 rho_200: Optional[float] = None, h_0: Optional[float] = None,
                 b: Optional[float] = None) -> None:
        self.site_class = _args.choice(site_class, "site_class", SITE_CLASSES,
                                       f"one of {', '.join(map(repr, SITE_CLASSES))}")
        given = dict(ln_std=ln_std, rho_0=rho_0, delta=delta, rho_200=rho_200, h_0=h_0, b=b)
        for name, value in {**SITE_CLASSES[site_class],
                            **{k: v for k, v in given.items() if v is not None}}.items():
            setattr(self, name, _args.real(value, name))
        if not (0.0 <= self.rho_0 <= 1.0 and 0.0 <= self.rho_200 <= 1.0):
            raise KorvoError("rho_0 and rho_200 are correlations, from 0 to 1")
        if not (self.delta > 0.0 and self.h_0 >= 0.0 and self.ln_std >= 0.0):
            raise KorvoError("delta must be positive, h_0 and ln_std not negative")
        # A spread of e^3 per standard deviation is already far beyond any site's;
        # larger ones only overflow the draws.
        for name, value in (("ln_std", self.ln_std), ("depth_ln_std", depth_ln_std),
                            ("density_ln_std", density_ln_std), ("damping_ln_std", damping_ln_std)):
            if not 0.0 <= _args.real(value, name) <= LN_STD_MAX:
                raise KorvoError(f"{name} is a standard deviation of a natural log, from 0 to "
                                 f"{LN_STD_MAX:g}, not {value!r}")
        self.layering = _args.flag(layering, "layering")
        self.depth_ln_std = float(depth_ln_std)
        self.halfspace = _args.flag(halfspace, "halfspace")
        self.density_ln_std = float(density_ln_std)
        self.damping_ln_std = float(damping_ln_std)
        if isinstance(length_unit, str):
            if length_unit not in _LENGTH_UNITS:
                raise KorvoError(f"length_unit is 'm', 'ft' or metres per unit, not {length_unit!r}")
            self.metres = _LENGTH_UNITS[length_unit]
        else:
            self.metres = _args.real(length_unit, "length_unit")
            if not (self.metres > 0.0 and math.isfinite(self.metres)):
                raise KorvoError(f"length_unit: metres per unit must be positive, not {length_unit!r}")
        self.length_unit = length_unit

    def __repr__(self) -> str:
        extras = [f"layering={self.layering}"] if self.layering else []
        extras += [f"{k}={getattr(self, k):g}" for k in
                   ("depth_ln_std", "density_ln_std", "damping_ln_std") if getattr(self, k)]
        extras += ["halfspace=True"] if self.halfspace else []
        extras += [f"length_unit={self.length_unit!r}"]
        return f"korvo.Toro({self.site_class!r}, {', '.join(extras)})"

    # The model's own functions, in metres.

    def correlation(self, depth, thickness):
        """Inter-layer correlation ``rho(h, t)`` of a layer with the one above.

        Parameters
        ----------
        depth : array_like
            Depth of the layer's middle, m.
        thickness : array_like
            Its thickness, m (``inf`` for the half-space).
        """
        h = _args.numeric(depth, "depth")
        rho_d = np.where(h <= 200.0,
                         self.rho_200 * ((np.minimum(h, 200.0) + self.h_0) / (200.0 + self.h_0))
                         ** self.b,
                         self.rho_200)
        rho_t = self.rho_0 * np.exp(-_args.numeric(thickness, "thickness") / self.delta)
        return (1.0 - rho_d) * rho_t + rho_d

    @staticmethod
    def layer_rate(depth):
        """Mean number of layer boundaries per metre at `depth` (m)."""
        depth = _args.numeric(depth, "depth")
        return LAYERING["c_3"] * (depth + LAYERING["c_1"]) ** LAYERING["c_2"]

    @staticmethod
    def _expected_boundaries(depth):
        # The integral of layer_rate from 0 to depth, and its inverse below.
        c1, c2, c3 = LAYERING["c_1"], LAYERING["c_2"], LAYERING["c_3"]
        return c3 / (c2 + 1.0) * ((depth + c1) ** (c2 + 1.0) - c1 ** (c2 + 1.0))

    @staticmethod
    def _depth_of(expected):
        c1, c2, c3 = LAYERING["c_1"], LAYERING["c_2"], LAYERING["c_3"]
        return (expected * (c2 + 1.0) / c3 + c1 ** (c2 + 1.0)) ** (1.0 / (c2 + 1.0)) - c1

    def _boundaries(self, rng: np.random.Generator, bottom: float) -> np.ndarray:
        """Poisson boundaries strictly inside (0, bottom), metres."""
        total = self._expected_boundaries(bottom)
        found = np.empty(0)
        reached = 0.0
        while reached < total:
            steps = np.cumsum(rng.standard_exponential(16 + int(2.0 * total))) + reached
            reached = steps[-1]
            found = np.concatenate([found, steps[steps < total]])
        return self._depth_of(found)

    # Realizations.

    def _draw(self, thickness, vs, seed: int, index: int) -> dict:
        """What realization `index` of `seed` makes of a profile's layers.

        `thickness` and `vs` per layer, the half-space last (its thickness
        unused), in the profile's units. Returns ``source`` (the base layer
        of each new soil layer, then the half-space's index), ``thickness``
        (of the new soil layers), ``varied`` (how many layers from the top
        vary: the soil, and the half-space when it varies) and the factors of
        those layers' velocity, density and Q (None when not varied).
        """
        thickness = np.asarray(thickness, dtype=float)
        nl = len(vs)
        m = self.metres
        tops = np.concatenate([[0.0], np.cumsum(thickness[:-1])])  # profile units
        bottom = float(tops[-1])  # top of the half-space

        depth = bottom
        if self.depth_ln_std > 0.0 and bottom > 0.0:
            depth = bottom * math.exp(self.depth_ln_std * _stream(seed, index, _DEPTH).normal())

        if nl == 1:
            inner = np.empty(0)
        elif self.layering:
            inner = self._boundaries(_stream(seed, index, _LAYERS), depth * m) / m
        else:
            inner = tops[1:-1][tops[1:-1] < depth]
        layer_tops = np.concatenate([[0.0], inner]) if nl > 1 else np.empty(0)
        n_soil = len(layer_tops)
        new_thickness = np.diff(np.concatenate([layer_tops, [depth]]))
        middle = layer_tops + new_thickness / 2.0
        # Each new layer takes the base layer at its middle; below the base
        # profile's soil, the deepest soil layer goes on.
        source = np.minimum(np.searchsorted(tops, middle, side="right") - 1, max(nl - 2, 0))
        source = np.concatenate([source, [nl - 1]]).astype(int)

        out = dict(source=source, thickness=new_thickness, vs=None, density=None, q=None)
        # Velocities: the correlated chain down the soil, then the half-space.
        n = n_soil + (1 if self.halfspace else 0)
        out["varied"] = n
        if n and self.ln_std > 0.0:
            h = np.concatenate([middle, [depth]])[:n] * m
            t = np.concatenate([new_thickness, [np.inf]])[:n] * m
            rho = self.correlation(h, t)
            z = _stream(seed, index, _VELOCITY).standard_normal(n)
            e = np.empty(n)
            e[0] = z[0]
            for i in range(1, n):
                e[i] = rho[i] * e[i - 1] + math.sqrt(1.0 - rho[i] * rho[i]) * z[i]
            out["vs"] = np.exp(self.ln_std * e)
        if n and self.density_ln_std > 0.0:
            out["density"] = np.exp(self.density_ln_std
                                    * _stream(seed, index, _DENSITY).standard_normal(n))
        if n and self.damping_ln_std > 0.0:
            out["q"] = np.exp(self.damping_ln_std
                              * _stream(seed, index, _DAMPING).standard_normal(n))
        return out

    def realize(self, profile, seed: int, index: int) -> dict:
        """Realization `index` of `seed`: the keyword arguments of :class:`korvo.Profile`.

        Parameters
        ----------
        profile : korvo.Profile or dict
            The base profile (its velocities are the medians), or a dict with
            its arrays rho, vp, qp, vs, qs, thickness and qexp, angle, iflag.
        seed, index : int
            Non-negative.

        Returns
        -------
        dict
            rho, vp, qp, vs, qs, thickness (float64 arrays, surface first, the
            half-space last) and qexp, angle, iflag as in `profile`.
        """
        seed = _args.integer(seed, "seed", 0, None)
        index = _args.integer(index, "index", 0, None)
        base = _columns(profile)
        d = self._draw(base["thickness"], base["vs"], seed, index)
        n_soil, n, source = len(d["thickness"]), d["varied"], d["source"]
        if n_soil + 1 > _LMAX:
            raise KorvoError(f"realization {index}: {n_soil} layers over the half-space, "
                             f"more than korvo's {_LMAX - 1}")
        out = {k: base[k][source].astype(float) for k in ("rho", "vp", "qp", "vs", "qs")}
        out["thickness"] = np.concatenate([d["thickness"], [base["thickness"][-1]]])
        if d["vs"] is not None:
            # VP keeps each layer's VP/VS; a layer without shear keeps its VP.
            ratio = np.divide(out["vp"][:n], out["vs"][:n], out=np.ones(n),
                              where=out["vs"][:n] > 0.0)
            out["vs"][:n] *= d["vs"]
            out["vp"][:n] = np.where(out["vs"][:n] > 0.0, out["vs"][:n] * ratio, out["vp"][:n])
        if d["density"] is not None:
            out["rho"][:n] *= d["density"]
        if d["q"] is not None:
            out["qs"][:n] *= d["q"]
            out["qp"][:n] *= d["q"]
        out.update(qexp=base["qexp"], angle=base["angle"], iflag=base["iflag"])
        return out


def _columns(profile) -> dict:
    """A profile's arrays (float64) and scalars, from a Profile or a dict."""
    from . import Profile  # korvo's __init__ imports this module

    keys = ("rho", "vp", "qp", "vs", "qs", "thickness")
    if isinstance(profile, dict):
        d = dict(profile)
        missing = [k for k in keys if k not in d]
        if missing:
            raise KorvoError(f"profile: no {', '.join(missing)}")
    elif isinstance(profile, Profile):
        d = {k: getattr(profile, k) for k in keys}
        d.update(qexp=profile.qexp, angle=profile.angle, iflag=profile.iflag)
    else:
        raise KorvoTypeError("profile must be a korvo.Profile or a dict of its arrays, "
                             f"not {type(profile).__name__}")
    for k in keys:
        d[k] = _args.array(d[k], k, float)
    d.setdefault("qexp", 0.0)
    d.setdefault("angle", 0.0)
    d.setdefault("iflag", 0)
    return d


class CurveVariation:
    """Random G/Gmax and damping curves after Darendeli (2001).

    At every strain both curves are normal about the median curve with the
    model's standard deviations::

        sigma_G = exp(-4.23) + sqrt(0.25 / exp(3.62) - (G/Gmax - 0.5)**2 / exp(3.62))
        sigma_D = exp(-5.0) + exp(-0.25) * sqrt(D)              (D and sigma_D in %)

    One standard-normal pair per layer and realization shifts the whole of
    that layer's curves: ``G = G0 + e_G sigma_G``, ``D = D0 + e_D sigma_D``,
    ``e_D = rho e_G + sqrt(1 - rho**2) z``, each of ``e_G`` and ``e_D`` cut
    at +-`truncation`. G/Gmax stays at most 1 and at least `min_modulus`,
    never rising with strain; damping stays at least its small-strain value
    and below 100 %, never falling with strain.

    Darendeli, M. B. (2001). Development of a new family of normalized modulus
    reduction and material damping curves. PhD dissertation, The University of
    Texas at Austin.

    Parameters
    ----------
    correlation : float, default -0.5
        rho between the G/Gmax and the damping deviates, from -1 to 1.
    truncation : float, default 2
        Largest deviate in standard deviations, positive.
    min_modulus : float, default 0.001
        The least G/Gmax a draw may reach (the engine needs a positive one).
    """

    def __init__(self, correlation: float = -0.5, truncation: float = 2.0,
                 min_modulus: float = 1e-3) -> None:
        self.correlation = _args.real(correlation, "correlation")
        self.truncation = _args.real(truncation, "truncation")
        self.min_modulus = _args.real(min_modulus, "min_modulus")
        if not -1.0 <= self.correlation <= 1.0:
            raise KorvoError(f"correlation is from -1 to 1, not {correlation!r}")
        if not (self.truncation > 0.0 and math.isfinite(self.truncation)):
            raise KorvoError(f"truncation is a positive number of standard deviations, "
                             f"not {truncation!r}")
        if not 0.0 < self.min_modulus < 1.0:
            raise KorvoError(f"min_modulus is a G/Gmax between 0 and 1, not {min_modulus!r}")

    def __repr__(self) -> str:
        return (f"korvo.CurveVariation(correlation={self.correlation:g}, "
                f"truncation={self.truncation:g})")

    @staticmethod
    def modulus_std(g):
        """sigma of G/Gmax at the median G/Gmax `g` (array_like, 0 to 1)."""
        g = np.asarray(g, dtype=float)
        return math.exp(-4.23) + np.sqrt(np.maximum(
            0.25 / math.exp(3.62) - (g - 0.5) ** 2 / math.exp(3.62), 0.0))

    @staticmethod
    def damping_std(d_pct):
        """sigma of damping, %, at the median damping `d_pct` (%)."""
        return math.exp(-5.0) + math.exp(-0.25) * np.sqrt(np.asarray(d_pct, dtype=float))

    def deviates(self, seed: int, index: int, n: int):
        """(e_G, e_D), each shape (n,): realization `index` of `seed`, one pair per layer."""
        z = _stream(seed, index, _CURVES).standard_normal((n, 2))
        r, c = self.correlation, self.truncation
        e_g = z[:, 0]
        e_d = r * z[:, 0] + math.sqrt(1.0 - r * r) * z[:, 1]
        return np.clip(e_g, -c, c), np.clip(e_d, -c, c)

    def vary(self, modulus, damping_pct, e_g, e_d):
        """Curves shifted by the deviates: `modulus` and `damping_pct` of shape
        (n, strains), strains increasing along the last axis, `e_g` and `e_d`
        of shape (n,). Returns the new (modulus, damping_pct)."""
        g0 = np.asarray(modulus, dtype=float)
        d0 = np.asarray(damping_pct, dtype=float)
        e_g = np.asarray(e_g, dtype=float)[:, None]
        e_d = np.asarray(e_d, dtype=float)[:, None]
        g = np.clip(g0 + e_g * self.modulus_std(g0), self.min_modulus, 1.0)
        d = np.maximum(d0 + e_d * self.damping_std(d0), d0[:, :1])
        # Bounds can make a draw turn back where the median is flat.
        g = np.minimum.accumulate(g, axis=1)
        d = np.minimum(np.maximum.accumulate(d, axis=1), 99.0)
        return g, d
