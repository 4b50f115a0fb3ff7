"""Lists, tuples and dicts: framing, element order, subclasses and the
depth limit."""
import collections

import pytest

from support.helpers import PYPY, ident, raises_exact
from support.model import encode, head, nested, nested_bytes
from support.tables import SCALARS
from support.texts import CAST_ERROR, depth_error
from tavrel_cbor import dumps


def small_ints(values):
    return "".join(f"{i:02x}" if i < 24 else f"18{i:02x}" for i in values)


CONTAINERS = [
    # value, indefinite framing, definite framing
    ([], "9f ff", "80"),
    ((), "9f ff", "80"),
    ({}, "bf ff", "a0"),
    ([1, [2, 3]], "9f 01 9f 02 03 ff ff", "82 01 82 02 03"),
    ([1, 2.5, "a"], "9f 01 f9 41 00 61 61 ff", "83 01 f9 41 00 61 61"),
    ((1, 2), "9f 01 02 ff", "82 01 02"),
    ([1, [2, 3], (4, 5)], "9f 01 9f 02 03 ff 9f 04 05 ff ff", "83 01 82 02 03 82 04 05"),
    ({"a": 1}, "bf 61 61 01 ff", "a1 61 61 01"),
    ({(1, 2): None}, "bf 9f 01 02 ff f6 ff", "a1 82 01 02 f6"),
    ({"a": 1, "b": [2, 3]}, "bf 61 61 01 61 62 9f 02 03 ff ff", "a2 61 61 01 61 62 82 02 03"),
    (["a", {"b": "c"}], "9f 61 61 bf 61 62 61 63 ff ff", "82 61 61 a1 61 62 61 63"),
    ({1: 2, 3: 4}, "bf 01 02 03 04 ff", "a2 01 02 03 04"),
    ({True: False, 0: 1}, "bf f5 f4 00 01 ff", "a2 f5 f4 00 01"),
    (
        {None: True, 2.5: b"", -1: [], (0, (1,)): {}},
        "bf f6 f5 f9 41 00 40 20 9f ff 9f 00 9f 01 ff ff bf ff ff",
        "a4 f6 f5 f9 41 00 40 20 80 82 00 81 01 a0",
    ),
    (["ab"], "9f 62 61 62 ff", "81 62 61 62"),
    ([b"ab", ""], "9f 42 61 62 60 ff", "82 42 61 62 60"),
    ([[], [[]], {}], "9f 9f ff 9f 9f ff ff bf ff ff", "83 80 81 80 a0"),
    ([0] * 23, "9f" + "00" * 23 + "ff", "97" + "00" * 23),
    ([0] * 24, "9f" + "00" * 24 + "ff", "9818" + "00" * 24),
    (list(range(1, 26)), "9f" + small_ints(range(1, 26)) + "ff", "9819" + small_ints(range(1, 26))),
    (tuple([None] * 256), "9f" + "f6" * 256 + "ff", "990100" + "f6" * 256),
    ([0] * 65536, "9f" + "00" * 65536 + "ff", "9a00010000" + "00" * 65536),
    (dict.fromkeys(range(24)), "bf" + "".join(f"{i:02x}f6" for i in range(24)) + "ff",
     "b818" + "".join(f"{i:02x}f6" for i in range(24))),
    (dict.fromkeys(range(256), 0), "bf" + "".join(small_ints([i]) + "00" for i in range(256)) + "ff",
     "b90100" + "".join(small_ints([i]) + "00" for i in range(256))),
]  # fmt: skip


@pytest.mark.parametrize("value, indef_hex, def_hex", CONTAINERS, ids=ident)
@pytest.mark.parametrize("max_depth", [0, 10])
def test_container(value, indef_hex, def_hex, max_depth):
    assert dumps(value, True, max_depth) == bytes.fromhex(indef_hex)
    assert dumps(value, False, max_depth) == bytes.fromhex(def_hex)


def scalar_contexts():
    """context -> (container, [(value, expected bytes of its entry)]): every
    scalar of the table as a list or tuple element, as a dict value, and as
    a dict key (leaving out keys equal to an earlier one: 1.0 and True to 1...)."""
    rows = [(value, bytes.fromhex(h)) for value, h in SCALARS]
    values = [value for value, _ in rows]
    keyed = {"k%03d" % i: value for i, value in enumerate(values)}
    keys = {}
    for value, item in rows:
        keys.setdefault(value, item)
    return {
        "list": (values, rows),
        "tuple": (tuple(values), rows),
        "dict value": (keyed, [(value, encode(key) + item) for key, (value, item) in zip(keyed, rows)]),
        "dict key": (dict.fromkeys(keys), [(key, item + b"\xf6") for key, item in keys.items()]),
    }


