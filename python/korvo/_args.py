"""The public functions' arguments, checked before they reach the compiled part.

A wrong value is a KorvoError (a ValueError), a wrong type a KorvoTypeError:
a TypeError, and a KorvoError like every other refusal, so that a caller
catching korvo's refusals (korvo-suite, say) catches these too. Either way one
line that names the argument as the caller wrote it, where pybind11 would
answer a string array or a 70-bit integer with a page about the private
signature, and numpy would quietly read ``["1.5"]`` as a number.
"""

from __future__ import annotations

import numbers
import os
from typing import Optional

import numpy as np

from ._korvo import KorvoError

INT32_MIN, INT32_MAX = -(2 ** 31), 2 ** 31 - 1


class KorvoTypeError(KorvoError, TypeError):
    """An argument of the wrong type, with a one-line report naming it."""


class KorvoWarning(UserWarning):
    """Input read as it must be that looks like a mistake (the console's notes)."""


def _kind(value) -> str:
    return type(value).__name__


def _is_real(value) -> bool:
    # bool is an int to Python, but True as a velocity is a slip, not a number.
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def array(value, name: str, dtype=np.float32) -> np.ndarray:
    """`value` as a new one-dimensional array of `dtype`, every element
    finite (an empty array passes: the caller knows how many it needs)."""
    if value is None or isinstance(value, (str, bytes, dict)):
        raise KorvoTypeError(f"{name} must be an array of numbers, not {_kind(value)}")
    precision = "single" if np.dtype(dtype) == np.float32 else "double"
    try:
        a = np.asarray(value)
    except ValueError:
        raise KorvoError(f"{name}: a one-dimensional array is needed, not a ragged sequence") \
            from None
    if a.dtype.kind == "O":
        # Python integers too wide for int64 come as objects; so do None and
        # strings among numbers, which stay refused.
        for item in a.flat:
            if not _is_real(item):
                raise KorvoTypeError(f"{name} must be an array of numbers, "
                                     f"not hold {_kind(item)}")
        try:
            a = a.astype(np.float64)
        except OverflowError:
            raise KorvoError(f"{name}: a value beyond {precision} precision") from None
    elif a.dtype.kind not in "iuf":
        kinds = {"U": "strings", "S": "bytes", "b": "booleans", "c": "complex numbers"}
        raise KorvoTypeError(f"{name} must be an array of numbers, "
                             f"not of {kinds.get(a.dtype.kind, a.dtype)}")
    if a.ndim != 1:
        raise KorvoError(f"{name}: a one-dimensional array is needed, not shape {a.shape}")
    with np.errstate(over="ignore"):
        out = np.array(a, dtype=dtype)
    bad = np.flatnonzero(~np.isfinite(out))
    if bad.size:
        i = int(bad[0])
        given = a[i]
        if np.isfinite(given):
            raise KorvoError(f"{name}[{i}] = {given:g} is beyond {precision} precision")
        raise KorvoError(f"{name}[{i}] is not finite")
    return out


def numeric(value, name: str) -> np.ndarray:
    """`value` as a float64 array of any shape, inf and NaN let through:
    for the model functions that take depths and thicknesses (the half-space
    is infinitely thick)."""
    if value is None or isinstance(value, (str, bytes, dict)):
        raise KorvoTypeError(f"{name} must be a number or an array of numbers, "
                             f"not {_kind(value)}")
    a = np.asarray(value)
    if a.dtype.kind not in "iufO" or (a.dtype.kind == "O" and not all(map(_is_real, a.flat))):
        raise KorvoTypeError(f"{name} must be a number or an array of numbers")
    return a.astype(float)


def real(value, name: str) -> float:
    """A number finite also in single precision, as a Python float."""
    if not _is_real(value):
        raise KorvoTypeError(f"{name} must be a number, not {_kind(value)}")
    try:
        x = float(value)
    except OverflowError:
        raise KorvoError(f"{name} is beyond single precision") from None
    with np.errstate(over="ignore"):
        if not np.isfinite(np.float32(x)):
            raise KorvoError(f"{name} {x:g} is not finite as a single-precision number")
    return x


def integer(value, name: str, least: Optional[int] = INT32_MIN,
            most: Optional[int] = INT32_MAX) -> int:
    """A whole number from `least` to `most` (korvo's integers are 32 bits;
    None: no bound, for a caller with its own words)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise KorvoTypeError(f"{name} must be a whole number, not {_kind(value)}")
    n = int(value)
    if (least is not None and n < least) or (most is not None and n > most):
        bounds = (f"from {least} to {most}" if least is not None and most is not None
                  else f"at least {least}" if least is not None else f"at most {most}")
        raise KorvoError(f"{name} must be {bounds}, not {n}")
    return n


def flag(value, name: str) -> bool:
    """True or False (1 and 0 too); anything else is more likely a slip."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, numbers.Integral) and int(value) in (0, 1):
        return bool(value)
    raise KorvoTypeError(f"{name} must be True or False, not {value!r}")


def path(value, name: str) -> str:
    """A file name for korvo's C readers, which stop at a NUL character:
    "soil\\0x" would quietly open "soil"."""
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise KorvoTypeError(f"{name} must be a file name (str or os.PathLike), "
                             f"not {_kind(value)}")
    name_text = os.fsdecode(os.fspath(value))
    if "\0" in name_text:
        raise KorvoError(f"{name}: a file name cannot hold a NUL character")
    return name_text


def choice(value, name: str, options, words: str) -> Optional[str]:
    """One of the strings `options` (None when None is one of them)."""
    if value is None and None in options:
        return None
    if not isinstance(value, str):
        raise KorvoTypeError(f"{name} is {words}, not {_kind(value)}")
    if value not in options:
        raise KorvoError(f"{name} is {words}, not {value!r}")
    return value
