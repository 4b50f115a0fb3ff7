"""Hostile Python values: seeded random trials of objects whose conversion
hooks (__index__, __bool__, __eq__ of an int subclass, __float__, __str__ of
an out-of-range int subclass) clear, shrink, grow, relink or replace the
containers being walked, call dumps again, raise, or answer with the wrong
type; self- and mutually-referencing containers; 100,000 levels of nesting.
Everything runs on the main thread and again in a thread with a 256 KiB
stack.

A call passes when it does not crash and either returns one well-formed
CBOR item (decoded by cbor2, nothing left over) whose root matches what the
walk can have seen, or raises RuntimeError with one of the module's own
texts, TypeError, RecursionError, MemoryError, or the hook's own exception.

TAVREL_HOSTILE_TRIALS (default 1000) sets the number of trials per thread
kind and TAVREL_HOSTILE_SEED (default 8949) the seed; a failure names the
trial, which replays alone with the same seed.
"""
import collections
import math
import os
import random
import subprocess
import sys

import pytest

from support.helpers import PYPY, child_env, decode_strict, in_small_thread, is_stack_error
from support.model import nested, nested_bytes, root_count
from support.texts import INTERPRETER_RECURSION, LIST_CHANGED, STACK_ERROR, depth_error, own_runtime_error
from tavrel_cbor import dumps

TRIALS = int(os.environ.get("TAVREL_HOSTILE_TRIALS", "1000"))
SEED = int(os.environ.get("TAVREL_HOSTILE_SEED", "8949"))

WHERE = {"main": lambda fn, *a: fn(*a), "small-thread": in_small_thread}


class HostileError(Exception):
    """Raised by a hook on purpose."""


class Hook:
    """Runs its trial's mischief when one of its conversion methods is
    called, then answers as told: 'ok', 'raise', 'wrong' (a wrong type) or
    'false' (only meaningful for __eq__)."""

    def _init(self, trial, action, outcome, budget):
        self.trial, self.action, self.outcome, self.budget = trial, action, outcome, budget

    def _fire(self):
        if not self.trial.armed:
            return False
        self.trial.act(self)
        if self.outcome == "raise":
            raise HostileError(type(self).__name__)
        return True


class IndexHook(Hook):
    """Not an int: reaches the integer alternatives through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if self._fire() and self.outcome == "wrong":
            return "not an int"
        return self.value


class BoolHook(Hook):
    """Only a truth slot: reaches the truth-value alternative."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if self._fire() and self.outcome == "wrong":
            return 2
        return bool(self.value)


class Unanswerable:
    def __bool__(self):
        raise HostileError("truth of an equality result")


class EqInt(int, Hook):
    """An int subclass whose equality decides whether a conversion stands."""

    def __eq__(self, other):
        if self._fire():
            if self.outcome == "wrong":
                return Unanswerable()
            if self.outcome == "false":
                return False
        return int(self) == other

    __hash__ = int.__hash__


class LoudBigInt(int, Hook):
    """Out of range: the range error quotes str() of it."""

    def __str__(self):
        if self._fire() and self.outcome == "wrong":
            return 5
        return int.__repr__(self)

    __hash__ = int.__hash__


class FloatHook(float, Hook):
    """A float subclass: its value is read directly, __float__ need not run."""

    def __float__(self):
        self._fire()
        return 1.5

    __hash__ = float.__hash__


class FloatOnly(Hook):
    """Only __float__: no alternative takes it."""

    def __float__(self):
        self._fire()
        return 2.5


ACTIONS = ["clear", "shrink", "grow", "replace", "delete", "swap", "self", "link", "reenter", "none"]
OUTCOMES = ["ok"] * 10 + ["raise"] * 2 + ["wrong"] * 2 + ["false"]


