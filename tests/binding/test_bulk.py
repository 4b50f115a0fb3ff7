"""Lists and tuples at the top whose output is sized before it is written:
exactly when they hold large strs and bytes, at least a byte an item when
they are long.  The bytes must be those of the walk, whatever the sizes of
heads and items, and one call must make no more resident than its output."""
import os
import sys
import textwrap

import pytest

from support.helpers import PYPY, raises_exact, run_checked
from support.model import encode
from support.texts import CAST_ERROR
from tavrel_cbor import dumps

KIB = 1024


def blobs(*sizes):
    return [bytes([i % 251]) * n for i, n in enumerate(sizes)]


# Enough large items up front for the output to be sized, then the case's own.
LARGE = blobs(*[2 * KIB] * 16)

BULK = [
    ("bytes, every head width", LARGE + blobs(0, 23, 24, 255, 256, 65535, 65536)),
    ("ascii strs", [chr(65 + i) * (3 * KIB + i) for i in range(20)]),
    ("latin-1 strs", ["é" * (2 * KIB) + "x" * i for i in range(20)]),
    ("two-byte strs", ["日本" * KIB + str(i) for i in range(20)]),
    ("four-byte strs", ["😀" * KIB + "ä" * i for i in range(20)]),
    ("strs and bytes", LARGE + ["s" * 300, "ü" * 300, b"b" * 300, ""]),
    ("tuple", tuple(LARGE + ["t" * 5000])),
    ("24 items", LARGE + blobs(*[KIB] * 8)),
    ("256 items", blobs(*[KIB] * 256)),
    ("65536 items", blobs(*[1] * 65536)),
    ("small items", ["ab", b"cd"] * 100),
    ("small then large", ["ab"] * 16 + ["x" * 100_000]),
    ("large then an int", LARGE + [1]),
    ("large then a list", LARGE + [["in", b"side"]]),
    ("large then a float and None", LARGE + [1.5, None]),
]


@pytest.mark.parametrize("value", [v for _, v in BULK], ids=[name for name, _ in BULK])
def test_bulk_root(value, indefinite):
    assert dumps(value, indefinite) == encode(value, indefinite)


@pytest.mark.parametrize("bad", ["\ud800" * 5000, "a" * 5000 + "\udfff"], ids=["surrogates", "one at the end"])
def test_bulk_root_with_a_lone_surrogate(bad, indefinite):
    with raises_exact(RuntimeError, CAST_ERROR):
        dumps(LARGE + [bad], indefinite)


PEAK_SCRIPT = """
    import ctypes, gc, re, sys
    from pathlib import Path
    from tavrel_cbor import dumps

    def hwm():
        return int(re.search(r"^VmHWM:\\s+(\\d+) kB", Path("/proc/self/status").read_text(), re.M).group(1)) * 1024

    value = {value}
    dumps(value)  # strs keep the UTF-8 form a first call made
    # A program that once held a large buffer: glibc then serves blocks below
    # its size (up to 32 MiB) from the heap, where growing one may copy it.
    block = bytearray({freed})
    block[::4096] = b"x" * len(block[::4096])
    del block
    gc.collect()
    trim = getattr(ctypes.CDLL(None), "malloc_trim", None)
    if trim is not None:
        trim(0)
    Path("/proc/self/clear_refs").write_text("5")
    before = hwm()
    out = dumps(value)
    print(hwm() - before, len(out))
"""

PEAK_VALUES = {
    "bytes": "[bytes([i % 256]) * 65536 for i in range(400)]",
    "small ints": "[i % 256 for i in range(1_000_000)]",
    "distinct ints": "tuple(range(1000, 1_000_000))",
    "half floats": "[i / 8 for i in range(1_000_000)]",
    "ascii strs": "[chr(65 + i % 26) * 300_000 for i in range(90)]",
    "utf-8 strs": "['жд日' * 20_000 + str(i) for i in range(200)]",
}


@pytest.mark.skipif(not sys.platform.startswith("linux") or PYPY, reason="glibc's heap, CPython's bytes objects")
@pytest.mark.skipif(bool(os.environ.get("LD_PRELOAD")), reason="a preloaded allocator (sanitizers) keeps its own")
@pytest.mark.parametrize("freed", [256 * KIB, 30 << 20, 64 << 20], ids=["256k freed", "30m freed", "64m freed"])
@pytest.mark.parametrize("value", list(PEAK_VALUES.values()), ids=list(PEAK_VALUES))
def test_peak_memory_of_one_call(value, freed):
    if not os.access("/proc/self/clear_refs", os.W_OK):
        pytest.skip("the high-water mark cannot be reset here")
    script = textwrap.dedent(PEAK_SCRIPT).replace("{value}", value).replace("{freed}", str(freed))
    peak, size = map(int, run_checked([sys.executable, "-c", script]).split())
    assert peak <= 1.1 * size, f"peak {peak / size:.2f} x the output"


# A long list or tuple at the top takes a byte an item at once: outputs that
# fill that floor exactly, pass it by a byte, or outgrow it many times over.
FLOOR = [
    ("511 one-byte ints", [i % 24 for i in range(511)]),
    ("512 one-byte ints", [i % 24 for i in range(512)]),
    ("513 one-byte ints", [i % 24 for i in range(513)]),
    ("512 then a two-byte int", [0] * 511 + [24]),
    ("65535 one-byte ints", [1] * 65535),
    ("65536 one-byte ints", [1] * 65536),
    ("65536 then one more byte", [1] * 65535 + [255]),
    ("tuple of 600", tuple(range(600))),
    ("ints of every width", [0, 24, 256, 65536, 2**32, 2**64 - 1, -1, -25, -(2**63)] * 100),
    ("floats", [1.5, 100000.0, 1.1] * 200),
    ("floats then others", [0.5] * 600 + ["x", None, b"y"]),
    ("short then a large str", [None] * 600 + ["s" * 300_000]),
    ("nested", [[i] for i in range(1000)]),
    ("dicts", [{"k": i} for i in range(1000)]),
]


@pytest.mark.parametrize("value", [v for _, v in FLOOR], ids=[name for name, _ in FLOOR])
def test_floor_root(value, indefinite):
    assert dumps(value, indefinite) == encode(value, indefinite)


@pytest.mark.parametrize("count", [510, 511, 512, 513, 514, 767, 768, 769])
def test_floor_root_sizes_around_the_inline_area(count, mode):
    # Each size fills the floor, or the inline area, to within a byte or two.
    for tail in ([], [24], ["ab"]):
        value = [7] * count + tail
        assert dumps(value, **mode) == encode(value, **mode)
