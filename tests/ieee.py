"""IEEE double arithmetic where Python raises instead, for the reference formulas."""

import math
import struct

INF = math.inf
NAN = math.nan
NEG_R = -8.31446261815324


def ieee_div(a, b):
    """a / b with the IEEE result where Python raises ZeroDivisionError."""
    if b != 0.0:
        return a / b
    return NAN if math.isnan(a) or a == 0.0 else math.copysign(INF, a) * math.copysign(1.0, b)


def c_exp(x):
    try:
        return math.exp(x)
    except OverflowError:  # the C library returns inf
        return INF


def combine(d0, q, T):
    """D0 * exp(Q / (T * -R)), one rounding per operation in that order."""
    t = T * NEG_R
    return d0 * c_exp(ieee_div(q, t))


def assert_same(actual, expected, context):
    """The result is a float with the same bits as the reference (any NaN matches NaN)."""
    assert type(actual) is float
    if math.isnan(expected):
        assert math.isnan(actual), context
    else:
        assert struct.pack("<d", actual) == struct.pack("<d", expected), (context, actual, expected)
