"""A small pure-Python CBOR encoder of the same mapping, used as an
independent reference for dumps on exact built-in types."""
import math
import struct


class DepthError(Exception):
    pass


def _head(out, major, n):
    if n < 24:
        out.append(major << 5 | n)
    elif n < 1 << 8:
        out += bytes([major << 5 | 24, n])
    elif n < 1 << 16:
        out.append(major << 5 | 25)
        out += struct.pack(">H", n)
    elif n < 1 << 32:
        out.append(major << 5 | 26)
        out += struct.pack(">I", n)
    else:
        out.append(major << 5 | 27)
        out += struct.pack(">Q", n)


def float_item(x):
    """Half for +/-0 and normal half numbers, else single if exact, else double."""
    if math.isnan(x):
        return b"\xf9\x7e\x00"
    if math.isinf(x):
        return b"\xf9\x7c\x00" if x > 0 else b"\xf9\xfc\x00"
    if x == 0 or abs(x) >= 2.0**-14:
        try:
            half = struct.pack(">e", x)
        except OverflowError:
            half = None
        if half is not None and struct.unpack(">e", half)[0] == x:
            return b"\xf9" + half
    try:
        single = struct.pack(">f", x)
    except OverflowError:
        single = None
    if single is not None and struct.unpack(">f", single)[0] == x:
        return b"\xfa" + single
    return b"\xfb" + struct.pack(">d", x)


def dumps(value, indefinite=True, max_depth=0):
    out = bytearray()

    def level(depth):
        if max_depth and depth > max_depth:
            raise DepthError(max_depth)

    def enc(v, depth):
        if v is None:
            out.append(0xF6)
        elif v is True or v is False:
            out.append(0xF5 if v else 0xF4)
        elif type(v) is int:
            if 0 <= v < 1 << 64:
                _head(out, 0, v)
            elif -(1 << 63) <= v < 0:
                _head(out, 1, -1 - v)
            else:
                raise OverflowError(v)
        elif type(v) is float:
            out.extend(float_item(v))
        elif type(v) is str:
            data = v.encode("utf-8")
            _head(out, 3, len(data))
            out.extend(data)
        elif type(v) is bytes:
            _head(out, 2, len(v))
            out.extend(v)
        elif type(v) in (list, tuple):
            if indefinite:
                out.append(0x9F)
            else:
                _head(out, 4, len(v))
            for item in v:
                level(depth + 1)
                enc(item, depth + 1)
            if indefinite:
                out.append(0xFF)
        elif type(v) is dict:
            if indefinite:
                out.append(0xBF)
            else:
                _head(out, 5, len(v))
            for key, item in v.items():
                level(depth + 1)
                enc(key, depth + 1)
                enc(item, depth + 1)
            if indefinite:
                out.append(0xFF)
        else:
            raise TypeError(type(v))

    enc(value, 0)
    return bytes(out)
