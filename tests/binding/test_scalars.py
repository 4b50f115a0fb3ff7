"""None, booleans, integers, floats, text and byte strings, and values that
no alternative accepts."""
import struct

import pytest

from binding_support import ident, CAST_ERROR, RANGE_ERROR, float_item, raises_exact, rejected_call
from tavrel_cbor import dumps


def from_bits(hex_bits):
    return struct.unpack(">d", bytes.fromhex(hex_bits))[0]


INTEGERS = [
    (0, "00"), (1, "01"), (10, "0a"), (23, "17"), (24, "1818"), (100, "1864"), (255, "18ff"),
    (256, "190100"), (1000, "1903e8"), (65535, "19ffff"), (65536, "1a00010000"),
    (1000000, "1a000f4240"), (2**32 - 1, "1affffffff"), (2**32, "1b0000000100000000"),
    (2**63 - 1, "1b7fffffffffffffff"), (2**63, "1b8000000000000000"), (2**64 - 1, "1bffffffffffffffff"),
    (-1, "20"), (-10, "29"), (-24, "37"), (-25, "3818"), (-100, "3863"), (-256, "38ff"),
    (-257, "390100"), (-1000, "3903e7"), (-65536, "39ffff"), (-65537, "3a00010000"),
    (-(2**32), "3affffffff"), (-(2**32) - 1, "3b0000000100000000"),
    (-(2**63) + 1, "3b7ffffffffffffffe"), (-(2**63), "3b7fffffffffffffff"),
]  # fmt: skip

FLOATS = [
    (0.0, "f90000"), (-0.0, "f98000"), (1.0, "f93c00"), (1.5, "f93e00"), (-2.0, "f9c000"),
    (2.5, "f94100"), (-4.0, "f9c400"), (1 + 2**-10, "f93c01"), (2**-14, "f90400"),
    (65504.0, "f97bff"), (-65504.0, "f9fbff"), (2**-15, "fa38000000"), (2**-24, "fa33800000"),
    (1 + 2**-11, "fa3f801000"), (1 + 2**-23, "fa3f800001"), (65520.0, "fa477ff000"),
    (65536.0, "fa47800000"), (100000.0, "fa47c35000"), (2.0**32, "fa4f800000"),
    (3.4028234663852886e38, "fa7f7fffff"), (2**-149, "fa00000001"), (0.1, "fb3fb999999999999a"),
    (1.1, "fb3ff199999999999a"), (-4.1, "fbc010666666666666"), (2.0**128, "fb47f0000000000000"),
    (1e300, "fb7e37e43c8800759c"), (1e-40, "fb37a16c262777579c"), (5e-324, "fb0000000000000001"),
    (float("nan"), "f97e00"), (-float("nan"), "f97e00"), (from_bits("7ff0000000000001"), "f97e00"),
    (from_bits("fff8000000000123"), "f97e00"), (float("inf"), "f97c00"), (float("-inf"), "f9fc00"),
]  # fmt: skip

STRINGS = [
    ("", "60"), ("a", "6161"), ("IETF", "6449455446"), ('"\\', "62225c"), ("\x00", "6100"),
    ("\u00fc", "62c3bc"), ("\u6c34", "63e6b0b4"), ("\U00010151", "64f0908591"),
    ("a" * 23, "77" + "61" * 23), ("a" * 24, "7818" + "61" * 24), ("a" * 255, "78ff" + "61" * 255),
    ("a" * 256, "790100" + "61" * 256), ("\u00e9" * 12, "7818" + "c3a9" * 12),
    ("a" * 65535, "79ffff" + "61" * 65535), ("a" * 65536, "7a00010000" + "61" * 65536),
    (b"", "40"), (b"\x01", "4101"), (b"\x01\x02\x03\x04", "4401020304"), (b"\x00\xff", "4200ff"),
    (b"\xff" * 23, "57" + "ff" * 23), (b"\xff" * 24, "5818" + "ff" * 24),
    (b"\xff" * 255, "58ff" + "ff" * 255), (b"\xff" * 256, "590100" + "ff" * 256),
    (b"\x07" * 65536, "5a00010000" + "07" * 65536),
]  # fmt: skip