class Trial:
    """One random value tree with hooks wired to its containers."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.containers = []  # the lists and dicts the hooks may change
        self.armed = False
        self.busy = False
        self.reentry = 0
        self.serial = 0
        self.sizes = []
        self.root = self.make(self.rng.randint(1, 4), top=True)

    # ---- building ----------------------------------------------------------

    def plain(self):
        rng = self.rng
        kind = rng.randrange(9)
        if kind == 0:
            return rng.choice([None, True, False])
        if kind == 1:
            return rng.randint(-2**63, 2**64 - 1)
        if kind == 2:
            return rng.choice([0, 23, 24, -1, -25, 2**64, -2**63 - 1, 255, 65536])
        if kind == 3:
            return rng.choice([0.0, -0.0, 1.5, 0.1, 1e300, math.inf, -math.inf, math.nan, 65504.0, 2.0**-24])
        if kind == 4:
            return "".join(rng.choice("ab\u00e9\u20ac\U0001f600") for _ in range(rng.randrange(6)))
        if kind == 5:
            return bytes(rng.randrange(256) for _ in range(rng.randrange(6)))
        if kind == 6:
            return rng.uniform(-1e6, 1e6)
        if kind == 7:
            return tuple(self.plain() for _ in range(rng.randrange(3)))
        self.serial += 1
        return "s%d" % self.serial

    def hook(self):
        rng = self.rng
        cls = rng.choice([IndexHook] * 3 + [BoolHook] * 2 + [EqInt] * 3 + [LoudBigInt, FloatHook, FloatOnly])
        if cls is IndexHook:
            obj = IndexHook(rng.choice([rng.randint(-2**63, 2**64 - 1), 7, -7, 2**64, -2**63 - 1]))
        elif cls is BoolHook:
            obj = BoolHook(rng.random() < 0.5)
        elif cls is EqInt:
            obj = EqInt(rng.choice([rng.randint(-2**63, 2**64 - 1), 0, -1, 2**64 + 5]))
        elif cls is LoudBigInt:
            obj = LoudBigInt(rng.choice([2**64, 2**70 + 1, -2**63 - 1, -10**50]))
        elif cls is FloatHook:
            obj = FloatHook(rng.choice([0.5, 1e-40, 3.0, math.nan]))
        else:
            obj = FloatOnly()
        obj._init(self, rng.choice(ACTIONS), rng.choice(OUTCOMES), rng.randint(1, 3))
        return obj

    def leaf(self):
        return self.hook() if self.rng.random() < 0.5 else self.plain()

    def key(self):
        r = self.rng.random()
        if r < 0.3:
            return self.hook()
        if r < 0.4:
            return tuple(self.leaf() for _ in range(self.rng.randrange(3)))
        return self.plain() if r < 0.7 else self.rng.randrange(1000)

    def make(self, depth, top=False):
        rng = self.rng
        if not top and (depth <= 0 or rng.random() < 0.4):
            return self.leaf()
        if top and rng.random() < 0.05:
            return self.hook()  # a hook as the whole argument
        kind = rng.choice(["list", "list", "dict", "tuple"])
        n = rng.randrange(7)
        if kind == "tuple":
            return tuple(self.make(depth - 1) for _ in range(n))
        if kind == "list":
            value = [self.make(depth - 1) for _ in range(n)]
        else:
            value = {}
            for _ in range(n):
                try:
                    value[self.key()] = self.make(depth - 1)
                except TypeError:  # an unhashable tuple key
                    pass
        self.containers.append(value)
        return value

    # ---- mischief ----------------------------------------------------------

    def act(self, hook):
        if self.busy or hook.budget <= 0 or not self.containers:
            return
        hook.budget -= 1
        self.busy = True
        rng = self.rng
        try:
            target = rng.choice(self.containers)
            is_list = isinstance(target, list)
            action = hook.action
            if action == "clear":
                target.clear()
            elif action == "shrink":
                for _ in range(rng.randint(1, 3)):
                    if target:
                        if is_list:
                            target.pop()
                        else:
                            del target[next(iter(target))]
            elif action == "grow":
                for _ in range(rng.randint(1, 5)):
                    if is_list:
                        target.append(self.leaf())
                    else:
                        self.serial += 1
                        target[("grown", self.serial)] = self.leaf()
            elif action == "replace" and target:
                if is_list:
                    target[rng.randrange(len(target))] = self.leaf()
                else:
                    target[rng.choice(list(target))] = self.leaf()
            elif action == "delete" and target:
                if is_list:
                    del target[rng.randrange(len(target))]
                else:
                    del target[rng.choice(list(target))]
            elif action == "swap":
                if is_list:
                    target.reverse()
                elif target:
                    # Same size, different entry.
                    value = target.pop(rng.choice(list(target)))
                    self.serial += 1
                    target[("swapped", self.serial)] = value
            elif action == "self":
                if is_list:
                    target.append(target)
                else:
                    target["self"] = target
            elif action == "link":
                other = rng.choice(self.containers)
                if is_list:
                    target.insert(rng.randrange(len(target) + 1), other)
                else:
                    target["link"] = other
            elif action == "reenter" and self.reentry < 2:
                self.reentry += 1
                try:
                    dumps(self.root, rng.random() < 0.5)
                except (RuntimeError, TypeError, RecursionError, MemoryError, HostileError):
                    pass
                finally:
                    self.reentry -= 1
            if isinstance(self.root, (list, dict)):
                self.sizes.append(len(self.root))
        finally:
            self.busy = False


def run_trial(index):
    """One trial; returns the name of its outcome, or fails."""
    trial = Trial(SEED * 1_000_003 + index)
    rng = trial.rng
    indefinite = rng.random() < 0.6
    max_depth = rng.choice([0, 0, 0, 2, 4, 64])
    root = trial.root
    initial = len(root) if isinstance(root, (list, dict, tuple)) else None
    context = f"trial {index} (seed {SEED}), indefinite={indefinite}, max_depth={max_depth}"
    trial.armed = True
    try:
        out = dumps(root, indefinite, max_depth)
    except RecursionError as e:
        assert str(e).startswith(INTERPRETER_RECURSION), context
        return "RecursionError"
    except RuntimeError as e:
        assert own_runtime_error(str(e)), f"{context}: unexpected RuntimeError {str(e)[:200]!r}"
        return "RuntimeError: " + str(e)[:30]
    except (TypeError, MemoryError, HostileError) as e:
        return type(e).__name__
    finally:
        trial.armed = False
    assert isinstance(out, bytes), context
    try:
        decode_strict(out)
    except RecursionError:
        pass  # cbor2's own limit on a legitimately deep (linked) result
    if isinstance(root, (list, dict, tuple)):
        n = root_count(out)
        final = len(root)
        if isinstance(root, list) and indefinite:
            # Written up to the size seen when the walk ended, and never more
            # than the list ever held.
            assert final <= n <= max([initial] + trial.sizes), f"{context}: {n} items, {initial}->{final}"
        else:
            assert n == initial == final, f"{context}: {n} items, {initial}->{final}"
    return "encoded"


def run_trials(count):
    tally = collections.Counter()
    for index in range(count):
        tally[run_trial(index)] += 1
    return tally


@pytest.mark.parametrize("where", WHERE)
def test_random_hostile_trials(where):
    tally = WHERE[where](run_trials, TRIALS)
    # The trials must exercise both ends: values that encode despite their
    # hooks, and walks stopped by a container changed under them.
    assert tally["encoded"] >= TRIALS // 10, tally
    changed = sum(v for k, v in tally.items() if "changed size" in k)
    assert changed >= 1 or TRIALS < 200, tally


# ---- references back into the walk -----------------------------------------


def self_list():
    value = [1, "a"]
    value.append(value)
    return value


def self_dict():
    value = {"k": 1}
    value["me"] = value
    return value


def list_dict_cycle():
    a, b = [0], {"x": None}
    a.append(b)
    b["x"] = a
    return a


def tuple_through_list():
    holder = []
    t = (1, holder)
    holder.append(t)
    return t


def dict_key_cycle():
    holder = []
    d = {(1, 2): holder}
    holder.append(d)
    holder.append({"again": d})
    return d


CYCLES = {"self-list": self_list, "self-dict": self_dict, "list-dict": list_dict_cycle,
          "tuple-list": tuple_through_list, "dict-key": dict_key_cycle}


@pytest.mark.parametrize("where", WHERE)
@pytest.mark.parametrize("make", CYCLES.values(), ids=CYCLES.keys())
@pytest.mark.parametrize("indefinite", [True, False], ids=["indef", "def"])
def test_cycles_stop_with_an_error(make, indefinite, where):
    def call(limit):
        with pytest.raises((RecursionError, RuntimeError)) as info:
            dumps(make(), indefinite, limit)
        return info

    unlimited = WHERE[where](call, 0)
    assert unlimited.type is RecursionError and str(unlimited.value) == STACK_ERROR
    limited = WHERE[where](call, 25)
    assert limited.type is RuntimeError and str(limited.value) == depth_error(25)


@pytest.mark.parametrize("stack_size", [16 * 1024 * 1024, 256 * 1024], ids=["16MiB", "256KiB"])
def test_each_thread_keeps_its_own_stack_limits(stack_size):
    # A thread's limits are worked out at its first call and kept for the
    # later ones: each call of each thread, a small one after a large one
    # included, must stop at the end of that thread's own stack.
    def three_calls():
        errors = []
        for make in (self_list, self_dict, self_list):
            with pytest.raises(RecursionError) as info:
                dumps(make())
            errors.append(str(info.value))
        return errors

    assert in_small_thread(three_calls, stack_size=stack_size) == [STACK_ERROR] * 3


# ---- very deep nesting -------------------------------------------------------

DEPTH = 100_000


# PyPy's C API layer converts a deeply nested tuple for C recursively, and
# overflows its own stack, before any extension sees it.
DEEP_TUPLE = pytest.param(
    tuple, id="tuple", marks=pytest.mark.skipif(PYPY, reason="PyPy converts deeply nested tuples for C recursively")
)


@pytest.mark.parametrize("where", WHERE)
@pytest.mark.parametrize("kind", [pytest.param(list, id="list"), DEEP_TUPLE, pytest.param(dict, id="dict")])
@pytest.mark.parametrize("indefinite", [True, False], ids=["indef", "def"])
def test_hundred_thousand_levels(kind, indefinite, where):
    # DEPTH levels below the root: DEPTH + 1 containers.
    value = nested(kind, DEPTH + 1, key="k")

    def call():
        try:
            return dumps(value, indefinite)
        except RecursionError as e:
            # Without its traceback: the frames in it hold value in a cycle,
            # which a collection on a small thread would free 100,000 deep.
            return e.with_traceback(None)

    result = WHERE[where](call)
    if isinstance(result, RecursionError):
        # Under PyPy its own stack check may trip before ours.
        assert is_stack_error(result)
    else:
        assert result == nested_bytes(kind, DEPTH + 1, indefinite, key="k")
    if where == "small-thread":
        # 256 KiB cannot hold 100,000 native levels: the guard must have fired.
        assert isinstance(result, RecursionError)


DEEP_GARBAGE_CHILD = r"""
import gc
import test_hostile
from support.helpers import PYPY, in_small_thread
gc.disable()
kinds = (list, dict) if PYPY else (list, tuple, dict)
for kind in kinds:
    for indefinite in (True, False):
        for where in test_hostile.WHERE:
            test_hostile.test_hundred_thousand_levels(kind, indefinite, where)
            # Whatever the test left to the collector is freed on a 256 KiB stack.
            in_small_thread(gc.collect)
