"""Which alternative a Python object lands in: subclasses, objects with
__index__, __int__ or __bool__, other numeric types and numpy scalars."""
import decimal
import enum
import fractions
import sys

import pytest

from support.helpers import PYPY, ident, obj, raises_exact, rejected_call, sub
from support.model import head
from support.texts import CAST_ERROR, RANGE_ERROR
from tavrel_cbor import dumps


class Color(enum.IntEnum):
    RED = 3
    HUGE = 2**64 - 1
    LOW = -(2**63)


MATCHED = [
    (sub(int, 5), "05"),
    (sub(int, -25), "3818"),
    (sub(int, 2**64 - 1), "1bffffffffffffffff"),
    (sub(int, -(2**63)), "3b7fffffffffffffff"),
    (Color.RED, "03"),
    (Color.HUGE, "1bffffffffffffffff"),
    (Color.LOW, "3b7fffffffffffffff"),
    # Subclasses are written from their stored value, whatever their
    # conversion methods claim.
    (sub(int, 5, index=99, int=99), "05"),
    (sub(float, 1.5), "f93e00"),
    (sub(float, 0.1), "fb3fb999999999999a"),
    (sub(float, 1.5, float=99.0), "f93e00"),
    (sub(str, "ab"), "626162"),
    (sub(str, "ab", str="zz"), "626162"),
    (sub(bytes, b"ab"), "426162"),
    (sub(bytes, b"ab", bytes=b"zz"), "426162"),
    # __index__: the signed alternative in the first pass; int() and the
    # unsigned one in the second when the value does not fit int64.
    (obj(index=5), "05"),
    (obj(index=-5), "24"),
    (obj(index=2**63 - 1), "1b7fffffffffffffff"),
    (obj(index=-(2**63)), "3b7fffffffffffffff"),
    (obj(index=2**63), "1b8000000000000000"),
    (obj(index=2**64 - 1), "1bffffffffffffffff"),
    # __int__ alone is only used by the second pass.
    (obj(int=5), "05"),
    (obj(int=-7), "26"),
    (obj(int=2**64 - 1), "1bffffffffffffffff"),
    (obj(bool=True), "f5"),
    (obj(bool=False), "f4"),
    (obj(index=7, bool=False), "07"),
    (obj(index=ValueError("not an index"), bool=True), "f5"),
    # Numbers that are neither ints nor floats are taken by their truth value.
    (decimal.Decimal("0.5"), "f5"),
    (decimal.Decimal(7), "f5"),
    (decimal.Decimal(0), "f4"),
    (decimal.Decimal("-0"), "f4"),
    (fractions.Fraction(1, 3), "f5"),
    (fractions.Fraction(0), "f4"),
    (complex(0), "f4"),
    (complex(0, 1), "f5"),
    (complex(2.5, 0), "f5"),
    # Equality only vetoes: deferring to int's own comparison is fine, and
    # agreeing cannot admit a value that the conversions refuse.
    (sub(int, 7, eq=NotImplemented), "07"),
    (sub(int, -1, eq=True), "20"),
]


# Each framing once: the argument (both instantiations of the framing) and a
# list element, which is matched by the walk rather than by the call.
@pytest.mark.parametrize("value, expected", MATCHED, ids=ident)
def test_matched(value, expected, indefinite):
    item = bytes.fromhex(expected)
    assert dumps(value, indefinite) == item
    assert dumps(value, indefinite, 1) == item
    framed = b"\x9f" + item + b"\xff" if indefinite else b"\x81" + item
    assert dumps([value], indefinite) == framed


def test_matched_values_as_elements(mode):
    # All of them at once, as list elements and dict values, in each of the
    # four instantiations.
    values = [value for value, _ in MATCHED]
    items = b"".join(bytes.fromhex(expected) for _, expected in MATCHED)
    keyed = b"".join(head(0, i) + bytes.fromhex(expected) for i, (_, expected) in enumerate(MATCHED))
    if mode["indefinite"]:
        framed, keyed_framed = b"\x9f" + items + b"\xff", b"\xbf" + keyed + b"\xff"
    else:
        framed, keyed_framed = head(4, len(values)) + items, head(5, len(values)) + keyed
    assert dumps(values, **mode) == framed
    assert dumps({i: value for i, value in enumerate(values)}, **mode) == keyed_framed


