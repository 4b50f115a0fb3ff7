import ctypes
import math

import cbor2
import pytest

from support.codec_ffi import INDEFINITE, SIMPLE_WRITERS, SIZE_MAX, U64, buffer_address, contents, lib, write

# Argument -> head for major type 0 (RFC 8949 section 3). The other major types
# differ only in the top three bits of the initial byte.
HEADS = [
    (0, "00"), (1, "01"), (23, "17"), (24, "1818"), (255, "18ff"), (256, "190100"),
    (65535, "19ffff"), (65536, "1a00010000"), (0xFFFFFFFF, "1affffffff"),
    (0x100000000, "1b0000000100000000"), (0x0123456789ABCDEF, "1b0123456789abcdef"),
    (U64, "1bffffffffffffffff"),
]
DEFINITE_HEADS = [h for h in HEADS if h[0] != U64]
HEAD_OF = dict(HEADS)


def with_major(mt, head_hex):
    b = bytearray.fromhex(head_hex)
    b[0] |= mt << 5
    return bytes(b)


def as_int64(bits):
    bits &= U64
    return bits - 2 ** 64 if bits >= 2 ** 63 else bits


def test_new_generator_is_empty_and_frees(gen):
    assert not gen.contents.buffer
    assert gen.contents.length == 0
    lib.cbor_generator_free(None)


@pytest.mark.parametrize("arg, head", HEADS)
def test_uint_heads(arg, head):
    rc, out = write("cbor_write_uint", arg)
    assert (rc, out) == (0, bytes.fromhex(head))
    assert cbor2.loads(out) == arg


@pytest.mark.parametrize("arg, head", HEADS)
def test_negint_heads(arg, head):
    # The writer takes the negative number itself; its argument is ~value.
    rc, out = write("cbor_write_negint", as_int64(~arg))
    assert (rc, out) == (0, with_major(1, head))
    assert cbor2.loads(out) == -1 - arg


@pytest.mark.parametrize("value, expected", [
    (-1, "20"), (-24, "37"), (-25, "3818"), (-256, "38ff"), (-257, "390100"),
    (-2 ** 63, "3b7fffffffffffffff"), (0, "3bffffffffffffffff"),
])
def test_negint_examples(value, expected):
    assert write("cbor_write_negint", value) == (0, bytes.fromhex(expected))


@pytest.mark.parametrize("mt", range(8))
@pytest.mark.parametrize("arg, head", HEADS)
def test_shortest_head_every_major_type(mt, arg, head):
    assert write("_cbor_write_uint_helper", mt, arg) == (0, with_major(mt, head))


def test_shortest_head_keeps_low_eight_bits_of_major_shift():
    # 8 << 5 is 0x100; only its low 8 bits (0) reach the initial byte.
    assert write("_cbor_write_uint_helper", 8, 300) == (0, bytes.fromhex("19012c"))


@pytest.mark.parametrize("writer, mt", [("cbor_write_array", 4), ("cbor_write_map", 5)])
@pytest.mark.parametrize("arg, head", DEFINITE_HEADS)
def test_array_and_map_heads(writer, mt, arg, head):
    assert write(writer, arg) == (0, with_major(mt, head))


@pytest.mark.parametrize("writer, args, expected", [
    ("cbor_write_array", (1000,), "9903e8"),
    ("cbor_write_array", (INDEFINITE,), "9f"),
    ("cbor_write_map", (1,), "a1"),
    ("cbor_write_map", (INDEFINITE,), "bf"),
    # The data pointer is NULL: an indefinite string head must not read it.
    ("cbor_write_byte_string", (None, INDEFINITE), "5f"),
    ("cbor_write_text_string", (None, INDEFINITE), "7f"),
    ("cbor_write_text_string", (b"abc", 3), "63616263"),
    ("cbor_write_text_string", (b"", 0), "60"),
    ("cbor_write_text_string", (None, 0), "60"),
    ("cbor_write_byte_string", (b"", 0), "40"),
    ("cbor_write_text_string", (b"a\0b", 3), "63610062"),
    ("cbor_write_text_string", (b"abcdef", 2), "626162"),
    ("cbor_write_text_string", (b"\xff\xfe", 2), "62fffe"),
] + [(w, (), "%02x" % b) for w, b in zip(SIMPLE_WRITERS, (0xF4, 0xF5, 0xF6, 0xF7, 0xFF))])
def test_item_examples(writer, args, expected):
    assert write(writer, *args) == (0, bytes.fromhex(expected))


