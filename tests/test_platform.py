"""Widths that follow the platform, and the import-time version gate.

size_t (the generator's and the parser's length, max_depth) is as wide as a
pointer: 32 bits on 32-bit builds, 64 on 64-bit ones.  Lengths, counts and
integer values on the codec's writer interface and in its decoded records
stay 64-bit everywhere.  Every test here runs on both widths; where the
expected outcome differs, the table carries both.

The gate refuses an interpreter whose version string does not start with the
build's "major.minor" followed by a non-digit.  It is shown twice: with a
module built for another interpreter (.ci/matrix passes its path in
TAVREL_CBOR_FOREIGN_MODULE), and on this build with the version text under
the test's control.
"""
import ctypes
import json
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
from ctypes import c_size_t

import pytest

import tavrel_cbor
from support.codec_ffi import Generator, Parser, buffer_address, lib
from support.helpers import raises_exact
from support.texts import VERSION_MISMATCH, incompatible
from tavrel_cbor import dumps

POINTER_BYTES = struct.calcsize("P")
SIZE_MAX = 2 ** (8 * POINTER_BYTES) - 1
IS_32 = POINTER_BYTES == 4
BUILD_VERSION = "%d.%d" % sys.version_info[:2]


def raw(address, fmt):
    """The record at address, decoded with the platform's own C layout."""
    return struct.unpack(fmt, ctypes.string_at(address, struct.calcsize(fmt)))


def written(g):
    buffer, length = raw(ctypes.addressof(g.contents), "PN")
    return ctypes.string_at(buffer, length) if length else b""


# ---- the records as the library lays them out --------------------------------

def test_size_t_is_pointer_wide():
    # Everything below reads size_t fields as "N" and pointers as "P".
    assert ctypes.sizeof(c_size_t) == struct.calcsize("N") == POINTER_BYTES
    assert sys.maxsize == 2 ** (8 * POINTER_BYTES - 1) - 1


def test_ctypes_mirrors_have_the_platform_layout():
    # "0P" pads the end to pointer alignment, as the C compiler does.
    assert ctypes.sizeof(Generator) == struct.calcsize("PN0P")
    assert Generator.length.offset == struct.calcsize("P")
    assert Generator.length.size == POINTER_BYTES
    assert ctypes.sizeof(Parser) == struct.calcsize("PNPi0P")
    assert (Parser.length.offset, Parser.cursor.offset, Parser.in_indefinite.offset) == (
        struct.calcsize("P"), struct.calcsize("PN"), struct.calcsize("PNP"))


def test_generator_record_holds_a_pointer_wide_length(gen):
    payload = bytes(range(1, 6))
    assert raw(ctypes.addressof(gen.contents), "PN") == (0, 0)
    assert lib._cbor_generator_write_bytes(gen, payload, 5) == 0
    assert lib.cbor_write_uint(gen, 2 ** 32) == 0
    buffer, length = raw(ctypes.addressof(gen.contents), "PN")
    assert buffer != 0 and length == 14
    assert (buffer_address(gen), gen.contents.length) == (buffer, length)
    assert ctypes.string_at(buffer, length) == payload + bytes.fromhex("1b0000000100000000")


def test_parser_record_holds_a_pointer_wide_length():
    data = (ctypes.c_uint8 * 4).from_buffer_copy(bytes.fromhex("9f 01 ff 00"))
    base = ctypes.addressof(data)
    p = lib.cbor_parser_create(base, 3)
    assert p
    try:
        assert raw(ctypes.addressof(p.contents), "PNPi") == (base, 3, base, 0)
        assert lib.cbor_parser_available_bytes(p) == 3
        v = lib.cbor_next_val(p)
        assert v
        lib.cbor_val_free(v)
        assert raw(ctypes.addressof(p.contents), "PNPi") == (base, 3, base + 1, 1)
        assert (p.contents.length, p.contents.cursor) == (3, base + 1)
    finally:
        lib.cbor_parser_free(p)


# Decoded records keep 64-bit values and counts on every build.
@pytest.mark.parametrize("hex_in, major, value, count", [
    ("1b0000000100000000", 0, 2 ** 32, 0),
    ("1bffffffffffffffff", 0, 2 ** 64 - 1, 0),
    ("3b0000000100000000", 1, 0xFFFFFFFEFFFFFFFF, 0),  # the stored value is ~argument
    ("3bffffffffffffffff", 1, 0, 0),
    ("9b0000000100000002", 4, 0, 2 ** 32 + 2),
    ("bb7fffffffffffffff", 5, 0, 2 ** 63 - 1),
    ("5f", 2, 0, -1),
], ids=lambda x: x if isinstance(x, str) else None)
def test_decoded_record_fields_are_64_bit(hex_in, major, value, count):
    data = bytes.fromhex(hex_in)
    p = lib.cbor_parser_create(data, len(data))
    assert p
    try:
        v = lib.cbor_next_val(p)
        assert v
        try:
            # initial byte, int32 major type, the 8-byte union, int64 count
            ib, mt, union, cnt = raw(ctypes.addressof(v.contents), "BiQq")
        finally:
            lib.cbor_val_free(v)
    finally:
        lib.cbor_parser_free(p)
    assert (ib, mt, cnt) == (data[0], major, count)
    if major in (0, 1):
        assert union == value


