"""Properties over generated values: bytes equal to the reference encoder,
well-formed and decodable by an independent decoder, exact depth limit,
and the float width rule."""
import math
import struct

import cbor2
from hypothesis import given, settings
from hypothesis import strategies as st

from support import strategies
from support.helpers import norm, raises_exact
from support.model import depth, encode, float_item, scan
from support.texts import depth_error
from tavrel_cbor import dumps

SETTINGS = settings(derandomize=True, max_examples=300, deadline=None, database=None)

trees = strategies.trees()


@SETTINGS
@given(trees, st.booleans())
def test_tree_round_trip(value, indefinite):
    out = dumps(value, indefinite)
    assert out == encode(value, indefinite)
    scan(out)
    assert norm(cbor2.loads(out)) == norm(value)


@SETTINGS
@given(trees, st.booleans())
def test_depth_limit_is_exact(value, indefinite):
    levels = depth(value)
    expected = encode(value, indefinite)
    assert dumps(value, indefinite, levels + 3) == expected
    if levels >= 1:
        assert dumps(value, indefinite, levels) == expected
    if levels >= 2:
        with raises_exact(RuntimeError, depth_error(levels - 1)):
            dumps(value, indefinite, levels - 1)


@SETTINGS
@given(st.floats(allow_nan=False) | st.floats(width=32, allow_nan=False) | st.floats(width=16, allow_nan=False))
def test_float_width(x):
    out = dumps(x)
    assert out == float_item(x)
    assert struct.pack(">d", cbor2.loads(out)) == struct.pack(">d", x)
    assert dumps([x], False) == b"\x81" + out


@SETTINGS
@given(st.integers(0, 1), st.integers(1, 2**52 - 1))
def test_every_nan_is_the_same_half(sign, mantissa):
    x = struct.unpack(">d", ((sign << 63) | (0x7FF << 52) | mantissa).to_bytes(8, "big"))[0]
    assert math.isnan(x)
    assert dumps(x) == bytes.fromhex("f97e00")