# The scalar tests write each value at the top level; here every one of them
# sits inside a container, in all four instantiations.  The items are the
# table's; only the framing around them differs.
@pytest.mark.parametrize("context", ["list", "tuple", "dict value", "dict key"])
def test_scalars_in_every_context(context, mode):
    container, entries = scalar_contexts()[context]
    major = 5 if isinstance(container, dict) else 4
    out = dumps(container, **mode)
    if mode["indefinite"]:
        opening, closing = bytes([major << 5 | 31]), b"\xff"
    else:
        opening, closing = head(major, len(entries)), b""
    assert len(entries) == len(container) > 50
    assert out.startswith(opening), out[:8].hex()
    # Entry by entry, so that a failure names the value whose bytes differ.
    pos = len(opening)
    for value, want in entries:
        got = out[pos : pos + len(want)]
        assert got == want, f"{context} entry {ident(value)}: {got[:12].hex()} != {want[:12].hex()}"
        pos += len(want)
    assert out[pos:] == closing


def test_dict_is_written_in_storage_order(indefinite):
    d = {"a": 1, "b": 2, "c": 3}
    del d["a"]
    d["a"] = 4
    body = "61 62 02 61 63 03 61 61 04"
    assert dumps(d, indefinite) == bytes.fromhex(f"bf {body} ff" if indefinite else f"a3 {body}")


# Python-level views that disagree with the stored entries.
SHADOW = {"__iter__": lambda s: iter(["shadow"]), "__len__": lambda s: 7, "__getitem__": lambda s, i: "shadow"}
ShadowList = type("ShadowList", (list,), SHADOW)
ShadowTuple = type("ShadowTuple", (tuple,), SHADOW)
ShadowDict = type(
    "ShadowDict",
    (dict,),
    {**SHADOW, "keys": lambda s: ["shadow"], "values": lambda s: [0], "items": lambda s: [("shadow", 0)]},
)


def moved_ordered_dict():
    od = collections.OrderedDict([("a", 1), ("b", 2)])
    od.move_to_end("a")  # iteration order b, a; the stored entries stay a, b
    return od


Point = collections.namedtuple("Point", "x y")

# PyPy's C API sizes a str or bytes subclass by its own __len__.
ShadowStr = type("ShadowStr", (str,), SHADOW)
ShadowBytes = type("ShadowBytes", (bytes,), SHADOW)
LongStr = type("LongStr", (str,), {"__len__": lambda s: 100})
ShortStr = type("ShortStr", (str,), {"__len__": lambda s: 1})
EmptyBytes = type("EmptyBytes", (bytes,), {"__len__": lambda s: 0})
# PyPy refuses to make the C form of one shorter than its contents, before
# any extension sees it.
SHORT_BYTES = pytest.mark.skipif(PYPY, reason="PyPy raises ValueError: bytes_attach... for it itself")

SUBCLASSES = [
    (ShadowList([1, [2]]), "9f 01 9f 02 ff ff", "82 01 81 02"),
    (ShadowTuple((1, 2)), "9f 01 02 ff", "82 01 02"),
    (ShadowDict({"b": 1, "a": 2}), "bf 61 62 01 61 61 02 ff", "a2 61 62 01 61 61 02"),
    # PyPy's OrderedDict reorders the stored entries themselves.
    (moved_ordered_dict(), "bf 61 62 02 61 61 01 ff", "a2 61 62 02 61 61 01")
    if PYPY
    else (moved_ordered_dict(), "bf 61 61 01 61 62 02 ff", "a2 61 61 01 61 62 02"),
    (Point(1, 2), "9f 01 02 ff", "82 01 02"),
    (ShadowStr("abc"), "63 616263", "63 616263"),
    (LongStr("\u00e9"), "62 c3a9", "62 c3a9"),
    (ShortStr("abc"), "63 616263", "63 616263"),
    (ShadowBytes(b"ab\x00"), "43 616200", "43 616200"),
    ([ShadowBytes(b"q"), {LongStr("k"): ShadowStr("")}], "9f 41 71 bf 61 6b 60 ff ff", "82 41 71 a1 61 6b 60"),
    pytest.param(EmptyBytes(b"xyz"), "43 78797a", "43 78797a", marks=SHORT_BYTES),
    pytest.param([EmptyBytes(b"q")], "9f 41 71 ff", "81 41 71", marks=SHORT_BYTES),
    ([ShadowDict(x=ShadowList([ShadowTuple((3,))]))], "9f bf 61 78 9f 9f 03 ff ff ff ff", "81 a1 61 78 81 81 03"),
]


