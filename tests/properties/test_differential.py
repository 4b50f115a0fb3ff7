"""dumps against the reference model on seeded random trees, and the
binding's float path against the exported cbor_write_float."""
import ctypes
import random
import struct

import pytest

import tavrel_cbor
from support import codec_ffi, model
from support.model import bits_of as double_bits
from support.model import from_bits as bits_to_double
from support.texts import depth_error


def random_bytes(rng, n):
    return bytes(rng.getrandbits(8) for _ in range(n))


def random_double(rng):
    kind = rng.randrange(8)
    if kind == 0:
        return bits_to_double(rng.getrandbits(64))
    if kind == 1:  # every exponent, random mantissa
        return bits_to_double(rng.getrandbits(1) << 63 | rng.randrange(2048) << 52 | rng.getrandbits(52))
    if kind == 2:  # exact in single
        return struct.unpack("<f", struct.pack("<I", rng.getrandbits(32)))[0]
    if kind == 3:  # exact in half
        return struct.unpack("<e", struct.pack("<H", rng.getrandbits(16)))[0]
    if kind == 4:  # just off a half: one extra mantissa bit
        h = struct.unpack("<e", struct.pack("<H", rng.getrandbits(15)))[0]
        return bits_to_double(double_bits(h) + rng.choice([1, 1 << 28, 1 << 41]))
    if kind == 5:  # single and half subnormals
        return bits_to_double(rng.getrandbits(1) << 63 | (rng.randrange(873, 920) << 52) | rng.getrandbits(52))
    if kind == 6:  # NaN payloads and infinities
        return bits_to_double(rng.getrandbits(1) << 63 | 0x7FF << 52 | rng.getrandbits(52))
    return rng.choice([0.0, -0.0, 65504.0, 65520.0, 2.0**-24, 2.0**-14, 2.0**-149, 2.0**128, 3.4028234663852886e38])


def random_tree(rng, depth=0):
    kind = rng.randrange(11 if depth < 5 else 7)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind == 1:
        return rng.choice([rng.randrange(-30, 30), rng.randrange(-(2**63), 2**64), 2**64 - 1, -(2**63)])
    if kind == 2:
        return random_double(rng)
    if kind == 3:
        return "".join(chr(rng.choice([rng.randrange(32, 127), rng.randrange(0xA0, 0xD7FF)]))
                       for _ in range(rng.randrange(40)))
    if kind == 4:
        return random_bytes(rng, rng.choice([0, 1, 23, 24, 255, 256, 1000]))
    if kind in (5, 6):
        return rng.choice([None, rng.randrange(10)])
    if kind in (7, 8):
        return [random_tree(rng, depth + 1) for _ in range(rng.choice([0, 1, 5, 23, 24]))]
    if kind == 9:
        return tuple(random_tree(rng, depth + 1) for _ in range(rng.randrange(4)))
    return {rng.choice([rng.randrange(50), str(rng.random()), (1, 2)]): random_tree(rng, depth + 1)
            for _ in range(rng.randrange(6))}


def outcome(fn, *args):
    """The bytes, or the text of the error: the model's depth refusal in the
    module's words."""
    try:
        return fn(*args)
    except model.DepthError as exc:
        return depth_error(exc.args[0])
    except RuntimeError as exc:
        return str(exc)


@pytest.mark.parametrize("indefinite", [True, False], ids=["indefinite", "definite"])
@pytest.mark.parametrize("max_depth", [0, 1, 3, 6])
def test_random_trees_match_reference(indefinite, max_depth):
    rng = random.Random(8000 + max_depth * 2 + indefinite)
    for _ in range(1500):
        tree = random_tree(rng)
        expected = outcome(model.encode, tree, indefinite, max_depth)
        actual = outcome(tavrel_cbor.dumps, tree, indefinite, max_depth)
        assert actual == expected, tree


def test_large_outputs_cross_every_growth_of_the_output():
    rng = random.Random(5)
    # Payloads just under, at and over the inline area, and large enough to
    # make the output grow several times.
    tree = [random_bytes(rng, n) for n in (1, 511, 512, 513, 16383, 16384, 16385, 32767, 32768, 32769, 100000)]
    tree += ["x" * 40000, list(range(70000)), [random_double(rng) for _ in range(20000)]]
    for indefinite in (True, False):
        assert tavrel_cbor.dumps(tree, indefinite) == model.encode(tree, indefinite)


def test_million_doubles_both_float_paths_agree():
    rng = random.Random(20261208)
    doubles = [random_double(rng) for _ in range(1_000_000)]
    generator = codec_ffi.new_generator()
    try:
        write = codec_ffi.lib.cbor_write_float
        for x in doubles:
            assert write(generator, x) >= 0
        exported = ctypes.string_at(generator.contents.buffer, generator.contents.length)
    finally:
        codec_ffi.lib.cbor_generator_free(generator)
    encoded = tavrel_cbor.dumps(doubles, indefinite=True)
    assert encoded[0] == 0x9F and encoded[-1] == 0xFF
    assert encoded[1:-1] == exported


def test_every_short_payload_length_and_head_width():
    # Strings are copied by length class (overlapping moves up to 32 bytes,
    # memcpy above) and their heads chosen without a branch below 256;
    # integer heads come from a table of bit lengths.  Every length and
    # every bit length, each at its edges, against the model.
    rng = random.Random(21)
    strings = []
    for n in range(300):
        ascii_text = "".join(rng.choice("ab~7") for _ in range(n))
        strings += [random_bytes(rng, n), ascii_text, "é" * (n // 2) + "z" * (n % 2)]
    ints = [0]
    for bits in range(1, 65):
        for magnitude in (1 << (bits - 1), (1 << bits) - 1, rng.getrandbits(bits) | 1 << (bits - 1)):
            ints += [magnitude, -magnitude] if magnitude <= 2**63 else [magnitude]
    for tree in (strings, ints, {s: i for s, i in zip(strings[1::3], ints)}):
        for indefinite in (True, False):
            assert tavrel_cbor.dumps(tree, indefinite) == model.encode(tree, indefinite)
