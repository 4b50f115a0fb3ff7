"""loads against RFC 8949: the examples of Appendix A (hex -> value) and the
malformed classes of Appendix F (hex -> CBORDecodeError naming the offset of
the item at fault), both written out from the RFC's text."""
import datetime
import math
import re

import pytest

from support.helpers import norm, raises_exact
from tavrel_cbor import CBORDecodeError, Simple, Tag, loads, undefined

UTC = datetime.timezone.utc
NAN = float("nan")
INF = float("inf")

APPENDIX_A = [
    ("00", 0), ("01", 1), ("0a", 10), ("17", 23), ("1818", 24), ("1819", 25), ("1864", 100), ("1903e8", 1000),
    ("1a000f4240", 1000000), ("1b000000e8d4a51000", 1000000000000), ("1bffffffffffffffff", 2**64 - 1),
    ("c249010000000000000000", 2**64), ("3bffffffffffffffff", -(2**64)), ("c349010000000000000000", -(2**64) - 1),
    ("20", -1), ("29", -10), ("3863", -100), ("3903e7", -1000),
    ("f90000", 0.0), ("f98000", -0.0), ("f93c00", 1.0), ("fb3ff199999999999a", 1.1), ("f93e00", 1.5),
    ("f97bff", 65504.0), ("fa47c35000", 100000.0), ("fa7f7fffff", 3.4028234663852886e38),
    ("fb7e37e43c8800759c", 1.0e300), ("f90001", 5.960464477539063e-8), ("f90400", 0.00006103515625),
    ("f9c400", -4.0), ("fbc010666666666666", -4.1),
    ("f97c00", INF), ("f97e00", NAN), ("f9fc00", -INF), ("fa7f800000", INF), ("fa7fc00000", NAN),
    ("faff800000", -INF), ("fb7ff0000000000000", INF), ("fb7ff8000000000000", NAN), ("fbfff0000000000000", -INF),
    ("f4", False), ("f5", True), ("f6", None), ("f7", undefined), ("f0", Simple(16)), ("f8ff", Simple(255)),
    ("c074323031332d30332d32315432303a30343a30305a", datetime.datetime(2013, 3, 21, 20, 4, tzinfo=UTC)),
    ("c11a514b67b0", datetime.datetime(2013, 3, 21, 20, 4, tzinfo=UTC)),
    ("c1fb41d452d9ec200000", datetime.datetime(2013, 3, 21, 20, 4, 0, 500000, tzinfo=UTC)),
    ("d74401020304", Tag(23, b"\x01\x02\x03\x04")), ("d818456449455446", Tag(24, b"dIETF")),
    ("d82076687474703a2f2f7777772e6578616d706c652e636f6d", Tag(32, "http://www.example.com")),
    ("40", b""), ("4401020304", b"\x01\x02\x03\x04"), ("60", ""), ("6161", "a"), ("6449455446", "IETF"),
    ("62225c", '"\\'), ("62c3bc", "\u00fc"), ("63e6b0b4", "\u6c34"), ("64f0908591", "\U00010151"),
    ("80", []), ("83010203", [1, 2, 3]), ("8301820203820405", [1, [2, 3], [4, 5]]),
    ("98190102030405060708090a0b0c0d0e0f101112131415161718181819", list(range(1, 26))),
    ("a0", {}), ("a201020304", {1: 2, 3: 4}), ("a26161016162820203", {"a": 1, "b": [2, 3]}),
    ("826161a161626163", ["a", {"b": "c"}]),
    ("a56161614161626142616361436164614461656145", {"a": "A", "b": "B", "c": "C", "d": "D", "e": "E"}),
    ("5f42010243030405ff", b"\x01\x02\x03\x04\x05"), ("7f657374726561646d696e67ff", "streaming"),
    ("9fff", []), ("9f018202039f0405ffff", [1, [2, 3], [4, 5]]), ("9f01820203820405ff", [1, [2, 3], [4, 5]]),
    ("83018202039f0405ff", [1, [2, 3], [4, 5]]), ("83019f0203ff820405", [1, [2, 3], [4, 5]]),
    ("9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff", list(range(1, 26))),
    ("bf61610161629f0203ffff", {"a": 1, "b": [2, 3]}), ("826161bf61626163ff", ["a", {"b": "c"}]),
    ("bf6346756ef563416d7421ff", {"Fun": True, "Amt": -2}),
]  # fmt: skip


