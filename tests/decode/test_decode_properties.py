"""Properties of loads: the round trip through dumps in both framings, and a
differential against cbor2 on seeded random well-formed CBOR built here
from RFC 8949's rules (any head width, chunked strings, both framings, tags,
simple values) that both decoders accept."""
import datetime
import random
import struct
from collections.abc import Mapping

import cbor2
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import strategies
from support.helpers import norm
from support.model import head, sized_head
from tavrel_cbor import Simple, Tag, dumps, loads, undefined

SETTINGS = settings(derandomize=True, max_examples=250, deadline=None, database=None)

trees = strategies.trees(st.text(max_size=8) | strategies.ints | st.binary(max_size=8) | st.floats(allow_nan=False),
                         max_size=6, max_leaves=40)


@SETTINGS
@given(trees, st.booleans())
def test_round_trip_through_dumps(value, indefinite):
    data = dumps(value, indefinite)
    assert norm(loads(data)) == norm(value)


# ---- random well-formed CBOR ----------------------------------------------------

# Tags cbor2 leaves as CBORTag (it gives meaning to 2-5, 25-30, 35-37, 100, 256, 258, ...).
PLAIN_TAGS = [6, 7, 21, 23, 40000, 2**40]
DATES = ["2013-03-21T20:04:00Z", "1970-01-01T00:00:00Z", "2038-01-19T03:14:08+02:00", "1999-12-31T23:59:59.5Z"]


class Writer:
    """Random items; map keys are made distinct in Python (1, 1.0 and True
    would be one key) by a running serial."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.serial = 0

    def head(self, major, arg):
        # Shortest most of the time, else any width that holds the argument.
        widths = [w for w, top in ((0x18, 0xFF), (0x19, 0xFFFF), (0x1A, 2**32 - 1), (0x1B, 2**64 - 1)) if arg <= top]
        if self.rng.random() < 0.8:
            return head(major, arg)
        return sized_head(major << 5 | self.rng.choice(widths), arg)

    def string(self, major, raw):
        rng = self.rng
        if rng.random() < 0.7:
            return self.head(major, len(raw)) + raw
        out, pos = bytearray([major << 5 | 31]), 0
        text = raw.decode("utf-8") if major == 3 else None
        while pos < len(raw) or rng.random() < 0.2:
            n = rng.randrange(0, 6)
            if text is not None:  # chunks end on character boundaries
                piece = text[pos:pos + n].encode("utf-8")
                pos += n
            else:
                piece = raw[pos:pos + n]
                pos += n
            out += self.head(major, len(piece)) + piece
        return bytes(out + b"\xff")

    def key(self):
        rng = self.rng
        self.serial += 1
        n = self.serial
        kind = rng.randrange(5)
        if kind == 0:
            return self.string(3, f"k{n}\u00e9".encode("utf-8"))
        if kind == 1:
            return self.string(2, b"b%d" % n)
        if kind == 2:
            return self.head(0, n * 7919)
        if kind == 3:
            return self.head(1, n * 104729)
        return b"\xfb" + struct.pack(">d", n + 0.25)

    def item(self, depth=0):
        rng = self.rng
        kind = rng.randrange(14 if depth < 4 else 8)
        if kind == 0:
            return self.head(rng.randrange(2), rng.choice([0, 23, 24, 255, 256, 2**16, 2**32, 2**64 - 1,
                                                           rng.getrandbits(64)]))
        if kind == 1:
            return rng.choice([b"\xf9" + rng.getrandbits(16).to_bytes(2, "big"),
                               b"\xfa" + rng.getrandbits(32).to_bytes(4, "big"),
                               b"\xfb" + rng.getrandbits(64).to_bytes(8, "big")])
        if kind == 2:
            return self.string(2, rng.getrandbits(8 * 12).to_bytes(12, "big")[:rng.randrange(13)])
        if kind == 3:
            text = "".join(chr(rng.choice([rng.randrange(32, 127), rng.randrange(0xA0, 0xD7FF),
                                           rng.randrange(0x10000, 0x10FFFF)])) for _ in range(rng.randrange(10)))
            return self.string(3, text.encode("utf-8"))
        if kind == 4:
            return bytes([rng.choice([0xF4, 0xF5, 0xF6, 0xF7, rng.randrange(0xE0, 0xF4)])])
        if kind == 5:
            return b"\xf8" + bytes([rng.randrange(32, 256)])
        if kind == 6:  # bignums, leading zero bytes and empty ones included
            raw = bytes(rng.randrange(3)) + rng.getrandbits(8 * 10).to_bytes(10, "big")[:rng.randrange(11)]
            return bytes([0xC2 + rng.randrange(2)]) + self.string(2, raw)
        if kind == 7:
            if rng.random() < 0.5:
                return b"\xc0" + self.string(3, rng.choice(DATES).encode())
            return b"\xc1" + self.head(0, rng.randrange(2**31))
        if kind in (8, 9):
            n = rng.randrange(6)
            body = b"".join(self.item(depth + 1) for _ in range(n))
            return b"\x9f" + body + b"\xff" if rng.random() < 0.4 else self.head(4, n) + body
        if kind in (10, 11):
            n = rng.randrange(6)
            body = b"".join(self.key() + self.item(depth + 1) for _ in range(n))
            return b"\xbf" + body + b"\xff" if rng.random() < 0.4 else self.head(5, n) + body
        if kind == 12:
            return self.head(6, rng.choice(PLAIN_TAGS)) + self.item(depth + 1)
        return b"\xd9\xd9\xf7" + self.item(depth + 1)


def from_cbor2(value):
    """cbor2's result in loads's terms, for the kinds the two map differently."""
    if value is cbor2.undefined:
        return undefined
    if isinstance(value, cbor2.CBORSimpleValue):
        return Simple(value.value)
    if isinstance(value, cbor2.CBORTag):
        return Tag(value.tag, from_cbor2(value.value))
    # Inside a tag cbor2 builds its immutable forms: tuples and frozen maps.
    if isinstance(value, (list, tuple)):
        return [from_cbor2(v) for v in value]
    if isinstance(value, Mapping):
        return {k: from_cbor2(v) for k, v in value.items()}
    return value


@pytest.mark.parametrize("seed", range(4))
def test_differential_against_cbor2(seed):
    writer = Writer(9000 + seed)
    compared = 0
    for _ in range(1500):
        data = writer.item()
        try:
            theirs = cbor2.loads(data)
        except (cbor2.CBORDecodeError, ValueError, OverflowError):
            continue  # e.g. a date past datetime's range; ours may refuse it too
        ours = loads(data)
        assert norm(ours) == norm(from_cbor2(theirs)), data.hex()
        if isinstance(ours, datetime.datetime):
            assert ours.utcoffset() == theirs.utcoffset(), data.hex()
        compared += 1
    assert compared >= 1400
