#!/usr/bin/env python3
"""Writes the seed corpus for the fuzz targets into the directory given.

Seeds are the examples of RFC 8949 Appendix A, heads at every argument width
boundary, and a few streams mixing them, so the fuzzers start from every
kind of head.  With --documents, also what the strict decoder reads most:
single items in both framings cut from the benchmark documents, tags it
gives meaning to, chunked strings, deep and invalid items.  Nothing here
depends on the module under test: heads and items come from the test
suite's reference model (tests/support/model.py), which is written from
RFC 8949 alone.
"""
import json
import os
import random
import struct
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests"))
from support.model import encode, head, sized_head as sized  # noqa: E402

DATA_DIR = os.path.join(os.path.dirname(REPO), "shared", "bench-data")

RFC_EXAMPLES = """
00 01 0a 17 1818 1819 1864 1903e8 1a000f4240 1b000000e8d4a51000 1bffffffffffffffff
c249010000000000000000 3bffffffffffffffff c349010000000000000000 20 29 3863 3903e7
f90000 f98000 f93c00 fb3ff199999999999a f93e00 f97bff fa47c35000 fa7f7fffff
fb7e37e43c8800759c f90001 f90400 f9c400 fbc010666666666666 f97c00 f97e00 f9fc00
fa7f800000 fa7fc00000 faff800000 fb7ff0000000000000 fb7ff8000000000000 fbfff0000000000000
f4 f5 f6 f7 f0 f818 f8ff c074323031332d30332d32315432303a30343a30305a c11a514b67b0
c1fb41d452d9ec200000 d74401020304 d818456449455446
d82076687474703a2f2f7777772e6578616d706c652e636f6d 40 4401020304 60 6161 6449455446
62225c 62c3bc 63e6b0b4 64f0908591 80 83010203 8301820203820405
98190102030405060708090a0b0c0d0e0f101112131415161718181819 a0 a201020304
a26161016162820203 826161a161626163 a56161614161626142616361436164614461656145
5f42010243030405ff 7f657374726561646d696e67ff 9fff 9f018202039f0405ffff
9f01820203820405ff 83018202039f0405ff 83019f0203ff820405
9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff bf61610161629f0203ffff
826161bf61626163ff bf6346756ef563416d7421ff
""".split()


def seeds():
    for text in RFC_EXAMPLES:
        yield bytes.fromhex(text)
    boundaries = [0, 23, 24, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63, 2**64 - 1]
    for major in (0, 1, 4, 5, 6):
        yield b"".join(head(major, a) for a in boundaries)
    # Non-shortest heads, tags with following numbers, reserved codes.
    yield sized(0x19, 1) + sized(0x3A, 5) + sized(0x98, 0) + sized(0xDB, 2**40) + b"\x00"
    yield bytes([0x1C, 0x3D, 0x5E, 0x7C, 0x9D, 0xBE, 0xDC, 0xFC, 0xFD, 0xFE])
    yield bytes(range(0xE0, 0xF9))
    for n in (0, 1, 23, 24, 255, 256, 300):
        yield head(2, n) + bytes(range(256))[: n % 256] * (n // 256 + 1)
        yield head(3, n) + (b"abc" * 101)[:n]
    yield b"\x5a\xff\xff\xff\xff\x00\x01\x02"          # declared length past the end
    yield b"\x7b" + b"\xff" * 8 + b"abc"
    halves = [0x0000, 0x8000, 0x0001, 0x03FF, 0x0400, 0x3C00, 0x7BFF, 0x7C00, 0xFC00, 0x7E00, 0x7C01, 0xFE00]
    yield b"".join(b"\xf9" + struct.pack(">H", h) for h in halves)
    singles = [0x00000001, 0x00800000, 0x3F800000, 0x477FF000, 0x7F7FFFFF, 0x7F800000, 0x7FC00000,
               0x7FFC0000, 0x7F800001, 0xFFC00001, 0x33800000, 0x38000000]
    yield b"".join(b"\xfa" + struct.pack(">I", s) for s in singles)
    doubles = [1.0, 0.1, 1e300, 1e-40, 2.0**-1074, 65504.0, 65520.0, 2.0**128, -0.0, 1 + 2**-11, 1 + 2**-23]
    yield b"".join(b"\xfb" + struct.pack(">d", d) for d in doubles)
    yield b"\x9f\x9f\xff\x5f\x41\x00\xff\x7f\x61\x61\xff\xbf\x00\xf6\xff\xff"


def pieces(value, rng, budget):
    """Parts of a document of at most about budget items, nesting kept."""
    if isinstance(value, dict):
        items = list(value.items())[: max(1, budget)]
        return {k: pieces(v, rng, budget // 4) for k, v in items}
    if isinstance(value, list):
        start = rng.randrange(len(value)) if value else 0
        return [pieces(v, rng, budget // 4) for v in value[start:start + max(1, budget)]]
    return value


def document_seeds():
    """Whole items, each one input, as a strict one-item decoder wants them."""
    rng = random.Random(8949)
    if os.path.isdir(DATA_DIR):
        for name in ("twitter", "citm_catalog", "canada"):
            with open(os.path.join(DATA_DIR, name + ".json"), "rb") as f:
                value = json.load(f)
            for budget in (4, 16, 64):
                for indefinite in (True, False):
                    yield encode(pieces(value, rng, budget), indefinite)
    else:
        print("make_corpus: no documents in %s; other seeds only" % DATA_DIR, file=sys.stderr)
    yield encode([{"id": i, "name": "n%d" % i, "ok": i % 2 == 0, "score": i / 4} for i in range(8)], False)
    for text in ("c074323031332d30332d32315432303a30343a30305a c11a514b67b0 c1fb41d452d9ec200000 "
                 "c249010000000000000000 c349010000000000000000 c240 d9d9f7a1616101 d820d820d82000 "
                 "a2c24101f6c2410200 a1820102f5 a1a0f5 f7 f0 f8ff f81f 7f61e962c3a9ff 62c3 63eda080 62c0af "
                 "7f6161ff 5f4100ff 5f5f4100ffff 9f9f9f9fffffffff bf00ff a20000 a20001 ff 1c 5bffffffffffffffff00 "
                 "9bffffffffffffffff00 bbffffffffffffffff00").split():
        yield bytes.fromhex(text)
    yield b"\x81" * 200 + b"\x00"
    yield b"\xd8\x20" * 100 + b"\x00"
    yield b"\x7f" + b"\x61a" * 300 + b"\xff"


def main():
    args = sys.argv[1:]
    documents = "--documents" in args
    args = [a for a in args if a != "--documents"]
    out = args[0]
    os.makedirs(out, exist_ok=True)
    every = list(seeds()) + (list(document_seeds()) if documents else [])
    for i, seed in enumerate(every):
        with open(os.path.join(out, "seed-%03d" % i), "wb") as f:
            f.write(seed)


if __name__ == "__main__":
    main()
