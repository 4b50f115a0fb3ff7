import math
import struct
import subprocess
import sys

import pytest

from support.codec_ffi import DECODERS, U64, Reader, bare, decode_all, fitem, item, sitem
from support.helpers import child_env
from support.texts import UNIMPLEMENTED_CODE

QNAN, QNAN_NEG = 0x7FF8000000000000, 0xFFF8000000000000
F32_01 = struct.unpack(">f", bytes.fromhex("3dcccccd"))[0]

RESERVED = ([b for base in (0x00, 0x20) for b in range(base + 0x1C, base + 0x20)]
            + [b for base in (0x40, 0x60, 0x80, 0xA0, 0xE0) for b in range(base + 0x1C, base + 0x1F)]
            + list(range(0xDC, 0xE0)))
UNIMPLEMENTED = list(range(0xE0, 0xF4)) + [0xF8]

DECODE_TABLE = [
    # unsigned and negative integers, every width
    ("00", [item(0x00, 0)]), ("17", [item(0x17, 23)]), ("18ff", [item(0x18, 255)]),
    ("190100", [item(0x19, 256)]), ("1a01020304", [item(0x1A, 0x01020304)]),
    ("1b0102030405060708", [item(0x1B, 0x0102030405060708)]),
    ("1bffffffffffffffff", [item(0x1B, U64)]),
    ("20", [item(0x20, -1)]), ("37", [item(0x37, -24)]), ("3818", [item(0x38, -25)]),
    ("38ff", [item(0x38, -256)]), ("390100", [item(0x39, -257)]),
    ("3a00010000", [item(0x3A, -65537)]),
    ("3b7fffffffffffffff", [item(0x3B, -2 ** 63)]),
    ("3b8000000000000000", [item(0x3B, 2 ** 63 - 1)]),
    ("3bffffffffffffffff", [item(0x3B, 0)]),
    # strings: payload copies, text with its extra zero byte
    ("43616263", [sitem(0x43, b"abc")]), ("63616263", [sitem(0x63, b"abc")]),
    ("620041", [sitem(0x62, b"\x00A")]), ("60", [sitem(0x60, b"")]),
    ("62fffe", [sitem(0x62, b"\xff\xfe")]),
    ("5818" + "ab" * 24, [sitem(0x58, b"\xab" * 24)]),
    ("590003616263", [sitem(0x59, b"abc")]), ("5a00000003616263", [sitem(0x5A, b"abc")]),
    ("5b0000000000000003616263", [sitem(0x5B, b"abc")]),
    ("7803616263", [sitem(0x78, b"abc")]), ("790003616263", [sitem(0x79, b"abc")]),
    ("7a00000003616263", [sitem(0x7A, b"abc")]),
    ("7b0000000000000003616263", [sitem(0x7B, b"abc")]),
    ("416101", [sitem(0x41, b"a"), item(0x01, 1)]),
    # arrays and maps report their count only
    ("80", [item(0x80, count=0)]), ("97", [item(0x97, count=23)]),
    ("9818", [item(0x98, count=24)]), ("990100", [item(0x99, count=256)]),
    ("9a00010000", [item(0x9A, count=65536)]),
    ("9b0000000100000000", [item(0x9B, count=2 ** 32)]),
    ("a0", [item(0xA0, count=0)]),
    ("a10102", [item(0xA1, count=1), item(0x01, 1), item(0x02, 2)]),
    ("b818", [item(0xB8, count=24)]), ("b90100", [item(0xB9, count=256)]),
    ("ba00010000", [item(0xBA, count=65536)]),
    ("bb7fffffffffffffff", [item(0xBB, count=2 ** 63 - 1)]),
    # tags: the tagged item is the next record
    ("c11a00000001", [item(0xC1), item(0x1A, 1)]), ("c0", [item(0xC0)]), ("d7", [item(0xD7)]),
    ("d82001", [item(0xD8, 32), item(0x01, 1)]), ("d90100", [item(0xD9, 256)]),
    ("da00010000", [item(0xDA, 65536)]), ("db0000000100000000", [item(0xDB, 2 ** 32)]),
    ("dbffffffffffffffff", [item(0xDB, U64)]),
    # half precision
    ("f93c00", [fitem(0xF9, 1.0)]), ("f93e00", [fitem(0xF9, 1.5)]),
    ("f9c000", [fitem(0xF9, -2.0)]), ("f93555", [fitem(0xF9, 1365 / 4096)]),
    ("f90001", [fitem(0xF9, 2 ** -24)]), ("f98001", [fitem(0xF9, -2 ** -24)]),
    ("f903ff", [fitem(0xF9, 6.097555160522461e-05)]), ("f90400", [fitem(0xF9, 2 ** -14)]),
    ("f97bff", [fitem(0xF9, 65504.0)]), ("f97c00", [fitem(0xF9, math.inf)]),
    ("f9fc00", [fitem(0xF9, -math.inf)]), ("f98000", [fitem(0xF9, -0.0)]),
    ("f97e00", [item(0xF9, QNAN)]), ("f9fe00", [item(0xF9, QNAN_NEG)]),
    ("f97c01", [item(0xF9, QNAN)]), ("f9ffff", [item(0xF9, QNAN_NEG)]),
    # single and double precision
    ("fa3f800000", [fitem(0xFA, 1.0)]), ("fa7f800000", [fitem(0xFA, math.inf)]),
    ("faff800000", [fitem(0xFA, -math.inf)]), ("fa7ffc0000", [item(0xFA, QNAN)]),
    ("fa7fc00000", [item(0xFA, QNAN)]), ("faffc00000", [item(0xFA, QNAN_NEG)]),
    ("fa00000001", [fitem(0xFA, 2 ** -149)]), ("fa3dcccccd", [fitem(0xFA, F32_01)]),
    ("fa7f7fffff", [fitem(0xFA, 3.4028234663852886e+38)]), ("fa80000000", [fitem(0xFA, -0.0)]),
    ("fb3ff0000000000000", [fitem(0xFB, 1.0)]), ("fb8000000000000000", [fitem(0xFB, -0.0)]),
    ("fb7ff8000000000123", [item(0xFB, 0x7FF8000000000123)]),
    ("fbfff0000000000000", [fitem(0xFB, -math.inf)]), ("fb0000000000000001", [fitem(0xFB, 5e-324)]),
    # simple values, indefinite heads, break
    ("f4f5f6f7", [item(0xF4), item(0xF5), item(0xF6), item(0xF7)]),
    ("5f7f9fbfff", [sitem(0x5F, None, -1), sitem(0x7F, None, -1), item(0x9F, count=-1),
                    item(0xBF, count=-1), item(0xFF)]),
] + [("%02x" % b, [bare(b)]) for b in RESERVED]


