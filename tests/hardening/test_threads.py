"""Threads: 8 threads x 20,000 dumps calls on shared, unchanging values give
byte-identical results; threads dumping a list and a dict that another
thread keeps changing (hooks in them let the interpreter switch threads in
the middle of a walk) see only well-formed results or the module's errors,
and nothing crashes."""
import os
import random
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

from support.helpers import decode_strict
from support.texts import CAST_ERROR, CHANGED_ERRORS
from tavrel_cbor import dumps

THREADS = 8
CALLS = 20_000
OWN_ERRORS = CHANGED_ERRORS + (CAST_ERROR,)


def shared_values():
    return {
        "document": {"ints": [0, 24, 2**64 - 1, -2**63], "floats": [1.5, 0.1, float("nan"), 1e300],
                     "text": ["", "\u00e9\u20ac\U0001f600" * 3], "bytes": b"\x00\x01" * 20,
                     (1, 2): [None, True, False, {"k": ((),)}]},
        "numbers": list(range(-300, 300)) + [2.0**-24, 65504.0, -0.0],
        "text": "x" * 5000,
        "nested": [[[[["deep"]]]]],
    }


@pytest.fixture
def fast_switching():
    """Have the interpreter switch threads as often as it can."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(targets):
    errors = []

    def guard(fn, *args):
        try:
            fn(*args)
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=guard, args=t) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def test_shared_values_give_identical_bytes(fast_switching):
    values = shared_values()
    modes = [(True, 0), (False, 0), (True, 8), (False, 8)]
    expected = {(name, mode): dumps(value, *mode) for name, value in values.items() for mode in modes}
    keys = sorted(expected, key=repr)
    mismatches = []

    def worker(seed):
        rng = random.Random(seed)
        for _ in range(CALLS):
            name, mode = key = keys[rng.randrange(len(keys))]
            if dumps(values[name], *mode) != expected[key]:
                mismatches.append(key)

    run_threads([(worker, i) for i in range(THREADS)])
    assert not mismatches, mismatches[:5]
    # Nothing was changed by the encoding itself.
    assert repr(values) == repr(shared_values())  # repr: NaN is not equal to itself


class Yield:
    """An integer whose conversion gives other threads a turn mid-walk."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


def test_concurrent_mutation_never_crashes(fast_switching):
    shared_list = [Yield(i) for i in range(50)]
    shared_dict = {i: Yield(i) for i in range(50)}
    stop = threading.Event()
    outcomes = {"encoded": 0, "changed": 0}
    lock = threading.Lock()

    def mutator():
        rng = random.Random(1)
        while not stop.is_set():
            op = rng.randrange(7)
            if op == 0:
                shared_list.append(Yield(rng.randrange(100)))
            elif op == 1 and shared_list:
                shared_list.pop(rng.randrange(len(shared_list)))
            elif op == 2 and len(shared_list) > 40:
                del shared_list[10:]
            elif op == 3:
                shared_dict[rng.randrange(100)] = Yield(1)
            elif op == 4 and shared_dict:
                shared_dict.pop(next(iter(shared_dict)), None)
            elif op == 5 and shared_list:
                shared_list[rng.randrange(len(shared_list))] = [Yield(2), "x"]
            else:
                shared_list.reverse()
            if len(shared_list) < 5:
                shared_list.extend(Yield(i) for i in range(20))

    def dumper(seed):
        rng = random.Random(seed)
        for _ in range(1500):
            target = shared_list if rng.random() < 0.6 else shared_dict
            try:
                out = dumps(target, rng.random() < 0.5)
            except RuntimeError as e:
                assert str(e) in OWN_ERRORS, str(e)
                with lock:
                    outcomes["changed"] += 1
            else:
                decode_strict(out)
                with lock:
                    outcomes["encoded"] += 1

    mutating = threading.Thread(target=mutator)
    mutating.start()
    try:
        run_threads([(dumper, i) for i in range(4)])
    finally:
        stop.set()
        mutating.join()
    assert outcomes["encoded"] > 0, outcomes


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="not a free-threaded build")
def test_free_threaded_interpreter_turns_the_gil_back_on():
    # The module does not declare itself safe to run without the GIL, so a
    # free-threaded CPython enables it again on import, and says so.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    script = "import sys, tavrel_cbor; print(sys._is_gil_enabled())"
    done = subprocess.run([sys.executable, "-W", "default", "-c", script], capture_output=True, text=True, env=env,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["True"]
    assert "RuntimeWarning" in done.stderr and "tavrel_cbor" in done.stderr, done.stderr