@pytest.mark.parametrize("length", [0, 1, 23, 24, 255, 256, 65535, 65536])
@pytest.mark.parametrize("writer, mt", [("cbor_write_byte_string", 2),
                                        ("cbor_write_text_string", 3)])
def test_string_heads_and_payload(writer, mt, length):
    data = bytes(0x61 + i % 26 for i in range(length))
    rc, out = write(writer, data, length)
    assert rc == 0
    assert out == with_major(mt, HEAD_OF[length]) + data
    assert cbor2.loads(out) == (data if mt == 2 else data.decode())


@pytest.mark.parametrize("initial, arg, expected", [
    (0x19, 0x12345, "192345"),   # bits above the width are dropped
    (0x05, 3, "07"),              # ORed into the initial byte, not added
    (0x19, 1, "190001"),          # a longer head than the shortest is allowed
    (0x18, 0x1FF, "18ff"),
    (0x1A, 2 ** 40 + 5, "1a00000005"),
    (0x1B, 1, "1b0000000000000001"),
    (0xF9, 0x3C00, "f93c00"),
    (0x5C, 3, "5f"),              # additional information 28: no argument bytes
    (0x00, 0x1FF, "ff"),          # kept to the low 8 bits
    (0x1F, 0, "1f"),
])
def test_uint_sized(initial, arg, expected):
    assert write("_cbor_write_uint_sized", initial, arg) == (0, bytes.fromhex(expected))


def test_sequence_of_items_accumulates(gen):
    assert lib.cbor_write_array(gen, 2) == 0
    assert lib.cbor_write_uint(gen, 1) == 0
    assert lib.cbor_write_text_string(gen, b"a", 1) == 0
    assert contents(gen) == bytes.fromhex("82016161")
    for call in (lambda: lib.cbor_write_text_string(gen, None, INDEFINITE),
                 lambda: lib.cbor_write_text_string(gen, b"ab", 2),
                 lambda: lib.cbor_write_text_string(gen, b"c", 1),
                 lambda: lib.cbor_write_break(gen)):
        assert call() == 0
    assert contents(gen) == bytes.fromhex("82016161" "7f" "626162" "6163" "ff")
    assert gen.contents.length == 11
    assert cbor2.loads(contents(gen)[4:]) == "abc"


def test_raw_appends(gen):
    assert lib._cbor_generator_write_byte(gen, 0xAB) == 0
    assert lib._cbor_generator_write_bytes(gen, b"\x00\x01\x02", 3) == 0
    assert contents(gen) == bytes.fromhex("ab000102")
    assert gen.contents.length == 4


def test_appending_zero_bytes(gen):
    assert lib._cbor_generator_write_bytes(gen, b"x", 0) == 0
    assert gen.contents.length == 0
    assert lib._cbor_generator_write_byte(gen, 0x01) == 0
    assert lib._cbor_generator_write_bytes(gen, b"x", 0) == 0
    assert lib._cbor_generator_write_bytes(gen, None, 0) == 0
    assert (gen.contents.length, contents(gen)) == (1, b"\x01")


NULL_GENERATOR_CALLS = [
    ("_cbor_generator_write_byte", (1,)),
    ("_cbor_generator_write_bytes", (b"ab", 2)),
    ("_cbor_generator_write_bytes", (b"", 0)),
    ("_cbor_write_uint_helper", (0, 1000)),
    ("_cbor_write_uint_sized", (0x1B, 1)),
    ("cbor_write_uint", (0,)),
    ("cbor_write_negint", (-1,)),
    ("cbor_write_byte_string", (b"abc", 3)),
    ("cbor_write_byte_string", (None, INDEFINITE)),
    ("cbor_write_text_string", (b"abc", 3)),
    ("cbor_write_text_string", (None, INDEFINITE)),
    ("cbor_write_array", (2,)),
    ("cbor_write_array", (INDEFINITE,)),
    ("cbor_write_map", (2,)),
    ("cbor_write_map", (INDEFINITE,)),
    ("cbor_write_float32", (1.0,)),
    ("cbor_write_float64", (1.0,)),
] + [(w, ()) for w in SIMPLE_WRITERS] + [
    ("cbor_write_float", (x,)) for x in (0.0, 1.5, 0.1, 1e300, 2.0 ** -24, math.nan,
                                          math.inf, -math.inf)]


