"""CPython 3.15's builtin frozendict: an exact one is written as a dict is,
in both framings, in its order, under the same depth limit."""
import pytest

from support.helpers import ident, raises_exact, rejected_call
from support.model import FROZENDICT, encode
from support.texts import CAST_ERROR, depth_error
from tavrel_cbor import dumps

pytestmark = pytest.mark.skipif(FROZENDICT is None, reason="no builtin frozendict before CPython 3.15")


def freeze(value):
    """value with every dict in it, keys included, made a frozendict."""
    if isinstance(value, dict):
        return FROZENDICT((freeze(k), freeze(v)) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return type(value)(freeze(v) for v in value)
    return value


# Written as dicts, then frozen: the bytes must not change.
MAPS = [
    # value, indefinite framing, definite framing
    ({}, "bf ff", "a0"),
    ({"a": 1}, "bf 61 61 01 ff", "a1 61 61 01"),
    ({"b": 1, "a": 2}, "bf 61 62 01 61 61 02 ff", "a2 61 62 01 61 61 02"),
    ({None: True, 2.5: b"", -1: []}, "bf f6 f5 f9 41 00 40 20 9f ff ff", "a3 f6 f5 f9 41 00 40 20 80"),
    ([{1: 2}], "9f bf 01 02 ff ff", "81 a1 01 02"),
    (({},), "9f bf ff ff", "81 a0"),
    ({"k": {"x": [1]}}, "bf 61 6b bf 61 78 9f 01 ff ff ff", "a1 61 6b a1 61 78 81 01"),
    ({(1, 2): {}}, "bf 9f 01 02 ff bf ff ff", "a1 82 01 02 a0"),
    (dict.fromkeys(range(24), 0), "bf" + "".join("%02x00" % i for i in range(24)) + "ff",
     "b818" + "".join("%02x00" % i for i in range(24))),
]  # fmt: skip


@pytest.mark.parametrize("value, indef_hex, def_hex", MAPS, ids=ident)
@pytest.mark.parametrize("max_depth", [0, 10])
def test_frozendict_written_as_its_dict(value, indef_hex, def_hex, max_depth):
    frozen = freeze(value)
    assert dumps(frozen, True, max_depth) == bytes.fromhex(indef_hex)
    assert dumps(frozen, False, max_depth) == bytes.fromhex(def_hex)


def test_frozendict_as_a_key_and_beside_dicts(indefinite):
    # Hashable, so it can be a dict's key, where a dict cannot.
    value = {FROZENDICT({1: 2}): {"d": FROZENDICT(a=[{}])}, "z": FROZENDICT()}
    assert dumps(value, indefinite) == encode(value, indefinite)


@pytest.mark.parametrize("limit, value", [
    (1, {"a": [1]}),
    (1, {(1,): 2}),
    (1, [{1: 2}]),
    (2, {"a": {"b": [1]}}),
    (2, [[{}], [{1: 2}]]),
], ids=repr)  # fmt: skip
def test_depth_limit_as_for_dicts(limit, value, indefinite):
    frozen = freeze(value)
    with raises_exact(RuntimeError, depth_error(limit)):
        dumps(value, indefinite, limit)
    with raises_exact(RuntimeError, depth_error(limit)):
        dumps(frozen, indefinite, limit)
    assert dumps(frozen, indefinite, limit + 1) == encode(value, indefinite)


def test_nested_frozendicts_at_the_limit(indefinite):
    value = FROZENDICT()
    for _ in range(39):
        value = FROZENDICT({0: value})
    # The innermost one sits 39 levels below the root.
    assert dumps(value, indefinite, 39) == encode(value, indefinite)
    with raises_exact(RuntimeError, depth_error(38)):
        dumps(value, indefinite, 38)


def test_subclass_is_refused():
    # Only the builtin itself: a subclass may run code of its own.
    Sub = type("Sub", (FROZENDICT,), {})
    with rejected_call():
        dumps(Sub(a=1))
    with raises_exact(RuntimeError, CAST_ERROR):
        dumps([Sub(a=1)])
