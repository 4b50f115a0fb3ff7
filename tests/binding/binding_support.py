"""Oracles shared by the binding tests: a reference encoder written from
RFC 8949, a structural checker for the encoder's output, and the fixed
texts of the module's errors."""
import math
import platform
import re
import struct
import sys

import pytest

# The largest max_depth the platform accepts (size_t).
SIZE_MAX = sys.maxsize * 2 + 1

CAST_ERROR = "Unable to cast Python instance to C++ type (compile in debug mode for details)"
RANGE_ERROR = "dumps received an integer out of range for both int64_t and uint64_t"
STACK_ERROR = "maximum recursion depth exceeded while encoding a nested value"
PYPY = platform.python_implementation() == "PyPy"
# Nesting that must still encode on the main thread.  PyPy's C API checks its
# own, much smaller, stack budget, so the walk stops far earlier there.
DEEP_OK = 1_000 if PYPY else 10_000


def is_stack_error(err):
    """Our guard's RecursionError; under PyPy its own check may trip first."""
    if type(err) is not RecursionError:
        return False
    return str(err) == STACK_ERROR or (PYPY and str(err).startswith("maximum recursion depth exceeded"))
SIGNATURE = (
    "(value: Union[bool, float, int, list, tuple, dict, bytes, str, bool, int, int, str, None], "
    "indefinite: bool = True, max_depth: int = 0) -> bytes"
)


def incompatible(invoked):
    """The complete TypeError text of a call that matches no overload."""
    return (
        "dumps(): incompatible function arguments. The following argument types are supported:\n"
        "    1. " + SIGNATURE + "\n\nInvoked with: " + invoked
    )


def raises_exact(exc, text):
    """pytest.raises that insists on the whole message, not a prefix."""
    return pytest.raises(exc, match="^" + re.escape(text) + r"\Z")


def rejected_call():
    return pytest.raises(TypeError, match=r"^dumps\(\): incompatible function arguments\. ")


def depth_error(limit):
    return f"Exceeded recursion limit:{limit}"


def head(major, arg):
    """Shortest head of a major type with its argument."""
    if arg < 24:
        return bytes([major << 5 | arg])
    for info, size in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if arg < 1 << (8 * size):
            return bytes([major << 5 | info]) + arg.to_bytes(size, "big")
    raise ValueError(arg)


def float_item(x):
    """Half for +-0 and normal half-precision values, single for anything
    else single precision holds exactly, double for the rest; NaN and the
    infinities are fixed half-precision items."""
    if math.isnan(x):
        return b"\xf9\x7e\x00"
    if math.isinf(x):
        return b"\xf9\x7c\x00" if x > 0 else b"\xf9\xfc\x00"
    if x == 0 or 2.0**-14 <= abs(x) <= 65504.0:
        half = struct.pack(">e", x)
        if struct.unpack(">e", half)[0] == x:
            return b"\xf9" + half
    try:
        single = struct.pack(">f", x)
    except OverflowError:
        single = None
    if single is not None and struct.unpack(">f", single)[0] == x:
        return b"\xfa" + single
    return b"\xfb" + struct.pack(">d", x)


def encode(value, indefinite=True):
    """Reference encoding of a tree of plain None/bool/int/float/str/bytes/
    list/tuple/dict values."""
    if value is None:
        return b"\xf6"
    if value is True or value is False:
        return b"\xf5" if value else b"\xf4"
    if isinstance(value, int):
        return head(0, value) if value >= 0 else head(1, -1 - value)
    if isinstance(value, float):
        return float_item(value)
    if isinstance(value, str):
        raw = value.encode("utf-8")
        return head(3, len(raw)) + raw
    if isinstance(value, bytes):
        return head(2, len(value)) + value
    if isinstance(value, (list, tuple)):
        body = b"".join(encode(v, indefinite) for v in value)
        return b"\x9f" + body + b"\xff" if indefinite else head(4, len(value)) + body
    if isinstance(value, dict):
        body = b"".join(encode(k, indefinite) + encode(v, indefinite) for k, v in value.items())
        return b"\xbf" + body + b"\xff" if indefinite else head(5, len(value)) + body
    raise TypeError(type(value))


