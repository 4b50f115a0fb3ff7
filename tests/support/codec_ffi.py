"""The one ctypes view of the codec's C interface: its records and the
signatures of its functions, shared by every test that calls the codec.

The extension module's shared library also exports the plain C codec, so the
tests load it with ctypes and drive the records exactly as a C caller would.
Widths follow the platform (size_t is 32 bits on 32-bit builds); the record
mirrors are checked against the compiler's layout in test_codec_header.py
and against the platform's struct layout in test_platform.py.
"""
import ctypes
import mmap
from ctypes import (POINTER, Structure, Union, c_char_p, c_double, c_int, c_int32,
                    c_int64, c_size_t, c_uint8, c_uint64, c_void_p)

import tavrel_cbor
from support.model import U64, bits_of

lib = ctypes.CDLL(tavrel_cbor.__file__)

INDEFINITE = U64
SIZE_MAX = 2 ** (8 * ctypes.sizeof(c_size_t)) - 1


class Generator(Structure):
    _fields_ = [("buffer", POINTER(c_uint8)), ("length", c_size_t)]


class Parser(Structure):
    _fields_ = [("buffer", c_void_p), ("length", c_size_t),
                ("cursor", c_void_p), ("in_indefinite", c_int32)]


class Value(Union):
    _fields_ = [("uint_value", c_uint64), ("negint_value", c_int64),
                ("float_value", c_double), ("payload", POINTER(c_uint8))]


class Val(Structure):
    _fields_ = [("initial_byte", c_uint8), ("major_type", c_int32),
                ("value", Value), ("count", c_int64)]


G, P, V = POINTER(Generator), POINTER(Parser), POINTER(Val)

DECODERS = (
    [f"cbor_parse_{kind}{w}" for kind in ("uint", "negint")
     for w in ("_small", "8", "16", "32", "64")]
    + [f"cbor_parse_{kind}_{w}" for kind in ("byte_string", "text_string", "array", "map")
       for w in ("small", "uint8", "uint16", "uint32", "uint64", "indefinite")]
    + [f"cbor_parse_{name}" for name in (
        "semantic_tag", "false", "true", "null", "undefined", "float16", "float32",
        "float64", "break", "reserved", "unimplemented")]
)
assert len(DECODERS) == 45

SIMPLE_WRITERS = ("cbor_write_false", "cbor_write_true", "cbor_write_null",
                  "cbor_write_undefined", "cbor_write_break")

SIGNATURES = {
    "cbor_generator_create": (G, []),
    "cbor_generator_free": (None, [G]),
    "_cbor_generator_write_byte": (c_int, [G, c_uint8]),
    "_cbor_generator_write_bytes": (c_int, [G, c_void_p, c_size_t]),
    "_cbor_write_uint_helper": (c_int, [G, c_uint8, c_uint64]),
    "_cbor_write_uint_sized": (c_int, [G, c_uint8, c_uint64]),
    "cbor_write_uint": (c_int, [G, c_uint64]),
    "cbor_write_negint": (c_int, [G, c_int64]),
    "cbor_write_byte_string": (c_int, [G, c_void_p, c_uint64]),
    "cbor_write_text_string": (c_int, [G, c_char_p, c_uint64]),
    "cbor_write_array": (c_int, [G, c_uint64]),
    "cbor_write_map": (c_int, [G, c_uint64]),
    "cbor_write_float32": (c_int, [G, c_double]),
    "cbor_write_float64": (c_int, [G, c_double]),
    "cbor_write_float": (c_int, [G, c_double]),
    "cbor_parser_create": (P, [c_void_p, c_size_t]),
    "cbor_parser_free": (None, [P]),
    "cbor_parser_available_bytes": (c_int32, [P]),
    "cbor_val_create": (V, []),
    "cbor_val_free": (None, [V]),
    "cbor_next_val": (V, [P]),
}
SIGNATURES.update({name: (c_int, [G]) for name in SIMPLE_WRITERS})
SIGNATURES.update({name: (c_int, [P, V]) for name in DECODERS})

for _name, (_res, _args) in SIGNATURES.items():
    _fn = getattr(lib, _name)
    _fn.restype, _fn.argtypes = _res, _args


def address_of(fn_name):
    return ctypes.cast(getattr(lib, fn_name), c_void_p).value


def jump_table():
    return (c_void_p * 256).in_dll(lib, "cbor_jump_table")


# ---- writing ----------------------------------------------------------------

def new_generator():
    g = lib.cbor_generator_create()
    assert g, "cbor_generator_create returned NULL"
    return g


def buffer_address(g):
    """The generator's buffer pointer as an int (0 for NULL)."""
    return ctypes.cast(g.contents.buffer, c_void_p).value or 0


def contents(g):
    c = g.contents
    return ctypes.string_at(c.buffer, c.length) if c.length else b""


def write(name, *args):
    """Call one writer on a new generator; return (result, bytes written)."""
    g = new_generator()
    try:
        rc = getattr(lib, name)(g, *args)
        return rc, contents(g)
    finally:
        lib.cbor_generator_free(g)


# ---- reading ----------------------------------------------------------------