@pytest.mark.parametrize("count, hex_out", [
    (2 ** 32 - 1, "9affffffff"),
    (2 ** 32, "9b0000000100000000"),
    (2 ** 64 - 2, "9bfffffffffffffffe"),
])
def test_writer_counts_are_64_bit(gen, count, hex_out):
    assert lib.cbor_write_array(gen, count) == 0
    assert written(gen) == bytes.fromhex(hex_out)


# ---- string lengths beyond what size_t can address ----------------------------

# Lengths that no payload can have.  On 32-bit builds they do not fit in
# size_t, so the writer must refuse before the head, reading nothing.  On
# 64-bit builds only the largest ones qualify; they fit, so the head may be
# written, but no payload byte can be: the append would pass SIZE_MAX
# (2**64 - 2 plus the head) or cannot be allocated (2**63).
HUGE_LENGTHS = [2 ** 32, 2 ** 32 + 1, 2 ** 63, 2 ** 64 - 2] if IS_32 else [2 ** 63, 2 ** 64 - 2]


def string_head(major, length):
    if length <= 0xFFFFFFFF:
        return bytes([major << 5 | 26]) + length.to_bytes(4, "big")
    return bytes([major << 5 | 27]) + length.to_bytes(8, "big")


@pytest.mark.parametrize("length", HUGE_LENGTHS)
@pytest.mark.parametrize("writer, major", [("cbor_write_byte_string", 2),
                                           ("cbor_write_text_string", 3)])
def test_unaddressable_string_length_fails(gen, writer, major, length):
    data = ctypes.create_string_buffer(b"abcd", 8)
    assert getattr(lib, writer)(gen, data, length) == -1
    if IS_32:
        assert raw(ctypes.addressof(gen.contents), "PN") == (0, 0)
    else:
        assert written(gen) in (b"", string_head(major, length))
    # The generator is still usable afterwards.
    assert lib.cbor_write_uint(gen, 1) == 0
    assert written(gen).endswith(b"\x01")


# ---- max_depth is a size_t --------------------------------------------------------

# (max_depth, accepted on 32-bit, accepted on 64-bit).  A value that were
# silently cut to 32 bits would turn 2**32 into "no limit" and 2**32 + 1 into a
# limit of 1, which [[1]] exceeds.
MAX_DEPTHS = [
    (2 ** 32 - 1, True, True),
    (2 ** 32, False, True),
    (2 ** 32 + 1, False, True),
    (2 ** 63, False, True),
    (2 ** 64 - 1, False, True),
    (2 ** 64, False, False),
]


@pytest.mark.parametrize("indefinite, hex_out", [(True, "9f 9f 01 ff ff"), (False, "81 81 01")])
@pytest.mark.parametrize("max_depth, on_32, on_64", MAX_DEPTHS)
def test_max_depth_range_follows_size_t(max_depth, on_32, on_64, indefinite, hex_out):
    if on_32 if IS_32 else on_64:
        assert dumps([[1]], indefinite, max_depth=max_depth) == bytes.fromhex(hex_out)
    else:
        invoked = "[[1]], %r; kwargs: max_depth=%d" % (indefinite, max_depth)
        with raises_exact(TypeError, incompatible(invoked)):
            dumps([[1]], indefinite, max_depth=max_depth)


def test_max_depth_takes_size_max_and_no_more():
    assert dumps([[1]], max_depth=SIZE_MAX) == bytes.fromhex("9f 9f 01 ff ff")
    with pytest.raises(TypeError):
        dumps([[1]], max_depth=SIZE_MAX + 1)


# ---- the version gate ----------------------------------------------------------

# Run in a child: a module loaded into an interpreter cannot be unloaded, and a
# foreign one must not share this process.  Prints one JSON line.
LOAD_CHILD = r"""
import ctypes, importlib.machinery, importlib.util, json, os, sys
path, mode, stand_in = sys.argv[1], sys.argv[2], sys.argv[3]
if stand_in:
    ctypes.CDLL(stand_in, mode=ctypes.RTLD_GLOBAL)
if mode == "lazy":
    sys.setdlopenflags(os.RTLD_LAZY)
loader = importlib.machinery.ExtensionFileLoader("tavrel_cbor", path)
spec = importlib.util.spec_from_file_location("tavrel_cbor", path, loader=loader)
try:
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
except ImportError as e:
    out = {"outcome": "ImportError", "message": str(e)}
else:
    out = {"outcome": "loaded", "dumps": module.dumps([1, None]).hex()}
print(json.dumps(out))
"""