@pytest.mark.parametrize("writer, args", NULL_GENERATOR_CALLS)
def test_null_generator_fails(writer, args):
    assert getattr(lib, writer)(None, *args) == -1


# Appends whose new length would pass SIZE_MAX must fail before touching the
# block. The generator owns a real 2-byte block; only `length` is faked.
OVERFLOWING_APPENDS = [
    (SIZE_MAX, lambda g: lib._cbor_generator_write_byte(g, 1)),
    (SIZE_MAX - 1, lambda g: lib._cbor_generator_write_bytes(g, b"ab", 2)),
    (2, lambda g: lib._cbor_generator_write_bytes(g, b"ab", SIZE_MAX - 1)),
    (2, lambda g: lib._cbor_generator_write_bytes(g, b"ab", SIZE_MAX)),
    (SIZE_MAX, lambda g: lib.cbor_write_uint(g, 0)),
    (SIZE_MAX, lambda g: lib.cbor_write_null(g)),
    (SIZE_MAX, lambda g: lib.cbor_write_float(g, 1.5)),
    (SIZE_MAX, lambda g: lib.cbor_write_float(g, math.nan)),
    (SIZE_MAX, lambda g: lib.cbor_write_float64(g, 1.5)),
]


@pytest.mark.parametrize("preset, call", OVERFLOWING_APPENDS)
def test_append_past_size_max_fails_without_writing(gen, preset, call):
    assert lib._cbor_generator_write_bytes(gen, b"\x11\x22", 2) == 0
    block = buffer_address(gen)
    gen.contents.length = preset
    try:
        rc = call(gen)
        after = (gen.contents.length, buffer_address(gen))
    finally:
        gen.contents.length = 2
    assert rc == -1
    assert after == (preset, block)
    assert contents(gen) == b"\x11\x22"


@pytest.mark.parametrize("length", [2 ** 64 - 2, 2 ** 64 - 9])
@pytest.mark.parametrize("writer, mt", [("cbor_write_byte_string", 2),
                                        ("cbor_write_text_string", 3)])
def test_string_payload_past_size_max_fails(writer, mt, length):
    # NULL data: the payload must be refused before it is read. On 64-bit the
    # head is written (no rollback); on 32-bit the length does not fit size_t
    # and nothing is written at all.
    rc, out = write(writer, None, length)
    head = with_major(mt, "1b" + length.to_bytes(8, "big").hex())
    assert (rc, out) == (-1, head if SIZE_MAX == U64 else b"")


@pytest.mark.skipif(SIZE_MAX == U64, reason="size_t holds every 64-bit length here")
@pytest.mark.parametrize("length", [2 ** 32, 2 ** 32 + 3, 2 ** 63])
@pytest.mark.parametrize("writer", ["cbor_write_byte_string", "cbor_write_text_string"])
def test_string_length_beyond_size_t_writes_nothing(writer, length):
    assert write(writer, b"abc", length) == (-1, b"")


# Sources inside the generator's own buffer: (writer, offset, count, head the
# writer puts before the copied bytes).  Each append reallocates the block,
# so the source must be read at its new address.
SELF_APPENDS = [
    ("_cbor_generator_write_bytes", 0, 40, b""),
    ("_cbor_generator_write_bytes", 7, 20, b""),
    ("_cbor_generator_write_bytes", 3, 1, b""),
    ("cbor_write_byte_string", 0, 40, b"\x58\x28"),
    ("cbor_write_byte_string", 5, 30, b"\x58\x1e"),
    ("cbor_write_text_string", 0, 40, b"\x78\x28"),
    ("cbor_write_text_string", 10, 4, b"\x64"),
]


@pytest.mark.parametrize("writer, offset, count, head", SELF_APPENDS)
def test_append_from_the_generators_own_buffer(gen, writer, offset, count, head):
    start = bytes(range(1, 41))
    assert lib._cbor_generator_write_bytes(gen, start, len(start)) == 0
    # A block allocated right behind the buffer stops realloc growing it in
    # place, so the buffer moves and the old block is freed (and reused).
    libc = ctypes.CDLL(None)
    libc.malloc.restype, libc.malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]
    blocker = libc.malloc(64)
    try:
        source = ctypes.cast(ctypes.addressof(gen.contents.buffer.contents) + offset, ctypes.c_char_p)
        rc = getattr(lib, writer)(gen, source, count)
        assert (rc, contents(gen)) == (0, start + head + start[offset:offset + count])
    finally:
        libc.free(blocker)
