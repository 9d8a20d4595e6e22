"""A soil column from arrays, the same column as its TOML profile."""

from __future__ import annotations

import math
import os
from typing import Dict, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from . import _korvo
from ._korvo import KorvoError

PathLike = Union[str, "os.PathLike[str]"]

__all__ = ["Column"]

_DARENDELI_KEYS = ("plasticity_index", "ocr", "k0", "frequency", "cycles", "min_damping_pct")
_DARENDELI_DEFAULTS = dict(frequency=1.0, cycles=10.0)


def _per_layer(value, name: str, n: int) -> list:
    """A scalar for every layer, or one value per layer (None: not given)."""
    if value is None or isinstance(value, str) or np.ndim(value) == 0:
        return [value] * n
    values = list(value)
    if len(values) != n:
        raise KorvoError(f"{name} has {len(values)} values for {n} layers")
    return values


def _positive(values, name: str) -> np.ndarray:
    try:
        a = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise KorvoError(f"{name} must be numbers") from None
    if a.ndim != 1 or not np.all(np.isfinite(a)) or not np.all(a > 0.0):
        raise KorvoError(f"{name} must be a one-dimensional array of positive numbers")
    return a


def _curve(pairs, name: str) -> np.ndarray:
    try:
        a = np.asarray(pairs, dtype=np.float64)
    except (TypeError, ValueError):
        raise KorvoError(f"{name} must be [strain %, value] pairs") from None
    if a.ndim == 2 and a.shape[0] == 2 and a.shape[1] != 2:
        a = a.T  # (strains, values) given as two rows
    if a.ndim != 2 or a.shape[1] != 2 or len(a) < 2:
        raise KorvoError(f"{name} must be two or more [strain %, value] pairs")
    return a


def _toml_number(x: float) -> str:
    # repr is the shortest text that reads back as the same double.
    x = float(x)
    if not math.isfinite(x):
        raise KorvoError(f"a column's numbers are finite, not {x!r}")
    return repr(x)


def _toml_string(s: str) -> str:
    return '"' + str(s).replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