def record(v):
    """Snapshot of a cbor_val as a dict; strings carry their payload bytes."""
    d = {"ib": v.initial_byte, "mt": v.major_type, "count": v.count}
    if v.major_type in (2, 3):
        p = ctypes.cast(v.value.payload, c_void_p).value
        if p is None:
            d["payload"] = None
        elif v.count < 0:
            d["payload"] = "<payload on an indefinite head>"
        else:
            d["payload"] = ctypes.string_at(p, v.count + (v.major_type == 3))
    else:
        d["raw"] = v.value.uint_value
    return d


class Reader:
    """A parser over a private copy of data (or over caller-provided memory)."""

    def __init__(self, data, address=None):
        if address is None:
            self._keep = (c_uint8 * len(data)).from_buffer_copy(data)
            address = ctypes.addressof(self._keep)
        self.base = address
        self.size = len(data)
        self.p = lib.cbor_parser_create(address, len(data))
        assert self.p, "cbor_parser_create returned NULL"

    @property
    def offset(self):
        return (self.p.contents.cursor or 0) - self.base

    @property
    def available(self):
        return lib.cbor_parser_available_bytes(self.p)

    @property
    def flag(self):
        return self.p.contents.in_indefinite

    def next(self):
        v = lib.cbor_next_val(self.p)
        if not v:
            return None
        try:
            return record(v.contents)
        finally:
            lib.cbor_val_free(v)

    def call(self, decoder, preset=True):
        """Call one decoder directly; return (result, record snapshot)."""
        v = lib.cbor_val_create()
        assert v
        if preset and self.offset < self.size:
            b = ctypes.string_at(self.p.contents.cursor, 1)[0]
            v.contents.initial_byte, v.contents.major_type = b, b >> 5
        try:
            rc = getattr(lib, decoder)(self.p, v)
            return rc, record(v.contents)
        finally:
            lib.cbor_val_free(v)

    def close(self):
        lib.cbor_parser_free(self.p)
        self.p = None


def decode_all(data):
    """Decode items until NULL; return (records, None) at a clean end of input,
    or (records, cursor offset) when a call failed with bytes remaining."""
    r = Reader(data)
    try:
        recs = []
        while True:
            before = r.available
            rec = r.next()
            if rec is None:
                return recs, (None if before <= 0 else r.offset)
            recs.append(rec)
    finally:
        r.close()


# ---- expected records ---------------------------------------------------------

def item(ib, raw=0, count=0):
    """A non-string record: the union read as uint64, and count."""
    return {"ib": ib, "mt": ib >> 5, "count": count, "raw": raw & U64}


def fitem(ib, x):
    return item(ib, bits_of(x))


def sitem(ib, data, count=None):
    """A string record; text payloads carry their extra zero byte."""
    mt = ib >> 5
    if data is None:
        return {"ib": ib, "mt": mt, "count": count, "payload": None}
    return {"ib": ib, "mt": mt, "count": len(data),
            "payload": bytes(data) + (b"\0" if mt == 3 else b"")}


def bare(ib):
    """A record with nothing stored (tags 0-23, simple values, reserved codes)."""
    return sitem(ib, None, 0) if ib >> 5 in (2, 3) else item(ib)


# ---- guarded memory (run only in a child process: a stray read kills it) --------

def guarded(data, at_end):
    """Copy data next to an inaccessible page (after it, or before it)."""
    page = mmap.PAGESIZE
    assert len(data) <= page
    libc = ctypes.CDLL(None)
    libc.mprotect.argtypes = [c_void_p, c_size_t, c_int]
    m = mmap.mmap(-1, 3 * page)
    arr = (ctypes.c_char * (3 * page)).from_buffer(m)
    base = ctypes.addressof(arr)
    assert libc.mprotect(base, page, 0) == 0
    assert libc.mprotect(base + 2 * page, page, 0) == 0
    start = base + 2 * page - len(data) if at_end else base + page
    ctypes.memmove(start, data, len(data))
    return (m, arr), start


def guarded_walk(hex_inputs):
    """Decode every input to its end, continuing past failures, then call each
    decoder on the exhausted parser. Prints a count; a stray read segfaults."""
    keep, checked = [], 0
    for text in hex_inputs:
        data = bytes.fromhex(text)
        for at_end in (True, False):
            mem, start = guarded(data, at_end)
            keep.append(mem)
            r = Reader(data, address=start)
            for _ in range(len(data) + 1):
                if r.available <= 0:
                    break
                r.next()
            assert r.available == 0, text
            for name in DECODERS:
                rc, _ = r.call(name, preset=False)
                assert rc == -1 and r.available == 0, (text, name)
            r.close()
            checked += 1
    print(f"checked {checked}")


def null_calls():
    """Every decoder with a NULL parser, then with a NULL record over bytes it
    would accept; each must fail without reading.  Run in a child process:
    a dereferenced NULL kills it.  Prints one line per decoder."""
    table = jump_table()
    assert lib.cbor_parser_available_bytes(None) == 0
    assert not lib.cbor_next_val(None)
    for name in DECODERS:
        initial = next(b for b in range(256) if table[b] == address_of(name))
        v = lib.cbor_val_create()
        rc_parser = getattr(lib, name)(None, v)
        untouched = record(v.contents) == item(0)
        lib.cbor_val_free(v)
        r = Reader(bytes([initial]) + bytes(8))
        rc_val = getattr(lib, name)(r.p, None)
        print(name, rc_parser, untouched, rc_val, r.offset, r.flag)
        r.close()
