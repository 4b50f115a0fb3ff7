"""Dicts in every shape CPython stores them (tables of str keys and of any
keys, split instance dicts, deleted entries, index tables of 1, 2 and 4
bytes): each is written entry for entry, in the order PyDict_Next hands
the entries out."""
import ctypes

import pytest

from support.helpers import PYPY
from support.model import FROZENDICT, encode, head
from tavrel_cbor import dumps

if not PYPY:
    _dict_next = ctypes.pythonapi.PyDict_Next
    _dict_next.argtypes = [
        ctypes.py_object,
        ctypes.POINTER(ctypes.c_ssize_t),
        ctypes.POINTER(ctypes.py_object),
        ctypes.POINTER(ctypes.py_object),
    ]
    _dict_next.restype = ctypes.c_int


def stored_entries(table):
    """(key, value) pairs as PyDict_Next hands them out; PyPy's dict items."""
    if PYPY:
        return list(dict.items(table))
    position, key, value = ctypes.c_ssize_t(0), ctypes.py_object(), ctypes.py_object()
    pairs = []
    while _dict_next(table, ctypes.byref(position), ctypes.byref(key), ctypes.byref(value)):
        pairs.append((key.value, value.value))
    return pairs


def map_bytes(pairs, indefinite):
    body = b"".join(encode(key, indefinite) + encode(value, indefinite) for key, value in pairs)
    return b"\xbf" + body + b"\xff" if indefinite else head(5, len(pairs)) + body


def deleted(table, keys):
    for key in keys:
        del table[key]
    return table


def str_keys(n):
    return {f"k{i}": i for i in range(n)}


def reinserted():
    table = str_keys(12)
    for key in ("k0", "k5", "k11"):
        table[key] = table.pop(key) * 10
    return table


def grown_after_deletions():
    # Deleted slots are dropped when the table grows.
    table = deleted(str_keys(40), [f"k{i}" for i in range(0, 40, 2)])
    table.update({f"n{i}": [i] for i in range(60)})
    return table


def str_table_given_an_int_key():
    table = {"a": 1, "b": 2, "c": 3}
    del table["b"]
    table[7] = "seven"
    return table


class Slots:
    def __init__(self, extra=False):
        self.x, self.y, self.z = 1, "two", [3.5]
        if extra:
            self.w = None


def instance_dict_deleted():
    obj = Slots()
    del obj.y
    return obj.__dict__


def instance_dict_reordered():
    obj = Slots()
    obj.__dict__.pop("x")
    obj.x = "back"
    return obj.__dict__


def instance_dict_wide():
    obj = Slots()
    for i in range(40):
        setattr(obj, f"a{i}", i)
    return obj.__dict__


class Sub(dict):
    pass


def sub_with_deletions():
    return Sub(deleted(dict.fromkeys(range(10), "v"), [0, 4, 9]))


SHAPES = {
    "empty": lambda: {},
    "literal": lambda: {"id": 7, "name": "x", "tags": ["a", "b"], "nested": {"k": None}},
    "dict-call": lambda: dict(a=1, b=2.5, c=b"x"),
    "dict-of-pairs": lambda: dict([(1, "one"), (2.5, b"two"), ((1, "t"), None)]),
    "comprehension": lambda: {i: i * i for i in range(40)},
    "fromkeys": lambda: dict.fromkeys("abcdefgh", 0),
    "non-ascii-keys": lambda: {"\u00e9": 1, "\u20ac": 2, "\U0001f600": 3, "plain": 4},
    "mixed-keys": lambda: {None: 1, 2.5: 2, b"k": 3, (1, "t"): 4, True: 5, -7: 6, "s": 7},
    "deleted-first": lambda: deleted(str_keys(10), ["k0", "k1", "k2"]),
    "deleted-middle": lambda: deleted(str_keys(30), [f"k{i}" for i in range(1, 30, 3)]),
    "popped-last": lambda: deleted(str_keys(6), ["k5"]),
    "popped-last-int-keys": lambda: deleted(dict.fromkeys(range(6), 0), [5, 4]),
    "popitem": lambda: (lambda t: (t.popitem(), t.popitem(), t)[2])(str_keys(9)),
    "all-deleted": lambda: deleted(str_keys(5), [f"k{i}" for i in range(5)]),
    "cleared": lambda: (lambda t: (t.clear(), t)[1])(str_keys(5)),
    "reinserted": reinserted,
    "grown-after-deletions": grown_after_deletions,
    "copy-after-deletions": lambda: deleted(str_keys(20), ["k3", "k19"]).copy(),
    "str-table-given-an-int-key": str_table_given_an_int_key,
    "instance-dict": lambda: Slots().__dict__,
    "instance-dict-extra": lambda: Slots(extra=True).__dict__,
    "instance-dict-deleted": instance_dict_deleted,
    "instance-dict-reordered": instance_dict_reordered,
    "instance-dict-wide": instance_dict_wide,
    "subclass-with-deletions": sub_with_deletions,
    # Index tables of 1, 2 and 4 bytes, each just past the last size below.
    "str-keys-85": lambda: str_keys(85),
    "str-keys-86": lambda: str_keys(86),
    "str-keys-171": lambda: deleted(str_keys(171), ["k0"]),
    "int-keys-1000": lambda: deleted({i: str(i) for i in range(1000)}, range(0, 1000, 7)),
    "str-keys-43691": lambda: str_keys(43691),
    "str-keys-200000-half-deleted": lambda: deleted(str_keys(200_000), [f"k{i}" for i in range(0, 200_000, 2)]),
}

if FROZENDICT is not None:
    SHAPES["frozendict"] = lambda: FROZENDICT(deleted(str_keys(12), ["k4"]))
    SHAPES["frozendict-mixed-keys"] = lambda: FROZENDICT({1: "a", "b": 2, (3,): None})


@pytest.mark.parametrize("shape", SHAPES)
def test_dict_written_in_stored_order(shape, indefinite):
    table = SHAPES[shape]()
    pairs = stored_entries(table)
    assert len(pairs) == len(table)
    assert dumps(table, indefinite) == map_bytes(pairs, indefinite)
    if type(table) is not Sub:
        assert dumps(table, indefinite) == encode(table, indefinite)


@pytest.mark.parametrize("shape", ["literal", "deleted-middle", "instance-dict", "popped-last-int-keys"])
def test_dict_nested_in_containers(shape, indefinite):
    table = SHAPES[shape]()
    value = [table, {"inner": table, 0: (table,)}]
    assert dumps(value, indefinite) == encode(value, indefinite)
