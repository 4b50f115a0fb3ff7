"""Hostile bytes for loads: length claims far beyond the input, chains of
heads that each claim all the bytes left, nesting a million deep, a million
string chunks, misplaced chunks and breaks, reserved initial bytes, every
prefix of real documents, and seeded mutations of them.

Every trial runs in a child interpreter, once on the main thread and once
on a thread with a 256 KiB stack, with its address space capped
(RLIMIT_AS) at what the interpreter already maps plus ALLOWANCE and
PER_BYTE times the input's size.  A trial passes when loads returns the
value it should or raises CBORDecodeError: none of these inputs is a
genuine cause for MemoryError or RecursionError, so either fails it, as a
crash does.  Keys chosen to collide in Python's hash are checked in
process at the end.

TAVREL_DECODE_DEPTH (default 1,000,000) sets the nesting of the deep
trials on the main thread (a tenth of it on the small one),
TAVREL_DECODE_MUTATIONS (default 10,000) the number of mutated
documents, TAVREL_DECODE_SEED (default 8949) their seed.
"""
import os
import random
import resource
import subprocess
import sys
import threading
import traceback

import pytest

from support.helpers import PYPY, child_env, in_small_thread
from support.model import head
from support.texts import TAG_RECURSION

DEPTH = int(os.environ.get("TAVREL_DECODE_DEPTH", "1000000"))
MUTATIONS = int(os.environ.get("TAVREL_DECODE_MUTATIONS", "10000"))
SEED = int(os.environ.get("TAVREL_DECODE_SEED", "8949"))
CHUNKS = 1_000_000
# The cap over what the child maps before the call: room for the interpreter
# to run, plus a multiple of the input generous enough for a value of one
# small object per input byte (a list per "81").  PyPy's collector maps its
# arenas in large steps and dies (SIGSEGV) when one is refused: at 256 MiB it
# did so decoding canada.json on the small thread, at 1 GiB it does not.
ALLOWANCE = (1024 if PYPY else 64) << 20
PER_BYTE = 160
DATA_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))),
                        "shared", "bench-data")

VALUE, ERROR = "value", "CBORDecodeError"
HERE = os.path.dirname(os.path.abspath(__file__))


class Trial:
    """One input; expect is the set of outcomes allowed; depth or size, if
    given, what the value must show."""

    def __init__(self, label, data, expect, depth=None, size=None, **options):
        self.label, self.data, self.expect = label, data, expect
        self.depth, self.size, self.options = depth, size, options


CASES = {}


def case(fn):
    CASES[fn.__name__] = fn
    return fn


# ---- length claims ----------------------------------------------------------------

HUGE = [2**32 - 1, 2**64 - 1]


@case
def length_claims(where):
    for major in (2, 3, 4, 5):
        for claim in HUGE:
            h = head(major, claim)
            for tail in (b"", b"\x00", b"\x00" * 4):
                for prefix in (b"", b"\x81", b"\x9f", b"\xa1\x00", b"\xc6", b"\xbf\x00"):
                    yield Trial(f"{prefix.hex()}+{h.hex()}+{len(tail)}", prefix + h + tail, {ERROR})
    for claim in HUGE:  # a chunk of an indefinite string
        yield Trial(f"chunk {claim}", b"\x5f" + head(2, claim) + b"\x00", {ERROR})


@case
def heads_claiming_all_that_is_left(where):
    # Each head claims every byte after it as items: together the claims are
    # quadratic in the input, so reserving even the bytes left at each level
    # would overrun the cap.
    for major, width in ((4, 0x1B), (5, 0x1B), (4, 0x1A), (5, 0x1A)):
        chain = b"\x00"
        for _ in range(4000):
            chain = bytes([major << 5 | width]) + len(chain).to_bytes(8 if width == 0x1B else 4, "big") + chain
        yield Trial(f"{major}/{width:#x}", chain, {ERROR})
        yield Trial(f"{major}/{width:#x} unlimited", chain, {ERROR}, max_depth=0)
    # A string claim at the bottom of a chain of arrays of one.
    yield Trial("string under arrays", b"\x81" * 9000 + b"\x5b" + (2**63).to_bytes(8, "big"), {ERROR})


# ---- deep nesting -------------------------------------------------------------------

