/*
 * The codec alone, driven from C: used by .ci/matrix where no Python build is
 * possible (musl).  Expected bytes are the examples of RFC 8949, Appendix A,
 * and the head rules of its section 3; floats follow the codec's shortest
 * exact width, which leaves half-precision subnormals to single precision.  Prints one line per failed check and a
 * closing "N passed, M failed" line; exits 1 on any failure.
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "cbor.h"

static int passed, failed;

static void check(int ok, const char *what)
{
    if (ok) {
        passed++;
    } else {
        failed++;
        printf("FAIL %s\n", what);
    }
}

static size_t unhex(const char *hex, uint8_t *out)
{
    size_t n = 0;
    unsigned byte;
    while (hex[0] && hex[1] && sscanf(hex, "%2x", &byte) == 1) {
        out[n++] = (uint8_t)byte;
        hex += 2;
    }
    return n;
}

static int same(const cbor_generator *g, const char *hex)
{
    uint8_t want[256];
    size_t n = unhex(hex, want);
    return g->length == n && (n == 0 || memcmp(g->buffer, want, n) == 0);
}

/* ---- writers ------------------------------------------------------------ */

static const struct { uint64_t v; const char *hex; } uints[] = {
    {0, "00"}, {1, "01"}, {10, "0a"}, {23, "17"}, {24, "1818"}, {25, "1819"},
    {100, "1864"}, {1000, "1903e8"}, {1000000, "1a000f4240"},
    {1000000000000ull, "1b000000e8d4a51000"}, {UINT64_MAX, "1bffffffffffffffff"},
    {255, "18ff"}, {256, "190100"}, {65535, "19ffff"}, {65536, "1a00010000"},
    {4294967295ull, "1affffffff"}, {4294967296ull, "1b0000000100000000"},
};

static const struct { int64_t v; const char *hex; } negints[] = {
    {-1, "20"}, {-10, "29"}, {-24, "37"}, {-25, "3818"}, {-100, "3863"},
    {-1000, "3903e7"}, {INT64_MIN, "3b7fffffffffffffff"},
};

static const struct { double v; const char *hex; } floats[] = {
    {0.0, "f90000"}, {-0.0, "f98000"}, {1.0, "f93c00"}, {1.1, "fb3ff199999999999a"},
    {1.5, "f93e00"}, {65504.0, "f97bff"}, {100000.0, "fa47c35000"},
    {3.4028234663852886e+38, "fa7f7fffff"}, {1.0e+300, "fb7e37e43c8800759c"},
    {0.00006103515625, "f90400"}, {-4.0, "f9c400"},
    /* Half-precision subnormals are not chosen: they go out as single precision. */
    {5.960464477539063e-8, "fa33800000"}, {3.0517578125e-05, "fa38000000"},
    {-4.1, "fbc010666666666666"},
};

static const struct { const char *text; const char *hex; } texts[] = {
    {"", "60"}, {"a", "6161"}, {"IETF", "6449455446"}, {"\"\\", "62225c"},
    {"\xc3\xbc", "62c3bc"}, {"\xe6\xb0\xb4", "63e6b0b4"},
};