class Column:
    """A layered soil column over an elastic half-space: korvo-site's TOML profile as arrays.

    Parameters
    ----------
    thickness, unit_weight, vs : array_like, shape (n,)
        Each layer from the surface down: thickness (`length_unit`), unit
        weight (`weight_unit`) and small-strain shear-wave velocity
        (`length_unit` per s).
    model : str or sequence of str, default ``'linear'``
        Per layer: ``'darendeli'`` (Darendeli 2001 curves formed at each
        sublayer's mean effective stress), ``'linear'`` (constant damping
        `damping_pct`), or the name of a set in `curves`.
    damping_pct : float or sequence, optional
        Damping in % of critical of the linear layers.
    plasticity_index, ocr, k0, frequency, cycles, min_damping_pct : float or sequence
        Darendeli's inputs of the darendeli layers: PI (%), over-consolidation
        ratio (>= 1), at-rest coefficient, loading frequency (Hz, default 1),
        cycles (default 10), and the small-strain damping in % (default:
        the model's).
    curves : mapping of name to (modulus, damping), optional
        Tabulated curve sets: each ``[[strain %, G/Gmax], ...]`` and
        ``[[strain %, damping %], ...]``.
    halfspace : (unit_weight, vs, damping_pct)
        The half-space below the last layer.
    water_table : float, default 0
        Depth of the water table (`length_unit`).
    length_unit : {'m', 'ft'}
    weight_unit : {'kN/m^3', 'pcf'}
    names : sequence of str, optional
        Default ``'layer 1'``, ``'layer 2'``, ...
    sublayers : int or sequence, optional
        Fix a layer's sublayer count (default: from `fmax` at run time).

    The arrays are written as the TOML profile (:meth:`to_toml`), which the
    engine reads in memory: a column and the file it writes run the same.

    Raises
    ------
    KorvoError
        One line naming the argument, or the layer and key the profile reader refused.
    """

    def __init__(self, thickness, unit_weight, vs, *, model="linear", damping_pct=None,
                 plasticity_index=None, ocr=None, k0=None, frequency=None, cycles=None,
                 min_damping_pct=None, curves: Optional[Mapping] = None,
                 halfspace: Sequence[float] = (), water_table: float = 0.0,
                 length_unit: str = "m", weight_unit: str = "kN/m^3",
                 names: Optional[Sequence[str]] = None, sublayers=None) -> None:
        h = _positive(thickness, "thickness")
        n = len(h)
        if n == 0:
            raise KorvoError("thickness: a column needs a layer")
        w = _positive(unit_weight, "unit_weight")
        v = _positive(vs, "vs")
        if len(w) != n or len(v) != n:
            raise KorvoError(f"thickness, unit_weight and vs must have one value per layer, not "
                             f"{n}, {len(w)} and {len(v)}")
        if len(tuple(halfspace)) != 3:
            raise KorvoError("halfspace is (unit_weight, vs, damping_pct)")
        if length_unit not in ("m", "ft"):
            raise KorvoError(f"length_unit is 'm' or 'ft', not {length_unit!r}")
        if weight_unit not in ("kN/m^3", "pcf"):
            raise KorvoError(f"weight_unit is 'kN/m^3' or 'pcf', not {weight_unit!r}")
        names = [f"layer {i + 1}" for i in range(n)] if names is None else \
            [str(s) for s in _per_layer(names, "names", n)]
        models = _per_layer(model, "model", n)
        given = dict(damping_pct=damping_pct, plasticity_index=plasticity_index, ocr=ocr, k0=k0,
                     frequency=frequency, cycles=cycles, min_damping_pct=min_damping_pct,
                     sublayers=sublayers)
        per = {k: _per_layer(val, k, n) for k, val in given.items()}
        self.curves: Dict[str, Tuple[np.ndarray, np.ndarray]] = {
            str(k): (_curve(m, f"curves[{k!r}] modulus"), _curve(d, f"curves[{k!r}] damping"))
            for k, (m, d) in (curves or {}).items()}
        self.layers = []
        for i in range(n):
            m = str(models[i])
            layer = dict(name=names[i], thickness=float(h[i]), unit_weight=float(w[i]),
                         vs=float(v[i]), model=m)
            count = per["sublayers"][i]
            if count is not None:
                if isinstance(count, bool) or not float(count).is_integer():
                    raise KorvoError(f"sublayers must be whole numbers, not {count!r}")
                layer["sublayers"] = int(count)
            if m == "linear":
                if per["damping_pct"][i] is None:
                    raise KorvoError(f"damping_pct: layer {names[i]!r} is linear and needs one")
                layer["damping_pct"] = float(per["damping_pct"][i])
            elif m == "darendeli":
                for key in _DARENDELI_KEYS:
                    value = per[key][i]
                    if value is None:
                        value = _DARENDELI_DEFAULTS.get(key)
                    if value is None and key != "min_damping_pct":
                        raise KorvoError(f"{key}: layer {names[i]!r} follows darendeli and "
                                         "needs one")
                    if value is not None:
                        layer[key] = float(value)
            elif m not in self.curves:
                raise KorvoError(f"model {m!r} of layer {names[i]!r} is neither 'darendeli', "
                                 "'linear' nor a name in curves")
            self.layers.append(layer)
        uw, hv, hd = (float(x) for x in halfspace)
        self.halfspace = dict(unit_weight=uw, vs=hv, damping_pct=hd)
        self.water_table = float(water_table)
        self.length_unit, self.weight_unit = length_unit, weight_unit
        self.source = "korvo.Column"
        self._core, self._core_text = None, None

    @classmethod
    def read(cls, path: PathLike, soil_unit: Optional[str] = None) -> "Column":
        """A column from its TOML profile, or from korvo's fixed-column soil file.

        Parameters
        ----------
        path : str or os.PathLike
        soil_unit : {None, 'm', 'ft'}
            The lengths of a soil file, which does not say; its layers come
            out linear with damping 1/(2 QS), RHO a density in t/m^3 (m) or
            a unit weight in kcf (ft). Only for soil files.
        """
        if soil_unit is not None and soil_unit not in ("m", "ft"):
            raise KorvoError(f"soil_unit is 'm' or 'ft', not {soil_unit!r}")
        path = os.fspath(path)
        core = _korvo.column_file(path, soil_unit or "")
        d = core.data()
        self = cls._from_data(d)
        self.source = path
        self.converted = d["converted"]
        # The engine's own column: converted units stay exactly as read.
        self._core, self._core_text = core, self.to_toml()
        return self

    @classmethod
    def _from_data(cls, d: dict) -> "Column":
        layers = d["layers"]
        keys = ("damping_pct",) + _DARENDELI_KEYS + ("sublayers",)
        per = {k: [layer.get(k) for layer in layers] for k in keys}
        return cls([x["thickness"] for x in layers], [x["unit_weight"] for x in layers],
                   [x["vs"] for x in layers], model=[x["model"] for x in layers],
                   curves={k: (np.column_stack(m), np.column_stack(dd))
                           for k, (m, dd) in d["curves"].items()},
                   halfspace=(d["halfspace"]["unit_weight"], d["halfspace"]["vs"],
                              d["halfspace"]["damping_pct"]),
                   water_table=d["water_table"], length_unit=d["length_unit"],
                   weight_unit=d["weight_unit"], names=[x["name"] for x in layers], **per)

    def __getstate__(self):
        # The engine's column does not pickle; a Dask worker reads it again from
        # to_toml. (A soil file's damping 1/(2 QS), written in % and read back,
        # may then differ from the file's in its last bit.)
        state = dict(self.__dict__)
        state["_core"] = state["_core_text"] = None
        return state

    def _with(self, layers, curves, halfspace) -> "Column":
        """This column with other layers, curve sets and half-space (as dicts)."""
        import copy

        c = copy.copy(self)
        c.layers, c.curves, c.halfspace = layers, curves, halfspace
        c._core, c._core_text = None, None
        return c

    def to_toml(self) -> str:
        """The column as korvo-site's TOML profile."""
        out = [f"water_table = {_toml_number(self.water_table)}", "",
               "[units]", f"length = {_toml_string(self.length_unit)}",
               f"unit_weight = {_toml_string(self.weight_unit)}", ""]
        for name, (m, d) in self.curves.items():
            out.append(f"[curves.{_toml_string(name)}]")
            for key, table in (("modulus", m), ("damping", d)):
                rows = ", ".join(f"[{_toml_number(s)}, {_toml_number(x)}]" for s, x in table)
                out.append(f"{key} = [{rows}]")
            out.append("")
        for layer in self.layers:
            out.append("[[layer]]")
            for key, value in layer.items():
                text = _toml_string(value) if isinstance(value, str) else \
                    str(value) if isinstance(value, int) else _toml_number(value)
                out.append(f"{key} = {text}")
            out.append("")
        out.append("[halfspace]")
        out += [f"{k} = {_toml_number(v)}" for k, v in self.halfspace.items()]
        return "\n".join(out) + "\n"

    def write(self, path: PathLike) -> None:
        """Write :meth:`to_toml` to `path`."""
        with open(os.fspath(path), "w", encoding="utf-8") as f:
            f.write(self.to_toml())

    @property
    def core(self):
        """The engine's column, read from :meth:`to_toml` in memory; again after an edit."""
        text = self.to_toml()
        if self._core is None or text != self._core_text:
            self._core, self._core_text = _korvo.column_toml(text, self.source), text
        return self._core

    @property
    def depth(self) -> float:
        """Depth of the half-space's top, `length_unit`."""
        return float(sum(layer["thickness"] for layer in self.layers))

    def small_strain(self, fmax: float = 25.0) -> Tuple[float, float, float]:
        """(Vs30 in m/s, quarter-wavelength f0 in Hz, kappa0 in s) at small strains."""
        return self.core.small_strain(float(fmax))

    @property
    def vs30(self) -> float:
        """Time-averaged Vs of the top 30 m (the half-space's below a shallower column), m/s."""
        return self.small_strain()[0]

    @property
    def f0(self) -> float:
        """Fundamental frequency by the quarter-wavelength rule, 1 / (4 sum h/Vs), Hz."""
        return self.small_strain()[1]

    @property
    def kappa0(self) -> float:
        """sum 2 xi h / Vs over the soil at small strains, s."""
        return self.small_strain()[2]

    @property
    def warnings(self) -> list:
        """Likely mistakes in the column (unit weights, velocities, water table), a line each."""
        return list(self.core.warnings())

    def table(self):
        """The layers as a pandas DataFrame, one row per layer."""
        import pandas as pd

        return pd.DataFrame(self.layers)

    def __repr__(self) -> str:
        return (f"<korvo.Column {len(self.layers)} layers, {self.depth:g} {self.length_unit} over "
                f"a half-space of Vs {self.halfspace['vs']:g} {self.length_unit}/s>")