UNMATCHED = [
    obj(bool=ValueError("undecided")),
    obj(len=1),
    obj(float=1.5),
    obj(index=2**64),
    obj(index=-(2**63) - 1),
    obj(int=2**64),
]


@pytest.mark.parametrize("value", UNMATCHED, ids=ident)
def test_unmatched(value, indefinite):
    with rejected_call():
        dumps(value, indefinite)
    with rejected_call():
        dumps(value, indefinite, 1)
    with raises_exact(RuntimeError, CAST_ERROR):
        dumps([0, value], indefinite)
    with raises_exact(RuntimeError, CAST_ERROR):
        dumps({"k": value}, indefinite)


def test_unmatched_elements_under_a_depth_limit(indefinite):
    for value in UNMATCHED:
        with raises_exact(RuntimeError, CAST_ERROR):
            dumps([0, value], indefinite, 1)
        with raises_exact(RuntimeError, CAST_ERROR):
            dumps({"k": value}, indefinite, 1)


@pytest.mark.parametrize(
    "value, text",
    [
        (sub(int, 5, eq=False), "5"),
        (sub(int, -5, eq=False), "-5"),
        (sub(int, 5, eq=ValueError("no comparison")), "5"),
        (sub(int, -(2**63), eq=ValueError("no comparison")), str(-(2**63))),
        (sub(int, 2**64, eq=True), "18446744073709551616"),
        (sub(int, 2**64), "18446744073709551616"),
        (sub(int, -(2**63) - 1), "-9223372036854775809"),
    ],
    ids=ident,
)
def test_int_subclass_refused_by_equality_or_range(value, text, indefinite):
    with raises_exact(RuntimeError, RANGE_ERROR + text):
        dumps(value, indefinite)
    with raises_exact(RuntimeError, RANGE_ERROR + text):
        dumps([value], indefinite)


def test_truth_objects_as_keys_and_values(indefinite):
    value = {obj(bool=True): obj(bool=False), decimal.Decimal(0): fractions.Fraction(2)}
    body = "f5 f4 f4 f5"
    assert dumps(value, indefinite) == bytes.fromhex(f"bf {body} ff" if indefinite else f"a2 {body}")


# Interpreters on which an object with __index__ is converted with it first.
INDEX_FIRST = sys.version_info < (3, 8) or PYPY


@pytest.fixture(scope="module")
def np():
    return pytest.importorskip("numpy")


def test_numpy_scalars(np, mode):
    table = [
        (np.int64(-3), "22"),
        (np.int64(2**63 - 1), "1b7fffffffffffffff"),
        (np.int64(-(2**63)), "3b7fffffffffffffff"),
        (np.int32(24), "1818"),
        (np.int8(-128), "387f"),
        (np.uint8(200), "18c8"),
        (np.uint16(65535), "19ffff"),
        (np.uint64(2**63 - 1), "1b7fffffffffffffff"),
        (np.bool_(True), "f5"),
        (np.bool_(False), "f4"),
        (np.float64(1.5), "f93e00"),
        (np.float64(0.1), "fb3fb999999999999a"),
        (np.float64("nan"), "f97e00"),
        # Not float subclasses, or too big for int64: only the truth value fits,
        # except where __index__ is taken first (CPython 3.7, PyPy).
        (np.float32(0.5), "f5"),
        (np.float32(0.0), "f4"),
        (np.uint64(2**63), "1b8000000000000000" if INDEX_FIRST else "f5"),
    ]
    for value, expected in table:
        item = bytes.fromhex(expected)
        assert dumps(value, **mode) == item, (type(value), value)
        framed = b"\x9f" + item + b"\xff" if mode["indefinite"] else b"\x81" + item
        assert dumps([value], **mode) == framed, (type(value), value)


def test_numpy_float64_is_a_float(np):
    assert isinstance(np.float64(2.0), float)
    assert dumps({"x": np.float64(-0.0)}, False) == bytes.fromhex("a1 61 78 f9 80 00")