def scan(data):
    """Check that data is exactly one item that uses shortest heads and float
    widths, no tags, no simple values but false/true/null, and indefinite
    length only on arrays and maps."""
    end = _scan_item(data, 0)
    assert end == len(data), "bytes after the item"


def _scan_item(data, pos):
    initial = data[pos]
    major, info = initial >> 5, initial & 0x1F
    pos += 1
    if major == 7:
        size = {20: 0, 21: 0, 22: 0, 25: 2, 26: 4, 27: 8}.get(info)
        assert size is not None, f"simple value or break {initial:#04x} out of place"
        if size:
            x = struct.unpack({2: ">e", 4: ">f", 8: ">d"}[size], data[pos : pos + size])[0]
            assert data[pos - 1 : pos + size] == float_item(x), "float not in its shortest width"
        return pos + size
    assert major != 6, "tag"
    if info == 31:
        assert major in (4, 5), "indefinite-length string"
        while data[pos] != 0xFF:
            pos = _scan_item(data, pos)
            if major == 5:
                pos = _scan_item(data, pos)
        return pos + 1
    assert info <= 27, "reserved additional information"
    arg = info
    if info >= 24:
        size = 1 << (info - 24)
        arg = int.from_bytes(data[pos : pos + size], "big")
        pos += size
        assert arg >= (24 if size == 1 else 1 << (4 * size)), "head longer than needed"
    if major in (0, 1):
        return pos
    if major in (2, 3):
        assert pos + arg <= len(data), "string runs past the end"
        if major == 3:
            data[pos : pos + arg].decode("utf-8")
        return pos + arg
    for _ in range(arg * (2 if major == 5 else 1)):
        pos = _scan_item(data, pos)
    return pos


def nested(kind, levels):
    """levels containers of one kind, each the only element (for dicts: the
    value under key 0) of the next; built without recursion."""
    value = kind()
    for _ in range(levels - 1):
        value = {0: value} if kind is dict else kind([value])
    return value


def nested_bytes(kind, levels, indefinite):
    """Expected encoding of nested(kind, levels)."""
    if kind is dict:
        if indefinite:
            return b"\xbf\x00" * (levels - 1) + b"\xbf\xff" + b"\xff" * (levels - 1)
        return b"\xa1\x00" * (levels - 1) + b"\xa0"
    if indefinite:
        return b"\x9f" * levels + b"\xff" * levels
    return b"\x81" * (levels - 1) + b"\x80"


def _method(result):
    def method(self, *args):
        if isinstance(result, BaseException):
            raise result
        return result

    return method


def sub(base, value, **methods):
    """An instance of a fresh subclass of base holding value, whose named
    dunder methods return (or, for exceptions, raise) the given results:
    sub(int, 5, eq=False), sub(float, 1.5, float=99.0)."""
    attrs = {f"__{name}__": _method(result) for name, result in methods.items()}
    if "eq" in methods:
        attrs["__hash__"] = base.__hash__
    name = ("Obj" if base is object else base.__name__.title() + "Sub") + "".join("_" + m for m in methods)
    if base is object:
        shown = ", ".join(f"{m}={r!r}" for m, r in methods.items())
        attrs.setdefault("__repr__", lambda self: f"obj({shown})")
        return type(name, (), attrs)()
    return type(name, (base,), attrs)(value)


def obj(**methods):
    """A plain object with only the given dunder methods: obj(index=5)."""
    return sub(object, None, **methods)


def ident(value):
    """Short test id that never calls an overridden repr."""
    kind = type(value)
    base = next(b for b in kind.__mro__ if b.__module__ == "builtins")
    text = repr(value) if base is object else base.__repr__(value)
    text = text if len(text) <= 30 else text[:24] + f"..{len(text)}"
    return text if kind is base or base is object else f"{kind.__name__}:{text}"
