"""Module surface: attributes, docstrings, argument binding and the texts
of rejected calls."""
import ctypes
import decimal
import struct
import types

import pytest

import tavrel_cbor
from support.helpers import PYPY, SIZE_MAX, ident, obj, raises_exact, rejected_call, sub
from support.model import DepthError, encode, nested, nested_bytes
from support.paths import VERSION
from support.texts import DUMPS_DOC, MODULE_DOC, TEXT_SIGNATURE, depth_error, incompatible
from tavrel_cbor import dumps


def test_module_attributes():
    assert tavrel_cbor.__name__ == "tavrel_cbor"
    assert type(tavrel_cbor.__version__) is str and tavrel_cbor.__version__ == VERSION
    assert tavrel_cbor.__doc__ == MODULE_DOC
    assert {name for name in dir(tavrel_cbor) if not name.startswith("__")} == {
        "dumps", "loads", "load", "dump", "CBORDecodeError", "Tag", "Simple", "undefined",
    }
    # PyPy gives extension functions a type of its own.
    assert PYPY or isinstance(dumps, types.BuiltinFunctionType)
    assert callable(dumps) and dumps.__name__ == "dumps"


def test_dumps_docstring_is_signature_then_text():
    assert dumps.__doc__ == DUMPS_DOC


def test_result_is_exact_bytes():
    assert type(dumps(1)) is bytes
    assert type(dumps([1, {"a": b"x"}], False, 3)) is bytes


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (([1, [2]],), {}, "9f 01 9f 02 ff ff"),
        (([1, [2]], False), {}, "82 01 81 02"),
        (([1, [2]], True, 2), {}, "9f 01 9f 02 ff ff"),
        (([1, [2]],), {"max_depth": 2, "indefinite": False}, "82 01 81 02"),
        ((), {"value": [1, [2]], "indefinite": False, "max_depth": 0}, "82 01 81 02"),
        ((), {"value": None}, "f6"),
        ((None, False, 5), {}, "f6"),
    ],
)
def test_arguments_by_position_and_keyword(args, kwargs, expected):
    assert dumps(*args, **kwargs) == bytes.fromhex(expected)


# Top-level values of every kind a call may pass with its flags: exact
# built-in types, and values that need matching first.
KEYWORD_VALUES = [
    0, -1, 2**64 - 1, 1.5, "a", "", b"\x00", True, None, [], [1, [2]], (1, "a"), {"a": [1, {"b": 2}]}, {},
    nested(list, 4), sub(int, 7), sub(str, "s"), obj(index=3),
]

# Flags as callers write them, by keyword, in either order.  A max_depth
# past one internal digit of an int, or None or 0 for indefinite, takes the
# full conversion.
KEYWORD_FLAGS = [
    {"indefinite": False},
    {"indefinite": True},
    {"indefinite": None},
    {"indefinite": 0},
    {"max_depth": 0},
    {"max_depth": 2},
    {"max_depth": 2**40},
    {"max_depth": True},
    {"indefinite": False, "max_depth": 3},
    {"max_depth": 3, "indefinite": False},
    {"max_depth": 1, "indefinite": True},
]


def positional(value, kwargs):
    return dumps(value, kwargs.get("indefinite", True), kwargs.get("max_depth", 0))


def outcome(call):
    try:
        return call()
    except RuntimeError as error:
        return RuntimeError, str(error)
    except TypeError:
        # A max_depth past size_t (2**40 on a 32-bit build) is refused either
        # way; the text shows the call as written, so only the type compares.
        return TypeError


@pytest.mark.parametrize("kwargs", KEYWORD_FLAGS, ids=lambda kw: ",".join(f"{k}={v!r}" for k, v in kw.items()))
@pytest.mark.parametrize("value", KEYWORD_VALUES, ids=ident)
def test_flags_by_keyword_as_by_position(value, kwargs):
    expected = outcome(lambda: positional(value, kwargs))
    assert outcome(lambda: dumps(value, **kwargs)) == expected
    # Equal names made at run time are not the ones the interpreter interns.
    made = {"".join(list(name)): flag for name, flag in kwargs.items()}
    assert outcome(lambda: dumps(value, **made)) == expected
    if expected is TypeError:
        # Only a max_depth that size_t cannot hold is refused.
        assert kwargs.get("max_depth", 0) > SIZE_MAX
        return
    if type(value) in (int, float, str, bytes, bool, list, tuple, dict) or value is None:
        flags = {"indefinite": bool(kwargs.get("indefinite", True)), "max_depth": int(kwargs.get("max_depth", 0))}
        try:
            assert expected == encode(value, **flags)
        except DepthError:
            assert expected == (RuntimeError, depth_error(flags["max_depth"]))


class Name(str):
    pass


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({Name("indefinite"): False}, "82 01 81 02"),
        ({Name("max_depth"): 2, "indefinite": False}, "82 01 81 02"),
        ({"indefinite": False, Name("max_depth"): 2}, "82 01 81 02"),
        ({Name("value"): [1, [2]]}, "9f 01 9f 02 ff ff"),
    ],
)
def test_keyword_names_of_a_str_subclass(kwargs, expected):
    value = () if any(name == "value" for name in kwargs) else ([1, [2]],)
    assert dumps(*value, **kwargs) == bytes.fromhex(expected)


