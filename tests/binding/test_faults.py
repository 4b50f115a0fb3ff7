"""Hostile inputs: native stack exhaustion, containers changed by Python
code run in the middle of their walk, and the quoted text of the integer
range error."""
import subprocess
import sys
import textwrap

import cbor2
import pytest

from support.helpers import DEEP_OK, PYPY, SIZE_MAX, in_small_thread, is_stack_error, obj, raises_exact, sub
from support.model import nested, nested_bytes, scan
from support.texts import DICT_CHANGED, KEYS_CHANGED, LIST_CHANGED, RANGE_ERROR
from tavrel_cbor import dumps

DEEP = 300_000


def self_list():
    value = [1]
    value.append(value)
    return value


def self_dict():
    value = {"a": 1}
    value["me"] = [value]
    return value


# PyPy's C API layer builds the C form of a nested tuple recursively as soon
# as it reaches any extension, and overflows its own stack on this one.
DEEP_TUPLE = pytest.param(
    lambda: nested(tuple, DEEP),
    marks=pytest.mark.skipif(PYPY, reason="PyPy converts deeply nested tuples for C recursively"),
)

HOSTILE = {
    "list": lambda: nested(list, DEEP),
    "tuple": DEEP_TUPLE,
    "dict": lambda: nested(dict, DEEP // 2),
    "self-list": self_list,
    "self-dict": self_dict,
}


@pytest.mark.parametrize("make", HOSTILE.values(), ids=HOSTILE.keys())
def test_stack_exhaustion_raises(make, indefinite):
    value = make()
    with pytest.raises(RecursionError) as caught:
        dumps(value, indefinite)
    assert is_stack_error(caught.value)
    # A huge limit does not stop the walk either; the stack guard does.
    with pytest.raises(RecursionError) as caught:
        dumps(value, indefinite, SIZE_MAX)
    assert is_stack_error(caught.value)
    assert dumps([1], indefinite) == (b"\x9f\x01\xff" if indefinite else b"\x81\x01")


@pytest.mark.parametrize("kind", [list, tuple, dict])
def test_ten_thousand_levels_encode(kind, indefinite):
    assert dumps(nested(kind, DEEP_OK), indefinite) == nested_bytes(kind, DEEP_OK, indefinite)


def deep_with_python_code(levels):
    # Every level also holds an object whose conversion runs __bool__.
    truthy = obj(bool=True)
    value = [truthy]
    for _ in range(levels):
        value = [truthy, value]
    return value


@pytest.mark.parametrize(
    "make", [*HOSTILE.values(), lambda: deep_with_python_code(DEEP // 3)], ids=[*HOSTILE, "deep-with-bool"]
)
def test_stack_exhaustion_in_a_small_thread(make, indefinite):
    value = make()
    with pytest.raises(RecursionError) as caught:
        in_small_thread(dumps, value, indefinite)
    assert is_stack_error(caught.value)


def test_small_thread_still_encodes_shallow_values():
    assert in_small_thread(dumps, nested(list, 100), False) == nested_bytes(list, 100, False)


def hook(kind, action):
    """An element whose conversion runs action (once): through __index__,
    through __bool__, or through __eq__ of an int subclass."""
    pending = [action]

    def fire():
        while pending:
            pending.pop()()

    if kind == "index":
        return type("IndexHook", (), {"__index__": lambda s: fire() or 5})()
    if kind == "bool":
        return type("BoolHook", (), {"__bool__": lambda s: fire() or True})()
    return type("EqHook", (int,), {"__eq__": lambda s, o: fire() or int.__eq__(s, o), "__hash__": int.__hash__})(5)


HOOK_ITEMS = {"index": "05", "bool": "f5", "eq": "05"}

# How the list is filled around the hook -> what the indefinite walk writes
# (H: the hook's own item): the list as it is at each step.
LIST_CHANGES = {
    "cleared": (lambda seq, h: seq.extend([h(seq.clear), 1, 2]), "9f H ff"),
    "grown": (lambda seq, h: seq.append(h(lambda: seq.append(7))), "9f H 07 ff"),
    "grown-at-end": (lambda seq, h: seq.extend([1, h(lambda: seq.append(7))]), "9f 01 H 07 ff"),
    "shifted": (lambda seq, h: seq.extend([1, h(lambda: seq.pop(0)), 2, 3]), "9f 01 H 03 ff"),
    "outer-cleared": (lambda seq, h: seq.extend([[h(seq.clear)], 1, 2]), "9f 9f H ff ff"),
}


@pytest.mark.parametrize("kind", HOOK_ITEMS)
@pytest.mark.parametrize("case", LIST_CHANGES)
def test_list_changed_during_its_walk(kind, case):
    fill, written = LIST_CHANGES[case]

    def make():
        seq = []
        fill(seq, lambda action: hook(kind, action))
        return seq

    out = dumps(make())
    assert out == bytes.fromhex(written.replace("H", HOOK_ITEMS[kind]))
    scan(out)
    with raises_exact(RuntimeError, LIST_CHANGED):
        dumps(make(), False)


DICT_CHANGES = {
    "value-adds": lambda t, h: t.update(a=h(lambda: t.update(c=3)), b=2),
    "value-deletes": lambda t, h: t.update(a=h(lambda: t.pop("b")), b=2),
    "value-clears": lambda t, h: t.update(a=1, b=h(t.clear)),
    "key-clears": lambda t, h: t.update({h(t.clear): 1}),
}


@pytest.mark.parametrize("kind", HOOK_ITEMS)
@pytest.mark.parametrize("case", DICT_CHANGES)
def test_dict_changed_during_its_walk(kind, case, indefinite):
    table = {}
    DICT_CHANGES[case](table, lambda action: hook(kind, action))
    with raises_exact(RuntimeError, DICT_CHANGED):
        dumps(table, indefinite)


def test_dict_entry_replaced_without_size_change(indefinite):
    table = {}
    table.update(a=hook("bool", lambda: (table.pop("b"), table.update(c=3))), b=2)
    try:
        out = dumps(table, indefinite)
    except RuntimeError as err:
        assert "changed" in str(err)
    else:
        scan(out)
        assert isinstance(cbor2.loads(out), dict)


@pytest.mark.parametrize("kind", HOOK_ITEMS)
def test_dict_keys_replaced_during_its_walk(kind, indefinite):
    # Same size, but the walk would meet more entries than the dict holds.
    table = {i: i for i in range(8)}
    table[1] = hook(kind, lambda: (table.pop(0), table.update({100: 1})))
    if PYPY:  # PyPy's dict iteration walks the entries the dict had when it began
        out = dumps(table, indefinite)
        scan(out)
        assert sorted(cbor2.loads(out)) == list(range(8))
        return
    with raises_exact(RuntimeError, KEYS_CHANGED):
        dumps(table, indefinite)


def quoted_failure(err):
    return ("failed with " + type(err).__name__ + ": " + str(err)).encode()[:40].decode()


TEXTS = [
    ("\u00e9" * 30, "\u00e9" * 20),
    ("a" + "\u00e9" * 30, "a" + "\u00e9" * 19),
    ("x" * 40, "x" * 40),
    ("x" * 41, "x" * 40),
    ("\u20ac" * 14, "\u20ac" * 13),
    ("\U0001f600" * 11, "\U0001f600" * 10),
    ("ab" + "\U0001f600" * 10, "ab" + "\U0001f600" * 9),
    ("", ""),
    (ValueError("boom"), "failed with ValueError: boom"),
    (ValueError("x" * 100), ("failed with ValueError: " + "x" * 100)[:40]),
    (KeyError("k"), "failed with KeyError: 'k'"),
]


@pytest.mark.parametrize("text, quoted", TEXTS, ids=lambda t: repr(t)[:20])
def test_range_error_quotes_text_cut_to_40_bytes(text, quoted):
    assert len(quoted.encode()) <= 40
    with raises_exact(RuntimeError, RANGE_ERROR + quoted):
        dumps(sub(int, 2**64, str=text))
    with raises_exact(RuntimeError, RANGE_ERROR + quoted):
        dumps({"k": [sub(int, -(2**63) - 1, str=text)]}, False)


@pytest.mark.parametrize("result", [5, "\ud800 lone"], ids=["non-str", "surrogate"])
def test_range_error_when_str_result_is_unusable(result):
    value = sub(int, 2**64, str=result)
    try:
        str(value).encode("utf-8")
    except (TypeError, UnicodeEncodeError) as err:
        quoted = quoted_failure(err)
    with raises_exact(RuntimeError, RANGE_ERROR + quoted):
        dumps(value)


def test_range_error_after_str_changes_the_list():
    seq = []

    class Shrinking(int):
        def __str__(self):
            seq.clear()
            return "gone"

    seq.extend([Shrinking(2**64), 1, 2])
    with raises_exact(RuntimeError, RANGE_ERROR + "gone"):
        dumps(seq)


@pytest.mark.parametrize("error", [RecursionError, MemoryError])
@pytest.mark.parametrize("method", ["__index__", "__bool__"])
def test_exhaustion_during_matching_is_raised_not_retried(error, method):
    calls = []

    def fail(self):
        calls.append(1)
        raise error("from " + method)

    value = type("Exhausting", (), {method: fail})()
    for arg in (value, [value], {"k": value}):
        calls.clear()
        with pytest.raises(error, match="^from " + method + "$"):
            dumps(arg)
        assert len(calls) == 1


def test_dict_key_popped_and_inserted_again_compacting_the_table(indefinite):
    # Five entries fill an eight-slot table: inserting "a" again compacts it,
    # and positions taken before would skip "b" and repeat "a".
    value = dict.fromkeys("abcde", 0)

    class Again:
        def __index__(self):
            del value["a"]
            value["a"] = 0
            return 1

    value["a"] = Again()
    if PYPY:
        # PyPy's dict iteration keeps its place across the compaction: each
        # key is written once, and the map is whole.
        written = dumps(value, indefinite)
        assert written.count(b"\x61\x61") == 1 and cbor2.loads(written).keys() == value.keys()
        return
    with raises_exact(RuntimeError, KEYS_CHANGED):
        dumps(value, indefinite)


def run_script(script, **kwargs):
    """Runs script in a fresh interpreter, so a crash fails this test only."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=120, **kwargs)
    assert done.returncode == 0, f"exit {done.returncode}: {done.stderr[-2000:]}"
    return done.stdout.split()


STACK_SCRIPT_HEAD = """
    import sys, threading
    from tavrel_cbor import dumps

    def on_thread(size, func):
        outcome = []
        def target():
            try:
                outcome.append(repr(func()[:4]))
            except RecursionError:
                outcome.append("RecursionError")
        threading.stack_size(size)
        worker = threading.Thread(target=target)
        worker.start()
        worker.join()
        return outcome[0]

    # Converting one calls dumps on another, left - 1 deep: every entry
    # into dumps, the argument's conversion included, meets the guard.
    class Chain:
        def __init__(self, left):
            self.left = left
        def __index__(self):
            if self.left:
                dumps(Chain(self.left - 1))
            return 1
"""


@pytest.mark.skipif(PYPY, reason="PyPy bounds these chains with its own stack budget")
def test_reentrant_scalar_chain_at_the_bottom_of_a_walk():
    # A chain of re-entrant calls at the bottom of a deep walk.
    outcomes = run_script(STACK_SCRIPT_HEAD + """
    def deep(levels, chain):
        value = [Chain(chain)]
        for _ in range(levels):
            value = [value]
        return value

    sys.setrecursionlimit(10_000)
    for size, levels, chain in ((256 * 1024, 1000, 60), (1024 * 1024, 4000, 400)):
        print(on_thread(size, lambda: dumps(deep(levels, chain))))
    """)
    assert set(outcomes) <= {"RecursionError", repr(b"\x9f\x9f\x9f\x9f")}, outcomes


@pytest.mark.skipif(PYPY, reason="PyPy bounds these chains with its own stack budget")
def test_python_code_at_the_bottom_of_a_walk_has_room():
    # repr of 500 nested lists runs fine alone on this thread; run by a hook
    # at the bottom of a walk it must either have that room too or be refused.
    outcomes = run_script(STACK_SCRIPT_HEAD + """
    inner = []
    for _ in range(500):
        inner = [inner]

    class Loud:
        def __index__(self):
            repr(inner)
            return 1

    value = [Loud()]
    for _ in range(2500):
        value = [value]
    print(on_thread(512 * 1024, lambda: repr(inner).encode()))
    print(on_thread(512 * 1024, lambda: dumps(value)))
    """)
    assert outcomes[0] == repr(b"[[[[")
    assert outcomes[1] in ("RecursionError", repr(b"\x9f\x9f\x9f\x9f")), outcomes


@pytest.mark.skipif(sys.platform != "linux", reason="stack limits as Linux applies them")
def test_stack_limits_unlimited_and_lowered_later():
    import resource

    def unlimited():
        resource.setrlimit(resource.RLIMIT_STACK, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

    if resource.getrlimit(resource.RLIMIT_STACK)[1] != resource.RLIM_INFINITY:
        pytest.skip("the hard stack limit is not unlimited here")
    # Unlimited: a self-containing list must still stop, and soon.
    outcomes = run_script("""
        from tavrel_cbor import dumps
        value = [1]
        value.append(value)
        try:
            dumps(value)
        except RecursionError:
            print("RecursionError")
    """, preexec_fn=unlimited)
    assert outcomes == ["RecursionError"]
    # A soft limit lowered after the first call on the thread is obeyed.  The
    # limit is put back before the deep list is freed: CPython 3.14 and later
    # measure their own stack once, and crash freeing it under the lower limit.
    outcomes = run_script("""
        import resource
        from tavrel_cbor import dumps
        dumps([1])
        before = resource.getrlimit(resource.RLIMIT_STACK)
        resource.setrlimit(resource.RLIMIT_STACK, (1024 * 1024, resource.RLIM_INFINITY))
        value = []
        for _ in range(200_000):
            value = [value]
        try:
            dumps(value)
        except RecursionError:
            print("RecursionError")
        resource.setrlimit(resource.RLIMIT_STACK, before)
        del value
    """)
    assert outcomes == ["RecursionError"]


# PyPy fills a nested tuple's C items recursively and leaves the slots it
# did not reach empty when its stack runs out; after a low recursion limit
# its own stack check breaks the interpreter for later calls.  The calls
# after the first must meet a RecursionError too, or succeed.
CALLED_AGAIN = {
    "tuple": "value = nested(tuple, 5000)",
    "list after a low recursion limit": "nested(tuple, 5000); value = nested(list, 500); sys.setrecursionlimit(100)",
    "list, limit 200": "value = nested(list, 3000); sys.setrecursionlimit(200)",
    "list, limit 300": "value = nested(list, 3000); sys.setrecursionlimit(300)",
}


@pytest.mark.parametrize("case", list(CALLED_AGAIN))
def test_deep_values_called_again_after_a_recursion_error(case):
    outcomes = run_script(f"""
        import sys
        from tavrel_cbor import dumps
        def nested(kind, levels):
            value = kind()
            for _ in range(levels):
                value = kind([value])
            return value
        {CALLED_AGAIN[case]}
        for _ in range(3):
            try:
                print(dumps(value)[:2].hex())
            except RecursionError:
                print("RecursionError")
    """)
    assert len(outcomes) == 3 and set(outcomes) <= {"RecursionError", "9f9f"}, outcomes


def test_non_str_keyword_names():
    digits = [0, 0, 1 << 5, 0, 0, 0, 5, 0, 0x10, 1]
    crafted = sum(d << (30 * i) for i, d in enumerate(digits))
    # Before 3.9 the interpreter hands such names to the function as they
    # are; the crafted int's digits lie where a str keeps its UTF-8 form.
    outcomes = run_script("""
        from tavrel_cbor import dumps
        digits = [0, 0, 1 << 5, 0, 0, 0, 5, 0, 0x10, 1]
        crafted = sum(d << (30 * i) for i, d in enumerate(digits))
        for name in (1, crafted):
            try:
                dumps([1], **{name: 2})
            except TypeError as err:
                print(ascii(str(err).rsplit("\\n", 1)[-1]).replace(" ", "_"))
    """)
    if sys.version_info >= (3, 9) or PYPY:
        # Refused by the interpreter before dumps runs (PyPy refuses on 3.7 too).
        assert len(outcomes) == 2 and all("keywords_must_be_strings" in o for o in outcomes), outcomes
    else:
        assert outcomes[0] == "'Invoked_with:_[1];_kwargs:_1=2'", outcomes
        assert outcomes[1] == "'Invoked_with:_[1];_kwargs:_%d=2'" % crafted, outcomes


# A chain of dumps calls, each entered from Python code run for the one
# before, and ordinary recursion where the chain can go no further.
CHAIN_HOOKS = {
    "indefinite": ("__bool__", "dumps(1, indefinite=Hook())", "True"),
    "max_depth": ("__index__", "dumps(1, max_depth=Hook())", "1"),
    "repr": ("__repr__", "dumps(1, 2, 3, Hook())", "'hook'"),
}


@pytest.mark.skipif(PYPY, reason="PyPy bounds these chains with its own stack budget")
@pytest.mark.parametrize("where", CHAIN_HOOKS)
def test_reentrant_chain_from_the_flags_and_the_rejected_call(where):
    method, call, answer = CHAIN_HOOKS[where]
    outcomes = run_script(STACK_SCRIPT_HEAD + f"""
    import json
    deep = []
    for _ in range(700):
        deep = [deep]

    class Hook:
        def {method}(self):
            try:
                {call}
            except (RecursionError, TypeError):
                json.dumps(deep)
            return {answer}

    sys.setrecursionlimit(100_000)
    def chain():
        try:
            return {call}
        except TypeError:
            return b"TypeError"
    print(on_thread(256 * 1024, chain))
    """)
    assert outcomes[0] in ("RecursionError", repr(b"\x01"), repr(b"Type")), outcomes


@pytest.mark.skipif(sys.platform != "linux", reason="stack limits as Linux applies them")
def test_reentrant_chain_after_the_stack_limit_is_lowered():
    outcomes = run_script(STACK_SCRIPT_HEAD + """
    import resource
    dumps([1])
    hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
    resource.setrlimit(resource.RLIMIT_STACK, (1024 * 1024, hard))
    sys.setrecursionlimit(100_000)
    try:
        print(dumps(Chain(3000)).hex())
    except RecursionError:
        print("RecursionError")
    """)
    assert outcomes in (["RecursionError"], ["01"]), outcomes


@pytest.mark.skipif(PYPY, reason="allocation failures are injected through CPython's _testcapi")
def test_lost_memory_error_is_chained():
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("this interpreter has no _testcapi")
    if not hasattr(_testcapi, "set_nomemory"):
        pytest.skip("this interpreter's _testcapi cannot fail allocations")
    # Each allocation of the call in turn fails; where the result itself is
    # the one that fails, its MemoryError is the RuntimeError's cause.
    outcomes = run_script("""
        import _testcapi
        from tavrel_cbor import dumps
        value = [1, "ab", 2.5]
        seen = set()
        for start in range(40):
            _testcapi.set_nomemory(start, start + 1)
            try:
                dumps(value)
            except RuntimeError as err:
                _testcapi.remove_mem_hooks()
                seen.add(" ".join((str(err).replace(" ", "_"), type(err.__cause__).__name__,
                                   type(err.__context__).__name__)))
            except MemoryError:
                pass
            finally:
                _testcapi.remove_mem_hooks()
        print("\\n".join(sorted(seen)))
    """)
    assert outcomes == ["Could_not_allocate_bytes_object!", "MemoryError", "MemoryError"], outcomes


def map_keys(data):
    """The encoded keys of the map at the root of data."""
    from support.model import read_head, skip

    major, count, pos = read_head(data, 0)
    assert major == 5
    keys = []
    while (data[pos] != 0xFF) if count is None else len(keys) < count:
        end = skip(data, pos)
        keys.append(data[pos:end])
        pos = skip(data, end)
    return keys


def refilled_in_another_order():
    # Cleared and refilled to the same size: the key table comes back from
    # the interpreter's free list at the same address.
    table = {}

    def refill():
        table.clear()
        table["c"] = 3
        table["a"] = 1
        table["b"] = 2

    table.update(a=hook("bool", refill), b=2, c=3)
    return table


def instance_attribute_set_again():
    # A split table keeps its size and its shared keys; only the order moves.
    holder = type("Holder", (), {})()
    holder.a = None
    holder.b = 2
    holder.c = 3

    def again():
        del holder.a
        holder.a = 1

    holder.a = hook("index", again)
    return vars(holder)


def every_key_popped_and_put_back():
    # PyPy's iteration of the entries then meets "a" again and ends before
    # "c", with the size unchanged.
    table = {key: 0 for key in "abc"}

    def churn():
        for key in list(table):
            table[key] = table.pop(key)

    table["a"] = hook("bool", churn)
    return table


REFILLS = {"refilled": refilled_in_another_order, "instance-dict": instance_attribute_set_again,
           "popped-and-put-back": every_key_popped_and_put_back}


@pytest.mark.parametrize("make", REFILLS.values(), ids=REFILLS.keys())
def test_dict_refilled_during_its_walk_never_repeats_a_key(make, indefinite):
    try:
        out = dumps(make(), indefinite)
    except RuntimeError as err:
        assert str(err) == KEYS_CHANGED
    else:
        scan(out)
        keys = map_keys(out)
        assert len(set(keys)) == len(keys) == 3, out.hex()
