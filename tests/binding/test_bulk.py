"""Lists and tuples at the top whose output is sized before it is written:
exactly when they hold large strs and bytes, at least a byte an item when
they are long, or as large as the last such output was.  The bytes must be
those of the walk, whatever the sizes of heads and items and whatever the
last output was, and one call must make no more resident than its output."""
import ctypes
import os
import sys
import textwrap

import pytest

from support.helpers import PYPY, child_env, norm, raises_exact, run_checked
from support.model import encode
from support.texts import CAST_ERROR
from tavrel_cbor import dumps, loads

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
    if {forget}:  # the next call sizes its output from a short list's
        dumps([0] * 512)
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
    # Large enough that what CPython 3.7-3.10 and 3.13 leave resident around
    # the call (about 200 KB, by where the heap's blocks fall) is not a tenth.
    "small ints": "[i % 256 for i in range(3_000_000)]",
    "one-byte ints": "[i % 24 for i in range(3_000_000)]",
    "distinct ints": "tuple(range(1000, 1_000_000))",
    "half floats": "[i / 8 for i in range(1_000_000)]",
    "dict": "{f'user:{i:x}:{i % 977}': i * 7919 for i in range(200_000)}",
    "ascii strs": "[chr(65 + i % 26) * 300_000 for i in range(90)]",
    "utf-8 strs": "['жд日' * 20_000 + str(i) for i in range(200)]",
}


# A dict's first call takes no floor, and is left out: growing it may peak
# at twice its output.
PEAK_CASES = [(name, forget) for name in PEAK_VALUES for forget in (True, False) if not (name == "dict" and forget)]


@pytest.mark.skipif(not sys.platform.startswith("linux") or PYPY, reason="glibc's heap, CPython's bytes objects")
@pytest.mark.skipif(bool(os.environ.get("LD_PRELOAD")), reason="a preloaded allocator (sanitizers) keeps its own")
@pytest.mark.parametrize("freed", [256 * KIB, 30 << 20, 64 << 20], ids=["256k freed", "30m freed", "64m freed"])
@pytest.mark.parametrize(("value", "forget"), [(PEAK_VALUES[name], forget) for name, forget in PEAK_CASES],
                         ids=[f"{name}-{'floor' if forget else 'last size'}" for name, forget in PEAK_CASES])
def test_peak_memory_of_one_call(value, forget, freed):
    if not os.access("/proc/self/clear_refs", os.W_OK):
        pytest.skip("the high-water mark cannot be reset here")
    script = textwrap.dedent(PEAK_SCRIPT).replace("{value}", value).replace("{freed}", str(freed))
    script = script.replace("{forget}", str(forget))
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


# The output of a long list, tuple or dict reserves what the last long one
# wrote: sequences of calls whose outputs fill that exactly, pass
# it by a byte, a head or a float batch, or are far smaller or larger.
NINE = 2**64 - 1  # nine bytes
HINTED = [
    ("the same twice", [[5] * 600, [5] * 600]),
    ("same size, other items", [[1] * 600, [2] * 600]),
    ("one byte more", [[1] * 600, [1] * 599 + [24]]),
    ("a head more", [[1] * 600, [1] * 599 + [NINE]]),
    ("a head and a byte more", [[1] * 600, [1] * 598 + [NINE, 24]]),
    ("a str more", [[1] * 600, [1] * 599 + ["s" * 40]]),
    ("far larger", [[1] * 600, [NINE] * 600]),
    ("far smaller", [[NINE] * 600, [1] * 600]),
    ("beyond 16 bytes an item", [["s" * 40] * 600, [NINE] * 600, [1] * 600]),
    ("fewer items", [[NINE] * 5000, [NINE] * 600]),
    ("more items", [[1] * 600, [1] * 5000]),
    ("half floats, then double", [[1.5] * 600, [1.1] * 600, [1.5] * 600]),
    ("floats past the room", [[1] * 1800, [1.5] * 600 + [1.1]]),
    ("floats filling it", [[1.5] * 600, [1.5] * 599 + [1.1]]),
    ("alternating", [[1] * 700, [NINE] * 700, [1] * 700, [NINE] * 700]),
    ("tuple, list", [tuple(range(1000, 1700)), list(range(1000, 1700))]),
    ("nested", [[[i] for i in range(600)], [[i, i] for i in range(600)]]),
    ("one million", [[i % 24 for i in range(10**6)], [24] * 10**6, [i % 24 for i in range(10**6)]]),
    ("dicts", [{i: i for i in range(600)}, {i: NINE for i in range(600)}, {i: 1 for i in range(600)}]),
    ("dict after a list", [[NINE] * 600, {i: NINE for i in range(600)}, {str(i): 1 for i in range(600)}]),
    ("list after a dict", [{i: NINE for i in range(600)}, [1.5] * 600, [NINE] * 600]),
    ("dict past 32 bytes an entry", [["s" * 40] * 1300, {i: i for i in range(600)}]),
]