print("ok")
"""


def test_deep_values_are_not_left_to_the_collector():
    """Freeing 100,000 levels recurses in the interpreter (CPython 3.13.0
    overflows a 256 KiB stack with it), so the deep tests must drop their
    values by reference count on the main thread: nothing deep may remain in
    a reference cycle for a collection that runs on a small thread."""
    here = os.path.dirname(os.path.abspath(__file__))
    result = subprocess.run([sys.executable, "-c", DEEP_GARBAGE_CHILD], env=child_env(here), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True, timeout=600)
    assert (result.returncode, result.stdout.strip()) == (0, "ok"), result.stderr[-2000:]


@pytest.mark.parametrize("where", WHERE)
def test_deep_nesting_under_a_hook_that_changes_it(where):
    """A hook at the bottom of a deep chain clears the list at the top."""

    class Clearer:
        def __init__(self, top):
            self.top = top

        def __index__(self):
            self.top.clear()
            return 1

    def call(indefinite):
        top, bottom = [], []
        chain = bottom
        # Deep, yet shallow enough that the hook keeps the room left for
        # Python code on a 256 KiB thread in a sanitized build too.
        for _ in range(100):
            chain = [chain]
        top.append(chain)
        bottom.append(Clearer(top))
        try:
            return dumps(top, indefinite)
        except (RuntimeError, RecursionError) as e:
            return e

    indef = WHERE[where](call, True)
    # The chain was held while written, so all of it comes out.
    assert indef == b"\x9f" * 102 + b"\x01" + b"\xff" * 102
    definite = WHERE[where](call, False)
    assert isinstance(definite, RuntimeError) and str(definite) == LIST_CHANGED


@pytest.mark.parametrize("where", WHERE)
def test_reentrant_dumps_from_a_hook(where):
    """A hook that encodes the value being walked, a few levels deep."""
    depth = {"now": 0}
    value = []

    class Reenter:
        def __index__(self):
            if depth["now"] < 3:
                depth["now"] += 1
                try:
                    inner = dumps(value)
                finally:
                    depth["now"] -= 1
                assert inner.startswith(b"\x9f\x01")
            return 1

    value.extend([1, Reenter(), [Reenter()]])
    out = WHERE[where](dumps, value)
    assert out == bytes.fromhex("9f 01 01 9f 01 ff ff")


REENTRY_CHILD = r"""
import sys, threading
from tavrel_cbor import dumps
depth = [0]

class Reenter:
    def __index__(self):
        if depth[0] < 200:
            depth[0] += 1
            try:
                dumps([Reenter()])
            finally:
                depth[0] -= 1
        return 1

def run():
    try:
        print(dumps([Reenter()]).hex())
    except Exception as e:
        print(type(e).__name__, e)

threading.stack_size(256 * 1024)
thread = threading.Thread(target=run)
thread.start()
thread.join()
"""


@pytest.mark.skipif(os.environ.get("TAVREL_SANITIZED") == "1",
                    reason="sanitized frames are several times larger; the plain suite covers the chain")
def test_reentrant_dumps_chain_in_a_small_thread_does_not_crash():
    """200 levels of dumps called from __index__ of an element, in a thread
    whose stack cannot hold them: the guard must turn that into an error
    (or the chain must fit), never a crash.  Pure Python recursion of the
    same shape through __index__ survives in such a thread."""
    result = subprocess.run([sys.executable, "-c", REENTRY_CHILD], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert result.returncode == 0, "child died with %d" % result.returncode
    line = result.stdout.strip()
    assert line == "9f01ff" or line.startswith(("RecursionError", "RuntimeError")), line
