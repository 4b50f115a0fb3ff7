import math
import random
import re
import struct

import cbor2
import pytest

from support.codec_ffi import lib, write
from support.model import bits_of, from_bits
from support.model import float_item as shortest
from support.tables import FLOATS

INF = math.inf


# The binding's float table: the codec's writer picks the same widths.
@pytest.mark.parametrize("x, expected", FLOATS, ids=repr)
def test_write_float_table(x, expected):
    rc, out = write("cbor_write_float", x)
    assert out == bytes.fromhex(expected)
    assert rc == (0 if math.isnan(x) or math.isinf(x) else 1)


@pytest.mark.parametrize("writer, x, expected", [
    ("cbor_write_float32", 0.1, "fa3dcccccd"),
    ("cbor_write_float32", 1.0, "fa3f800000"),
    ("cbor_write_float32", -0.0, "fa80000000"),
    ("cbor_write_float32", 1e300, "fa7f800000"),            # beyond single: infinity
    ("cbor_write_float32", -1e300, "faff800000"),
    ("cbor_write_float32", 1 + 2 ** -24, "fa3f800000"),     # tie, to even
    ("cbor_write_float32", 1 + 3 * 2 ** -24, "fa3f800002"),  # tie, to even
    ("cbor_write_float32", 2 ** -150, "fa00000000"),
    ("cbor_write_float32", 3 * 2 ** -151, "fa00000001"),
    ("cbor_write_float32", 2.0 ** 128 - 2.0 ** 103, "fa7f800000"),
    ("cbor_write_float32", 2.0 ** 128 - 2.0 ** 103 - 2.0 ** 75, "fa7f7fffff"),
    ("cbor_write_float32", INF, "fa7f800000"),
    ("cbor_write_float64", 1.0, "fb3ff0000000000000"),
    ("cbor_write_float64", -0.0, "fb8000000000000000"),
    ("cbor_write_float64", 1.5, "fb3ff8000000000000"),      # no selection
    ("cbor_write_float64", from_bits(0x7FF8000000000123), "fb7ff8000000000123"),
    ("cbor_write_float64", -INF, "fbfff0000000000000"),
])
def test_fixed_width_writers(writer, x, expected):
    assert write(writer, x) == (1, bytes.fromhex(expected))


def test_half_writer_is_not_exported():
    with pytest.raises(AttributeError, match=re.escape("cbor_write_float16")):
        getattr(lib, "cbor_write_float16")  # noqa: B009 - the lookup itself is the test


def _near(bits):
    return [from_bits((bits + d) & (2 ** 64 - 1)) for d in (-1, 0, 1)]


def _samples():
    rng = random.Random(0x7A5E1)
    out = {"bits64": [from_bits(rng.getrandbits(64)) for _ in range(1200)]}
    out["halves"] = [struct.unpack(">e", rng.getrandbits(16).to_bytes(2, "big"))[0]
                     for _ in range(700)]
    out["singles"] = [struct.unpack(">f", rng.getrandbits(32).to_bytes(4, "big"))[0]
                      for _ in range(700)]
    # Short mantissas over the whole half/single exponent range, both signs.
    out["short"] = [rng.choice((1, -1)) * rng.getrandbits(rng.randint(1, 26))
                    * 2.0 ** rng.randint(-175, 130) for _ in range(1000)]
    edges = [2 ** -14, 2 ** -15, 2 ** -24, 2 ** -25, 65504.0, 65519.99, 65520.0, 2 ** -126,
             2 ** -149, 2 ** -150, 3.4028234663852886e+38, 2.0 ** 128, 1 + 2 ** -10,
             1 + 2 ** -11, 1 + 2 ** -23, 1 + 2 ** -24, 5e-324, 1.7976931348623157e308]
    out["edges"] = [s * y for x in edges for y in _near(bits_of(x)) for s in (1, -1)]
    return out


SAMPLES = _samples()


@pytest.mark.parametrize("kind", sorted(SAMPLES))
def test_write_float_matches_model(kind):
    bad = []
    for x in SAMPLES[kind]:
        rc, out = write("cbor_write_float", x)
        want_rc = 0 if math.isnan(x) or math.isinf(x) else 1
        if (rc, out) != (want_rc, shortest(x)):
            bad.append((x.hex(), rc, out.hex(), shortest(x).hex()))
    assert not bad, f"{len(bad)} mismatches, first: {bad[:5]}"


@pytest.mark.parametrize("kind", sorted(SAMPLES))
def test_written_floats_round_trip_through_cbor2(kind):
    bad = []
    for x in SAMPLES[kind]:
        back = cbor2.loads(write("cbor_write_float", x)[1])
        same = (math.isnan(x) and math.isnan(back)) or (
            back == x and math.copysign(1, back) == math.copysign(1, x))
        if not same:
            bad.append((x.hex(), back))
    assert not bad, f"{len(bad)} mismatches, first: {bad[:5]}"


@pytest.mark.parametrize("kind", sorted(SAMPLES))
def test_fixed_width_writers_match_struct(kind):
    bad = []
    for x in SAMPLES[kind]:
        if math.isnan(x):
            continue  # NaN payloads are not part of the fixed-width contract
        try:
            f = struct.pack(">f", x)
        except OverflowError:
            f = struct.pack(">f", math.copysign(INF, x))
        if write("cbor_write_float32", x) != (1, b"\xfa" + f):
            bad.append(("f32", x.hex()))
        if write("cbor_write_float64", x) != (1, b"\xfb" + struct.pack(">d", x)):
            bad.append(("f64", x.hex()))
    assert not bad, f"{len(bad)} mismatches, first: {bad[:5]}"
