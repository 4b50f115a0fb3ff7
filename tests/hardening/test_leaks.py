"""Leaks and references: 30,000 calls on a mixed document and on every error
path (2,000 for native stack exhaustion, each of which walks to the end of
a 64 KiB thread stack and unwinds) leave the resident set within 4 MiB of
where it was after a warm-up,
and leave the reference counts of the inputs unchanged (and those of None,
True, False and a few small ints, where they are not immortal, with no
growth that scales with the number of calls)."""
import gc
import os
import sys

import pytest

from support.helpers import PYPY, in_small_thread
from tavrel_cbor import dumps

CALLS = 30_000
WARM_UP = 3_000
RSS_LIMIT = 4 * 1024 * 1024
# The native stack guard fires at a depth set by the thread's stack; a
# small stack keeps each exhausting call short.
STACK_PATH_STACK = 64 * 1024
STACK_PATH_CALLS = 2_000

IMMORTAL = sys.version_info >= (3, 12)
SANITIZED = os.environ.get("TAVREL_SANITIZED") == "1"

pytestmark = [
    pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm"),
    pytest.mark.skipif(
        PYPY, reason="PyPy has no reference counts and its collector grows memory lazily"
    ),
]


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def mixed_document():
    return {
        "ints": [0, 23, 24, 255, 256, 65535, 65536, 2**32, 2**64 - 1, -1, -25, -2**63],
        "floats": [0.0, -0.0, 1.5, 0.1, 65504.0, 1e300, 2.0**-24, float("nan"), float("inf"), -float("inf")],
        "text": ["", "a", "\u00e9\u20ac\U0001f600" * 7, "x" * 300],
        "bytes": [b"", b"\x00\xff", bytes(range(256))],
        "nested": ({"k": (1, [2, {3: None}])}, [[[[]]]]),
        (1, 2): [True, False, None],
        7: {"deep": [[{"a": [b"z"]}]]},
    }


def self_list():
    value = [1]
    value.append(value)
    return value


# name -> (make the argument, keyword arguments, expected exception or None)
PATHS = {
    "mixed document": (mixed_document, {}, None),
    "mixed document, definite, depth-limited": (mixed_document, {"indefinite": False, "max_depth": 10}, None),
    "range error": (lambda: [1, "a", 2**64], {}, RuntimeError),
    "range error, big negative": (lambda: {"k": -2**63 - 1}, {"indefinite": False}, RuntimeError),
    "cast error": (lambda: [1, {1, 2}], {}, RuntimeError),
    "depth error": (lambda: [[1], [[2]]], {"max_depth": 2}, RuntimeError),
    "surrogate str": (lambda: ["ok", "\ud800"], {}, RuntimeError),
    "TypeError at top level": (lambda: {1, 2}, {}, TypeError),
    "RecursionError": (self_list, {}, RecursionError),
}


def call_many(value, kwargs, expected, n):
    for _ in range(n):
        if expected is None:
            dumps(value, **kwargs)
        else:
            try:
                dumps(value, **kwargs)
            except expected:
                pass
            else:
                raise AssertionError("no %s" % expected.__name__)


def parts(value, seen=None):
    """The value and every container and element reachable from it."""
    seen = {} if seen is None else seen
    if id(value) in seen:
        return seen
    seen[id(value)] = value
    if isinstance(value, dict):
        for k, v in value.items():
            parts(k, seen)
            parts(v, seen)
    elif isinstance(value, (list, tuple, set)):
        for v in value:
            parts(v, seen)
    return seen


SINGLETONS = [None, True, False, 0, 1, 7, 23, 255]


def shared(o):
    """Objects the interpreter shares with other code (singletons, cached
    small ints and one-character strings, interned names), whose counts
    move for reasons of their own."""
    if o is None or o is True or o is False:
        return True
    if type(o) is int and -5 <= o <= 256:
        return True
    if type(o) in (str, bytes) and (len(o) <= 1 or (type(o) is str and o.isidentifier())):
        return True
    return False


@pytest.mark.parametrize("name", PATHS)
def test_no_growth_over_30000_calls(name):
    make, kwargs, expected = PATHS[name]
    value = make()
    calls, warm_up = CALLS, WARM_UP
    if expected is RecursionError:
        calls, warm_up = STACK_PATH_CALLS, STACK_PATH_CALLS // 10

        def run(n):
            in_small_thread(call_many, value, kwargs, expected, n, stack_size=STACK_PATH_STACK)
    else:
        def run(n):
            call_many(value, kwargs, expected, n)

    run(warm_up)
    gc.collect()
    objects = [o for o in parts(value).values() if not shared(o)]
    # The local list holds one reference to each part; the counts below
    # are taken the same way before and after.
    before = [sys.getrefcount(o) for o in objects]
    singletons_before = [sys.getrefcount(o) for o in SINGLETONS]
    rss_before = rss()

    run(calls)
    gc.collect()

    rss_growth = rss() - rss_before
    after = [sys.getrefcount(o) for o in objects]
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(objects, before, after) if a != b]
    assert not changed, "reference counts of the input changed: %r" % changed[:5]
    if not IMMORTAL:
        for o, b in zip(SINGLETONS, singletons_before):
            # Other code touches these too; a leaked or stolen reference per
            # call would move them by thousands.
            assert abs(sys.getrefcount(o) - b) < calls // 10, (o, b, sys.getrefcount(o))
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory on purpose
        assert rss_growth < RSS_LIMIT, "resident set grew by %d bytes" % rss_growth


def test_results_are_released():
    """Each result is an object of its own, freed when dropped."""
    value = mixed_document()
    # The result and an equal object nothing else refers to, both read the
    # same way: how a name is loaded (a closure's cell, a borrowed local on
    # CPython 3.14) changes the count by one.
    pair = [dumps(value)]
    pair.append(bytes(bytearray(pair[0])))
    assert sys.getrefcount(pair[0]) == sys.getrefcount(pair[1])
    first = pair[0]
    results = [dumps(value) for _ in range(100)]
    assert all(r == first for r in results)
    assert len({id(r) for r in results}) == 100
