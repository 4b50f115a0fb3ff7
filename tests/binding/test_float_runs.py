"""Floats in lists and tuples, which are written a run at a time: the width of
every half and single pattern and their neighbours, and runs that end, break
or cross the output's growth where any item may, and lists too short for a
run."""
import struct

import pytest

from support.helpers import raises_exact
from support.model import bits_of, encode, from_bits
from support.texts import depth_error
from tavrel_cbor import dumps


def _half(pattern):
    return struct.unpack(">e", pattern.to_bytes(2, "big"))[0]


def _single(pattern):
    return struct.unpack(">f", pattern.to_bytes(4, "big"))[0]


def _with_neighbours(x):
    # One double step either way, and one single step: the first two need a
    # double, the last may fit a single and no longer a half.
    bits = bits_of(x)
    return [x] + [from_bits((bits + step) % 2**64) for step in (-1, 1, -(1 << 29), 1 << 29)]


def test_every_half_pattern_and_its_neighbours():
    values = [v for p in range(0x10000) for v in _with_neighbours(_half(p))]
    assert dumps(values) == encode(values)


# The mantissas where the half and single tests change their answer: none,
# the lowest bit, the bits a half drops, the bits it keeps, all of them.
MANTISSAS = (0, 1, 0x1FFF, 0x2000, 0x3FE000, 0x400000, 0x7FE000, 0x7FFFFF)


def test_every_single_exponent_at_its_boundary_mantissas():
    values = [v for sign in (0, 1) for exponent in range(256) for mantissa in MANTISSAS
              for v in _with_neighbours(_single(sign << 31 | exponent << 23 | mantissa))]
    assert dumps(values, False) == encode(values, False)


class F(float):
    pass


RUNS = [
    ("one", [1.5]),
    ("seven, too short for a run", [0.1 * i for i in range(7)]),
    ("eight", [0.1 * i for i in range(8)]),
    ("a run, then other items", [0.1 * i for i in range(10)] + ["a", 1, 2.5, None, 0.5]),
    ("batch less one", [0.5 * i for i in range(31)]),
    ("one batch", [0.5 * i for i in range(32)]),
    ("batch and one", [0.1 * i for i in range(33)]),
    ("two batches and one", [float(2**i) for i in range(65)]),
    ("past the inline area", [0.1 * i for i in range(1000)]),
    ("widths mixed", [1.0, 0.1, 3.4028234663852886e38, 5e-324, -0.0, 1e300, 65504.0, 1.401298464324817e-45]),
    ("specials", [float("nan"), float("inf"), 2.5, float("-inf"), 0.0, float("-nan")]),
    ("broken by other items", [1.5, "a", 2.5, 3, 4.5, None, True, b"x", 0.1, [0.25, 0.5], {"k": 0.75}, 8.5]),
    ("after other items", [1, "two", None] + [0.5 * i for i in range(40)]),
    ("pairs", [[0.1 * i, -0.2 * i] for i in range(300)]),
    ("tuple", tuple(0.25 * i for i in range(70))),
    ("subclass inside a run", [1.5, 2.5, F(3.5), 4.5, F(0.1), 0.1]),
]


@pytest.mark.parametrize("indefinite", [True, False], ids=["indefinite", "definite"])
@pytest.mark.parametrize("value", [v for _, v in RUNS], ids=[name for name, _ in RUNS])
def test_float_run(value, indefinite):
    plain = [float(v) if type(v) is F else v for v in value] if isinstance(value, list) else value
    assert dumps(value, indefinite) == encode(plain, indefinite)


@pytest.mark.parametrize("indefinite", [True, False], ids=["indefinite", "definite"])
def test_float_run_under_a_depth_limit(indefinite):
    value = [[0.5 * i for i in range(40)]]
    assert dumps(value, indefinite, 2) == encode(value, indefinite)
    with raises_exact(RuntimeError, depth_error(1)):
        dumps(value, indefinite, 1)