@pytest.mark.parametrize("hexdata, expected", APPENDIX_A, ids=[h[:24] for h, _ in APPENDIX_A])
def test_appendix_a_examples(hexdata, expected):
    data = bytes.fromhex(hexdata)
    value = loads(data)
    # norm tells -0.0 from 0.0, True from 1 and NaN only from non-NaN.
    assert norm(value) == norm(expected)
    if isinstance(expected, datetime.datetime):
        assert value.utcoffset() == datetime.timedelta(0)
    # The same bytes through the other kinds of buffer.
    assert norm(loads(bytearray(data))) == norm(loads(memoryview(data))) == norm(expected)


# (hex, offset of the item at fault): Appendix F.1, class by class.  A
# truncated item is at fault where its head starts; a misplaced break or
# chunk where it stands.  None where either reading holds (a map of one
# pair in one byte is also too short to hold it).
APPENDIX_F = {
    "end of input in a head": [
        ("18", 0), ("19", 0), ("1a", 0), ("1b", 0), ("1901", 0), ("1a0102", 0), ("1b01020304050607", 0),
        ("38", 0), ("58", 0), ("78", 0), ("98", 0), ("9a01ff00", 0), ("b8", 0), ("d8", 0), ("f8", 0),
        ("f900", 0), ("fa0000", 0), ("fb000000", 0),
    ],
    "definite string with short data": [
        ("41", 0), ("61", 0), ("5affffffff00", 0), ("5bffffffffffffffff010203", 0), ("7affffffff00", 0),
        ("7b7fffffffffffffff010203", 0),
    ],
    "definite container without enough items": [
        ("81", None), ("818181818181818181", None), ("8200", None), ("a1", None), ("a20102", None),
        ("a100", None), ("a2000000", None),
    ],
    "tag without content": [("c0", None)],
    "indefinite string without break": [("5f4100", None), ("7f6100", None)],
    "indefinite container without break": [
        ("9f", None), ("9f0102", None), ("bf", None), ("bf01020102", None), ("819f", None), ("9f8000", None),
        ("9f9f9f9f9fffffffff", None), ("9f819f819f9fffffff", None),
    ],
    "reserved additional information": [
        (f"{major << 5 | info:02x}", 0) for major in range(8) for info in (28, 29, 30)
    ],
    "two-byte simple value below 32": [("f800", 0), ("f801", 0), ("f818", 0), ("f81f", 0)],
    "chunk of the wrong type": [
        ("5f00ff", 1), ("5f21ff", 1), ("5f6100ff", 1), ("5f80ff", 1), ("5fa0ff", 1), ("5fc000ff", 1),
        ("5fe0ff", 1), ("7f4100ff", 1),
    ],
    "indefinite chunk": [("5f5f4100ffff", 1), ("7f7f6100ffff", 1)],
    "break outside an indefinite item": [("ff", 0)],
    "break in a definite container or tag": [
        ("81ff", 1), ("8200ff", 2), ("a1ff", None), ("a1ff00", 1), ("a100ff", 2), ("a20000ff", None),
        ("9f81ff", 2), ("9f829f819f9fffffffff", 9),
    ],
    "break in place of a map value": [("bf00ff", 2), ("bf000000ff", 4)],
    "indefinite length on an integer or tag": [("1f", 0), ("3f", 0), ("df", 0)],
}
MALFORMED = [pytest.param(h, at, id=f"{cls}:{h[:20]}") for cls, rows in APPENDIX_F.items() for h, at in rows]


@pytest.mark.parametrize("hexdata, offset", MALFORMED)
def test_appendix_f_malformed(hexdata, offset):
    with pytest.raises(CBORDecodeError) as info:
        loads(bytes.fromhex(hexdata))
    match = re.fullmatch(r"(.+) at byte (\d+)", str(info.value), re.S)
    assert match, str(info.value)
    if offset is not None:
        assert int(match.group(2)) == offset, str(info.value)
    assert isinstance(info.value, ValueError)


@pytest.mark.parametrize("hexdata, offset", [("0000", 1), ("80ff", 1), ("9fff9fff", 2), ("a0f6", 1),
                                             ("c10000", 2), ("5f40ff00", 3), ("6161ff", 2)])
def test_trailing_bytes_name_where_they_start(hexdata, offset):
    with raises_exact(CBORDecodeError, f"trailing bytes after the data item at byte {offset}"):
        loads(bytes.fromhex(hexdata))


def test_empty_input_is_malformed():
    with pytest.raises(CBORDecodeError, match=r" at byte 0\Z"):
        loads(b"")


def test_nan_stays_nan_in_every_width():
    for hexdata in ("f97e00", "fa7fc00000", "fb7ff8000000000000"):
        assert math.isnan(loads(bytes.fromhex(hexdata)))
