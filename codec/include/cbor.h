/*
 * tavrel_cbor codec: a small CBOR (RFC 8949) encoder and a flat decoder.
 *
 * Encoding appends items to a growable buffer; the caller frames containers:
 *
 *     cbor_generator *g = cbor_generator_create();
 *     cbor_write_array(g, 2);
 *     cbor_write_uint(g, 1);
 *     cbor_write_text_string(g, "a", 1);
 *     use(g->buffer, g->length);          // 82 01 61 61
 *     cbor_generator_free(g);
 *
 * Decoding returns one item (head, plus a string's payload copy) per call:
 *
 *     cbor_parser *p = cbor_parser_create(data, size);
 *     cbor_val *v;
 *     while ((v = cbor_next_val(p)) != NULL) { use(v); cbor_val_free(v); }
 *     cbor_parser_free(p);
 *
 * Every function reports failure by its return value only: -1 from the
 * int-returning functions, NULL from those returning records.  Nothing keeps
 * global state; separate generators and parsers may be used on separate
 * threads.
 */
#ifndef TAVREL_CBOR_H
#define TAVREL_CBOR_H

#include <stddef.h>
#include <stdint.h>

#ifndef CBOR_API
#if defined(__GNUC__) || defined(__clang__)
#define CBOR_API __attribute__((visibility("default")))
#else
#define CBOR_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Passed as a length or count, this value asks for an indefinite-length item. */
#define CBOR_INDEFINITE UINT64_MAX

/* Append-only output buffer: `buffer` spans exactly `length` bytes. */
typedef struct cbor_generator {
    uint8_t *buffer; /* owned; NULL while nothing has been written */
    size_t length;
} cbor_generator;

/* Read cursor over borrowed input; buffer <= cursor <= buffer + length. */
typedef struct cbor_parser {
    const uint8_t *buffer;
    size_t length;
    const uint8_t *cursor;
    int32_t in_indefinite; /* 1 after an indefinite head, 0 after a break */
} cbor_parser;

/* One decoded item. */
typedef struct cbor_val {
    uint8_t initial_byte;
    int32_t major_type; /* initial_byte >> 5 */
    union {
        uint64_t uint_value;  /* major type 0 (and the number of a tag) */
        int64_t negint_value; /* major type 1: ~argument */
        double float_value;   /* 0xF9, 0xFA, 0xFB */
        uint8_t *payload;     /* major types 2 and 3: owned copy; text gets a trailing 0 */
    } value;
    int64_t count; /* string bytes, array items or map pairs; -1 if indefinite */
} cbor_val;

/* A decoder: consumes one head at parser->cursor; 0 on success, -1 on failure. */
typedef int (*cbor_parse_fn)(cbor_parser *parser, cbor_val *val);

/* ---- Generator life cycle and raw appends ------------------------------- */

/* New empty generator, or NULL when out of memory. */
CBOR_API cbor_generator *cbor_generator_create(void);
/* Frees the buffer and the record; NULL is ignored. */
CBOR_API void cbor_generator_free(cbor_generator *generator);
/* Appends one byte; -1 on a NULL generator or when the buffer cannot grow. */
CBOR_API int _cbor_generator_write_byte(cbor_generator *generator, uint8_t byte);
/* Appends count bytes from source; -1 as above, or when the length would overflow. */
CBOR_API int _cbor_generator_write_bytes(cbor_generator *generator, const void *source, size_t count);

/* ---- Heads ------------------------------------------------------------- */

/* Head of major_type with argument in its shortest form; -1 on append failure. */
CBOR_API int _cbor_write_uint_helper(cbor_generator *generator, uint8_t major_type, uint64_t argument);
/* initial_byte as given, then argument in the width its low five bits name; -1 on failure. */
CBOR_API int _cbor_write_uint_sized(cbor_generator *generator, uint8_t initial_byte, uint64_t argument);

/* ---- Items (0 on success, -1 on failure; nothing is rolled back) -------- */