SCALARS = [(None, "f6"), (True, "f5"), (False, "f4")] + INTEGERS + FLOATS + STRINGS


@pytest.mark.parametrize("value, expected", SCALARS, ids=ident)
def test_scalar(value, expected, mode):
    item = bytes.fromhex(expected)
    assert dumps(value, **mode) == item
    # Inside a container the item is the same; only the framing differs.
    if mode["indefinite"]:
        assert dumps([value], **mode) == b"\x9f" + item + b"\xff"
        assert dumps({"k": value}, **mode) == b"\xbf\x61k" + item + b"\xff"
    else:
        assert dumps([value], **mode) == b"\x81" + item
        assert dumps({"k": value}, **mode) == b"\xa1\x61k" + item


@pytest.mark.parametrize("value, expected", FLOATS, ids=ident)
def test_float_table_agrees_with_the_width_oracle(value, expected):
    # The property tests rely on float_item; it must give the table's bytes.
    assert float_item(value) == bytes.fromhex(expected)


@pytest.mark.parametrize(
    "value, text",
    [
        (2**64, "18446744073709551616"),
        (2**64 + 1, "18446744073709551617"),
        (-(2**63) - 1, "-9223372036854775809"),
        (-(2**64), "-18446744073709551616"),
        (2**100, str(2**100)),
        (10**39, "1" + "0" * 39),
        (10**49, "1" + "0" * 39),
        (-(10**49), "-1" + "0" * 38),
        (int("7" * 50), "7" * 40),
    ],
    ids=ident,
)
def test_integer_out_of_range(value, text, mode):
    with raises_exact(RuntimeError, RANGE_ERROR + text):
        dumps(value, **mode)
    with raises_exact(RuntimeError, RANGE_ERROR + text):
        dumps([0, value, 1], **mode)
    with raises_exact(RuntimeError, RANGE_ERROR + text):
        dumps({"k": value}, **mode)
    with raises_exact(RuntimeError, RANGE_ERROR + text):
        dumps({value: 0}, **mode)


def test_integer_whose_text_cannot_be_made():
    # str() of a huge int is refused by the interpreter; its error is quoted.
    limit = getattr(__import__("sys"), "get_int_max_str_digits", lambda: 0)()
    if limit == 0:
        pytest.skip("no int-to-str digit limit on this interpreter")
    big = 10 ** (limit + 5)
    try:
        str(big)
    except ValueError as err:
        quoted = ("failed with ValueError: " + str(err)).encode()[:40].decode()
    with raises_exact(RuntimeError, RANGE_ERROR + quoted):
        dumps(big)


@pytest.mark.parametrize("value", ["\ud800", "a\udfffb", "\udc80" * 30])
def test_lone_surrogate(value, mode):
    with raises_exact(RuntimeError, CAST_ERROR):
        dumps(value, **mode)
    with raises_exact(RuntimeError, CAST_ERROR):
        dumps(["ok", value], **mode)
    with raises_exact(RuntimeError, CAST_ERROR):
        dumps({value: 1}, **mode)


class Plain:
    pass


REJECTED = [set(), {1, 2}, frozenset(), frozenset({3}), bytearray(b"ab"), memoryview(b"ab"), object(), Plain(), Ellipsis]


@pytest.mark.parametrize("value", REJECTED, ids=lambda v: type(v).__name__)
def test_unsupported_value(value, mode):
    with rejected_call():
        dumps(value, **mode)
    for wrapped in ([value], (1, value), {"k": value}, [1, 2, 3, value]):
        with raises_exact(RuntimeError, CAST_ERROR):
            dumps(wrapped, **mode)
    try:
        keyed = {value: 1}
    except TypeError:
        return
    with raises_exact(RuntimeError, CAST_ERROR):
        dumps(keyed, **mode)