def vectorcall(function, args, kwnames):
    """function called as the interpreter calls it, with any names, repeated ones included."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    return call(function, (ctypes.py_object * len(args))(*args), len(args) - len(kwnames), kwnames)


@pytest.mark.skipif(PYPY or not hasattr(ctypes.pythonapi, "PyObject_Vectorcall"), reason="CPython 3.9 and later")
@pytest.mark.parametrize(
    "args, kwnames, invoked",
    [
        ((1, False, True), ("indefinite", "indefinite"), "1; kwargs: indefinite=False, indefinite=True"),
        ((1, 2, 3), ("max_depth", "max_depth"), "1; kwargs: max_depth=2, max_depth=3"),
        ((1, None, 0), ("indefinite", "indefinite"), "1; kwargs: indefinite=None, indefinite=0"),
        ((1, 2, False), ("max_depth", "indefinite"), None),
        ((1, False, 2), ("indefinite", "value"), "1; kwargs: indefinite=False, value=2"),
    ],
)
def test_keywords_as_the_interpreter_passes_them(args, kwnames, invoked):
    if invoked is None:
        assert vectorcall(dumps, args, kwnames) == dumps(args[0], **dict(zip(kwnames, args[1:])))
        return
    with raises_exact(TypeError, incompatible(invoked)):
        vectorcall(dumps, args, kwnames)


@pytest.mark.parametrize(
    "args, kwargs, invoked",
    [
        ((), {}, ""),
        ((set(),), {}, "set()"),
        ((frozenset(),), {}, "frozenset()"),
        ((1, True, 0, 5), {}, "1, True, 0, 5"),
        ((1,), {"max_depth": -1}, "1; kwargs: max_depth=-1"),
        ((1, "yes"), {}, "1, 'yes'"),
        ((1, True, 1.0), {}, "1, True, 1.0"),
        ((), {"value": set()}, "kwargs: value=set()"),
        ((), {"indefinite": False}, "kwargs: indefinite=False"),
        ((1,), {"colour": "red", "max_depth": 2}, "1; kwargs: colour='red', max_depth=2"),
        ((obj(repr=ValueError("no repr")),), {}, "<repr raised Error>"),
        ((1,), {"indefinite": obj(repr=ValueError("no repr"))}, "1; kwargs: indefinite=<repr raised Error>"),
        ((1,), {"indefinite": obj(repr=MemoryError("no room"))}, "1; kwargs: indefinite=<repr raised Error>"),
        ((obj(repr=RecursionError("too deep")),), {}, "<repr raised Error>"),
        ((obj(repr="a\x00b"), 2), {}, "a\x00b, 2"),
        ((1,), {"a\x00b": 2}, "1; kwargs: a\x00b=2"),
        ((1,), {"\ud800x": 2}, "1; kwargs: \\ud800x=2"),
    ],
)
def test_rejected_call_message(args, kwargs, invoked):
    with raises_exact(TypeError, incompatible(invoked)):
        dumps(*args, **kwargs)


@pytest.mark.parametrize(
    "flag, indefinite",
    [
        (True, True),
        (False, False),
        (None, False),
        (0, False),
        (1, True),
        (2, True),
        (-3, True),
        (0.0, False),
        (2.5, True),
        (decimal.Decimal(0), False),
        (complex(0, 1), True),
        (obj(bool=True), True),
        (obj(bool=False), False),
    ],
)
def test_indefinite_takes_the_truth_value(flag, indefinite):
    expected = bytes.fromhex("9f 01 bf 61 61 02 ff ff" if indefinite else "82 01 a1 61 61 02")
    assert dumps([1, {"a": 2}], flag) == expected
    assert dumps([1, {"a": 2}], indefinite=flag) == expected


@pytest.mark.parametrize("flag", ["x", "", b"", [], [1], {}, object(), obj(bool=ValueError("undecided"))], ids=ident)
def test_indefinite_without_a_truth_value_is_rejected(flag):
    with rejected_call():
        dumps([1], indefinite=flag)


@pytest.mark.parametrize(
    "arg, limit",
    [
        (0, None),
        (False, None),
        (True, 1),
        (1, 1),
        (3, 3),
        (obj(index=2), 2),
        (obj(int=2), 2),
        (decimal.Decimal("2.7"), 2),
        (SIZE_MAX, None),
    ],
    ids=ident,
)
def test_max_depth_conversion(arg, limit):
    if limit is None:
        assert dumps(nested(list, 60), max_depth=arg) == nested_bytes(list, 60, True)
        return
    # limit + 1 lists put the innermost one exactly `limit` levels down.
    assert dumps(nested(list, limit + 1), max_depth=arg) == nested_bytes(list, limit + 1, True)
    with raises_exact(RuntimeError, depth_error(limit)):
        dumps(nested(list, limit + 2), max_depth=arg)


@pytest.mark.parametrize(
    "arg",
    [-1, -(2**63), 1.0, 0.0, sub(float, 2.0), 2**64, 2**70, "1", None, [1], obj(index=-1), decimal.Decimal(-1)],
    ids=ident,
)
def test_max_depth_rejected(arg):
    with rejected_call():
        dumps([1], max_depth=arg)


def test_max_depth_beyond_32_bits():
    if struct.calcsize("P") == 8:
        assert dumps([[1]], max_depth=2**32) == bytes.fromhex("9f 9f 01 ff ff")
        assert dumps([[1]], False, 2**32 + 5) == bytes.fromhex("81 81 01")
    else:
        with rejected_call():
            dumps([[1]], max_depth=2**32)


@pytest.mark.skipif(PYPY, reason="PyPy's extension functions carry no text signature")
def test_signature_for_introspection():
    import inspect

    assert dumps.__text_signature__ == TEXT_SIGNATURE
    assert str(inspect.signature(dumps)) == TEXT_SIGNATURE