NESTINGS = {  # opening of one step, its closing, levels one step adds
    "array": (b"\x81", b"", 1),
    "indefinite-array": (b"\x9f", b"\xff", 1),
    "map": (b"\xa1\x00", b"", 1),
    "indefinite-map": (b"\xbf\x00", b"\xff", 1),
    "tag": (b"\xd8\x20", b"", 1),
    "tag-one-byte": (b"\xc6", b"", 1),
    # [[_ {0: 32(...)}]]: array, indefinite array, map and tag in turn.
    "mixed": (b"\x81\x9f\xa1\x00\xd8\x20", b"\xff", 4),
}


def _deep(kind, truncated, levels):
    """levels of one kind around a 0, or all of it but the 0 and the last
    half of the closings; and the levels."""
    opening, closing, per_step = NESTINGS[kind]
    steps = levels // per_step
    if truncated:
        return opening * steps + closing * (steps // 2), None
    return opening * steps + b"\x00" + closing * steps, steps * per_step


# CPython 3.13 itself overflows a 256 KiB stack freeing a 10,000-deep list
# (no tavrel_cbor needed; 3.12 and 3.14 free it): there a small thread hands
# the deep values it was given to the main thread to free.  What loads frees
# itself, on refusing an item after a deep one, it takes apart without
# recursion everywhere.
FREES_DEEP_ON_SMALL_STACKS = not (sys.implementation.name == "cpython" and sys.version_info[:2] == (3, 13))
KEPT_FOR_THE_MAIN_THREAD = []


def _nesting(kind):
    def trials(where):
        # A tenth of it already gives a 256 KiB stack under 3 bytes a level.
        levels = DEPTH if where == "main" else DEPTH // 10
        for truncated in (False, True):
            data, depth = _deep(kind, truncated, levels)
            state = "truncated" if truncated else "complete"
            yield Trial(f"{kind} {state} default limit", data, {ERROR})
            yield Trial(f"{kind} {state} max_depth=0", data, {ERROR} if truncated else {VALUE}, depth=depth,
                        max_depth=0)
        # As deep as the default limit lets a value be, which a thread with a
        # small stack must build, hand back and free; and such a value as the
        # first item of an array whose second never comes, which loads frees.
        opening, closing, per_step = NESTINGS[kind]
        steps = 10_000 // per_step
        yield Trial(f"{kind} at the default limit", opening * steps + b"\x00" + closing * steps, {VALUE},
                    depth=steps * per_step)
        inner = steps - 1
        yield Trial(f"{kind} at the default limit, then truncated",
                    b"\x82" + opening * inner + b"\x00" + closing * inner, {ERROR})

    return trials


for _kind in NESTINGS:
    CASES["deep " + _kind] = _nesting(_kind)


# ---- strings, chunks and breaks ---------------------------------------------------------


@case
def million_chunks(where):
    yield Trial("bytes", b"\x5f" + b"\x41\x00" * CHUNKS + b"\xff", {VALUE}, size=CHUNKS)
    yield Trial("text", b"\x7f" + b"\x61a" * CHUNKS + b"\xff", {VALUE}, size=CHUNKS)
    yield Trial("empty chunks", b"\x5f" + b"\x40" * CHUNKS + b"\xff", {VALUE}, size=0)
    yield Trial("two-byte characters split", b"\x7f" + b"\x62\xc3\xa9" * CHUNKS + b"\xff", {VALUE}, size=CHUNKS)
    yield Trial("unclosed", b"\x5f" + b"\x41\x00" * CHUNKS, {ERROR})
    yield Trial("in an array", b"\x9f" + (b"\x5f" + b"\x41\x00" * 10 + b"\xff") * (CHUNKS // 10) + b"\xff",
                {VALUE}, size=CHUNKS // 10)


@case
def misplaced_chunks_and_breaks(where):
    many = b"\x41\x00" * CHUNKS
    for wrong in (b"\x61a", b"\x00", b"\x20", b"\x80", b"\xa0", b"\xc6\x40", b"\xf6", b"\xf9\x00\x00"):
        yield Trial(f"bytes then {wrong.hex()}", b"\x5f" + many + wrong + b"\xff", {ERROR})
        yield Trial(f"text then {wrong.hex()}", b"\x7f" + b"\x61a" * CHUNKS + wrong.replace(b"\x61a", b"\x41a")
                    + b"\xff", {ERROR})
    yield Trial("nested indefinite chunks", b"\x5f" * CHUNKS + b"\xff" * CHUNKS, {ERROR})
    yield Trial("nested indefinite text", b"\x7f\x7f\x61a\xff\xff", {ERROR})
    for data in (b"\xff", b"\x81\xff", b"\x82\x00\xff", b"\xa1\xff", b"\xa1\x00\xff", b"\xc6\xff", b"\xbf\x00\xff",
                 b"\x9f" * 1000 + b"\xff" * 1001, b"\x81" * 1000 + b"\xff", b"\x9f\x81\xff\xff"):
        yield Trial(f"break {data[:8].hex()}..{len(data)}", data, {ERROR})


RESERVED = [major << 5 | info for major in range(8) for info in (28, 29, 30)]


@case
def reserved_initial_bytes(where):
    for byte in RESERVED:
        b = bytes([byte])
        for where, data in (("alone", b), ("array", b"\x82\x00" + b), ("indefinite array", b"\x9f" + b + b"\xff"),
                            ("key", b"\xa1" + b + b"\x00"), ("value", b"\xbf\x00" + b + b"\xff"),
                            ("tagged", b"\xc6" + b), ("chunk", b"\x5f" + b + b"\xff"),
                            ("deep", b"\x81" * 5000 + b), ("after a head", b + b"\x00" * 8)):
            yield Trial(f"{byte:#04x} {where}", data, {ERROR})


# ---- real documents -----------------------------------------------------------------------


def documents():
    """The benchmark documents, each as dumps writes it in both framings."""
    import json

    from tavrel_cbor import dumps

    for name in ("twitter", "citm_catalog", "canada"):
        path = os.path.join(DATA_DIR, name + ".json")
        with open(path, "rb") as f:
            value = json.load(f)
        for indefinite in (True, False):
            yield f"{name} {'indef' if indefinite else 'def'}", value, dumps(value, indefinite)


def _slice(value, budget):
    """A piece of a document a few KB long, with its nesting kept."""
    from tavrel_cbor import dumps

    if isinstance(value, dict):
        out = {}
        for k, v in value.items():
            out[k] = _slice(v, budget // 2)
            if len(dumps(out)) > budget:
                break
        return out
    if isinstance(value, list):
        out = []
        for v in value:
            out.append(_slice(v, budget // 2))
            if len(dumps(out)) > budget:
                break
        return out
    return value


@case
def every_prefix(where):
    from tavrel_cbor import dumps

    rng = random.Random(SEED)
    for label, value, data in documents():
        indefinite = data[0] in (0x9F, 0xBF)
        piece = dumps(_slice(value, 1500), indefinite)
        for end in range(len(piece)):
            yield Trial(f"{label} piece[:{end}]", piece[:end], {ERROR})
        yield Trial(f"{label} piece", piece, {VALUE})
        for end in sorted(rng.sample(range(len(data)), 40)):
            yield Trial(f"{label}[:{end}]", data[:end], {ERROR})
        yield Trial(label, data, {VALUE})


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.choice([1, 1, 2, 3, 8])):
        pos = rng.randrange(len(data) + 1)
        kind = rng.randrange(7)
        if kind == 0 and pos < len(data):
            data[pos] ^= 1 << rng.randrange(8)
        elif kind == 1 and pos < len(data):
            data[pos] = rng.choice([0x00, 0x18, 0x1B, 0x5B, 0x7B, 0x9B, 0xBB, 0x5F, 0x7F, 0x9F, 0xBF, 0xC2, 0xC0,
                                    0xC1, 0xD9, 0xF8, 0xF9, 0xFB, 0xFF, 0x1C, 0xFF])
        elif kind == 2:
            data[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 9)))
        elif kind == 3:
            del data[pos:pos + rng.randrange(1, 9)]
        elif kind == 4 and pos < len(data):  # a length head's argument set high
            data[pos:pos + 9] = bytes([rng.choice([0x5B, 0x7B, 0x9B, 0xBB, 0x9A])]) + b"\xff" * 8
        elif kind == 5:  # a piece repeated
            n = rng.randrange(1, 16)
            data[pos:pos] = data[pos:pos + n] * rng.randrange(2, 30)
        else:  # spliced from elsewhere
            start = rng.randrange(len(data) or 1)
            data[pos:pos] = data[start:start + rng.randrange(1, 40)]
    return bytes(data)


@case
def mutations(where):
    from tavrel_cbor import dumps

    rng = random.Random(SEED + 1)
    pieces = [dumps(_slice(value, 2000), rng.random() < 0.5) for _, value, _ in documents()]
    pieces += [bytes.fromhex(h) for h in ("c249010000000000000000", "c074323031332d30332d32315432303a30343a30305a",
                                          "c11a514b67b0", "c1fb41d452d9ec200000", "d82076687474703a2f2f",
                                          "5f42010243030405ff", "bf6346756ef563416d7421ff", "f97e00", "f8ff")]
    for index in range(MUTATIONS):
        data = mutate(rng, rng.choice(pieces))
        yield Trial(f"mutation {index}: {data[:40].hex()}", data, {VALUE, ERROR})


# ---- the child's side ---------------------------------------------------------------------


def address_space():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize")


def nesting(value):
    """Levels below the root along the first element, key's value or tag."""
    levels = 0
    while True:
        if isinstance(value, list) and value:
            value = value[0]
        elif isinstance(value, dict) and value:
            value = next(iter(value.values()))
        elif type(value).__name__ == "Tag":
            value = value.value
        else:
            return levels
        levels += 1


def run(trial, mapped):
    """The outcome of one trial, under the cap over mapped bytes; None when
    it is as expected."""
    import tavrel_cbor

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    cap = mapped + ALLOWANCE + PER_BYTE * len(trial.data)
    resource.setrlimit(resource.RLIMIT_AS, (cap if hard == resource.RLIM_INFINITY else min(cap, hard), hard))
    try:
        value = tavrel_cbor.loads(trial.data, **trial.options)
        kind = VALUE
    except tavrel_cbor.CBORDecodeError as e:
        kind, value = ERROR, e
        assert " at byte " in str(e), str(e)
    except (MemoryError, RecursionError) as e:
        kind, value = type(e).__name__, e.with_traceback(None)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    if kind not in trial.expect:
        return f"{kind}: {str(value)[:200]}"
    if kind == VALUE and trial.depth is not None and nesting(value) != trial.depth:
        return f"nesting {nesting(value)}, expected {trial.depth}"
    if kind == VALUE and trial.size is not None:
        got = len(value)
        if got != trial.size:
            return f"size {got}, expected {trial.size}"
    if kind == VALUE and not FREES_DEEP_ON_SMALL_STACKS and threading.current_thread() is not threading.main_thread():
        KEPT_FOR_THE_MAIN_THREAD.append(value)
    return None


def run_all(name, where):
    """Every trial of one case, in this thread; the failures and the count."""
    failures, count = [], 0
    for trial in CASES[name](where):
        # Read again now and then: /proc is slow next to a short trial.
        if count % 256 == 0 or len(trial.data) > 4096:
            mapped = address_space()
        sys.stderr.write(f"{where} {trial.label}\n")
        try:
            problem = run(trial, mapped)
        except Exception:
            problem = traceback.format_exc(limit=3)
        if problem is not None:
            failures.append(f"{where} {trial.label}: {problem}")
        count += 1
    return failures, count


def child_main(name):
    """Runs every trial of one case on the main thread, then all of them
    again on one thread with a small stack; prints each failure and a
    closing count."""
    failures, count = run_all(name, "main")
    more, again = in_small_thread(run_all, name, "small-thread")
    del KEPT_FOR_THE_MAIN_THREAD[:]
    for line in (failures + more)[:50]:
        print("FAIL", line)
    print(f"done {count + again} trials, {len(failures + more)} failed")


def marks(name):
    if name in ("every_prefix", "mutations") and not os.path.isdir(DATA_DIR):
        return pytest.mark.skip(reason=f"no benchmark documents in {DATA_DIR}")
    return ()


@pytest.mark.parametrize("name", [pytest.param(n, marks=marks(n)) for n in CASES])
def test_hostile_input_ends_cleanly(name):
    env = child_env(HERE)
    env["MALLOC_ARENA_MAX"] = "1"  # no per-thread arena reservations under the cap
    code = f"import test_decode_hostile as t; t.child_main({name!r})"
    proc = subprocess.run([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=600)
    last = proc.stderr.strip().splitlines()[-3:]
    assert proc.returncode == 0, f"child died with {proc.returncode} during: {last}"
    lines = proc.stdout.strip().splitlines()
    assert lines and lines[-1].startswith("done ") and lines[-1].endswith(" 0 failed"), "\n".join(lines[-60:])


# ---- keys chosen to collide in Python's hash ------------------------------------------------

COLLIDING = 40_000
# The modulus of the interpreter's int hash (2**61 - 1 on 64-bit builds,
# 2**31 - 1 on 32-bit ones): every multiple hashes to 0.
MODULUS = sys.hash_info.modulus


def bignum_key(k):
    n = k * MODULUS
    raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return b"\xc2" + head(2, len(raw)) + raw


def pair_key(k):
    return b"\x82" + head(0, k) + head(1, k)


KEY_KINDS = {"bignum": (bignum_key, lambda k: k * MODULUS), "pair": (pair_key, lambda k: (k, -1 - k))}


@pytest.mark.parametrize("kind", KEY_KINDS)
def test_colliding_keys_are_refused_at_the_first(kind):
    from tavrel_cbor import CBORDecodeError, loads

    make, value = KEY_KINDS[kind]
    data = head(5, COLLIDING) + b"".join(make(k) + b"\x00" for k in range(1, COLLIDING + 1))
    if kind == "bignum":
        assert {hash(value(k)) for k in (1, 2, COLLIDING)} == {0}
    # Refused where the first such key starts, after the map's 3-byte head.
    with pytest.raises(CBORDecodeError, match=r" at byte 3\Z"):
        loads(data)
    with pytest.raises(CBORDecodeError, match=r" at byte 4\Z"):
        loads(b"\x81" + data)


@pytest.mark.parametrize("kind", KEY_KINDS)
def test_unsafe_keys_opt_in_builds_the_dict(kind):
    """The opt-in takes such keys as they are (Python's dict then pays for
    their collisions: kept small here) and still refuses duplicates."""
    from tavrel_cbor import CBORDecodeError, loads

    make, value = KEY_KINDS[kind]
    n = 1500
    data = head(5, n) + b"".join(make(k) + head(0, k) for k in range(1, n + 1))
    assert loads(data, unsafe_keys=True) == {value(k): k for k in range(1, n + 1)}
    twice = head(5, 3) + make(1) + b"\x00" + make(2) + b"\x00" + make(1) + b"\x00"
    # Named at the second copy of the key.
    with pytest.raises(CBORDecodeError, match=r" at byte %d\Z" % (len(twice) - len(make(1)) - 1)):
        loads(twice, unsafe_keys=True)


# ---- what a deep result meets afterwards ---------------------------------------------------

DEEP_TAG_CHILD = r"""
import os, sys, tavrel_cbor
from support.helpers import in_small_thread
sys.setrecursionlimit(1_000_000)  # so that only the Tags' own guard is left
value = tavrel_cbor.loads(b"\xd8\x20" * 9999 + b"\x00")
other = tavrel_cbor.loads(b"\xd8\x20" * 9999 + b"\x00")

def call(fn):
    try:
        fn()
        return "ok"
    except RecursionError as e:
        return str(e)

for fn in (lambda: repr(value), lambda: value == other, lambda: hash(value)):
    print(in_small_thread(call, fn), flush=True)
os._exit(0)  # the values are not freed here: freeing is the deep_nesting cases' concern
"""


def test_repr_equality_and_hash_of_a_deep_tag_on_a_small_stack():
    """A Tag as deep as the default limit allows, shown, compared and hashed
    on a 256 KiB thread with no recursion limit to speak of: the Tags' own
    guard raises RecursionError before the stack runs out."""
    proc = subprocess.run([sys.executable, "-c", DEEP_TAG_CHILD], env=child_env(HERE), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert proc.returncode == 0, f"child died with {proc.returncode}"
    assert proc.stdout.splitlines() == [TAG_RECURSION] * 3, proc.stdout
