"""The public header must stand alone for C and C++ callers, and the codec
sources must build into a C program without the Python module."""
import glob
import os
import shutil

import pytest

from support.helpers import run_checked as run
from support.paths import CODEC_DIR, CODEC_INCLUDE_DIRS, CODEC_PUBLIC_HEADER, CODEC_SOURCES, include_flags

CC, CXX = shutil.which("cc"), shutil.which("c++")
needs_cc = pytest.mark.skipif(CC is None, reason="no C compiler")
needs_cxx = pytest.mark.skipif(CC is None or CXX is None, reason="no C/C++ compiler")

USES_HEADER = r"""
#include "cbor.h"

int uses_header(void);
int uses_header(void)
{
    cbor_parse_fn first = cbor_jump_table[0];
    cbor_val v;
    v.value.uint_value = CBOR_INDEFINITE;
    v.count = -1;
    return (first == cbor_parse_uint_small) + (int)v.count + (int)sizeof(cbor_parser);
}
"""

LAYOUT = r"""
#include <stddef.h>
#include <stdio.h>
#include "cbor.h"

int main(void)
{
    printf("%u %u %u\n", (unsigned)sizeof(cbor_generator),
           (unsigned)offsetof(cbor_generator, buffer), (unsigned)offsetof(cbor_generator, length));
    printf("%u %u %u %u %u\n", (unsigned)sizeof(cbor_parser),
           (unsigned)offsetof(cbor_parser, buffer), (unsigned)offsetof(cbor_parser, length),
           (unsigned)offsetof(cbor_parser, cursor), (unsigned)offsetof(cbor_parser, in_indefinite));
    printf("%u %u %u %u %u %u\n", (unsigned)sizeof(cbor_val),
           (unsigned)offsetof(cbor_val, initial_byte), (unsigned)offsetof(cbor_val, major_type),
           (unsigned)offsetof(cbor_val, value), (unsigned)offsetof(cbor_val, count),
           (unsigned)sizeof(((cbor_val *)0)->value));
    return 0;
}
"""

ROUND_TRIP = r"""
#include <stdio.h>
#include "cbor.h"

int main(void)
{
    cbor_generator *g = cbor_generator_create();
    cbor_parser *p;
    cbor_val *v;
    size_t i;
    if (g == NULL)
        return 1;
    if (cbor_write_array(g, 3) < 0 || cbor_write_uint(g, 1) < 0 ||
        cbor_write_text_string(g, "a", 1) < 0 || cbor_write_float(g, 1.5) < 0)
        return 2;
    for (i = 0; i < g->length; i++)
        printf("%02x", g->buffer[i]);
    printf("\n");
    p = cbor_parser_create(g->buffer, g->length);
    while ((v = cbor_next_val(p)) != NULL) {
        switch (v->major_type) {
        case 0: printf("uint %llu\n", (unsigned long long)v->value.uint_value); break;
        case 3: printf("text %lld %s\n", (long long)v->count, (const char *)v->value.payload); break;
        case 4: printf("array %lld\n", (long long)v->count); break;
        case 7: printf("float %02x %.17g\n", v->initial_byte, v->value.float_value); break;
        default: printf("other %02x\n", v->initial_byte);
        }
        cbor_val_free(v);
    }
    printf("left %d\n", (int)cbor_parser_available_bytes(p));
    cbor_parser_free(p);
    cbor_generator_free(g);
    return 0;
}
"""

def test_support_paths_know_the_codec_sources_and_headers():
    # The tests that compile the codec take its sources and -I flags from
    # support/paths.py: a source missing there, or a moved header, fails here
    # rather than as link or include errors all over the suite.
    assert sorted(CODEC_SOURCES) == sorted(glob.glob(os.path.join(CODEC_DIR, "**", "*.cpp"), recursive=True))
    assert os.path.isfile(CODEC_PUBLIC_HEADER)
    assert CODEC_INCLUDE_DIRS and all(os.path.isdir(d) for d in CODEC_INCLUDE_DIRS)


C_FLAGS = ["-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic", *include_flags()]


@needs_cc
def test_header_compiles_as_strict_c99(tmp_path):
    (tmp_path / "use.c").write_text(USES_HEADER)
    run([CC, *C_FLAGS, "-c", "use.c", "-o", "use.o"], tmp_path)


@needs_cxx
def test_header_compiles_as_cxx11(tmp_path):
    (tmp_path / "use.cpp").write_text(USES_HEADER)
    run([CXX, "-std=c++11", "-Wall", "-Wextra", "-Werror", *include_flags(),
         "-c", "use.cpp", "-o", "use.o"], tmp_path)


@needs_cc
def test_record_layout_matches_the_ctypes_mirror(tmp_path):
    import ctypes

    from support.codec_ffi import Generator, Parser, Val

    (tmp_path / "layout.c").write_text(LAYOUT)
    run([CC, *C_FLAGS, "layout.c", "-o", "layout"], tmp_path)
    out = run([str(tmp_path / "layout")], tmp_path).split("\n")

    def off(s, *names):
        return [ctypes.sizeof(s)] + [getattr(s, n).offset for n in names]

    assert [int(x) for x in out[0].split()] == off(Generator, "buffer", "length")
    assert [int(x) for x in out[1].split()] == off(Parser, "buffer", "length", "cursor",
                                                   "in_indefinite")
    assert [int(x) for x in out[2].split()] == off(Val, "initial_byte", "major_type",
                                                   "value", "count") + [8]


@needs_cxx
def test_c_program_round_trip(tmp_path):
    (tmp_path / "main.c").write_text(ROUND_TRIP)
    run([CC, *C_FLAGS, "-c", "main.c", "-o", "main.o"], tmp_path)
    objects = ["main.o"]
    for src in CODEC_SOURCES:
        obj = os.path.basename(src).replace(".cpp", ".o")
        run([CXX, "-std=c++17", *include_flags(), "-c", src, "-o", obj], tmp_path)
        objects.append(obj)
    run([CXX, *objects, "-lm", "-o", "roundtrip"], tmp_path)
    assert run([str(tmp_path / "roundtrip")], tmp_path) == (
        "83016161f93e00\n"
        "array 3\n"
        "uint 1\n"
        "text 1 a\n"
        "float f9 1.5\n"
        "left 0\n")
