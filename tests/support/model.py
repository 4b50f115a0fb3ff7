"""CBOR written and read back in plain Python, from RFC 8949's rules alone:
the oracle that the module and the codec are held against.  It imports
nothing of the code under test, so a mistake there cannot hide here.

What the module writes, by these rules:
- heads: the shortest head that holds the argument (section 4.2.1);
- floats: NaN as f97e00 and the infinities as half items; a finite double as
  a half when it is +-0 or a normal half that holds it exactly, else as a
  single when that holds it exactly, else as a double;
- framing: arrays and maps with a definite count, or (indefinite=True)
  opened with 9f/bf and closed with a break;
- depth: the root is at depth 0 and each element, key or dict value one
  level below its container; with max_depth set, any item deeper than it is
  refused (DepthError here, the module's RuntimeError there).
"""
import builtins
import math
import struct

U64 = 2**64 - 1
# CPython 3.15's builtin, written as a dict is; None before it.
FROZENDICT = getattr(builtins, "frozendict", None)


class DepthError(Exception):
    """An item lies deeper than max_depth; args[0] is the limit."""


# ---- heads -------------------------------------------------------------------


def head(major, arg):
    """Shortest head of a major type with its argument."""
    if arg < 24:
        return bytes([major << 5 | arg])
    for info, size in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if arg < 1 << (8 * size):
            return bytes([major << 5 | info]) + arg.to_bytes(size, "big")
    raise ValueError(arg)


def sized_head(initial, arg):
    """A head whose argument has the width its initial byte names (additional
    information 24-27), shortest or not."""
    return bytes([initial]) + arg.to_bytes(1 << ((initial & 0x1F) - 24), "big")


# ---- floats ------------------------------------------------------------------


def from_bits(bits):
    """The double with this 64-bit pattern."""
    return struct.unpack(">d", bits.to_bytes(8, "big"))[0]


def bits_of(x):
    """The 64-bit pattern of a double."""
    return struct.unpack(">Q", struct.pack(">d", x))[0]


def _exact(fmt, x):
    """x packed in a narrower format, or None if that changes its value."""
    try:
        packed = struct.pack(fmt, x)
    except OverflowError:
        return None
    return packed if struct.unpack(fmt, packed)[0] == x else None


def float_item(x):
    """The shortest float item: NaN and the infinities as fixed half items;
    half for +-0 and normal half values, single for anything else single
    precision holds exactly, double for the rest."""
    if math.isnan(x):
        return b"\xf9\x7e\x00"
    if math.isinf(x):
        return b"\xf9\x7c\x00" if x > 0 else b"\xf9\xfc\x00"
    # Half subnormals are left to single: only +-0 and normal halves qualify.
    if x == 0 or 2.0**-14 <= abs(x) <= 65504.0:
        half = _exact(">e", x)
        if half is not None:
            return b"\xf9" + half
    single = _exact(">f", x)
    if single is not None:
        return b"\xfa" + single
    return b"\xfb" + struct.pack(">d", x)


# ---- values ------------------------------------------------------------------


def encode(value, indefinite=True, max_depth=0):
    """The encoding of a tree of plain None/bool/int/float/str/bytes/list/
    tuple/dict/frozendict values (exact types; dicts in their order).  Raises
    DepthError past max_depth (0: no limit), OverflowError for an int
    outside int64 and uint64, TypeError for anything else."""
    out = bytearray()

    def enter(depth):
        if max_depth and depth > max_depth:
            raise DepthError(max_depth)

    def item(v, depth):
        kind = type(v)
        if v is None:
            out.append(0xF6)
        elif kind is bool:
            out.append(0xF5 if v else 0xF4)
        elif kind is int:
            if 0 <= v <= U64:
                out.extend(head(0, v))
            elif -(2**63) <= v < 0:
                out.extend(head(1, -1 - v))
            else:
                raise OverflowError(v)
        elif kind is float:
            out.extend(float_item(v))
        elif kind is str:
            raw = v.encode("utf-8")
            out.extend(head(3, len(raw)) + raw)
        elif kind is bytes:
            out.extend(head(2, len(v)) + v)
        elif kind in (list, tuple):
            out.extend(b"\x9f" if indefinite else head(4, len(v)))
            for element in v:
                enter(depth + 1)
                item(element, depth + 1)
            if indefinite:
                out.append(0xFF)
        elif kind is dict or kind is FROZENDICT:
            out.extend(b"\xbf" if indefinite else head(5, len(v)))
            for key, element in v.items():
                enter(depth + 1)
                item(key, depth + 1)
                item(element, depth + 1)
            if indefinite:
                out.append(0xFF)
        else:
            raise TypeError(kind)

    item(value, 0)
    return bytes(out)


