/*
 * Encodes a small CBOR array with the tavrel_cbor codec, prints its bytes in
 * hex, then walks them back item by item with cbor_next_val.
 *
 * Build against the installed library:
 *     cc -std=c99 encode_decode.c $(pkg-config --cflags --libs tavrel_cbor_codec)
 */
#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <tavrel_cbor/cbor.h>

/* [1, -500, 1000000, "CBOR", 1.5, {"pi": 3.141592653589793, "big": 100000.0}] */
static int encode(cbor_generator *g) {
    if (cbor_write_array(g, 6) < 0) return -1;
    if (cbor_write_uint(g, 1) < 0) return -1;
    if (cbor_write_negint(g, -500) < 0) return -1;
    if (cbor_write_uint(g, 1000000) < 0) return -1;
    if (cbor_write_text_string(g, "CBOR", 4) < 0) return -1;
    if (cbor_write_float(g, 1.5) < 0) return -1; /* half precision holds it */
    if (cbor_write_map(g, 2) < 0) return -1;
    if (cbor_write_text_string(g, "pi", 2) < 0) return -1;
    if (cbor_write_float(g, 3.141592653589793) < 0) return -1; /* needs double */
    if (cbor_write_text_string(g, "big", 3) < 0) return -1;
    if (cbor_write_float(g, 100000.0) < 0) return -1; /* single suffices */
    return 0;
}

/* One line per item: its initial byte, then what it holds. */
static void print_item(const cbor_val *v) {
    printf("%02x ", v->initial_byte);
    switch (v->major_type) {
    case 0: printf("unsigned %" PRIu64 "\n", v->value.uint_value); break;
    case 1: printf("negative %" PRId64 "\n", v->value.negint_value); break;
    case 2: printf("bytes of %" PRId64 "\n", v->count); break;
    case 3: printf("text \"%s\"\n", (const char *)v->value.payload); break;
    case 4: printf("array of %" PRId64 "\n", v->count); break;
    case 5: printf("map of %" PRId64 " pairs\n", v->count); break;
    case 6: printf("tag\n"); break;
    default:
        if (v->initial_byte >= 0xF9 && v->initial_byte <= 0xFB)
            printf("float %.17g\n", v->value.float_value);
        else
            printf("simple\n");
    }
}

int main(void) {
    cbor_generator *g = cbor_generator_create();
    if (g == NULL || encode(g) < 0) {
        fprintf(stderr, "encoding failed\n");
        cbor_generator_free(g);
        return 1;
    }
    for (size_t i = 0; i < g->length; i++) printf("%02x", g->buffer[i]);
    printf("\n");

    /* The parser borrows g->buffer, so the generator outlives it. */
    cbor_parser *p = cbor_parser_create(g->buffer, g->length);
    if (p == NULL) {
        cbor_generator_free(g);
        return 1;
    }
    int status = 0;
    while (cbor_parser_available_bytes(p) > 0) {
        cbor_val *v = cbor_next_val(p);
        if (v == NULL) { /* bytes were left, so this is a decoding failure */
            fprintf(stderr, "decoding failed\n");
            status = 1;
            break;
        }
        print_item(v);
        cbor_val_free(v);
    }
    cbor_parser_free(p);
    cbor_generator_free(g);
    return status;
}