def load_in_child(path, mode="now", stand_in="", version_text=None):
    env = dict(os.environ)
    if version_text is not None:
        env["TAVREL_TEST_VERSION_TEXT"] = version_text
    proc = subprocess.run([sys.executable, "-c", LOAD_CHILD, path, mode, stand_in],
                          capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, "child failed (%d):\n%s%s" % (proc.returncode, proc.stdout, proc.stderr)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def build_version_of(path):
    # tavrel_cbor.cpython-38-x86_64-linux-gnu.so, tavrel_cbor.pypy37-pp73-...so
    m = re.search(r"\.(?:cpython-|pypy)(\d)(\d+)", os.path.basename(path))
    assert m, "cannot tell the target version of %s from its name" % path
    return "%s.%s" % m.groups()


FOREIGN = os.environ.get("TAVREL_CBOR_FOREIGN_MODULE")
LOADER_REFUSALS = ("undefined symbol", "wrong ELF class", "version `", "cannot open shared object")


@pytest.mark.skipif(not FOREIGN, reason="TAVREL_CBOR_FOREIGN_MODULE not set (.ci/matrix sets it to "
                    "a build for another interpreter version)")
def test_build_for_another_version_is_refused_by_the_gate():
    compiled_for = build_version_of(FOREIGN)
    assert compiled_for != BUILD_VERSION, "the foreign module targets this very version"
    expected = VERSION_MISMATCH % (compiled_for, sys.version)
    result = load_in_child(FOREIGN)
    if result["outcome"] == "ImportError" and any(s in result["message"] for s in LOADER_REFUSALS):
        # The dynamic loader binds every symbol before the module's init runs,
        # and a newer or older C API may lack one the foreign build imports.
        # With lazy binding only data symbols must resolve up front, so the
        # gate, which calls nothing this interpreter lacks, runs first.
        loader_message = result["message"]
        result = load_in_child(FOREIGN, mode="lazy")
        if result["outcome"] == "ImportError" and any(s in result["message"] for s in LOADER_REFUSALS):
            pytest.skip("the dynamic loader refuses %s before its gate can run, even with lazy "
                        "binding (%s); the gate's rule is covered by the stand-in tests below"
                        % (os.path.basename(FOREIGN), result["message"]))
        assert "undefined symbol" in loader_message, loader_message
    assert result == {"outcome": "ImportError", "message": expected}


# The same gate, on this build, with the version text under the test's
# control: a copy of the module whose import of the interpreter's version
# query is renamed to a stand-in that returns TAVREL_TEST_VERSION_TEXT.
STAND_IN_C = r"""
#include <stdlib.h>
static const char *text(void)
{
    const char *t = getenv("TAVREL_TEST_VERSION_TEXT");
    return t != NULL ? t : "";
}
const char *Tv_GetVersion(void) { return text(); }
const char *TvPy_GetVersion(void) { return text(); }
"""

# CPython builds import Py_GetVersion; PyPy's C-API layer names it PyPy_GetVersion.
VERSION_QUERIES = [b"PyPy_GetVersion", b"Py_GetVersion"]


@pytest.fixture(scope="module")
def gated_copy(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler for the stand-in version query")
    work = tmp_path_factory.mktemp("gate")
    (work / "stand_in.c").write_text(STAND_IN_C)
    stand_in = work / "stand_in.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(stand_in), str(work / "stand_in.c")],
                   check=True, capture_output=True, timeout=300)
    image = pathlib.Path(tavrel_cbor.__file__).read_bytes()
    for name in VERSION_QUERIES:
        # Names in the symbol string tables are NUL-delimited; a same-length
        # rename keeps every offset valid.
        needle = b"\0" + name + b"\0"
        if needle in image:
            image = image.replace(needle, b"\0Tv" + name[2:] + b"\0")
            break
    else:
        pytest.fail("the module imports no version query by name")
    copy = work / os.path.basename(tavrel_cbor.__file__)
    copy.write_bytes(image)
    return str(copy), str(stand_in)


def test_stand_in_reports_the_real_version(gated_copy):
    # Sanity of the harness itself: the renamed module, given the true version
    # text, imports and works.
    assert load_in_child(gated_copy[0], stand_in=gated_copy[1], version_text=sys.version) == {
        "outcome": "loaded", "dumps": "9f01f6ff"}


major, minor = sys.version_info[:2]
B = BUILD_VERSION
GATE_TEXTS = [
    # accepted: B, then anything but a digit
    (B, True),
    (B + ".0 (stand-in)\n[GCC]", True),
    (B + "+", True),
    (B + "rc1", True),
    (B + " ", True),
    # refused
    (B + "0", False),
    (B + "0.1 (stand-in)", False),
    (B + "9.0", False),
    ("%d.%d.0" % (major, minor - 1), False),
    ("%d.%d.0" % (major, minor + 1), False),
    ("%d.%d.0" % (major + 1, minor), False),
    (B[:-1], False),  # "3." for 3.8; "3.1" for 3.10 and later
    ("", False),
    (" " + B + ".0", False),
]


@pytest.mark.parametrize("text, accepted", GATE_TEXTS, ids=repr)
def test_gate_rule_on_this_build(gated_copy, text, accepted):
    result = load_in_child(gated_copy[0], stand_in=gated_copy[1], version_text=text)
    if accepted:
        assert result == {"outcome": "loaded", "dumps": "9f01f6ff"}
    else:
        assert result == {"outcome": "ImportError", "message": VERSION_MISMATCH % (B, text)}
