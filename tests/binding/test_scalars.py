"""None, booleans, integers, floats, text and byte strings, and values that
no alternative accepts."""
import random

import pytest

from support.helpers import ident, raises_exact, rejected_call
from support.model import encode
from support.tables import SCALARS
from support.texts import CAST_ERROR, RANGE_ERROR
from tavrel_cbor import dumps


# Each framing once.  At the top level neither the framing nor a limit
# changes the item, so both instantiations of the framing (no limit, limit 1)
# must write it.  Scalars inside containers: test_containers.py.
@pytest.mark.parametrize("value, expected", SCALARS, ids=ident)
def test_scalar(value, expected, indefinite):
    item = bytes.fromhex(expected)
    assert dumps(value, indefinite) == item
    assert dumps(value, indefinite, 1) == item


def test_model_agrees_with_the_scalar_table():
    # The property and differential tests rely on the model; it must give
    # the table's bytes for every row.
    wrong = [(ident(v), h, encode(v).hex()) for v, h in SCALARS if encode(v) != bytes.fromhex(h)]
    assert not wrong, wrong


# Long payloads of random bytes, so that any part copied to the wrong place
# shows, at every offset from a 32-byte boundary in the output; lengths
# around 2 KiB and around whole numbers of 64- and 128-byte blocks, where a
# copy loop would change its strategy.
COPY_LENGTHS = [2047, 2048, 2049, 2048 + 63, 2048 + 64, 2048 + 65, 2048 + 127, 2048 + 128, 2048 + 129, 4096,
                65536 + 1, (1 << 20) + 37]


@pytest.mark.parametrize("length", COPY_LENGTHS)
def test_long_payload_bytes(length, indefinite):
    payload = random.Random(length).getrandbits(8 * length).to_bytes(length, "little")
    text = payload.hex()[:length]  # ASCII, its own UTF-8
    for lead in range(33 if length < 100_000 else 3):  # leading items move where the payload lands
        value = [0] * lead + [payload, text, [payload]]
        assert dumps(value, indefinite) == encode(value, indefinite)


OUT_OF_RANGE = [
    (2**64, "18446744073709551616"),
    (2**64 + 1, "18446744073709551617"),
    (-(2**63) - 1, "-9223372036854775809"),
    (-(2**64), "-18446744073709551616"),
    (2**100, str(2**100)),
    (10**39, "1" + "0" * 39),
    (10**49, "1" + "0" * 39),
    (-(10**49), "-1" + "0" * 38),
    (int("7" * 50), "7" * 40),
]


def check_out_of_range(value, text, indefinite, max_depth):
    for wrapped in (value, [0, value, 1], {"k": value}, {value: 0}):
        with raises_exact(RuntimeError, RANGE_ERROR + text):
            dumps(wrapped, indefinite, max_depth)


@pytest.mark.parametrize("value, text", OUT_OF_RANGE, ids=ident)
def test_integer_out_of_range(value, text, indefinite):
    check_out_of_range(value, text, indefinite, 0)


def test_integer_whose_text_cannot_be_made():
    # str() of a huge int is refused by the interpreter; its error is quoted.
    limit = getattr(__import__("sys"), "get_int_max_str_digits", lambda: 0)()
    if limit == 0:
        pytest.skip("no int-to-str digit limit on this interpreter")
    big = 10 ** (limit + 5)
    try:
        str(big)
    except ValueError as err:
        quoted = ("failed with ValueError: " + str(err)).encode()[:40].decode()
    with raises_exact(RuntimeError, RANGE_ERROR + quoted):
        dumps(big)


SURROGATES = ["\ud800", "a\udfffb", "\udc80" * 30]


def check_lone_surrogate(value, indefinite, max_depth):
    for wrapped in (value, ["ok", value], {value: 1}):
        with raises_exact(RuntimeError, CAST_ERROR):
            dumps(wrapped, indefinite, max_depth)


@pytest.mark.parametrize("value", SURROGATES)
def test_lone_surrogate(value, indefinite):
    check_lone_surrogate(value, indefinite, 0)


class Plain:
    pass


REJECTED = [set(), {1, 2}, frozenset(), frozenset({3}), bytearray(b"ab"), memoryview(b"ab"), object(), Plain(),
            Ellipsis]


def check_unsupported(value, indefinite, max_depth):
    with rejected_call():
        dumps(value, indefinite, max_depth)
    wrapped = [[value], (1, value), {"k": value}, [1, 2, 3, value]]
    try:
        wrapped.append({value: 1})
    except TypeError:
        pass  # unhashable
    for container in wrapped:
        with raises_exact(RuntimeError, CAST_ERROR):
            dumps(container, indefinite, max_depth)


@pytest.mark.parametrize("value", REJECTED, ids=lambda v: type(v).__name__)
def test_unsupported_value(value, indefinite):
    check_unsupported(value, indefinite, 0)


def test_element_errors_under_a_depth_limit(indefinite):
    # The limited instantiation of each framing (max_depth 1 admits every
    # context above) reports each error as the unlimited one does.
    for value, text in OUT_OF_RANGE:
        check_out_of_range(value, text, indefinite, 1)
    for value in SURROGATES:
        check_lone_surrogate(value, indefinite, 1)
    for value in REJECTED:
        check_unsupported(value, indefinite, 1)