static void check_writers(void)
{
    char what[160];
    size_t i;
    cbor_generator *g;

    for (i = 0; i < sizeof uints / sizeof uints[0]; i++) {
        g = cbor_generator_create();
        snprintf(what, sizeof what, "cbor_write_uint(%llu) -> %s", (unsigned long long)uints[i].v, uints[i].hex);
        check(g && cbor_write_uint(g, uints[i].v) == 0 && same(g, uints[i].hex), what);
        cbor_generator_free(g);
    }
    for (i = 0; i < sizeof negints / sizeof negints[0]; i++) {
        g = cbor_generator_create();
        snprintf(what, sizeof what, "cbor_write_negint(%lld) -> %s", (long long)negints[i].v, negints[i].hex);
        check(g && cbor_write_negint(g, negints[i].v) == 0 && same(g, negints[i].hex), what);
        cbor_generator_free(g);
    }
    for (i = 0; i < sizeof floats / sizeof floats[0]; i++) {
        g = cbor_generator_create();
        snprintf(what, sizeof what, "cbor_write_float(%.17g) -> %s", floats[i].v, floats[i].hex);
        check(g && cbor_write_float(g, floats[i].v) >= 0 && same(g, floats[i].hex), what);
        cbor_generator_free(g);
    }
    g = cbor_generator_create();
    check(cbor_write_float(g, INFINITY) >= 0 && cbor_write_float(g, NAN) >= 0 &&
          cbor_write_float(g, -INFINITY) >= 0 && same(g, "f97c00f97e00f9fc00"),
          "cbor_write_float(inf, nan, -inf) -> f97c00 f97e00 f9fc00");
    cbor_generator_free(g);

    for (i = 0; i < sizeof texts / sizeof texts[0]; i++) {
        g = cbor_generator_create();
        snprintf(what, sizeof what, "cbor_write_text_string -> %s", texts[i].hex);
        check(cbor_write_text_string(g, texts[i].text, strlen(texts[i].text)) == 0 && same(g, texts[i].hex), what);
        cbor_generator_free(g);
    }
    g = cbor_generator_create();
    check(cbor_write_byte_string(g, "", 0) == 0 && cbor_write_byte_string(g, "\1\2\3\4", 4) == 0 &&
          same(g, "404401020304"), "cbor_write_byte_string h'' h'01020304' -> 40 4401020304");
    cbor_generator_free(g);

    /* [1, [2, 3], [4, 5]] */
    g = cbor_generator_create();
    cbor_write_array(g, 3);
    cbor_write_uint(g, 1);
    cbor_write_array(g, 2);
    cbor_write_uint(g, 2);
    cbor_write_uint(g, 3);
    cbor_write_array(g, 2);
    cbor_write_uint(g, 4);
    cbor_write_uint(g, 5);
    check(same(g, "8301820203820405"), "[1, [2, 3], [4, 5]] -> 8301820203820405");
    cbor_generator_free(g);

    /* [1, 2, ..., 25] */
    g = cbor_generator_create();
    cbor_write_array(g, 25);
    for (i = 1; i <= 25; i++)
        cbor_write_uint(g, i);
    check(same(g, "98190102030405060708090a0b0c0d0e0f101112131415161718181819"),
          "[1..25] -> 9819 ...");
    cbor_generator_free(g);

    /* {"a": 1, "b": [2, 3]} */
    g = cbor_generator_create();
    cbor_write_map(g, 2);
    cbor_write_text_string(g, "a", 1);
    cbor_write_uint(g, 1);
    cbor_write_text_string(g, "b", 1);
    cbor_write_array(g, 2);
    cbor_write_uint(g, 2);
    cbor_write_uint(g, 3);
    check(same(g, "a26161016162820203"), "{\"a\": 1, \"b\": [2, 3]} -> a26161016162820203");
    cbor_generator_free(g);

    /* [_ 1, [2, 3], [_ 4, 5]] */
    g = cbor_generator_create();
    cbor_write_array(g, CBOR_INDEFINITE);
    cbor_write_uint(g, 1);
    cbor_write_array(g, 2);
    cbor_write_uint(g, 2);
    cbor_write_uint(g, 3);
    cbor_write_array(g, CBOR_INDEFINITE);
    cbor_write_uint(g, 4);
    cbor_write_uint(g, 5);
    cbor_write_break(g);
    cbor_write_break(g);
    check(same(g, "9f018202039f0405ffff"), "[_ 1, [2, 3], [_ 4, 5]] -> 9f018202039f0405ffff");
    cbor_generator_free(g);

    /* (_ "strea", "ming") and {_ } */
    g = cbor_generator_create();
    cbor_write_text_string(g, NULL, CBOR_INDEFINITE);
    cbor_write_text_string(g, "strea", 5);
    cbor_write_text_string(g, "ming", 4);
    cbor_write_break(g);
    cbor_write_map(g, CBOR_INDEFINITE);
    cbor_write_break(g);
    check(same(g, "7f657374726561646d696e67ffbfff"), "(_ \"strea\", \"ming\") {_ } -> 7f...ff bfff");
    cbor_generator_free(g);

    g = cbor_generator_create();
    cbor_write_false(g);
    cbor_write_true(g);
    cbor_write_null(g);
    cbor_write_undefined(g);
    check(same(g, "f4f5f6f7"), "false true null undefined -> f4f5f6f7");
    cbor_generator_free(g);

    check(cbor_write_uint(NULL, 1) == -1, "a null generator makes a writer return -1");
}

/* ---- decoder -------------------------------------------------------------- */

/* Compared by bit pattern: on x87 a decimal constant may carry more than
 * double precision (FLT_EVAL_METHOD 2), so == against it can fail. */
static int has_bits(const cbor_val *v, uint64_t bits)
{
    uint64_t got;
    memcpy(&got, &v->value.float_value, sizeof got);
    return got == bits;
}

static cbor_val *first_item(const char *hex, uint8_t *buf, cbor_parser **parser)
{
    size_t n = unhex(hex, buf);
    *parser = cbor_parser_create(buf, n);
    return *parser ? cbor_next_val(*parser) : NULL;
}