@pytest.mark.parametrize("max_depth", [0, 3], ids=["no limit", "limit 3"])
@pytest.mark.parametrize("values", [v for _, v in HINTED], ids=[name for name, _ in HINTED])
def test_sized_from_the_last_output(values, indefinite, max_depth):
    dumps([0] * 512)  # below any floor here: the first call takes its own
    for value in values:
        out = dumps(value, indefinite, max_depth)
        assert out == encode(value, indefinite)
        assert norm(loads(out)) == norm(value)


# A result that took a reservation far above its size (16 bytes an item, the
# last output's) keeps only its own: glibc's usable size of the object's
# block, which is the bytes object itself under CPython's default allocator.
@pytest.mark.skipif(not sys.platform.startswith("linux") or PYPY, reason="glibc's heap, CPython's bytes objects")
@pytest.mark.skipif(bool(os.environ.get("LD_PRELOAD") or os.environ.get("PYTHONMALLOC") or sys.flags.dev_mode),
                    reason="another allocator, or a header before each block")
@pytest.mark.parametrize("count", [600, 100_000], ids=["heap", "mapped"])
def test_result_keeps_its_size_after_a_large_reservation(count):
    usable = ctypes.CDLL(None).malloc_usable_size
    usable.restype = ctypes.c_size_t
    usable.argtypes = [ctypes.c_void_p]
    dumps([NINE] * count)
    out = dumps([1] * count)
    assert len(out) == count + 2
    assert usable(id(out)) <= sys.getsizeof(out) + 4096 + 16


# Calls repeated on one value make no fresh pages once the allocator has
# reused the blocks the earlier results left: each result takes one block of
# its final size.
REPEAT_SCRIPT = """
    import resource
    from tavrel_cbor import dumps
    value = {value}
    faults = []
    for _ in range(12):
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        out = dumps(value)
        faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before)
    print(max(faults[6:]), len(out))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux") or PYPY, reason="glibc's heap, CPython's bytes objects")
@pytest.mark.skipif(bool(os.environ.get("LD_PRELOAD")), reason="a preloaded allocator (sanitizers) keeps its own")
# A 32-bit glibc never raises its mmap threshold past 512 KiB, so outputs of
# megabytes are mapped afresh on every call whatever was reserved.
@pytest.mark.skipif(sys.maxsize < 2**32, reason="glibc's mmap threshold stops at 512 KiB on 32-bit builds")
@pytest.mark.parametrize("value", [v for k, v in PEAK_VALUES.items() if "strs" not in k and k != "bytes"],
                         ids=[k for k in PEAK_VALUES if "strs" not in k and k != "bytes"])
def test_repeated_calls_reuse_their_pages(value):
    script = textwrap.dedent(REPEAT_SCRIPT).replace("{value}", value)
    faults, size = map(int, run_checked([sys.executable, "-c", script]).split())
    assert faults * 4096 <= size / 10, f"{faults} pages faulted in a call"


# Outputs of megabytes made in a new process land in memory never touched
# before, which is faulted in by stretches ahead of the writes: every kind of
# write must cross those stretches' ends intact.
FRESH_SCRIPT = """
    from support.model import encode
    from tavrel_cbor import dumps
    value = {value}
    for indefinite in (True, False):
        assert dumps(value, indefinite) == encode(value, indefinite), indefinite
    print("ok")
"""

FRESH_VALUES = {
    "4 KiB blobs": "[bytes([i % 251]) * 4096 for i in range(700)]",
    "one 3 MB str": "'x' * 3_000_000",
    "strs of many lengths": "['s' * (1000 + i * 37 % 9000) for i in range(600)]",
    "floats and small items": "[[i, i / 8, i * 1.1, str(i), None] for i in range(80_000)]",
    "dict": "{f'key:{i}': [i, b'v' * (i % 40)] for i in range(60_000)}",
}


@pytest.mark.parametrize("value", list(FRESH_VALUES.values()), ids=list(FRESH_VALUES))
def test_outputs_in_fresh_memory(value):
    script = textwrap.dedent(FRESH_SCRIPT).replace("{value}", value)
    assert run_checked([sys.executable, "-c", script], env=child_env()).strip() == "ok"
