"""Value -> expected item tables shared by the binding's scalar and
container tests and the codec's float writer tests.  The bytes are written
out by hand from RFC 8949 (Appendix A where it has the value), not computed
by the model, which test_scalars.py holds against them."""
from support.model import from_bits

INTEGERS = [
    (0, "00"), (1, "01"), (10, "0a"), (23, "17"), (24, "1818"), (100, "1864"), (255, "18ff"),
    (256, "190100"), (1000, "1903e8"), (65535, "19ffff"), (65536, "1a00010000"),
    (1000000, "1a000f4240"), (2**32 - 1, "1affffffff"), (2**32, "1b0000000100000000"),
    (2**63 - 1, "1b7fffffffffffffff"), (2**63, "1b8000000000000000"), (2**64 - 1, "1bffffffffffffffff"),
    (-1, "20"), (-10, "29"), (-24, "37"), (-25, "3818"), (-100, "3863"), (-256, "38ff"),
    (-257, "390100"), (-1000, "3903e7"), (-65536, "39ffff"), (-65537, "3a00010000"),
    (-(2**32), "3affffffff"), (-(2**32) - 1, "3b0000000100000000"),
    (-(2**63) + 1, "3b7ffffffffffffffe"), (-(2**63), "3b7fffffffffffffff"),
    # At the edges of one, two and three of CPython's 30-bit digits.
    (2**30 - 1, "1a3fffffff"), (2**30, "1a40000000"), (2**60 - 1, "1b0fffffffffffffff"),
    (2**60, "1b1000000000000000"), (2**60 + 2**30 + 1, "1b1000000040000001"),
    (-(2**30), "3a3fffffff"), (-(2**30) - 1, "3a40000000"), (-(2**60), "3b0fffffffffffffff"),
    (-(2**60) - 1, "3b1000000000000000"), (-(2**60) - 2**30 - 2, "3b1000000040000001"),
]  # fmt: skip

# Finite doubles: half, then single, then double widths.
FINITE_FLOATS = [
    (0.0, "f90000"), (-0.0, "f98000"), (1.0, "f93c00"), (1.5, "f93e00"), (-2.0, "f9c000"),
    (2.5, "f94100"), (-4.0, "f9c400"), (1 + 2**-10, "f93c01"), (2**-14, "f90400"),
    (65504.0, "f97bff"), (-65504.0, "f9fbff"), (32768.0, "f97800"), (-32768.0, "f9f800"),
    (2**-14 * (1 + 2**-10), "f90401"), (-(2**-14), "f98400"),
    (2**-15, "fa38000000"), (2**-24, "fa33800000"), (1.5 * 2**-15, "fa38400000"),
    (65535.0, "fa477fff00"), (-65536.0, "fac7800000"), (2.0**100, "fa71800000"),
    (1 + 2**-11, "fa3f801000"), (1 + 2**-23, "fa3f800001"), (65520.0, "fa477ff000"),
    (65536.0, "fa47800000"), (100000.0, "fa47c35000"), (2.0**32, "fa4f800000"),
    (3.4028234663852886e38, "fa7f7fffff"), (2**-149, "fa00000001"), (0.1, "fb3fb999999999999a"),
    (1.1, "fb3ff199999999999a"), (-4.1, "fbc010666666666666"), (2.0**128, "fb47f0000000000000"),
    (2.0**-1000, "fb0170000000000000"), (1e300, "fb7e37e43c8800759c"), (1e-40, "fb37a16c262777579c"),
    (5e-324, "fb0000000000000001"),
]  # fmt: skip

# NaN, whatever its sign and payload, and the infinities: fixed half items.
SPECIAL_FLOATS = [
    (float("nan"), "f97e00"), (-float("nan"), "f97e00"), (from_bits(0x7FF0000000000001), "f97e00"),
    (from_bits(0x7FF8000000000123), "f97e00"), (from_bits(0xFFF0000000000001), "f97e00"),
    (from_bits(0xFFF8000000000123), "f97e00"), (float("inf"), "f97c00"), (float("-inf"), "f9fc00"),
]  # fmt: skip

FLOATS = FINITE_FLOATS + SPECIAL_FLOATS

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
