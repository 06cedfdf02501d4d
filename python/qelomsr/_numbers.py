"""Numbers as precise as their type and no more: float32 values of the
library shown as float32, and the shortest text that reads back as the same
value (data files)."""

import struct

try:
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without python3-numpy
    np = None

_F32 = struct.Struct("<f")


def to_float32(x):
    """x rounded to the nearest float32, as a Python float."""
    return _F32.unpack(_F32.pack(x))[0]


def _positional(text):
    """A repr/%g text without exponent (1e-05 -> 0.00001, 1.0 -> 1)."""
    if "e" not in text and "E" not in text:
        return text[:-2] if text.endswith(".0") else text
    mantissa, exponent = text.lower().split("e")
    sign = "-" if mantissa.startswith("-") else ""
    digits = mantissa.lstrip("-")
    whole, _, frac = digits.partition(".")
    shift = int(exponent)
    digits = whole + frac
    point = len(whole) + shift
    if point <= 0:
        out = "0." + "0" * -point + digits
    elif point >= len(digits):
        out = digits + "0" * (point - len(digits))
    else:
        out = digits[:point] + "." + digits[point:]
    if "." in out:
        out = out.rstrip("0").rstrip(".")
    out = out.lstrip("0") or "0"
    if out.startswith("."):
        out = "0" + out
    return sign + out


def float32_text(x):
    """The shortest positional text that reads back as the float32 x."""
    if x != x or x in (float("inf"), float("-inf")):
        return repr(float(x))
    if np is not None:
        return np.format_float_positional(np.float32(x), unique=True, trim="-")
    f = to_float32(x)
    for digits in range(1, 10):
        text = "%.*g" % (digits, f)
        if to_float32(float(text)) == f:
            return _positional(text)
    return _positional(repr(f))  # pragma: no cover - nine digits always suffice


def float64_text(x):
    """The shortest positional text that reads back as the double x."""
    text = repr(float(x))
    if "e" in text and text not in ("inf", "-inf", "nan"):
        if np is not None:
            return np.format_float_positional(float(x), unique=True, trim="-")
        return _positional(text)
    return text[:-2] if text.endswith(".0") else text


class Float32(float):
    """A float32 value of the library (a volt, a range limit, a rate): a
    plain float that prints as the float32 it is (0.1, not
    0.10000000149011612). Arithmetic gives plain floats."""

    __slots__ = ()

    def __new__(cls, value):
        return super().__new__(cls, to_float32(value))

    def __repr__(self):
        return float32_text(self)

    __str__ = __repr__