static void check_decoder(void)
{
    uint8_t buf[64];
    cbor_parser *p;
    cbor_val *v;
    int items = 0;

    v = first_item("1a000f4240", buf, &p);
    check(v && v->major_type == 0 && v->value.uint_value == 1000000, "decode 1a000f4240 -> 1000000");
    cbor_val_free(v);
    cbor_parser_free(p);

    v = first_item("1bffffffffffffffff", buf, &p);
    check(v && v->value.uint_value == UINT64_MAX, "decode 1bffffffffffffffff -> 2^64-1");
    cbor_val_free(v);
    cbor_parser_free(p);

    v = first_item("3903e7", buf, &p);
    check(v && v->major_type == 1 && v->value.negint_value == -1000, "decode 3903e7 -> -1000");
    cbor_val_free(v);
    cbor_parser_free(p);

    v = first_item("f90001", buf, &p);
    check(v && has_bits(v, 0x3E70000000000000ull), "decode f90001 -> 5.960464477539063e-8");
    cbor_val_free(v);
    cbor_parser_free(p);

    v = first_item("fa47c35000", buf, &p);
    check(v && has_bits(v, 0x40F86A0000000000ull), "decode fa47c35000 -> 100000.0");
    cbor_val_free(v);
    cbor_parser_free(p);

    v = first_item("fb7e37e43c8800759c", buf, &p);
    check(v && has_bits(v, 0x7E37E43C8800759Cull), "decode fb7e37e43c8800759c -> 1.0e+300");
    cbor_val_free(v);
    cbor_parser_free(p);

    v = first_item("f97c00", buf, &p);
    check(v && isinf(v->value.float_value) && v->value.float_value > 0, "decode f97c00 -> inf");
    cbor_val_free(v);
    cbor_parser_free(p);

    v = first_item("6449455446", buf, &p);
    check(v && v->major_type == 3 && v->count == 4 && v->value.payload &&
          memcmp(v->value.payload, "IETF", 5) == 0, "decode 6449455446 -> \"IETF\"");
    cbor_val_free(v);
    cbor_parser_free(p);

    v = first_item("9b0000000100000000", buf, &p);
    check(v && v->major_type == 4 && v->count == 4294967296ll, "decode 9b0000000100000000 -> count 2^32");
    cbor_val_free(v);
    cbor_parser_free(p);

    /* {_ "a": 1, "b": [_ 2, 3]}: 9 items, the whole input consumed */
    {
        size_t n = unhex("bf61610161629f0203ffff", buf);
        p = cbor_parser_create(buf, n);
        while ((v = cbor_next_val(p)) != NULL) {
            items++;
            cbor_val_free(v);
        }
        check(items == 9 && cbor_parser_available_bytes(p) == 0, "decode bf61610161629f0203ffff -> 9 items");
        cbor_parser_free(p);
    }

    v = first_item("19ff", buf, &p);
    check(v == NULL, "a truncated head decodes to NULL");
    cbor_val_free(v);
    cbor_parser_free(p);
}

/* ---- signalling NaNs ----------------------------------------------------------- */

/* A signalling NaN must keep its bits through the writer and the decoder; on
 * 32-bit x86 any pass through the x87 stack would quieten it (7FF8...). */
static void check_signalling_nans(void)
{
    static const uint64_t patterns[] = {0x7FF0000000000001ull, 0xFFF0000000000001ull, 0x7FF4000000000000ull,
                                        0x7FF7FFFFFFFFFFFFull};
    char what[160], hex[32];
    uint8_t buf[16];
    size_t i;

    for (i = 0; i < sizeof patterns / sizeof patterns[0]; i++) {
        cbor_generator *g = cbor_generator_create();
        cbor_parser *p;
        cbor_val *v;
        double x;
        memcpy(&x, &patterns[i], sizeof x);
        snprintf(hex, sizeof hex, "fb%016llx", (unsigned long long)patterns[i]);
        snprintf(what, sizeof what, "cbor_write_float64(bits %016llx) -> %s", (unsigned long long)patterns[i], hex);
        check(g && cbor_write_float64(g, x) == 1 && same(g, hex), what);
        cbor_generator_free(g);

        v = first_item(hex, buf, &p);
        snprintf(what, sizeof what, "decode %s keeps the bits", hex);
        check(v && has_bits(v, patterns[i]), what);
        cbor_val_free(v);
        cbor_parser_free(p);
    }
}

/* ---- widths ----------------------------------------------------------------- */

static void check_widths(void)
{
    cbor_generator *g = cbor_generator_create();
    char data[8] = "abcd";

    check(sizeof(size_t) == sizeof(void *), "size_t is pointer wide");
    check(sizeof(((cbor_val *)0)->count) == 8 && sizeof(((cbor_val *)0)->value) == 8,
          "cbor_val count and value are 64-bit");
    if (sizeof(size_t) == 4) {
        /* Lengths that do not fit in size_t: refused before the head. */
        check(cbor_write_byte_string(g, data, 4294967296ull) == -1 && g->length == 0 && g->buffer == NULL,
              "32-bit: byte string of 2^32 bytes fails and writes nothing");
        check(cbor_write_text_string(g, data, 0x8000000000000000ull) == -1 && g->length == 0,
              "32-bit: text string of 2^63 bytes fails and writes nothing");
    } else {
        /* Fits in size_t, but the payload append would pass SIZE_MAX. */
        check(cbor_write_byte_string(g, data, UINT64_MAX - 1) == -1 && g->length <= 9,
              "64-bit: byte string of 2^64-2 bytes fails without a payload");
    }
    cbor_generator_free(g);
}

int main(void)
{
    check_writers();
    check_decoder();
    check_signalling_nans();
    check_widths();
    printf("%d-bit: %d passed, %d failed\n", (int)(8 * sizeof(void *)), passed, failed);
    return failed != 0;
}