@pytest.mark.parametrize("data, expected", DECODE_TABLE, ids=[d[0][:24] for d in DECODE_TABLE])
def test_decode_table(data, expected, capfd):
    assert decode_all(bytes.fromhex(data)) == (expected, None)
    assert capfd.readouterr() == ("", "")  # reserved codes print nothing


def test_single_signalling_nan_widens_to_a_quiet_nan():
    (rec,), _ = decode_all(bytes.fromhex("fa7f800001"))
    assert (rec["raw"] >> 52) == 0x7FF and rec["raw"] & (1 << 51)


def test_empty_byte_string():
    (rec,), failed = decode_all(b"\x40")
    assert failed is None and (rec["mt"], rec["count"]) == (2, 0)


@pytest.mark.parametrize("code", UNIMPLEMENTED, ids="{:02x}".format)
def test_unimplemented_code_prints_one_line(code, capfd):
    assert decode_all(bytes([code])) == ([bare(code)], None)
    assert capfd.readouterr() == ("", UNIMPLEMENTED_CODE % code)


def test_simple_value_byte_after_f8_is_an_item_of_its_own(capfd):
    assert decode_all(bytes.fromhex("f820e0f3")) == (
        [bare(0xF8), item(0x20, -1), bare(0xE0), bare(0xF3)], None)
    assert capfd.readouterr().err == "".join(UNIMPLEMENTED_CODE % c for c in (0xF8, 0xE0, 0xF3))


# (encoding, end of head): a prefix that stops inside the argument bytes fails
# one byte past the initial byte; one that stops in a string payload fails just
# past the head. Floats count their bytes as argument.
TRUNCATABLE = [
    ("1818", 2), ("190100", 3), ("1a01020304", 5), ("1b0102030405060708", 9),
    ("3818", 2), ("390100", 3), ("3a00010000", 5), ("3b7fffffffffffffff", 9),
    ("43616263", 1), ("63616263", 1), ("5803616263", 2), ("790003616263", 3),
    ("5a00000003616263", 5), ("7b0000000000000003616263", 9), ("7818" + "61" * 24, 2),
    ("9818", 2), ("990100", 3), ("9a00000001", 5), ("9b0000000000000001", 9),
    ("b818", 2), ("b90100", 3), ("ba00000001", 5), ("bb0000000000000001", 9),
    ("f93c00", 3), ("fa3f800000", 5), ("fb3ff0000000000000", 9),
]


