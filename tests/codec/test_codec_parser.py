import ctypes

import pytest

from support.codec_ffi import (Parser, Reader, address_of, bare, decode_all, item, jump_table, lib,
                      record, sitem)


def _expected_decoders():
    """Initial byte -> decoder name, row by row from the dispatch table."""
    rows = {}

    def fill(lo, hi, name):
        for b in range(lo, hi + 1):
            rows[b] = "cbor_parse_" + name

    for base, kind in ((0x00, "uint"), (0x20, "negint")):
        fill(base, base + 0x17, kind + "_small")
        for i, w in enumerate(("8", "16", "32", "64")):
            fill(base + 0x18 + i, base + 0x18 + i, kind + w)
        fill(base + 0x1C, base + 0x1F, "reserved")
    for base, kind in ((0x40, "byte_string"), (0x60, "text_string"), (0x80, "array"),
                       (0xA0, "map")):
        fill(base, base + 0x17, kind + "_small")
        for i, w in enumerate(("8", "16", "32", "64")):
            fill(base + 0x18 + i, base + 0x18 + i, kind + "_uint" + w)
        fill(base + 0x1C, base + 0x1E, "reserved")
        fill(base + 0x1F, base + 0x1F, kind + "_indefinite")
    fill(0xC0, 0xDB, "semantic_tag")
    fill(0xDC, 0xDF, "reserved")
    fill(0xE0, 0xF3, "unimplemented")
    for b, name in ((0xF4, "false"), (0xF5, "true"), (0xF6, "null"), (0xF7, "undefined"),
                    (0xF8, "unimplemented"), (0xF9, "float16"), (0xFA, "float32"),
                    (0xFB, "float64"), (0xFF, "break")):
        fill(b, b, name)
    fill(0xFC, 0xFE, "reserved")
    assert sorted(rows) == list(range(256))
    return rows


EXPECTED_DECODER = _expected_decoders()


@pytest.mark.parametrize("initial", range(256), ids="{:02x}".format)
def test_jump_table_row(initial):
    assert jump_table()[initial] == address_of(EXPECTED_DECODER[initial])


def test_next_val_dispatches_through_the_table():
    table = jump_table()
    saved = table[0x01]
    table[0x01] = address_of("cbor_parse_reserved")
    try:
        recs = decode_all(b"\x01\x01")
    finally:
        table[0x01] = saved
    assert recs == ([item(0x01), item(0x01)], None)
    assert decode_all(b"\x01") == ([item(0x01, 1)], None)


def test_new_parser_borrows_the_bytes():
    data = (ctypes.c_uint8 * 3)(0x01, 0x02, 0x03)
    addr = ctypes.addressof(data)
    r = Reader(b"\x00" * 3, address=addr)
    p = r.p.contents
    assert (p.buffer, p.length, p.cursor, p.in_indefinite) == (addr, 3, addr, 0)
    assert r.available == 3
    data[0] = 0x17  # not copied: the parser sees the change
    assert r.next() == item(0x17, 23)
    assert r.available == 2
    r.close()
    assert list(data) == [0x17, 0x02, 0x03]


@pytest.mark.parametrize("data, address", [(b"", None), (b"", 0)])
def test_empty_input_gives_null_at_once(data, address):
    r = Reader(data, address=address)
    assert r.next() is None
    assert (r.available, r.offset) == (0, 0)
    r.close()


def test_single_item_then_end():
    r = Reader(b"\x17")
    assert r.next() == item(0x17, 23)
    assert r.available == 0
    assert r.next() is None
    assert r.offset == 1
    r.close()


def test_missing_argument_byte_moves_past_the_initial_byte():
    r = Reader(b"\x18")
    assert r.next() is None
    assert (r.available, r.offset) == (0, 1)
    r.close()


def test_failure_is_not_rewound_and_reading_continues():
    r = Reader(bytes.fromhex("1901"))
    assert r.next() is None
    assert r.offset == 1
    assert r.next() == item(0x01, 1)
    assert r.next() is None
    r.close()


@pytest.mark.parametrize("data, expected", [
    ("f4", [item(0xF4)]), ("f5", [item(0xF5)]), ("f6", [item(0xF6)]), ("f7", [item(0xF7)]),
    ("820102", [item(0x82, count=2), item(0x01, 1), item(0x02, 2)]),
    ("5f", [sitem(0x5F, None, -1)]),
    ("7f", [sitem(0x7F, None, -1)]),
])
def test_record_sequences(data, expected):
    assert decode_all(bytes.fromhex(data)) == (expected, None)


@pytest.mark.parametrize("data, flags", [
    ("01", [0]), ("9fff", [1, 0]), ("9f9fff", [1, 1, 0]), ("5f", [1]), ("7f", [1]),
    ("bf", [1]), ("ff", [0]), ("9f01", [1, 1]), ("9f01ff01", [1, 1, 0, 0]),
    ("bf9fffff", [1, 1, 0, 0]), ("82ff9f", [0, 0, 1]), ("5f4161ff", [1, 1, 0]),
])
def test_in_indefinite_is_a_plain_flag(data, flags):
    r = Reader(bytes.fromhex(data))
    seen = []
    while r.next() is not None:
        seen.append(r.flag)
    r.close()
    assert seen == flags


def test_indefinite_records_and_break():
    recs, failed = decode_all(bytes.fromhex("9fbf5f7fff"))
    assert failed is None
    assert recs == [item(0x9F, count=-1), item(0xBF, count=-1), sitem(0x5F, None, -1),
                    sitem(0x7F, None, -1), item(0xFF)]


def test_value_record_life_cycle():
    v = lib.cbor_val_create()
    assert v
    assert record(v.contents) == item(0)
    lib.cbor_val_free(v)
    lib.cbor_val_free(None)
    lib.cbor_parser_free(None)
    assert not lib.cbor_next_val(None)


def test_record_outlives_parser_and_input():
    data = (ctypes.c_uint8 * 3)(0x62, 0x68, 0x69)
    p = lib.cbor_parser_create(ctypes.addressof(data), 3)
    v = lib.cbor_next_val(p)
    lib.cbor_parser_free(p)
    data[1] = data[2] = 0
    assert record(v.contents) == sitem(0x62, b"hi")
    lib.cbor_val_free(v)


def test_available_bytes_is_a_signed_32_bit_difference():
    backing = (ctypes.c_uint8 * 16)(*([0x01] * 16))
    addr = ctypes.addressof(backing)
    p = Parser(buffer=addr, length=10, cursor=addr + 3)
    assert lib.cbor_parser_available_bytes(ctypes.byref(p)) == 7
    p.length = 2 ** 31 + 5
    assert lib.cbor_parser_available_bytes(ctypes.byref(p)) == 2 ** 31 + 2 - 2 ** 32
    # A negative count reads as nothing left: no record, no movement.
    assert not lib.cbor_next_val(ctypes.byref(p))
    assert p.cursor == addr + 3


def test_reserved_string_codes_leave_payload_null():
    assert decode_all(bytes.fromhex("5c7e")) == ([bare(0x5C), bare(0x7E)], None)