def depth(value):
    """Levels between the root and its deepest element, key or value."""
    if isinstance(value, (list, tuple)):
        return max((1 + depth(v) for v in value), default=0)
    if isinstance(value, dict) or (FROZENDICT is not None and isinstance(value, FROZENDICT)):
        return max((1 + max(depth(k), depth(v)) for k, v in value.items()), default=0)
    return 0


def nested(kind, levels, key=0):
    """levels containers of one kind, each the only element (for dicts: the
    value under key) of the next; built without recursion, so any depth."""
    value = kind()
    for _ in range(levels - 1):
        value = {key: value} if kind is dict else kind([value])
    return value


def nested_bytes(kind, levels, indefinite, key=0):
    """The encoding of nested(kind, levels, key), made without recursion."""
    if kind is dict:
        opening = (b"\xbf" if indefinite else b"\xa1") + encode(key)
        innermost = b"\xbf\xff" if indefinite else b"\xa0"
    else:
        opening = b"\x9f" if indefinite else b"\x81"
        innermost = b"\x9f\xff" if indefinite else b"\x80"
    closing = b"\xff" * (levels - 1) if indefinite else b""
    return opening * (levels - 1) + innermost + closing


# ---- reading -----------------------------------------------------------------


def read_head(data, pos):
    """(major type, argument, offset past the head) of the head at pos; the
    argument is None for an indefinite length (additional information 31)."""
    initial = data[pos]
    major, info = initial >> 5, initial & 0x1F
    pos += 1
    if info < 24:
        return major, info, pos
    if info <= 27:
        size = 1 << (info - 24)
        return major, int.from_bytes(data[pos : pos + size], "big"), pos + size
    if info == 31:
        return major, None, pos
    raise ValueError("reserved additional information %d" % info)


def skip(data, pos):
    """Offset just past the item starting at pos (iterative: any depth)."""
    todo = [1]  # per open level: items still expected, or None up to a break
    while todo:
        if todo[-1] == 0:
            todo.pop()
            continue
        if todo[-1] is None and data[pos] == 0xFF:
            pos += 1
            todo.pop()
            continue
        if todo[-1] is not None:
            todo[-1] -= 1
        major, arg, pos = read_head(data, pos)
        if major in (2, 3):
            if arg is None:
                todo.append(None)
            else:
                pos += arg
        elif major == 4:
            todo.append(arg)
        elif major == 5:
            todo.append(None if arg is None else 2 * arg)
        elif major == 6:
            todo.append(1)
    return pos


def root_count(data):
    """Elements (array) or pairs (map) of the root container in data."""
    major, arg, pos = read_head(data, 0)
    assert major in (4, 5), "root is not a container"
    if arg is not None:
        return arg
    n = 0
    while data[pos] != 0xFF:
        pos = skip(data, pos)
        n += 1
    return n if major == 4 else n // 2


def scan(data):
    """Check that data is exactly one item that uses shortest heads and float
    widths, no tags, no simple values but false/true/null, and indefinite
    length only on arrays and maps."""
    end = _scan_item(data, 0)
    assert end == len(data), "bytes after the item"


def _scan_item(data, pos):
    initial = data[pos]
    major, info = initial >> 5, initial & 0x1F
    if major == 7:
        size = {20: 0, 21: 0, 22: 0, 25: 2, 26: 4, 27: 8}.get(info)
        assert size is not None, f"simple value or break {initial:#04x} out of place"
        pos += 1
        if size:
            x = struct.unpack({2: ">e", 4: ">f", 8: ">d"}[size], data[pos : pos + size])[0]
            assert data[pos - 1 : pos + size] == float_item(x), "float not in its shortest width"
        return pos + size
    assert major != 6, "tag"
    assert info <= 27 or info == 31, "reserved additional information"
    major, arg, pos = read_head(data, pos)
    if arg is None:
        assert major in (4, 5), "indefinite-length string"
        while data[pos] != 0xFF:
            pos = _scan_item(data, pos)
            if major == 5:
                pos = _scan_item(data, pos)
        return pos + 1
    if info >= 24:
        size = 1 << (info - 24)
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