@pytest.mark.parametrize("data, head", TRUNCATABLE)
def test_every_prefix_fails_at_the_documented_cursor(data, head, capfd):
    data = bytes.fromhex(data)
    assert decode_all(data)[1] is None
    for k in range(1, len(data)):
        assert decode_all(data[:k]) == ([], 1 if k < head else head), k
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("data", ["d8", "d901", "da000001", "db00000000000001"])
def test_tag_with_missing_number_bytes_fails(data):
    recs, failed = decode_all(bytes.fromhex(data))
    assert recs == [] and failed is not None


@pytest.mark.parametrize("data, head", [
    ("5b0000000100000000616263", 9), ("5b8000000000000000616263", 9),
    ("5bffffffffffffffff616263", 9), ("7b0000000100000000616263", 9),
    ("7b8000000000000000616263", 9), ("7bffffffffffffffff616263", 9),
    ("5affffffff616263", 5), ("7affffffff616263", 5), ("5a00000004616263", 5),
    ("446162", 1),
])
def test_declared_length_beyond_input_fails(data, head):
    data = bytes.fromhex(data)
    assert decode_all(data) == ([], head)
    r = Reader(data)
    rc, rec = r.call(_string_decoder(data[0]))
    assert (rc, rec["payload"], r.offset) == (-1, None, head)
    r.close()


def _string_decoder(initial):
    kind = "byte_string" if initial < 0x60 else "text_string"
    ai = initial & 0x1F
    return f"cbor_parse_{kind}_" + ("small" if ai < 24 else "uint%d" % (8 << (ai - 24)))


@pytest.mark.parametrize("decoder, data, rc, expected, offset", [
    # the _small decoders take the low five bits whatever the high three are
    ("cbor_parse_uint_small", "e5", 0, item(0xE5, 5), 1),
    ("cbor_parse_negint_small", "05", 0, item(0x05, -6), 1),
    ("cbor_parse_array_small", "e3", 0, item(0xE3, count=3), 1),
    ("cbor_parse_uint16", "190100", 0, item(0x19, 256), 3),
    ("cbor_parse_uint32", "1a0102", -1, None, 1),
    ("cbor_parse_text_string_uint8", "780561", -1, None, 2),
    ("cbor_parse_float16", "f93c", -1, None, 1),
    ("cbor_parse_float64", "fb3ff00000000000", -1, None, 1),
])
def test_direct_decoder_calls(decoder, data, rc, expected, offset):
    r = Reader(bytes.fromhex(data))
    got_rc, rec = r.call(decoder)
    assert (got_rc, r.offset) == (rc, offset)
    if expected is not None:
        assert rec == expected
    r.close()


def test_decoders_ignore_the_records_type_fields():
    r = Reader(bytes.fromhex("190100"))
    assert r.call("cbor_parse_uint16", preset=False) == (0, item(0x00, 256))
    r.close()


@pytest.mark.parametrize("decoder", DECODERS)
def test_decoder_on_exhausted_parser_fails_without_moving(decoder):
    r = Reader(b"\x01")
    assert r.next() == item(0x01, 1)
    assert r.call(decoder, preset=False)[0] == -1
    assert r.offset == 1
    r.close()


def test_reader_stays_inside_the_buffer():
    """Inputs placed flush against inaccessible pages, decoded in a child
    process: any read outside buffer..buffer+length kills it."""
    inputs = sorted({"%02x" % b for b in range(256)} | {d for d, _ in DECODE_TABLE}
                    | {d[:2 * k] for d, _ in TRUNCATABLE for k in range(1, len(d) // 2 + 1)}
                    | {"5bffffffffffffffff616263", "7bffffffffffffffff616263",
                       "7b0000000100000000616263", "5affffffff616263"})
    code = "import sys; from support import codec_ffi; codec_ffi.guarded_walk(sys.stdin.read().split())"
    proc = subprocess.run([sys.executable, "-c", code], input=" ".join(inputs), env=child_env(),
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "checked %d" % (2 * len(inputs))


def test_null_parser_or_record_fails_without_reading():
    code = "from support import codec_ffi; codec_ffi.null_calls()"
    proc = subprocess.run([sys.executable, "-c", code], env=child_env(), capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    # -1 with a NULL parser (record untouched), -1 with a NULL record
    # (cursor and flag untouched), and no diagnostic line.
    assert proc.stdout.splitlines() == ["%s -1 True -1 0 0" % name for name in DECODERS]
    assert proc.stderr == ""