CBOR_API int cbor_write_uint(cbor_generator *generator, uint64_t value);
/* value is the negative number itself: -1 gives 0x20. */
CBOR_API int cbor_write_negint(cbor_generator *generator, int64_t value);
/* length CBOR_INDEFINITE writes 0x5F and does not read data. */
CBOR_API int cbor_write_byte_string(cbor_generator *generator, const void *data, uint64_t length);
/* length CBOR_INDEFINITE writes 0x7F; the bytes are copied without a UTF-8 check. */
CBOR_API int cbor_write_text_string(cbor_generator *generator, const char *data, uint64_t length);
/* count CBOR_INDEFINITE writes 0x9F; close it with cbor_write_break. */
CBOR_API int cbor_write_array(cbor_generator *generator, uint64_t count);
/* count is the number of pairs; CBOR_INDEFINITE writes 0xBF. */
CBOR_API int cbor_write_map(cbor_generator *generator, uint64_t count);
CBOR_API int cbor_write_false(cbor_generator *generator);
CBOR_API int cbor_write_true(cbor_generator *generator);
CBOR_API int cbor_write_null(cbor_generator *generator);
CBOR_API int cbor_write_undefined(cbor_generator *generator);
CBOR_API int cbor_write_break(cbor_generator *generator);

/* ---- Floats ------------------------------------------------------------ */

/* 0xFA and x rounded to single precision; 1 on success, -1 on failure. */
CBOR_API int cbor_write_float32(cbor_generator *generator, double x);
/* 0xFB and the bits of x; 1 on success, -1 on failure. */
CBOR_API int cbor_write_float64(cbor_generator *generator, double x);
/* Shortest exact width of a finite x (result 1); NaN and infinities as fixed
 * half-precision items (result 0); -1 on failure. */
CBOR_API int cbor_write_float(cbor_generator *generator, double x);

/* ---- Parser and value records ----------------------------------------- */

/* Parser over length borrowed bytes (at most INT32_MAX); NULL when out of memory. */
CBOR_API cbor_parser *cbor_parser_create(const void *data, size_t length);
/* Frees the record, never the input; NULL is ignored. */
CBOR_API void cbor_parser_free(cbor_parser *parser);
/* Bytes left to read, as a signed 32-bit count; 0 for a NULL parser. */
CBOR_API int32_t cbor_parser_available_bytes(const cbor_parser *parser);
/* New zero-filled record, or NULL when out of memory. */
CBOR_API cbor_val *cbor_val_create(void);
/* Frees a string's payload and the record; NULL is ignored. */
CBOR_API void cbor_val_free(cbor_val *val);
/* Next item, owned by the caller; NULL at the end of input or on failure. */
CBOR_API cbor_val *cbor_next_val(cbor_parser *parser);

/* Decoders, indexed by initial byte.  Writable, but the library only reads it. */
CBOR_API extern cbor_parse_fn cbor_jump_table[256];

/* ---- Item decoders (cbor_parse_fn; -1 when bytes are missing, or when the
 * parser or record is NULL: nothing is read then) ------------------------ */

CBOR_API int cbor_parse_uint_small(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_uint8(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_uint16(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_uint32(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_uint64(cbor_parser *parser, cbor_val *val);

CBOR_API int cbor_parse_negint_small(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_negint8(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_negint16(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_negint32(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_negint64(cbor_parser *parser, cbor_val *val);

CBOR_API int cbor_parse_byte_string_small(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_byte_string_uint8(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_byte_string_uint16(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_byte_string_uint32(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_byte_string_uint64(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_byte_string_indefinite(cbor_parser *parser, cbor_val *val);

CBOR_API int cbor_parse_text_string_small(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_text_string_uint8(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_text_string_uint16(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_text_string_uint32(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_text_string_uint64(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_text_string_indefinite(cbor_parser *parser, cbor_val *val);

CBOR_API int cbor_parse_array_small(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_array_uint8(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_array_uint16(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_array_uint32(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_array_uint64(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_array_indefinite(cbor_parser *parser, cbor_val *val);

CBOR_API int cbor_parse_map_small(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_map_uint8(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_map_uint16(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_map_uint32(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_map_uint64(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_map_indefinite(cbor_parser *parser, cbor_val *val);

/* Tag head; a number in 1, 2, 4 or 8 following bytes is stored in uint_value. */
CBOR_API int cbor_parse_semantic_tag(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_false(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_true(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_null(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_undefined(cbor_parser *parser, cbor_val *val);
/* Floats are widened to double exactly. */
CBOR_API int cbor_parse_float16(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_float32(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_float64(cbor_parser *parser, cbor_val *val);
CBOR_API int cbor_parse_break(cbor_parser *parser, cbor_val *val);
/* Reserved additional information: consumes the initial byte, prints nothing. */
CBOR_API int cbor_parse_reserved(cbor_parser *parser, cbor_val *val);
/* Simple values without a decoder: one line on stderr, consumes the initial byte. */
CBOR_API int cbor_parse_unimplemented(cbor_parser *parser, cbor_val *val);

#ifdef __cplusplus
}
#endif

#endif /* TAVREL_CBOR_H */
