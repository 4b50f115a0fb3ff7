"""loads as callers use it: the value each item becomes, the exact texts of
its refusals, its options and hooks, the map key policy, the types it
returns, and load/dump."""
import array
import datetime
import gc
import io
import math
import pickle
import platform
import struct
import sys

import pytest

import tavrel_cbor
from support.helpers import PYPY, ident, in_small_thread, raises_exact
from support import texts
from support.texts import decode_error, refused_key
from tavrel_cbor import CBORDecodeError, Simple, Tag, dump, dumps, load, loads, undefined

UTC = datetime.timezone.utc


def h(text):
    return bytes.fromhex(text.replace(" ", ""))


def date(text):
    """Tag 0 around a text string, as hex."""
    return "c0" + dumps(text).hex()


def same(a, b):
    """Equal, and of the same types all the way down (1 is not 1.0 or True)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack(">d", a) == struct.pack(">d", b) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(k, j) and same(a[k], b[j]) for k, j in zip(a, b))
    return a == b


# ---- mapping -------------------------------------------------------------------

MAPPING = [
    ("00", 0), ("17", 23), ("1818", 24), ("18ff", 255), ("190100", 256), ("1affffffff", 2**32 - 1),
    ("1b0000000100000000", 2**32), ("1b7fffffffffffffff", 2**63 - 1), ("1b8000000000000000", 2**63),
    ("1bffffffffffffffff", 2**64 - 1), ("20", -1), ("37", -24), ("3818", -25),
    ("3b7fffffffffffffff", -(2**63)), ("3b8000000000000000", -(2**63) - 1), ("3bffffffffffffffff", -(2**64)),
    ("c240", 0), ("c34100", -1), ("c2490100000000000000ff", 2**64 + 255), ("c349010000000000000000", -(2**64) - 1),
    ("c2 5f 4101 4100 ff", 256),
    ("f90000", 0.0), ("f98000", -0.0), ("f93c00", 1.0), ("f90001", 2.0**-24), ("f903ff", 1023 * 2.0**-24),
    ("f97bff", 65504.0), ("f97c00", math.inf), ("f9fc00", -math.inf), ("fa00000001", 2.0**-149),
    ("fa7f7fffff", 3.4028234663852886e38), ("fb3ff199999999999a", 1.1), ("fb0000000000000001", 5e-324),
    ("40", b""), ("4401020304", b"\x01\x02\x03\x04"), ("5f ff", b""), ("5f 4101 40 420203 ff", b"\x01\x02\x03"),
    ("60", ""), ("6161", "a"), ("62c3bc", "\u00fc"), ("63e6b0b4", "\u6c34"), ("64f0908591", "\U00010151"),
    ("7f ff", ""), ("7f 6161 60 62c3bc ff", "a\u00fc"), ("78 20" + "41" * 32, "A" * 32),
    ("80", []), ("9fff", []), ("83 01 82 02 03 9f 04 05 ff", [1, [2, 3], [4, 5]]),
    ("a0", {}), ("bfff", {}), ("a2 6161 01 6162 82 02 03", {"a": 1, "b": [2, 3]}),
    ("bf 01 bf ff ff", {1: {}}),
    ("f4", False), ("f5", True), ("f6", None), ("f7", undefined), ("e0", Simple(0)), ("f3", Simple(19)),
    ("f820", Simple(32)), ("f8ff", Simple(255)),
    ("d9d9f7 01", 1), ("d9d9f7 d9d9f7 80", []), ("d818 4101", Tag(24, b"\x01")),
    ("db ffffffffffffffff f6", Tag(2**64 - 1, None)), ("c6 c7 00", Tag(6, Tag(7, 0))),
    ("c0 74 323031332d30332d32315432303a30343a30305a", datetime.datetime(2013, 3, 21, 20, 4, tzinfo=UTC)),
    (date("1985-04-12T23:20:50.52+05:30"),
     datetime.datetime(1985, 4, 12, 23, 20, 50, 520000,
                       tzinfo=datetime.timezone(datetime.timedelta(hours=5, minutes=30)))),
    (date("1985-04-12t23:20:50.123456789z"), datetime.datetime(1985, 4, 12, 23, 20, 50, 123456, tzinfo=UTC)),
    (date("1985-04-12T23:20:50-00:00"), datetime.datetime(1985, 4, 12, 23, 20, 50, tzinfo=UTC)),
    ("c1 1a514b67b0", datetime.datetime(2013, 3, 21, 20, 4, tzinfo=UTC)),
    ("c1 fb41d452d9ec200000", datetime.datetime(2013, 3, 21, 20, 4, 0, 500000, tzinfo=UTC)),
    ("c1 20", datetime.datetime(1969, 12, 31, 23, 59, 59, tzinfo=UTC)),
]


@pytest.mark.parametrize("data, expected", MAPPING, ids=[m[0] for m in MAPPING])
def test_item_becomes(data, expected):
    assert same(loads(h(data)), expected)


def test_offsets_in_datetimes_are_kept():
    value = loads(h(date("2020-01-01T00:00:00-08:00")))
    assert value.utcoffset() == datetime.timedelta(hours=-8)


# The 32-bit x86 ABI returns a double on the x87 stack, which quiets a
# signalling NaN on its way into any float object there.
X87 = pytest.mark.skipif(struct.calcsize("P") == 4 and platform.machine() in ("i386", "i486", "i586", "i686", "x86_64"),
                         reason="32-bit x86 quiets signalling NaNs in transit")


@pytest.mark.parametrize("data, bits", [
    ("f97e01", 0x7FF8040000000000), pytest.param("f97c01", 0x7FF0040000000000, marks=X87),
    ("f9fe00", 0xFFF8000000000000), ("fa7fc00001", 0x7FF8000020000000),
    pytest.param("fa7f800001", 0x7FF0000020000000, marks=X87),
    pytest.param("fb7ff0000000000001", 0x7FF0000000000001, marks=X87),
])
def test_nan_payloads_are_widened_bit_for_bit(data, bits):
    assert struct.unpack(">Q", struct.pack(">d", loads(h(data))))[0] == bits


@pytest.mark.parametrize("value", [
    0, -1, 2**64 - 1, -(2**63), 1.5, -0.0, math.inf, "x" * 100, "\u00fc\U00010151", b"\x00" * 40, None, True,
    [1, [2, [3, []]], {}], {"a": {"b": [1.25, None]}, 7: "seven", -8: b"", 2.5: False, None: 0},
], ids=ident)
@pytest.mark.parametrize("indefinite", [True, False])
def test_round_trip_through_dumps(value, indefinite):
    assert same(loads(dumps(value, indefinite)), value)


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview, lambda b: array.array("B", b),
                                  lambda b: memoryview(b"\x00" + b + b"\x00")[1:-1]],
                         ids=["bytes", "bytearray", "memoryview", "array", "slice"])
def test_any_contiguous_buffer(make):
    assert loads(make(h("82 61 61 01"))) == ["a", 1]


@pytest.mark.parametrize("data, error", [("x", TypeError), (None, TypeError), (1, TypeError)], ids=ident)
def test_data_must_be_a_buffer(data, error):
    with pytest.raises(error):
        loads(data)


# A whole input of one integer, false, true or null head is made without the
# walk: every width, and heads beside those that take the walk.
LONE_HEADS = [
    ("00", 0), ("17", 23), ("18 18", 24), ("18 ff", 255), ("19 0100", 256), ("19 ffff", 65535),
    ("1a 00010000", 65536), ("1a ffffffff", 2**32 - 1), ("1b 0000000100000000", 2**32),
    ("1b 7fffffffffffffff", 2**63 - 1), ("1b ffffffffffffffff", 2**64 - 1), ("20", -1), ("37", -24),
    ("38 18", -25), ("3b 7fffffffffffffff", -2**63), ("3b ffffffffffffffff", -2**64),
    ("f4", False), ("f5", True), ("f6", None), ("f3", Simple(19)), ("f7", undefined), ("f9 3c00", 1.0),
]


@pytest.mark.parametrize("data, expected", LONE_HEADS, ids=[row[0] for row in LONE_HEADS])
def test_lone_heads(data, expected):
    assert same(loads(h(data)), expected)
    assert same(loads(bytearray(h(data))), expected)


# The first and last character of each width CPython stores a str at, and
# each length of UTF-8 around the decoder's word-sized ASCII checks.
WIDE_CHARS = {"latin-1": "\u0080\u00ff", "ucs-2": "\u0100\u20ac\uffff", "ucs-4": "\U00010000\U0010ffff"}
WIDE_TEXTS = [pytest.param(pad_before * "a" + chars + pad_after * "z", id=f"{width}-{pad_before}-{pad_after}")
              for width, chars in WIDE_CHARS.items() for pad_before in (0, 1, 7, 8, 15) for pad_after in (0, 3, 9)]
WIDE_TEXTS.append(pytest.param("\u00e9\u6c34\U0001f600" * 20, id="mixed"))


def text_chunks(text, size):
    """An indefinite text of `text` in chunks of `size` characters, as bytes."""
    parts = [text[i:i + size] for i in range(0, len(text), size)]
    return b"\x7f" + b"".join(dumps(part) for part in parts) + b"\xff"


@pytest.mark.parametrize("text", WIDE_TEXTS)
def test_texts_are_made_at_their_width(text):
    # A str made at the wrong width, or with the wrong length, is not equal.
    assert same(loads(dumps(text)), text)
    assert same(loads(dumps({text: [text]})), {text: [text]})
    record = {"k": text, text: 1, "z" * 20: text}
    assert same(loads(dumps(record, indefinite=False)), record)
    for size in (1, 2, 5):
        assert same(loads(text_chunks(text, size)), text)
    assert same(loads(b"\x7f\x61a" + dumps(text[-1]) + b"\xff"), "a" + text[-1])


# Long texts skip their runs of ASCII by blocks: one character of another
# width, or one bad sequence, at every place in and around a block, and
# lengths on both sides of where a text counts as long.
LONG_LENGTHS = (255, 256, 257, 1000)
LONG_PLACES = [*range(0, 70), 127, 128, 200]


def long_text(length, place, char):
    return "a" * place + char + "b" * (length - place - 1)


@pytest.mark.parametrize("length", LONG_LENGTHS)
def test_long_texts_with_one_wide_character(length):
    for char in ("\u00e9", "\u20ac", "\U0001f600"):
        for place in LONG_PLACES + [length - 1]:
            text = long_text(length, place, char)
            assert same(loads(dumps(text)), text), (char, place)
    runs = "".join("x" * (i % 37) + "\u00e9\u0436"[i % 2] for i in range(length // 10))
    assert same(loads(dumps(runs)), runs)


@pytest.mark.parametrize("length", LONG_LENGTHS)
def test_long_texts_with_one_bad_sequence(length):
    # A lone lead byte, a lone continuation, an encoded surrogate, a byte
    # never in UTF-8, and a cut sequence at the very end.
    for bad in (b"\xc3", b"\x80", b"\xed\xa0\x80", b"\xff"):
        for place in LONG_PLACES + [length - len(bad)]:
            payload = b"a" * place + bad + b"b" * (length - place - len(bad))
            data = bytes([0x79]) + len(payload).to_bytes(2, "big") + payload
            with raises_exact(CBORDecodeError, decode_error("invalid UTF-8 in text string", 0)):
                loads(data)
            with raises_exact(CBORDecodeError, decode_error("invalid UTF-8 in text string", 1)):
                loads(b"\x81" + data)


# Long texts with letters past ASCII are checked 16 bytes at a time, each
# byte against the one before it: every sequence of up to three bytes drawn
# from the bytes where UTF-8's rules change, and four-byte leads with their
# continuations, across the blocks' edges and at the very end, as Python's
# own strict decoder judges them.
EDGE_BYTES = bytes([0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1,
                    0xED, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF])


def edge_sequences():
    yield from (bytes([a]) for a in EDGE_BYTES)
    yield from (bytes([a, b]) for a in EDGE_BYTES for b in EDGE_BYTES)
    yield from (bytes([a, b, c]) for a in EDGE_BYTES for b in EDGE_BYTES for c in EDGE_BYTES)
    follow = bytes([0x41, 0x80, 0x8F, 0x90, 0xBF, 0xC2])
    yield from (bytes([a, b, c, d]) for a in b"\xf0\xf1\xf4\xf5" for b in follow for c in follow for d in follow)


@pytest.mark.parametrize("before", [253, 254, 256, 269], ids=lambda n: f"{n} bytes before")
def test_long_texts_checked_as_python_decodes(before):
    head = ("\u0436" * (before // 2)).encode() + b"a" * (before % 2)
    for tail in (b"", "\u0436\u65e5".encode() * 3, b"b" * 19):
        for sequence in edge_sequences():
            payload = head + sequence + tail
            data = b"\x79" + len(payload).to_bytes(2, "big") + payload
            try:
                expected = payload.decode("utf-8")
            except UnicodeDecodeError:
                with raises_exact(CBORDecodeError, decode_error("invalid UTF-8 in text string", 0)):
                    loads(data)
            else:
                assert same(loads(data), expected), sequence.hex()


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("make", [BytesSubclass, lambda b: memoryview(bytearray(b))], ids=["bytes subclass", "view"])
def test_other_inputs_than_bytes_give_what_bytes_give(make):
    for data in ("82 61 61 01", "a1 61 6b f6", "bf 61 6b 9f 01 ff ff", "c1 00"):
        assert same(loads(make(h(data))), loads(h(data)))
    with raises_exact(CBORDecodeError, decode_error(refused_key("array"), 1)):
        loads(make(h("a1 81 00 00")))


# loads(data) alone skips binding; it must decide as the options at their
# documented defaults do.
DEFAULTS = {"tag_hook": None, "object_hook": None, "max_depth": 10000, "unsafe_keys": False}
PLAIN_CALLS = [
    ("int", "01"), ("record", "a3 62 69 64 07 64 6e 61 6d 65 68 73 65 6e 73 6f 72 2d 37 62 6f 6b f5"),
    ("tag", "d8 64 01"), ("array key", "a1 81 00 00"), ("depth 10000", "81" * 10_000 + "00"),
    ("depth 10001", "81" * 10_001 + "00"), ("trailing", "01 02"), ("empty", ""), ("break", "ff"),
]


@pytest.mark.parametrize("data", [c[1] for c in PLAIN_CALLS], ids=[c[0] for c in PLAIN_CALLS])
def test_a_plain_call_decides_as_the_defaults_do(data):
    def outcome(*args, **kwargs):
        try:
            value = loads(*args, **kwargs)
        except CBORDecodeError as error:
            return "error", str(error)
        depth = 0  # deep lists are unwrapped here: == would recurse past the interpreter's limit
        while type(value) is list and len(value) == 1:
            value, depth = value[0], depth + 1
        return "value", depth, value
    plain = outcome(h(data))
    assert plain == outcome(h(data), **DEFAULTS)
    assert plain == outcome(data=h(data))


@pytest.mark.skipif(PYPY, reason="PyPy's built-in functions have no __self__")
def test_one_state_behind_every_function_and_not_made_from_python():
    state = loads.__self__
    assert load.__self__ is state and dumps.__self__ is state and dump.__self__ is state
    assert type(state).__doc__ == texts.MODULE_STATE_DOC
    with raises_exact(TypeError, "cannot create 'tavrel_cbor.ModuleState' instances"):
        type(state)()


def test_non_contiguous_buffer_is_refused():
    with pytest.raises((BufferError, TypeError, ValueError)):
        loads(memoryview(b"\x82\x01\x02\x03")[::2])


# ---- refusals: exact texts and offsets -------------------------------------------

REFUSALS = [
    ("", "truncated input", 0),
    ("18", "truncated input", 0),
    ("82 01", "truncated input: array of 2 items in 1 bytes", 0),
    ("82 01 82", "truncated input: array of 2 items in 0 bytes", 2),
    ("9f 01", "truncated input", 0),
    ("81 9f 01", "truncated input", 1),
    ("a1 01", "truncated input: map of 1 pairs in 1 bytes", 0),
    ("bf 01 02 03", "truncated input", 0),
    ("a2 01 02 03 9f", "truncated input", 4),
    ("5a 000000ff 00", "truncated input: byte string of 255 bytes needs 254 more", 0),
    ("82 00 63 6161", "truncated input: text string of 3 bytes needs 1 more", 2),
    ("5f 42 01", "truncated input: byte string of 2 bytes needs 1 more", 1),
    ("5f 41 01", "truncated input", 0),
    ("9b ffffffffffffffff", "truncated input: array of 18446744073709551615 items in 0 bytes", 0),
    ("ba 00000003 01 02 03 04", "truncated input: map of 3 pairs in 4 bytes", 0),
    ("1c", "invalid initial byte 0x1c", 0),
    ("81 5e", "invalid initial byte 0x5e", 1),
    ("1f", "invalid initial byte 0x1f", 0),
    ("3f", "invalid initial byte 0x3f", 0),
    ("df 00", "invalid initial byte 0xdf", 0),
    ("ff", "break outside an indefinite-length item", 0),
    ("82 01 ff", "break outside an indefinite-length item", 2),
    ("9f c6 ff", "break outside an indefinite-length item", 2),
    ("bf 01 ff", "break after a map key without its value", 2),
    ("5f 6161 ff", "invalid chunk 0x61 in an indefinite-length byte string", 1),
    ("7f 7f ff ff", "invalid chunk 0x7f in an indefinite-length text string", 1),
    ("5f 01 ff", "invalid chunk 0x01 in an indefinite-length byte string", 1),
    ("61 80", "invalid UTF-8 in text string", 0),
    ("62 c0 80", "invalid UTF-8 in text string", 0),
    ("63 eda080", "invalid UTF-8 in text string", 0),
    ("64 f4908080", "invalid UTF-8 in text string", 0),
    ("63 e08080", "invalid UTF-8 in text string", 0),
    # A cached key's size and first byte are no licence to skip the check.
    ("a2 62 6162 00 62 61ff 00", "invalid UTF-8 in text string", 5),
    ("7f 61 61 61 c3 ff", "invalid UTF-8 in text string", 3),
    ("7f 61 c3 61 bc ff", "invalid UTF-8 in text string", 1),
    ("f8 1f", "two-byte simple value below 32", 0),
    ("00 00", "trailing bytes after the data item", 1),
    # Beside the lone heads that skip the walk (LONE_HEADS).
    ("18 18 00", "trailing bytes after the data item", 2),
    ("f6 f6", "trailing bytes after the data item", 1),
    ("19 01", "truncated input", 0),
    ("3b 00000000000000", "truncated input", 0),
    ("3c", "invalid initial byte 0x3c", 0),
    ("82 01 02 ff", "trailing bytes after the data item", 3),
    ("a2 01 02 01 03", "duplicate map key", 3),
    ("a2 01 02 f9 3c00 03", "duplicate map key", 3),
    ("bf 6161 01 6161 02 ff", "duplicate map key", 4),
    ("a1 80 01", refused_key("array"), 1),
    ("a1 c2 41 01 01", refused_key("tag"), 1),
    ("a1 d9d9f7 01 01", refused_key("tag"), 1),
    ("a1 a0 01", "map key of type map is unhashable", 1),
    ("c2 01", "bignum needs a byte string", 0),
    ("c3 61 61", "bignum needs a byte string", 0),
    ("c0 01", "tag 0 needs an RFC 3339 date/time text string", 0),
    (date("2013-03-21"), "tag 0 needs an RFC 3339 date/time text string", 0),
    (date("2013-13-21T20:04:00Z"), "tag 0 needs an RFC 3339 date/time text string", 0),
    (date("2013-03-21T20:04:60Z"), "tag 0 needs an RFC 3339 date/time text string", 0),
    (date("2013-03-21T20:04:00"), "tag 0 needs an RFC 3339 date/time text string", 0),
    (date("2013-03-21T20:04:00.Z"), "tag 0 needs an RFC 3339 date/time text string", 0),
    (date("2013-03-21T20:04:00+24:00"), "tag 0 needs an RFC 3339 date/time text string", 0),
    (date("2013-03-21 20:04:00Z"), "tag 0 needs an RFC 3339 date/time text string", 0),
    ("c1 61 61", "tag 1 needs an integer or float", 0),
    ("c1 fb 7ff8000000000000", "epoch time out of range for tag 1", 0),
    ("c1 1b 7fffffffffffffff", "epoch time out of range for tag 1", 0),
]


@pytest.mark.parametrize("data, what, offset", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusal_text(data, what, offset):
    with raises_exact(CBORDecodeError, decode_error(what, offset)):
        loads(h(data))


def test_decode_error_is_a_value_error():
    assert issubclass(CBORDecodeError, ValueError) and CBORDecodeError.__module__ == "tavrel_cbor"


# ---- max_depth -----------------------------------------------------------------

@pytest.mark.parametrize("limit", [1, 2, 5, 100])
def test_max_depth_counts_as_dumps_does(limit):
    deepest_ok = [1]
    for _ in range(limit - 1):
        deepest_ok = [deepest_ok]
    assert loads(dumps(deepest_ok, max_depth=limit), max_depth=limit) == deepest_ok
    with raises_exact(CBORDecodeError, decode_error("nesting deeper than max_depth=%d" % limit, limit + 1)):
        loads(dumps([deepest_ok], False), max_depth=limit)


@pytest.mark.parametrize("head", ["81", "9f", "a1 00", "c6"], ids=["array", "indefinite", "map", "tag"])
def test_max_depth_counts_every_kind_of_level(head):
    data = h(head * 3 + "00" + ("ff" * 3 if head == "9f" else ""))
    assert loads(data, max_depth=3) is not None
    with pytest.raises(CBORDecodeError, match="^nesting deeper than max_depth=2 at byte"):
        loads(data, max_depth=2)


def test_default_max_depth_and_no_limit():
    deep = b"\x81" * 10_001 + b"\x00"
    with raises_exact(CBORDecodeError, decode_error("nesting deeper than max_depth=10000", 10_001)):
        loads(deep)
    value = loads(deep, max_depth=0)
    for _ in range(10_001):
        (value,) = value
    assert value == 0


def _read(data):
    return io.BytesIO(data)


# (call, exception, text): every refusal of a call before any byte is read.
CALL_REFUSALS = [
    (lambda: loads(b"\x01", None), TypeError, texts.TOO_MANY_POSITIONAL % ("loads", 2)),
    (lambda: loads(), TypeError, texts.MISSING_ARGUMENT % ("loads", "data")),
    (lambda: loads(tag_hook=None), TypeError, texts.MISSING_ARGUMENT % ("loads", "data")),
    (lambda: loads(b"\x01", depth=3), TypeError, texts.UNEXPECTED_KEYWORD % ("loads", "depth")),
    (lambda: loads(b"\x01", data=b"\x02"), TypeError, texts.REPEATED_ARGUMENT % ("loads", "data")),
    (lambda: loads(b"\x01", tag_hook=1), TypeError, texts.HOOK_NOT_CALLABLE % ("tag_hook", "int")),
    (lambda: loads(b"\x01", object_hook="f"), TypeError, texts.HOOK_NOT_CALLABLE % ("object_hook", "str")),
    (lambda: loads(b"\x01", max_depth=1.0), TypeError, texts.MAX_DEPTH_NOT_INT % "float"),
    (lambda: loads(b"\x01", max_depth="3"), TypeError, texts.MAX_DEPTH_NOT_INT % "str"),
    (lambda: loads(b"\x01", max_depth=True), TypeError, texts.MAX_DEPTH_NOT_INT % "bool"),
    (lambda: loads(b"\x01", max_depth=-1), ValueError, texts.MAX_DEPTH_NEGATIVE),
    (lambda: load(_read(b"\x01"), None), TypeError, texts.TOO_MANY_POSITIONAL % ("load", 2)),
    (lambda: load(), TypeError, texts.MISSING_ARGUMENT % ("load", "fp")),
    (lambda: load(max_depth=3), TypeError, texts.MISSING_ARGUMENT % ("load", "fp")),
    (lambda: load(_read(b"\x01"), fp=_read(b"\x01")), TypeError, texts.REPEATED_ARGUMENT % ("load", "fp")),
    (lambda: load(_read(b"\x01"), depth=3), TypeError, texts.UNEXPECTED_KEYWORD % ("load", "depth")),
    (lambda: load(_read(b"\x01"), data=b"\x02"), TypeError, texts.REPEATED_ARGUMENT % ("load", "data")),
    (lambda: load(_read(b"\x01"), max_depth=-1), ValueError, texts.MAX_DEPTH_NEGATIVE),
    (lambda: dump(1), TypeError, texts.MISSING_ARGUMENT % ("dump", "fp")),
    (lambda: dump(1, indefinite=False), TypeError, texts.MISSING_ARGUMENT % ("dump", "fp")),
    # A name without a UTF-8 form names no parameter, as any other name.
    (lambda: loads(b"\x01", **{"\ud800": 1}), TypeError, texts.UNEXPECTED_KEYWORD % ("loads", "\ud800")),
    (lambda: load(_read(b"\x01"), **{"fp\udfff": 1}), TypeError, texts.UNEXPECTED_KEYWORD % ("load", "fp\udfff")),
    # PyPy refuses these itself, in words of its own.
    *([] if PYPY else [
        (lambda: loads(b"\x01", **{1: 2}), TypeError, texts.KEYWORDS_NOT_STR),
        (lambda: load(_read(b"\x01"), **{1: 2}), TypeError, texts.KEYWORDS_NOT_STR),
    ]),
]


@pytest.mark.parametrize("call, error, text", CALL_REFUSALS, ids=[c[2] for c in CALL_REFUSALS])
def test_call_refusal_texts(call, error, text):
    with raises_exact(error, text):
        call()


DOCS = [
    (lambda: loads, texts.LOADS_TEXT_SIGNATURE, texts.LOADS_DOC),
    (lambda: load, texts.LOAD_TEXT_SIGNATURE, texts.LOAD_DOC),
    (lambda: dump, texts.DUMP_TEXT_SIGNATURE, texts.DUMP_DOC),
    (lambda: Tag, texts.TAG_TEXT_SIGNATURE, texts.TAG_DOC),
    (lambda: Simple, texts.SIMPLE_TEXT_SIGNATURE, texts.SIMPLE_DOC),
    (lambda: type(undefined), None, texts.UNDEFINED_DOC),
    (lambda: CBORDecodeError, None, texts.DECODE_ERROR_DOC),
]


@pytest.mark.parametrize("obj, signature, doc", DOCS, ids=["loads", "load", "dump", "Tag", "Simple", "undefined",
                                                          "CBORDecodeError"])
def test_docstrings_and_signatures(obj, signature, doc):
    obj = obj()
    if PYPY:
        # PyPy keeps a type's text signature in its __doc__.
        assert obj.__doc__ in (doc, "%s%s\n--\n\n%s" % (obj.__name__, signature, doc))
        return
    assert obj.__doc__ == doc
    if isinstance(obj, type) and sys.version_info < (3, 10):
        # Before 3.10 a type made by PyType_FromSpec drops its text signature.
        signature = None
    assert getattr(obj, "__text_signature__", None) == signature


def test_calls():
    assert loads(data=b"\x01") == 1
    assert loads(b"\x01", unsafe_keys=ValueError) == 1
    assert loads(b"\x01", tag_hook=None, object_hook=None, max_depth=0) == 1


# ---- hooks ---------------------------------------------------------------------

def test_tag_hook_sees_complete_values_innermost_first():
    seen = []

    def hook(number, value):
        seen.append((number, value))
        return ("hooked", number)

    assert loads(h("c6 82 c7 01 a1 61 61 c8 80"), tag_hook=hook) == ("hooked", 6)
    assert seen == [(7, 1), (8, []), (6, [("hooked", 7), {"a": ("hooked", 8)}])]


def test_tag_hook_is_not_called_for_the_tags_loads_knows():
    calls = []
    value = loads(h("84 c2 41 01 d9d9f7 02 c1 00 c0 74 323031332d30332d32315432303a30343a30305a"),
                  tag_hook=lambda n, v: calls.append(n))
    assert value[:2] == [1, 2] and calls == []


def test_object_hook_sees_complete_dicts_innermost_first():
    seen = []

    def hook(d):
        seen.append(dict(d))
        return len(seen)

    assert loads(h("a2 61 61 a1 61 62 01 61 63 80"), object_hook=hook) == 2
    assert seen == [{"b": 1}, {"a": 1, "c": []}]


class Boom(Exception):
    pass


@pytest.mark.parametrize("option", ["tag_hook", "object_hook"])
def test_a_hook_error_propagates_unchanged(option):
    error = Boom("from the hook")

    def hook(*args):
        raise error

    with pytest.raises(Boom) as caught:
        loads(h("82 c6 a0 c6 a0"), **{option: hook})
    assert caught.value is error


def test_hooks_may_reenter_loads():
    inner = dumps({"x": [1, 2]})

    def hook(number, value):
        return loads(value, tag_hook=hook, object_hook=lambda d: sorted(d)) if number == 24 else value

    nested = b"\xd8\x18" + dumps(b"\xd8\x18" + dumps(inner, False)[0:0] + dumps(inner), False)
    assert loads(nested, tag_hook=hook) == ["x"]


def test_a_hook_cannot_resize_the_input_under_loads():
    data = bytearray(h("83 c6 01 c6 02 63 616263"))
    errors = []

    def hook(number, value):
        try:
            data.clear()
        except BufferError as err:
            errors.append(err)
            data[6] = 0x64  # in place: allowed, and read as it is now
        return value

    result = loads(data, tag_hook=hook)
    if PYPY:
        # PyPy lets a held bytearray resize: loads reads from its own copy.
        assert result == [1, 2, "abc"] and data == bytearray()
    else:
        assert result == [1, 2, "dbc"] and len(errors) == 2
        data.clear()  # released once loads returned


def test_a_hook_raising_during_a_map_leaks_nothing_visible():
    def hook(d):
        if "stop" in d:
            raise Boom()
        return d

    with pytest.raises(Boom):
        loads(h("82 a1 61 61 01 a1 64 73746f70 f5"), object_hook=hook)
    assert loads(h("a1 61 61 01"), object_hook=hook) == {"a": 1}


# ---- map keys ------------------------------------------------------------------

SAFE_KEYS = [
    ("6161", "a"), ("4101", b"\x01"), ("00", 0), ("3bffffffffffffffff", -(2**64)), ("f93e00", 1.5),
    ("f4", False), ("f6", None), ("f7", undefined), ("f0", Simple(16)), ("f8ff", Simple(255)),
]


@pytest.mark.parametrize("key, expected", SAFE_KEYS, ids=[k[0] for k in SAFE_KEYS])
def test_keys_that_always_work(key, expected):
    (got,) = loads(h("a1" + key + "00"))
    assert same(got, expected)


@pytest.mark.parametrize("key, expected", [
    ("82 01 82 02 03", (1, (2, 3))), ("80", ()), ("c2 42 0100", 256), ("c6 61 61", Tag(6, "a")),
    ("c1 00", datetime.datetime(1970, 1, 1, tzinfo=UTC)), ("d9d9f7 01", 1),
], ids=ident)
def test_unsafe_keys_lets_arrays_and_tags_in(key, expected):
    (got,) = loads(h("a1" + key + "f6"), unsafe_keys=True)
    assert same(got, expected)


@pytest.mark.parametrize("key, what", [
    ("81 a0", "unhashable map key"), ("c6 80", "unhashable map key"), ("a0", "map key of type map is unhashable"),
], ids=ident)
def test_unhashable_keys_even_when_unsafe(key, what):
    with raises_exact(CBORDecodeError, decode_error(what, 1)):
        loads(h("a1" + key + "00"), unsafe_keys=True)


@pytest.mark.parametrize("level", ["81", "c6", "82 00"], ids=["array", "tag", "pair"])
def test_unsafe_keys_nest_at_most_100_levels(level):
    def key(depth):
        return h(level) * depth + b"\x00"

    (ok,) = loads(b"\xa1" + key(100) + b"\x00", unsafe_keys=True)
    for _ in range(100):
        assert type(ok) in (tuple, Tag)
        ok = ok[-1] if type(ok) is tuple else ok.value
    assert ok == 0
    with raises_exact(CBORDecodeError, decode_error("map key nested more than 100 levels deep", 1)):
        loads(b"\xa1" + key(101) + b"\x00", unsafe_keys=True, max_depth=0)


def test_deep_tags_are_freed_and_hashed_without_exhausting_the_stack():
    def deep():
        value = loads(b"\xc6" * 200_000 + b"\x00", max_depth=0)
        with pytest.raises(RecursionError):
            hash(value)
        del value
        return True

    assert in_small_thread(deep)


# Pairs before a refused key, of every shape the error's offset must be
# counted past: each head width, indefinite strings and containers, nested
# and empty ones, tags, floats and simple values.
PAIRS_BEFORE = [
    ("18ff", "190100"), ("1a00010000", "1b0000000100000000"), ("3818", "3b0000000100000000"),
    ("626162", "5f 4101 420203 ff"), ("7f 6161 626262 ff", "00"), ("5f ff", "7f ff"),
    ("01", "9f 9f 01 ff bf 6161 02 ff ff"), ("02", "82 a1 01 02 c6 81 f5"), ("03", "f93c00"),
    ("04", "fa3f800000"), ("05", "fb3ff0000000000000"), ("06", "f820"), ("07", "d9d9f7 c6 00"),
    ("08", "a0"), ("09", "80"), ("0a", "40"), ("0b", "60"), ("0c", "5820" + "00" * 32),
    ("0d", "7900" + "20" + "61" * 32), ("f4", "bf ff"), ("f6", "9f ff"), ("f7", "c2 40"),
]


@pytest.mark.parametrize("key, value", PAIRS_BEFORE, ids=ident)
@pytest.mark.parametrize("framing", ["definite", "indefinite"])
def test_a_refused_key_is_named_past_every_kind_of_item(key, value, framing):
    def in_map(*pairs):
        if framing == "indefinite":
            return b"\xbf" + b"".join(pairs) + b"\xff"
        return bytes([0xA0 + len(pairs)]) + b"".join(pairs)

    first, pair = h("617a 00"), h(key + value)
    with raises_exact(CBORDecodeError, decode_error("duplicate map key", 1 + len(first) + len(pair))):
        loads(in_map(first, pair, first))
    with raises_exact(CBORDecodeError, decode_error("unhashable map key", 1 + len(pair))):
        loads(in_map(pair, h("81 a0 00")), unsafe_keys=True)


def test_true_and_one_are_the_same_key():
    with raises_exact(CBORDecodeError, decode_error("duplicate map key", 3)):
        loads(h("a2 01 00 f5 00"))


@pytest.mark.parametrize("n", range(34))
def test_ascii_text_of_every_short_length(n):
    # Short texts are copied in words that overlap: each byte must land once, in place.
    text = "".join(chr(0x21 + i) for i in range(n))
    encoded = bytes([0x60 + n]) if n < 24 else bytes([0x78, n])
    encoded += text.encode()
    assert loads(encoded) == text
    assert loads(b"\xa1" + encoded + b"\x00") == {text: 0}


def test_many_keys_through_the_key_cache():
    # More distinct keys than the cache holds, some sharing prefixes and
    # lengths, some past its size limit, some not ASCII.
    keys = ["k%d" % i for i in range(5000)] + ["x" * n for n in range(1, 70)] + ["\u00e9%d" % i for i in range(300)]
    records = [{k: i for i, k in enumerate(keys[j::7])} for j in range(7)]
    assert loads(dumps(records * 3)) == records * 3
    assert all(type(k) is str for k in loads(dumps(records))[0])


@pytest.mark.parametrize("size", [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33],
                         ids=lambda n: "%d bytes" % n)
def test_cached_keys_are_told_apart_by_every_byte(size):
    # Keys of one size differing in one byte each, at every place: a cache
    # that compared only part of a key would hand one out for another.
    base = "k" * size
    keys = [base] + [base[:i] + "x" + base[i + 1:] for i in range(size)] + [base[:-1] + "\u00e9"]
    record = {k: i for i, k in enumerate(keys)}
    for _ in range(2):  # the second pass finds every key cached
        assert list(loads(dumps(record)).items()) == list(record.items())


BIG = dumps([{"k": [i]} for i in range(2000)])


@pytest.mark.parametrize("enabled", [True, False], ids=["enabled", "disabled"])
@pytest.mark.parametrize("data", [BIG, BIG[:-3]], ids=["whole", "cut short"])
def test_the_collector_is_left_as_it_was(enabled, data):
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        try:
            loads(data)
        except CBORDecodeError:
            pass
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


# From 3.12 on the collector runs from the eval loop only: the collection a
# large decode makes due runs just after it, whatever loads does.
@pytest.mark.skipif(PYPY or not (3, 10) <= sys.version_info < (3, 12),
                    reason="CPython 3.10 and 3.11, whose allocations start collections")
def test_no_collection_runs_inside_a_large_decode():
    runs = []

    def count(phase, info):
        if phase == "start":
            runs.append(info["generation"])

    assert gc.isenabled()
    gc.callbacks.append(count)
    try:
        loads(BIG)
    finally:
        gc.callbacks.remove(count)
    assert runs == []


@pytest.mark.parametrize("option", ["tag_hook", "object_hook"])
def test_hooks_run_with_the_collector_on(option):
    seen = []

    def hook(*args):
        seen.append(gc.isenabled())
        return args[-1]

    assert gc.isenabled()
    data = BIG[:1] + h("c6 00") + BIG[1:]
    loads(data, **{option: hook})
    assert seen and all(seen)


def test_dates_in_a_large_decode():
    data = BIG[:1] + h("c0 74") + b"2020-01-02T03:04:05Z" + h("c1 00") + BIG[1:]
    value = loads(data)
    assert value[:2] == [datetime.datetime(2020, 1, 2, 3, 4, 5, tzinfo=UTC), datetime.datetime(1970, 1, 1, tzinfo=UTC)]
    assert gc.isenabled()


# ---- the types -----------------------------------------------------------------

def test_tag():
    tag = Tag(6, "x")
    assert (tag.number, tag.value) == (6, "x") and repr(tag) == "Tag(6, 'x')"
    assert tag == Tag(6, "x") and tag != Tag(7, "x") and tag != Tag(6, "y") and tag != (6, "x")
    assert hash(tag) == hash(Tag(6, "x")) and len({tag, Tag(6, "x")}) == 1
    with pytest.raises(AttributeError):
        tag.value = 1
    with pytest.raises(TypeError):
        hash(Tag(6, []))
    assert pickle.loads(pickle.dumps(Tag(2**64 - 1, [1]))) == Tag(2**64 - 1, [1])
    for bad in (-1, 2**64, "6", 1.0):
        with pytest.raises((TypeError, ValueError)):
            Tag(bad, None)


def test_simple():
    assert Simple(16).value == 16 and repr(Simple(16)) == "Simple(16)"
    assert Simple(16) == Simple(16) and Simple(16) != Simple(17) and Simple(16) != 16
    assert len({Simple(16), Simple(16), Simple(17)}) == 2
    assert pickle.loads(pickle.dumps(Simple(99))) == Simple(99)
    with pytest.raises(AttributeError):
        Simple(1).value = 2
    for bad in (-1, 256, "1"):
        with pytest.raises((TypeError, ValueError)):
            Simple(bad)


def test_undefined():
    assert repr(undefined) == "undefined" and not undefined and loads(b"\xf7") is undefined
    assert pickle.loads(pickle.dumps(undefined)) is undefined
    assert type(undefined).__name__ == "UndefinedType"
    with pytest.raises(TypeError):
        type(undefined)()


# ---- load and dump -------------------------------------------------------------

def test_dump_then_load():
    out = io.BytesIO()
    assert dump({"a": [1, 2]}, out) is None
    dump([1], out, False)
    dump([1], fp=out, indefinite=False, max_depth=1)
    assert out.getvalue() == dumps({"a": [1, 2]}) + h("8101") * 2
    assert load(io.BytesIO(h("c6 a0")), tag_hook=lambda n, v: n, object_hook=len) == 6
    assert load(fp=io.BytesIO(h("81 01"))) == [1]
    assert load(max_depth=1, fp=io.BytesIO(h("81 01"))) == [1]
    with raises_exact(CBORDecodeError, decode_error("nesting deeper than max_depth=1", 2)):
        load(max_depth=1, fp=io.BytesIO(h("81 81 01")))
    with raises_exact(CBORDecodeError, decode_error("trailing bytes after the data item", 2)):
        load(io.BytesIO(h("8101 8101")))


@pytest.mark.skipif(PYPY, reason="PyPy's extension functions carry no text signature")
def test_signatures():
    import inspect

    assert str(inspect.signature(loads)) == \
        "(data, *, tag_hook=None, object_hook=None, max_depth=10000, unsafe_keys=False)"
    assert str(inspect.signature(dump)) == "(value, fp, indefinite=True, max_depth=0)"
    assert tavrel_cbor.dumps.__name__ == "dumps"