@pytest.mark.parametrize("value, indef_hex, def_hex", SUBCLASSES, ids=lambda v: type(v).__name__)
def test_subclass_written_from_stored_entries(value, indef_hex, def_hex):
    assert dumps(value) == bytes.fromhex(indef_hex)
    assert dumps(value, False) == bytes.fromhex(def_hex)


DEPTH_ACCEPTED = [
    (1, 5, "05", "05"),
    (1, [], "9f ff", "80"),
    (1, [1, 2], "9f 01 02 ff", "82 01 02"),
    (1, [[]], "9f 9f ff ff", "81 80"),
    (1, {"a": []}, "bf 61 61 9f ff ff", "a1 61 61 80"),
    (1, {1: {}}, "bf 01 bf ff ff", "a1 01 a0"),
    (1, [0] * 30, "9f" + "00" * 30 + "ff", "981e" + "00" * 30),
    (2, [[1]], "9f 9f 01 ff ff", "81 81 01"),
    (2, [[1], [2], (3,)], "9f 9f 01 ff 9f 02 ff 9f 03 ff ff", "83 81 01 81 02 81 03"),
    (2, {"a": [1], "b": {"c": 2}}, "bf 61 61 9f 01 ff 61 62 bf 61 63 02 ff ff", "a2 61 61 81 01 61 62 a1 61 63 02"),
    (2, {(1,): (2,)}, "bf 9f 01 ff 9f 02 ff ff", "a1 81 01 81 02"),
    (3, [[[[]]]], "9f 9f 9f 9f ff ff ff ff", "81 81 81 80"),
]

DEPTH_REFUSED = [
    (1, [[1]]),
    (1, {"a": [1]}),
    (1, {(1,): 2}),
    (1, {1: {2: 3}}),
    (1, [1, 2, [3]]),
    (1, [[set()]]),
    (1, [{"k": object()}]),
    (2, [[[1]]]),
    (2, [[1], [[2]]]),
    (2, {"a": {"b": [1]}}),
    (2, {(1, (2,)): 0}),
    (3, [[[[1]]]]),
    (7, nested(list, 9)),
    (7, nested(dict, 9)),
]


@pytest.mark.parametrize("limit, value, indef_hex, def_hex", DEPTH_ACCEPTED, ids=ident)
def test_depth_limit_accepts(limit, value, indef_hex, def_hex):
    assert dumps(value, True, limit) == bytes.fromhex(indef_hex)
    assert dumps(value, False, limit) == bytes.fromhex(def_hex)


@pytest.mark.parametrize("limit, value", DEPTH_REFUSED, ids=repr)
def test_depth_limit_refuses(limit, value, indefinite):
    with raises_exact(RuntimeError, depth_error(limit)):
        dumps(value, indefinite, limit)


@pytest.mark.parametrize("kind", [list, tuple, dict])
@pytest.mark.parametrize("levels", [2, 5, 40])
def test_depth_limit_boundary(kind, levels, indefinite):
    value = nested(kind, levels)
    # The innermost container sits levels - 1 below the root.
    assert dumps(value, indefinite, levels - 1) == nested_bytes(kind, levels, indefinite)
    if levels > 2:
        with raises_exact(RuntimeError, depth_error(levels - 2)):
            dumps(value, indefinite, levels - 2)


def test_self_containing_containers_with_a_limit(indefinite):
    looped = [1]
    looped.append(looped)
    table = {}
    table["me"] = [table]
    with raises_exact(RuntimeError, depth_error(50)):
        dumps(looped, indefinite, 50)
    with raises_exact(RuntimeError, depth_error(3)):
        dumps(table, indefinite, 3)


def test_unconvertible_element_inside_a_limit(indefinite):
    with raises_exact(RuntimeError, CAST_ERROR):
        dumps([[set()]], indefinite, 2)
