"""Float writers and decoders under a changed floating-point environment: the
caller's rounding mode, and flush-to-zero/denormals-are-zero as a library
built with -ffast-math turns on at load.  The results must be those of the
default environment.  Also the NaN payloads of the single conversion."""
import ctypes
import ctypes.util
import platform
import shutil
import struct
import subprocess

import pytest

from support.codec_ffi import Reader, address_of, lib, write
from support.model import bits_of, from_bits
from support.model import float_item as shortest

X86 = platform.machine().lower() in ("x86_64", "amd64", "i386", "i686")
# A 32-bit interpreter on an x86-64 kernel (an i386 tree) still says x86_64.
X86_32 = X86 and struct.calcsize("P") == 4
X86_64 = X86 and not X86_32
CC = shutil.which("cc")


def single_by_conversion(x):
    """x converted to single by the C cast (ctypes), as 4 big-endian bytes."""
    return struct.pack(">I", struct.unpack("<I", bytes(ctypes.c_float(x)))[0])


def single_nan_model(bits):
    """Sign, quiet bit and the top 22 payload bits of a double NaN."""
    return struct.pack(">I", (bits >> 32 & 0x80000000) | 0x7FC00000 | (bits >> 29 & 0x3FFFFF))


NAN_PAYLOADS = [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001,
                0x7FF4000000000000, 0x7FF0000020000000, 0xFFF7FFFFFFFFFFFF,
                0x7FFFFFFFFFFFFFFF, 0x7FF123456789ABCD, 0xFFF0000000000001]


@pytest.mark.parametrize("bits", NAN_PAYLOADS, ids=hex)
def test_single_writer_keeps_nan_sign_and_top_payload_bits(bits):
    want = single_nan_model(bits)
    if X86_64:
        assert single_by_conversion(from_bits(bits)) == want
    assert write("cbor_write_float32", from_bits(bits)) == (1, b"\xfa" + want)


# ---- rounding modes -----------------------------------------------------------

# fenv.h values on x86; other machines number them differently.
ROUNDING = {"downward": 0x400, "upward": 0x800, "toward zero": 0xC00}
ROUNDED = [0.1, -0.1, 1 / 3, -2 / 3, 1 + 2 ** -24, 1 + 3 * 2 ** -24, 1 + 2 ** -24 + 2 ** -52,
           -(1 + 2 ** -24), 2.0 ** 128 - 2.0 ** 103, -(2.0 ** 128 - 2.0 ** 104),
           2.0 ** 128 - 2.0 ** 103 - 2.0 ** 75, 3 * 2 ** -151, 2 ** -150, 2 ** -150 + 2 ** -200,
           -1e-40, 1e-45, 1e300, 5e-324, 65520.0 + 2 ** -30]


@pytest.mark.skipif(not X86_64, reason="fenv.h constants of x86")
@pytest.mark.parametrize("mode", ROUNDING)
def test_single_writer_rounds_to_nearest_in_any_mode(mode):
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    want = [b"\xfa" + single_by_conversion(x) for x in ROUNDED]  # default mode: to nearest
    assert libm.fegetround() == 0
    got = []
    assert libm.fesetround(ROUNDING[mode]) == 0
    try:
        for x in ROUNDED:
            got.append(write("cbor_write_float32", x))
    finally:
        libm.fesetround(0)
    assert got == [(1, w) for w in want]


# ---- flush-to-zero and denormals-are-zero -------------------------------------

HELPER = r"""
#include <xmmintrin.h>

typedef int (*writer)(void *, double);
typedef int (*decoder)(void *, void *);

/* MXCSR flush-to-zero (bit 15) and denormals-are-zero (bit 6). */
#define FTZ_DAZ 0x8040u

int write_flushing(writer fn, void *g, double x)
{
    unsigned saved = _mm_getcsr();
    _mm_setcsr(saved | FTZ_DAZ);
    int rc = fn(g, x);
    _mm_setcsr(saved);
    return rc;
}

int decode_flushing(decoder fn, void *p, void *v)
{
    unsigned saved = _mm_getcsr();
    _mm_setcsr(saved | FTZ_DAZ);
    int rc = fn(p, v);
    _mm_setcsr(saved);
    return rc;
}
"""


@pytest.fixture(scope="module")
def flushing(tmp_path_factory):
    if not X86 or CC is None:
        pytest.skip("needs x86 and a C compiler")
    d = tmp_path_factory.mktemp("ftz")
    (d / "ftz.c").write_text(HELPER)
    # The control register's intrinsics need SSE, which 32-bit x86 compilers
    # do not assume.
    sse = ["-msse2"] if X86_32 else []
    subprocess.run([CC, "-O2", "-Wall", "-Wextra", "-Werror", *sse, "-shared", "-fPIC", "-o", str(d / "ftz.so"),
                    str(d / "ftz.c")], check=True)
    helper = ctypes.CDLL(str(d / "ftz.so"))
    helper.write_flushing.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_double]
    helper.decode_flushing.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
    return helper


def write_flushing(helper, name, x):
    g = lib.cbor_generator_create()
    try:
        rc = helper.write_flushing(address_of(name), ctypes.cast(g, ctypes.c_void_p), x)
        return rc, ctypes.string_at(g.contents.buffer, g.contents.length)
    finally:
        lib.cbor_generator_free(g)


SUBNORMAL = [1e-310, -1e-310, 5e-324, 2 ** -149, -(2 ** -149), 2 ** -140 + 2 ** -149, 1e-40,
             2 ** -127, 2 ** -126 - 2 ** -149, 2 ** -126, 1.5 * 2 ** -126, 2 ** -1022, 2 ** -24, 0.0, 1.0]


@pytest.mark.parametrize("x", SUBNORMAL, ids=float.hex)
def test_shortest_writer_with_flush_to_zero(flushing, x):
    assert write_flushing(flushing, "cbor_write_float", x) == (1, shortest(x))
    assert write_flushing(flushing, "cbor_write_float", x) == write("cbor_write_float", x)


@pytest.mark.parametrize("x", SUBNORMAL, ids=float.hex)
def test_single_writer_with_flush_to_zero(flushing, x):
    assert write_flushing(flushing, "cbor_write_float32", x) == (1, b"\xfa" + single_by_conversion(x))


DECODER_OF = {"f9": "cbor_parse_float16", "fa": "cbor_parse_float32", "fb": "cbor_parse_float64"}


@pytest.mark.parametrize("data, x", [
    ("fa00000001", 2 ** -149), ("fa80000001", -(2 ** -149)), ("fa007fffff", 2 ** -126 - 2 ** -149),
    ("fa00400000", 2 ** -127), ("f90001", 2 ** -24), ("f983ff", -(2 ** -14 - 2 ** -24)),
    ("fb000fffffffffffff", 2 ** -1022 - 2 ** -1074), ("fb8000000000000001", -5e-324),
])
def test_float_decoders_with_denormals_are_zero(flushing, data, x):
    r = Reader(bytes.fromhex(data))
    v = lib.cbor_val_create()
    try:
        rc = flushing.decode_flushing(address_of(DECODER_OF[data[:2]]), ctypes.cast(r.p, ctypes.c_void_p),
                                      ctypes.cast(v, ctypes.c_void_p))
        assert (rc, v.contents.value.uint_value, r.offset) == (0, bits_of(x), len(data) // 2)
    finally:
        lib.cbor_val_free(v)
        r.close()
